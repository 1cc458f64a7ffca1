#!/usr/bin/env bash
# Runs every test: the unit tests on the host (plain and under ASan/UBSan),
# then the checks of the Windows program itself and its runs under Wine. Tests
# run side by side, one a core; the Wine scenarios take turns in their prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

log=build/test-summary.log
mkdir -p build
: >"$log"
for preset in host host-sanitize windows; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
  ctest --preset "$preset" -j"$(nproc)" 2>&1 | tee -a "$log" || failed=1
done

passed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log" || true)
total=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+:' "$log" || true)
echo "$passed passed, $((total - passed)) failed"
exit "${failed:-0}"
