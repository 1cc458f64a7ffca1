"""The Authenticode signature of a released program, read as an allow-list.

A signature is accepted only when every element of it is one this reading
knows and expects, with the value or shape it must have: the PKCS #7
SignedData that osslsigncode writes (one signer, SHA-256, the content that
names the image's digest, the attributes Authenticode signs), and at most one
RFC 3161 timestamp, read the same way. Anything else is refused, and named:
bytes that no signature covers could otherwise travel in a release unseen.

Each element is first read by der.py (DER throughout, element by element);
the structure is then walked on that reading, field by field. Certificates
and signatures are cryptography's to check, chains and revocation OpenSSL's
verifier's, judged by its exit status."""

import hashlib
from dataclasses import dataclass
from typing import Optional

from asn1crypto import core
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from . import certificates, der, image, trust
from .verdicts import Refused




@dataclass(frozen=True)
class Signature:
    blob: bytes                 # the signature (DER SignedData) as carried in the certificate table
    padded_length: bool         # whether its WIN_CERTIFICATE's dwLength counts the padding (image.attach)
    signer_subject: str         # the signer certificate's subject, RFC 2253
    carried_chain: tuple        # cryptography Certificates: the signer first, each issued by the next
    timestamp_authority: Optional[str]  # the timestamp signer's subject (RFC 2253), None when untimestamped
    carried: tuple = ()         # every carried certificate (all on the signer's chain)
    timestamp_time: object = None  # the timestamp's genTime (datetime), None when untimestamped
    timestamp_carried: tuple = ()  # every certificate the token carries


OID = {
    "data": "1.2.840.113549.1.7.1",
    "signed_data": "1.2.840.113549.1.7.2",
    "spc_indirect_data": "1.3.6.1.4.1.311.2.1.4",
    "spc_pe_image_data": "1.3.6.1.4.1.311.2.1.15",
    "spc_sp_opus_info": "1.3.6.1.4.1.311.2.1.12",
    "spc_statement_type": "1.3.6.1.4.1.311.2.1.11",
    "individual_code_signing": "1.3.6.1.4.1.311.2.1.21",
    "commercial_code_signing": "1.3.6.1.4.1.311.2.1.22",
    "content_type": "1.2.840.113549.1.9.3",
    "message_digest": "1.2.840.113549.1.9.4",
    "signing_time": "1.2.840.113549.1.9.5",
    "countersignature": "1.2.840.113549.1.9.6",
    "rfc3161_timestamp": "1.3.6.1.4.1.311.3.3.1",
    "nested_signature": "1.3.6.1.4.1.311.2.4.1",
    "tst_info": "1.2.840.113549.1.9.16.1.4",
    "signing_certificate": "1.2.840.113549.1.9.16.2.12",
    "signing_certificate_v2": "1.2.840.113549.1.9.16.2.47",
    "algorithm_protection": "1.2.840.113549.1.9.52",
    "smime_capabilities": "1.2.840.113549.1.9.15",
    "page_hashes_sha1": "1.3.6.1.4.1.311.2.3.1",
    "page_hashes_sha256": "1.3.6.1.4.1.311.2.3.2",
    "sha1": "1.3.14.3.2.26",
    "sha256": "2.16.840.1.101.3.4.2.1",
    "sha384": "2.16.840.1.101.3.4.2.2",
    "sha512": "2.16.840.1.101.3.4.2.3",
    "rsa": "1.2.840.113549.1.1.1",
    "sha1_rsa": "1.2.840.113549.1.1.5",
    "sha256_rsa": "1.2.840.113549.1.1.11",
    "sha384_rsa": "1.2.840.113549.1.1.12",
    "sha512_rsa": "1.2.840.113549.1.1.13",
    "ecdsa_sha1": "1.2.840.10045.4.1",
    "ecdsa_sha256": "1.2.840.10045.4.3.2",
    "ecdsa_sha384": "1.2.840.10045.4.3.3",
    "ecdsa_sha512": "1.2.840.10045.4.3.4",
}
DIGESTS = {OID["sha256"]: ("sha256", hashes.SHA256), OID["sha384"]: ("sha384", hashes.SHA384),
           OID["sha512"]: ("sha512", hashes.SHA512)}
# For each digest, the signature algorithms a signer may name with it.
RSA_WITH = {"sha256": OID["sha256_rsa"], "sha384": OID["sha384_rsa"], "sha512": OID["sha512_rsa"]}
ECDSA_WITH = {"sha256": OID["ecdsa_sha256"], "sha384": OID["ecdsa_sha384"], "sha512": OID["ecdsa_sha512"]}



def _tlv(tag, content):
    size = len(content)
    if size < 0x80:
        length = bytes([size])
    else:
        octets = (size.bit_length() + 7) // 8
        length = bytes([0x80 | octets]) + size.to_bytes(octets, "big")
    return bytes([tag]) + length + content


def _oid(dotted):
    return core.ObjectIdentifier(dotted).dump()


# The file link of SpcPeImageData names nothing a verifier reads: osslsigncode
# writes the 2010 "<<<Obsolete>>>" in UTF-16, today's signtool and jsign an
# empty string. Page hashes travel in its place (see _page_hashes).
FILE_LINKS = tuple(_tlv(0xA0, _tlv(0xA2, _tlv(0x80, text.encode("utf-16-be")))) for text in ("<<<Obsolete>>>", ""))
IMAGE_FLAGS = (bytes.fromhex("03020780"), bytes.fromhex("030100"))
PE_IMAGE_DATA = tuple(_tlv(0x30, _oid(OID["spc_pe_image_data"]) + _tlv(0x30, flags + link))
                      for flags in IMAGE_FLAGS for link in FILE_LINKS)
# The class of the serialized object that carries page hashes.
PAGE_HASHES_CLASS = bytes.fromhex("a6b586d5b4a12466ae05a217da8e60d6")
PAGE_HASHES = {OID["page_hashes_sha1"]: "sha1", OID["page_hashes_sha256"]: "sha256"}


def algorithm_identifiers(dotted):
    """The two DER encodings of an AlgorithmIdentifier for DOTTED: its
    parameters absent, or NULL."""
    return (_tlv(0x30, _oid(dotted)), _tlv(0x30, _oid(dotted) + b"\x05\x00"))


