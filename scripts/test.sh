#!/usr/bin/env bash
# Sets up what is needed, builds both products and runs every test: the unit
# tests, the same under AddressSanitizer and UBSan, the end-to-end tests
# of qlpatch.exe under Wine, the checks of the shipped file (version
# resource, manifest, reproducible build, signing) and of the fleet wrappers.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/setup.sh || { echo "setup failed" >&2; exit 1; }

failed=0
run() {
  echo "== $*"
  "$@" || { echo "!! failed: $*"; failed=$((failed + 1)); }
}

# The Wine tests run from the 32-bit product where this machine runs 32-bit
# programs; elsewhere they are skipped there and run from windows-x64-wine,
# the same source built 64-bit for Wine's 64-bit side (see tests/wine/lib.sh),
# which is then the only build made for them.
presets="linux linux-sanitize windows-x86"
if ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "== this machine cannot run 32-bit programs: the Wine tests run from windows-x64-wine"
  presets="$presets windows-x64-wine"
fi
for preset in $presets; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset" -j2
done
for preset in $presets; do
  run ctest --preset "$preset"
done
run bash fuzz/run.sh

if [ "$failed" -ne 0 ]; then
  echo "$failed step(s) failed"
  exit 1
fi
echo "all test steps passed"
