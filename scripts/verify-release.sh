#!/usr/bin/env bash
# Proves that a released program is exactly what this source builds.
#
# Usage: verify-release.sh [--ca ROOTS.pem] [--tsa-ca ROOTS.pem] [--crl CRL] [--] FILE
#
# FILE, the roots and CRL are taken relative to the directory the command is
# started from. FILE is copied once, and the copy is what is checked, so that
# it cannot change between one check and the next. Two questions are answered
# apart:
# - Is FILE this source's build plus, at most, one intact signature? The
#   program is built afresh from the committed tree (scripts/fresh_build.sh).
#   Unsigned, FILE must be that build byte for byte; signed, see
#   check_signed_build in scripts/authenticode.sh. No roots are needed but
#   those a timestamp's authority must lead to: this system's trusted roots,
#   or those in --tsa-ca.
# - Who signed it? The signer is named. With --ca the chain must lead to a root
#   in ROOTS.pem; without it, the chain is checked against this system's
#   trusted roots and the result is reported, without deciding the verdict.
# Offline always: no revocation list is fetched; --crl adds one.
# Exits 0 when proven, 1 when refused (one REFUSED: line says what differs),
# 2 when it could not check (bad arguments, unreadable files, missing tools).
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
source "$scripts/fresh_build.sh"
source "$scripts/authenticode.sh"

cannot() { printf 'verify-release.sh: cannot check: %s\n' "${1//[[:cntrl:]]/?}" >&2; exit 2; }
refuse() { printf 'REFUSED: %s: %s\n' "$shown" "${1//[[:cntrl:]]/?}" >&2; exit 1; }
usage() { cannot "usage: verify-release.sh [--ca ROOTS.pem] [--tsa-ca ROOTS.pem] [--crl CRL] [--] FILE"; }