class _Reading:
    """Fields of a DER reading, each found where it must be or refused by name."""

    def __init__(self, data, what, step):
        self.data = data
        self.what = what  # "its signature" or "its timestamp"
        self.step = step  # the first part of each check's id: "signature" or "token"

    def refuse(self, check, reason):
        """Refuses with the check STEP.CHECK (or CHECK, when it names its own step)."""
        # "'s authority ..." joins the subject without a space.
        raise Refused(check if "." in check else f"{self.step}.{check}",
                      f"{self.what}{'' if reason.startswith(chr(39)) else ' '}{reason}")

    def fields(self, element, name, shape):
        """ELEMENT's children matched in order to SHAPE, a list of (field,
        identifier octet, optional); returns {field: element or None}."""
        # Every element read field by field is a SEQUENCE: another identifier
        # (a set, another class, a high tag number) would be room for bits no
        # one checks.
        if not (element.cls == der.UNIVERSAL and element.constructed and element.number == 0x10):
            self.refuse("sequence", f"holds a {name} that is not a SEQUENCE (identifier 0x{_identifier(element):02x}"
                        f" at byte {element.offset})")
        children = list(element.children)
        found = {}
        for field, tag, optional in shape:
            if children and _identifier(children[0]) == tag:
                found[field] = children.pop(0)
            elif optional:
                found[field] = None
            else:
                self.refuse("required-field", f"holds a {name} without its {field}")
        if children:
            self.refuse("unknown-field", f"holds a {name} with a field this check does not know"
                        f" (tag 0x{_identifier(children[0]):02x} at byte {children[0].offset})")
        return found

    def bytes_of(self, element):
        return element.encoding(self.data)

    def content(self, element):
        return element.content(self.data)

    def oid(self, element):
        return core.ObjectIdentifier.load(self.bytes_of(element)).dotted

    def small_integer(self, element, expected, name):
        """An INTEGER that must be EXPECTED exactly (a version, say)."""
        if self.content(element) != bytes([expected]):
            value = int.from_bytes(self.content(element)[:16], "big", signed=True)
            shown = value if element.length <= 16 else f"a {element.length}-byte integer"
            self.refuse("version", f"has a {name} of {shown}, not {expected}")

    def algorithm(self, element, allowed, name):
        """An AlgorithmIdentifier naming one of ALLOWED (dotted OIDs), its
        parameters absent or NULL; returns the OID."""
        encoding = self.bytes_of(element)
        for dotted in allowed:
            if encoding in algorithm_identifiers(dotted):
                return dotted
        try:
            named = self.oid(element.children[0])
        except Exception:  # noqa: BLE001 - anything unreadable is named as such
            named = "an unreadable algorithm"
        if named in allowed:
            self.refuse("algorithm-parameters", f"names its {name} ({named}) with parameters, which nothing signs;"
                        " only absent or NULL parameters are accepted")
        self.refuse("algorithm", f"names a {name} this check does not accept ({named})")

    def one_value(self, attribute_values, name):
        if len(attribute_values.children) != 1:
            self.refuse("one-value", f"holds a {name} attribute with {len(attribute_values.children)} values, not one")
        return attribute_values.children[0]


def _identifier(element):
    return (element.cls << 6) | (0x20 if element.constructed else 0) | min(element.number, 0x1F)


SEQUENCE, SET, INTEGER, OID_TAG, OCTETS, BOOLEAN = 0x30, 0x31, 0x02, 0x06, 0x04, 0x01
CONTEXT0, CONTEXT1 = 0xA0, 0xA1


def _signed_data(reading, element):
    """The fields of a ContentInfo holding SignedData, checked as far as the
    signature and the token share them."""
    info = reading.fields(element, "ContentInfo", [("content type", OID_TAG, False), ("content", CONTEXT0, False)])
    if reading.oid(info["content type"]) != OID["signed_data"]:
        reading.refuse("content-type", f"is not PKCS #7 signed data ({reading.oid(info['content type'])})")
    if len(info["content"].children) != 1:
        reading.refuse("one-signed-data", "holds a ContentInfo whose content is not one SignedData")
    return reading.fields(info["content"].children[0], "SignedData", [
        ("version", INTEGER, False), ("digest algorithms", SET, False), ("content", SEQUENCE, False),
        ("certificates", CONTEXT0, True), ("revocation lists", CONTEXT1, True), ("signer infos", SET, False)])


@dataclass(frozen=True)
class _Carried:
    certificate: object   # cryptography's
    encoding: bytes
    issuer: bytes         # the DER of its issuer's name, as carried
    serial: int


# More than a publisher's or an authority's chain ever holds; checked before
# anything is verified, as each certificate costs signature checks in the walk.
MAX_CARRIED = 8


def _carried_certificates(reading, element, attribute_certificates=None):
    """The certificates [0] SET OF: at most MAX_CARRIED, no two the same, so
    that their number cannot carry bits no one signed. Their order is the
    signer's to choose: OpenSSL writes the signer first, others sort them,
    and a few bits of order are no channel worth refusing Debian's own
    signer for. Attribute certificates ([1], as Microsoft's time-stamp
    service carries one) are read only where ATTRIBUTE_CERTIFICATES is a
    list, and put in it as the DER of the AttributeCertificate, for the
    ESS attribute to name."""
    children = element.children if element is not None else []
    if len(children) > MAX_CARRIED:
        reading.refuse("certificates-count", f"carries {len(children)} certificates, more than {MAX_CARRIED}")
    carried = []
    for child in children:
        if attribute_certificates is not None and _identifier(child) == CONTEXT1:
            attribute_certificates.append(_attribute_certificate(reading, child))
            continue
        if _identifier(child) != SEQUENCE:
            reading.refuse("certificate-kind", f"carries something other than an X.509 certificate (tag 0x{_identifier(child):02x})")
        tbs = _certificate_shape(reading, child)
        try:
            certificate = certificates.load_der(reading.bytes_of(child))
        except Exception as error:  # noqa: BLE001
            reading.refuse("certificate-readable", f"carries a certificate that cannot be read ({error})")
        costly = certificates.key_too_costly(certificate)
        if costly:
            reading.refuse("key-cost", f"carries {certificates.subject(certificate)}, with {costly}")
        weak = trust.weak_key(certificate)
        if weak:
            reading.refuse("key-strength", f"carries {certificates.subject(certificate)}, with {weak}")
        # cryptography has read it whole, so its issuer is there to take.
        fields = _tbs_fields(tbs)
        if any(entry.encoding == reading.bytes_of(child) for entry in carried):
            reading.refuse("certificate-once", f"carries the certificate {certificates.subject(certificate)} twice")
        carried.append(_Carried(certificate, reading.bytes_of(child), reading.bytes_of(fields[2]),
                                certificate.serial_number))
    return carried


