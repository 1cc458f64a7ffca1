"""Checks properties of the built uninstaller, read from its PE image with
pefile. Silent when every check named passes; otherwise one "FAIL:" line for
each check that does not, and exit status 1.

Usage: /usr/bin/python3 -I -B check_binary.py EXE [CHECK...]   (all when none named)"""

import sys
import tempfile
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True
sys.path.insert(0, str(SOURCE_DIR))
from release_tools import building  # noqa: E402

MAX_SIZE = 6656  # 13 blocks of 512 bytes

EXPECTED_IMPORTS = sorted([
    ("KERNEL32.dll", "CloseHandle"),
    ("KERNEL32.dll", "CreateFileA"),
    ("KERNEL32.dll", "ExitProcess"),
    ("KERNEL32.dll", "GetCommandLineA"),
    ("KERNEL32.dll", "GetEnvironmentStrings"),
    ("KERNEL32.dll", "GetModuleHandleA"),
    ("KERNEL32.dll", "GetProcAddress"),
    ("KERNEL32.dll", "GetStartupInfoA"),
    ("KERNEL32.dll", "MoveFileExA"),
    ("KERNEL32.dll", "SetFileAttributesA"),
    ("USER32.dll", "GetProcessWindowStation"),
    ("USER32.dll", "GetUserObjectInformationA"),
    ("USER32.dll", "MessageBoxA"),
])

# Randomised base (anywhere in 64 bits), no execution from data, and no
# Terminal Server shims.
HARDENING_FLAGS = {
    "HIGH_ENTROPY_VA": 0x20,
    "DYNAMIC_BASE": 0x40,
    "NX_COMPAT": 0x100,
    "TERMINAL_SERVER_AWARE": 0x8000,
}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
# Element paths from the root, one name a step: the namespaces hold slashes.
RUN_LEVEL_PATH = (f"{ASM_V3}trustInfo", f"{ASM_V3}security", f"{ASM_V3}requestedPrivileges",
                  f"{ASM_V3}requestedExecutionLevel")
SETTINGS_PATH = (f"{ASM_V3}application", f"{ASM_V3}windowsSettings")

RT_MANIFEST = 24
EXCEPTION_DIRECTORY = 3
BASE_RELOCATION_DIRECTORY = 5
DELAY_IMPORT_DIRECTORY = 13
RUNTIME_FUNCTION_SIZE = 12
IMAGE_SCN_MEM_EXECUTE = 0x20000000
UNW_FLAG_EHANDLER, UNW_FLAG_UHANDLER = 0x1, 0x2
NOP = 0x90
# ld's default script ends .text with the (here empty) lists of constructors
# and destructors, each a -1 and a 0 of 8 bytes: data, not a function.
EMPTY_CONSTRUCTOR_LISTS = (b"\xff" * 8 + b"\x00" * 8) * 2


class Failure(Exception):
    """What a check found instead of what it expected."""


class Image:
    """The program's bytes and their PE reading, shared by every check."""

    def __init__(self, path):
        self.path = path
        self.data = Path(path).read_bytes()
        self.pe = pefile.PE(data=self.data)


def manifest_text(image):
    """The bytes of the one resource, which must be a manifest of ID 1."""
    root = getattr(image.pe, "DIRECTORY_ENTRY_RESOURCE", None)
    types = [] if root is None else root.entries
    names = [entry.id if entry.name is None else str(entry.name) for entry in types]
    if names != [RT_MANIFEST]:
        raise Failure(f"expected one resource type, {RT_MANIFEST} (RT_MANIFEST), got {names or 'none'}")
    ids = types[0].directory.entries
    if [(entry.name, entry.id) for entry in ids] != [(None, 1)]:
        raise Failure(f"expected one manifest, of ID 1, got {[entry.id or str(entry.name) for entry in ids]}")
    languages = ids[0].directory.entries
    if len(languages) != 1 or not hasattr(languages[0], "data"):
        raise Failure(f"expected the manifest in one language, got {len(languages)}")
    leaf = languages[0].data.struct
    return image.pe.get_data(leaf.OffsetToData, leaf.Size)


