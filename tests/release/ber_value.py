"""Adds a second value, of indefinite length, to the last unauthenticated
attribute of an Authenticode signature: bytes that a reader of definite
lengths alone would not see, and that osslsigncode keeps as they are.

Usage: ber_value.py SIGNATURE.der OUT.der"""
import sys


def parse(data, at=0, end=None):
    """The elements from at to end, each [tag, bytes or [elements]]."""
    end = len(data) if end is None else end
    elements = []
    while at < end:
        tag, length, at = data[at], data[at + 1], at + 2
        if length & 0x80:
            size = length & 0x7F
            length, at = int.from_bytes(data[at:at + size], "big"), at + size
        content = data[at:at + length]
        elements.append([tag, parse(data, at, at + length) if tag & 0x20 else content])
        at += length
    return elements


def encode(elements):
    """DER lengths throughout; an element of tag None is written as it is."""
    out = b""
    for tag, content in elements:
        if tag is None:
            out += content
            continue
        body = encode(content) if isinstance(content, list) else content
        size = len(body)
        octets = (size.bit_length() + 7) // 8
        length = bytes([size]) if size < 0x80 else bytes([0x80 | octets]) + size.to_bytes(octets, "big")
        out += bytes([tag]) + length + body
    return out


signature = parse(open(sys.argv[1], "rb").read())
signer_info = signature[0][1][1][1][0][1][-1][1][0][1]
unauthenticated = signer_info[-1]
assert unauthenticated[0] == 0xA1, "the signature has no unauthenticated attributes"
unauthenticated[1][-1][1][1][1].append([None, b"\x30\x80\x04\x07payload\x00\x00"])
open(sys.argv[2], "wb").write(encode(signature))