def _attribute_certificate(reading, element):
    """The DER of an AttributeCertificate carried as [1]: its three outer
    fields, what is in them signed by its issuer and named by hash in the
    token's signed ESS attribute (_names_its_chain)."""
    shape = [_identifier(child) for child in element.children]
    if shape != [SEQUENCE, SEQUENCE, 0x03]:
        reading.refuse("attribute-certificate", "carries an attribute certificate of a shape this check does not know")
    encoding = reading.bytes_of(element)
    return b"\x30" + encoding[1:]


def _tbs_fields(tbs):
    """A to-be-signed certificate's fields from its serial number on (serial,
    signature algorithm, issuer, ...), its version passed over."""
    children = tbs.children
    return children[1:] if children and _identifier(children[0]) == CONTEXT0 else children


def _certificate_shape(reading, element):
    """What a certificate's issuer does not sign: the outer fields. The
    signature algorithm outside must be the one inside, with no parameters
    but NULL; the signature a BIT STRING with no unused bits."""
    fields = reading.fields(element, "certificate", [("to-be-signed part", SEQUENCE, False),
                                                     ("signature algorithm", SEQUENCE, False),
                                                     ("signature", 0x03, False)])
    tbs = _tbs_fields(fields["to-be-signed part"])
    inner = tbs[1] if len(tbs) > 1 else None
    outer = reading.bytes_of(fields["signature algorithm"])
    allowed = [OID["sha256_rsa"], OID["sha384_rsa"], OID["sha512_rsa"], OID["ecdsa_sha256"],
               OID["ecdsa_sha384"], OID["ecdsa_sha512"]]
    # A long-lived root carried along often signed itself with SHA-1; a trust
    # anchor's self-signature is never relied on (trust.py judges every
    # signature that is), so only its shape is read here.
    if len(tbs) > 4 and reading.bytes_of(tbs[2]) == reading.bytes_of(tbs[4]):
        allowed += [OID["sha1_rsa"], OID["ecdsa_sha1"]]
    reading.algorithm(fields["signature algorithm"], allowed, "certificate's signature algorithm")
    if inner is None or reading.bytes_of(inner) != outer:
        reading.refuse("certificate-algorithm", "carries a certificate whose signature algorithm differs outside and inside what is signed")
    if reading.content(fields["signature"])[:1] != b"\x00":
        reading.refuse("certificate-signature-bits", "carries a certificate whose signature has unused bits")
    return fields["to-be-signed part"]


def _issuer_and_serial(reading, signer_info_fields, name):
    sid = signer_info_fields["signer"]
    if _identifier(sid) != SEQUENCE:
        reading.refuse("signer-by-issuer-serial", f"names its {name} by key identifier, not by issuer and serial number")
    fields = reading.fields(sid, "signer identifier", [("issuer", SEQUENCE, False), ("serial number", INTEGER, False)])
    return reading.bytes_of(fields["issuer"]), int.from_bytes(reading.content(fields["serial number"]), "big",
                                                               signed=True)


def _named_certificate(reading, carried, issuer, serial, name):
    """The carried certificate that an issuer and serial number name."""
    for entry in carried:
        if entry.serial == serial and entry.issuer == issuer:
            return entry.certificate
    reading.refuse("signer-carried", f"names as its {name} a certificate that it does not carry")


def _one_signer(reading, element, version, digests, on_revocation_lists):
    """SignedData of VERSION in the ContentInfo ELEMENT, with no revocation
    lists and one SignerInfo (version 1) whose digest algorithm, one of
    DIGESTS, is the one SignedData lists; returns SignedData's fields, the
    SignerInfo's, the digest's name and the signature algorithm."""
    signed = _signed_data(reading, element)
    reading.small_integer(signed["version"], version, "SignedData version")
    if signed["revocation lists"] is not None:
        reading.refuse("no-crls", on_revocation_lists)
    infos = signed["signer infos"].children
    if len(infos) != 1:
        reading.refuse("one-signer", f"holds {len(infos)} signer infos, not one")
    info = _signer_info_fields(reading, infos[0])
    reading.small_integer(info["version"], 1, "SignerInfo version")
    digest_oid = reading.algorithm(info["digest algorithm"], digests, "signer's digest algorithm")
    listed = signed["digest algorithms"].children
    if len(listed) != 1:
        reading.refuse("one-digest-algorithm", f"lists {len(listed)} digest algorithms in SignedData, where its signer's one is all"
                       " it may list")
    if reading.bytes_of(listed[0]) != reading.bytes_of(info["digest algorithm"]):
        reading.algorithm(listed[0], digests, "SignedData's digest algorithm")
        reading.refuse("same-digest-algorithm", "lists another digest algorithm in SignedData than its signer's")
    digest_name = DIGESTS[digest_oid][0]
    signature_oid = reading.algorithm(info["signature algorithm"], _signature_algorithms(digest_name),
                                      "signer's signature algorithm")
    return signed, info, digest_name, signature_oid


def _signer_info_fields(reading, element):
    # The signer is named by issuer and serial number (a SEQUENCE) or by key
    # identifier ([0]); which one is read from the element itself.
    named_by = _identifier(element.children[1]) if len(element.children) > 1 else SEQUENCE
    return reading.fields(element, "SignerInfo", [
        ("version", INTEGER, False), ("signer", named_by if named_by in (SEQUENCE, 0x80) else SEQUENCE, False),
        ("digest algorithm", SEQUENCE, False), ("signed attributes", CONTEXT0, True),
        ("signature algorithm", SEQUENCE, False), ("signature", OCTETS, False),
        ("unsigned attributes", CONTEXT1, True)])


