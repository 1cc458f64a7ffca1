"""A strict reader of DER, element by element on the bytes.

A signature's bytes are only partly covered by what its signer signed; the
rest must have the one encoding DER allows, so that no byte can stand there
unseen by the reading that follows. asn1crypto's loader reads BER as well
(indefinite and long-form lengths, constructed strings) without a word, so
everything is read here first: definite lengths in their shortest form, tag
numbers in theirs, children that fill their parent exactly, nothing after the
last element, and the DER forms of the universal types a signature holds.

The reading keeps an explicit stack, so its time is linear in the input and
its depth is bounded."""

from dataclasses import dataclass

MAX_DEPTH = 48
# Far more than any signature or certificate needs; a longer length or tag
# number is refused rather than read.
MAX_LENGTH_OCTETS = 4
MAX_TAG_OCTETS = 4
LONGEST_ARC = 20

UNIVERSAL, APPLICATION, CONTEXT, PRIVATE = range(4)

BOOLEAN, INTEGER, BIT_STRING, OCTET_STRING, NULL, OID = 1, 2, 3, 4, 5, 6
ENUMERATED, UTF8_STRING, SEQUENCE, SET = 10, 12, 16, 17
UTC_TIME, GENERALIZED_TIME = 23, 24
# Character strings, primitive in DER: Numeric, Printable, T61, Videotex, IA5,
# Graphic, Visible, General, Universal, BMP (and UTF8 above).
STRINGS = {UTF8_STRING, 18, 19, 20, 21, 22, 25, 26, 27, 28, 30}
NAMES = {BOOLEAN: "BOOLEAN", INTEGER: "INTEGER", BIT_STRING: "BIT STRING", OCTET_STRING: "OCTET STRING",
         NULL: "NULL", OID: "OBJECT IDENTIFIER", ENUMERATED: "ENUMERATED", SEQUENCE: "SEQUENCE",
         SET: "SET", UTC_TIME: "UTCTime", GENERALIZED_TIME: "GeneralizedTime"}


class NotDer(ValueError):
    """The bytes are not DER; str() says what and where (an offset into
    them), .check which rule they break (der.<rule>)."""

    def __init__(self, at, rule, reason):
        super().__init__(f"{reason} at byte {at}")
        self.at = at
        self.check = f"der.{rule}"
        self.reason = reason


@dataclass
class Element:
    cls: int            # UNIVERSAL, APPLICATION, CONTEXT or PRIVATE
    constructed: bool
    number: int         # the tag number
    offset: int         # where its header starts
    header: int         # the length of its tag and length octets
    length: int         # the length of its content
    children: list      # the elements of a constructed one, else empty

    @property
    def end(self):
        return self.offset + self.header + self.length

    @property
    def content_offset(self):
        return self.offset + self.header

    def content(self, data):
        return data[self.content_offset:self.end]

    def encoding(self, data):
        return data[self.offset:self.end]

    def is_universal(self, number):
        return self.cls == UNIVERSAL and self.number == number


def _header(data, at, end):
    """The element header at AT: (cls, constructed, number, header length, length)."""
    start = at
    if at >= end:
        raise NotDer(at, "cut-short", "an element is cut short")
    first = data[at]
    cls, constructed, number = first >> 6, bool(first & 0x20), first & 0x1F
    at += 1
    if number == 0x1F:
        number = 0
        for count in range(MAX_TAG_OCTETS + 1):
            if at >= end:
                raise NotDer(start, "cut-short", "a tag number is cut short")
            octet = data[at]
            at += 1
            if count == 0 and octet == 0x80:
                raise NotDer(start, "minimal-tag", "a tag number has a leading zero")
            number = number << 7 | octet & 0x7F
            if not octet & 0x80:
                break
        else:
            raise NotDer(start, "tag-too-long", "a tag number is longer than any this reading takes")
        if number < 0x1F:
            raise NotDer(start, "minimal-tag", "a tag number in the long form where the short one fits")
    if at >= end:
        raise NotDer(start, "cut-short", "a length is missing")
    octet = data[at]
    at += 1
    if octet < 0x80:
        length = octet
    elif octet == 0x80:
        raise NotDer(start, "definite-length", "an indefinite length")
    else:
        size = octet & 0x7F
        if size > MAX_LENGTH_OCTETS:
            raise NotDer(start, "length-too-long", f"a length of {size} octets")
        if at + size > end:
            raise NotDer(start, "cut-short", "a length is cut short")
        if data[at] == 0:
            raise NotDer(start, "minimal-length", "a length with a leading zero octet")
        length = int.from_bytes(data[at:at + size], "big")
        at += size
        if length < 0x80:
            raise NotDer(start, "minimal-length", "a length in the long form where the short one fits")
    if at + length > end:
        raise NotDer(start, "fits-parent", "an element longer than what holds it")
    return cls, constructed, number, at - start, length


