"""The files a check is given, each read once, up front: roots (--ca,
--tsa-ca, SIGN_CA, SIGN_TSA_CA, the system's) and revocation lists (--crl).
What cannot be read is "cannot check", naming the file, never its content."""

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from cryptography import x509

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


def roots(path) -> Roots:
    """The PEM certificates in PATH (other text between them is passed over)."""
    found = []
    for block in pem.blocks(_read(path), b"CERTIFICATE"):
        try:
            found.append(x509.load_pem_x509_certificate(block))
        except ValueError:
            raise CannotCheck("input.content", f"{shown(path)} holds a PEM certificate that cannot be read") from None
    if not found:
        raise CannotCheck("input.content", f"{shown(path)} holds no PEM certificate")
    return Roots(tuple(found), shown(path))


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
