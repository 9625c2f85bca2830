#!/usr/bin/env bash
# Builds the libFuzzer targets (*_fuzz.cc) with clang, the address and
# undefined-behaviour sanitizers in build/fuzz, and runs each one for
# SECONDS (default 600) from its seed corpus in fuzz/corpus/<target>.
# New inputs go to build/fuzz/corpus/<target>; with --merge, those that
# add coverage are folded into the seed corpus afterwards. Prints the
# inputs tried per target; fails when a target found a crash, a leak, a
# time-out or a memory blow-up (the input is kept in build/fuzz/artifacts).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh [--merge] [SECONDS]"
  echo "  SECONDS  run time of each target (default 600)"
  echo "  --merge  fold new inputs that add coverage into fuzz/corpus/<target>"
}
merge=0
seconds=600
for arg in "$@"; do
  case "$arg" in
    -h|--help) usage; exit 0 ;;
    --merge) merge=1 ;;
    *[!0-9]*|"") echo "fuzz.sh: not a number of seconds: $arg" >&2; usage >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

build=build/fuzz
cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || {
  tail -n 40 "$build/build.log" >&2
  echo "fuzz.sh: build failed (see $build/build.log)" >&2
  exit 1
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/artifacts" "$build/logs"

status=0
total=0
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  program="$build/$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: $target: no such fuzz target" >&2
    status=1
    continue
  fi
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/logs/$target.log"
  rc=0
  "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$seeds" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $target: FAILED after $runs inputs (exit $rc); log $log"
    grep -E "ERROR: |SUMMARY: |runtime error|invariant violated|Test unit written" "$log" | head -n 20 || true
    status=1
  else
    echo "fuzz: $target: $runs inputs in ${seconds} s, no failure"
  fi
  if [ "$merge" = 1 ] && [ "$rc" -eq 0 ]; then
    "$program" -merge=1 -max_len=65536 "$seeds" "$work" >>"$log" 2>&1 ||
      echo "fuzz: $target: merge failed; log $log"
  fi
done
echo "fuzz: $total inputs in all"
exit $status
