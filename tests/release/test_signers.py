"""Signatures of this build as real signers write them, made with the
throwaway PKI: signtool's and jsign's attribute sets, OpenSSL's extras,
Debian 12's own osslsigncode, other digests, page hashes, an ECDSA signer, a
SHA-1 root carried along, DigiCert-style tokens. Each is accepted (read,
the round trip with the build, the chain to the root), and the forgery
nearest to it is refused by the check that guards it.

Every file made is left in <work-dir>/signers/ to be looked at."""

import datetime
import hashlib
import urllib.request

import pytest
from asn1crypto import tsp
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding

import conftest
import der_editor as E
import pki as pki_module
import timestamp_authority
from release_tools import image, inputs, signature, trust
from test_signature import (attributes, ess_id, genuine, indirect, publisher, re_sign_token, read, refused,  # noqa: F401
                            signed_by, signed_data, signer_info, token_signed_data, tst_info)

CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
OPUS_INFO, STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.12", "1.3.6.1.4.1.311.2.1.11"
INDIVIDUAL, SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.21", "1.3.6.1.4.1.311.2.1.4"
SMIME_CAPABILITIES, SIGNING_TIME = "1.2.840.113549.1.9.15", "1.2.840.113549.1.9.5"
RFC3161, COUNTERSIGNATURE, DATA = "1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6", "1.2.840.113549.1.7.1"
RSA_ENCRYPTION = "1.2.840.113549.1.1.1"
DIGEST_OIDS = {"sha256": "2.16.840.1.101.3.4.2.1", "sha384": "2.16.840.1.101.3.4.2.2",
               "sha512": "2.16.840.1.101.3.4.2.3"}
# SpcPeImageData as signtool and jsign write it: no flags, an empty file link.
EMPTY_LINK_IMAGE_DATA = E.tlv(0x30, E.oid("1.3.6.1.4.1.311.2.1.15") + E.tlv(
    0x30, bytes.fromhex("030100") + bytes.fromhex("a004a2028000")))
# What OpenSSL's PKCS #7 signing adds: the ciphers it knows, some with a key size.
OPENSSL_CAPABILITIES = E.tlv(0x30, b"".join(
    E.tlv(0x30, E.oid(dotted) + (E.tlv(0x02, bytes([bits])) if bits else b""))
    for dotted, bits in (("2.16.840.1.101.3.4.1.42", 0), ("2.16.840.1.101.3.4.1.22", 0),
                         ("2.16.840.1.101.3.4.1.2", 0), ("1.2.840.113549.3.7", 0), ("1.2.840.113549.3.2", 128),
                         ("1.2.840.113549.3.2", 64), ("1.3.14.3.2.7", 0), ("1.2.840.113549.3.2", 40))))


@pytest.fixture(scope="module")
def folder(work_dir):
    made = work_dir / "signers"
    made.mkdir(exist_ok=True)
    return made


@pytest.fixture(scope="module")
def signer_key(pki):
    return serialization.load_pem_private_key(pki.signer_key.read_bytes(), pki.password.encode())


@pytest.fixture(scope="module")
def plain(built_exe, folder, signer):
    """An untimestamped signature by osslsigncode, the tree the shapes are made from."""
    return image.signature_blob(conftest.sign(built_exe, folder / "plain.exe", **signer).read_bytes())


def attribute(dotted, value):
    return E.parse(E.tlv(0x30, E.oid(dotted) + E.tlv(0x31, value)))


def sign_again(tree, key, others, *, digest="sha256", rsa_oid=RSA_ENCRYPTION):
    """The signer info given contentType, messageDigest and OTHERS (encoded
    attributes) as its signed attributes, in DER order, and signed anew with
    KEY under DIGEST; its unsigned attributes gone."""
    content = E.body(indirect(tree))
    signed = [attribute(CONTENT_TYPE, E.oid(SPC_INDIRECT_DATA)),
              attribute(MESSAGE_DIGEST, E.tlv(0x04, hashlib.new(digest, content).digest())),
              *(E.parse(other) for other in others)]
    info = signer_info(tree)
    info.children[3] = E.Node(0xA0, children=sorted(signed, key=E.encode))
    message = b"\x31" + E.encode(info[3])[1:]
    if isinstance(key, ec.EllipticCurvePrivateKey):
        info.children[5].content = key.sign(message, ec.ECDSA(getattr(hashes, digest.upper())()))
    else:
        info.children[4] = E.algorithm(rsa_oid, b"\x05\x00")
        info.children[5].content = key.sign(message, padding.PKCS1v15(), getattr(hashes, digest.upper())())
    info.children = info.children[:6]


