#!/usr/bin/env bash
# Builds the uninstaller afresh from the committed tree and releases it into
# dist/, signed if a key is given (release_tools/release.py). `--help` says how.
set -euo pipefail
source "$(dirname "$0")/release_tool.sh"
release_tool release "release.sh: cannot release:" "$@"