def _der_set_order(a, b):
    """Whether encoding A may stand before B in a DER SET OF (compared as
    octet strings, the shorter padded with zeros)."""
    width = max(len(a), len(b))
    return a.ljust(width, b"\0") <= b.ljust(width, b"\0")


def in_set_order(encodings):
    """Whether ENCODINGS stand in the order of a DER SET OF."""
    return all(_der_set_order(a, b) for a, b in zip(encodings, encodings[1:]))


def _check_universal(data, element):
    """The DER rules of the universal types that a signature holds."""
    number, at = element.number, element.offset
    content = element.content(data)
    name = NAMES.get(number, f"universal type {number}")
    if number in (SEQUENCE, SET):
        if not element.constructed:
            raise NotDer(at, "constructed-sequence", f"a primitive {name}")
        return
    if element.constructed:
        raise NotDer(at, "primitive-type", f"a constructed {name}")
    if number == BOOLEAN:
        if content not in (b"\x00", b"\xff"):
            raise NotDer(at, "boolean", "a BOOLEAN that is neither 00 nor FF")
    elif number in (INTEGER, ENUMERATED):
        if not content:
            raise NotDer(at, "integer-empty", f"an empty {name}")
        if len(content) > 1 and (content[0] == 0 and content[1] < 0x80 or content[0] == 0xFF and content[1] >= 0x80):
            raise NotDer(at, "minimal-integer", f"an {name} in more octets than its value needs")
    elif number == BIT_STRING:
        if not content or content[0] > 7 or len(content) == 1 and content[0]:
            raise NotDer(at, "bit-string-unused", "a BIT STRING with a wrong count of unused bits")
        if content[0] and content[-1] & ((1 << content[0]) - 1):
            raise NotDer(at, "bit-string-padding", "a BIT STRING whose unused bits are not zero")
    elif number == NULL:
        if content:
            raise NotDer(at, "null", "a NULL with content")
    elif number == OID:
        if not content or content[-1] & 0x80:
            raise NotDer(at, "oid-cut-short", "an OBJECT IDENTIFIER cut short")
        # Reading an arc into a number costs the square of its length; a UUID's arc needs 19 octets.
        run = 0
        for index, octet in enumerate(content):
            if octet == 0x80 and (index == 0 or not content[index - 1] & 0x80):
                raise NotDer(at, "minimal-oid", "an OBJECT IDENTIFIER with a padded arc")
            run = run + 1 if octet & 0x80 else 0
            if run >= LONGEST_ARC:
                raise NotDer(at, "oid-arc-too-long", f"an OBJECT IDENTIFIER with an arc longer than {LONGEST_ARC} octets")
    elif number in (UTC_TIME, GENERALIZED_TIME):
        if not content.endswith(b"Z") or not content[:-1].isdigit() and number == UTC_TIME:
            raise NotDer(at, "time-utc", f"a {name} that is not in UTC, to the second")
        if number == GENERALIZED_TIME and (b"." in content and content[-2:-1] in (b"0", b".")):
            raise NotDer(at, "time-fraction", "a GeneralizedTime with trailing zeros in its fraction")
    elif number == OCTET_STRING or number in STRINGS:
        pass
    else:
        raise NotDer(at, "universal-type", f"{name}, which no signature holds")


def parse(data, max_depth=MAX_DEPTH):
    """DATA as exactly one DER element, returned with all it holds; raises
    NotDer at the first thing that is not DER."""
    data = bytes(data)
    cls, constructed, number, header, length = _header(data, 0, len(data))
    root = Element(cls, constructed, number, 0, header, length, [])
    if root.end != len(data):
        raise NotDer(root.end, "trailing-bytes", "bytes after the end")
    # Each entry: an element whose content is being read, and where the
    # reading of it has got to.
    stack = []

    def enter(element):
        if element.cls == UNIVERSAL:
            _check_universal(data, element)
        if element.constructed:
            if len(stack) >= max_depth:
                raise NotDer(element.offset, "depth", f"elements nested deeper than {max_depth}")
            stack.append([element, element.content_offset])

    enter(root)
    while stack:
        parent, at = stack[-1]
        if at == parent.end:
            stack.pop()
            if parent.is_universal(SET) and not in_set_order([child.encoding(data) for child in parent.children]):
                raise NotDer(parent.offset, "set-order", "a SET whose members are not in DER order")
            continue
        cls, constructed, number, header, length = _header(data, at, parent.end)
        child = Element(cls, constructed, number, at, header, length, [])
        parent.children.append(child)
        stack[-1][1] = child.end
        enter(child)
    return root