def manifest(image):
    """The manifest's XML tree, read from the image."""
    text = manifest_text(image)
    if b"<!DOCTYPE" in text or b"<!ENTITY" in text:
        raise Failure(f"the manifest declares a document type: {text!r}")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        raise Failure(f"the manifest is not well-formed XML ({error}): {text!r}") from None
    if root.tag != f"{ASM_V1}assembly" or root.get("manifestVersion") != "1.0":
        raise Failure(f"expected an assembly of manifestVersion 1.0 in {ASM_V1[1:-1]}, got {root.tag}")
    return root


def only_element(root, path):
    """The one element at PATH (names from the root), which must be alone of its name anywhere."""
    found, everywhere = root.findall("/".join(path)), root.findall(f".//{path[-1]}")
    if len(found) != 1 or len(everywhere) != 1:
        where = "/".join(name.rsplit("}", 1)[-1] for name in path)
        raise Failure(f"expected exactly one element at {where}, got {len(found)} there and {len(everywhere)} in all")
    return found[0]


def check_gui_subsystem(image):
    """An x86-64 image for the GUI subsystem, of a version that XP x64 (5.2) loads."""
    pe = image.pe
    if pe.FILE_HEADER.Machine != 0x8664 or pe.OPTIONAL_HEADER.Magic != 0x20B:
        raise Failure(f"expected a PE32+ x86-64 image, got machine {pe.FILE_HEADER.Machine:#x}, "
                      f"magic {pe.OPTIONAL_HEADER.Magic:#x}")
    if pe.OPTIONAL_HEADER.Subsystem != 2:
        raise Failure(f"expected the Windows GUI subsystem (2), got {pe.OPTIONAL_HEADER.Subsystem}")
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if version > (5, 2):
        raise Failure(f"expected subsystem version <= 5.2, got {version[0]}.{version[1]}")


def check_manifest(image):
    """The only resource is the manifest, which requests requireAdministrator without uiAccess."""
    attributes = dict(only_element(manifest(image), RUN_LEVEL_PATH).attrib)
    if attributes != {"level": "requireAdministrator", "uiAccess": "false"}:
        raise Failure(f"expected level requireAdministrator and uiAccess false, got {attributes}")


def check_dpi_awareness(image):
    """The manifest declares dpiAware true (2005) and dpiAwareness PerMonitorV2, System (2016)."""
    root = manifest(image)
    aware = only_element(root, SETTINGS_PATH + (f"{SETTINGS_2005}dpiAware",)).text
    awareness = only_element(root, SETTINGS_PATH + (f"{SETTINGS_2016}dpiAwareness",)).text
    if (aware, awareness) != ("true", "PerMonitorV2, System"):
        raise Failure(f"expected dpiAware true and dpiAwareness 'PerMonitorV2, System', got {aware!r}, {awareness!r}")


def check_no_dependency(image):
    """The manifest names no dependent assembly (Windows would honour a .exe.local folder) and no file of its own."""
    names = {element.tag.rsplit("}", 1)[-1] for element in manifest(image).iter()}
    found = sorted(names & {"dependency", "dependentAssembly", "file"})
    if found:
        raise Failure(f"expected no dependency in the manifest, got {', '.join(found)}")


def check_imports(image):
    """Exactly the expected functions, by name, from KERNEL32 and USER32; nothing delay-loaded."""
    got = []
    for library in getattr(image.pe, "DIRECTORY_ENTRY_IMPORT", []):
        for function in library.imports:
            name = function.name.decode("ascii", "replace") if function.name else f"ordinal {function.ordinal}"
            got.append((library.dll.decode("ascii", "replace"), name))
    got.sort()
    if got != EXPECTED_IMPORTS:
        missing = sorted(set(EXPECTED_IMPORTS) - set(got))
        extra = sorted(set(got) - set(EXPECTED_IMPORTS))
        raise Failure(f"imports differ: missing {missing or 'none'}, unexpected {extra or 'none'}")
    if image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_IMPORT_DIRECTORY].Size != 0:
        raise Failure("expected no delay-load imports")


def check_hardening(image):
    """All four DllCharacteristics flags, and a base relocation table that Windows can move it by."""
    pe = image.pe
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    missing = [name for name, bit in HARDENING_FLAGS.items() if not flags & bit]
    if missing:
        raise Failure(f"expected DllCharacteristics to have {', '.join(missing)}, got {flags:#06x}")
    # Windows moves an exe only when it has relocations.
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASE_RELOCATION_DIRECTORY]
    if (pe.FILE_HEADER.Characteristics & 0x1 or relocations.VirtualAddress == 0 or relocations.Size == 0
            or not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None)):
        raise Failure(f"expected a base relocation table, got directory 5 at {relocations.VirtualAddress:#x} "
                      f"of {relocations.Size} bytes, characteristics {pe.FILE_HEADER.Characteristics:#06x}")


