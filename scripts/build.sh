#!/usr/bin/env bash
# Builds the uninstaller for 64-bit Windows and prints where it is.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "Built: $(pwd)/build/windows/SorrelvaneUninstall.exe"
