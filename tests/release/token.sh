# Sourced by the release tests. A SoftHSM2 token standing in for a publisher's
# hardware token, so that signing through PKCS#11 is tested without one.
#
#   token_make DIR KEY PIN_FILE
#     makes a token in DIR (its own configuration and token folder, never the
#     system's) whose user PIN is PIN_FILE's first line, and imports the PEM
#     private key KEY into it (if KEY is encrypted, its password is the PIN);
#     the certificates stay outside, in SIGN_CERT, as signing takes them. Exports SOFTHSM2_CONF so that whatever runs
#     next finds this token, and sets and prints (one a line) TOKEN_URI, the
#     key's pkcs11: URI, and TOKEN_MODULE, the PKCS#11 module's path.
#     PIN_FILE is read once, so it may be a pipe.

# softhsm2-util takes a PIN either on its command line, where ps shows it, or
# typed on a terminal; it gets a pseudo-terminal here, fed from a pipe. The
# terminal echoes what it is fed before the tool turns echo off, so all that
# is said there goes nowhere. The tool asks for each PIN twice.
token_util() { # PIN_LINES SOFTHSM2-UTIL-ARGUMENTS...
  local lines=$1
  shift
  printf '%s\n' "$lines" | timeout 20 script -qec "softhsm2-util $*" /dev/null >/dev/null 2>&1
}

token_make() { # DIR KEY PIN_FILE
  local dir key=$2 pin so_pin module
  dir=$(realpath -m "$1")
  IFS= read -r pin <"$3" || [[ -n "$pin" ]] || { echo "token_make: $3 holds no PIN" >&2; return 1; }
  module=$(dpkg -L libsofthsm2 2>/dev/null | grep -m1 '/libsofthsm2\.so$') ||
    { echo "token_make: SoftHSM2's PKCS#11 module is not installed (package libsofthsm2)" >&2; return 1; }
  rm -rf "$dir" && mkdir -p "$dir/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" >"$dir/softhsm2.conf"
  export SOFTHSM2_CONF="$dir/softhsm2.conf"
  so_pin=$(openssl rand -hex 16)
  token_util "$so_pin"$'\n'"$so_pin"$'\n'"$pin"$'\n'"$pin" --init-token --free --label sorrelvane-test ||
    { echo "token_make: could not make the token in $dir" >&2; return 1; }
  # softhsm2-util imports PKCS#8 only, and would take an encrypted key's
  # password on its command line: the key reaches it decrypted, through a pipe.
  token_util "$pin"$'\n'"$pin" --import /dev/fd/7 --token sorrelvane-test --label signer --id 01 \
    7< <(openssl pkey -in "$key" -passin fd:8 8< <(printf '%s\n' "$pin") </dev/null 2>/dev/null) ||
    { echo "token_make: could not import $key into the token" >&2; return 1; }
  TOKEN_URI="pkcs11:token=sorrelvane-test;object=signer;type=private"
  TOKEN_MODULE=$module
  printf '%s\n%s\n' "$TOKEN_URI" "$TOKEN_MODULE"
}
