#!/usr/bin/env bash
# Builds the uninstaller afresh from the committed tree (scripts/fresh_build.sh)
# and releases it into dist/: the program, BUILDINFO (the commit, whether the
# checkout had uncommitted changes, which are not in the release, and the
# versions of the tools that make the bytes) and SHA256SUMS over both (for
# `sha256sum -c`); and prints where they are and the program's digest.
#
# Signing is optional (scripts/signing.sh says how each setting is read):
#   SIGN_CERT + SIGN_KEY  the signer's certificate then its intermediates (PEM),
#                         and its key: a PEM file, or a pkcs11: URI naming it in
#                         a token, with SIGN_PKCS11_MODULE naming the token's
#                         PKCS#11 module
#   SIGN_PKCS12           instead of those two, a .pfx/.p12 holding key and chain
#   SIGN_PASS_FILE        the key's password or the token's PIN, read once
#   SIGN_TIMESTAMP_URL    an RFC 3161 timestamp authority
#   SIGN_CA               roots (PEM) that the signature's chain must lead to
#   SIGN_TSA_CA           roots (PEM) that the timestamp's authority must lead
#                         to (default: this system's trusted roots)
# Before anything is built, the signer's certificate must be valid now, allow
# code signing, and be the key's. After signing, and before anything reaches
# dist/, the signed program must pass verify-release.sh's own check (the build
# plus one intact signature, nothing added), carry a timestamp when one was
# asked for (from an authority that leads to SIGN_TSA_CA), and, with SIGN_CA,
# have a chain that leads to one of its roots.
#   DIST_DIR              where to release (default: the checkout's dist/)
# Paths are taken relative to the directory the command is started from.
#
# dist/ belongs to the release: files in it that a release does not make stop
# the release before it starts, and are left alone. One release at a time runs
# in a checkout, and none while a verification does: the second exits 2.
# Exits 0 when released, 1 when nothing was, and 2 when the checkout is busy.
# A trace would print the password as it is read.
{ set +x; } 2>/dev/null
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
source "$scripts/fresh_build.sh"
source "$scripts/authenticode.sh"
source "$scripts/signing.sh"

program_name=SorrelvaneUninstall.exe
release_files=("$program_name" BUILDINFO SHA256SUMS)
dist=$(realpath -m -- "${DIST_DIR:-$project_root/dist}")

fail() { printf 'release.sh: %s\nNothing was released: %s holds no release.\n' "$1" "$dist" >&2; exit 1; }

lock_checkout exclusive || {
  echo "release.sh: another release or a verification is running in $project_root; try again when it has ended." >&2
  exit 2
}
# A signal ends every tool still running and removes what this run made.
end_on_signals

