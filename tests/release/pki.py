"""A throwaway PKI shaped like a publisher's, for the release tests.

A root, an intermediate it issued, and a code-signing certificate the
intermediate issued, whose key is encrypted. The signer's certificate names a
CRL distribution point on 127.0.0.1 where nothing listens, as public ones name
a CRL, so that a check that tries to fetch it fails visibly offline. Also an
unrelated self-signed certificate with its key, for a root that is not the
publisher's and for a signer that is not theirs.

make_pki(dir) writes into DIR:
  root.pem              the root
  chain.pem             the signer's certificate, then the intermediate (no
                        root), as a publisher ships it
  signer.key            the signer's key, encrypted with the password in password
  password
  signer.pem            the signer's certificate alone, its intermediate forgotten
  other.pem other.key   the unrelated certificate and its (plain) key
  expired-chain.pem server-chain.pem  chains whose signer's certificate, for the
                        same key, has expired, or is for servers, not code
  signer.pfx            key and chain in one, under the same password
and, for the checks of a signature:
  intermediate.pem intermediate.key root.key
  old-root.pem          an older root, which cross-signed the root:
  root-cross.pem        the root's subject and key, issued by the older root
  bundle-chain.pem      signer, intermediate, root, the cross-signed root and the
                        older root, as publishers' bundles carry them
  crl-root-revokes-intermediate.pem/.der  the root's list, revoking the intermediate
  crl-intermediate-empty.pem  the intermediate's list, revoking nothing
and returns a Pki naming them.
"""

import datetime
import secrets
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa  # noqa: F401 - ec: the tests' curves
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CRL_URL = "http://127.0.0.1:1/throwaway.crl"


def name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def key_usage(**set_bits):
    bits = dict(digital_signature=False, content_commitment=False, key_encipherment=False,
                data_encipherment=False, key_agreement=False, key_cert_sign=False, crl_sign=False,
                encipher_only=False, decipher_only=False)
    bits.update(set_bits)
    return x509.KeyUsage(**bits)


def certificate(subject, key, issuer=None, issuer_key=None, *, ca, days=2, start=None, extensions=(),
                usage=None, digest=hashes.SHA256):
    """A certificate for KEY named SUBJECT, issued by ISSUER (a certificate)
    with ISSUER_KEY and DIGEST, or self-signed; CA or an end entity with
    EXTENSIONS and the key usage USAGE (digitalSignature alone by default)."""
    start = start or now() - datetime.timedelta(minutes=5)
    issuer_name = issuer.subject if issuer is not None else name(subject)
    signing_key = issuer_key if issuer_key is not None else key
    builder = (x509.CertificateBuilder()
               .subject_name(name(subject))
               .issuer_name(issuer_name)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(start)
               .not_valid_after(start + datetime.timedelta(days=days))
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(signing_key.public_key()),
                              critical=False))
    if ca:
        builder = (builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .add_extension(key_usage(key_cert_sign=True, crl_sign=True), critical=True))
    else:
        builder = (builder.add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=False)
                   .add_extension(usage or key_usage(digital_signature=True), critical=True))
    for extension, critical in extensions:
        builder = builder.add_extension(extension, critical=critical)
    return builder.sign(signing_key, digest())


def revocation_list(issuer, issuer_key, revoked=(), extensions=(), number=1, start=None, entries=()):
    """ISSUER's CRL number NUMBER, valid from START (an hour ago) for a day,
    revoking REVOKED (certificates), then ENTRIES ((serial, entry extensions)
    pairs, or (serial, entry extensions, revocation date), in that order),
    with EXTENSIONS ((extension, critical) pairs)."""
    # An hour back: a revocation is dated at START, before any timestamp a test makes.
    start = start or now() - datetime.timedelta(hours=1)
    builder = (x509.CertificateRevocationListBuilder()
               .issuer_name(issuer.subject)
               .last_update(start)
               .next_update(start + datetime.timedelta(days=1))
               .add_extension(x509.CRLNumber(number), critical=False))
    for extension, critical in extensions:
        builder = builder.add_extension(extension, critical=critical)
    for serial, entry_extensions, *when in [(c.serial_number, ()) for c in revoked] + list(entries):
        entry = x509.RevokedCertificateBuilder().serial_number(serial).revocation_date(when[0] if when else start)
        for extension in entry_extensions:
            entry = entry.add_extension(extension, critical=False)
        builder = builder.add_revoked_certificate(entry.build())
    return builder.sign(issuer_key, hashes.SHA256())


