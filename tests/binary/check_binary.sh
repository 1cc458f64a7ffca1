#!/usr/bin/env bash
# Checks one property of the built uninstaller, read from its PE headers.
# Usage: check_binary.sh CHECK EXE OBJDUMP [SOURCE_DIR]
set -euo pipefail

check=$1 exe=$2 objdump=$3

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
headers() { "$objdump" -p "$exe"; }

case "$check" in
  gui-subsystem)
    out=$(headers)
    grep -q 'file format pei-x86-64' <<<"$out" || fail "expected an x86-64 PE, got: $(grep 'file format' <<<"$out")"
    grep -qE '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' <<<"$out" ||
      fail "expected the Windows GUI subsystem, got: $(grep '^Subsystem' <<<"$out")"
    # XP x64 is Windows 5.2: a higher required version would refuse to load there.
    major=$(awk '/^MajorSubsystemVersion/ {print $2}' <<<"$out")
    minor=$(awk '/^MinorSubsystemVersion/ {print $2}' <<<"$out")
    ((major < 5 || (major == 5 && minor <= 2))) || fail "expected subsystem version <= 5.2, got $major.$minor"
    ;;
  manifest)
    # The one resource is the application manifest: type 24 (RT_MANIFEST), ID 1.
    tree=$(headers | sed -n '/^The .rsrc Resource Directory section:/,/^ Resources start/p')
    ids=$(grep -oE 'Entry: (ID: 0x[0-9a-f]+|name)' <<<"$tree" | tr '\n' ' ')
    [[ $ids == "Entry: ID: 0x000018 Entry: ID: 0x000001 Entry: ID: "* && $(grep -c 'Entry:' <<<"$tree") == 3 ]] ||
      fail "expected one resource, a manifest of ID 1, got: ${ids:-none}"
    leaf=$(sed -n 's/.*Leaf: Addr: 0x\([0-9a-f]*\), Size: 0x\([0-9a-f]*\).*/\1 \2/p' <<<"$tree")
    read -r vma file_offset < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" {print $4, $6}')
    base=$(headers | awk '/^ImageBase/ {print $2}')
    manifest=$(dd if="$exe" bs=1 skip=$((0x$file_offset + 0x${leaf% *} - (0x$vma - 0x$base))) \
      count=$((0x${leaf#* })) status=none)
    xmllint --noout - <<<"$manifest" 2>/dev/null || fail "the manifest is not well-formed XML: $manifest"
    xpath() { xmllint --xpath "$1" - <<<"$manifest" 2>/dev/null; }
    asm='urn:schemas-microsoft-com:asm.v1'
    level="//*[local-name()='trustInfo']/*[local-name()='security']/*[local-name()='requestedPrivileges']/*[local-name()='requestedExecutionLevel']"
    [[ $(xpath "namespace-uri(/*)") == "$asm" ]] || fail "expected the manifest in the $asm namespace: $manifest"
    [[ $(xpath "count(//*[local-name()='requestedExecutionLevel'])") == 1 && $(xpath "count($level)") == 1 ]] ||
      fail "expected exactly one requestedExecutionLevel, inside trustInfo: $manifest"
    [[ $(xpath "string($level/@level) = 'requireAdministrator' and string($level/@uiAccess) = 'false'") == true ]] ||
      fail "expected level requireAdministrator and uiAccess false: $manifest"
    ;;
  imports)
    # Every import, as "DLL function", sorted; nothing from a C runtime.
    got=$(headers | awk '/DLL Name:/ {dll=$3} dll && /^\t[0-9a-f]+\t/ && NF == 3 {print dll, $3}' | sort)
    expected=$(sort <<'LIST'
KERNEL32.dll CloseHandle
KERNEL32.dll CreateFileA
KERNEL32.dll ExitProcess
KERNEL32.dll GetCommandLineA
KERNEL32.dll GetEnvironmentStrings
KERNEL32.dll GetModuleHandleA
KERNEL32.dll GetProcAddress
KERNEL32.dll GetStartupInfoA
KERNEL32.dll MoveFileExA
KERNEL32.dll SetFileAttributesA
USER32.dll MessageBoxA
LIST
)
    [[ "$got" == "$expected" ]] || fail "imports differ (expected, got):$(diff <(echo "$expected") <(echo "$got") || true)"
    ;;
  hardening)
    # Randomised base (anywhere in 64 bits), no execution from data, and no
    # Terminal Server shims. Windows moves an exe only when it has relocations.
    out=$(headers)
    flags=$((0x$(awk '/^DllCharacteristics/ {print $2}' <<<"$out")))
    for flag in 20:HIGH_ENTROPY_VA 40:DYNAMIC_BASE 100:NX_COMPAT 8000:TERMINAL_SERVICE_AWARE; do
      ((flags & 0x${flag%%:*})) || fail "expected DllCharacteristics to have ${flag#*:}, got $(printf '%04x' "$flags")"
    done
    grep -qE '^Entry 5 0*[1-9a-f][0-9a-f]* 0*[1-9a-f][0-9a-f]* Base Relocation Directory' <<<"$out" ||
      fail "expected a base relocation table, got: $(grep 'Base Relocation Directory' <<<"$out")"
    ;;
  size)
    size=$(stat -c %s "$exe")
    ((size <= 4608)) || fail "expected at most 4608 bytes, got $size"
    ;;
  reproducible)
    # The release's own build (the committed tree, afresh, in a temporary
    # folder) must match this one byte for byte.
    /usr/bin/python3 -I "$4/release_tools/building.py" "$exe" >/dev/null || fail "this build is not the release build"
    ;;
  *) fail "unknown check '$check'" ;;
esac
echo "ok: $check"