roots="" tsa_roots="" crl=""
while (($#)); do
  case "$1" in
    --ca) (($# >= 2)) || usage; roots=$(realpath -m -- "$2"); shift 2 ;;
    --tsa-ca) (($# >= 2)) || usage; tsa_roots=$(realpath -m -- "$2"); shift 2 ;;
    --crl) (($# >= 2)) || usage; crl=$(realpath -m -- "$2"); shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
(($# == 1)) || usage
file=$(realpath -m -- "$1")

# Names from the command line or a BUILDINFO are shown without control
# characters, so that none can redraw what a terminal shows.
shown=${file//[[:cntrl:]]/?}
[[ -f "$file" && -r "$file" ]] || cannot "$shown is not a file that can be read"
for given in ${roots:+"$roots"} ${tsa_roots:+"$tsa_roots"} ${crl:+"$crl"}; do
  [[ -f "$given" && -r "$given" ]] || cannot "$given is not a file that can be read"
done

# Tools are installed only where the user may; elsewhere a missing one is named.
if ((EUID == 0)); then
  bash "$scripts/setup.sh" release >&2 || cannot "the tools it needs could not be installed (scripts/setup.sh release)"
fi
for tool in git tar cmake make "$build_compiler" openssl osslsigncode dpkg-query; do
  PATH=$build_path:$PATH command -v "$tool" >/dev/null ||
    cannot "$tool is missing; install it with: sudo bash scripts/setup.sh release"
done
if [[ -n "$roots" ]]; then
  holds_pem_certificate "$roots" || cannot "--ca $roots holds no PEM certificate"
fi
if [[ -n "$tsa_roots" ]]; then
  holds_pem_certificate "$tsa_roots" || cannot "--tsa-ca $tsa_roots holds no PEM certificate"
  authenticode_tsa_roots=$tsa_roots
fi
if [[ -n "$crl" ]]; then
  openssl crl -in "$crl" -noout 2>/dev/null || openssl crl -inform DER -in "$crl" -noout 2>/dev/null ||
    cannot "--crl $crl holds no revocation list"
fi

# Verifications may run side by side, but not beside a release of this checkout.
lock_checkout shared || cannot "a release is running in $project_root; try again when it has ended"

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX") || cannot "no temporary folder could be made"
TEMP_DIRS+=("$work")
trap 'rm -rf "$work"' EXIT
end_on_signals
mkdir "$work/signature" "$work/build"

cp -- "$file" "$work/candidate" || cannot "$shown could not be copied to be checked"
candidate=$work/candidate
# What is proven is about these bytes, which the digest names.
echo "Checking: $shown (SHA-256 $(sha256sum "$candidate" | cut -d' ' -f1))"
status=0
check_signature "$candidate" "$work/signature" || status=$?
if ((status == 0)); then
  echo "Signed with Authenticode by: $AUTHENTICODE_SIGNER"
  [[ -z "$AUTHENTICODE_TIMESTAMP" ]] ||
    echo "Timestamped by: $AUTHENTICODE_TIMESTAMP (the token is intact, stamps this signature, and its authority leads to a root in $authenticode_tsa_roots)"
  if [[ -n "$roots" ]]; then
    check_chain "$candidate" "$roots" "$work/signature" "$crl" || refuse "$AUTHENTICODE_REASON"
    echo "Its certificate chain $AUTHENTICODE_CHAIN in $roots."
  else
    if [[ ! -r $authenticode_system_roots ]]; then
      echo "Its certificate chain was not checked: this system has no trusted roots ($authenticode_system_roots)."
    elif check_chain "$candidate" "$authenticode_system_roots" "$work/signature" "$crl"; then
      echo "Its certificate chain $AUTHENTICODE_CHAIN among this system's trusted roots."
    else
      echo "Against this system's trusted roots, its certificate chain $AUTHENTICODE_CHAIN."
    fi
    echo "No --ca was given, so the chain did not decide the verdict: the name above is what the"
    echo "certificate says, and anyone can make a certificate that says any name. Pass --ca with the"
    echo "publisher's root to have the chain checked and the file refused when it does not lead there."
  fi
elif ((status == 1)); then
  refuse "$AUTHENTICODE_REASON"
fi

build_program_afresh "$work/build" || cannot "the program could not be built (see the reason above)"
echo "Built from $(describe_build)."

# Where FILE is not the build, a BUILDINFO beside it may say why: another commit
# or other tool versions.
explain() {
  local info
  info="$(dirname "$file")/BUILDINFO"
  [[ -f "$info" ]] || return 0
  local commit differences
  commit=$(sed -n 's/^commit: //p' "$info" | head -n 1)
  differences=$(build_info_differences "$info")
  [[ -n "$commit" && "$commit" != "$BUILT_COMMIT" ]] && printf '; the BUILDINFO beside it names commit %s' "$commit"
  [[ -n "$differences" ]] && printf '; the BUILDINFO beside it names other versions of: %s' "$differences"
  return 0
}

if ((status == 2)); then
  cmp -s "$candidate" "$BUILT_PROGRAM" ||
    refuse "it carries no signature that can be read, and is not the build ($(first_difference "$candidate" "$BUILT_PROGRAM"); $(stat -c %s "$candidate") bytes, the build has $(stat -c %s "$BUILT_PROGRAM"))$(explain)"
  echo "OK: $shown is byte for byte the unsigned program that commit $BUILT_COMMIT builds."
  exit 0
fi

compare_with_build "$candidate" "$BUILT_PROGRAM" "$work/signature" || refuse "$AUTHENTICODE_REASON$(explain)"
echo "OK: $shown is the program that commit $BUILT_COMMIT builds, plus one Authenticode signature:"
echo "    the digest it signs is the file's, the signer's signature verifies with the signer's key,"
echo "    without it the file is the build byte for byte, the same signature on the build gives the"
echo "    file again, and it holds no other signature, no unsigned attribute but one intact timestamp of"
echo "    this signature, and no certificate off the signer's chain."
