#!/usr/bin/env bash
# scripts/signing.sh with each kind of key a publisher holds (a PEM file, a
# PKCS#11 token, a .pfx) and with a timestamp, against a throwaway PKI
# (root -> intermediate -> signer), a SoftHSM2 token and a local timestamp
# authority: what it signs verifies and strips back to the input, the password
# shows nowhere, nothing prompts, unusable certificates are refused before
# signing, and SIGTERM leaves no child and no temporary folder behind.
# Usage: signing_fixtures_test.sh WORK_DIR PROGRAM
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SIGNING="$HERE/../../scripts/signing.sh"
WORK=$(realpath -m "$1/signing-fixtures") PROGRAM=$(realpath "$2")
rm -rf "$WORK" && mkdir -p "$WORK"
source "$HERE/token.sh"
source "$HERE/timestamp_authority.sh"

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }

# What a release would do, under the same shell options: read the settings,
# check the signer, sign IN into OUT by way of a temporary folder, with the
# signal traps set.
cat >"$WORK/driver.sh" <<'EOF'
set -euo pipefail
source "$1"
echo $$ >"$4.pid"
trap 'signing_on_signal 143' TERM
trap 'signing_on_signal 130' INT
tmp=$(mktemp -d "$2/tmp.XXXXXX") && SIGNING_TEMP_DIRS+=("$tmp")
signing_read_settings && signing_check && signing_sign "$3" "$tmp/signed.exe" ||
  { echo "signing: $SIGNING_ERROR" >&2; rm -rf "$tmp"; exit 1; }
mv "$tmp/signed.exe" "$4" && rm -rf "$tmp"
EOF

# Signs a copy of the program as NAME with the given settings (and no
# others), into $WORK/NAME.exe; all it says goes to $WORK/NAME.log.
sign() { # NAME [VAR=VALUE...]
  local name=$1
  shift
  env -u SIGN_CERT -u SIGN_KEY -u SIGN_PKCS11_MODULE -u SIGN_PKCS12 -u SIGN_PASS_FILE -u SIGN_TIMESTAMP_URL "$@" \
    bash "$WORK/driver.sh" "$SIGNING" "$WORK" "$WORK/input.exe" "$WORK/$name.exe" </dev/null >"$WORK/$name.log" 2>&1
}

# The signed NAME verifies up to the throwaway root, is the input once its
# signature is removed, and keeps the input's execute bits.
check_signed() { # NAME [osslsigncode verify options...]
  local name=$1
  shift
  osslsigncode verify -CAfile "$pki/root.pem" -ignore-crl "$@" -in "$WORK/$name.exe" </dev/null >"$WORK/$name.verify" 2>&1 ||
    fail "$name: osslsigncode verify refuses it: $(grep -iE 'error|fail' "$WORK/$name.verify" | head -n 3)"
  osslsigncode remove-signature -in "$WORK/$name.exe" -out "$WORK/$name.stripped" </dev/null >/dev/null 2>&1 &&
    cmp -s "$WORK/$name.stripped" "$WORK/input.exe" || fail "$name: without its signature it is not the input"
  [[ -x "$WORK/$name.exe" ]] || fail "$name: the signed program lost its execute bits"
}

# Expects NAME to have been refused with a message that names SETTING.
check_refused() { # NAME SETTING
  [[ ! -e "$WORK/$1.exe" ]] || fail "$1: should have been refused, but was signed"
  grep -q "^signing: .*$2" "$WORK/$1.log" || fail "$1: the refusal should name $2: $(cat "$WORK/$1.log")"
}

# The throwaway PKI; the signer's key is encrypted, with the token's PIN as
# its password. Certificates that must be refused come from the same key.
pki="$WORK/pki"
mkdir -p "$pki"
(
  cd "$pki" && set -e
  printf 'throwaway-%s\n' "$(openssl rand -hex 8)" >password
  openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Throwaway Root" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  openssl req -newkey rsa:2048 -nodes -keyout intermediate.key -out intermediate.csr -subj "/CN=Throwaway Intermediate"
  printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign\n' >intermediate.ext
  openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 -extfile intermediate.ext \
    -out intermediate.pem
  openssl req -newkey rsa:2048 -passout file:password -keyout signer.key -out signer.csr -subj "/CN=Sorrelvane Test Publisher"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' >server.ext
  issue() { openssl x509 -req -in signer.csr -CA intermediate.pem -CAkey intermediate.key -CAcreateserial "$@"; }
  issue -days 1 -extfile signer.ext -out signer.pem
  issue -days -1 -extfile signer.ext -out expired.pem
  issue -days 1 -extfile server.ext -out server.pem
  for cert in signer expired server; do cat "$cert.pem" intermediate.pem >"$cert-chain.pem"; done
  openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile intermediate.pem -name signer \
    -passin file:<(cat password) -passout file:<(cat password) -out signer.pfx
) >"$WORK/pki.log" 2>&1 || { fail "could not make the throwaway PKI: $(tail -n 3 "$WORK/pki.log")"; exit 1; }
install -m 755 "$PROGRAM" "$WORK/input.exe"
token_make "$WORK/token" "$pki/signer.key" <(cat "$pki/password") >/dev/null || { fail "could not make the token"; exit 1; }
tsa_start "$WORK/tsa" || { fail "could not start the timestamp authority"; exit 1; }
trap 'tsa_stop "$WORK/tsa"' EXIT

# One signing a kind of key; the password comes through a pipe, read once.
sign pem SIGN_CERT="$pki/signer-chain.pem" SIGN_KEY="$pki/signer.key" SIGN_PASS_FILE=<(cat "$pki/password") &&
  check_signed pem || fail "PEM key: $(cat "$WORK/pem.log")"