def pem(*certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def plain_key(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


@dataclass(frozen=True)
class Pki:
    dir: Path
    password: str
    root: Path
    chain: Path
    signer_key: Path
    password_file: Path
    signer: Path
    other: Path
    other_key: Path
    expired_chain: Path
    server_chain: Path
    pfx: Path
    intermediate: Path
    intermediate_key: Path
    root_key: Path
    old_root: Path
    root_cross: Path
    bundle_chain: Path
    crl_revokes_intermediate: Path
    crl_revokes_intermediate_der: Path
    crl_empty: Path


def make_pki(dir):
    dir = Path(dir)
    dir.mkdir(parents=True, exist_ok=True)
    password = f"throwaway-{secrets.token_hex(8)}"
    (dir / "password").write_text(password + "\n")

    root_key, intermediate_key, signer_key, other_key, old_root_key = (new_key() for _ in range(5))
    root = certificate("Throwaway Test Root", root_key, ca=True)
    intermediate = certificate("Throwaway Test Intermediate", intermediate_key, root, root_key, ca=True)

    def signer_certificate(purpose, days, start=None, crl=False):
        extensions = [(x509.ExtendedKeyUsage([purpose]), False)]
        if crl:
            extensions.append((x509.CRLDistributionPoints([x509.DistributionPoint(
                [x509.UniformResourceIdentifier(CRL_URL)], None, None, None)]), False))
        return certificate("Sorrelvane Test Publisher", signer_key, intermediate, intermediate_key,
                           ca=False, days=days, start=start, extensions=extensions)

    signer = signer_certificate(ExtendedKeyUsageOID.CODE_SIGNING, 1, crl=True)
    expired = signer_certificate(ExtendedKeyUsageOID.CODE_SIGNING, 1,
                                 start=now() - datetime.timedelta(days=2))
    server = signer_certificate(ExtendedKeyUsageOID.SERVER_AUTH, 1)
    other = certificate("Unrelated Test Publisher", other_key, ca=True)
    old_root = certificate("Throwaway Old Root", old_root_key, ca=True, days=3)
    root_cross = certificate("Throwaway Test Root", root_key, old_root, old_root_key, ca=True)

    files = {
        "root.pem": pem(root),
        "root.key": plain_key(root_key),
        "intermediate.pem": pem(intermediate),
        "intermediate.key": plain_key(intermediate_key),
        "signer.pem": pem(signer),
        "chain.pem": pem(signer, intermediate),
        "signer.key": signer_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.BestAvailableEncryption(password.encode())),
        "other.pem": pem(other),
        "other.key": plain_key(other_key),
        "expired-chain.pem": pem(expired, intermediate),
        "server-chain.pem": pem(server, intermediate),
        "signer.pfx": pkcs12.serialize_key_and_certificates(
            b"signer", signer_key, signer, [intermediate],
            serialization.BestAvailableEncryption(password.encode())),
        "old-root.pem": pem(old_root),
        "root-cross.pem": pem(root_cross),
        "bundle-chain.pem": pem(signer, intermediate, root, root_cross, old_root),
        "crl-root-revokes-intermediate.pem": revocation_list(root, root_key, [intermediate])
        .public_bytes(serialization.Encoding.PEM),
        "crl-root-revokes-intermediate.der": revocation_list(root, root_key, [intermediate])
        .public_bytes(serialization.Encoding.DER),
        "crl-intermediate-empty.pem": revocation_list(intermediate, intermediate_key)
        .public_bytes(serialization.Encoding.PEM),
    }
    for file_name, content in files.items():
        (dir / file_name).write_bytes(content)
    for secret in ("signer.key", "root.key", "intermediate.key", "other.key", "password"):
        (dir / secret).chmod(0o600)
    return Pki(dir=dir, password=password, root=dir / "root.pem", chain=dir / "chain.pem",
               signer_key=dir / "signer.key", password_file=dir / "password", signer=dir / "signer.pem",
               other=dir / "other.pem", other_key=dir / "other.key",
               expired_chain=dir / "expired-chain.pem", server_chain=dir / "server-chain.pem",
               pfx=dir / "signer.pfx", intermediate=dir / "intermediate.pem",
               intermediate_key=dir / "intermediate.key", root_key=dir / "root.key",
               old_root=dir / "old-root.pem", root_cross=dir / "root-cross.pem",
               bundle_chain=dir / "bundle-chain.pem",
               crl_revokes_intermediate=dir / "crl-root-revokes-intermediate.pem",
               crl_revokes_intermediate_der=dir / "crl-root-revokes-intermediate.der",
               crl_empty=dir / "crl-intermediate-empty.pem")
