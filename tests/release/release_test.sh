#!/usr/bin/env bash
# The release scripts, end to end: what release.sh writes, that it checks out
# with the usual tools, that verify-release.sh accepts it as shipped, and that
# it refuses copies changed or added to.
# Usage: release_test.sh SOURCE_DIR WORK_DIR BUILT_EXE OBJDUMP unsigned|signed|token|pfx|refusals
set -uo pipefail

SOURCE=$1 BUILT=$3 OBJDUMP=$4 CASE=$5
PROGRAM=SorrelvaneUninstall.exe
# Each case starts from nothing, in a folder of its own.
WORK="$2/$CASE"
rm -rf "$WORK" && mkdir -p "$WORK"

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

source "$SOURCE/tests/release/pki.sh"
source "$SOURCE/scripts/authenticode.sh"
source "$SOURCE/tests/release/token.sh"
source "$SOURCE/tests/release/timestamp_authority.sh"

# Each case releases from a checkout of this commit of its own, with the
# scripts under test, so that cases side by side do not wait on each other's
# lock.
clone=$WORK/checkout
git clone -q --shared --no-checkout "$SOURCE" "$clone" && git -C "$clone" checkout -q --detach "$(git -C "$SOURCE" rev-parse HEAD)" &&
  cp -r "$SOURCE/scripts/." "$clone/scripts/" || { fail "could not make a checkout to release from"; exit 1; }
RELEASE=$clone/scripts/release.sh VERIFY=$clone/scripts/verify-release.sh
pki=$WORK/pki dist=$WORK/release/dist

# Releases, from the folder $WORK/NAME, into its dist/ with the given settings;
# the output is in $WORK/NAME/log.
release() { # NAME [VAR=VALUE...]
  local name=$1
  shift
  mkdir -p "$WORK/$name"
  (cd "$WORK/$name" && env -u SIGN_CERT -u SIGN_KEY -u SIGN_PKCS11_MODULE -u SIGN_PKCS12 -u SIGN_PASS_FILE \
    -u SIGN_TIMESTAMP_URL -u SIGN_CA -u SIGN_TSA_CA "$@" DIST_DIR=dist bash "$RELEASE" </dev/null >log 2>&1)
}

