"""The signed program as a PE image (read with pefile): where its signature
lies, the header checksum, the Authenticode digest, and the build without the
signature or with one.

A signed image is the build with three changes, which is all this accepts:
the certificate table's directory entry set, the header checksum set, and one
WIN_CERTIFICATE appended at the end of the file, padded with zeros to eight
bytes, its length counting the padding (osslsigncode, signtool) or not
(sbsign)."""

import hashlib
from dataclasses import dataclass

import pefile

CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
REVISION_2 = 0x0200
PKCS_SIGNED_DATA = 0x0002
WIN_CERTIFICATE_HEADER = 8
# Sixteen carried certificates and a timestamp take a few tens of KiB; reading
# DER costs time and memory in its size, so a larger table is refused unread.
LARGEST_SIGNATURE = 256 << 10
CHECKSUM_SIZE, DIRECTORY_ENTRY_SIZE = 4, 8


class BadImage(ValueError):
    """Not a PE image this check accepts; str() is one line saying why,
    .check which rule it breaks (image.<rule>)."""

    def __init__(self, rule, reason):
        super().__init__(reason)
        self.check = f"image.{rule}"


@dataclass(frozen=True)
class Layout:
    checksum_offset: int      # the header checksum field
    checksum: int             # its value
    directory_offset: int     # the certificate table's directory entry
    table_offset: int         # the certificate table (0 when there is none)
    table_size: int
    hashed: tuple             # (start, end) ranges of the Authenticode digest, in order
    sections: tuple = ()      # (start, end) of each section's raw data, in file order


def _align8(size):
    return (size + 7) // 8 * 8


def read_layout(data):
    """The image's layout, checked: one run of sections from the end of the
    headers, and a certificate table, if any, where osslsigncode puts one."""
    try:
        pe = pefile.PE(data=bytes(data), fast_load=True)
    except pefile.PEFormatError as error:
        raise BadImage("pe", f"it is not a PE image ({error.value})") from None
    header = pe.OPTIONAL_HEADER
    if len(header.DATA_DIRECTORY) <= CERTIFICATE_TABLE:
        raise BadImage("directory-entry", "its header has no entry for a certificate table")
    checksum_offset = header.get_file_offset() + 64
    entry = header.DATA_DIRECTORY[CERTIFICATE_TABLE]
    directory_offset = entry.get_file_offset()
    headers_end = header.SizeOfHeaders
    if not checksum_offset + CHECKSUM_SIZE <= directory_offset <= headers_end - DIRECTORY_ENTRY_SIZE:
        raise BadImage("headers", "its headers are not laid out as a PE image's are")
    table_offset, table_size = entry.VirtualAddress, entry.Size
    if (table_offset == 0) != (table_size == 0):
        raise BadImage("table-entry", "its certificate table entry is half set")
    end = table_offset if table_size else len(data)
    if table_size and table_offset + table_size != len(data):
        raise BadImage("table-at-end", "its certificate table is not at the end of the file")

    hashed = [(0, checksum_offset), (checksum_offset + CHECKSUM_SIZE, directory_offset),
              (directory_offset + DIRECTORY_ENTRY_SIZE, headers_end)]
    at = headers_end
    sections = []
    for section in sorted((s for s in pe.sections if s.SizeOfRawData), key=lambda s: s.PointerToRawData):
        if section.PointerToRawData != at:
            # Bytes between the headers and sections, or between two sections,
            # would be covered by no digest.
            raise BadImage("sections", "its sections do not follow one another from the end of its headers")
        sections.append((at, at + section.SizeOfRawData))
        at += section.SizeOfRawData
    if at > end:
        raise BadImage("sections", "its sections run past the end of the image")
    # What follows the last section, up to the certificate table, is hashed too.
    hashed.append((headers_end, end))
    return Layout(checksum_offset, header.CheckSum, directory_offset, table_offset, table_size, tuple(hashed),
                  tuple(sections))


def checksum(data, checksum_offset):
    """The PE header checksum of DATA: its 16-bit words summed with the carry
    folded back, the checksum field taken as zero, plus the file's length."""
    words = bytearray(data)
    words[checksum_offset:checksum_offset + CHECKSUM_SIZE] = bytes(CHECKSUM_SIZE)
    if len(words) % 2:
        words.append(0)
    total = sum(memoryview(words).cast("H"))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def authenticode_digest(data, layout=None, algorithm="sha256"):
    """The Authenticode digest of the image: the headers without the checksum
    and the certificate table's entry, the sections in file order, and what
    follows them up to the certificate table."""
    layout = layout or read_layout(data)
    digest = hashlib.new(algorithm)
    view = memoryview(bytes(data))
    for start, end in layout.hashed:
        digest.update(view[start:end])
    return digest.digest()


