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
wine_preset=windows-x86
if ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "== this machine cannot run 32-bit programs: the Wine tests run from windows-x64-wine"
  presets="$presets windows-x64-wine"
  wine_preset=windows-x64-wine
fi
build() {  # PRESET
  run cmake --preset "$1" >/dev/null
  run cmake --build --preset "$1" -j2
}

# The Wine tests spend most of their time in the tool's own waits (a
# service's stop is polled every 10 s) and keep about one core busy, and
# they take longest: their build comes first, and the other builds and
# tests run beside them, one at a time, on the other core. The unit tests
# run two at a time, so that both cores work once the Wine tests are done.
build "$wine_preset"
wine_log="$here/build/$wine_preset.ctest.log"
echo "== ctest --preset $wine_preset, beside the steps below (its output follows them)"
ctest --preset "$wine_preset" >"$wine_log" 2>&1 &
wine_pid=$!
for preset in $presets; do
  [ "$preset" = "$wine_preset" ] || build "$preset"
done
run ctest --preset linux-sanitize -j 1
run ctest --preset linux -j 2
for preset in $presets; do
  case "$preset" in linux | linux-sanitize | "$wine_preset") continue ;; esac
  run ctest --preset "$preset"
done
# Beside the Wine tests a fuzzer makes about a third of the executions it
# makes alone in the same time: each runs 90 s instead of 60, which the
# Wine tests, the longest step, leave room for.
run bash fuzz/run.sh 90
wait "$wine_pid"
wine_status=$?
echo "== ctest --preset $wine_preset"
cat "$wine_log"
[ "$wine_status" -eq 0 ] || { echo "!! failed: ctest --preset $wine_preset"; failed=$((failed + 1)); }

if [ "$failed" -ne 0 ]; then
  echo "$failed step(s) failed"
  exit 1
fi
echo "all test steps passed"