def _attributes(reading, element, name):
    """Attributes as [(dotted type, values element)]; each type at most once."""
    attributes, seen = [], set()
    for child in element.children:
        fields = reading.fields(child, f"{name} attribute", [("type", OID_TAG, False), ("values", SET, False)])
        dotted = reading.oid(fields["type"])
        if dotted in seen:
            reading.refuse("attribute-once", f"holds the {name} attribute {dotted} twice")
        seen.add(dotted)
        attributes.append((dotted, fields["values"]))
    return attributes


def _verify_signer(reading, certificate, signed_attributes, signature, digest_name, signature_oid, what):
    """The signer's signature over the DER of its signed attributes (their
    implicit tag read as the SET they are)."""
    message = b"\x31" + signed_attributes[1:]
    key = certificate.public_key()
    algorithm = DIGESTS_BY_NAME[digest_name]()
    try:
        if isinstance(key, rsa.RSAPublicKey) and signature_oid in (OID["rsa"], RSA_WITH[digest_name]):
            key.verify(signature, message, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey) and signature_oid == ECDSA_WITH[digest_name]:
            key.verify(signature, message, ec.ECDSA(algorithm))
        else:
            reading.refuse("signature-algorithm-key", f"names a signature algorithm ({signature_oid}) that does not fit its {what}'s key")
    except (InvalidSignature, UnsupportedAlgorithm, ValueError):
        return False
    return True


DIGESTS_BY_NAME = {name: algorithm for name, algorithm in DIGESTS.values()}


def _signature_algorithms(digest_name):
    return [OID["rsa"], RSA_WITH[digest_name], ECDSA_WITH[digest_name]]


def _check_chain_members(reading, leaf, carried, stray_words, others=()):
    """Every carried certificate on LEAF's chain (or among OTHERS, another
    chain already checked), each verified under its issuer where that is
    carried; none off them."""
    walk = certificates.walk(leaf, [c for c in carried if not certificates.among(c, others)])
    if walk.forged is not None:
        forged = walk.forged
        issuer = "its own key" if certificates.self_issued(forged) else \
            f"the key of its issuer, {certificates.rfc2253(forged.issuer)}"
        reading.refuse("certificate-signature", f"carries {certificates.subject(forged)}, whose own signature does not verify under {issuer}")
    if walk.strays:
        reading.refuse("certificate-on-chain", f"carries a certificate that is neither {stray_words}: {certificates.subject(walk.strays[0])}")
    return walk


def read_signature(data: bytes, tsa_roots) -> Optional[Signature]:
    """None when DATA is a PE image with no certificate table at all
    (unsigned). Otherwise checks everything that needs no build and no signer
    roots (image layout, DER, the allow-list, the signer's signature, the
    digest, carried certificates, the timestamp and its authority against
    TSA_ROOTS; revocation is revocation.py's) and returns the
    Signature, or raises Refused. Data that is not a PE image also raises
    Refused."""
    try:
        return _read(bytes(data), tsa_roots)
    except Refused:
        raise
    except image.BadImage as error:
        raise Refused(error.check, str(error)) from None
    except der.NotDer as error:
        raise Refused(error.check, f"its signature is not in DER throughout ({error}), so it could hide what its"
                      " signer did not sign") from None
    except Exception as error:  # noqa: BLE001 - an unexpected structure is a refusal, never a traceback
        # The library's own words can run long and carry its internals: the kind of fault is enough.
        raise Refused("signature.readable", f"its signature holds a structure this check cannot read"
                      f" ({type(error).__name__})") from None


def _read(data, tsa_roots):
    layout = image.read_layout(data)
    blob = image.signature_blob(data, layout)
    if blob is None:
        return None
    der.parse(blob)
    reading = _Reading(blob, "its signature", "signature")
    signed, info, digest_name, signature_oid = _one_signer(reading, der.parse(blob), 1, list(DIGESTS),
                                                           "carries revocation lists, which the signer did not sign")

    # What was signed: SpcIndirectDataContent naming the image and its digest.
    content = reading.fields(signed["content"], "signed content", [("type", OID_TAG, False),
                                                                    ("content", CONTEXT0, True)])
    if reading.oid(content["type"]) != OID["spc_indirect_data"] or content["content"] is None:
        reading.refuse("indirect-data", f"does not sign Authenticode content (SpcIndirectDataContent), but {reading.oid(content['type'])}")
    if len(content["content"].children) != 1:
        reading.refuse("one-indirect-data", "holds signed content that is not one SpcIndirectDataContent")
    indirect = content["content"].children[0]
    computed = image.authenticode_digest(data, layout, digest_name)
    digest_info, page_hashes = _spc_digest(reading, indirect, info)

    # The signed attributes: those Authenticode signs, one value each.
    if info["signed attributes"] is None:
        reading.refuse("signed-attributes", "holds a signer info without signed attributes")
    content_digest = hashlib.new(digest_name, reading.content(indirect)).digest()
    _authenticode_attributes(reading, info["signed attributes"], content_digest, info)

    carried = _carried_certificates(reading, signed["certificates"])
    issuer, serial = _issuer_and_serial(reading, info, "signer")
    signer = _named_certificate(reading, carried, issuer, serial, "signer")
    signature_value = reading.content(info["signature"])
    if not _verify_signer(reading, signer, reading.bytes_of(info["signed attributes"]), signature_value,
                          digest_name, signature_oid, "signer"):
        raise Refused("signature.signer-signature", "its signer's signature does not verify with the signer"
                      " certificate's key")

    # What the signer did not sign: none, or one timestamp (an RFC 3161 token
    # or a legacy countersignature).
    timestamp = kind = None
    if info["unsigned attributes"] is not None:
        kind, timestamp = _unsigned_attributes(reading, info["unsigned attributes"])

    if digest_info != computed:
        raise Refused("signature.image-digest", f"it was changed after it was signed: its signature holds the digest"
                      f" {digest_info.hex().upper()},"
                      f" the file has {computed.hex().upper()}")
    if page_hashes is not None:
        _check_page_hashes(reading, data, layout, *page_hashes)
    image.check_checksum(data, layout)

    authority = timestamp_time = None
    authority_carried = ()
    if kind == "token":
        authority, timestamp_time, authority_carried = _check_token(
            blob, timestamp, signature_value, tsa_roots)
    elif kind == "countersignature":
        # Its signer's chain travels in the signature's own certificates.
        authority, timestamp_time, authority_carried = _check_countersignature(
            blob, timestamp, signature_value, carried, tsa_roots)
    walk = _check_chain_members(reading, signer, [c.certificate for c in carried],
                                "the signer's nor an issuer on its chain"
                                + (" nor the countersigner's" if kind == "countersignature" else ""),
                                others=authority_carried if kind == "countersignature" else ())
    return Signature(blob=blob, padded_length=image.length_padded(data, layout),
                     signer_subject=certificates.subject(signer), carried_chain=walk.path,
                     timestamp_authority=authority,
                     carried=tuple(walk.members), timestamp_time=timestamp_time,
                     timestamp_carried=tuple(authority_carried))