def signature_blob(data, layout=None):
    """The DER signature that DATA's one WIN_CERTIFICATE holds, with its
    padding removed, or None when DATA has no certificate table. Raises
    BadImage for any other table. The checksum is check_checksum's: a changed
    byte is first of all a change to what was signed."""
    layout = layout or read_layout(data)
    if not layout.table_size:
        return None
    at, size = layout.table_offset, layout.table_size
    if at % 8:
        raise BadImage("table-aligned", "its certificate table is not aligned to eight bytes")
    if size < WIN_CERTIFICATE_HEADER + 2:
        raise BadImage("table-size", "its certificate table is too short to hold a certificate")
    if size > LARGEST_SIGNATURE:
        raise BadImage("table-size", f"its certificate table holds {size} bytes, more than the {LARGEST_SIGNATURE >> 10} KiB"
                       " any signature of this program needs")
    length = int.from_bytes(data[at:at + 4], "little")
    revision = int.from_bytes(data[at + 4:at + 6], "little")
    kind = int.from_bytes(data[at + 6:at + 8], "little")
    if length != size and not (size - 8 < length < size and size % 8 == 0):
        raise BadImage("one-certificate", f"its certificate table holds {size} bytes, and its first certificate says {length}:"
                       " one certificate, filling the table, is all it may hold")
    if revision != REVISION_2:
        raise BadImage("certificate-revision", f"its certificate is of revision 0x{revision:04x}, not 0x0200")
    if kind != PKCS_SIGNED_DATA:
        raise BadImage("certificate-type", f"its certificate is of type 0x{kind:04x}, not PKCS signed data (0x0002)")
    blob = bytes(data[at + WIN_CERTIFICATE_HEADER:at + size])
    der_size = _der_size(blob)
    if der_size is None or der_size > len(blob):
        raise BadImage("certificate-der", "its certificate does not hold one complete DER element")
    padding = blob[der_size:]
    if (len(padding) >= 8 or size != _align8(WIN_CERTIFICATE_HEADER + der_size) or any(padding)
            or length not in (size, WIN_CERTIFICATE_HEADER + der_size)):
        raise BadImage("certificate-padding", "its certificate is followed by bytes other than the zeros that pad it to eight bytes")
    return blob[:der_size]


def length_padded(data, layout):
    """Whether the WIN_CERTIFICATE's length counts its padding (signature_blob
    has read it)."""
    at = layout.table_offset
    return int.from_bytes(data[at:at + 4], "little") == layout.table_size


PAGE_SIZE = 4096


def page_hashes(data, layout, algorithm):
    """The page hashes of DATA as [(file offset, digest)], in the order
    signtool and osslsigncode write them: the headers as one page (without
    the checksum and the certificate table's entry), each section's raw
    data page by page, every page zero-padded to 4 KiB, then the end of the
    last section with a zero digest."""
    view = memoryview(bytes(data))
    zero_page = bytes(PAGE_SIZE)
    headers = hashlib.new(algorithm)
    size = 0
    for start, end in layout.hashed[:3]:
        headers.update(view[start:end])
        size += end - start
    headers.update(zero_page[:max(0, PAGE_SIZE - size - CHECKSUM_SIZE - DIRECTORY_ENTRY_SIZE)])
    out = [(0, headers.digest())]
    for start, end in layout.sections:
        for at in range(start, end, PAGE_SIZE):
            page = view[at:min(at + PAGE_SIZE, end)]
            out.append((at, hashlib.new(algorithm, bytes(page) + zero_page[:PAGE_SIZE - len(page)]).digest()))
    last = layout.sections[-1][1] if layout.sections else layout.hashed[2][1]
    out.append((last, bytes(hashlib.new(algorithm).digest_size)))
    return out


def check_checksum(data, layout=None):
    """Raises BadImage unless the header checksum is DATA's own."""
    layout = layout or read_layout(data)
    if layout.checksum != checksum(data, layout.checksum_offset):
        raise BadImage("checksum", "its header checksum is not the file's own")


def _der_size(blob):
    """The size of the DER element that starts BLOB, from its header alone
    (the element itself is read by der.py)."""
    if len(blob) < 2:
        return None
    first = blob[1]
    if first < 0x80:
        return 2 + first
    count = first & 0x7F
    if not 1 <= count <= 4 or len(blob) < 2 + count:
        return None
    return 2 + count + int.from_bytes(blob[2:2 + count], "big")


def _with_table(data, layout, table_offset, table_size):
    """DATA with the certificate table's entry set and its checksum recomputed."""
    out = bytearray(data)
    out[layout.directory_offset:layout.directory_offset + DIRECTORY_ENTRY_SIZE] = (
        table_offset.to_bytes(4, "little") + table_size.to_bytes(4, "little"))
    out[layout.checksum_offset:layout.checksum_offset + CHECKSUM_SIZE] = \
        checksum(out, layout.checksum_offset).to_bytes(4, "little")
    return bytes(out)


def strip(data, layout=None):
    """DATA without its certificate table: the unsigned image it was made from."""
    layout = layout or read_layout(data)
    if not layout.table_size:
        return bytes(data)
    return _with_table(data[:layout.table_offset], layout, 0, 0)


def attach(built, blob, padded_length=True):
    """BUILT with the signature BLOB attached as osslsigncode attaches it: the
    image padded to eight bytes, one WIN_CERTIFICATE padded to eight bytes
    (its length counting the padding unless not PADDED_LENGTH), the
    directory entry and the checksum set."""
    layout = read_layout(built)
    if layout.table_size:
        raise BadImage("build-unsigned", "the build already carries a certificate table")
    image = bytes(built) + bytes(_align8(len(built)) - len(built))
    size = _align8(WIN_CERTIFICATE_HEADER + len(blob))
    length = size if padded_length else WIN_CERTIFICATE_HEADER + len(blob)
    certificate = (length.to_bytes(4, "little") + REVISION_2.to_bytes(2, "little")
                   + PKCS_SIGNED_DATA.to_bytes(2, "little") + bytes(blob))
    certificate += bytes(size - len(certificate))
    return _with_table(image + certificate, layout, len(image), size)
