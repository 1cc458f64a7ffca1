"""The signature check against forgeries made from a genuine signature: each
put back on the build (checksum and all) and refused for its own reason; and
the shapes that real publishers and authorities ship, accepted.

Every forged file is left in <work-dir>/forged/ to be looked at."""

import base64
import copy
import datetime
import os
import tempfile
import time
import types

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import serialization

import conftest
import der_editor as E
import pki as pki_module
import timestamp_authority
from release_tools import certificates, der, image, inputs, processes, revocation, signature, trust, verify
from release_tools.verdicts import CannotCheck, Refused

# Room for anything, where no signature covers it.
JUNK = E.tlv(0x04, b"\xa5" * 200_000)
SHA256, SHA384, RSA = "2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.1"
TOOL_TIME_LIMIT = 60


@pytest.fixture(scope="module", autouse=True)
def odd_tmpdir(work_dir):
    """Every temporary file of the checks under a folder with a space and a comma."""
    folder = work_dir / "tmp with space, and comma"
    folder.mkdir(exist_ok=True)
    saved, tempfile.tempdir = tempfile.tempdir, str(folder)
    yield folder
    tempfile.tempdir = saved


@pytest.fixture(scope="module")
def forged_dir(work_dir):
    folder = work_dir / "forged"
    folder.mkdir(exist_ok=True)
    return folder


@pytest.fixture(scope="module")
def genuine(signed_exe):
    data = signed_exe.read_bytes()
    return data, image.signature_blob(data)


@pytest.fixture(scope="module")
def signed_with_root(built_exe, work_dir, pki, tsa):
    """Signed with a chain file that carries the root too."""
    certs = work_dir / "chain and root.pem"
    certs.write_bytes(pki.chain.read_bytes() + pki.root.read_bytes())
    return conftest.sign(built_exe, work_dir / "genuine" / "with-root.exe", certs=certs, key=pki.signer_key,
                         password_file=pki.password_file, timestamp_url=tsa.url)


def read(path_or_data, tsa_root):
    data = path_or_data if isinstance(path_or_data, bytes) else path_or_data.read_bytes()
    return signature.read_signature(data, inputs.roots(tsa_root))


def check_chain(sig, roots):
    """Where SIG's signer's chain leads among the roots in the file ROOTS."""
    return trust.signer_chain(sig, inputs.roots(roots))


def refused(check, call, *args, naming=None):
    """CALL(*ARGS) refused by the check CHECK (and, given NAMING, naming that
    certificate); returns the refusal."""
    with pytest.raises(Refused) as caught:
        call(*args)
    message = str(caught.value)
    assert caught.value.check == check, (caught.value.check, message)
    assert naming is None or naming in message, message
    assert "\n" not in message
    return caught.value


# Where things are in a signature's tree.
def signed_data(tree):
    return tree[1][0]


def signer_info(tree):
    return signed_data(tree)[4][0]


def token(tree):
    return signer_info(tree)[6][0][1][0]


def token_signed_data(tree):
    return token(tree)[1][0]


def certificate_nodes(tree):
    return signed_data(tree)[3].children


def issuer_and_subject(certificate):
    tbs = certificate[0]
    return tbs[3], tbs[5]  # after the version, serial number and signature algorithm


def certificate_named(tree, common_name, self_issued=None):
    for node in certificate_nodes(tree):
        issuer, subject = issuer_and_subject(node)
        if common_name.encode() in E.encode(subject) and (self_issued is None or
                                                          (E.encode(issuer) == E.encode(subject)) == self_issued):
            return node
    raise LookupError(common_name)


def chunked(node):
    content = node.content
    return E.Node(0x24, children=[E.Node(0x04, content[:40]), E.Node(0x04, content[40:])])


def fake_self_issued_signer(tree):
    """A certificate with another publisher's name and the real signer's key,
    issued by itself, its signature zeros; the signer info names it."""
    real = certificate_named(tree, "Sorrelvane Test Publisher")
    fake = copy.deepcopy(real)
    fake[0].children[3] = E.name("Unrelated Test Publisher")
    fake[0].children[5] = E.name("Unrelated Test Publisher")
    fake[2].content = b"\x00" + bytes(len(fake[2].content) - 1)
    signed_data(tree)[3].children = [fake]
    signer_info(tree)[1].children[0] = E.name("Unrelated Test Publisher")


def garbage_signature(common_name, self_issued=None):
    def edit(tree):
        node = certificate_named(tree, common_name, self_issued)[2]
        node.content = b"\x00" + b"\x5a" * (len(node.content) - 1)
    return edit


def flip(at):
    def edit(blob):
        blob = bytearray(blob)
        blob[at] ^= 0xFF
        return bytes(blob)
    return edit


def flip_signature_value(tree):
    value = signer_info(tree)[5]
    value.content = value.content[:8] + bytes([value.content[8] ^ 0xFF]) + value.content[9:]


def set_node(locate, index, node):
    def edit(tree):
        locate(tree).children[index] = node() if callable(node) else node
    return edit


def edit_node(locate, change):
    def edit(tree):
        change(locate(tree))
    return edit


def retag(locate, tag):
    def edit(tree):
        locate(tree).tag = tag
    return edit


def token_signer_info(tree):
    return token_signed_data(tree)[4][0]


DATA = "1.2.840.113549.1.7.1"


def costly_exponent(certificate):
    """CERTIFICATE's RSA key given a 300-bit public exponent, which costs a verifier a private-key operation."""
    key = certificate[0][6][1]  # subjectPublicKeyInfo's BIT STRING
    modulus = E.parse(key.content[1:])[0]
    key.content = b"\x00" + E.tlv(0x30, E.encode(modulus) + E.tlv(0x02, ((1 << 300) + 1).to_bytes(38, "big")))


def unused_bit(bit_string):
    """One unused bit in BIT_STRING, zero as DER wants it: bits no signature is over."""
    bit_string.content = b"\x01" + bit_string.content[1:-1] + bytes([bit_string.content[-1] & 0xFE])


