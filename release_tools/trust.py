"""Who vouches for a signature: one question, asked alike of the signer's
chain (for code signing) and of the timestamp authority's (for time
stamping), by trust().

A chain is trusted when it leads to one of the roots given; every carried
certificate on it leads there too (a self-made "root" with a copy of a real
certificate under it is bytes no root vouches for); each certificate on it
is strong enough and allowed the use it is put to, as Windows allows it
(each no more than its issuers); and OpenSSL's own verifier, judged by its
exit status, accepts it at the time that decides. Where it stops, and which
root it reaches, are worked out from the parsed certificates."""

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, rsa

from . import certificates, links, openssl
from .verdicts import Refused

CODE_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.3")
TIME_STAMPING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.8")
ANY_USAGE = x509.ObjectIdentifier("2.5.29.37.0")
# Microsoft's lifetime signing: the signature ends with the certificate, timestamp or not.
LIFETIME_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.311.10.3.13")
PURPOSE_NAMES = {CODE_SIGNING: "code signing", TIME_STAMPING: "time stamping"}

SMALLEST_RSA_MODULUS = 2048
CURVES = (ec.SECP256R1, ec.SECP384R1, ec.SECP521R1)
DIGESTS = (hashes.SHA256, hashes.SHA384, hashes.SHA512)


def weak_key(certificate):
    """Why CERTIFICATE's key is too weak to be relied on, or None."""
    try:
        key = certificate.public_key()
    except (UnsupportedAlgorithm, ValueError):
        return "a key of a kind this check cannot read"
    if isinstance(key, rsa.RSAPublicKey):
        if key.key_size < SMALLEST_RSA_MODULUS:
            return f"a {key.key_size}-bit RSA key, fewer than {SMALLEST_RSA_MODULUS} bits"
        return None
    if isinstance(key, ec.EllipticCurvePublicKey):
        if not isinstance(key.curve, CURVES):
            return f"an EC key on {key.curve.name}, not P-256, P-384 or P-521"
        return None
    return "a key that is neither RSA nor EC"


def weak_signature(certificate):
    """Why CERTIFICATE's own signature is too weak to be relied on, or None."""
    try:
        algorithm = certificate.signature_hash_algorithm
    except UnsupportedAlgorithm:
        algorithm = None
    if not isinstance(algorithm, DIGESTS):
        name = algorithm.name.upper() if algorithm is not None else certificate.signature_algorithm_oid.dotted_string
        return f"a signature made with {name}, not SHA-256 or stronger"
    return None


def extended_usage(certificate):
    """CERTIFICATE's extended key usage as a list of OIDs, or None when it has none."""
    try:
        return list(certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value)
    except x509.ExtensionNotFound:
        return None


def lifetime_signing(certificate):
    return LIFETIME_SIGNING in (extended_usage(certificate) or ())


def above(members, roots):
    """Those of ROOTS a verifier would climb to from MEMBERS: each issued a
    member or one of these, and is not a member itself."""
    # Each certificate is looked at once, against each root once: a roots file
    # laid out to make a search go round costs no more than its size.
    by_subject = {}
    for root in roots:
        if not links.among(root, members):
            by_subject.setdefault(certificates.name_key(root.subject), []).append(root)
    found, waiting = [], list(members)
    while waiting:
        certificate = waiting.pop()
        named = by_subject.get(certificates.name_key(certificate.issuer), [])
        for root in [r for r in named if links.issued_by(certificate, r)]:
            named.remove(root)
            found.append(root)
            waiting.append(root)
    return found


def refusal(leaf, members, roots, purpose):
    """Why the chain from LEAF through MEMBERS (carried, LEAF first) and up
    through ROOTS cannot be relied on for PURPOSE, as (rule, reason), or None: a weak key on any
    certificate of it, a weak signature on any but a self-issued root (whose
    own signature nothing relies on), an issuer whose extended key usage
    leaves PURPOSE out, or a leaf whose key usage leaves out digitalSignature."""
    wanted = PURPOSE_NAMES[purpose]
    anchors = above(members, roots)
    for certificate in list(members) + anchors:
        weak = weak_key(certificate)
        if weak is not None:
            return "key-strength", f"{certificates.subject(certificate)} on it has {weak}"
        weak = weak_signature(certificate)
        # Only a root's own self-signature is never relied on; a self-issued link under another key is.
        anchor = (certificates.self_issued(certificate) and links.among(certificate, roots)
                  and links.signed_by(certificate, certificate.public_key()))
        if weak is not None and not anchor:
            return "signature-strength", f"{certificates.subject(certificate)} on it has {weak}"
    for certificate in list(members) + anchors:
        if certificate is leaf:
            continue
        usage = extended_usage(certificate)
        if usage is not None and purpose not in usage and ANY_USAGE not in usage:
            return "issuer-usage", (f"{certificates.subject(certificate)}, an issuer on it, allows its certificates"
                                    f" no {wanted} (extendedKeyUsage)")
    try:
        key_usage = leaf.extensions.get_extension_for_class(x509.KeyUsage).value
    except x509.ExtensionNotFound:
        key_usage = None  # no keyUsage restricts nothing
    if key_usage is not None and not key_usage.digital_signature:
        return "key-usage", f"{certificates.subject(leaf)} has a keyUsage without digitalSignature"
    return None


