#!/usr/bin/env bash
# Proves that a released program is exactly what this source builds, plus at
# most one intact signature (release_tools/verify.py). `--help` says how.
set -euo pipefail
source "$(dirname "$0")/release_tool.sh"
release_tool verify "verify-release.sh: cannot check:" "$@"