FORGERIES = {
    # Elements read field by field under another identifier (class, tag number): unsigned bits.
    "content-info-identifier": (retag(lambda t: t, 0xB0), "signature.sequence"),
    "signed-data-identifier": (retag(signed_data, 0xF0), "signature.sequence"),
    "indirect-data-identifier": (retag(lambda t: signed_data(t)[2][1][0], 0xF0),
                                 "signature.sequence"),
    "signer-info-identifier": (retag(signer_info, 0x70), "signature.sequence"),
    "unsigned-attribute-identifier": (retag(lambda t: signer_info(t)[6][0], 0xB0),
                                      "signature.sequence"),
    "token-content-info-identifier": (retag(token, 0x31), "token.sequence"),
    "token-signed-data-identifier": (retag(token_signed_data, 0xF0), "token.sequence"),
    "token-signer-info-identifier": (retag(token_signer_info, 0x70), "token.sequence"),
    # Unsigned bytes in fields no signature covers.
    "digest-algorithm-parameters": (set_node(signer_info, 2, lambda: E.algorithm(SHA256, JUNK)),
                                    "signature.algorithm-parameters"),
    "signature-algorithm-parameters": (set_node(signer_info, 4, lambda: E.algorithm(RSA, JUNK)),
                                       "signature.algorithm-parameters"),
    "digest-algorithms-parameters": (edit_node(signed_data, lambda sd: sd[1].children.__setitem__(
        0, E.algorithm(SHA256, JUNK))), "signature.algorithm-parameters"),
    "digest-algorithms-extra": (edit_node(signed_data, lambda sd: E.add_to_set(
        sd[1], E.algorithm(SHA384, b"\x05\x00"))), "signature.one-digest-algorithm"),
    "version-oversized": (edit_node(signed_data, lambda sd: setattr(sd[0], "content", b"\x01" + JUNK)),
                          "signature.version"),
    "token-digest-algorithm-parameters": (edit_node(token_signed_data, lambda sd: sd[4][0].children.__setitem__(
        2, E.algorithm(SHA256, JUNK))), "token.algorithm-parameters"),
    "token-digest-algorithms-extra": (edit_node(token_signed_data, lambda sd: E.add_to_set(
        sd[1], E.algorithm(SHA384))), "token.one-digest-algorithm"),
    "token-version-oversized": (edit_node(token_signed_data, lambda sd: setattr(sd[0], "content", b"\x03" + JUNK)),
                                "token.version"),
    # The number and the copies of carried certificates: unsigned bits.
    "certificates-too-many": (edit_node(signed_data, lambda sd: sd[3].children.extend(
        copy.deepcopy(sd[3][1]) for _ in range(7))), "signature.certificates-count"),
    "certificate-twice": (edit_node(signed_data, lambda sd: E.add_to_set(sd[3], copy.deepcopy(sd[3][1]))),
                          "signature.certificate-once"),
    "token-certificates-too-many": (edit_node(token_signed_data, lambda sd: sd[3].children.extend(
        copy.deepcopy(sd[3][0]) for _ in range(8))), "token.certificates-count"),
    "token-certificate-twice": (edit_node(token_signed_data, lambda sd: sd[3].children.append(copy.deepcopy(sd[3][0]))),
                                "token.certificate-once"),
    # Fields and shapes no signer writes, where nothing is signed.
    "unknown-field": (edit_node(signer_info, lambda si: si.children.append(E.Node(0x05))), "signature.unknown-field"),
    "content-type": (edit_node(lambda t: t, lambda ci: ci.children.__setitem__(0, E.parse(E.oid(DATA)))),
                     "signature.content-type"),
    "one-signed-data": (edit_node(lambda t: t[1], lambda c: c.children.append(copy.deepcopy(c[0]))),
                        "signature.one-signed-data"),
    "one-indirect-data": (edit_node(lambda t: signed_data(t)[2][1], lambda c: c.children.append(copy.deepcopy(c[0]))),
                          "signature.one-indirect-data"),
    "signed-attributes": (edit_node(signer_info, lambda si: si.children.pop(3)), "signature.signed-attributes"),
    "certificate-kind": (edit_node(signed_data, lambda sd: sd[3].children.append(E.Node(0x04, b"x"))),
                         "signature.certificate-kind"),
    "extension-twice": (lambda t: certificate_named(t, "Sorrelvane Test Publisher")[0][7][0].children.append(
        copy.deepcopy(certificate_named(t, "Sorrelvane Test Publisher")[0][7][0][-1])), "signature.certificate-readable"),
    "key-cost": (lambda t: costly_exponent(certificate_named(t, "Sorrelvane Test Publisher")), "signature.key-cost"),
    "certificate-algorithm": (lambda t: certificate_named(t, "Throwaway Test Intermediate").children.__setitem__(
        1, E.algorithm("1.2.840.113549.1.1.12", b"\x05\x00")), "signature.certificate-algorithm"),
    "certificate-signature-bits": (lambda t: unused_bit(certificate_named(t, "Throwaway Test Intermediate")[2]),
                                   "signature.certificate-signature-bits"),
    "token-unsigned-attributes": (edit_node(token_signer_info, lambda si: si.children.append(
        E.Node(0xA1, children=[attribute("1.2.3.4", E.tlv(0x05, b""))]))), "token.no-unsigned-attributes"),
    "token-signed-attributes": (edit_node(token_signer_info, lambda si: si.children.pop(3)), "token.signed-attributes"),
    "tst-info": (edit_node(token_signed_data, lambda sd: sd[2].children.__setitem__(0, E.parse(E.oid(DATA)))),
                 "token.tst-info"),
    "tst-info-octets": (edit_node(token_signed_data, lambda sd: sd[2][1].children.append(copy.deepcopy(sd[2][1][0]))),
                        "token.tst-info-octets"),
    "certificates-present": (edit_node(token_signed_data, lambda sd: sd.children.pop(3)), "token.certificates-present"),
    # Certificates no one made.
    "carried-root-garbage": (garbage_signature("Throwaway Test Root", self_issued=True),
                             "signature.certificate-signature"),
    "fake-self-issued-signer": (fake_self_issued_signer,
                                "signature.certificate-signature"),
    # Not DER.
    "content-wrapper-long-length": (edit_node(signed_data, lambda sd: E.non_minimal(sd[2][1][0])),
                                    "der.minimal-length"),
    "token-long-length": (edit_node(token, E.non_minimal), "der.minimal-length"),
    "token-tstinfo-chunked": (edit_node(token_signed_data, lambda sd: sd[2][1].children.__setitem__(
        0, chunked(sd[2][1][0]))), "der.primitive-type"),
    "oid-arc-long": (edit_node(lambda t: t, lambda ci: setattr(ci[0], "content", b"\x2a" + b"\xff" * 20 + b"\x7f")),
                     "der.oid-arc-too-long"),
    "signature-oversized": (set_node(signer_info, 2, lambda: E.algorithm(SHA256, JUNK + JUNK)),
                            "image.table-size"),
    "ber-value": (edit_node(signer_info, lambda si: si[6][0][1].children.append(
        b"\x30\x80\x04\x07payload\x00\x00")), "der.definite-length"),
    # The cases of the bash release test.
    "signature-value": (flip_signature_value, "signature.signer-signature"),
    "timestamp-byte": (flip(-8), "token.authority-signature"),
}


def forge(name, blob, built, forged_dir):
    edit, _ = FORGERIES[name]
    if name == "timestamp-byte":
        forged_blob = edit(blob)
    else:
        tree = E.parse(blob)
        edit(tree)
        forged_blob = E.encode(tree)
    path = forged_dir / f"{name}.exe"
    path.write_bytes(image.attach(built, forged_blob))
    return path


@pytest.mark.parametrize("name", FORGERIES)
def test_forgery_is_refused_for_its_own_reason(name, genuine, signed_with_root, built_exe, tsa, forged_dir):
    blob = image.signature_blob(signed_with_root.read_bytes()) if name == "carried-root-garbage" else genuine[1]
    path = forge(name, blob, built_exe.read_bytes(), forged_dir)
    refused(FORGERIES[name][1], read, path, tsa.root)


def osslsigncode(*args):
    result = processes.run(["osslsigncode", *args], timeout=TOOL_TIME_LIMIT)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="module")
def tool_made(built_exe, signed_exe, pki, work_dir, forged_dir, signer):
    """Forgeries made with the tools, as the bash test made them."""
    data = bytearray(signed_exe.read_bytes())
    text = next(s for s in image.pefile.PE(data=bytes(data), fast_load=True).sections if s.Name.startswith(b".text"))
    data[text.PointerToRawData + 16] ^= 0xFF
    (forged_dir / "code.exe").write_bytes(bytes(data))
    for output in ("nested.exe", "blob.exe"):
        (forged_dir / output).unlink(missing_ok=True)
    osslsigncode("sign", "-nest", "-certs", pki.other, "-key", pki.other_key, "-h", "sha256",
                 "-in", signed_exe, "-out", forged_dir / "nested.exe")
    osslsigncode("add", "-addUnauthenticatedBlob", "-in", signed_exe, "-out", forged_dir / "blob.exe")
    certs = work_dir / "chain and other.pem"
    certs.write_bytes(pki.chain.read_bytes() + pki.other.read_bytes())
    conftest.sign(built_exe, forged_dir / "extra-certificate.exe", **dict(signer, certs=certs))
    return forged_dir


@pytest.mark.parametrize("name, check", [
    ("code", "signature.image-digest"),
    ("nested", "signature.nested-signature"),
    ("blob", "signature.unsigned-attribute"),
    ("extra-certificate", "signature.certificate-on-chain"),
])
def test_tool_made_forgery_is_refused(name, check, tool_made, tsa):
    # A dual-signed file is refused with the way to sign it once.
    refused(check, read, tool_made / f"{name}.exe", tsa.root, naming="sign once" if name == "nested" else None)


