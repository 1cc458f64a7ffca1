"""A certificate as the release checks need it: read (its extensions too),
named as OpenSSL's RFC 2253 output names it, names compared as RFC 5280
compares them, and its key's cost to verify under. Who issued what is
links.py's; OpenSSL's verifier, openssl.py's."""

import functools

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from .text import visible

# OpenSSL's short names where cryptography would print a dotted OID.
_SHORT_NAMES = {x509.ObjectIdentifier(dotted): short for dotted, short in {
    "1.2.840.113549.1.9.1": "emailAddress", "2.5.4.5": "serialNumber", "2.5.4.15": "businessCategory",
    "1.3.6.1.4.1.311.60.2.1.3": "jurisdictionC", "1.3.6.1.4.1.311.60.2.1.2": "jurisdictionST",
    "1.3.6.1.4.1.311.60.2.1.1": "jurisdictionL", "2.5.4.12": "title", "2.5.4.42": "GN", "2.5.4.4": "SN",
    "2.5.4.43": "initials", "2.5.4.17": "postalCode", "2.5.4.97": "organizationIdentifier",
}.items()}


def subject(certificate):
    """CERTIFICATE's subject, as `openssl x509 -subject -nameopt RFC2253` prints it,
    shown safely: anyone can put anything in a name."""
    return rfc2253(certificate.subject)


def rfc2253(name):
    # RFC 4514 writes a backslash in a value as \\ already: what is left to escape is what it lets through.
    return visible(name.rfc4514_string(_SHORT_NAMES))


def readable(certificate):
    """CERTIFICATE, its extensions read now: cryptography reads them only
    when asked, and one it cannot read (a duplicate, say) would otherwise
    fail deep in a chain check rather than where the certificate is read."""
    try:
        certificate.extensions
    except Exception as error:  # noqa: BLE001 - whatever cryptography refuses, the certificate is unreadable
        raise ValueError(f"its extensions cannot be read ({type(error).__name__})") from None
    return certificate


def load_der(data):
    return readable(x509.load_der_x509_certificate(bytes(data)))


def der(certificate):
    return certificate.public_bytes(serialization.Encoding.DER)


def pem(certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


@functools.lru_cache(maxsize=4096)
def name_key(name):
    """NAME as RFC 5280 compares names, a value to compare or look up by."""
    return tuple(tuple(sorted((a.oid.dotted_string, " ".join(str(a.value).split()).casefold()) for a in rdn))
                 for rdn in name.rdns)


def same_name(one, other):
    """Whether two names are one as RFC 5280 and OpenSSL compare them:
    attribute by attribute, regardless of case and runs of spaces. An exact
    comparison here would pass over a certificate OpenSSL builds its chain
    through."""
    return name_key(one) == name_key(other)


def self_issued(certificate):
    return same_name(certificate.issuer, certificate.subject)


def same_key(one, other):
    spki = serialization.PublicFormat.SubjectPublicKeyInfo
    return (one.public_key().public_bytes(serialization.Encoding.DER, spki)
            == other.public_key().public_bytes(serialization.Encoding.DER, spki))


# Each carried certificate may be verified under several keys: bounds on an
# RSA key keep a small file from asking for seconds of arithmetic.
LARGEST_RSA_MODULUS, LARGEST_RSA_EXPONENT = 8192, 256


def key_too_costly(certificate):
    """Why CERTIFICATE's RSA key is larger than any signer needs, or None."""
    try:
        key = certificate.public_key()
    except (UnsupportedAlgorithm, ValueError):
        return None  # such a key verifies nothing, and the chain is refused for that
    if not isinstance(key, rsa.RSAPublicKey):
        return None
    exponent = key.public_numbers().e.bit_length()
    if key.key_size > LARGEST_RSA_MODULUS or exponent > LARGEST_RSA_EXPONENT:
        return (f"an RSA key of {key.key_size} bits with a {exponent}-bit exponent, more than"
                f" {LARGEST_RSA_MODULUS} and {LARGEST_RSA_EXPONENT}")
    return None
