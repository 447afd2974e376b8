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

# windows-x64-wine: the same source built 64-bit, whose Wine tests run only
# where the machine cannot run the 32-bit product's (see tests/wine/lib.sh).
for preset in linux linux-sanitize windows-x86 windows-x64-wine; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset" -j2
done
run ctest --preset linux
run ctest --preset linux-sanitize
run ctest --preset windows-x86
run ctest --preset windows-x64-wine
run bash fuzz/run.sh

if [ "$failed" -ne 0 ]; then
  echo "$failed step(s) failed"
  exit 1
fi
echo "all test steps passed"