def test_the_image_around_the_signature(genuine, signed_with_root, built_exe, work_dir, tsa):
    data, blob = genuine
    built = built_exe.read_bytes()
    # attach is osslsigncode's attach-signature, byte for byte. The signature goes in as PEM, which
    # 2.5 and 2.9 both take (2.5 then checks the chain against the system's roots, and says it failed).
    (work_dir / "genuine.pem").write_bytes(b"-----BEGIN PKCS7-----\n" + base64.encodebytes(blob) + b"-----END PKCS7-----\n")
    (work_dir / "attached.exe").unlink(missing_ok=True)
    processes.run(["osslsigncode", "attach-signature", "-sigin", work_dir / "genuine.pem", "-in", built_exe,
                   "-out", work_dir / "attached.exe"], timeout=TOOL_TIME_LIMIT)
    assert image.attach(built, blob) == (work_dir / "attached.exe").read_bytes() == data
    assert image.strip(data) == built
    with pytest.raises(image.BadImage) as signed_twice:
        image.attach(data, blob)
    assert signed_twice.value.check == "image.build-unsigned"
    sig = read(data, tsa.root)
    signature.compare_with_build(data, built, sig)
    assert read(built, tsa.root) is None
    refused("image.pe", read, b"MZ" + bytes(100), tsa.root)
    refused("image.table-at-end", read, data + b"\0" * 8, tsa.root)
    # A build that differs, and a file whose bytes outside the digest differ.
    other = bytearray(built)
    other[-1] ^= 1
    refused("build.unsigned-is-build",
            signature.compare_with_build, data, bytes(other), sig)
    refused("build.round-trip", signature.compare_with_build, data, built, read(signed_with_root, tsa.root))
    moved = bytearray(data)
    layout = image.read_layout(data)
    moved[layout.checksum_offset] ^= 1
    refused("image.checksum", read, bytes(moved), tsa.root)


def header_field(data, structure, field, value, size=4, at=None):
    """DATA with the PE header FIELD of STRUCTURE ("OPTIONAL_HEADER", say), or the bytes AT, set to VALUE."""
    if at is None:
        at = getattr(image.pefile.PE(data=bytes(data), fast_load=True), structure).get_field_absolute_offset(field)
    return bytes(data[:at]) + value.to_bytes(size, "little") + bytes(data[at + size:])


def table_entry(data, offset, size):
    at = image.pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset()
    return bytes(data[:at]) + offset.to_bytes(4, "little") + size.to_bytes(4, "little") + bytes(data[at + 8:])


def certificate_header(data, at, value, size):
    """DATA with SIZE bytes at AT (from the certificate table's start) set to VALUE."""
    table = image.read_layout(data).table_offset
    return bytes(data[:table + at]) + value.to_bytes(size, "little") + bytes(data[table + at + size:])


# The image's layout, each rule broken in the bytes no signature covers.
IMAGE_RULES = {
    "directory-entry": lambda d, t, n: header_field(d, "OPTIONAL_HEADER", "NumberOfRvaAndSizes", 4),
    "headers": lambda d, t, n: header_field(d, "OPTIONAL_HEADER", "SizeOfHeaders", 0x100),
    # Bytes between the headers and the first section, which no digest would cover.
    "sections": lambda d, t, n: header_field(d, "OPTIONAL_HEADER", "SizeOfHeaders", 0x200),
    "table-entry": lambda d, t, n: table_entry(d, 0, n),
    "table-aligned": lambda d, t, n: table_entry(d[:t] + bytes(4) + d[t:], t + 4, n),
    "table-size": lambda d, t, n: table_entry(d[:t + 8], t, 8),
    "one-certificate": lambda d, t, n: certificate_header(d, 0, n - 16, 4),
    "certificate-revision": lambda d, t, n: certificate_header(d, 4, 0x0100, 2),
    "certificate-type": lambda d, t, n: certificate_header(d, 6, 0x0001, 2),
    "certificate-der": lambda d, t, n: certificate_header(d, 10, 0xFFFF, 2),
    # The last section's raw data said to run into the certificate table.
    "sections-past-the-end": lambda d, t, n: section_size(d, -1, 0x200),
}


def section_size(data, index, more):
    """DATA with the raw size of its section INDEX grown by MORE bytes."""
    section = image.pefile.PE(data=bytes(data), fast_load=True).sections[index]
    return header_field(data, None, None, section.SizeOfRawData + more,
                        at=section.get_field_absolute_offset("SizeOfRawData"))


@pytest.mark.parametrize("rule", IMAGE_RULES)
def test_image_rules(rule, genuine, tsa):
    data = genuine[0]
    layout = image.read_layout(data)
    refused(f"image.{rule.replace('-past-the-end', '')}", read,
            IMAGE_RULES[rule](data, layout.table_offset, layout.table_size), tsa.root)


def test_genuine_signature_is_read(genuine, tsa, pki):
    sig = read(genuine[0], tsa.root)
    assert sig.signer_subject == "CN=Sorrelvane Test Publisher"
    assert sig.timestamp_authority == "CN=Throwaway Timestamp Authority"
    assert [c.subject.rfc4514_string() for c in sig.carried_chain] == [
        "CN=Sorrelvane Test Publisher", "CN=Throwaway Test Intermediate"]
    assert check_chain(sig, pki.root) == "leads to the root CN=Throwaway Test Root"
    # A timestamp from an authority that leads to none of the roots given.
    refused("tsa-chain.root",
            read, genuine[0], pki.other)


@pytest.fixture(scope="module")
def tsa_17_byte_nonce(work_dir):
    authority = timestamp_authority.start(work_dir / "tsa-nonce-17", nonce=b"\x01" + bytes(range(16)))
    yield authority
    authority.stop()


@pytest.mark.parametrize("authority, accepted", [("tsa_with_chain", True), ("tsa_long_nonce", True),
                                                 ("tsa_17_byte_nonce", False)])
def test_authorities_shapes(authority, accepted, request, built_exe, work_dir, signer):
    """The ESS attribute naming the whole chain, and a 16-byte nonce with its
    top bit set (17 octets in DER), are what real authorities ship."""
    tsa = request.getfixturevalue(authority)
    path = conftest.sign(built_exe, work_dir / "genuine" / f"{authority}.exe", timestamp_url=tsa.url, **signer)
    if accepted:
        sig = read(path, tsa.root)
        assert sig.timestamp_authority == "CN=Throwaway Timestamp Authority"
    else:
        refused("token.nonce-size", read, path, tsa.root)


def der_copy(pem_path, out):
    crl = x509.load_pem_x509_crl(pem_path.read_bytes())
    out.write_bytes(crl.public_bytes(serialization.Encoding.DER))
    return out


@pytest.fixture(scope="module")
def bundled(built_exe, work_dir, signer, tsa, pki):
    """Signed with a publisher's bundle: the root, the root cross-signed by an older root, the older root."""
    return read(conftest.sign(built_exe, work_dir / "genuine" / "bundle.exe", **dict(signer, certs=pki.bundle_chain)),
                tsa.root)


def test_chains_that_stop(genuine, built_exe, pki, tsa, work_dir, forged_dir, signer):
    sig = read(genuine[0], tsa.root)
    refused("chain.root",
            check_chain, sig, pki.other)
    forgotten = conftest.sign(built_exe, work_dir / "genuine" / "forgotten.exe", **dict(signer, certs=pki.signer))
    refused("chain.root", check_chain, read(forgotten, tsa.root), pki.root)

    # A carried intermediate whose signature is garbage, while a good copy stands among the roots.
    roots = work_dir / "root and intermediate.pem"
    roots.write_bytes(pki.root.read_bytes() + pki.intermediate.read_bytes())
    tree = E.parse(genuine[1])
    garbage_signature("Throwaway Test Intermediate")(tree)
    path = forged_dir / "carried-intermediate-garbage.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    refused("chain.top",
            check_chain, read(path, tsa.root), roots)



