"""Certificates as the release checks need them: read, named as OpenSSL's
RFC 2253 output names them, verified under an issuer's key with cryptography,
walked from a signer to the top of what is carried, and handed to OpenSSL's
own verifier, which is judged by its exit status alone.

A certificate is issued by another when its issuer names the other's subject
(as RFC 5280 compares names) and its signature verifies under the other's key; a self-issued one (subject
and issuer the same) must verify under its own key. Key identifiers and
extensions are OpenSSL's to judge, in verify()."""

import contextlib
import datetime
import functools
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from . import processes
from .text import visible

VERIFY_TIME_LIMIT = 60

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


def signed_by(certificate, key):
    """Whether CERTIFICATE's signature verifies under the public KEY."""
    try:
        algorithm = certificate.signature_hash_algorithm
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, ec.ECDSA(algorithm))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, ValueError, TypeError):
        return False
    return True


def issued_by(certificate, issuer):
    """Whether ISSUER's subject is CERTIFICATE's issuer and its key signed it."""
    return same_name(certificate.issuer, issuer.subject) and signed_by(certificate, issuer.public_key())


def issuers_of(certificate, candidates):
    """Those of CANDIDATES that issued CERTIFICATE."""
    return [c for c in candidates if issued_by(certificate, c)]


@dataclass(frozen=True)
class Walk:
    """Where the carried certificates lead from a leaf.

    path: the leaf, then each one's issuer among the carried, up to a
    self-issued one or one whose issuer is not carried (a self-issued issuer
    is preferred where copies of one certificate offer a choice);
    members: every carried certificate that issued one of the members, path
    included, so that a second copy or a cross-signed copy of a chain
    certificate belongs to the chain;
    tops: the members whose issuer is not carried (checked against roots
    later, as nothing here can check them);
    strays: carried certificates off the chain;
    forged: a member that names its issuer among the carried, or itself, and
    does not verify under that key (the first found), else None."""
    path: tuple
    members: tuple
    tops: tuple
    strays: tuple
    forged: object


def grown(start, candidates, joins):
    """START with each of CANDIDATES for which JOINS(candidate, all so far)
    holds, added until none is left that does."""
    result = list(start)
    added = True
    while added:
        added = False
        for candidate in candidates:
            if not any(candidate is r for r in result) and joins(candidate, result):
                result.append(candidate)
                added = True
    return result


def walk(leaf, carried):
    carried = list(carried)
    # Every certificate that issued a member is a member, however reached.
    members = grown([leaf], carried, lambda candidate, so_far: any(issued_by(m, candidate) for m in so_far))
    forged = None
    tops = []
    for member in members:
        if self_issued(member):
            if not signed_by(member, member.public_key()):
                forged = forged or member
            continue
        named = [c for c in carried if same_name(c.subject, member.issuer)]
        if not named:
            tops.append(member)
        elif not issuers_of(member, named):
            forged = forged or member
    path = [leaf]
    while not self_issued(path[-1]):
        issuers = [c for c in issuers_of(path[-1], carried) if not any(c is p for p in path)]
        if not issuers:
            break
        issuers.sort(key=lambda c: not self_issued(c))
        path.append(issuers[0])
    strays = [c for c in carried if not any(c is m for m in members) and der(c) != der(leaf)]
    # A second copy of the leaf is no stray, though nothing it issued is on the chain.
    return Walk(tuple(path), tuple(members), tuple(tops), tuple(strays), forged)


def among(certificate, others):
    """Whether CERTIFICATE is, byte for byte, one of OTHERS."""
    return any(der(other) == der(certificate) for other in others)


def top_checked(top, roots):
    """Whether TOP, a carried certificate whose issuer is not carried, is one
    of ROOTS or was issued by one of them."""
    return among(top, roots) or bool(issuers_of(top, roots))


def root_found(leaf, members, roots):
    """The root that LEAF's chain reaches through any of MEMBERS (every
    carried path, cross-signed copies included), as a verifier that tries
    trusted certificates first finds it: nearest to LEAF first; or None."""
    seen, frontier = [], [leaf]
    while frontier:
        for certificate in frontier:
            for root in roots:
                if der(root) == der(certificate) and self_issued(root):
                    return root
            issuers = issuers_of(certificate, roots)
            if issuers:
                return issuers[0]
        seen += frontier
        frontier = [m for m in members if not among(m, seen) and any(issued_by(c, m) for c in frontier)]
    return None


def verify_time(moment):
    """OpenSSL's -attime argument for MOMENT (a datetime), or nothing."""
    if moment is None:
        return []
    return ["-attime", str(int(moment.replace(tzinfo=moment.tzinfo or datetime.timezone.utc).timestamp()))]


@contextlib.contextmanager
def scratch():
    """A folder of its own for the files OpenSSL reads, under TMPDIR (any
    name works: each path is one argument), removed afterwards."""
    folder = Path(tempfile.mkdtemp(prefix="release-check."))
    processes.remove_on_signal(folder)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        processes.forget_on_signal(folder)


def openssl_verify(leaf, *, trusted, untrusted=(), partial=False, crls=(), crl_check=False,
                   purpose=None, moment=None, check_time=True):
    """Whether OpenSSL's verifier accepts LEAF's chain to TRUSTED (exit status
    0), through the UNTRUSTED ones; with CRL_CHECK the leaf's revocation by the
    lists CRLS. Nothing it prints is read."""
    with scratch() as folder:
        files = {"leaf.pem": pem([leaf]), "trusted.pem": pem(trusted)}
        args = ["openssl", "verify", "-no-CAfile", "-no-CApath", "-no-CAstore",
                "-CAfile" if not partial else "-trusted", folder / "trusted.pem"]
        if partial:
            args.append("-partial_chain")
        if untrusted:
            files["untrusted.pem"] = pem(untrusted)
            args += ["-untrusted", folder / "untrusted.pem"]
        if crl_check:
            files["crls.pem"] = b"".join(c.public_bytes(serialization.Encoding.PEM) for c in crls)
            # Deltas read as deltas, and indirect or reason-partitioned lists read as
            # RFC 5280 has them: without these, OpenSSL takes a delta for a whole list.
            args += ["-CRLfile", folder / "crls.pem", "-crl_check", "-use_deltas", "-extended_crl"]
        if purpose:
            args += ["-purpose", purpose]
        args += verify_time(moment) if check_time else ["-no_check_time"]
        for name, content in files.items():
            (folder / name).write_bytes(content)
        args.append(folder / "leaf.pem")
        result = processes.run(args, timeout=VERIFY_TIME_LIMIT, env=processes.clean_environment())
        return result.returncode == 0


def all_links(members, roots=()):
    """Every (member, issuer) pair where the issuer, carried or among ROOTS,
    verifies the member: revocation must hold on every path a verifier could
    take, not on one of them only."""
    candidates = list(members) + [r for r in roots if not among(r, members)]
    return [(member, issuer) for member in members for issuer in issuers_of(member, candidates)]


def not_leading(members, roots):
    """The first of MEMBERS that leads to none of ROOTS (is none of them, and
    is issued neither by one of them nor by a member that leads to one), or
    None. A carried certificate that leads nowhere is bytes no root vouches
    for, whatever it issued."""
    led = grown([], members, lambda member, so_far: (among(member, roots) or bool(issuers_of(member, roots))
                                                       or any(issued_by(member, m) for m in so_far)))
    return next((m for m in members if not any(m is l for l in led)), None)
