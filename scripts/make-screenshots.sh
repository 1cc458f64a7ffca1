#!/usr/bin/env bash
# Remakes the README's pictures of both boxes, on a virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."
env -u DISPLAY bash scripts/demo.sh --screenshot docs/scheduled-box.png
env -u DISPLAY bash scripts/demo.sh --refuse --screenshot docs/refused-box.png
