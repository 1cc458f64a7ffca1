"""Is any certificate on the signer's chain or the authority's revoked by the
lists given? Asked of OpenSSL's own verifier one (certificate, issuer) link at
a time, on every link a verifier could take, and judged by its exit status.

Lists are never fetched. Those given must settle the question: a list that
applies to nothing here, one that is not current, or lists from an issuer
that do not cover its certificate (another partition or scope) mean the check
could not be made, which is not the same as a certificate found good."""

import datetime
from typing import Optional, Sequence

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm

from . import certificates, links, openssl, signature, trust
from .text import shown
from .verdicts import CannotCheck, Refused

# A list's issuer and the machine checking it need not agree on the time to the minute.
CLOCK_SKEW = datetime.timedelta(minutes=5)


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
    found = links.all_links(members + trust.above(members, roots), roots)
    return [(certificate, issuer) for certificate, issuer in found
            if not (certificates.self_issued(certificate) and certificates.same_key(certificate, issuer))]


def _reason(entry):
    try:
        return entry.extensions.get_extension_for_class(x509.CRLReason).value.reason
    except x509.ExtensionNotFound:
        return None
    except ValueError:
        return "unreadable"  # not removeFromCRL, so the entry stands: fail closed


# What a list or an entry may say critically and still be read here; RFC 5280
# forbids the use of a list with a critical extension its reader does not know.
_KNOWN_CRL_EXTENSIONS = {x509.CRLNumber.oid, x509.DeltaCRLIndicator.oid, x509.IssuingDistributionPoint.oid,
                         x509.AuthorityKeyIdentifier.oid, x509.FreshestCRL.oid, x509.AuthorityInformationAccess.oid}
_KNOWN_ENTRY_EXTENSIONS = {x509.CRLReason.oid, x509.InvalidityDate.oid, x509.CertificateIssuer.oid}


def unusable_because(crl, issuer):
    """Why CRL, signed by ISSUER's key, is not one this check applies, or
    None. Only a whole list of the issuer's own is read: a delta, an
    indirect list, a list split by reasons or entries for other issuers
    would each need a reading that could go wrong quietly, so they are
    "cannot check" (exit 2), never a wrong "not revoked"."""
    if not certificates.same_name(crl.issuer, issuer.subject):
        return "it names another issuer than the one whose key signed it"
    if unknown_critical(crl):
        return "it has a critical extension this check does not know"
    try:
        extensions = {e.oid: e.value for e in crl.extensions}
        delegated = any(isinstance(e.value, x509.CertificateIssuer) for entry in crl for e in entry.extensions)
    except ValueError:
        return "its extensions cannot be read"
    scope = extensions.get(x509.IssuingDistributionPoint.oid)
    if x509.DeltaCRLIndicator.oid in extensions:
        return "it is a delta list, which this check does not read: give the base list"
    if scope is not None and scope.indirect_crl or delegated:
        return "it is an indirect list (entries for other issuers), which this check does not read"
    if scope is not None and scope.only_some_reasons:
        return "it covers some reasons only, which this check does not read: give the whole list"
    return None


def unknown_critical(crl):
    """Whether CRL, or an entry of it, has a critical extension this reading
    does not know (or extensions it cannot read, which fails closed)."""
    try:
        if any(e.critical and e.oid not in _KNOWN_CRL_EXTENSIONS for e in crl.extensions):
            return True
        return any(e.critical and e.oid not in _KNOWN_ENTRY_EXTENSIONS for entry in crl for e in entry.extensions)
    except ValueError:
        return True


def _entries(crl, serial):
    """CRL's entries for SERIAL, as (reason, revocation date in UTC). Only
    lists of the issuer's own reach here (unusable_because), so every entry
    is the issuer's."""
    if crl.get_revoked_certificate_by_serial_number(serial) is None:
        return []
    return [(_reason(entry), entry.revocation_date.replace(tzinfo=datetime.timezone.utc))
            for entry in crl if entry.serial_number == serial]


LATER = "revoked after the time that decides"


def revoked_by(crl, certificate, at):
    """Whether CRL revokes CERTIFICATE as of AT (the time stamped, or None
    for now): it has an entry for the serial for any reason but
    removeFromCRL, dated before AT unless the key was compromised; a serial
    listed twice revokes whatever the entries say (OpenSSL heeds only the
    first). LATER when its only entries are dated after AT: a signature
    timestamped before a revocation for any reason but a compromised key
    stays good."""
    entries = _entries(crl, certificate.serial_number)
    standing = [(reason, when) for reason, when in entries if reason != x509.ReasonFlags.remove_from_crl]
    if not standing:
        return False
    if at is not None and all(when > at and reason not in (x509.ReasonFlags.key_compromise, "unreadable")
                              for reason, when in standing):
        return LATER
    return True


