#!/usr/bin/env bash
# Proves that a released program is exactly what this checkout builds.
#
# Usage: verify-release.sh [--ca ROOTS.pem] FILE
#
# It builds the program afresh (in VERIFY_BUILD_DIR, default build/verify),
# then:
# - an unsigned FILE must be byte for byte that build;
# - a signed FILE must carry an intact Authenticode signature whose digest
#   matches the file, and must be that build once the signature is removed,
#   with nothing else in it: putting the same signature back on the build must
#   give FILE again, byte for byte.
# The signature's certificate chain is checked up to the roots in --ca, or,
# without it, up to the certificates that the signature carries itself; the
# latter proves the signature intact, not who made it.
# Exits 0 and says what it proved, or non-zero and says what differs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/fresh_build.sh

usage() { echo "usage: $0 [--ca ROOTS.pem] FILE" >&2; exit 2; }
roots=""
while (($#)); do
  case "$1" in
    --ca) (($# >= 2)) || usage; roots=$(realpath "$2"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
(($# == 1)) || usage
file=$(realpath "$1")
[[ -f "$file" ]] || { echo "verify-release.sh: $1 is not a file" >&2; exit 2; }

refuse() { printf 'REFUSED: %s\n' "$1" >&2; exit 1; }
first_difference() { cmp "$1" "$2" 2>&1 | sed 's/.*differ: /first difference at /; s/, line [0-9]*//'; true; }

bash scripts/setup.sh release
build_dir=${VERIFY_BUILD_DIR:-build/verify}
build_program_afresh "$build_dir"
echo "Built from $(describe_checkout)."
work="$build_dir/check"
mkdir -p "$work"

if cmp -s "$file" "$BUILT_PROGRAM"; then
  echo "OK: $1 is byte for byte the unsigned program that this checkout builds."
  exit 0
fi

if ! osslsigncode extract-signature -pem -in "$file" -out "$work/signature.pem" >"$work/extract.log" 2>&1; then
  refuse "$1 is not the program that this checkout builds, and it carries no signature that could explain the difference ($(first_difference "$file" "$BUILT_PROGRAM"); $(stat -c %s "$file") bytes, the build has $(stat -c %s "$BUILT_PROGRAM"))."
fi

# The chain is checked up to the given roots, else up to what the signature carries.
if [[ -z "$roots" ]]; then
  roots="$work/carried-certificates.pem"
  openssl pkcs7 -in "$work/signature.pem" -print_certs -out "$roots" 2>"$work/certificates.log" ||
    refuse "$1 carries a signature whose certificates cannot be read."
fi
verified=yes
osslsigncode verify -CAfile "$roots" -in "$file" >"$work/verify.log" 2>&1 </dev/null || verified=no
stored=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -n 1)
computed=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -n 1)
if [[ -z "$stored" || "$stored" != "$computed" ]]; then
  refuse "$1 was changed after it was signed: its signature holds the digest ${stored:-(none)}, the file has ${computed:-(none)}."
fi
if [[ $verified == no ]]; then
  hint=""
  [[ $roots == "$work/carried-certificates.pem" ]] && hint=" (if the signature does not carry its root, pass --ca with the publisher's root)"
  refuse "$1 carries a signature that does not verify$hint: $(grep -iE 'error|fail' "$work/verify.log" | grep -v '^Failed$' | head -n 3 | tr '\n' ' ')"
fi

osslsigncode remove-signature -in "$file" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 ||
  refuse "the signature could not be removed from $1: $(tail -n 1 "$work/remove.log")"
cmp -s "$work/unsigned.exe" "$BUILT_PROGRAM" ||
  refuse "$1 without its signature is not the program that this checkout builds ($(first_difference "$work/unsigned.exe" "$BUILT_PROGRAM"))."

# What lies outside the signed digest (the header's checksum, padding, bytes
# after the signature) must be what signing the build gives, too.
osslsigncode attach-signature -sigin "$work/signature.pem" -CAfile "$roots" -in "$BUILT_PROGRAM" \
  -out "$work/resigned.exe" >"$work/attach.log" 2>&1 </dev/null || true
cmp -s "$work/resigned.exe" "$file" ||
  refuse "$1 holds bytes that its signature does not account for ($(first_difference "$file" "$work/resigned.exe") from the build with the same signature)."

signer=$(sed -n 's/^[[:space:]]*Subject: *//p' "$work/verify.log" | head -n 1)
echo "OK: $1 is the program that this checkout builds, signed with Authenticode by: $signer"
echo "    Its signature is intact and its digest matches the file; without the signature the file is"
echo "    byte for byte the build, and nothing else was added."
if [[ $roots == "$work/carried-certificates.pem" ]]; then
  echo "    The certificate chain was checked only against the certificates the signature carries,"
  echo "    which shows it intact, not who made it: pass --ca with the publisher's root for that."
else
  echo "    Its certificate chain leads to a root in $roots."
fi
