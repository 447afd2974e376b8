#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a bounded time, starting from the seed corpus in fuzz/corpus/.
#   bash fuzz/run.sh [SECONDS_PER_TARGET]     (default 60, or $FUZZ_SECONDS)
# Prints the executions per target; exits non-zero on any crash, leak,
# time-out or sanitizer report, and shows the report. A failing input is
# kept in build/fuzz/artifacts/.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
build="$here/build/fuzz"

cmake -S "$here/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >/dev/null || { echo "fuzz: configure failed" >&2; exit 1; }
cmake --build "$build" -j2 >/dev/null || { cmake --build "$build" -j1 2>&1 | tail -n 40; exit 1; }

# The targets run side by side, one to a core; each is then checked.
fuzz_one() {  # TARGET: runs it, leaving its exit code in $build/TARGET.rc
  local target=$1 corpus artifacts
  # The run grows a corpus of its own; the committed seeds stay as they are.
  corpus=$(mktemp -d)
  cp "$here/fuzz/corpus/$target/"* "$corpus/"
  artifacts="$build/artifacts/$target"
  rm -rf "$artifacts"
  mkdir -p "$artifacts"
  "$build/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -max_len=4096 -artifact_prefix="$artifacts/" "$corpus" >"$build/$target.log" 2>&1
  echo $? >"$build/$target.rc"
  rm -rf "$corpus"
}

targets="description record"
for target in $targets; do
  rm -f "$build/$target.rc"
  fuzz_one "$target" &
done
wait

status=0
for target in $targets; do
  log="$build/$target.log"
  rc=$(cat "$build/$target.rc" 2>/dev/null || echo none)
  executions=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  echo "fuzz $target: ${executions:-0} executions in ${seconds} s, exit code $rc"
  if [ "$rc" != 0 ] || [ -z "$executions" ] ||
     grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|invariant broken' "$log"; then
    echo "!! fuzz $target: crash, leak, time-out or sanitizer report (log: $log)"
    grep -vE '^#[0-9]+' "$log" | tail -n 60
    status=1
  fi
done
exit $status
