#!/usr/bin/env bash
# The release scripts, end to end: what release.sh writes, that it checks out
# with the usual tools, and that verify-release.sh accepts it and refuses a
# copy with one byte of its code changed.
# Usage: release_test.sh SOURCE_DIR WORK_DIR BUILT_EXE OBJDUMP unsigned|signed
set -uo pipefail

SOURCE=$1 BUILT=$3 OBJDUMP=$4 CASE=$5
PROGRAM=SorrelvaneUninstall.exe
# Each case starts from nothing, in a folder of its own.
WORK="$2/$CASE"
rm -rf "$WORK" && mkdir -p "$WORK"

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

# Releases into $WORK/NAME/dist with the given settings; the output is in $WORK/NAME/log.
release() { # NAME [VAR=VALUE...]
  local name=$1
  shift
  mkdir -p "$WORK/$name"
  env -u SIGN_CERT -u SIGN_KEY -u SIGN_PASS_FILE -u SIGN_TIMESTAMP_URL "$@" DIST_DIR="$WORK/$name/dist" \
    RELEASE_BUILD_DIR="$WORK/$name/build" bash "$SOURCE/scripts/release.sh" >"$WORK/$name/log" 2>&1
}

# Expects verify-release.sh to answer EXPECTED (accepted|refused) for FILE.
expect_verdict() { # EXPECTED FILE [--ca ROOTS]
  local expected=$1 file=$2 got=accepted
  shift 2
  VERIFY_BUILD_DIR="$WORK/verify" bash "$SOURCE/scripts/verify-release.sh" "$@" "$file" >"$WORK/verdict" 2>&1 ||
    got=refused
  [[ $got == "$expected" ]] || fail "verify-release.sh on $file: expected it $expected, got it $got: $(cat "$WORK/verdict")"
}

# A copy of FILE with one byte of its code inverted.
flip_code_byte() { # FILE COPY
  cp "$1" "$2"
  local at byte
  at=$((0x$("$OBJDUMP" -h "$1" | awk '$2 == ".text" {print $6}') + 16))
  byte=$(od -An -tu1 -j "$at" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$2" bs=1 seek="$at" conv=notrunc status=none
}

# The checks that hold for any release in DIST, signed or not.
check_release() { # DIST [--ca ROOTS]
  local dist=$1
  shift
  (cd "$dist" && sha256sum -c SHA256SUMS >/dev/null 2>&1) || fail "sha256sum -c does not accept $dist/SHA256SUMS"
  expect_verdict accepted "$dist/$PROGRAM" "$@"
  flip_code_byte "$dist/$PROGRAM" "$WORK/flipped.exe"
  expect_verdict refused "$WORK/flipped.exe" "$@"
}

# A throwaway CA and a code-signing certificate it issued, with an encrypted key.
make_signer() { # DIR
  local dir=$1
  mkdir -p "$dir"
  printf 'throwaway-%s\n' "$RANDOM$RANDOM" >"$dir/password"
  (
    cd "$dir" &&
      openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway Test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
      openssl req -newkey rsa:2048 -passout file:password -keyout signer.key -out signer.csr \
        -subj "/CN=Sorrelvane Test Publisher" &&
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext &&
      openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile ext -out signer.pem &&
      cat signer.pem ca.pem >chain.pem
  ) >"$dir/openssl.log" 2>&1 || { fail "could not make the throwaway CA: $(tail -n 3 "$dir/openssl.log")"; return 1; }
}

case "$CASE" in
  unsigned)
    release release || fail "release.sh failed: $(cat "$WORK/release/log")"
    grep -q '^Not signed' "$WORK/release/log" || fail "release.sh should say it released unsigned: $(cat "$WORK/release/log")"
    cmp -s "$WORK/release/dist/$PROGRAM" "$BUILT" || fail "the unsigned release differs from the build"
    check_release "$WORK/release/dist"
    ;;
  signed)
    make_signer "$WORK/signer" || exit 1
    signer="$WORK/signer" dist="$WORK/release/dist"
    release release SIGN_CERT="$signer/chain.pem" SIGN_KEY="$signer/signer.key" SIGN_PASS_FILE="$signer/password" ||
      fail "release.sh failed: $(cat "$WORK/release/log")"
    grep -q '^Signed with Authenticode (SHA-256) by: CN=Sorrelvane Test Publisher' "$WORK/release/log" ||
      fail "release.sh should name the signer: $(cat "$WORK/release/log")"
    osslsigncode verify -CAfile "$signer/ca.pem" -in "$dist/$PROGRAM" >"$WORK/osslsigncode-verify" 2>&1 ||
      fail "osslsigncode verify refuses the signed release: $(grep -iE 'error|fail' "$WORK/osslsigncode-verify")"
    grep -qE '^Message digest algorithm *: SHA256' "$WORK/osslsigncode-verify" ||
      fail "the signature should use SHA-256: $(grep 'digest algorithm' "$WORK/osslsigncode-verify")"
    osslsigncode remove-signature -in "$dist/$PROGRAM" -out "$WORK/unsigned-again.exe" >/dev/null 2>&1 &&
      cmp -s "$WORK/unsigned-again.exe" "$BUILT" || fail "the signed release without its signature is not the build"
    check_release "$dist" --ca "$signer/ca.pem"
    # Nothing secret leaves the signer's folder: not in what was printed, not in dist/.
    [[ "$(ls "$dist")" == $'SHA256SUMS\n'"$PROGRAM" ]] || fail "dist/ should hold the program and SHA256SUMS alone: $(ls "$dist")"
    ! grep -qF -f <(cat "$signer/password"; grep -v -- '-----' "$signer/signer.key") "$WORK/release/log" "$dist"/* ||
      fail "the key or its password shows in release.sh's output or in dist/"

    # A key that cannot be used is a clear error, and releases nothing.
    printf 'not a key\n' >"$signer/broken.key"
    release broken SIGN_CERT="$signer/chain.pem" SIGN_KEY="$signer/broken.key" &&
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