def test_chains_cross_signed(bundled, signed_with_root, built_exe, pki, tsa, work_dir, forged_dir):
    # A publisher's bundle: the root, the root cross-signed by an older root, the older root.
    assert check_chain(bundled, pki.old_root) == "leads to the root CN=Throwaway Old Root"
    # The root cross-signed by a CA that an older root issued: found two steps past the carried root.
    older_key, ca_key = pki_module.new_key(), pki_module.new_key()
    start = pki_module.now() - datetime.timedelta(days=1)
    older = pki_module.certificate("Other Old Root", older_key, ca=True, start=start)
    ca = pki_module.certificate("Other Cross CA", ca_key, older, older_key, ca=True, start=start)
    root = x509.load_pem_x509_certificate(pki.root.read_bytes())
    cross = pki_module.certificate("Throwaway Test Root", types.SimpleNamespace(public_key=root.public_key), ca,
                                   ca_key, ca=True, start=start)
    tree = E.parse(image.signature_blob(signed_with_root.read_bytes()))
    for certificate in (cross, ca, older):
        E.add_to_set(signed_data(tree)[3], E.parse(certificates.der(certificate)))
    path = forged_dir / "cross-signed-two-steps.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    (work_dir / "other old root.pem").write_bytes(pki_module.pem(older))
    assert check_chain(read(path, tsa.root), work_dir / "other old root.pem") == \
        "leads to the root CN=Other Old Root"
    # Revoked on the way through the cross-signed copy as well.
    refused("revocation.revoked",
            revoked, bundled, pki.old_root, [pki.crl_revokes_intermediate], naming="CN=Throwaway Test Intermediate")
    # Against the newer root alone, nothing vouches for the older root or its cross-signed copy: anyone
    # can make that pair (a self-made "root" and a copy of the real one under it), with any payload.
    refused("chain.leads",
            check_chain, bundled, pki.root)


def test_chains_to_a_re_issued_root(bundled, signed_with_root, pki, tsa, work_dir):
    # The carried root's re-issued twin (same name and key) among the roots, with the root's own list.
    root = x509.load_pem_x509_certificate(pki.root.read_bytes())
    root_key = serialization.load_pem_private_key(pki.root_key.read_bytes(), None)
    twin = work_dir / "re-issued root.pem"
    twin.write_bytes(pki_module.pem(pki_module.certificate("Throwaway Test Root", root_key, ca=True)))
    root_list = work_dir / "root's empty list.crl"
    root_list.write_bytes(pki_module.revocation_list(root, root_key).public_bytes(serialization.Encoding.DER))
    with_root = read(signed_with_root, tsa.root)
    assert check_chain(with_root, twin).startswith("leads to the root")
    revoked(with_root, twin, [root_list])
    both = work_dir / "root and old root.pem"
    both.write_bytes(pki.root.read_bytes() + pki.old_root.read_bytes())
    assert check_chain(bundled, both) == "leads to the root CN=Throwaway Test Root"


def evil_pair(victim):
    """A self-made "root" holding a payload, and a copy of VICTIM (its subject and key) issued by it: no
    private key of the publisher's or of an authority's is needed."""
    key = pki_module.new_key()
    payload = x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.99999.1"), b"\xa5" * 2000)
    evil = pki_module.certificate("Evil Root", key, ca=True, extensions=[(payload, False)])
    common_name = victim.subject.get_attributes_for_oid(x509.NameOID.COMMON_NAME)[0].value
    copied = pki_module.certificate(common_name, types.SimpleNamespace(public_key=victim.public_key), evil, key,
                                    ca=True)
    return [E.parse(certificates.der(c)) for c in (copied, evil)]


@pytest.mark.parametrize("side", ["signer", "token"])
def test_a_self_made_root_vouches_for_nothing(side, genuine, built_exe, pki, tsa, forged_dir):
    tree = E.parse(genuine[1])
    victim, carried = (pki.root, signed_data(tree)[3]) if side == "signer" else (tsa.root, token_signed_data(tree)[3])
    for node in evil_pair(x509.load_pem_x509_certificate(victim.read_bytes())):
        E.add_to_set(carried, node)
    path = forged_dir / f"evil-root-{side}.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    if side == "signer":
        refused("chain.leads",
                check_chain, read(path, tsa.root), pki.root)
        # Without --ca, this system's roots decide, and none of them vouches for the pair.
        refused("chain.trusted-root", verify.decide_chain, read(path, tsa.root), None,
                inputs.roots(inputs.SYSTEM_ROOTS), [].append)
    else:
        refused("tsa-chain.leads",
                read, path, tsa.root)


def revoked(sig, roots, lists, tsa_root=None):
    """Revocation by LISTS, up to the roots files ROOTS (the signer's) and TSA_ROOT."""
    revocation.check(sig, inputs.roots(roots).certificates if roots else [],
                     inputs.roots(tsa_root).certificates if tsa_root else [], inputs.revocation_lists(lists))


def not_applicable(check, *args):
    with pytest.raises(CannotCheck) as caught:
        revoked(*args)
    assert caught.value.check == check, (caught.value.check, str(caught.value))


def crl_file(path, crl):
    path.write_bytes(crl.public_bytes(serialization.Encoding.DER))
    return path


@pytest.fixture(scope="module")
def intermediate_lists(genuine, pki, tsa):
    """The genuine signature, the intermediate's key, and its name in lower case, as lists may write it."""
    key = serialization.load_pem_private_key(pki.intermediate_key.read_bytes(), None)
    lowered = types.SimpleNamespace(subject=pki_module.name("throwaway test intermediate"))
    return read(genuine[0], tsa.root), key, lowered


def test_revocation_lists_revoking(genuine, signed_with_root, pki, tsa, work_dir):
    sig = read(genuine[0], tsa.root)
    der_list = der_copy(pki.crl_empty, work_dir / "empty list, DER.crl")
    revoked(sig, pki.root, [pki.crl_empty, der_list])
    for revoking in (pki.crl_revokes_intermediate, pki.crl_revokes_intermediate_der):
        refused("revocation.revoked",
                revoked, sig, pki.root, [pki.crl_empty, revoking], naming="CN=Throwaway Test Intermediate")
    # With the root carried, the list is applied without any roots given.
    refused("revocation.revoked",
            revoked, read(signed_with_root, tsa.root), None, [pki.crl_revokes_intermediate_der], naming="CN=Throwaway Test Intermediate")
    refused("revocation.revoked",
            revoked, sig, None, [tsa.crl_revoking_authority], tsa.root, naming="CN=Throwaway Timestamp Authority")


def test_revocation_lists_with_deltas(intermediate_lists, pki, work_dir):
    sig, key, lowered = intermediate_lists
    # The intermediate's own list, its name in lower case: names match as RFC 5280 has it, and OpenSSL applies it.
    listed = crl_file(work_dir / "lower-case issuer.crl", pki_module.revocation_list(lowered, key, sig.carried_chain[:1]))
    refused("revocation.revoked", revoked, sig, pki.root, [listed], naming="CN=Sorrelvane Test Publisher")
    # Its newer delta is not read, but a revocation found in the base decides all the same.
    delta = crl_file(work_dir / "delta.crl", pki_module.revocation_list(
        lowered, key, extensions=[(x509.DeltaCRLIndicator(1), True)], number=2, start=pki_module.now()))
    refused("revocation.revoked", revoked, sig, pki.root, [listed, delta], naming="CN=Sorrelvane Test Publisher")
    # A clean base, a clean delta, then a newer one revoking: deltas are not read, so this cannot be
    # settled (exit 2), rather than passed as not revoked.
    base = crl_file(work_dir / "clean base.crl", pki_module.revocation_list(lowered, key))
    long_ago = pki_module.now() - datetime.timedelta(hours=1)
    deltas = [crl_file(work_dir / f"delta {n}.crl", pki_module.revocation_list(
        lowered, key, extensions=[(x509.DeltaCRLIndicator(1), True)], number=n,
        start=pki_module.now() + datetime.timedelta(seconds=n), entries=[(c.serial_number, (), long_ago) for c in revoking]))
        for n, revoking in ((2, ()), (3, sig.carried_chain[:1]))]
    not_applicable("revocation.usable", sig, pki.root, [base, *deltas])


