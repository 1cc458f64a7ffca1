"""The Authenticode signature of a released program, read as an allow-list.

A signature is accepted only when every element of it is one this reading
knows and expects, in a shape real signers write (osslsigncode, signtool,
jsign, OpenSSL-based ones): one signer, SHA-256/384/512, the content that
names the image's digest and perhaps its page hashes, the attributes
Authenticode signs, and at most one timestamp (timestamp.py). Anything else
is refused, and named: bytes that no signature covers could otherwise travel
in a release unseen.

What the signature and the timestamp share is read by cms.py, on der.py's
reading; the image's digests are image.py's, chains trust.py's."""

import hashlib
from dataclasses import dataclass
from typing import Optional

from . import certificates, cms, der, image, timestamp
from .cms import CONTEXT0, CONTEXT1, DIGESTS, INTEGER, OCTETS, OID, OID_TAG, SEQUENCE, SET
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


# The file link of SpcPeImageData names nothing a verifier reads: osslsigncode
# writes the 2010 "<<<Obsolete>>>" in UTF-16, today's signtool and jsign an
# empty string. Page hashes travel in its place (see _page_hashes).
FILE_LINKS = tuple(cms.tlv(0xA0, cms.tlv(0xA2, cms.tlv(0x80, text.encode("utf-16-be")))) for text in ("<<<Obsolete>>>", ""))
IMAGE_FLAGS = (bytes.fromhex("03020780"), bytes.fromhex("030100"))
PE_IMAGE_DATA = tuple(cms.tlv(0x30, cms.oid(OID["spc_pe_image_data"]) + cms.tlv(0x30, flags + link))
                      for flags in IMAGE_FLAGS for link in FILE_LINKS)