def _spc_digest(reading, indirect, info):
    """The image digest in SpcIndirectDataContent and its page hashes, if
    any, as (digest name, hashes): the image data in a shape real signers
    write, then the digest under the signer's own digest algorithm."""
    fields = reading.fields(indirect, "SpcIndirectDataContent", [("image data", SEQUENCE, False),
                                                                 ("digest", SEQUENCE, False)])
    page_hashes = None
    if reading.bytes_of(fields["image data"]) not in PE_IMAGE_DATA:
        page_hashes = _page_hashes(reading, fields["image data"])
    digest = reading.fields(fields["digest"], "DigestInfo", [("algorithm", SEQUENCE, False), ("digest", OCTETS, False)])
    # Real signers digest the image with the algorithm they sign with; two
    # would make the file's integrity rest on the weaker.
    if reading.oid(digest["algorithm"].children[0]) != reading.oid(info["digest algorithm"].children[0]):
        reading.refuse("image-digest-algorithm", "digests the image with another algorithm than its signer's")
    dotted = reading.algorithm(digest["algorithm"], list(DIGESTS), "image digest's algorithm")
    value = reading.content(digest["digest"])
    expected = hashlib.new(DIGESTS[dotted][0]).digest_size
    if len(value) != expected:
        reading.refuse("image-digest-size", f"holds an image digest of {len(value)} bytes, not {DIGESTS[dotted][0]}'s {expected}")
    return value, page_hashes


def _page_hashes(reading, element):
    """SpcPeImageData whose file link is the serialized object of page
    hashes (signtool /ph, osslsigncode -ph); returns (digest name, the
    hashes' bytes) for _check_page_hashes, or refuses any other shape."""
    def unknown():
        reading.refuse("pe-image-data", "signs image data (SpcPeImageData) of a shape this check does not know")

    children = element.children
    if (len(children) != 2 or reading.bytes_of(children[0]) != _oid(OID["spc_pe_image_data"])
            or _identifier(children[1]) != SEQUENCE or len(children[1].children) != 2):
        unknown()
    flags, link = children[1].children
    if reading.bytes_of(flags) not in IMAGE_FLAGS or _identifier(link) != CONTEXT0 or len(link.children) != 1:
        unknown()
    serialized = link.children[0]
    if _identifier(serialized) != CONTEXT1 or len(serialized.children) != 2 or any(
            _identifier(part) != OCTETS for part in serialized.children):
        unknown()
    class_id, data = (reading.content(part) for part in serialized.children)
    if class_id != PAGE_HASHES_CLASS:
        unknown()
    try:
        inner_element = der.parse(data)
    except der.NotDer as error:
        reading.refuse(error.check, f"is not in DER throughout (its page hashes: {error}), so it could hide what its"
                       " signer did not sign")
    inner = _Reading(data, reading.what, reading.step)
    if _identifier(inner_element) != SET or len(inner_element.children) != 1:
        unknown()
    attribute = inner.fields(inner_element.children[0], "page hashes", [("type", OID_TAG, False), ("values", SET, False)])
    name = PAGE_HASHES.get(inner.oid(attribute["type"]))
    values = attribute["values"].children
    if name is None or len(values) != 1 or _identifier(values[0]) != OCTETS:
        unknown()
    return name, inner.content(values[0])


def _check_page_hashes(reading, data, layout, name, hashes):
    """Every page hash the signer signed is this file's own, page for page."""
    computed = image.page_hashes(data, layout, name)
    size = 4 + hashlib.new(name).digest_size
    if len(hashes) != len(computed) * size:
        reading.refuse("page-hashes", f"holds page hashes for {len(hashes) // size} pages, the file has {len(computed)}")
    for index, (offset, digest) in enumerate(computed):
        entry = hashes[index * size:(index + 1) * size]
        if entry != offset.to_bytes(4, "little") + digest:
            reading.refuse("page-hashes", f"holds a page hash that is not the file's own: the page at byte {offset}"
                           f" (page {index + 1}) was changed after it was signed")


def _signed_attributes(reading, element, content_type, content_digest, content_name, digest_refusal,
                       required=("content_type", "message_digest"), keep=()):
    """The signed attributes all signers share, each once with one value:
    contentType CONTENT_TYPE and messageDigest CONTENT_DIGEST, REQUIRED, and
    signingTime, optional. Returns the others (and those of KEEP, checked)
    as {dotted type: value}, for the caller to name or refuse."""
    attributes = dict(_attributes(reading, element, "signed"))
    for required in required:
        if OID[required] not in attributes:
            reading.refuse("required-attribute", f"holds signed attributes without {required.replace('_', ' ')}")
    others = {}
    for dotted, values in attributes.items():
        value = reading.one_value(values, f"signed {dotted}")
        encoding = reading.bytes_of(value)
        if dotted == OID["content_type"]:
            if encoding != _oid(content_type):
                reading.refuse("content-type-attribute", f"says in its signed attributes that it signed something else than {content_name}")
        elif dotted == OID["message_digest"]:
            if encoding != _tlv(OCTETS, content_digest):
                reading.refuse("message-digest", digest_refusal)
        elif dotted == OID["signing_time"]:
            if _identifier(value) not in (0x17, 0x18):
                reading.refuse("signing-time", "holds a signing time that is not a time")
            if dotted in keep:
                others[dotted] = value
        else:
            others[dotted] = value
    return others


