"""The timestamp of a signature: an RFC 3161 token, or a legacy
countersignature, each data of its authority's that the publisher did not
sign. Both are read as strictly as the signature (cms.py), and only the
authority's own chain may travel unsigned."""

import hashlib

from asn1crypto import core

from . import certificates, cms, trust
from .cms import BOOLEAN, CONTEXT0, CONTEXT1, DIGESTS, INTEGER, OCTETS, OID, OID_TAG, SEQUENCE


# The timestamp token: signed data of its authority's, which the publisher did
# not sign. It is read as strictly as the signature, and only its authority's
# own chain may travel in it unsigned.

GENERALIZED_TIME, DIRECTORY_NAME = 0x18, 0xA4
MAX_NONCE_BYTES = 16


def check_token(blob, element, signature_value, tsa_roots):
    """Checks the token at ELEMENT of BLOB, its authority's chain against
    TSA_ROOTS (an inputs.Roots); returns the authority's subject, the time
    stamped and the certificates on the authority's chain."""
    reading = cms.Reading(blob, "its timestamp", "token")
    signed, info, digest_name, signature_oid = cms.one_signer(
        reading, element, 3, list(DIGESTS), "holds attributes or revocation lists that its authority did not sign")
    if info["unsigned attributes"] is not None:
        reading.refuse("no-unsigned-attributes", "holds attributes or revocation lists that its authority did not sign")
    if info["signed attributes"] is None:
        reading.refuse("signed-attributes", "holds a signer info without signed attributes")

    content = reading.fields(signed["content"], "signed content", [("type", OID_TAG, False),
                                                                    ("content", CONTEXT0, True)])
    if reading.oid(content["type"]) != OID["tst_info"] or content["content"] is None:
        reading.refuse("tst-info", f"is not an RFC 3161 token (its content is {reading.oid(content['type'])})")
    if len(content["content"].children) != 1 or cms.identifier(content["content"].children[0]) != OCTETS:
        reading.refuse("tst-info-octets", "holds its TSTInfo in something other than one OCTET STRING")
    tst_bytes = reading.content(content["content"].children[0])
    tst_element, tst_reading = reading.nested(tst_bytes, "its TSTInfo", "authority")
    imprint_name, imprint, moment = _tst_info(tst_reading, tst_element)

    attribute_certificates = []
    carried = cms.carried_certificates(reading, signed["certificates"], attribute_certificates)
    if len(set(attribute_certificates)) != len(attribute_certificates):
        reading.refuse("certificate-once", "carries an attribute certificate twice")
    if not carried:
        reading.refuse("certificates-present", "carries no certificate that it could be checked with")
    issuer, serial = cms.issuer_and_serial(reading, info, "authority")
    authority = cms.named_certificate(reading, carried, issuer, serial, "authority")
    ess = _token_attributes(reading, info["signed attributes"], hashlib.new(digest_name, tst_bytes).digest(),
                            info)
    intact = cms.verify_signer(reading, authority, reading.bytes_of(info["signed attributes"]),
                               reading.content(info["signature"]), digest_name, signature_oid, "authority")
    if not intact:
        reading.refuse("authority-signature", "is not intact, or was not made for this signature")
    if hashlib.new(imprint_name, signature_value).digest() != imprint:
        reading.refuse("imprint", "is not intact, or was not made for this signature")

    walk = cms.check_chain_members(reading, authority, [c.certificate for c in carried],
                                   "its authority's nor an issuer on that chain")
    authority_name = certificates.subject(authority)
    trust.trust(authority, [c.certificate for c in carried], tsa_roots, trust.TIME_STAMPING, moment,
                step="tsa-chain", what=f"its timestamp's authority, {authority_name}")
    _names_its_chain(reading, ess, authority, walk.members, tsa_roots.certificates, attribute_certificates)
    return authority_name, moment, walk.members


def check_countersignature(blob, element, signature_value, carried, tsa_roots):
    """Checks the legacy countersignature (signtool /t, jsign's default) at
    ELEMENT of BLOB: a SignerInfo over this signature's value, read as
    strictly as a token, its signer among CARRIED and its chain to
    TSA_ROOTS for time stamping; returns as check_token does."""
    reading = cms.Reading(blob, "its countersignature", "countersignature")
    info = cms.signer_info_fields(reading, element)
    reading.small_integer(info["version"], 1, "SignerInfo version")
    digest_name = DIGESTS[reading.algorithm(info["digest algorithm"], list(DIGESTS), "digest algorithm")][0]
    signature_oid = reading.algorithm(info["signature algorithm"], cms.signature_algorithms(digest_name),
                                      "signature algorithm")
    if info["unsigned attributes"] is not None:
        reading.refuse("no-unsigned-attributes", "holds attributes that its signer did not sign")
    if info["signed attributes"] is None:
        reading.refuse("signed-attributes", "holds a signer info without signed attributes")
    others = cms.signed_attributes(reading, info["signed attributes"], OID["data"],
                                   hashlib.new(digest_name, signature_value).digest(), "data",
                                   "was not made for this signature", required=("message_digest",),
                                   keep=(OID["signing_time"],))
    moment = others.pop(OID["signing_time"], None)
    if moment is None:
        reading.refuse("signing-time-present", "holds no signing time, the time it stamps")
    for dotted in others:
        cms.unknown_attribute(reading, dotted)
    issuer, serial = cms.issuer_and_serial(reading, info, "signer")
    countersigner = cms.named_certificate(reading, carried, issuer, serial, "signer")
    if not cms.verify_signer(reading, countersigner, reading.bytes_of(info["signed attributes"]),
                             reading.content(info["signature"]), digest_name, signature_oid, "signer"):
        reading.refuse("authority-signature", "is not intact: its signer's signature does not verify")
    moment = (core.UTCTime if cms.identifier(moment) == 0x17 else core.GeneralizedTime).load(
        reading.bytes_of(moment)).native
    walk = cms.chain_walk(reading, countersigner, [c.certificate for c in carried])
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
        if len(names) != 1 or cms.identifier(names[0]) != DIRECTORY_NAME:
            reading.refuse("tsa-name", "names its authority other than by a directory name")
    if fields["extensions"] is not None:
        reading.refuse("tst-extensions", "holds TSTInfo extensions, which this check does not know")
    moment = core.GeneralizedTime.load(reading.bytes_of(fields["time"])).native
    return DIGESTS[imprint_oid][0], reading.content(imprint["digest"]), moment


def _token_attributes(reading, element, content_digest, info):
    """The token's signed attributes; returns the ESSCertID list (as
    (digest name, hash, issuer-serial element or None))."""
    others = cms.signed_attributes(reading, element, OID["tst_info"], content_digest, "TSTInfo",
                                   "is not intact, or was not made for this signature")
    certificate_ids = [OID["signing_certificate"], OID["signing_certificate_v2"]]
    if sum(dotted in others for dotted in certificate_ids) != 1:
        reading.refuse("ess-attribute", "does not name its signer in one signing-certificate attribute (ESS)")
    ess = None
    for dotted, value in others.items():
        if dotted in certificate_ids:
            ess = _ess_ids(reading, value, dotted == OID["signing_certificate_v2"])
        elif dotted == OID["algorithm_protection"]:
            cms.algorithm_protection(reading, value, info)
        else:
            cms.unknown_attribute(reading, dotted)
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