class Untrusted(Refused):
    """.chain is the phrase for where the chain went; .rootless, whether it
    reaches none of the roots at all."""

    def __init__(self, check, what, where, chain, rootless, other_root=False):
        super().__init__(check, f"{what}, checked against the roots in {where}, {chain}")
        self.chain = chain
        self.rootless = rootless
        self.other_root = other_root  # it ends at a root, not the one given


# The leaf's own usage: codeSigning among its extended key usages; for an
# authority, OpenSSL's timestampsign purpose (timeStamping alone, critical).
_OPENSSL_PURPOSE = {TIME_STAMPING: "timestampsign"}


def trust(leaf, carried, roots, purpose, at, *, step, what):
    """Returns the root that LEAF's chain, through CARRIED (every carried
    certificate, LEAF among them or not), leads to among ROOTS (an
    inputs.Roots), trusted for PURPOSE at AT (a datetime, or None for now);
    raises Untrusted, its check STEP.<rule>, its words WHAT's."""
    trusted = list(roots.certificates)
    # OpenSSL takes the first carried issuer that fits: a root's cross-signed
    # copy must come before the self-signed one, or the order a signer wrote
    # (Debian 12's osslsigncode writes another than 2.9's) would decide
    # whether a chain to an older root verifies.
    untrusted = sorted((c for c in carried if certificates.der(c) != certificates.der(leaf)),
                       key=certificates.self_issued)

    def refuse(rule, phrase, rootless=False, other_root=False):
        raise Untrusted(f"{step}.{rule}", what, roots.where, phrase, rootless, other_root)

    walked = links.walk(leaf, untrusted)
    members = walked.members
    root = links.root_found(leaf, members, trusted)
    if root is None:
        top = walked.path[-1]
        if certificates.self_issued(top):
            refuse("root", f"stops at {certificates.subject(top)}, a root not among them", rootless=True,
                   other_root=True)
        refuse("root", f"stops at {certificates.rfc2253(top.issuer)}, the issuer of {certificates.subject(top)},"
               " whose certificate is neither carried nor among them", rootless=True)
    # What the chain leaves to the roots must be the roots' own or signed by them:
    # OpenSSL uses its trusted copy and never looks at the carried one.
    for top in walked.tops:
        if not links.top_checked(top, trusted):
            refuse("top", f"does not verify (the carried {certificates.subject(top)}, issued by"
                   f" {certificates.rfc2253(top.issuer)}, is neither among them nor signed by one of them)")
    stray = links.not_leading(members, trusted)
    if stray is not None:
        refuse("leads", f"does not verify (the carried {certificates.subject(stray)}, issued by"
               f" {certificates.rfc2253(stray.issuer)}, leads to none of them)")
    if purpose == CODE_SIGNING and CODE_SIGNING not in (extended_usage(leaf) or ()):
        refuse("code-signing-usage", "does not verify (the signer's certificate is not for code signing)")
    weak = refusal(leaf, members, trusted, purpose)
    if weak is not None:
        refuse(weak[0], f"does not verify ({weak[1]})")
    # A lifetime-signing certificate's signatures end with it: its timestamp extends nothing.
    lifetime = purpose == CODE_SIGNING and lifetime_signing(leaf)
    moment = None if lifetime else at
    openssl_purpose = _OPENSSL_PURPOSE.get(purpose)
    if not openssl.verify(leaf, trusted=trusted, untrusted=untrusted, purpose=openssl_purpose,
                                       moment=moment):
        if openssl.verify(leaf, trusted=trusted, untrusted=untrusted, purpose=openssl_purpose,
                                       check_time=False):
            when = f"at the time stamped, {moment:%Y-%m-%d %H:%M:%S} UTC" if moment else "now"
            if lifetime and at:
                when += " (the signer's certificate is for lifetime signing, which no timestamp extends)"
            refuse("valid-at", f"does not verify (a certificate on it is not valid {when})")
        refuse("openssl", "does not verify (OpenSSL's verifier refuses it)")
    return root


def signer_chain(sig, roots):
    """Where SIG's signer's chain leads among ROOTS: "leads to the root CN=...",
    or raises Untrusted (chain.<rule>). Judged at the time stamped, when there
    is a timestamp, else now."""
    root = trust(sig.carried_chain[0], sig.carried, roots, CODE_SIGNING, sig.timestamp_time,
                 step="chain", what="its certificate chain")
    return f"leads to the root {certificates.subject(root)}"
