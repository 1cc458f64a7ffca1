"""CMS SignedData read as an allow-list: what the Authenticode signature,
its RFC 3161 timestamp token and a legacy countersignature share.

Every element is read field by field on der.py's reading (DER throughout),
and each field must be one this reading knows, with the value or shape it
must have; anything else is refused and named by its check's id (the
first part the step's: signature., token., countersignature.). Bytes no
signature covers could otherwise travel in a release unseen. Certificates
and signatures are cryptography's to check."""

from dataclasses import dataclass

from asn1crypto import core
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from . import certificates, der, links, trust
from .verdicts import Refused


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



def tlv(tag, content):
    size = len(content)
    if size < 0x80:
        length = bytes([size])
    else:
        octets = (size.bit_length() + 7) // 8
        length = bytes([0x80 | octets]) + size.to_bytes(octets, "big")
    return bytes([tag]) + length + content


def oid(dotted):
    return core.ObjectIdentifier(dotted).dump()



def algorithm_identifiers(dotted):
    """The two DER encodings of an AlgorithmIdentifier for DOTTED: its
    parameters absent, or NULL."""
    return (tlv(0x30, oid(dotted)), tlv(0x30, oid(dotted) + b"\x05\x00"))


class Reading:
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
            self.refuse("sequence", f"holds a {name} that is not a SEQUENCE (identifier 0x{identifier(element):02x}"
                        f" at byte {element.offset})")
        children = list(element.children)
        found = {}
        for field, tag, optional in shape:
            if children and identifier(children[0]) == tag:
                found[field] = children.pop(0)
            elif optional:
                found[field] = None
            else:
                self.refuse("required-field", f"holds a {name} without its {field}")
        if children:
            self.refuse("unknown-field", f"holds a {name} with a field this check does not know"
                        f" (tag 0x{identifier(children[0]):02x} at byte {children[0].offset})")
        return found

    def nested(self, data, name, signer):
        """DATA, DER nested in an OCTET STRING of this reading (NAME, say
        "its TSTInfo"), read as strictly: its element and a Reading of it."""
        try:
            element = der.parse(data)
        except der.NotDer as error:
            self.refuse(error.check, f"is not in DER throughout ({name}: {error}), so it could hide what its"
                        f" {signer} did not sign")
        return element, Reading(data, self.what, self.step)

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


def identifier(element):
    return (element.cls << 6) | (0x20 if element.constructed else 0) | min(element.number, 0x1F)


SEQUENCE, SET, INTEGER, OID_TAG, OCTETS, BOOLEAN = 0x30, 0x31, 0x02, 0x06, 0x04, 0x01
CONTEXT0, CONTEXT1 = 0xA0, 0xA1


def signed_data(reading, element):
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
class Carried:
    certificate: object   # cryptography's
    encoding: bytes
    issuer: bytes         # the DER of its issuer's name, as carried
    serial: int


# More than a publisher's or an authority's chain ever holds; checked before
# anything is verified, as each certificate costs signature checks in the walk.
MAX_CARRIED = 8


def carried_certificates(reading, element, attribute_certificates=None):
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
        if attribute_certificates is not None and identifier(child) == CONTEXT1:
            attribute_certificates.append(attribute_certificate(reading, child))
            continue
        if identifier(child) != SEQUENCE:
            reading.refuse("certificate-kind", f"carries something other than an X.509 certificate (tag 0x{identifier(child):02x})")
        tbs = certificate_shape(reading, child)
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
        fields = tbs_fields(tbs)
        if any(entry.encoding == reading.bytes_of(child) for entry in carried):
            reading.refuse("certificate-once", f"carries the certificate {certificates.subject(certificate)} twice")
        carried.append(Carried(certificate, reading.bytes_of(child), reading.bytes_of(fields[2]),
                                certificate.serial_number))
    return carried


