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
  no-resources)
    "$objdump" -h "$exe" | grep -q '\.rsrc' && fail "expected no .rsrc section, found one"
    headers | grep -qE '^Entry 2 0+ 0+ Resource Directory' ||
      fail "expected an empty resource directory, got: $(headers | grep 'Resource Directory')"
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
    ((size <= 4096)) || fail "expected at most 4096 bytes, got $size"
    ;;
  reproducible)
    # The release's own build (the committed tree, afresh, in a temporary
    # folder) must match this one byte for byte.
    source_dir=$4
    source "$source_dir/scripts/fresh_build.sh"
    work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    build_program_afresh "$work" || fail "the release build failed: $(tail -n 5 "$work/build.log")"
    uncommitted_changes && hint=" (the checkout has uncommitted changes, which the release build leaves out)"
    cmp "$exe" "$BUILT_PROGRAM" || fail "this build and the release build of $(describe_build) differ${hint:-}"
    ;;
  *) fail "unknown check '$check'" ;;
esac
echo "ok: $check"
