"""The files a check is given, each read once, up front: roots (--ca,
--tsa-ca, SIGN_CA, SIGN_TSA_CA, the system's) and revocation lists (--crl).
What cannot be read is "cannot check", naming the file, never its content."""

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from cryptography import x509

from . import certificates as certificates_module
from . import pem
from .text import shown
from .verdicts import CannotCheck

SYSTEM_ROOTS = Path("/etc/ssl/certs/ca-certificates.crt")


@dataclass(frozen=True)
class Roots:
    """The certificates of one roots file, and the file's name, shown safely, for what is said."""
    certificates: tuple
    where: str


def readable(path):
    """Whether PATH names a file (not a folder) that this user can read."""
    try:
        return os.path.isfile(path) and os.access(path, os.R_OK)
    except (OSError, ValueError):  # a path with a NUL, say
        return False


def _read(path):
    try:
        return Path(path).read_bytes()
    except OSError as error:
        raise CannotCheck("input.readable", f"{shown(path)} cannot be read ({error.strerror})") from None


def certificates(data):
    """The certificates in DATA: its PEM blocks (other text between them is
    passed over), or else one DER certificate, as Windows exports a .cer; an
    empty list when there is neither. Raises ValueError for a PEM block that
    cannot be read."""
    blocks = pem.blocks(data, b"CERTIFICATE")
    if blocks:
        return [certificates_module.readable(x509.load_pem_x509_certificate(block)) for block in blocks]
    try:
        found = x509.load_der_x509_certificate(data)
    except ValueError:
        return []
    return [certificates_module.readable(found)]


def roots(path) -> Roots:
    """The certificates in PATH, PEM or DER."""
    try:
        found = certificates(_read(path))
    except ValueError:
        raise CannotCheck("input.content", f"{shown(path)} holds a certificate that cannot be read") from None
    if not found:
        raise CannotCheck("input.content", f"{shown(path)} holds no certificate (PEM or DER)")
    return Roots(tuple(found), shown(path))


def system_roots() -> Roots:
    """This system's trusted roots; none when it has no readable file of them."""
    try:
        return roots(SYSTEM_ROOTS) if readable(SYSTEM_ROOTS) else Roots((), str(SYSTEM_ROOTS))
    except CannotCheck:
        return Roots((), str(SYSTEM_ROOTS))


def revocation_lists(paths: Sequence[Path]) -> list:
    """The revocation lists in PATHS as (path, list) pairs: each file PEM (one
    or several lists) or DER (one)."""
    lists = []
    for path in paths:
        data = _read(path)
        blocks = pem.blocks(data, b"X509 CRL")
        try:
            if blocks:
                lists += [(path, x509.load_pem_x509_crl(block)) for block in blocks]
            else:
                lists.append((path, x509.load_der_x509_crl(data)))
        except ValueError:
            raise CannotCheck("input.content", f"{shown(path)} holds no revocation list (PEM or DER) that can be read") from None
    return lists