sign pkcs11 SIGN_CERT="$pki/signer-chain.pem" SIGN_KEY="$TOKEN_URI" SIGN_PKCS11_MODULE="$TOKEN_MODULE" \
  SIGN_PASS_FILE=<(cat "$pki/password") && check_signed pkcs11 || fail "token: $(cat "$WORK/pkcs11.log")"
sign pfx SIGN_PKCS12="$pki/signer.pfx" SIGN_PASS_FILE=<(cat "$pki/password") &&
  check_signed pfx || fail ".pfx: $(cat "$WORK/pfx.log")"

# Timestamped: the timestamp is checked, against the authority's own root.
sign timestamped SIGN_CERT="$pki/signer-chain.pem" SIGN_KEY="$pki/signer.key" SIGN_PASS_FILE="$pki/password" \
  SIGN_TIMESTAMP_URL="$TSA_URL" && check_signed timestamped -TSA-CAfile "$TSA_ROOT" ||
  fail "timestamped: $(cat "$WORK/timestamped.log")"
grep -q '^Timestamp Server Signature verification: ok' "$WORK/timestamped.verify" ||
  fail "timestamped: osslsigncode does not report the timestamp verified: $(grep -i timestamp "$WORK/timestamped.verify")"
# osslsigncode's verdict passes a timestamp that fails (it then checks the
# signature at the present time), so only its report of the timestamp counts.
osslsigncode verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/root.pem" -ignore-crl -in "$WORK/timestamped.exe" \
  </dev/null 2>&1 | grep -q '^Timestamp Server Signature verification: ok' &&
  fail "timestamped: the timestamp verifies even against a root that did not issue it"

# Refused before signing: an expired certificate, one not for code signing, an
# encrypted key with no password, under a terminal that could have been asked.
sign expired SIGN_CERT="$pki/expired-chain.pem" SIGN_KEY="$pki/signer.key" SIGN_PASS_FILE="$pki/password"
check_refused expired 'SIGN_CERT.*expired'
sign server SIGN_CERT="$pki/server-chain.pem" SIGN_KEY="$pki/signer.key" SIGN_PASS_FILE="$pki/password"
check_refused server 'SIGN_CERT.*code signing'
started=$SECONDS
SIGN_CERT="$pki/signer-chain.pem" SIGN_KEY="$pki/signer.key" timeout 30 \
  script -qec "bash '$WORK/driver.sh' '$SIGNING' '$WORK' '$WORK/input.exe' '$WORK/prompt.exe'" /dev/null \
  </dev/null >"$WORK/prompt.log" 2>&1
((SECONDS - started <= 5)) || fail "without SIGN_PASS_FILE under a terminal, it took $((SECONDS - started)) s to give up"
sed -i 's/\r$//' "$WORK/prompt.log"
check_refused prompt SIGN_PASS_FILE

# The password shows nowhere: not in anything said, not in what was signed.
! grep -qF -f <(cat "$pki/password") "$WORK"/*.log "$WORK"/*.exe || fail "the password shows in the output or a signed file"

# SIGTERM while osslsigncode waits on a timestamp authority that never answers:
# the signer ends, with osslsigncode and its temporary folder.
running() { # NEEDLE: prints the PIDs of processes whose command line holds it
  local f args
  for f in /proc/[0-9]*/cmdline; do
    mapfile -d '' args 2>/dev/null <"$f" || continue
    [[ "${args[*]}" == *"$1"* ]] && basename "$(dirname "$f")"
  done
}
/usr/bin/python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1])); time.sleep(30)' "$WORK/silent.port" </dev/null &
silent=$!
trap 'tsa_stop "$WORK/tsa"; kill $silent 2>/dev/null' EXIT
for _ in {1..100}; do [[ -s "$WORK/silent.port" ]] && break; sleep 0.05; done
sign sigterm SIGN_CERT="$pki/signer-chain.pem" SIGN_KEY="$pki/signer.key" SIGN_PASS_FILE="$pki/password" \
  SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$WORK/silent.port")" &
signer=$!
for _ in {1..200}; do [[ -n "$(running "$WORK/tmp.")" ]] && break; sleep 0.05; done
[[ -n "$(running "$WORK/tmp.")" ]] || fail "SIGTERM: osslsigncode never started: $(cat "$WORK/sigterm.log")"
for pid in $(running "$WORK/tmp."); do
  ! grep -qaF -f <(cat "$pki/password") "/proc/$pid/cmdline" || fail "the password is on osslsigncode's command line"
done
sleep 0.5
started=$SECONDS
kill -TERM "$(cat "$WORK/sigterm.exe.pid")"
wait "$signer"
status=$?
((SECONDS - started <= 3)) || fail "SIGTERM: the signer took $((SECONDS - started)) s to end"
((status == 143)) || fail "SIGTERM: the signer exited $status, not 143: $(cat "$WORK/sigterm.log")"
[[ -z "$(running "$WORK/tmp.")" ]] || fail "SIGTERM: still running: $(running "$WORK/tmp.")"
[[ -z "$(compgen -G "$WORK/tmp.*")" ]] || fail "SIGTERM: the temporary folder is left: $(compgen -G "$WORK/tmp.*")"

if ((failures > 0)); then
  echo "signing fixtures: $failures check(s) failed; files in $WORK"
  exit 1
fi
echo "ok: signing with a PEM key, a token and a .pfx, timestamped, refusals, SIGTERM"
