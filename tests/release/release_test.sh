#!/usr/bin/env bash
# The release scripts, end to end: what release.sh writes, that it checks out
# with the usual tools, that verify-release.sh accepts it as shipped, and that
# it refuses copies changed or added to.
# Usage: release_test.sh SOURCE_DIR WORK_DIR BUILT_EXE OBJDUMP unsigned|signed
set -uo pipefail

SOURCE=$1 BUILT=$3 OBJDUMP=$4 CASE=$5
PROGRAM=SorrelvaneUninstall.exe
# Each case starts from nothing, in a folder of its own.
WORK="$2/$CASE"
rm -rf "$WORK" && mkdir -p "$WORK"

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

source "$SOURCE/tests/release/pki.sh"

# Releases, from the folder $WORK/NAME, into its dist/ with the given settings;
# the output is in $WORK/NAME/log. RELEASE names the script (the checkout's by default).
release() { # NAME [VAR=VALUE...]
  local name=$1
  shift
  mkdir -p "$WORK/$name"
  (cd "$WORK/$name" && env -u SIGN_CERT -u SIGN_KEY -u SIGN_PASS_FILE -u SIGN_TIMESTAMP_URL "$@" DIST_DIR=dist \
    bash "${RELEASE:-$SOURCE/scripts/release.sh}" >log 2>&1)
}

# Expects verify-release.sh, run in FOLDER, to answer EXPECTED (accepted, refused
# or unchecked: exit 0, 1 or 2) with one line that says so; its output is in FOLDER/verdict.
expect_verdict() { # EXPECTED FOLDER ARGUMENTS...
  local expected=$1 folder=$2 status got
  shift 2
  (cd "$folder" && bash "${VERIFY:-$SOURCE/scripts/verify-release.sh}" "$@" >verdict 2>&1)
  status=$?
  got=$(echo accepted refused unchecked | cut -d' ' -f$((status + 1)))
  ((status <= 2)) || got="exit $status"
  [[ $got == "$expected" ]] || { fail "verify-release.sh $* (in $folder): expected $expected, got $got: $(cat "$folder/verdict")"; return; }
  local line
  case $got in accepted) line='^OK: ' ;; refused) line='^REFUSED: ' ;; unchecked) line='^verify-release.sh: cannot check: ' ;; esac
  [[ $(grep -c "$line" "$folder/verdict") == 1 ]] && ! grep -qE '^[0-9A-F]+:error:' "$folder/verdict" ||
    fail "verify-release.sh $* should say it in one line, with no raw OpenSSL output: $(cat "$folder/verdict")"
}

