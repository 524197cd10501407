#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy checks over the library,
# the tool and the Python module's sources. Exits non-zero on any finding.
#   bash scripts/tidy.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tidy}
COLORCAL_WITH_TIDY=1 bash scripts/deps.sh
# Configuring is enough: clang-tidy reads the compile commands, and the
# headers CMake generates are written at configure time.
cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCOLORCAL_TESTS=OFF \
  -DCOLORCAL_BENCH=OFF -DCOLORCAL_FUZZ=OFF -DCOLORCAL_SANITIZE=OFF >/dev/null
files=$(git ls-files 'Base/*.cpp' 'DataLayer/*.cpp' 'tools/*.cpp' 'python/src/*.cpp')
log=$dir/clang-tidy.log
# One file per clang-tidy process, as many at once as there are cores.
if ! printf '%s\n' $files | xargs -P "$(nproc)" -n 1 \
     clang-tidy -p "$dir" --quiet --warnings-as-errors='*' >"$log" 2>&1; then
  grep -E 'warning:|error:' "$log" | sort -u
  echo "clang-tidy: findings above (full output in $log)"
  exit 1
fi
echo "clang-tidy: no findings in $(printf '%s\n' $files | wc -l) files"
