"""Who issued what among certificates: a certificate is issued by another
when its issuer names the other's subject (as RFC 5280 compares names) and
its signature verifies under the other's key (cryptography); a self-issued
one (subject and issuer the same) must verify under its own key. From that,
the walk from a signer to the top of what is carried, the root a chain
reaches, and every link revocation must hold on. Key identifiers and
extensions are OpenSSL's to judge (openssl.py)."""

from dataclasses import dataclass

from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from .certificates import der, same_name, self_issued


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