def _unknown_attribute(reading, dotted):
    reading.refuse("unknown-attribute", f"holds a signed attribute this check does not know ({dotted})")


def _algorithm_protection(reading, value, info):
    """CMSAlgorithmProtection (RFC 6211): it must name the signer's own
    digest and signature algorithms, the very bytes."""
    protection = reading.fields(value, "algorithm protection", [
        ("digest", SEQUENCE, False), ("signature", 0xA1, True), ("mac", 0xA2, True)])
    signature = protection["signature"]
    if (reading.bytes_of(protection["digest"]) != reading.bytes_of(info["digest algorithm"])
            or protection["mac"] is not None or signature is None
            or reading.content(signature) != reading.content(info["signature algorithm"])):
        reading.refuse("algorithm-protection", "holds an algorithm protection attribute naming other algorithms than its signer's")


# OpenSSL-based signers (sbsign) list the ciphers their library knows; a list
# of OIDs, each with an INTEGER key size or no parameter, is all they write.
MAX_CAPABILITIES = 32


def _smime_capabilities(reading, value):
    entries = value.children if _identifier(value) == SEQUENCE else None
    if entries is None or len(entries) > MAX_CAPABILITIES:
        reading.refuse("smime-capabilities", "holds an S/MIME capabilities attribute of a shape this check does not know")
    for entry in entries:
        fields = reading.fields(entry, "S/MIME capability", [("capability", OID_TAG, False),
                                                              ("parameters", INTEGER, True)])
        if fields["parameters"] is not None and len(reading.content(fields["parameters"])) > 2:
            reading.refuse("smime-capabilities", "holds an S/MIME capability with a parameter that is no key size")


def _authenticode_attributes(reading, element, content_digest, info):
    others = _signed_attributes(reading, element, OID["spc_indirect_data"], content_digest, "Authenticode content",
                                "holds signed content whose digest is not the one its signer signed")
    for dotted, value in others.items():
        if dotted == OID["spc_statement_type"]:
            if reading.bytes_of(value) not in (_tlv(SEQUENCE, _oid(OID["individual_code_signing"])),
                                               _tlv(SEQUENCE, _oid(OID["commercial_code_signing"]))):
                reading.refuse("statement-type", "holds a statement type that is neither individual nor commercial code signing")
        elif dotted == OID["spc_sp_opus_info"]:
            _opus_info(reading, value)
        elif dotted == OID["smime_capabilities"]:
            _smime_capabilities(reading, value)
        elif dotted == OID["algorithm_protection"]:
            _algorithm_protection(reading, value, info)
        else:
            _unknown_attribute(reading, dotted)


def _opus_info(reading, value):
    """SpcSpOpusInfo: a program name and a link to more information, each
    optional, each a plain string."""
    fields = reading.fields(value, "SpcSpOpusInfo", [("program name", CONTEXT0, True), ("more info", CONTEXT1, True)])
    for name, element, allowed in (("program name", fields["program name"], (0x80, 0x81)),
                                   ("more info", fields["more info"], (0x80,))):
        if element is None:
            continue
        if len(element.children) != 1 or _identifier(element.children[0]) not in allowed:
            reading.refuse("opus-info", f"holds an SpcSpOpusInfo {name} of a shape this check does not know")


def _unsigned_attributes(reading, element):
    """The one unsigned attribute a signature may hold, a timestamp; returns
    ("token", the RFC 3161 token's element) or ("countersignature", the
    legacy countersignature's SignerInfo)."""
    tokens = []
    for child in element.children:
        fields = reading.fields(child, "unsigned attribute", [("type", OID_TAG, False), ("values", SET, False)])
        dotted = reading.oid(fields["type"])
        if dotted == OID["nested_signature"]:
            reading.refuse("nested-signature", f"holds a nested signature ({dotted}): sign once, with SHA-256"
                           " (signtool sign /fd sha256 without /as; osslsigncode sign without -nest; jsign --replace)")
        if dotted not in (OID["rfc3161_timestamp"], OID["countersignature"]):
            reading.refuse("unsigned-attribute", f"holds an unauthenticated attribute that is not a timestamp ({dotted})")
        tokens.append((dotted, fields["values"]))
    if len(tokens) != 1:
        reading.refuse("one-timestamp", f"holds {len(tokens)} timestamps; one is all it may hold")
    dotted, values = tokens[0]
    if len(values.children) != 1:
        reading.refuse("one-token", f"holds a timestamp attribute with {len(values.children)} values, not one")
    return ("token" if dotted == OID["rfc3161_timestamp"] else "countersignature"), values.children[0]


# The timestamp token: signed data of its authority's, which the publisher did
# not sign. It is read as strictly as the signature, and only its authority's
# own chain may travel in it unsigned.

GENERALIZED_TIME, DIRECTORY_NAME = 0x18, 0xA4
MAX_NONCE_BYTES = 16