# The class of the serialized object that carries page hashes.
PAGE_HASHES_CLASS = bytes.fromhex("a6b586d5b4a12466ae05a217da8e60d6")
PAGE_HASHES = {OID["page_hashes_sha1"]: "sha1", OID["page_hashes_sha256"]: "sha256"}



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
    reading = cms.Reading(blob, "its signature", "signature")
    signed, info, digest_name, signature_oid = cms.one_signer(reading, der.parse(blob), 1, list(DIGESTS),
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

    carried = cms.carried_certificates(reading, signed["certificates"])
    issuer, serial = cms.issuer_and_serial(reading, info, "signer")
    signer = cms.named_certificate(reading, carried, issuer, serial, "signer")
    signature_value = reading.content(info["signature"])
    if not cms.verify_signer(reading, signer, reading.bytes_of(info["signed attributes"]), signature_value,
                             digest_name, signature_oid, "signer"):
        raise Refused("signature.signer-signature", "its signer's signature does not verify with the signer"
                      " certificate's key")

    # What the signer did not sign: none, or one timestamp (an RFC 3161 token
    # or a legacy countersignature).
    stamp = kind = None
    if info["unsigned attributes"] is not None:
        kind, stamp = _unsigned_attributes(reading, info["unsigned attributes"])

    if digest_info != computed:
        raise Refused("signature.image-digest", f"it was changed after it was signed: its signature holds the digest"
                      f" {digest_info.hex().upper()},"
                      f" the file has {computed.hex().upper()}")
    if page_hashes is not None:
        _check_page_hashes(reading, data, layout, *page_hashes)
    image.check_checksum(data, layout)

    authority = timestamp_time = None
    authority_carried = countersigners = ()
    stray_words = "the signer's nor an issuer on its chain"
    if kind == "token":
        authority, timestamp_time, authority_carried = timestamp.check_token(
            blob, stamp, signature_value, tsa_roots)
    elif kind == "countersignature":
        # Its signer's chain travels in the signature's own certificates.
        authority, timestamp_time, authority_carried = timestamp.check_countersignature(
            blob, stamp, signature_value, carried, tsa_roots)
        countersigners, stray_words = authority_carried, stray_words + " nor the countersigner's"
    walk = cms.check_chain_members(reading, signer, [c.certificate for c in carried], stray_words,
                                   others=countersigners)
    return Signature(blob=blob, padded_length=image.length_padded(data, layout),
                     signer_subject=certificates.subject(signer), carried_chain=walk.path,
                     timestamp_authority=authority,
                     carried=tuple(walk.members), timestamp_time=timestamp_time,
                     timestamp_carried=tuple(authority_carried))


def _spc_digest(reading, indirect, info):
    """The image digest in SpcIndirectDataContent, and its page hashes as
    (digest name, the hashes' bytes) or None: the image data in a shape real
    signers write, then the digest under the signer's own digest algorithm."""
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
    if (len(children) != 2 or reading.bytes_of(children[0]) != cms.oid(OID["spc_pe_image_data"])
            or cms.identifier(children[1]) != SEQUENCE or len(children[1].children) != 2):
        unknown()
    flags, link = children[1].children
    if reading.bytes_of(flags) not in IMAGE_FLAGS or cms.identifier(link) != CONTEXT0 or len(link.children) != 1:
        unknown()
    serialized = link.children[0]
    if cms.identifier(serialized) != CONTEXT1 or len(serialized.children) != 2 or any(
            cms.identifier(part) != OCTETS for part in serialized.children):
        unknown()
    class_id, data = (reading.content(part) for part in serialized.children)
    if class_id != PAGE_HASHES_CLASS:
        unknown()
    inner_element, inner = reading.nested(data, "its page hashes", "signer")
    if cms.identifier(inner_element) != SET or len(inner_element.children) != 1:
        unknown()
    attribute = inner.fields(inner_element.children[0], "page hashes", [("type", OID_TAG, False), ("values", SET, False)])
    name = PAGE_HASHES.get(inner.oid(attribute["type"]))
    values = attribute["values"].children
    if name is None or len(values) != 1 or cms.identifier(values[0]) != OCTETS:
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



# OpenSSL-based signers (sbsign) list the ciphers their library knows; a list
# of OIDs, each with an INTEGER key size or no parameter, is all they write.
MAX_CAPABILITIES = 32


def _smime_capabilities(reading, value):
    entries = value.children if cms.identifier(value) == SEQUENCE else None
    if entries is None or len(entries) > MAX_CAPABILITIES:
        reading.refuse("smime-capabilities", "holds an S/MIME capabilities attribute of a shape this check does not know")
    for entry in entries:
        fields = reading.fields(entry, "S/MIME capability", [("capability", OID_TAG, False),
                                                              ("parameters", INTEGER, True)])
        if fields["parameters"] is not None and len(reading.content(fields["parameters"])) > 2:
            reading.refuse("smime-capabilities", "holds an S/MIME capability with a parameter that is no key size")


def _authenticode_attributes(reading, element, content_digest, info):
    others = cms.signed_attributes(reading, element, OID["spc_indirect_data"], content_digest, "Authenticode content",
                                   "holds signed content whose digest is not the one its signer signed")
    for dotted, value in others.items():
        if dotted == OID["spc_statement_type"]:
            if reading.bytes_of(value) not in (cms.tlv(SEQUENCE, cms.oid(OID["individual_code_signing"])),
                                               cms.tlv(SEQUENCE, cms.oid(OID["commercial_code_signing"]))):
                reading.refuse("statement-type", "holds a statement type that is neither individual nor commercial code signing")
        elif dotted == OID["spc_sp_opus_info"]:
            _opus_info(reading, value)
        elif dotted == OID["smime_capabilities"]:
            _smime_capabilities(reading, value)
        elif dotted == OID["algorithm_protection"]:
            cms.algorithm_protection(reading, value, info)
        else:
            cms.unknown_attribute(reading, dotted)


def _opus_info(reading, value):
    """SpcSpOpusInfo: a program name and a link to more information, each
    optional, each a plain string."""
    fields = reading.fields(value, "SpcSpOpusInfo", [("program name", CONTEXT0, True), ("more info", CONTEXT1, True)])
    for name, element, allowed in (("program name", fields["program name"], (0x80, 0x81)),
                                   ("more info", fields["more info"], (0x80,))):
        if element is None:
            continue
        if len(element.children) != 1 or cms.identifier(element.children[0]) not in allowed:
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
