#!/usr/bin/env bash
# Builds the uninstaller afresh from the committed tree (scripts/fresh_build.sh)
# and releases it into dist/: the program, BUILDINFO (the commit, whether the
# checkout had uncommitted changes, which are not in the release, and the
# versions of the tools that make the bytes) and SHA256SUMS over both (for
# `sha256sum -c`); and prints where they are and the program's digest.
#
# Signing is optional. With SIGN_CERT and SIGN_KEY naming a PEM certificate
# (the signer's first, then any intermediates) and its PEM private key, the
# program is signed with Authenticode (SHA-256) and the checksum covers the
# signed file. Also read, when set:
#   SIGN_PASS_FILE      a file whose content is the key's password
#   SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server, so that the signature
#                       outlives the certificate
#   DIST_DIR            where to release (default: the checkout's dist/)
# Paths are taken relative to the directory the command is started from.
# The key and its password are read by openssl and osslsigncode alone: they
# are never printed, and never copied anywhere.
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
source "$scripts/fresh_build.sh"

program_name=SorrelvaneUninstall.exe
dist=$(realpath -m -- "${DIST_DIR:-$project_root/dist}")

fail() { printf 'release.sh: %s\nNothing was released: %s holds no program or checksums.\n' "$1" "$dist" >&2; exit 1; }

bash "$scripts/setup.sh" release

# A failed run must not leave an earlier release behind to be taken for this one.
mkdir -p "$dist"
rm -f "$dist/$program_name" "$dist/BUILDINFO" "$dist/SHA256SUMS"

signing=no
if [[ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]]; then
  [[ -n "${SIGN_CERT:-}" && -n "${SIGN_KEY:-}" ]] || fail "SIGN_CERT and SIGN_KEY go together; only one is set."
  [[ -r "$SIGN_CERT" ]] || fail "SIGN_CERT ($SIGN_CERT) cannot be read."
  [[ -r "$SIGN_KEY" ]] || fail "SIGN_KEY ($SIGN_KEY) cannot be read."
  passin=() readpass=()
  if [[ -n "${SIGN_PASS_FILE:-}" ]]; then
    [[ -r "$SIGN_PASS_FILE" ]] || fail "SIGN_PASS_FILE ($SIGN_PASS_FILE) cannot be read."
    passin=(-passin "file:$SIGN_PASS_FILE") readpass=(-readpass "$SIGN_PASS_FILE")
  fi
  # Checked before anything is built, from public halves only, so that what is
  # said about an unusable key never quotes the key.
  cert_public=$(openssl x509 -in "$SIGN_CERT" -noout -pubkey 2>/dev/null) ||
    fail "SIGN_CERT ($SIGN_CERT) does not begin with a PEM certificate."
  key_public=$(openssl pkey -in "$SIGN_KEY" "${passin[@]}" -pubout </dev/null 2>/dev/null) ||
    fail "SIGN_KEY ($SIGN_KEY) is not a PEM private key that can be read (wrong or missing SIGN_PASS_FILE?)."
  [[ "$cert_public" == "$key_public" ]] ||
    fail "SIGN_KEY ($SIGN_KEY) is not the key of the certificate in SIGN_CERT ($SIGN_CERT)."
  signer=$(openssl x509 -in "$SIGN_CERT" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
  signing=yes
fi

# Everything is made elsewhere first and moved into dist/ only when complete.
work=$(mktemp -d "${TMPDIR:-/tmp}/release.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir "$stage" "$work/build"
build_program_afresh "$work/build" || fail "the program could not be built."
if [[ $signing == yes ]]; then
  timestamp=()
  [[ -n "${SIGN_TIMESTAMP_URL:-}" ]] && timestamp=(-ts "$SIGN_TIMESTAMP_URL")
  if ! osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" "${readpass[@]}" -h sha256 \
      -n "Sorrelvane Screensaver uninstaller" "${timestamp[@]}" \
      -in "$BUILT_PROGRAM" -out "$stage/$program_name" </dev/null >"$stage/sign.log" 2>&1; then
    fail "osslsigncode could not sign the program: $(grep -v '^[0-9A-F]*:error:' "$stage/sign.log" | tr '\n' ' ')"
  fi
else
  cp "$BUILT_PROGRAM" "$stage/$program_name"
fi
write_build_info "$stage/BUILDINFO"
(cd "$stage" && sha256sum "$program_name" BUILDINFO >SHA256SUMS)

for name in "$program_name" BUILDINFO SHA256SUMS; do
  mv "$stage/$name" "$dist/$name"
done

echo "Released: $dist/$program_name (built from $(describe_build))"
echo "Build record: $dist/BUILDINFO"
echo "Checksums: $dist/SHA256SUMS"
echo "SHA-256: $(sha256sum "$dist/$program_name" | cut -d' ' -f1)"
if [[ $signing == yes ]]; then
  echo "Signed with Authenticode (SHA-256) by: $signer${timestamp:+, timestamped}"
else
  echo "Not signed: SIGN_CERT and SIGN_KEY are not set."
fi
