#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the given purpose needs and this
# machine lacks; installs nothing when all is there. Needs root.
# Usage: setup.sh build|release|test|demo
set -euo pipefail

build=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
release=(git openssl ca-certificates osslsigncode libengine-pkcs11-openssl python3 python3-pefile python3-asn1crypto python3-cryptography)
tests=(g++ libgtest-dev libgmock-dev wine wine64 xvfb softhsm2 python3-pytest "${release[@]}")
demo=(imagemagick fonts-wine)

case "${1:-}" in
  build) wanted=("${build[@]}") ;;
  release) wanted=("${build[@]}" "${release[@]}") ;;
  test) wanted=("${build[@]}" "${tests[@]}") ;;
  demo) wanted=("${build[@]}" "${tests[@]}" "${demo[@]}") ;;
  *) echo "usage: $0 build|release|test|demo" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