# Whatever is in dist/ ships with it (`dist/*`), so nothing may be there that
# this release did not make; what is there is the publisher's to move. Prints
# the names of what a release does not make, comma-separated, or nothing.
declare -A made=()
for name in "${release_files[@]}"; do made[$name]=1; done
foreign_files() {
  [[ -d "$dist" ]] || return 0
  local path name foreign=()
  while IFS= read -r -d '' path; do
    name=${path##*/}
    [[ -n "${made[$name]:-}" && -f "$path" && ! -L "$path" ]] || foreign+=("${name//[[:cntrl:]]/?}")
  done < <(find "$dist" -mindepth 1 -maxdepth 1 -print0 | sort -z)
  local listed
  printf -v listed '%s, ' "${foreign[@]}"
  ((${#foreign[@]} == 0)) || echo "${listed%, }"
}
[[ ! -e "$dist" || -d "$dist" ]] || { echo "release.sh: $dist is not a folder. Nothing was changed." >&2; exit 1; }
foreign=$(foreign_files)
if [[ -n "$foreign" ]]; then
  printf 'release.sh: %s holds files that a release does not make: %s. Move them away and run it again.\nNothing was changed.\n' \
    "$dist" "$foreign" >&2
  exit 1
fi

# A failed run must not leave an earlier release behind to be taken for this one.
for name in "${release_files[@]}"; do rm -f "$dist/$name"; done

signing_read_settings || fail "$SIGNING_ERROR"
if [[ -n "${SIGN_CA:-}" ]]; then
  [[ $SIGNING_KIND != none ]] || fail "SIGN_CA is the roots a signature must lead to, but no key to sign with is set."
  holds_pem_certificate "$SIGN_CA" || fail "SIGN_CA ($SIGN_CA) holds no PEM certificate."
fi
if [[ -n "${SIGN_TSA_CA:-}" ]]; then
  [[ -n "${SIGN_TIMESTAMP_URL:-}" ]] || fail "SIGN_TSA_CA is the roots a timestamp must lead to, but SIGN_TIMESTAMP_URL is not set."
  holds_pem_certificate "$SIGN_TSA_CA" || fail "SIGN_TSA_CA ($SIGN_TSA_CA) holds no PEM certificate."
  authenticode_tsa_roots=$SIGN_TSA_CA
fi

bash "$scripts/setup.sh" release || fail "the tools it needs could not be installed (scripts/setup.sh release)."

# Everything is made elsewhere first and moved into dist/ only when complete.
work=$(mktemp -d "${TMPDIR:-/tmp}/release.XXXXXX")
TEMP_DIRS+=("$work")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir "$stage" "$work/build" "$work/check" "$work/signer"

# Checked before anything is built, from public halves only, so that what is
# said about an unusable key never quotes the key.
[[ $SIGNING_KIND == none ]] || signing_check "$work/signer" || fail "$SIGNING_ERROR"
build_program_afresh "$work/build" || fail "the program could not be built."
if [[ $SIGNING_KIND != none ]]; then
  signing_sign "$BUILT_PROGRAM" "$stage/$program_name" || fail "$SIGNING_ERROR"
  check_signed_build "$stage/$program_name" "$BUILT_PROGRAM" "$work/check" ||
    fail "the signed program fails the check that verify-release.sh makes: $AUTHENTICODE_REASON"
  if [[ -n "${SIGN_TIMESTAMP_URL:-}" && -z "$AUTHENTICODE_TIMESTAMP" ]]; then
    fail "the signed program carries no timestamp, though SIGN_TIMESTAMP_URL ($SIGN_TIMESTAMP_URL) asked for one."
  fi
  if [[ -n "${SIGN_CA:-}" ]]; then
    check_chain "$stage/$program_name" "$SIGN_CA" "$work/check" ||
      fail "SIGN_CA: $AUTHENTICODE_REASON. Add the missing certificate to ${SIGN_CERT:+SIGN_CERT}${SIGN_PKCS12:+SIGN_PKCS12}."
  fi
else
  cp -p "$BUILT_PROGRAM" "$stage/$program_name"
fi
write_build_info "$stage/BUILDINFO" && (cd "$stage" && sha256sum "$program_name" BUILDINFO >SHA256SUMS) ||
  fail "BUILDINFO or SHA256SUMS could not be written."

# All three or none: no signal may cut the moves short.
ignore_signals
foreign=$(foreign_files)
[[ -z "$foreign" ]] || fail "files that a release does not make appeared in it while it was made: $foreign. Move them away and run it again."
mkdir -p "$dist"
for name in "${release_files[@]}"; do
  mv "$stage/$name" "$dist/$name"
done

echo "Released: $dist/$program_name (built from $(describe_build))"
echo "Build record: $dist/BUILDINFO"
echo "Checksums: $dist/SHA256SUMS"
echo "SHA-256: $(sha256sum "$dist/$program_name" | cut -d' ' -f1)"
if [[ $SIGNING_KIND != none ]]; then
  echo "Signed with Authenticode (SHA-256) by: $SIGNING_SUBJECT${SIGN_TIMESTAMP_URL:+, timestamped}"
  echo "    It is the build plus one intact signature${SIGN_CA:+, and its chain $AUTHENTICODE_CHAIN in $SIGN_CA}."
else
  echo "Not signed: SIGN_CERT and SIGN_KEY, or SIGN_PKCS12, are not set."
fi