def _check_token(blob, element, signature_value, tsa_roots):
    """Checks the token at ELEMENT of BLOB, its authority's chain against
    TSA_ROOTS (an inputs.Roots); returns the authority's subject, the time
    stamped and the certificates on the authority's chain."""
    reading = _Reading(blob, "its timestamp", "token")
    signed, info, digest_name, signature_oid = _one_signer(
        reading, element, 3, list(DIGESTS), "holds attributes or revocation lists that its authority did not sign")
    if info["unsigned attributes"] is not None:
        reading.refuse("no-unsigned-attributes", "holds attributes or revocation lists that its authority did not sign")
    if info["signed attributes"] is None:
        reading.refuse("signed-attributes", "holds a signer info without signed attributes")

    content = reading.fields(signed["content"], "signed content", [("type", OID_TAG, False),
                                                                    ("content", CONTEXT0, True)])
    if reading.oid(content["type"]) != OID["tst_info"] or content["content"] is None:
        reading.refuse("tst-info", f"is not an RFC 3161 token (its content is {reading.oid(content['type'])})")
    if len(content["content"].children) != 1 or _identifier(content["content"].children[0]) != OCTETS:
        reading.refuse("tst-info-octets", "holds its TSTInfo in something other than one OCTET STRING")
    tst_bytes = reading.content(content["content"].children[0])
    try:
        tst_element = der.parse(tst_bytes)
    except der.NotDer as error:
        reading.refuse(error.check, f"is not in DER throughout (its TSTInfo: {error}), so it could hide what its"
                       " authority did not sign")
    imprint_name, imprint, moment = _tst_info(_Reading(tst_bytes, "its timestamp", "token"), tst_element)

    attribute_certificates = []
    carried = _carried_certificates(reading, signed["certificates"], attribute_certificates)
    if len(set(attribute_certificates)) != len(attribute_certificates):
        reading.refuse("certificate-once", "carries an attribute certificate twice")
    if not carried:
        reading.refuse("certificates-present", "carries no certificate that it could be checked with")
    issuer, serial = _issuer_and_serial(reading, info, "authority")
    authority = _named_certificate(reading, carried, issuer, serial, "authority")
    ess = _token_attributes(reading, info["signed attributes"], hashlib.new(digest_name, tst_bytes).digest(),
                            info)
    intact = _verify_signer(reading, authority, reading.bytes_of(info["signed attributes"]),
                            reading.content(info["signature"]), digest_name, signature_oid, "authority")
    if not intact:
        reading.refuse("authority-signature", "is not intact, or was not made for this signature")
    if hashlib.new(imprint_name, signature_value).digest() != imprint:
        reading.refuse("imprint", "is not intact, or was not made for this signature")

    walk = _check_chain_members(reading, authority, [c.certificate for c in carried],
                                "its authority's nor an issuer on that chain")
    authority_name = certificates.subject(authority)
    trust.trust(authority, [c.certificate for c in carried], tsa_roots, trust.TIME_STAMPING, moment,
                step="tsa-chain", what=f"its timestamp's authority, {authority_name}")
    _names_its_chain(reading, ess, authority, walk.members, tsa_roots.certificates, attribute_certificates)
    return authority_name, moment, walk.members


def _check_countersignature(blob, element, signature_value, carried, tsa_roots):
    """Checks the legacy countersignature (signtool /t, jsign's default) at
    ELEMENT of BLOB: a SignerInfo over this signature's value, read as
    strictly as a token, its signer among CARRIED and its chain to
    TSA_ROOTS for time stamping; returns as _check_token does."""
    reading = _Reading(blob, "its countersignature", "countersignature")
    info = _signer_info_fields(reading, element)
    reading.small_integer(info["version"], 1, "SignerInfo version")
    digest_name = DIGESTS[reading.algorithm(info["digest algorithm"], list(DIGESTS), "digest algorithm")][0]
    signature_oid = reading.algorithm(info["signature algorithm"], _signature_algorithms(digest_name),
                                      "signature algorithm")
    if info["unsigned attributes"] is not None:
        reading.refuse("no-unsigned-attributes", "holds attributes that its signer did not sign")
    if info["signed attributes"] is None:
        reading.refuse("signed-attributes", "holds a signer info without signed attributes")
    others = _signed_attributes(reading, info["signed attributes"], OID["data"],
                                hashlib.new(digest_name, signature_value).digest(), "data",
                                "was not made for this signature", required=("message_digest",),
                                keep=(OID["signing_time"],))
    moment = others.pop(OID["signing_time"], None)
    if moment is None:
        reading.refuse("signing-time-present", "holds no signing time, the time it stamps")
    for dotted in others:
        _unknown_attribute(reading, dotted)
    issuer, serial = _issuer_and_serial(reading, info, "signer")
    countersigner = _named_certificate(reading, carried, issuer, serial, "signer")
    if not _verify_signer(reading, countersigner, reading.bytes_of(info["signed attributes"]),
                          reading.content(info["signature"]), digest_name, signature_oid, "signer"):
        reading.refuse("authority-signature", "is not intact: its signer's signature does not verify")
    moment = (core.UTCTime if _identifier(moment) == 0x17 else core.GeneralizedTime).load(
        reading.bytes_of(moment)).native
    walk = certificates.walk(countersigner, [c.certificate for c in carried])
    name = certificates.subject(countersigner)
    trust.trust(countersigner, walk.members, tsa_roots, trust.TIME_STAMPING, moment,
                step="tsa-chain", what=f"its countersignature's signer, {name}")
    return name, moment, walk.members