def test_revocation_lists_indirect_and_repeated(intermediate_lists, pki, work_dir):
    sig, key, lowered = intermediate_lists
    # Indirect lists are not read: whether an entry for the signer's serial is another CA's or the
    # intermediate's (named in other letters), they cannot settle it (exit 2), beside a clean list too.
    def listing(file_name, entries, indirect=True):
        scope = [(x509.IssuingDistributionPoint(None, None, False, False, None, True, False), True)] if indirect else []
        return crl_file(work_dir / file_name, pki_module.revocation_list(lowered, key, extensions=scope, entries=entries))

    def issuer(common_name):
        return x509.CertificateIssuer([x509.DirectoryName(pki_module.name(common_name))])

    serial = sig.carried_chain[0].serial_number
    not_applicable("revocation.usable", sig, pki.root, [listing("indirect.crl", [(serial, [issuer("Some Other CA")])])])
    renamed = listing("indirect, renamed.crl", [(7, [issuer("Some Other CA")]),
                                                (serial, [issuer("THROWAWAY  TEST INTERMEDIATE")])])
    newer = crl_file(work_dir / "newer clean.crl", pki_module.revocation_list(lowered, key, start=pki_module.now()))
    not_applicable("revocation.usable", sig, pki.root, [renamed, newer])
    # In its own list, an entry for the serial revokes, whatever entry for it comes first.
    removed_first = listing("removed, then revoked.crl", [
        (serial, [x509.CRLReason(x509.ReasonFlags.remove_from_crl)]),
        (serial, [x509.CRLReason(x509.ReasonFlags.key_compromise)])], indirect=False)
    refused("revocation.revoked", revoked, sig, pki.root, [removed_first], naming="CN=Sorrelvane Test Publisher")
    removed_first_indirect = listing("removed, then revoked, indirect.crl", [
        (serial, [x509.CRLReason(x509.ReasonFlags.remove_from_crl)]),
        (serial, [x509.CRLReason(x509.ReasonFlags.key_compromise)])])
    not_applicable("revocation.usable", sig, pki.root, [removed_first_indirect])


def test_revocation_lists_that_do_not_cover(intermediate_lists, genuine, built_exe, signer, pki, tsa, work_dir,
                                            forged_dir):
    sig, key, lowered = intermediate_lists
    # Its list for CA certificates only does not cover the signer: a check not made, not a revocation.
    ca_only = crl_file(work_dir / "CA certificates only.crl", pki_module.revocation_list(lowered, key, extensions=[(
        x509.IssuingDistributionPoint(None, None, False, True, None, False, False), True)]))
    not_applicable("revocation.coverage", sig, pki.root, [ca_only])
    # A self-made copy of the intermediate (its name and key) that OpenSSL cannot use, carried: the real
    # intermediate's revocation still decides, not the copy's "cannot check".
    copy_key = pki_module.new_key()
    intermediate = x509.load_pem_x509_certificate(pki.intermediate.read_bytes())
    unusable = x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.99999.2"), b"\x05\x00")
    copied = pki_module.certificate("Throwaway Test Intermediate", types.SimpleNamespace(
        public_key=intermediate.public_key), pki_module.certificate("Copier", copy_key, ca=True), copy_key, ca=True,
        extensions=[(unusable, True)])
    tree = E.parse(genuine[1])
    E.add_to_set(signed_data(tree)[3], E.parse(certificates.der(copied)))
    path = forged_dir / "unusable-intermediate-copy.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    refused("revocation.revoked", revoked, read(path, tsa.root),
            pki.root, [pki.crl_empty, pki.crl_revokes_intermediate], naming="CN=Throwaway Test Intermediate")
    # The intermediate given among the roots, not carried, is checked as OpenSSL's chain would check it.
    forgotten = read(conftest.sign(built_exe, work_dir / "genuine" / "signer alone.exe",
                                   **dict(signer, certs=pki.signer)), tsa.root)
    roots = work_dir / "root and intermediate, for revocation.pem"
    roots.write_bytes(pki.root.read_bytes() + pki.intermediate.read_bytes())
    refused("revocation.revoked", revoked, forgotten, roots,
            [pki.crl_empty, pki.crl_revokes_intermediate], naming="CN=Throwaway Test Intermediate")


def test_revocation_lists_that_cannot_settle_it(intermediate_lists, built_exe, signer, pki, tsa, work_dir):
    sig, key, lowered = intermediate_lists
    forgotten = read(conftest.sign(built_exe, work_dir / "genuine" / "signer alone.exe",
                                   **dict(signer, certs=pki.signer)), tsa.root)
    roots = work_dir / "root and intermediate, for revocation.pem"
    # Lists that cannot settle it: one dated tomorrow, one from the signer's own key (it issued nothing
    # here), the authority's for an untimestamped reading, and any list for an unsigned file.
    tomorrow = crl_file(work_dir / "tomorrow.crl", pki_module.revocation_list(
        lowered, key, start=pki_module.now() + datetime.timedelta(days=1)))
    not_applicable("revocation.current", sig, pki.root, [pki.crl_empty, tomorrow])
    signer_key = serialization.load_pem_private_key(pki.signer_key.read_bytes(), pki.password.encode())
    leaf_list = crl_file(work_dir / "the signer's list.crl", pki_module.revocation_list(sig.carried_chain[0], signer_key))
    bundled = work_dir / "the intermediate's list and the signer's.pem"
    bundled.write_bytes(pki.crl_empty.read_bytes() + x509.load_der_x509_crl(leaf_list.read_bytes()).public_bytes(
        serialization.Encoding.PEM))
    not_applicable("revocation.applies", sig, pki.root, [bundled])
    not_applicable("revocation.applies", forgotten, roots, [tsa.crl_revoking_authority])
    not_applicable("revocation.applies", None, pki.root, [pki.crl_empty])
    not_a_list = work_dir / "not a list.crl"
    not_a_list.write_text("nothing\n")
    with pytest.raises(CannotCheck, match="not a list.crl"):
        inputs.revocation_lists([not_a_list])
    with pytest.raises(CannotCheck, match="holds no certificate"):
        inputs.roots(not_a_list)


# Chains that lead to the root but cannot be relied on: each certificate no
# more than its issuers allow it, none weaker than today's minimum.
CODE_SIGNING, TIME_STAMPING = x509.oid.ExtendedKeyUsageOID.CODE_SIGNING, x509.oid.ExtendedKeyUsageOID.TIME_STAMPING
LIFETIME_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.311.10.3.13")


def usage_only(*purposes):
    return [(x509.ExtendedKeyUsage(list(purposes)), False)]


def rsa_key(bits):
    return pki_module.rsa.generate_private_key(public_exponent=65537, key_size=bits)


def ec_key(curve):
    from cryptography.hazmat.primitives.asymmetric import ec
    return ec.generate_private_key(curve)


def publisher(pki, folder, *, root=None, intermediate_key=None, intermediate_extensions=(), signer_key=None,
              usage=None, purposes=(CODE_SIGNING,), start=None, days=2):
    """A publisher's chain under the throwaway root (or ROOT, a (certificate,
    key) pair) as a signer's files in FOLDER: chain.pem (signer,
    intermediate) and signer.key; returns the folder and both certificates."""
    folder.mkdir(parents=True, exist_ok=True)
    root_certificate, root_key = root or (x509.load_pem_x509_certificate(pki.root.read_bytes()),
                                          serialization.load_pem_private_key(pki.root_key.read_bytes(), None))
    intermediate_key = intermediate_key or serialization.load_pem_private_key(pki.intermediate_key.read_bytes(), None)
    intermediate = pki_module.certificate("Throwaway Test Intermediate", intermediate_key, root_certificate, root_key,
                                          ca=True, extensions=intermediate_extensions)
    signer_key = signer_key or serialization.load_pem_private_key(pki.signer_key.read_bytes(), pki.password.encode())
    signer = pki_module.certificate("Sorrelvane Test Publisher", signer_key, intermediate, intermediate_key, ca=False,
                                    usage=usage, extensions=usage_only(*purposes), start=start, days=days)
    (folder / "chain.pem").write_bytes(pki_module.pem(signer, intermediate))
    (folder / "signer.key").write_bytes(pki_module.plain_key(signer_key))
    return types.SimpleNamespace(folder=folder, signer=signer, intermediate=intermediate)


def signed_by(built_exe, folder, timestamp_url=None):
    return conftest.sign(built_exe, folder / "signed.exe", certs=folder / "chain.pem", key=folder / "signer.key",
                         timestamp_url=timestamp_url)