# A copy of FILE with one byte inverted, at AT bytes from the start (or, negative, the end).
flip_byte() { # FILE COPY AT
  cp "$1" "$2"
  local at=$3 byte
  ((at >= 0)) || at=$(($(stat -c %s "$1") + at))
  byte=$(od -An -tu1 -j "$at" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$2" bs=1 seek="$at" conv=notrunc status=none
}
code_byte() { echo $((0x$("$OBJDUMP" -h "$1" | awk '$2 == ".text" {print $6}') + 16)); }

# What holds for any release in $WORK/NAME/dist, signed or not.
check_release() { # NAME
  local dist=$WORK/$1/dist
  (cd "$dist" && sha256sum -c SHA256SUMS >/dev/null 2>&1 && grep -q ' BUILDINFO$' SHA256SUMS) ||
    fail "sha256sum -c does not accept $dist/SHA256SUMS, or it leaves out BUILDINFO"
  grep -qx "commit: $(git -C "$SOURCE" rev-parse HEAD)" "$dist/BUILDINFO" && grep -q '^compiler: x86_64-w64-mingw32-g++' "$dist/BUILDINFO" ||
    fail "BUILDINFO should name the commit and the compiler: $(cat "$dist/BUILDINFO")"
  grep -q "^Released: $dist/$PROGRAM " "$WORK/$1/log" || fail "release.sh should release into the dist/ it was started beside: $(cat "$WORK/$1/log")"
}

case "$CASE" in
  unsigned)
    release release || fail "release.sh failed: $(cat "$WORK/release/log")"
    grep -q '^Not signed' "$WORK/release/log" || fail "release.sh should say it released unsigned: $(cat "$WORK/release/log")"
    cmp -s "$WORK/release/dist/$PROGRAM" "$BUILT" || fail "the unsigned release differs from the build"
    check_release release
    expect_verdict accepted "$WORK/release" dist/$PROGRAM
    flip_byte "$WORK/release/dist/$PROGRAM" "$WORK/flipped.exe" "$(code_byte "$BUILT")"
    expect_verdict refused "$WORK" flipped.exe
    ;;
  signed)
    pki=$WORK/pki dist=$WORK/release/dist
    make_pki "$pki" || { fail "could not make the throwaway PKI: $(tail -n 3 "$pki/openssl.log")"; exit 1; }
    # A checkout of this commit with the scripts under test, and an untracked
    # windows.h at its root that would stop any build that read it.
    clone=$WORK/checkout
    git clone -q --shared --no-checkout "$SOURCE" "$clone" && git -C "$clone" checkout -q --detach "$(git -C "$SOURCE" rev-parse HEAD)" &&
      cp -r "$SOURCE/scripts/." "$clone/scripts/" || { fail "could not make a checkout to release from"; exit 1; }
    printf '#error "the working tree was read"\n' >"$clone/windows.h"
    RELEASE=$clone/scripts/release.sh VERIFY=$clone/scripts/verify-release.sh

    release release CXXFLAGS=-fno-inline SIGN_CERT=../pki/chain.pem SIGN_KEY=../pki/signer.key SIGN_PASS_FILE=../pki/password ||
      fail "release.sh failed: $(cat "$WORK/release/log")"
    grep -q '^Signed with Authenticode (SHA-256) by: CN=Sorrelvane Test Publisher' "$WORK/release/log" ||
      fail "release.sh should name the signer: $(cat "$WORK/release/log")"
    check_release release
    osslsigncode remove-signature -in "$dist/$PROGRAM" -out "$WORK/unsigned-again.exe" >/dev/null 2>&1 &&
      cmp -s "$WORK/unsigned-again.exe" "$BUILT" || fail "the signed release without its signature is not the build"
    # Nothing secret leaves the signer's folder: not in what was printed, not in dist/.
    [[ "$(ls "$dist")" == $'BUILDINFO\nSHA256SUMS\n'"$PROGRAM" ]] || fail "dist/ should hold the program, BUILDINFO and SHA256SUMS alone: $(ls "$dist")"
    ! grep -qF -f <(cat "$pki/password"; grep -v -- '-----' "$pki/signer.key") "$WORK/release/log" "$dist"/* ||
      fail "the key or its password shows in release.sh's output or in dist/"

    # Accepted, two at once: as shipped (no root in it, a CRL nobody serves)
    # with no roots, and by a relative path from its folder with the right root.
    mkdir -p "$WORK/alone" "$clone/dist" && cp "$dist"/* "$clone/dist/"
    (failures=0 && expect_verdict accepted "$WORK/alone" "$dist/$PROGRAM" && exit $failures) &
    alone=$!
    expect_verdict accepted "$WORK/release" --ca ../pki/root.pem dist/$PROGRAM
    wait $alone || failures=$((failures + 1))
    grep -q '^Signed with Authenticode by: CN=Sorrelvane Test Publisher$' "$WORK/alone/verdict" ||
      fail "verify-release.sh should name the signer: $(cat "$WORK/alone/verdict")"

    # Refused before any build: the signature or its chain gives it away.
    mkdir -p "$WORK/forged" && cd "$WORK/forged" || exit 1
    flip_byte "$dist/$PROGRAM" code.exe "$(code_byte "$BUILT")"
    flip_byte "$dist/$PROGRAM" signature-value.exe -100
    osslsigncode sign -nest -certs "$pki/other.pem" -key "$pki/other.key" -h sha256 -in "$dist/$PROGRAM" -out nested.exe >/dev/null 2>&1
    osslsigncode add -addUnauthenticatedBlob -in "$dist/$PROGRAM" -out blob.exe >/dev/null 2>&1
    osslsigncode sign -certs <(cat "$pki/chain.pem" "$pki/other.pem") -key "$pki/signer.key" -readpass "$pki/password" \
      -h sha256 -in "$BUILT" -out extra-certificate.exe >/dev/null 2>&1
    for forged in code signature-value nested blob extra-certificate; do
      [[ -f $forged.exe ]] || fail "could not make $forged.exe"
      expect_verdict refused . $forged.exe
    done
    expect_verdict refused . --ca ../pki/other.pem "$dist/$PROGRAM"
    expect_verdict unchecked . --ca ../pki/missing.pem "$dist/$PROGRAM"

    # Junk at the same relative path from another folder, while the checkout's
    # own dist/ holds the genuine release; its BUILDINFO names another compiler.
    mkdir -p "$WORK/downloads/dist" && printf 'only text\n' >"$WORK/downloads/dist/$PROGRAM"
    sed 's/^\(package g++-mingw-w64-x86-64-posix:\).*/\1 0.0-other/' "$dist/BUILDINFO" >"$WORK/downloads/dist/BUILDINFO"
    expect_verdict refused "$WORK/downloads" dist/$PROGRAM
    grep -q "REFUSED: $WORK/downloads/dist/$PROGRAM: .*g++-mingw-w64-x86-64-posix (there 0.0-other" "$WORK/downloads/verdict" ||
      fail "the refusal should name the file checked and the package whose version differs: $(cat "$WORK/downloads/verdict")"

    # A key that cannot be used is a clear error, and releases nothing.
    printf 'not a key\n' >"$pki/broken.key"
    release broken SIGN_CERT="$pki/chain.pem" SIGN_KEY="$pki/broken.key" &&
      fail "release.sh should fail with an unusable key"
    grep -q 'SIGN_KEY' "$WORK/broken/log" || fail "the error should name SIGN_KEY: $(cat "$WORK/broken/log")"
    [[ -z "$(ls -A "$WORK/broken/dist")" ]] || fail "an unusable key should leave dist/ empty: $(ls -A "$WORK/broken/dist")"
    ;;
  *) fail "unknown case '$CASE'" ;;
esac

if ((failures > 0)); then
  echo "release $CASE: $failures check(s) failed; files in $WORK"
  exit 1
fi
echo "ok: release $CASE"