def _status(links, lists, applied, at):
    """The certificates of LINKS that the lists their issuer's key signed do
    not clear as of AT: (those revoked, those the lists do not cover, the
    lists that cannot be used: another issuer's name, an unknown critical
    extension). Each list that applies to a link is added to APPLIED (by id)."""
    revoked, uncovered, unusable = [], [], []
    for certificate, issuer in links:
        own = [crl for crl in lists if issued_by(crl, issuer)]
        applied.update(id(crl) for crl in own)
        cannot = [(crl, why) for crl in own for why in [unusable_because(crl, issuer)] if why]
        unusable += cannot
        own = [crl for crl in own if not any(crl is u for u, _ in cannot)]
        if not own:
            continue
        # Not left to OpenSSL with every list at once: given several, it takes one delta by the
        # order they come in and passes over a delta that no freshestCRL points to.
        said = [revoked_by(crl, certificate, at) for crl in own]
        if True in said:
            revoked.append(certificate)
        elif LATER not in said and not openssl.verify(certificate, trusted=[issuer], partial=True,
                                                                   crls=own, crl_check=True, check_time=False):
            uncovered.append(certificate)
    return revoked, uncovered, unusable


def _current(crl, now):
    return (crl.last_update <= now + CLOCK_SKEW
            and (crl.next_update is None or crl.next_update >= now - CLOCK_SKEW))


def check(sig: Optional["signature.Signature"], signer_roots, tsa_roots, given: Sequence[tuple],
          now: Optional[datetime.datetime] = None) -> None:
    """Raises Refused when a certificate on SIG's chain (up to
    SIGNER_ROOTS) or on its authority's (up to TSA_ROOTS), each a list of
    certificates, is revoked by the lists GIVEN ((path, list) pairs, as
    inputs.revocation_lists reads them); else CannotCheck when those lists
    cannot settle it.
    A revocation found decides, whatever else the lists leave open. SIG is
    None for an unsigned file, to which no list applies."""
    now = now or datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    current = [crl for _, crl in given if _current(crl, now)]
    sides = []
    if sig is not None:
        # A lifetime-signing certificate's signature ends with it: its timestamp saves nothing.
        at = None if sig.carried_chain and trust.lifetime_signing(sig.carried_chain[0]) else sig.timestamp_time
        sides.append(("its certificate chain", links_of(sig.carried, signer_roots), at))
        if sig.timestamp_carried:
            sides.append(("its timestamp's authority's chain", links_of(sig.timestamp_carried, tsa_roots),
                          sig.timestamp_time))
    uncovered, unusable, applied = None, [], set()
    for words, side_links, at in sides:
        revoked, not_covered, cannot_use = _status(side_links, current, applied, at)
        if revoked:
            raise Refused("revocation.revoked", f"{words} holds a revoked certificate: {certificates.subject(revoked[0])}")
        uncovered = uncovered or next(iter(not_covered), None)
        unusable += cannot_use
    stale = next((crl for _, crl in given if not _current(crl, now)), None)
    if stale is not None:
        raise CannotCheck("revocation.current", f"the revocation list from {certificates.rfc2253(stale.issuer)} is not current (issued"
                            f" {stale.last_update:%Y-%m-%d %H:%M}, next due {stale.next_update or 'never'} UTC):"
                            " give the one its issuer publishes now")
    if unusable:
        crl, why = unusable[0]
        raise CannotCheck("revocation.usable", f"the revocation list from {certificates.rfc2253(crl.issuer)} cannot"
                            f" be used: {why}")
    if uncovered is not None:
        raise CannotCheck("revocation.coverage", f"the revocation lists given from the issuer of {certificates.subject(uncovered)},"
                            " signed by its key, do not cover it, as OpenSSL's verifier reads them (another"
                            " partition or scope): give the one that does")
    # Every list is current by now, so each was tried against every link: one none applied to is unused.
    unused = next(((path, crl) for path, crl in given if id(crl) not in applied), None)
    if unused is not None:
        path, crl = unused
        raise CannotCheck("revocation.applies", f"the revocation list from {certificates.rfc2253(crl.issuer)} in {shown(path)} is signed by no"
                            " issuer on the signer's chain or on the timestamp authority's: it cannot be applied"
                            " to this file")
