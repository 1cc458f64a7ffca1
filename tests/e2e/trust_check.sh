#!/usr/bin/env bash
# A second opinion on the signed shapes that the release's verifier accepts:
# Windows' own Authenticode check (WinVerifyTrust, as Wine carries it out),
# asked in the end-to-end tests' prefix through trust_check.exe.
# Usage: trust_check.sh STATE_DIR TRUST_CHECK_EXE SIGNERS_WORK_DIR
#
# SIGNERS_WORK_DIR is where test_signers.py left its throwaway PKI (pki/) and
# the files it signed (signers/).
set -uo pipefail

E2E_STATE=$1 CHECKER=$2 SIGNERS=$3
# shellcheck source=wine_session.sh
source "$(dirname "$0")/wine_session.sh"

WORK="$E2E_STATE/windows_trusts_what_the_verifier_accepts"
SIGNED="$SIGNERS/signers"
declare -A ROOTS=([pki]="$SIGNERS/pki/root.pem" [sha1-root]="$SIGNED/sha1-root/root.pem")

# FILE (under SIGNED, or here/ for one made below), the root it leads to,
# what WinVerifyTrust answers, and why.
#
# Wine checks only the image digest and the signer's signature over the
# signed attributes. It does not refuse an untrusted or unknown root, does not
# read the timestamp, the page hashes or the attribute sets, and accepts a
# file digest under another algorithm than the signer's: the verifier's
# forgeries of those (forged-*.exe, *-other.exe, page-hash-wrong.exe) are not
# asked here, as Wine would accept them. It fails every ECDSA signer with
# TRUST_E_CERT_SIGNATURE (0x80096004), a genuine one too, the answer it gives
# a broken signature: neither p384/signed.exe nor p384-flipped.exe would tell
# anything, and neither is asked.
EXPECTATIONS=(
  "plain.exe                    pki        0x00000000  osslsigncode, untimestamped: the shape the others are made from"
  "signtool.exe                 pki        0x00000000  signtool's attribute set, the empty file link, the signer last"
  "jsign.exe                    pki        0x00000000  jsign's attribute set with a program name and a URL"
  "openssl-based.exe            pki        0x00000000  OpenSSL's S/MIME capabilities beside a signing time"
  "bouncycastle.exe             pki        0x00000000  CMSAlgorithmProtection among the signed attributes"
  "unpadded-length.exe          pki        0x00000000  dwLength leaving out the padding to eight bytes"
  "sha384.exe                   pki        0x00000000  SHA-384 throughout"
  "sha512.exe                   pki        0x00000000  SHA-512 throughout"
  "page-hashes.exe              pki        0x00000000  page hashes beside the image digest"
  "osslsigncode-2.5.exe         pki        0x00000000  Debian 12's osslsigncode: the signer's certificate first"
  "sha1-root/signed.exe         sha1-root  0x00000000  a chain to a root whose self-signature is SHA-1"
  "token-v1.exe                 pki        0x00000000  a timestamp token naming its authority by ESSCertID v1"
  "countersigned.exe            pki        0x00000000  a legacy countersignature, its signer's certificate carried"
  "token-attribute-certificate-AttributeCertificate.exe pki 0x00000000  a token carrying an attribute certificate"
  "here/code-byte-flipped.exe   pki        0x80096010  TRUST_E_BAD_DIGEST: one byte of .text changed after signing"
  "here/signature-flipped.exe   pki        0x80096004  TRUST_E_CERT_SIGNATURE: one byte of the signer's signature value changed"
)

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

path_of() { # FILE of the table
  case $1 in
    here/*) printf '%s' "$WORK/${1#here/}" ;;
    *) printf '%s' "$SIGNED/$1" ;;
  esac
}

# The two changed copies of plain.exe: one byte of code, whose image digest
# then no longer matches, and one byte of the signature value alone, with
# nothing recomputed, so that only the signer's signature can catch it.
make_flipped_copies() {
  timeout 60 /usr/bin/python3 - "$SIGNED/plain.exe" "$WORK" <<'EOF'
import sys
from pathlib import Path

import pefile
from asn1crypto import cms

plain, work = Path(sys.argv[1]), Path(sys.argv[2])
data = plain.read_bytes()
pe = pefile.PE(data=data, fast_load=True)


def flipped(offset):
    changed = bytearray(data)
    changed[offset] ^= 0x01
    return bytes(changed)


text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
(work / "code-byte-flipped.exe").write_bytes(flipped(text.PointerToRawData + text.SizeOfRawData // 2))

table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
blob = data[table.VirtualAddress + 8:table.VirtualAddress + table.Size]
value = cms.ContentInfo.load(blob, strict=False)["content"]["signer_infos"][0]["signature"].native
assert blob.count(value) == 1, "the signature value is not found once in the certificate table"
at = table.VirtualAddress + 8 + blob.index(value)
(work / "signature-flipped.exe").write_bytes(flipped(at + len(value) // 2))
EOF
}

# Asks trust_check.exe about every FILE of the table that leads to ROOT.
check_under_root() { # ROOT
  local root=$1 row file key expected why windows
  local -a files=()
  timeout 30 openssl x509 -in "${ROOTS[$root]}" -outform DER -out "$WORK/$root.der" ||
    { fail "cannot convert ${ROOTS[$root]} to DER"; return; }
  for row in "${EXPECTATIONS[@]}"; do
    read -r file key expected why <<<"$row"
    [[ $key == "$root" ]] && files+=("$(windows_path "$(path_of "$file")")")
  done
  local out="$WORK/answers-$root"
  (cd "$WINEPREFIX/drive_c" &&
    timeout 60 wine "$CHECKER" "$(windows_path "$WORK/$root.der")" "${files[@]}" >"$out" 2>"$out.err")
  local status=$?
  ((status == 0)) || fail "trust_check.exe under the $root root ended with $status: $(tr -d '\r' <"$out.err")"
  local result
  while read -r result windows; do
    GOT[$windows]=$result
  done < <(tr -d '\r' <"$out")
}

declare -A GOT
rm -rf "$WORK" && mkdir -p "$WORK"
use_virtual_display || exit 1
make_flipped_copies || fail "cannot make the changed copies of plain.exe"
for root in "${!ROOTS[@]}"; do check_under_root "$root"; done

for row in "${EXPECTATIONS[@]}"; do
  read -r file key expected why <<<"$row"
  got=${GOT[$(windows_path "$(path_of "$file")")]:-no answer}
  [[ $got == "$expected" ]] || fail "$file ($why): expected $expected, got $got"
done

if ((failures > 0)); then
  echo "windows_trusts_what_the_verifier_accepts: $failures check(s) failed; files in $WORK"
  exit 1
fi
echo "ok: windows_trusts_what_the_verifier_accepts (${#EXPECTATIONS[@]} files)"
