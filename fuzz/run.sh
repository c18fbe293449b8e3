#!/usr/bin/env bash
# Long fuzzing runs with libFuzzer. Configures a clang build with coverage, AddressSanitizer and
# UBSan in BUILD (default: build-fuzz), builds the fuzz targets, and runs each for SECONDS of wall
# time (one core each, so about as much CPU time), JOBS targets at a time.
#
#   fuzz/run.sh [-t SECONDS] [-c CPU_SECONDS] [-j JOBS] [-b BUILD] [-m] [target ...]
#     -t  time per target (default 660)       -j  targets at once (default 2)
#     -c  run each target again until its runs have used this much CPU time (default: one run)
#     -b  build directory (default build-fuzz) -m  also write a minimised corpus per target
#     targets default to all of fuzz/fuzz_*.cpp
#
# Each target works in BUILD/fuzz-work/<target>/: corpus/ (grows; starts from fuzz/corpus/<target>
# and fuzz/regressions/<target>, and a later run goes on from where the last one stopped),
# artifacts/ (crashing inputs), log-<time> per run (libFuzzer output, the final stat:: lines and
# the CPU time), min/ (with -m, and merge-log). A crash found here becomes a regression: copy
# the artifact into fuzz/regressions/<target>/ and fix the fault; the corpus replay tests then run
# it in every build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=660
jobs=2
build="$root/build-fuzz"
minimise=0
cpu_budget=0
while getopts "t:c:j:b:m" opt; do
  case $opt in
    t) secs=$OPTARG ;;
    c) cpu_budget=$OPTARG; secs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) build=$(realpath -m "$OPTARG") ;;
    m) minimise=1 ;;
    *) sed -n '2,19p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

# The code under test gets coverage instrumentation (fuzzer-no-link) everywhere; only the fuzz
# targets themselves link libFuzzer. NV_SANITIZE adds ASan and UBSan (UBSan findings abort).
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_FUZZ=ON -DNV_SANITIZE=ON -DNV_TEST_PATHS=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" nv_sample_module

run_one() {
  local t=$1 work="$build/fuzz-work/$1"
  mkdir -p "$work/corpus" "$work/artifacts"
  local seeds=("$root/fuzz/corpus/$t")
  [ -d "$root/fuzz/regressions/$t" ] && seeds+=("$root/fuzz/regressions/$t")
  local maxlen=8192
  [ "$t" = fuzz_credentials ] && maxlen=16400
  # With -c the target runs again (going on from its corpus) until the CPU time of its runs adds up
  # to the budget: on a busy machine wall time says little.
  local spent=0 left=$secs log used
  while :; do
    log="$work/log-$(date +%Y%m%dT%H%M%S)"
    {
      echo "== $t: $left s, started $(date -Is)"
      TIMEFORMAT="cpu: user %U s, sys %S s, wall %R s"
      time "$build/fuzz/$t" -max_total_time="$left" -timeout=30 -rss_limit_mb=4096 -max_len="$maxlen" \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "${seeds[@]}" || echo "== exit status $?"
    } >"$log" 2>&1
    summary "$t" "$log"
    used=$(sed -n 's/^cpu: user \([0-9]*\)[.0-9]* s, sys \([0-9]*\)[.0-9]* s.*/\1 \2/p' "$log" | awk '{print $1 + $2}')
    spent=$((spent + ${used:-0}))
    [ "$cpu_budget" -gt 0 ] || break
    grep -q '^== exit status' "$log" && break  # a finding: look at it before fuzzing on
    [ "$spent" -lt "$cpu_budget" ] || break
    left=$((cpu_budget - spent))
    [ "$left" -ge 30 ] || left=30
  done
  [ "$cpu_budget" -gt 0 ] && echo "$t: $spent s of CPU time in this invocation"
  if [ "$minimise" = 1 ]; then
    rm -rf "$work/min" && mkdir -p "$work/min"
    "$build/fuzz/$t" -merge=1 -max_len="$maxlen" "$work/min" "$work/corpus" "${seeds[@]}" >"$work/merge-log" 2>&1
  fi
}

summary() {
  local t=$1 log=$2 work="$build/fuzz-work/$1"
  local last execs crashes
  # The fuzzing run's own last status line (a merge with -m prints more after it).
  last=$(grep -m1 -E '^#[0-9]+.*DONE.*cov:' "$log" || true)
  execs=$(grep -m1 -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  crashes=$(find "$work/artifacts" -type f | wc -l)
  echo "$t: executions ${execs:-?}, status: ${last:-none}; artifacts: $crashes; $(grep '^cpu:' "$log" || true)"
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
