"""A small DER editor for making forged signatures from genuine ones: parse
into a tree of nodes, change what a case needs, encode again with DER
lengths, or with whatever length octets a node is given.

Written apart from release_tools/der.py, so that a fault in the reader under
test cannot hide in the tool that makes its cases."""

from dataclasses import dataclass, field
from typing import Optional


@dataclass
class Node:
    tag: int                        # the identifier octet (low tag numbers only)
    content: bytes = b""            # a primitive one's content
    children: Optional[list] = None  # a constructed one's nodes
    length: Optional[bytes] = field(default=None)  # length octets to write instead of DER's

    def __getitem__(self, index):
        return self.children[index]

    def __len__(self):
        return len(self.children or ())


def parse(data):
    node, end = _parse(bytes(data), 0)
    assert end == len(data), "trailing bytes"
    return node


def _parse(data, at):
    tag, first = data[at], data[at + 1]
    at += 2
    assert tag & 0x1F != 0x1F and first != 0x80, "not a shape this editor reads"
    if first & 0x80:
        size = first & 0x7F
        length, at = int.from_bytes(data[at:at + size], "big"), at + size
    else:
        length = first
    end = at + length
    if not tag & 0x20:
        return Node(tag, data[at:end]), end
    children = []
    while at < end:
        child, at = _parse(data, at)
        children.append(child)
    return Node(tag, children=children), end


def der_length(size):
    if size < 0x80:
        return bytes([size])
    octets = (size.bit_length() + 7) // 8
    return bytes([0x80 | octets]) + size.to_bytes(octets, "big")


def encode(node):
    if isinstance(node, bytes):  # raw bytes, written as they are
        return node
    content = body(node)
    return bytes([node.tag]) + (node.length if node.length is not None else der_length(len(content))) + content


def tlv(tag, content):
    return bytes([tag]) + der_length(len(content)) + content


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    out = bytearray()
    for arc in [arcs[0] * 40 + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | arc & 0x7F)
            arc >>= 7
        out += bytes(reversed(chunk))
    return tlv(0x06, bytes(out))


def name(common_name):
    """A Name of one common name, as a node."""
    return parse(tlv(0x30, tlv(0x31, tlv(0x30, oid("2.5.4.3") + tlv(0x0C, common_name.encode())))))


def algorithm(dotted, parameters=None):
    """An AlgorithmIdentifier node; PARAMETERS raw bytes, if any."""
    return parse(tlv(0x30, oid(dotted) + (parameters or b"")))


def body(node):
    return b"".join(encode(c) for c in node.children) if node.children is not None else node.content


def non_minimal(node, octets=4):
    """Gives NODE its length in OCTETS length octets, zeros first (84 00 00 ..)."""
    node.length = bytes([0x80 | octets]) + len(body(node)).to_bytes(octets, "big")
    return node


def add_to_set(node, member):
    """Adds MEMBER to the SET OF NODE, in DER order, as a careful forger would."""
    node.children.append(member)
    node.children.sort(key=encode)
