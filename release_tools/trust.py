"""What a chain must be, beyond leading to a root, before anything it vouches
for is trusted: each certificate on it strong enough, and allowed the use it
is put to, as Windows allows it (each certificate no more than its issuers).

The signer's chain and the authority's are held to the same rules, each for
its own purpose; the leaf's own extended key usage is the caller's."""

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, rsa

from . import certificates

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
    members = list(members)
    return certificates.grown([], [r for r in roots if not certificates.among(r, members)],
                              lambda root, so_far: any(certificates.issued_by(c, root) for c in members + so_far))


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
        if weak is not None and not (certificates.self_issued(certificate) and certificates.among(certificate, roots)):
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