# Expects verify-release.sh, run in FOLDER, to answer EXPECTED (accepted, refused
# or unchecked: exit 0, 1 or 2) with one line that says so; its output is in FOLDER/verdict.
expect_verdict() { # EXPECTED FOLDER ARGUMENTS...
  local expected=$1 folder=$2 status got
  shift 2
  (cd "$folder" && bash "$VERIFY" "$@" >verdict 2>&1)
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

# What holds for a signed release in $WORK/NAME/dist: it is the build plus a
# signature that osslsigncode accepts up to the throwaway root, it is as
# executable as the build, and neither the key nor its password shows in what
# release.sh said or in dist/.
check_signed_release() { # NAME [osslsigncode verify options...]
  local name=$1 dist=$WORK/$1/dist
  shift
  [[ -f "$dist/$PROGRAM" ]] || { fail "release.sh failed: $(cat "$WORK/$name/log")"; return; }
  grep -q '^Signed with Authenticode (SHA-256) by: CN=Sorrelvane Test Publisher' "$WORK/$name/log" ||
    fail "release.sh should name the signer: $(cat "$WORK/$name/log")"
  check_release "$name"
  osslsigncode verify -CAfile "$pki/root.pem" -ignore-crl "$@" -in "$dist/$PROGRAM" </dev/null >"$WORK/$name/osslsigncode-verify" 2>&1 ||
    fail "osslsigncode verify refuses the $name release: $(grep -iE 'error|fail' "$WORK/$name/osslsigncode-verify")"
  osslsigncode remove-signature -in "$dist/$PROGRAM" -out "$WORK/$name/unsigned-again.exe" >/dev/null 2>&1 &&
    cmp -s "$WORK/$name/unsigned-again.exe" "$BUILT" || fail "the $name release without its signature is not the build"
  [[ $(stat -c %a "$dist/$PROGRAM") == $(stat -c %a "$BUILT") ]] ||
    fail "the signed program should keep the build's mode $(stat -c %a "$BUILT"), has $(stat -c %a "$dist/$PROGRAM")"
  [[ "$(ls -A "$dist")" == $'BUILDINFO\nSHA256SUMS\n'"$PROGRAM" ]] || fail "dist/ should hold the program, BUILDINFO and SHA256SUMS alone: $(ls -A "$dist")"
  ! grep -qF -f <(cat "$pki/password"; grep -v -- '-----' "$pki/signer.key") "$WORK/$name/log" "$dist"/* ||
    fail "the key or its password shows in release.sh's output or in dist/"
}

case "$CASE" in
  unsigned)
    release release || fail "release.sh failed: $(cat "$WORK/release/log")"
    grep -q '^Not signed' "$WORK/release/log" || fail "release.sh should say it released unsigned: $(cat "$WORK/release/log")"
    cmp -s "$WORK/release/dist/$PROGRAM" "$BUILT" || fail "the unsigned release differs from the build"
    check_release release
    expect_verdict accepted "$WORK/release" dist/$PROGRAM
    # A copy with a code byte flipped at the same relative path from another
    # folder, while the checkout's own dist/ holds the genuine release; its
    # BUILDINFO names another compiler.
    mkdir -p "$WORK/downloads/dist" "$clone/dist" && cp "$dist"/* "$clone/dist/"
    flip_byte "$dist/$PROGRAM" "$WORK/downloads/dist/$PROGRAM" "$(code_byte "$BUILT")"
    sed 's/^\(package g++-mingw-w64-x86-64-posix:\).*/\1 0.0-other/' "$dist/BUILDINFO" >"$WORK/downloads/dist/BUILDINFO"
    expect_verdict refused "$WORK/downloads" dist/$PROGRAM
    grep -q "REFUSED: $WORK/downloads/dist/$PROGRAM: .*g++-mingw-w64-x86-64-posix (there 0.0-other" "$WORK/downloads/verdict" ||
      fail "the refusal should name the file checked and the package whose version differs: $(cat "$WORK/downloads/verdict")"
    ;;
  signed)
    make_pki "$pki" || { fail "could not make the throwaway PKI: $(tail -n 3 "$pki/openssl.log")"; exit 1; }
    tsa_start "$WORK/tsa" || { fail "could not start the timestamp authority"; exit 1; }
    trap 'tsa_stop "$WORK/tsa"' EXIT
    # An untracked windows.h at the checkout's root would stop any build that read it.
    printf '#error "the working tree was read"\n' >"$clone/windows.h"

    # Timestamped by a local authority, whose own root the timestamp is checked against.
    release release CXXFLAGS=-fno-inline SIGN_CERT=../pki/chain.pem SIGN_KEY=../pki/signer.key SIGN_PASS_FILE=../pki/password \
      SIGN_TIMESTAMP_URL="$TSA_URL" SIGN_TSA_CA="$TSA_ROOT"
    check_signed_release release -TSA-CAfile "$TSA_ROOT"
    grep -q '^Timestamp Server Signature verification: ok' "$WORK/release/osslsigncode-verify" ||
      fail "the timestamp should verify: $(grep -i timestamp "$WORK/release/osslsigncode-verify")"

    # Accepted, two at once: as shipped (no root in it, a CRL nobody serves)
    # with no roots but the timestamp authority's, which stands in for the
    # public roots a real one leads to, and by a relative path from its folder
    # with the right root.
    mkdir -p "$WORK/alone"
    (failures=0 && expect_verdict accepted "$WORK/alone" --tsa-ca "$TSA_ROOT" "$dist/$PROGRAM" && exit $failures) &
    alone=$!
    expect_verdict accepted "$WORK/release" --ca ../pki/root.pem --tsa-ca "$TSA_ROOT" dist/$PROGRAM
    wait $alone || failures=$((failures + 1))
    grep -q '^Signed with Authenticode by: CN=Sorrelvane Test Publisher$' "$WORK/alone/verdict" ||
      fail "verify-release.sh should name the signer: $(cat "$WORK/alone/verdict")"

    # Refused before any build: the signature or its chain gives it away.
    mkdir -p "$WORK/forged" && cd "$WORK/forged" || exit 1
    flip_byte "$dist/$PROGRAM" code.exe "$(code_byte "$BUILT")"
    # A byte of the signer's signature value, and one of the timestamp's, each
    # flipped in the signature and that put on the build, checksum and all.
    osslsigncode extract-signature -in "$dist/$PROGRAM" -out signature.der >/dev/null 2>&1
    value=$(asn1_elements signature.der | awk '$2 == 5 && $5 ~ /^OCTETSTRING/ {print $1 + $3 + 8}' | tail -n 1)
    for forged in signature-value:$value timestamp:-8; do
      flip_byte signature.der "${forged%%:*}.der" "${forged#*:}"
      osslsigncode attach-signature -sigin "${forged%%:*}.der" -in "$BUILT" -out "${forged%%:*}.exe" >/dev/null 2>&1
    done
    # A second value of indefinite length beside the timestamp, which osslsigncode keeps.
    /usr/bin/python3 "$SOURCE/tests/release/ber_value.py" signature.der ber.der &&
      osslsigncode attach-signature -sigin ber.der -in "$BUILT" -out ber.exe >/dev/null 2>&1
    osslsigncode sign -nest -certs "$pki/other.pem" -key "$pki/other.key" -h sha256 -in "$dist/$PROGRAM" -out nested.exe >/dev/null 2>&1
    osslsigncode add -addUnauthenticatedBlob -in "$dist/$PROGRAM" -out blob.exe >/dev/null 2>&1
    osslsigncode sign -certs <(cat "$pki/chain.pem" "$pki/other.pem") -key "$pki/signer.key" -readpass "$pki/password" \
      -h sha256 -in "$BUILT" -out extra-certificate.exe >/dev/null 2>&1
    for forged in 'code:changed after it was signed' "signature-value:signer's signature does not verify" \
      'timestamp:timestamp is not intact' 'ber:not in DER throughout' 'nested:nested signature' 'blob:not an RFC 3161 timestamp' \
      "extra-certificate:neither the signer's nor an issuer"; do
      [[ -f ${forged%%:*}.exe ]] || fail "could not make ${forged%%:*}.exe"
      expect_verdict refused . --tsa-ca "$TSA_ROOT" "${forged%%:*}.exe"
      grep -q "${forged#*:}" verdict || fail "${forged%%:*}.exe should be refused as ${forged#*:}: $(cat verdict)"
    done
    expect_verdict refused . --ca ../pki/other.pem --tsa-ca "$TSA_ROOT" "$dist/$PROGRAM"
    # A timestamp is data its authority signed and the publisher did not: one
    # from an authority that leads to no trusted root could carry anything.
    expect_verdict refused . "$dist/$PROGRAM"
    grep -q "timestamp's authority (CN=Throwaway Timestamp Authority) does not lead to a root" verdict ||
      fail "a timestamp from an untrusted authority should be refused as such: $(cat verdict)"
    expect_verdict unchecked . --ca ../pki/missing.pem "$dist/$PROGRAM"

    ;;
  token)
    # The key in a SoftHSM2 token made here, reached through PKCS#11 with its
    # PIN; the chain from SIGN_CERT, checked against the root after signing.
    make_pki "$pki" && token_make "$WORK/token" "$pki/signer.key" "$pki/password" >/dev/null ||
      { fail "could not make the PKI and the token"; exit 1; }
    release release SIGN_CERT=../pki/chain.pem SIGN_KEY="$TOKEN_URI" SIGN_PKCS11_MODULE="$TOKEN_MODULE" \
      SIGN_PASS_FILE=../pki/password SIGN_CA=../pki/root.pem
    check_signed_release release
    ;;
  pfx)
    make_pki "$pki" || { fail "could not make the throwaway PKI"; exit 1; }
    # The password through a pipe, which can be read only once.
    release release SIGN_PKCS12=../pki/signer.pfx SIGN_PASS_FILE=<(cat "$pki/password") SIGN_CA=../pki/root.pem
    check_signed_release release
    # Untimestamped, it needs no roots at all to be proven the build plus one signature.
    expect_verdict accepted "$WORK/release" dist/$PROGRAM
    grep -q '^Signed with Authenticode by: CN=Sorrelvane Test Publisher$' "$WORK/release/verdict" ||
      fail "verify-release.sh should name the signer: $(cat "$WORK/release/verdict")"
    ;;
  refusals)
    make_pki "$pki" || { fail "could not make the throwaway PKI"; exit 1; }
    # Each refused with a reason that names what to mend, leaving dist/ empty.
    expect_refused() { # NAME REASON [VAR=VALUE...]
      local name=$1 reason=$2
      shift 2
      release "$name" "$@" && fail "release.sh should refuse $name"
      grep -qE "^release.sh: .*$reason" "$WORK/$name/log" || fail "$name: the refusal should say $reason: $(cat "$WORK/$name/log")"
      [[ -z "$(ls -A "$WORK/$name/dist" 2>/dev/null)" ]] || fail "$name should leave dist/ empty: $(ls -A "$WORK/$name/dist")"
    }
    printf 'not a key\n' >"$pki/broken.key"
    expect_refused broken 'SIGN_KEY' SIGN_CERT=../pki/chain.pem SIGN_KEY=../pki/broken.key
    expect_refused expired 'SIGN_CERT: .*expired' SIGN_CERT=../pki/expired-chain.pem SIGN_KEY=../pki/signer.key SIGN_PASS_FILE=../pki/password
    expect_refused server 'SIGN_CERT: .*code signing' SIGN_CERT=../pki/server-chain.pem SIGN_KEY=../pki/signer.key SIGN_PASS_FILE=../pki/password
    # The intermediate forgotten: caught once signed, naming the certificate missing.
    expect_refused forgotten 'SIGN_CA: .*stops at CN=Throwaway Test Intermediate' \
      SIGN_CERT=../pki/signer.pem SIGN_KEY=../pki/signer.key SIGN_PASS_FILE=../pki/password SIGN_CA=../pki/root.pem

    # An encrypted key and no password, on a terminal that could be asked: no waiting.
    mkdir -p "$WORK/prompt" && started=$SECONDS
    (cd "$WORK/prompt" && SIGN_CERT=../pki/chain.pem SIGN_KEY=../pki/signer.key DIST_DIR=dist timeout 60 \
      script -qec "bash '$RELEASE'" /dev/null </dev/null >log 2>&1)
    ((SECONDS - started <= 10)) || fail "an encrypted key without SIGN_PASS_FILE should fail at once, took $((SECONDS - started)) s"
    grep -q 'SIGN_PASS_FILE' "$WORK/prompt/log" || fail "the error should name SIGN_PASS_FILE: $(cat "$WORK/prompt/log")"

    # dist/ holding what a release does not make: refused, untouched.
    # One of them named like two files that a release does make.
    mkdir -p "$WORK/foreign/dist" && printf 'an old digest\n' >"$WORK/foreign/dist/SHA512SUMS" &&
      printf 'x\n' >"$WORK/foreign/dist/BUILDINFO SHA256SUMS"
    release foreign && fail "release.sh should refuse a dist/ holding SHA512SUMS"
    grep -q 'holds files that a release does not make: BUILDINFO SHA256SUMS, SHA512SUMS' "$WORK/foreign/log" ||
      fail "the refusal should name both foreign files: $(cat "$WORK/foreign/log")"
    [[ "$(ls -A "$WORK/foreign/dist")" == $'BUILDINFO SHA256SUMS\nSHA512SUMS' && "$(cat "$WORK/foreign/dist/SHA512SUMS")" == 'an old digest' ]] ||
      fail "dist/ should be left as it was: $(ls -A "$WORK/foreign/dist")"

    # A second release while one runs in the checkout says so and exits 2.
    mkdir -p "$WORK/busy"
    (cd "$WORK/busy" && flock "$clone" env DIST_DIR=dist bash "$RELEASE" >log 2>&1)
    status=$?
    ((status == 2)) && grep -q 'another release or a verification is running' "$WORK/busy/log" ||
      fail "a release beside another should exit 2 and say why, exited $status: $(cat "$WORK/busy/log")"

    # SIGTERM while osslsigncode waits on a timestamp authority that never
    # answers ends it, and leaves no temporary folder and nothing in dist/.
    /usr/bin/python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1])); time.sleep(60)' "$WORK/silent.port" </dev/null &
    silent=$!
    trap 'kill $silent 2>/dev/null' EXIT
    for _ in {1..100}; do [[ -s "$WORK/silent.port" ]] && break; sleep 0.05; done
    mkdir -p "$WORK/sigterm/tmp" "$WORK/sigterm/dist"
    (cd "$WORK/sigterm" && exec env TMPDIR="$WORK/sigterm/tmp" SIGN_CERT=../pki/chain.pem SIGN_KEY=../pki/signer.key \
      SIGN_PASS_FILE=../pki/password SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$WORK/silent.port")" DIST_DIR=dist \
      bash "$RELEASE" </dev/null >log 2>&1) &
    releaser=$!
    signer() { # the PIDs of the osslsigncode that signs into this release's temporary folder
      local f args
      for f in /proc/[0-9]*/cmdline; do
        mapfile -d '' args 2>/dev/null <"$f" || continue
        [[ "${args[0]:-}" == osslsigncode && "${args[*]}" == *" $WORK/sigterm/tmp/"* ]] && basename "$(dirname "$f")"
      done
    }
    for _ in {1..300}; do [[ -n "$(signer)" ]] && break; sleep 0.05; done
    [[ -n "$(signer)" ]] || fail "SIGTERM: osslsigncode never started: $(cat "$WORK/sigterm/log")"
    kill -TERM "$releaser"
    wait "$releaser"
    status=$?
    ((status == 143)) || fail "SIGTERM: release.sh exited $status, not 143: $(cat "$WORK/sigterm/log")"
    sleep 0.2
    [[ -z "$(signer)" ]] || fail "SIGTERM: osslsigncode is still running"
    left=$(find "$WORK/sigterm/tmp" "$WORK/sigterm/dist" -mindepth 1)
    [[ -z "$left" ]] || fail "SIGTERM: left behind: $left"
    ;;
  *) fail "unknown case '$CASE'" ;;
esac

if ((failures > 0)); then
  echo "release $CASE: $failures check(s) failed; files in $WORK"
  exit 1
fi
echo "ok: release $CASE"