@pytest.mark.parametrize("case, made, check", [
    ("intermediate for TLS only", dict(intermediate_extensions=usage_only(x509.oid.ExtendedKeyUsageOID.SERVER_AUTH)),
     "chain.issuer-usage"),
    ("intermediate for time stamping only", dict(intermediate_extensions=usage_only(TIME_STAMPING)),
     "chain.issuer-usage"),
    ("signer for servers", dict(purposes=(x509.oid.ExtendedKeyUsageOID.SERVER_AUTH,)), "chain.code-signing-usage"),
    ("signer for key encipherment", dict(usage=pki_module.key_usage(key_encipherment=True)), "chain.key-usage"),
    ("signer for certificate signing", dict(usage=pki_module.key_usage(key_cert_sign=True)), "chain.key-usage"),
    ("intermediate of 1024 bits", dict(intermediate_key=rsa_key(1024)), "signature.key-strength"),
    ("signer of 1024 bits", dict(signer_key=rsa_key(1024)), "signature.key-strength"),
    ("signer on P-192", dict(signer_key=ec_key(pki_module.ec.SECP192R1())), "signature.key-strength"),
    ("signer on sect163k1", dict(signer_key=ec_key(pki_module.ec.SECT163K1())), "signature.key-strength"),
    ("root of 1024 bits", "weak root", "chain.key-strength"),
    ("intermediate signed with SHA-1 among the roots", "sha1 intermediate", "chain.signature-strength"),
    ("intermediate for any usage", dict(intermediate_extensions=usage_only(
        x509.oid.ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE, CODE_SIGNING)), None),
])
def test_chain_usages_and_strength(case, made, check, pki, built_exe, work_dir, tsa):
    folder = work_dir / "chains" / case
    roots = pki.root
    if made == "weak root":
        key = rsa_key(1024)
        root = pki_module.certificate("Weak Root", key, ca=True)
        folder.mkdir(parents=True, exist_ok=True)
        roots = folder / "roots.pem"
        roots.write_bytes(pki_module.pem(root))
        made = dict(root=(root, key))
    if made == "sha1 intermediate":
        # The signer alone carried: the intermediate, signed with SHA-1 and given among the roots, is on the chain.
        made = publisher(pki, folder)
        intermediate = made.intermediate
        weak = x509.CertificateBuilder(intermediate.issuer, intermediate.subject, intermediate.public_key(),
                                       intermediate.serial_number, intermediate.not_valid_before,
                                       intermediate.not_valid_after, list(intermediate.extensions)).sign(
            serialization.load_pem_private_key(pki.root_key.read_bytes(), None), pki_module.hashes.SHA1())
        (folder / "chain.pem").write_bytes(pki_module.pem(made.signer))
        roots = folder / "roots.pem"
        roots.write_bytes(pki.root.read_bytes() + pki_module.pem(weak))
    else:
        publisher(pki, folder, **made)
    path = signed_by(built_exe, folder)
    if check is None:
        assert check_chain(read(path, tsa.root), roots) == "leads to the root CN=Throwaway Test Root"
    elif check.startswith("signature."):
        refused(check, read, path, tsa.root)  # before any chain is looked at
    else:
        refused(check, check_chain, read(path, tsa.root), roots)


@pytest.mark.parametrize("case, made, check", [
    ("under an intermediate for TLS only", dict(intermediate=True, intermediate_extensions=usage_only(
        x509.oid.ExtendedKeyUsageOID.SERVER_AUTH)), "tsa-chain.issuer-usage"),
    ("of 1024 bits", dict(key="weak"), "token.key-strength"),
])
def test_authority_usages_and_strength(case, made, check, built_exe, work_dir, signer):
    if made.get("key") == "weak":
        made = dict(made, key=rsa_key(1024))
    authority = timestamp_authority.start(work_dir / "authorities" / case, **made)
    try:
        path = conftest.sign(built_exe, work_dir / "authorities" / case / "signed.exe", timestamp_url=authority.url,
                             **signer)
        refused(check, read, path, authority.root)
    finally:
        authority.stop()


def test_lifetime_signing_ends_with_the_certificate(pki, built_exe, work_dir, tsa):
    """Two signers expiring in a few seconds, each timestamped while valid:
    once expired, the timestamp keeps the plain one valid, and not the one for
    lifetime signing."""
    start = pki_module.now() - datetime.timedelta(minutes=5)
    # Long enough for two signatures on a loaded machine, short enough to wait out.
    days = (datetime.timedelta(minutes=5, seconds=12)) / datetime.timedelta(days=1)
    made = {lifetime: signed_by(built_exe, publisher(
        pki, work_dir / "lifetime" / str(lifetime), start=start, days=days,
        purposes=(CODE_SIGNING, LIFETIME_SIGNING) if lifetime else (CODE_SIGNING,)).folder, tsa.url)
        for lifetime in (False, True)}
    expiry = start + datetime.timedelta(days=days)
    time_left = (expiry - pki_module.now()).total_seconds()
    assert time_left > 0, "signing took longer than the certificates lived"
    time.sleep(time_left + 1)
    assert check_chain(read(made[False], tsa.root), pki.root) == "leads to the root CN=Throwaway Test Root"
    refused("chain.valid-at", check_chain, read(made[True], tsa.root), pki.root)


@pytest.mark.parametrize("option, label", [("--ca", b"CERTIFICATE"), ("--tsa-ca", b"CERTIFICATE"),
                                           ("--crl", b"X509 CRL")])