def attribute_certificate(reading, element):
    """The DER of an AttributeCertificate carried as [1]: its three outer
    fields, and inside the first the fields of an AttributeCertificateInfo
    (v2: version 1, holder, issuer, algorithm, serial, validity, attributes,
    then perhaps the issuer's unique id and extensions), so that no X.509
    certificate passes for one. What is in it is named by hash in the
    token's signed ESS attribute (timestamp.py), and nothing else."""
    shape = [identifier(child) for child in element.children]
    info = [identifier(child) for child in element.children[0].children] if shape else []
    known = [INTEGER, SEQUENCE, CONTEXT0, SEQUENCE, INTEGER, SEQUENCE, SEQUENCE]
    if (shape != [SEQUENCE, SEQUENCE, 0x03] or info[:7] != known or info[7:] not in ([], [0x03], [SEQUENCE], [0x03, SEQUENCE])
            or reading.content(element.children[0].children[0]) != b"\x01"):
        reading.refuse("attribute-certificate", "carries an attribute certificate of a shape this check does not know")
    encoding = reading.bytes_of(element)
    return b"\x30" + encoding[1:]


def tbs_fields(tbs):
    """A to-be-signed certificate's fields from its serial number on (serial,
    signature algorithm, issuer, ...), its version passed over."""
    children = tbs.children
    return children[1:] if children and identifier(children[0]) == CONTEXT0 else children


def certificate_shape(reading, element):
    """What a certificate's issuer does not sign: the outer fields. The
    signature algorithm outside must be the one inside, with no parameters
    but NULL; the signature a BIT STRING with no unused bits."""
    fields = reading.fields(element, "certificate", [("to-be-signed part", SEQUENCE, False),
                                                     ("signature algorithm", SEQUENCE, False),
                                                     ("signature", 0x03, False)])
    tbs = tbs_fields(fields["to-be-signed part"])
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


def issuer_and_serial(reading, signer_info_fields, name):
    sid = signer_info_fields["signer"]
    if identifier(sid) != SEQUENCE:
        reading.refuse("signer-by-issuer-serial", f"names its {name} by key identifier, not by issuer and serial number")
    fields = reading.fields(sid, "signer identifier", [("issuer", SEQUENCE, False), ("serial number", INTEGER, False)])
    return reading.bytes_of(fields["issuer"]), int.from_bytes(reading.content(fields["serial number"]), "big",
                                                               signed=True)


def named_certificate(reading, carried, issuer, serial, name):
    """The carried certificate that an issuer and serial number name."""
    for entry in carried:
        if entry.serial == serial and entry.issuer == issuer:
            return entry.certificate
    reading.refuse("signer-carried", f"names as its {name} a certificate that it does not carry")


def one_signer(reading, element, version, digests, on_revocation_lists):
    """SignedData of VERSION in the ContentInfo ELEMENT, with no revocation
    lists and one SignerInfo (version 1) whose digest algorithm, one of
    DIGESTS, is the one SignedData lists; returns SignedData's fields, the
    SignerInfo's, the digest's name and the signature algorithm."""
    signed = signed_data(reading, element)
    reading.small_integer(signed["version"], version, "SignedData version")
    if signed["revocation lists"] is not None:
        reading.refuse("no-crls", on_revocation_lists)
    infos = signed["signer infos"].children
    if len(infos) != 1:
        reading.refuse("one-signer", f"holds {len(infos)} signer infos, not one")
    info = signer_info_fields(reading, infos[0])
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
    signature_oid = reading.algorithm(info["signature algorithm"], signature_algorithms(digest_name),
                                      "signer's signature algorithm")
    return signed, info, digest_name, signature_oid