def check_size(image):
    """At most 6,656 bytes."""
    if len(image.data) > MAX_SIZE:
        raise Failure(f"expected at most {MAX_SIZE} bytes, got {len(image.data)}")


def check_unwind_data(image):
    """An exception directory (.pdata) whose entries cover every function, none naming a handler."""
    pe = image.pe
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY]
    entries = getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])
    if directory.Size == 0 or directory.Size % RUNTIME_FUNCTION_SIZE or not entries:
        raise Failure(f"expected an exception directory, got {directory.Size} bytes at {directory.VirtualAddress:#x}")
    if len(entries) != directory.Size // RUNTIME_FUNCTION_SIZE:
        raise Failure(f"read {len(entries)} of the {directory.Size // RUNTIME_FUNCTION_SIZE} function entries")
    code = [section for section in pe.sections if section.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    names = [section.Name.rstrip(b"\0").decode("ascii", "replace") for section in code]
    if names != [".text"]:
        raise Failure(f"expected .text as the one section of code, got {names}")
    start = code[0].VirtualAddress
    text = pe.get_data(start, code[0].Misc_VirtualSize)
    covered = start
    for entry in entries:
        function, unwind = entry.struct, entry.unwindinfo
        if function.BeginAddress < covered or function.EndAddress <= function.BeginAddress:
            raise Failure(f"function entries overlap or are out of order at {function.BeginAddress:#x}")
        if unwind is None:
            raise Failure(f"the function at {function.BeginAddress:#x} has no unwind information of its own")
        if unwind.Flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER):
            raise Failure(f"the function at {function.BeginAddress:#x} names a handler (a personality routine)")
        if any(byte != NOP for byte in text[covered - start:function.BeginAddress - start]):
            raise Failure(f"code between {covered:#x} and {function.BeginAddress:#x} has no function entry")
        covered = function.EndAddress
    rest = text[covered - start:].lstrip(bytes([NOP]))
    if rest != EMPTY_CONSTRUCTOR_LISTS:
        raise Failure(f"code after {covered:#x}, the end of the last function entry, has none: {rest.hex()}")
    entry_point = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if not any(entry.struct.BeginAddress == entry_point for entry in entries):
        raise Failure(f"the entry point {entry_point:#x} starts no function entry")


def check_reproducible(image):
    """Byte-identical to the release build of the committed tree, made afresh in a temporary folder."""
    with tempfile.TemporaryDirectory(prefix="reproducible.") as work:
        try:
            built = building.build_afresh(SOURCE_DIR, work)
        except building.BuildError as error:
            raise Failure(f"the release build failed: {error}") from None
        if built.program.read_bytes() != image.data:
            raise Failure(f"this build and the release build of {built.describe()} differ")


CHECKS = {
    "gui-subsystem": check_gui_subsystem,
    "manifest": check_manifest,
    "dpi-awareness": check_dpi_awareness,
    "no-dependency": check_no_dependency,
    "imports": check_imports,
    "hardening": check_hardening,
    "size": check_size,
    "unwind-data": check_unwind_data,
    "reproducible": check_reproducible,
}


def main(argv):
    names = argv[2:] or list(CHECKS)
    unknown = [name for name in names if name not in CHECKS]
    if len(argv) < 2 or unknown:
        print(f"usage: check_binary.py EXE [{'|'.join(CHECKS)}...]; unknown: {unknown}", file=sys.stderr)
        return 2
    try:
        image = Image(argv[1])
    except (OSError, pefile.PEFormatError) as error:
        print(f"FAIL: {argv[1]} is not a readable PE image: {error}")
        return 1
    failed = 0
    for name in names:
        try:
            CHECKS[name](image)
        except Failure as failure:
            print(f"FAIL: {name}: {failure}")
            failed += 1
        except Exception as error:  # a structure that the reading did not expect
            print(f"FAIL: {name}: could not read it: {type(error).__name__}: {error}")
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