def timestamp(tree, authority):
    """A token from AUTHORITY over the signature's value, as the one unsigned attribute."""
    value = signer_info(tree)[5].content
    query = tsp.TimeStampReq({"version": 1, "cert_req": True, "nonce": int.from_bytes(b"\x5a" * 8, "big"),
                              "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                                  "hashed_message": hashlib.sha256(value).digest()}})
    request = urllib.request.Request(authority.url, data=query.dump(),
                                     headers={"Content-Type": "application/timestamp-query"})
    with urllib.request.urlopen(request, timeout=30) as answer:
        token = tsp.TimeStampResp.load(answer.read())["time_stamp_token"].dump()
    signer_info(tree).children.append(E.Node(0xA1, children=[attribute(RFC3161, token)]))


def put(tree_or_blob, built_exe, path, padded_length=True):
    blob = tree_or_blob if isinstance(tree_or_blob, bytes) else E.encode(tree_or_blob)
    path.write_bytes(image.attach(built_exe.read_bytes(), blob, padded_length))
    return path


def accepted(path, built_exe, roots, tsa_root):
    """PATH's signature read, the build with it attached again, its chain led to ROOTS."""
    data = path.read_bytes()
    found = read(data, tsa_root)
    signature.compare_with_build(data, built_exe.read_bytes(), found)
    trust.signer_chain(found, inputs.roots(roots))
    return found


# signtool sign /fd sha256 /tr URL /td sha256: an empty SpcSpOpusInfo (no /d), the individual statement
# type, rsaEncryption as the signature algorithm, the empty file link.
def signtool(tree):
    indirect(tree).children[0] = E.parse(EMPTY_LINK_IMAGE_DATA)
    return [E.tlv(0x30, E.oid(OPUS_INFO) + E.tlv(0x31, E.tlv(0x30, b""))),
            E.tlv(0x30, E.oid(STATEMENT_TYPE) + E.tlv(0x31, E.tlv(0x30, E.oid(INDIVIDUAL))))]


# jsign --name --url: SpcSpOpusInfo with the program name (BMPString) and a URL, no signing time.
def jsign(tree):
    indirect(tree).children[0] = E.parse(EMPTY_LINK_IMAGE_DATA)
    opus = E.tlv(0x30, E.tlv(0xA0, E.tlv(0x80, "Sorrelvane Uninstall".encode("utf-16-be")))
                 + E.tlv(0xA1, E.tlv(0x80, b"https://sorrelvane.example/")))
    return [E.tlv(0x30, E.oid(STATEMENT_TYPE) + E.tlv(0x31, E.tlv(0x30, E.oid(INDIVIDUAL)))),
            E.tlv(0x30, E.oid(OPUS_INFO) + E.tlv(0x31, opus))]


# OpenSSL-based signers (sbsign): S/MIME capabilities beside osslsigncode's set (a signing time among them).
def openssl_based(tree):
    kept = [E.encode(a) for a in attributes(tree).children
            if E.encode(a[0]) not in (E.oid(CONTENT_TYPE), E.oid(MESSAGE_DIGEST))]
    assert any(E.oid(SIGNING_TIME) in a for a in kept)
    return kept + [E.tlv(0x30, E.oid(SMIME_CAPABILITIES) + E.tlv(0x31, OPENSSL_CAPABILITIES))]


def protection(tree, digest=None):
    """CMSAlgorithmProtection, as BouncyCastle's signers add it: the signer's digest algorithm (or DIGEST)
    and, once signed again, rsaEncryption."""
    named = E.encode(E.algorithm(DIGEST_OIDS[digest], b"\x05\x00")) if digest else E.encode(signer_info(tree)[2])
    return E.tlv(0x30, E.oid("1.2.840.113549.1.9.52") + E.tlv(0x31, E.tlv(
        0x30, named + E.tlv(0xA1, E.oid(RSA_ENCRYPTION) + b"\x05\x00"))))


# BouncyCastle's default signed attributes: osslsigncode's set with CMSAlgorithmProtection.
def bouncycastle(tree):
    return signtool(tree) + [protection(tree)]


SHAPES = {"signtool": signtool, "jsign": jsign, "openssl-based": openssl_based, "bouncycastle": bouncycastle}


@pytest.mark.parametrize("name", SHAPES)
def test_attribute_sets_of_real_signers(name, plain, built_exe, folder, pki, tsa, signer_key):
    tree = E.parse(plain)
    sign_again(tree, signer_key, SHAPES[name](tree))
    # signtool and jsign write the signer last; OpenSSL first: any order is theirs.
    signed_data(tree)[3].children.reverse()
    timestamp(tree, tsa)
    found = accepted(put(tree, built_exe, folder / f"{name}.exe"), built_exe, pki.root, tsa.root)
    assert found.timestamp_authority == f"CN={timestamp_authority.AUTHORITY_NAME}"


@pytest.mark.parametrize("name, edit, check", [
    # The empty file link as an ASCII string: no signer writes it.
    ("file-link", lambda tree: indirect(tree).children.__setitem__(0, E.parse(
        EMPTY_LINK_IMAGE_DATA[:-2] + b"\x81\x00")), "signature.pe-image-data"),
    ("capabilities", lambda tree: None, "signature.smime-capabilities"),
    ("many-capabilities", lambda tree: None, "signature.smime-capabilities"),
    ("protection", lambda tree: None, "signature.algorithm-protection"),
])
def test_nearest_forgeries_of_real_attribute_sets(name, edit, check, plain, built_exe, folder, tsa, signer_key):
    tree = E.parse(plain)
    others = signtool(tree)
    edit(tree)
    if name == "capabilities":  # a capability whose parameter is no key size, but room for anything
        others.append(E.tlv(0x30, E.oid(SMIME_CAPABILITIES) + E.tlv(0x31, E.tlv(0x30, E.tlv(
            0x30, E.oid("1.2.840.113549.3.7") + E.tlv(0x02, b"\x01" * 64))))))
    if name == "many-capabilities":  # more than anyone lists, each of a genuine shape
        others.append(E.tlv(0x30, E.oid(SMIME_CAPABILITIES) + E.tlv(0x31, E.tlv(0x30, b"".join(
            E.tlv(0x30, E.oid(f"1.2.840.113549.3.{n}")) for n in range(1, 34))))))
    if name == "protection":  # naming SHA-512 where the signer signed with SHA-256
        others.append(protection(tree, "sha512"))
    sign_again(tree, signer_key, others)
    refused(check, read, put(tree, built_exe, folder / f"forged-{name}.exe"), tsa.root)


def test_certificate_length_without_its_padding(plain, built_exe, folder, pki, tsa, signer_key):
    """sbsign's WIN_CERTIFICATE: dwLength leaves out the zeros that pad it to eight bytes."""
    # A program name of the length that leaves padding to leave out.
    for size in range(8):
        tree = E.parse(plain)
        opus = E.tlv(0x30, E.tlv(0xA0, E.tlv(0x81, b"Sorrelvane Uninstall" + b"!" * size)))
        sign_again(tree, signer_key, [E.tlv(0x30, E.oid(OPUS_INFO) + E.tlv(0x31, opus))])
        blob = E.encode(tree)
        if len(blob) % 8:
            break
    path = put(blob, built_exe, folder / "unpadded-length.exe", padded_length=False)
    accepted(path, built_exe, pki.root, tsa.root)
    data = bytearray(path.read_bytes())
    table = image.read_layout(data).table_offset
    for name, at, value, check in [("length", table, 8 + len(blob) - 1, "image.certificate-padding"),
                                   ("padding", len(data) - 1, 1, "image.certificate-padding")]:
        forged = bytearray(data)
        if name == "length":
            forged[at:at + 4] = value.to_bytes(4, "little")
        else:
            forged[at] = value
        forged = image._with_table(bytes(forged), image.read_layout(bytes(forged)), table, len(forged) - table)
        refused(check, read, forged, tsa.root)


@pytest.mark.parametrize("digest", ["sha384", "sha512"])
def test_other_digests(digest, built_exe, folder, signer, pki, tsa, signer_key):
    """osslsigncode sign -h sha384 / -h sha512 (signtool /fd sha384): accepted; a file digest under
    another algorithm than the signer's, genuinely signed, refused."""
    path = conftest.sign(built_exe, folder / f"{digest}.exe", digest=digest, timestamp_url=tsa.url, **signer)
    accepted(path, built_exe, pki.root, tsa.root)
    tree = E.parse(image.signature_blob(path.read_bytes()))
    other = "sha512" if digest == "sha384" else "sha384"
    indirect(tree)[1].children = [E.algorithm(DIGEST_OIDS[other], b"\x05\x00"),
                                  E.Node(0x04, image.authenticode_digest(built_exe.read_bytes(), None, other))]
    sign_again(tree, signer_key, [], digest=digest)
    refused("signature.image-digest-algorithm", read, put(tree, built_exe, folder / f"{digest}-other.exe"), tsa.root)


@pytest.mark.parametrize("digest, dotted", [("sha1", "1.3.14.3.2.26"), ("md5", "1.2.840.113549.2.5")])
def test_weak_digests_refused_by_name(digest, dotted, built_exe, folder, signer, tsa):
    path = conftest.sign(built_exe, folder / f"{digest}.exe", digest=digest, **signer)
    refused("signature.algorithm", read, path, tsa.root, naming=dotted)


@pytest.fixture(scope="module")
def page_hashed(built_exe, folder, signer, tsa):
    return conftest.sign(built_exe, folder / "page-hashes.exe", extra=["-ph"], timestamp_url=tsa.url, **signer)


def serialized_page_hashes(tree):
    """SpcPeImageData's serialized object: [1] { class id, the page-hash attributes }."""
    return indirect(tree)[0][1][1][0]


def edit_page_hashes(tree, change):
    data = serialized_page_hashes(tree)[1]
    node = E.parse(data.content)
    change(node)
    data.content = E.encode(node)


def test_page_hashes(page_hashed, built_exe, folder, pki, tsa, signer_key):
    """osslsigncode sign -ph (signtool /ph): accepted; a wrong page hash, or one too few, genuinely
    signed, refused."""
    accepted(page_hashed, built_exe, pki.root, tsa.root)
    blob = image.signature_blob(page_hashed.read_bytes())
    for name, change, said in [
            ("wrong", lambda e: e[:40] + bytes(32) + e[72:],
             f"the page at byte {image.read_layout(built_exe.read_bytes()).sections[0][0]} (page 2)"),
            ("one-too-few", lambda e: e[:-36], "page hashes for")]:
        tree = E.parse(blob)
        edit_page_hashes(tree, lambda node: setattr(node[0][1][0], "content", change(node[0][1][0].content)))
        sign_again(tree, signer_key, [])
        refusal = refused("signature.page-hashes", read, put(tree, built_exe, folder / f"page-hash-{name}.exe"),
                          tsa.root)
        assert said in str(refusal), refusal


# Page hashes in shapes no signer writes; read before anything is verified, so nothing need be signed again.
PAGE_HASH_SHAPES = {
    "image-data-extra": (lambda t: indirect(t)[0].children.append(E.Node(0x05)), "signature.pe-image-data"),
    "flags": (lambda t: setattr(indirect(t)[0][1][0], "content", b"\x07\x00"), "signature.pe-image-data"),
    "link-extra": (lambda t: indirect(t)[0][1][1].children.append(E.Node(0x05)), "signature.pe-image-data"),
    "serialized-extra": (lambda t: serialized_page_hashes(t).children.append(E.Node(0x04, b"")),
                         "signature.pe-image-data"),
    "class": (lambda t: setattr(serialized_page_hashes(t)[0], "content", bytes(16)), "signature.pe-image-data"),
    "not-der": (lambda t: edit_page_hashes(t, E.non_minimal), "der.minimal-length"),
    "two-attributes": (lambda t: edit_page_hashes(t, lambda n: n.children.append(n[0])), "signature.pe-image-data"),
    "other-hash": (lambda t: edit_page_hashes(t, lambda n: n[0].children.__setitem__(
        0, E.parse(E.oid("1.3.6.1.4.1.311.2.3.9")))), "signature.pe-image-data"),
}


@pytest.mark.parametrize("name", PAGE_HASH_SHAPES)
def test_page_hash_shapes(name, page_hashed, built_exe, folder, tsa):
    tree = E.parse(image.signature_blob(page_hashed.read_bytes()))
    edit, check = PAGE_HASH_SHAPES[name]
    edit(tree)
    refused(check, read, put(tree, built_exe, folder / f"page-hash-shape-{name}.exe"), tsa.root)


def test_debian_12s_own_osslsigncode(built_exe, folder, signer, pki, tsa, debian_12_osslsigncode):
    """osslsigncode 2.5 writes the signer's certificate first."""
    path = conftest.sign(built_exe, folder / "osslsigncode-2.5.exe", timestamp_url=tsa.url,
                         tool=debian_12_osslsigncode, **signer)
    found = accepted(path, built_exe, pki.root, tsa.root)
    assert found.carried[0].subject.rfc4514_string() == "CN=Sorrelvane Test Publisher"
    # Its order of a bundle (the root, the root cross-signed by an older root, the older root) leads to
    # the older root as 2.9's does: the order carried decides nothing.
    bundle = conftest.sign(built_exe, folder / "osslsigncode-2.5-bundle.exe", tool=debian_12_osslsigncode,
                           **dict(signer, certs=pki.bundle_chain))
    accepted(bundle, built_exe, pki.old_root, tsa.root)


def test_ecdsa_p384_signer(pki, built_exe, folder, tsa):
    made = publisher(pki, folder / "p384", signer_key=ec.generate_private_key(ec.SECP384R1()))
    path = signed_by(built_exe, made.folder, tsa.url)
    accepted(path, built_exe, pki.root, tsa.root)
    tree = E.parse(image.signature_blob(path.read_bytes()))
    value = signer_info(tree)[5]
    value.content = value.content[:-1] + bytes([value.content[-1] ^ 1])
    refused("signature.signer-signature", read, put(tree, built_exe, folder / "p384-flipped.exe"), tsa.root)


def test_carried_root_signed_with_sha1(pki, built_exe, folder, tsa):
    """A long-lived root's self-signature is SHA-1: never relied on, so not judged."""
    root_key = pki_module.new_key()
    root = pki_module.certificate("Throwaway SHA-1 Root", root_key, ca=True, digest=hashes.SHA1)
    made = publisher(pki, folder / "sha1-root", root=(root, root_key))
    (made.folder / "chain.pem").write_bytes(pki_module.pem(made.signer, made.intermediate, root))
    (made.folder / "root.pem").write_bytes(pki_module.pem(root))
    accepted(signed_by(built_exe, made.folder, tsa.url), built_exe, made.folder / "root.pem", tsa.root)


@pytest.fixture(scope="module")
def tsa_v1(work_dir):
    authority = timestamp_authority.start(work_dir / "tsa-v1", v1=True)
    yield authority
    authority.stop()


def test_digicert_style_token(built_exe, folder, signer, pki, tsa_v1):
    """ESSCertID v1 (SHA-1) naming the authority, no accuracy, ordering or authority name."""
    path = conftest.sign(built_exe, folder / "token-v1.exe", timestamp_url=tsa_v1.url, **signer)
    found = accepted(path, built_exe, pki.root, tsa_v1.root)
    assert found.timestamp_time <= datetime.datetime.now(datetime.timezone.utc)
    tree = E.parse(image.signature_blob(path.read_bytes()))
    assert b"\x06\x0b" + bytes.fromhex("2a864886f70d010910020c") in E.encode(tree), "not an ESSCertID v1 token"


def authority_of(tsa):
    return (x509.load_pem_x509_certificate((tsa.dir / "tsa.pem").read_bytes()),
            serialization.load_pem_private_key((tsa.dir / "tsa.key").read_bytes(), None))


def countersign(tree, authority, digest_of=None, timed=True):
    """A legacy countersignature by AUTHORITY (a certificate and its key)
    over the signature's value (over DIGEST_OF, when given), as signtool /t
    writes it: contentType data, signingTime (unless not TIMED) and
    messageDigest; the certificate added to the signature's."""
    certificate, key = authority
    value = signer_info(tree)[5].content if digest_of is None else digest_of
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%y%m%d%H%M%SZ").encode()
    signed = E.Node(0xA0, children=sorted([
        attribute(CONTENT_TYPE, E.oid(DATA)), attribute(MESSAGE_DIGEST, E.tlv(0x04, hashlib.sha256(value).digest()))]
        + [attribute(SIGNING_TIME, E.tlv(0x17, now))] * timed, key=E.encode))
    serial = certificate.serial_number.to_bytes((certificate.serial_number.bit_length() + 8) // 8, "big")
    info = E.tlv(0x30, E.tlv(0x02, b"\x01") + E.tlv(0x30, certificate.issuer.public_bytes() + E.tlv(0x02, serial))
                 + E.encode(E.algorithm(DIGEST_OIDS["sha256"], b"\x05\x00")) + E.encode(signed)
                 + E.encode(E.algorithm(RSA_ENCRYPTION, b"\x05\x00"))
                 + E.tlv(0x04, key.sign(b"\x31" + E.encode(signed)[1:], padding.PKCS1v15(), hashes.SHA256())))
    signer_info(tree).children.append(E.Node(0xA1, children=[attribute(COUNTERSIGNATURE, info)]))
    signed_data(tree)[3].children.append(E.parse(certificate.public_bytes(serialization.Encoding.DER)))


def test_legacy_countersignature(plain, built_exe, folder, pki, tsa):
    """signtool sign /t, jsign's default: the countersigner's chain checked to --tsa-ca for time stamping."""
    tree = E.parse(plain)
    countersign(tree, authority_of(tsa))
    path = put(tree, built_exe, folder / "countersigned.exe")
    found = accepted(path, built_exe, pki.root, tsa.root)
    assert found.timestamp_authority == f"CN={timestamp_authority.AUTHORITY_NAME}" and found.timestamp_time
    refused("tsa-chain.root", read, path, pki.root)
    tree = E.parse(plain)
    countersign(tree, authority_of(tsa), digest_of=b"another signature")
    refused("countersignature.message-digest", read, put(tree, built_exe, folder / "countersigned-other.exe"),
            tsa.root)
    # A countersigner under the publisher's own intermediate: the two chains share it.
    intermediate = x509.load_pem_x509_certificate(pki.intermediate.read_bytes())
    intermediate_key = serialization.load_pem_private_key(pki.intermediate_key.read_bytes(), None)
    key = pki_module.new_key()
    countersigner = pki_module.certificate("Sorrelvane Test Countersigner", key, intermediate, intermediate_key,
                                           ca=False, extensions=[(x509.ExtendedKeyUsage(
                                               [x509.oid.ExtendedKeyUsageOID.TIME_STAMPING]), True)])
    tree = E.parse(plain)
    countersign(tree, (countersigner, key))
    found = accepted(put(tree, built_exe, folder / "countersigned-shared.exe"), built_exe, pki.root, pki.root)
    assert found.timestamp_authority == "CN=Sorrelvane Test Countersigner", found
    tree = E.parse(plain)
    countersign(tree, authority_of(tsa))
    value = countersigner_info(tree)[5]
    value.content = value.content[:-1] + bytes([value.content[-1] ^ 1])
    refused("countersignature.authority-signature", read,
            put(tree, built_exe, folder / "countersigned-flipped.exe"), tsa.root)


def countersigner_info(tree):
    return signer_info(tree)[6][0][1][0]


@pytest.mark.parametrize("name, edit, check", [
    ("untimed", None, "countersignature.signing-time-present"),
    ("unsigned-attributes", lambda info: info.children.append(E.Node(0xA1, children=[attribute(CONTENT_TYPE, E.oid(
        DATA))])), "countersignature.no-unsigned-attributes"),
    ("attributes-unsigned", lambda info: info.children.pop(3), "countersignature.signed-attributes"),
])
def test_countersignature_shapes_no_signer_writes(name, edit, check, plain, built_exe, folder, tsa):
    tree = E.parse(plain)
    countersign(tree, authority_of(tsa), timed=edit is not None)
    if edit is not None:
        edit(countersigner_info(tree))
    refused(check, read, put(tree, built_exe, folder / f"countersigned-{name}.exe"), tsa.root)


# An attribute certificate as Microsoft's time-stamp service carries one beside its own: tagged [1],
# named in the token's ESSCertIDv2 by the SHA-256 of its DER as an AttributeCertificate (a SEQUENCE).
SHA256_RSA = E.encode(E.algorithm("1.2.840.113549.1.1.11", b"\x05\x00"))
ATTRIBUTE_CERTIFICATE = E.parse(E.tlv(0xA1, E.tlv(0x30, b"".join([
    E.tlv(0x02, b"\x01"), E.tlv(0x30, E.tlv(0xA0, E.encode(E.name("Throwaway Time-Stamp Service")))),
    E.tlv(0xA0, E.tlv(0x30, E.tlv(0xA4, E.encode(E.name("Throwaway Timestamp Root"))))), SHA256_RSA,
    E.tlv(0x02, b"\x05\x00\xeb"), E.tlv(0x30, E.tlv(0x18, b"20261209000000Z") + E.tlv(0x18, b"20261210000000Z")),
    E.tlv(0x30, E.tlv(0x30, E.oid("1.3.6.1.4.1.311.10.4.1") + E.tlv(0x31, E.tlv(0x04, b"x"))))]))
    + SHA256_RSA + E.tlv(0x03, b"\x00" + bytes(range(64)))))


@pytest.mark.parametrize("named_as, check", [("AttributeCertificate", None), ("unnamed", "token.attribute-certificate-named"),
                                             ("as carried", "token.ess-on-chain"),
                                             ("a certificate", "token.attribute-certificate"),
                                             ("twice", "token.certificate-once")])
def test_microsoft_style_token(named_as, check, genuine, built_exe, folder, pki, tsa):
    tree = E.parse(genuine[1])
    carried = ATTRIBUTE_CERTIFICATE
    if named_as == "a certificate":  # the authority's root retagged, named by the ESS as its chain may be
        root = x509.load_pem_x509_certificate(tsa.root.read_bytes()).public_bytes(serialization.Encoding.DER)
        carried = E.parse(b"\xa1" + root[1:])
    token_signed_data(tree)[3].children.extend([carried] * (1 + (named_as == "twice")))
    encoding = E.encode(carried)
    hashed = {"AttributeCertificate": b"\x30" + encoding[1:], "twice": b"\x30" + encoding[1:], "as carried": encoding,
              "a certificate": b"\x30" + encoding[1:]}.get(named_as)
    if hashed is not None:
        ess_id(tree)[0].children.append(E.parse(E.tlv(0x30, E.tlv(0x04, hashlib.sha256(hashed).digest()))))
    key = serialization.load_pem_private_key((tsa.dir / "tsa.key").read_bytes(), None)
    re_sign_token(tree, tst_info(tree), key)
    path = put(tree, built_exe, folder / f"token-attribute-certificate-{named_as.replace(' ', '-')}.exe")
    if check is None:
        accepted(path, built_exe, pki.root, tsa.root)
    else:
        refused(check, read, path, tsa.root)