def signer_info_fields(reading, element):
    # The signer is named by issuer and serial number (a SEQUENCE) or by key
    # identifier ([0]); which one is read from the element itself.
    named_by = identifier(element.children[1]) if len(element.children) > 1 else SEQUENCE
    return reading.fields(element, "SignerInfo", [
        ("version", INTEGER, False), ("signer", named_by if named_by in (SEQUENCE, 0x80) else SEQUENCE, False),
        ("digest algorithm", SEQUENCE, False), ("signed attributes", CONTEXT0, True),
        ("signature algorithm", SEQUENCE, False), ("signature", OCTETS, False),
        ("unsigned attributes", CONTEXT1, True)])


def read_attributes(reading, element, name):
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


def verify_signer(reading, certificate, signed_attributes, signature, digest_name, signature_oid, what):
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


def signature_algorithms(digest_name):
    return [OID["rsa"], RSA_WITH[digest_name], ECDSA_WITH[digest_name]]


def check_chain_members(reading, leaf, carried, stray_words, others=()):
    """Every carried certificate on LEAF's chain (or among OTHERS, another
    chain already checked), each verified under its issuer where that is
    carried; none off them."""
    walk = chain_walk(reading, leaf, carried)
    strays = [c for c in walk.strays if not links.among(c, others)]
    if strays:
        reading.refuse("certificate-on-chain", f"carries a certificate that is neither {stray_words}: {certificates.subject(strays[0])}")
    return walk


def chain_walk(reading, leaf, carried):
    """LEAF's chain among CARRIED, each member verified under its issuer
    where that is carried (under its own key where it is its own issuer)."""
    walk = links.walk(leaf, carried)
    if walk.forged is not None:
        forged = walk.forged
        issuer = "its own key" if certificates.self_issued(forged) else \
            f"the key of its issuer, {certificates.rfc2253(forged.issuer)}"
        reading.refuse("certificate-signature", f"carries {certificates.subject(forged)}, whose own signature does not verify under {issuer}")
    return walk


def signed_attributes(reading, element, content_type, content_digest, content_name, digest_refusal,
                       required=("content_type", "message_digest"), keep=()):
    """The signed attributes all signers share, each once with one value:
    contentType CONTENT_TYPE and messageDigest CONTENT_DIGEST, REQUIRED, and
    signingTime, optional. Returns the others (and those of KEEP, checked)
    as {dotted type: value}, for the caller to name or refuse."""
    attributes = dict(read_attributes(reading, element, "signed"))
    for required in required:
        if OID[required] not in attributes:
            reading.refuse("required-attribute", f"holds signed attributes without {required.replace('_', ' ')}")
    others = {}
    for dotted, values in attributes.items():
        value = reading.one_value(values, f"signed {dotted}")
        encoding = reading.bytes_of(value)
        if dotted == OID["content_type"]:
            if encoding != oid(content_type):
                reading.refuse("content-type-attribute", f"says in its signed attributes that it signed something else than {content_name}")
        elif dotted == OID["message_digest"]:
            if encoding != tlv(OCTETS, content_digest):
                reading.refuse("message-digest", digest_refusal)
        elif dotted == OID["signing_time"]:
            if identifier(value) not in (0x17, 0x18):
                reading.refuse("signing-time", "holds a signing time that is not a time")
            if dotted in keep:
                others[dotted] = value
        else:
            others[dotted] = value
    return others


def unknown_attribute(reading, dotted):
    reading.refuse("unknown-attribute", f"holds a signed attribute this check does not know ({dotted})")


def algorithm_protection(reading, value, info):
    """CMSAlgorithmProtection (RFC 6211): it must name the signer's own
    digest and signature algorithms, the very bytes."""
    protection = reading.fields(value, "algorithm protection", [
        ("digest", SEQUENCE, False), ("signature", 0xA1, True), ("mac", 0xA2, True)])
    signature = protection["signature"]
    if (reading.bytes_of(protection["digest"]) != reading.bytes_of(info["digest algorithm"])
            or protection["mac"] is not None or signature is None
            or reading.content(signature) != reading.content(info["signature algorithm"])):
        reading.refuse("algorithm-protection", "holds an algorithm protection attribute naming other algorithms than its signer's")