def test_inputs_are_read_in_one_pass(option, label, work_dir, signed_exe, capsys):
    """A megabyte of BEGIN lines with no END: answered at once, as a file that cannot be checked with."""
    flood = work_dir / f"flood {option}.pem"
    line = b"-----BEGIN " + label + b"-----\n"
    flood.write_bytes(line * ((1 << 20) // len(line)))
    started = time.monotonic()
    assert verify.main([option, str(flood), str(signed_exe)]) == 2
    assert time.monotonic() - started < 1
    assert "verify-release.sh: cannot check: " in capsys.readouterr().err


def test_revocation_lists_that_cannot_be_used_and_revocations_after_the_timestamp(genuine, pki, tsa, work_dir):
    """A list must name the issuer whose key signed it and say nothing
    critical this check does not know; a revocation dated after the time
    stamped spares the signature unless the key was compromised."""
    sig = read(genuine[0], tsa.root)
    key = serialization.load_pem_private_key(pki.intermediate_key.read_bytes(), None)
    intermediate = x509.load_pem_x509_certificate(pki.intermediate.read_bytes())
    serial = sig.carried_chain[0].serial_number
    renamed = types.SimpleNamespace(subject=pki_module.name("Some Other CA"))
    not_applicable("revocation.usable", sig, pki.root, [crl_file(work_dir / "another name.crl", pki_module.revocation_list(
        renamed, key, sig.carried_chain[:1]))])
    unknown = x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.99999.3"), b"\x05\x00")
    not_applicable("revocation.usable", sig, pki.root, [crl_file(work_dir / "unknown critical.crl",
                                                                 pki_module.revocation_list(intermediate, key,
                                                                                            extensions=[(unknown, True)]))])
    reasons = x509.IssuingDistributionPoint(None, None, False, False, frozenset([x509.ReasonFlags.key_compromise]),
                                            False, False)
    not_applicable("revocation.usable", sig, pki.root, [crl_file(work_dir / "some reasons.crl",
                                                                 pki_module.revocation_list(intermediate, key,
                                                                                            extensions=[(reasons, True)]))])
    later = sig.timestamp_time + datetime.timedelta(minutes=1)

    def revoked_then(reason, when):
        return crl_file(work_dir / f"{reason.name} at {when:%H%M%S}.crl", pki_module.revocation_list(
            intermediate, key, entries=[(serial, [x509.CRLReason(reason)], when)]))
    revoked(sig, pki.root, [revoked_then(x509.ReasonFlags.superseded, later)])
    refused("revocation.revoked", revoked, sig, pki.root, [revoked_then(x509.ReasonFlags.key_compromise, later)])
    earlier = sig.timestamp_time - datetime.timedelta(minutes=1)
    refused("revocation.revoked", revoked, sig, pki.root, [revoked_then(x509.ReasonFlags.superseded, earlier)])


@pytest.mark.parametrize("argv, named", [(["--root", "x", "FILE"], "--root"), (["one", "two"], "two"),
                                         (["--ca"], "--ca"), ([], "FILE")])
def test_usage_errors_name_the_argument(argv, named, capsys):
    assert verify.main(argv) == 2
    said = capsys.readouterr().err
    assert said.startswith("verify-release.sh: cannot check: ") and named in said.split("; usage:")[0], said


@pytest.mark.parametrize("where", ["FILE", "--ca", "--crl"])
def test_inputs_that_are_no_files_are_not_waited_on(where, work_dir, signed_exe, source_dir):
    """A FIFO no one writes to, given for any input: exit 2 at once, not a check held up for ever."""
    fifo = work_dir / f"fifo for {where}"
    if not fifo.exists():
        os.mkfifo(fifo)
    args = {"FILE": [fifo], "--ca": ["--ca", fifo, signed_exe], "--crl": ["--crl", fifo, signed_exe]}[where]
    said = processes.run(["bash", source_dir / "scripts/verify-release.sh", *args], timeout=60)
    assert said.returncode == 2 and b"is not a file that can be read" in said.stderr, said


def test_a_file_larger_than_any_build_is_refused_unread(work_dir, capsys):
    large = work_dir / "large.exe"
    with open(large, "wb") as file:
        file.truncate((16 << 20) + 1)
    assert verify.main([str(large)]) == 1
    assert "REFUSED [image.size]: " in capsys.readouterr().err


def test_a_system_without_roots_cannot_check_a_signer(monkeypatch, signed_exe, tsa, capsys):
    monkeypatch.setattr(verify.inputs, "system_roots", lambda: inputs.Roots((), "/nowhere"))
    assert verify.main(["--tsa-ca", str(tsa.root), str(signed_exe)]) == 2
    assert "this system has no trusted roots" in capsys.readouterr().err


def test_a_missing_tool_is_named(monkeypatch, signed_exe, capsys):
    monkeypatch.setattr(verify.shutil, "which", lambda tool, path=None: None if tool == "cmake" else f"/usr/bin/{tool}")
    assert verify.main([str(signed_exe)]) == 2
    assert "cmake is missing; install it with: sudo bash scripts/setup.sh release" in capsys.readouterr().err


def nested(depth):
    data = b""
    for _ in range(depth):
        data = bytes([0x30, len(data)]) + data
    return data.hex()


@pytest.mark.parametrize("encoding, check", [
    ("", "der.cut-short"), ("1f", "der.cut-short"), ("30", "der.cut-short"), ("308201", "der.cut-short"),
    ("1f800100", "der.minimal-tag"), ("1f80814000", "der.minimal-tag"), ("1f1e00", "der.minimal-tag"), ("1f8181818181", "der.tag-too-long"),
    ("30800000", "der.definite-length"), ("30850000000001", "der.length-too-long"),
    ("3082000100", "der.minimal-length"), ("048101ff", "der.minimal-length"), ("040500", "der.fits-parent"),
    ("1000", "der.constructed-sequence"), ("2400", "der.primitive-type"), ("010101", "der.boolean"),
    ("0200", "der.integer-empty"), ("02020001", "der.minimal-integer"), ("0202ff80", "der.minimal-integer"),
    ("0300", "der.bit-string-unused"), ("03020800", "der.bit-string-unused"), ("030101", "der.bit-string-unused"),
    ("030201ff", "der.bit-string-padding"), ("050100", "der.null"), ("0600", "der.oid-cut-short"),
    ("060181", "der.oid-cut-short"), ("06028001", "der.minimal-oid"), ("0615" + "81" * 20 + "01", "der.oid-arc-too-long"),
    ("170c" + b"260101000000".hex(), "der.time-utc"), ("1812" + b"20260101000000.10Z".hex(), "der.time-fraction"),
    ("0700", "der.universal-type"), ("050000", "der.trailing-bytes"), (nested(49), "der.depth"),
    ("31060101ff010100", "der.set-order"),
])
def test_der_rules(encoding, check):
    with pytest.raises(der.NotDer) as caught:
        der.parse(bytes.fromhex(encoding))
    assert caught.value.check == check, (caught.value.check, str(caught.value))
    der.parse(bytes.fromhex(nested(48)))  # as deep as a signature may go


def test_roots_laid_out_to_mislead():
    """What a roots file can do against the search: a ladder of cross-signs in
    reverse order (each found only after the next), a name in other letters,
    and a self-issued rollover link signed with SHA-1 by the old root."""
    key = pki_module.new_key()
    ladder = [pki_module.certificate("Rung 300", key, ca=True)]
    for n in range(299, 0, -1):
        ladder.append(pki_module.certificate(f"Rung {n}", key, ladder[-1], key, ca=True))
    leaf = pki_module.certificate("Leaf", key, ladder[-1], key, ca=False)
    started = time.monotonic()
    assert len(trust.above([leaf], ladder)) == 300 and time.monotonic() - started < 1
    # The leaf names its issuer in other letters and spaces: OpenSSL builds through it, so the checks do too.
    weak_key = rsa_key(1024)
    weak = pki_module.certificate("Weak Root", weak_key, ca=True)
    loud = pki_module.certificate("Pub J", key, types.SimpleNamespace(subject=pki_module.name("weak   ROOT")), weak_key,
                                  ca=True)
    assert trust.above([loud], [weak]) == [weak]
    assert trust.refusal(loud, [loud], [weak], trust.CODE_SIGNING)[0] == "key-strength"
    # A rollover: the new root's name and key under the old root's key, with SHA-1; only a
    # root's own self-signature is never relied on.
    old_key, new_key = pki_module.new_key(), pki_module.new_key()
    old = pki_module.certificate("Pub Root", old_key, ca=True)
    new = pki_module.certificate("Pub Root", new_key, old, old_key, ca=True, digest=pki_module.hashes.SHA1)
    signer = pki_module.certificate("Pub Signer", key, new, new_key, ca=False, extensions=usage_only(CODE_SIGNING))
    assert trust.refusal(signer, [signer], [new, old], trust.CODE_SIGNING)[0] == "signature-strength"
    assert trust.refusal(signer, [signer], [new], trust.CODE_SIGNING)[0] == "signature-strength"


@pytest.mark.parametrize("value, expected", [
    ("a\nb", "a\\x0ab"), ("a\\x0ab", "a\\\\x0ab"), ("\x1b[8m", "\\x1b[8m"), ("\u202eexe", "\\u202eexe"),
    ("Test\u3164Pub\u034f\ufe0f\U000e0100", "Test\\u3164Pub\\u034f\\ufe0f\\U000e0100"), ("caf\u00e9", "caf\u00e9"),
])
def test_values_are_shown_as_what_they_hold(value, expected):
    from release_tools.text import shown, visible
    assert shown(value) == expected and visible(shown(value)) == expected


# Forgeries of what the signer signs, signed again with the throwaway signer's key (and so without
# the timestamp, whose imprint names the old signature): each refused by the check that reads it.
MESSAGE_DIGEST, CONTENT_TYPE = "1.2.840.113549.1.9.4", "1.2.840.113549.1.9.3"


def attribute(dotted, *values):
    return E.parse(E.tlv(0x30, E.oid(dotted) + E.tlv(0x31, b"".join(values))))


def attributes(tree):
    return signer_info(tree)[3]


def attribute_named(tree, dotted):
    return next(a for a in attributes(tree).children if E.encode(a[0]) == E.oid(dotted))


def indirect(tree):
    return signed_data(tree)[2][1][0]


def re_sign(tree, key):
    """The signed attributes in DER order, messageDigest made the content's again, signed anew with KEY."""
    import hashlib
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    digest = [a for a in attributes(tree).children if E.encode(a[0]) == E.oid(MESSAGE_DIGEST)]
    if digest and digest[0][1][0].tag == 0x04 and len(digest[0][1][0].content) == 32:
        digest[0][1].children[0] = E.parse(E.tlv(0x04, hashlib.sha256(E.body(indirect(tree))).digest()))
    attributes(tree).children.sort(key=E.encode)
    signed = b"\x31" + E.encode(attributes(tree))[1:]
    signer_info(tree)[5].content = key.sign(signed, padding.PKCS1v15(), hashes.SHA256())
    signer_info(tree).children = signer_info(tree).children[:6]


def add_attribute(*nodes):
    def edit(tree):
        attributes(tree).children.extend(nodes)
    return edit


def set_attribute(node):
    """Puts NODE in the place of the attribute of its type, or beside the others."""
    def edit(tree):
        kept = [a for a in attributes(tree).children if E.encode(a[0]) != E.encode(node[0])]
        attributes(tree).children = kept + [node]
    return edit


RE_SIGNED = {
    "content-type-attribute": (lambda t: attribute_named(t, CONTENT_TYPE)[1].children.__setitem__(
        0, E.parse(E.oid("1.2.840.113549.1.9.16.1.4"))), "signature.content-type-attribute"),
    "message-digest": (lambda t: setattr(attribute_named(t, MESSAGE_DIGEST)[1][0], "content", bytes(31)),
                       "signature.message-digest"),
    "signing-time": (set_attribute(attribute("1.2.840.113549.1.9.5", E.tlv(0x02, b"\x01"))), "signature.signing-time"),
    "statement-type": (set_attribute(attribute("1.3.6.1.4.1.311.2.1.11", E.tlv(0x30, E.oid("1.2.3.4")))),
                       "signature.statement-type"),
    "opus-info": (set_attribute(attribute("1.3.6.1.4.1.311.2.1.12", E.tlv(0x30, E.tlv(0xA0, E.tlv(0x04, b"x"))))),
                  "signature.opus-info"),
    "unknown-attribute": (add_attribute(attribute("1.2.3.4", E.tlv(0x05, b""))), "signature.unknown-attribute"),
    "attribute-once": (lambda t: attributes(t).children.append(copy.deepcopy(attribute_named(t, CONTENT_TYPE))),
                       "signature.attribute-once"),
    "required-attribute": (lambda t: attributes(t).children.remove(attribute_named(t, CONTENT_TYPE)),
                           "signature.required-attribute"),
    "one-value": (lambda t: attribute_named(t, CONTENT_TYPE)[1].children.append(
        copy.deepcopy(attribute_named(t, CONTENT_TYPE)[1][0])), "signature.one-value"),
    "pe-image-data": (lambda t: setattr(indirect(t)[0][1][0], "content", b"\x00\xff"), "signature.pe-image-data"),
    "image-digest-size": (lambda t: setattr(indirect(t)[1][1], "content", bytes(20)), "signature.image-digest-size"),
    "indirect-data": (lambda t: signed_data(t)[2].children.__setitem__(0, E.parse(E.oid("1.2.3.4"))),
                      "signature.indirect-data"),
}
UNSIGNED = {
    "no-crls": (lambda t: signed_data(t).children.insert(4, E.Node(0xA1, children=[])), "signature.no-crls"),
    "one-signer": (lambda t: signed_data(t)[-1].children.append(copy.deepcopy(signer_info(t))), "signature.one-signer"),
    "signer-by-issuer-serial": (lambda t: signer_info(t).children.__setitem__(1, E.Node(0x80, bytes(20))),
                                "signature.signer-by-issuer-serial"),
    "one-token": (lambda t: signer_info(t)[6][0][1].children.append(copy.deepcopy(signer_info(t)[6][0][1][0])),
                  "signature.one-token"),
    "one-timestamp": (lambda t: signer_info(t)[6].children.append(copy.deepcopy(signer_info(t)[6][0])),
                      "signature.one-timestamp"),
    "countersignature": (lambda t: signer_info(t)[6].children.__setitem__(0, attribute(
        "1.2.840.113549.1.9.6", E.tlv(0x30, b""))), "countersignature.required-field"),
}


@pytest.mark.parametrize("name", [*RE_SIGNED, *UNSIGNED])
def test_forgery_of_a_field_is_refused_by_its_check(name, genuine, built_exe, pki, tsa, forged_dir):
    tree = E.parse(genuine[1])
    edit, check = RE_SIGNED.get(name) or UNSIGNED[name]
    edit(tree)
    if name in RE_SIGNED:
        re_sign(tree, serialization.load_pem_private_key(pki.signer_key.read_bytes(), pki.password.encode()))
    path = forged_dir / f"field-{name}.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    refused(check, read, path, tsa.root)


# The same for what the authority signs in the token: the TSTInfo and the token's own attributes,
# signed again with the local authority's key.
ESS_V2 = "1.2.840.113549.1.9.16.2.47"


def tst_info(tree):
    return E.parse(token_signed_data(tree)[2][1][0].content)


def ess_id(tree):
    attribute = next(a for a in token_signer_info(tree)[3].children if E.encode(a[0]) == E.oid(ESS_V2))
    return attribute[1][0]  # SigningCertificateV2


def re_sign_token(tree, tst, key):
    import hashlib
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    token_signed_data(tree)[2][1].children[0] = E.parse(E.tlv(0x04, E.encode(tst)))
    attrs = token_signer_info(tree)[3]
    digest = next(a for a in attrs.children if E.encode(a[0]) == E.oid(MESSAGE_DIGEST))
    digest[1].children[0] = E.parse(E.tlv(0x04, hashlib.sha256(E.encode(tst)).digest()))
    attrs.children.sort(key=E.encode)
    token_signer_info(tree)[5].content = key.sign(b"\x31" + E.encode(attrs)[1:], padding.PKCS1v15(), hashes.SHA256())


def first_of(node, tag):
    return next(c for c in node.children if c.tag == tag)


TOKEN_RE_SIGNED = {
    "imprint": (lambda t, tst: setattr(tst[2][1], "content", bytes(len(tst[2][1].content)))),
    "accuracy": (lambda t, tst: tst[5].children.append(E.Node(0x80, b"\x00"))),
    "ordering": (lambda t, tst: setattr(tst[6], "content", b"\x00")),
    "tsa-name": (lambda t, tst: setattr(first_of(tst, 0xA0), "children", [E.parse(E.tlv(0x86, b"x"))])),
    "tst-extensions": (lambda t, tst: tst.children.append(E.Node(0xA1, children=[]))),
    "ess-signer": (lambda t, tst: setattr(first_of(ess_id(t)[0][0], 0x04), "content", bytes(32))),
    "ess-policies": (lambda t, tst: ess_id(t).children.append(E.Node(0x30, children=[]))),
    "ess-serial": (lambda t, tst: ess_id(t)[0][0].children.append(E.parse(E.tlv(0x30, E.tlv(
        0x30, E.tlv(0xA4, E.encode(E.name("Throwaway Timestamp Root")))) + E.tlv(0x02, b"\x01"))))),
    "ess-empty": (lambda t, tst: setattr(ess_id(t)[0], "children", [])),
    "ess-attribute": (lambda t, tst: token_signer_info(t)[3].children.remove(
        next(a for a in token_signer_info(t)[3].children if E.encode(a[0]) == E.oid(ESS_V2)))),
    # CMSAlgorithmProtection naming SHA-384 where the authority signed with SHA-256.
    "algorithm-protection": (lambda t, tst: token_signer_info(t)[3].children.append(attribute(
        "1.2.840.113549.1.9.52", E.tlv(0x30, E.encode(E.algorithm(SHA384)) + E.tlv(0xA1, E.oid(RSA) + b"\x05\x00"))))),
}


@pytest.mark.parametrize("name", TOKEN_RE_SIGNED)
def test_forgery_of_a_token_field_is_refused_by_its_check(name, genuine, built_exe, tsa, forged_dir):
    tree = E.parse(genuine[1])
    tst = tst_info(tree)
    TOKEN_RE_SIGNED[name](tree, tst)
    re_sign_token(tree, tst, serialization.load_pem_private_key((tsa.dir / "tsa.key").read_bytes(), None))
    path = forged_dir / f"token-field-{name}.exe"
    path.write_bytes(image.attach(built_exe.read_bytes(), E.encode(tree)))
    refused(f"token.{name}", read, path, tsa.root)