def _tst_info(reading, element):
    """TSTInfo, field by field; returns the imprint's digest name and value,
    and the time stamped."""
    fields = reading.fields(element, "TSTInfo", [
        ("version", INTEGER, False), ("policy", OID_TAG, False), ("message imprint", SEQUENCE, False),
        ("serial number", INTEGER, False), ("time", GENERALIZED_TIME, False), ("accuracy", SEQUENCE, True),
        ("ordering", BOOLEAN, True), ("nonce", INTEGER, True), ("authority name", CONTEXT0, True),
        ("extensions", CONTEXT1, True)])
    reading.small_integer(fields["version"], 1, "TSTInfo version")
    imprint = reading.fields(fields["message imprint"], "message imprint", [("algorithm", SEQUENCE, False),
                                                                         ("digest", OCTETS, False)])
    imprint_oid = reading.algorithm(imprint["algorithm"], list(DIGESTS), "message imprint's algorithm")
    if fields["accuracy"] is not None:
        accuracy = reading.fields(fields["accuracy"], "accuracy", [("seconds", INTEGER, True), ("millis", 0x80, True),
                                                                   ("micros", 0x81, True)])
        for unit in ("millis", "micros"):
            # Implicitly tagged, so der.py reads them as bytes: minimal here.
            value = reading.content(accuracy[unit]) if accuracy[unit] is not None else None
            if value is not None and (not value or len(value) > 1 and value[0] == 0 and value[1] < 0x80
                                      or not 1 <= int.from_bytes(value, "big", signed=True) <= 999):
                reading.refuse("accuracy", f"holds an accuracy in {unit} that is not from 1 to 999, in DER")
    if fields["ordering"] is not None and reading.content(fields["ordering"]) != b"\xff":
        reading.refuse("ordering", "holds an ordering of FALSE written out, which DER leaves out")
    if fields["nonce"] is not None:
        nonce = reading.content(fields["nonce"])
        magnitude = len(nonce) - (1 if nonce[0] == 0 else 0)
        # Whoever asks for a timestamp chooses its nonce, which the authority
        # signs as given: osslsigncode asks with 8 bytes, and a long one is room for anything.
        if magnitude > MAX_NONCE_BYTES:
            reading.refuse("nonce-size", f"'s nonce is {magnitude} bytes long, room for anything; no more than"
                           f" {MAX_NONCE_BYTES} are asked for")
    if fields["authority name"] is not None:
        names = fields["authority name"].children
        if len(names) != 1 or _identifier(names[0]) != DIRECTORY_NAME:
            reading.refuse("tsa-name", "names its authority other than by a directory name")
    if fields["extensions"] is not None:
        reading.refuse("tst-extensions", "holds TSTInfo extensions, which this check does not know")
    moment = core.GeneralizedTime.load(reading.bytes_of(fields["time"])).native
    return DIGESTS[imprint_oid][0], reading.content(imprint["digest"]), moment


def _token_attributes(reading, element, content_digest, info):
    """The token's signed attributes; returns the ESSCertID list (as
    (digest name, hash, issuer-serial element or None))."""
    others = _signed_attributes(reading, element, OID["tst_info"], content_digest, "TSTInfo",
                                "is not intact, or was not made for this signature")
    certificate_ids = [OID["signing_certificate"], OID["signing_certificate_v2"]]
    if sum(dotted in others for dotted in certificate_ids) != 1:
        reading.refuse("ess-attribute", "does not name its signer in one signing-certificate attribute (ESS)")
    ess = None
    for dotted, value in others.items():
        if dotted in certificate_ids:
            ess = _ess_ids(reading, value, dotted == OID["signing_certificate_v2"])
        elif dotted == OID["algorithm_protection"]:
            _algorithm_protection(reading, value, info)
        else:
            _unknown_attribute(reading, dotted)
    return ess


def _ess_ids(reading, value, version_2):
    fields = reading.fields(value, "signing-certificate attribute", [("certificates", SEQUENCE, False),
                                                                     ("policies", SEQUENCE, True)])
    if fields["policies"] is not None:
        reading.refuse("ess-policies", "names policies in its signing-certificate attribute, which this check does not know")
    ids = []
    for child in fields["certificates"].children:
        shape = ([("algorithm", SEQUENCE, True)] if version_2 else []) + [
            ("hash", OCTETS, False), ("issuer and serial", SEQUENCE, True)]
        entry = reading.fields(child, "ESSCertID", shape)
        name = "sha1"
        if version_2:
            name = "sha256"
            if entry["algorithm"] is not None:
                name = DIGESTS[reading.algorithm(entry["algorithm"], list(DIGESTS), "ESSCertID's algorithm")][0]
        ids.append((name, reading.content(entry["hash"]), entry["issuer and serial"]))
    if not ids:
        reading.refuse("ess-empty", "names no certificate in its signing-certificate attribute")
    return ids


def _names_its_chain(reading, ess, authority, members, roots, attribute_certificates=()):
    """The first ESSCertID names the authority; any others, its chain (RFC
    5816) or an attribute certificate it carries, which nothing else vouches
    for."""
    known = list(members) + list(roots)
    unnamed = set(attribute_certificates)
    for index, (name, value, issuer_serial) in enumerate(ess):
        attribute = [a for a in attribute_certificates if hashlib.new(name, a).digest() == value]
        if index and attribute and issuer_serial is None:
            unnamed.difference_update(attribute)
            continue
        named = [c for c in known if hashlib.new(name, certificates.der(c)).digest() == value]
        if index == 0 and not any(certificates.der(c) == certificates.der(authority) for c in named):
            reading.refuse("ess-signer", "'s signing-certificate attribute (ESS) does not name its signer")
        if not named:
            reading.refuse("ess-on-chain", "'s signing-certificate attribute (ESS) names a certificate off its authority's chain")
        if issuer_serial is not None:
            fields = reading.fields(issuer_serial, "ESS issuer and serial", [("issuer", SEQUENCE, False),
                                                                             ("serial", INTEGER, False)])
            serial = int.from_bytes(reading.content(fields["serial"]), "big", signed=True)
            if serial != named[0].serial_number:
                reading.refuse("ess-serial", "'s signing-certificate attribute (ESS) gives another serial number than its"
                               " certificate's")
    if unnamed:
        reading.refuse("attribute-certificate-named", "carries an attribute certificate that its signed"
                       " signing-certificate attribute (ESS) does not name")


def first_difference(one, other):
    """Where ONE and OTHER first differ, as cmp counts bytes (from 1)."""
    for index, (a, b) in enumerate(zip(one, other)):
        if a != b:
            return f"first difference at byte {index + 1}"
    if len(one) == len(other):
        return "no difference"
    return f"first difference at byte {min(len(one), len(other)) + 1}, where the shorter one ends"


def compare_with_build(data: bytes, built: bytes, signature: Signature) -> None:
    """Raises Refused unless DATA is exactly BUILT with SIGNATURE attached the
    way osslsigncode attaches it (so nothing outside the digest was changed
    either)."""
    data, built = bytes(data), bytes(built)
    try:
        unsigned = image.strip(data)
        if unsigned != built:
            raise Refused("build.unsigned-is-build", f"without its signature it is not the build"
                          f" ({first_difference(unsigned, built)})")
        again = image.attach(built, signature.blob, signature.padded_length)
    except image.BadImage as error:
        raise Refused(error.check, str(error)) from None
    if again != data:
        raise Refused("build.round-trip", f"it holds bytes that its signature does not account for ({first_difference(data, again)}"
                      " from the build with the same signature)")
