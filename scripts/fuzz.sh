#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time, starting from its seed corpus
# in fuzz/corpus/<target> and the corpus kept in build-fuzz/corpus/<target>.
# Prints one table at the end (target, executions per second, libFuzzer's
# coverage `cov:` and features `ft:`) and exits non-zero on any finding: a
# crash, a sanitizer report, a leak, an input slower than the timeout, or a
# target that did not run.
#   bash scripts/fuzz.sh [seconds-per-target]
#
# Targets run FUZZ_JOBS at a time (default: one per core); FUZZ_TARGETS (names
# separated by spaces) runs only those. With FUZZ_DEADLINE set (CI sets 480,
# its stage's 8 minutes) the whole call, build included, is held within that
# many seconds: when the requested seconds per target do not fit in what the
# build left, each target gets that time divided by the number of rounds (at
# least 10 s), and the script says so. With 11 targets on 2 cores that is 6
# rounds: 60 s each fits after a build of up to about 100 s, an incremental
# build; a build from scratch leaves each target less.
#
# A long local run, an hour per target (six hours on two cores), resuming
# from the corpus the previous runs kept:
#   bash scripts/fuzz.sh 3600
# The table's `cov0` is the coverage of the corpus the run started from,
# `cov` the coverage when it ended.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
deadline=${FUZZ_DEADLINE:-0}
start=$SECONDS
COLORCAL_WITH_CLANG=1 bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCOLORCAL_FUZZ=ON -DCOLORCAL_SANITIZE=ON -DCOLORCAL_TESTS=OFF -DCOLORCAL_BENCH=OFF \
  -DCOLORCAL_PYTHON=OFF -DCOLORCAL_TOOLS=ON -DCOLORCAL_INSTALL=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target colorcal_fuzzers

targets=()
while read -r name; do
  [[ -n $name ]] || continue
  [[ -z ${FUZZ_TARGETS:-} || " $FUZZ_TARGETS " == *" $name "* ]] || continue
  targets+=("build-fuzz/fuzz/$name")
done <build-fuzz/fuzz/targets.txt
(( ${#targets[@]} > 0 )) || { echo "no fuzz targets built"; exit 1; }
rounds=$(( (${#targets[@]} + jobs - 1) / jobs ))
# What the build left, less a few seconds per round for start-up and the final merge.
available=$(( deadline - (SECONDS - start) - 5 * rounds ))
if (( deadline > 0 && seconds * rounds > available )); then
  seconds=$(( available / rounds ))
  (( seconds >= 10 )) || seconds=10
  echo "note: ${#targets[@]} targets, $jobs at a time, within ${deadline} s: ${seconds} s each"
fi

# Runs one target; its log is build-fuzz/<name>.log, its exit status
# build-fuzz/<name>.status.
run_target() {
  local target=$1 name
  name=$(basename "$target")
  local corpus=build-fuzz/corpus/$name seeds=fuzz/corpus/$name
  mkdir -p "$corpus"
  [[ -d $seeds ]] || seeds=
  local status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$target" -max_total_time="$seconds" -rss_limit_mb=3072 -timeout=30 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/"$name"- "$corpus" $seeds >build-fuzz/"$name".log 2>&1 || status=$?
  echo "$status" >build-fuzz/"$name".status
}

echo "== fuzzing ${#targets[@]} targets, ${seconds} s each, $jobs at a time =="
running=0
for target in "${targets[@]}"; do
  rm -f build-fuzz/"$(basename "$target")".status
  if (( running >= jobs )); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait || true

status=0
table=$(printf '%-24s %10s %10s %8s %8s %8s  %s\n' target exec/s runs cov0 cov ft result)
for target in "${targets[@]}"; do
  name=$(basename "$target")
  log=build-fuzz/$name.log
  code=$(cat build-fuzz/"$name".status 2>/dev/null || echo missing)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  cov0=$(grep -o 'INITED cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  result=ok
  if [[ $code != 0 ]]; then
    result="FINDING (exit $code, see $log)"
    echo "== FINDING in $name =="
    tail -60 "$log"
    status=1
  fi
  table+=$'\n'$(printf '%-24s %10s %10s %8s %8s %8s  %s' "$name" "${rate:--}" "${runs:--}" \
    "${cov0:--}" "${cov:--}" "${ft:--}" "$result")
done
echo "$table"
exit $status
