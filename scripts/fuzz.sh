#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time. Exits non-zero on any finding.
#   bash scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
COLORCAL_WITH_CLANG=1 bash scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCOLORCAL_FUZZ=ON -DCOLORCAL_SANITIZE=ON -DCOLORCAL_TESTS=OFF -DCOLORCAL_BENCH=OFF \
  -DCOLORCAL_TOOLS=ON -DCOLORCAL_INSTALL=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"

status=0
for target in build-fuzz/fuzz/*Fuzzer; do
  name=$(basename "$target")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  seeds=fuzz/corpus/$name
  [[ -d $seeds ]] || seeds=
  echo "== $name: ${seconds} s =="
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$target" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=120 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/"$name"- "$corpus" $seeds 2>build-fuzz/"$name".log; then
    echo "FINDING in $name:"; tail -60 build-fuzz/"$name".log
    status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' build-fuzz/"$name".log | tail -2
  fi
done
exit $status
