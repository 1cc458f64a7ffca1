"""Who signed it: the signer's certificate chain against a file of roots,
through OpenSSL's own verifier judged by its exit status; where the chain
stops, and which root it leads to, worked out from the parsed certificates;
and the roots and revocation lists given, read (revocation.py applies them)."""

from pathlib import Path
from typing import Sequence

from cryptography import x509
from cryptography.x509.oid import ExtendedKeyUsageOID

from . import certificates, pem, signature, trust
from .verdicts import Refused

SYSTEM_ROOTS = Path("/etc/ssl/certs/ca-certificates.crt")



class ChainRefused(Refused):
    """.chain is the phrase for where the chain went."""

    def __init__(self, roots, chain, check, rootless=False):
        super().__init__(check, f"its certificate chain, checked against the roots in {roots}, {chain}")
        self.chain = chain
        self.rootless = rootless  # it leads to none of the roots at all


class BadInput(ValueError):
    """A roots file with no PEM certificate, or a CRL file with no revocation
    list: the caller's "cannot check". str() names the file, never its content."""


def _read(path, what):
    try:
        return Path(path).read_bytes()
    except OSError as error:
        raise BadInput(f"{path} cannot be read ({error.strerror})") from None


def load_roots(path: Path) -> list:
    """The PEM certificates in PATH (other text between them is passed over)."""
    roots = []
    for block in pem.blocks(_read(path, "roots"), b"CERTIFICATE"):
        try:
            roots.append(x509.load_pem_x509_certificate(block))
        except ValueError:
            raise BadInput(f"{path} holds a PEM certificate that cannot be read") from None
    if not roots:
        raise BadInput(f"{path} holds no PEM certificate")
    return roots


def load_crls(paths: Sequence[Path]) -> list:
    """The revocation lists in PATHS: each file PEM (one or several lists) or DER (one)."""
    lists = []
    for path in paths:
        data = _read(path, "revocation list")
        blocks = pem.blocks(data, b"X509 CRL")
        try:
            if blocks:
                lists += [x509.load_pem_x509_crl(block) for block in blocks]
            else:
                lists.append(x509.load_der_x509_crl(data))
        except ValueError:
            raise BadInput(f"{path} holds no revocation list (PEM or DER) that can be read") from None
    return lists


def _for_code_signing(certificate):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return False
    return ExtendedKeyUsageOID.CODE_SIGNING in usage


def check_chain(sig: "signature.Signature", roots: Path) -> str:
    """Returns "leads to the root CN=..." or raises ChainRefused. The chain
    is judged at the time stamped, when there is a timestamp, else now."""
    trusted = load_roots(roots)
    path = list(sig.carried_chain)
    signer = path[0]
    untrusted = [c for c in sig.carried if certificates.der(c) != certificates.der(signer)]

    def refuse(rule, phrase, rootless=False):
        raise ChainRefused(roots, phrase, f"chain.{rule}", rootless)

    walked = certificates.walk(signer, untrusted)
    members = walked.members
    root = certificates.root_found(signer, members, trusted)
    if root is None:
        top = path[-1]
        if certificates.self_issued(top):
            refuse("root", f"stops at {certificates.subject(top)}, a root not among them", rootless=True)
        refuse("root", f"stops at {certificates.rfc2253(top.issuer)}, the issuer of {certificates.subject(top)},"
               " whose certificate is neither carried nor among them", rootless=True)
    # What the chain leaves to the roots must be the roots' own or signed by them:
    # OpenSSL uses its trusted copy and never looks at the carried one.
    for top in walked.tops:
        if not certificates.top_checked(top, trusted):
            refuse("top", f"does not verify (the carried {certificates.subject(top)}, issued by"
                   f" {certificates.rfc2253(top.issuer)}, is neither among them nor signed by one of them)")
    stray = certificates.not_leading(members, trusted)
    if stray is not None:
        refuse("leads", f"does not verify (the carried {certificates.subject(stray)}, issued by"
               f" {certificates.rfc2253(stray.issuer)}, leads to none of them)")
    if not _for_code_signing(signer):
        refuse("code-signing-usage", "does not verify (the signer's certificate is not for code signing)")
    weak = trust.refusal(signer, members, trusted, trust.CODE_SIGNING)
    if weak is not None:
        refuse(weak[0], f"does not verify ({weak[1]})")
    # A lifetime-signing certificate's signatures end with it: its timestamp extends nothing.
    lifetime = trust.lifetime_signing(signer)
    moment = None if lifetime else sig.timestamp_time
    if not certificates.openssl_verify(signer, trusted=trusted, untrusted=untrusted, moment=moment):
        if certificates.openssl_verify(signer, trusted=trusted, untrusted=untrusted, check_time=False):
            when = f"at the time stamped, {moment:%Y-%m-%d %H:%M:%S} UTC" if moment else "now"
            if lifetime and sig.timestamp_time:
                when += " (the signer's certificate is for lifetime signing, which no timestamp extends)"
            refuse("valid-at", f"does not verify (a certificate on it is not valid {when})")
        refuse("openssl", "does not verify (OpenSSL's verifier refuses it)")
    return f"leads to the root {certificates.subject(root)}"
