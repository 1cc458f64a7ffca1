"""Is any certificate on the signer's chain or the authority's revoked by the
lists given? Asked of OpenSSL's own verifier one (certificate, issuer) link at
a time, on every link a verifier could take, and judged by its exit status.

Lists are never fetched. Those given must settle the question: a list that
applies to nothing here, one that is not current, or lists from an issuer
that do not cover its certificate (another partition or scope) mean the check
could not be made, which is not the same as a certificate found good."""

import datetime
from pathlib import Path
from typing import Optional, Sequence

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm

from . import certificates, chain, signature
from .verdicts import CannotCheck, Refused

# A list's issuer and the machine checking it need not agree on the time to the minute.
CLOCK_SKEW = datetime.timedelta(minutes=5)


class NotApplicable(CannotCheck):
    """The lists given cannot settle revocation for this file (exit 2);
    str() says why, naming the list or the certificate."""


def issued_by(crl, issuer):
    """Whether ISSUER's key signed CRL. Its issuer name is OpenSSL's to match:
    RFC 5280 compares names without regard to case or runs of spaces, and a
    byte-for-byte test here would pass over a list OpenSSL applies."""
    try:
        return crl.is_signature_valid(issuer.public_key())
    except (UnsupportedAlgorithm, ValueError, TypeError):
        return False


def links_of(members, roots):
    """Every (certificate, issuer) link a verifier could take from MEMBERS (a
    chain's carried certificates) up through ROOTS: among the members, from
    them to the roots, and among the roots above them, so that an
    intermediate given as a root is checked as OpenSSL's chain would check
    it. A self-issued certificate under one with its own key (a root, or its
    re-issued twin) is no link: no list of its own key revokes it."""
    members = list(members)
    above = certificates.grown([], [r for r in roots if not certificates.among(r, members)],
                               lambda root, so_far: any(certificates.issued_by(c, root) for c in members + so_far))
    links = certificates.all_links(members + above, roots)
    return [(certificate, issuer) for certificate, issuer in links
            if not (certificates.self_issued(certificate) and certificates.same_key(certificate, issuer))]


def _reason(entry):
    try:
        return entry.extensions.get_extension_for_class(x509.CRLReason).value.reason
    except x509.ExtensionNotFound:
        return None
    except ValueError:
        return "unreadable"  # not removeFromCRL, so the entry stands: fail closed


def _indirect(crl):
    """Whether CRL says it is indirect (its entries may be other issuers'
    certificates); an unreadable scope is read as not, which fails closed."""
    try:
        return crl.extensions.get_extension_for_class(x509.IssuingDistributionPoint).value.indirect_crl
    except (x509.ExtensionNotFound, ValueError):
        return False


def _entries(crl, serial):
    """CRL's entries for SERIAL, as (reason, whether an earlier entry of an
    indirect list named another certificate issuer, which then holds)."""
    if crl.get_revoked_certificate_by_serial_number(serial) is None:
        return []
    indirect, delegated, found = _indirect(crl), False, []
    for entry in crl:
        if indirect and not delegated:
            try:
                delegated = any(isinstance(e.value, x509.CertificateIssuer) for e in entry.extensions)
            except ValueError:
                delegated = True  # unreadable: OpenSSL is asked, and a second entry fails closed
        if entry.serial_number == serial:
            found.append((_reason(entry), delegated))
    return found


def revoked_by(crl, certificate, issuer):
    """Whether CRL, signed by ISSUER's key, revokes CERTIFICATE: it has an
    entry for the serial for any reason but removeFromCRL, and the entry is
    the issuer's own (in a list that is not indirect, or before an indirect
    list names another issuer), or the serial has entries that contradict
    each other (OpenSSL heeds only the first), or OpenSSL's verifier, given
    this list alone, refuses it (an entry under a certificateIssuer, whose
    name it matches as RFC 5280 does)."""
    entries = _entries(crl, certificate.serial_number)
    standing = [delegated for reason, delegated in entries if reason != x509.ReasonFlags.remove_from_crl]
    if not standing:
        return False
    if not all(standing) or len(entries) > 1:
        return True
    return not certificates.openssl_verify(certificate, trusted=[issuer], partial=True, crls=[crl],
                                           crl_check=True, check_time=False)


def _status(links, lists, applied):
    """The certificates of LINKS that the lists their issuer's key signed do
    not clear: (those revoked, those the lists do not cover). Each list that
    applies to a link is added to APPLIED (by id)."""
    revoked, uncovered = [], []
    for certificate, issuer in links:
        own = [crl for crl in lists if issued_by(crl, issuer)]
        applied.update(id(crl) for crl in own)
        if not own:
            continue
        # Not left to OpenSSL with every list at once: given several, it takes one delta by the
        # order they come in and passes over a delta that no freshestCRL points to.
        if any(revoked_by(crl, certificate, issuer) for crl in own):
            revoked.append(certificate)
        elif not certificates.openssl_verify(certificate, trusted=[issuer], partial=True, crls=own,
                                             crl_check=True, check_time=False):
            uncovered.append(certificate)
    return revoked, uncovered


def _current(crl, now):
    return (crl.last_update <= now + CLOCK_SKEW
            and (crl.next_update is None or crl.next_update >= now - CLOCK_SKEW))


def check(sig: Optional["signature.Signature"], signer_roots, tsa_roots, crl_paths: Sequence[Path],
          now: Optional[datetime.datetime] = None) -> None:
    """Raises Refused when a certificate on SIG's chain (up to
    SIGNER_ROOTS) or on its authority's (up to TSA_ROOTS) is revoked by the
    lists in CRL_PATHS; else NotApplicable when those lists cannot settle it.
    A revocation found decides, whatever else the lists leave open. SIG is
    None for an unsigned file, to which no list applies."""
    now = now or datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    given = [(path, crl) for path in crl_paths for crl in chain.load_crls([path])]
    current = [crl for _, crl in given if _current(crl, now)]
    sides = []
    if sig is not None:
        sides.append(("its certificate chain", links_of(sig.carried, signer_roots)))
        if sig.timestamp_carried:
            sides.append(("its timestamp's authority's chain", links_of(sig.timestamp_carried, tsa_roots)))
    uncovered, applied = None, set()
    for words, links in sides:
        revoked, not_covered = _status(links, current, applied)
        if revoked:
            raise Refused("revocation.revoked", f"{words} holds a revoked certificate: {certificates.subject(revoked[0])}")
        uncovered = uncovered or next(iter(not_covered), None)
    stale = next((crl for _, crl in given if not _current(crl, now)), None)
    if stale is not None:
        raise NotApplicable("revocation.current", f"the revocation list from {certificates.rfc2253(stale.issuer)} is not current (issued"
                            f" {stale.last_update:%Y-%m-%d %H:%M}, next due {stale.next_update or 'never'} UTC):"
                            " give the one its issuer publishes now")
    if uncovered is not None:
        raise NotApplicable("revocation.coverage", f"the revocation lists given from the issuer of {certificates.subject(uncovered)},"
                            " signed by its key, do not cover it, as OpenSSL's verifier reads them (another"
                            " partition or scope): give the one that does")
    # Every list is current by now, so each was tried against every link: one none applied to is unused.
    unused = next(((path, crl) for path, crl in given if id(crl) not in applied), None)
    if unused is not None:
        path, crl = unused
        raise NotApplicable("revocation.applies", f"the revocation list from {certificates.rfc2253(crl.issuer)} in {path} is signed by no"
                            " issuer on the signer's chain or on the timestamp authority's: it cannot be applied"
                            " to this file")
