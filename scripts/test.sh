#!/usr/bin/env bash
# Installs what is missing, builds everything (library, tools, Python module,
# tests, benchmarks) and runs the whole test suite (the Python module's
# pytest tests included). The options are passed
# explicitly, so whatever configured build/ before (the demo command turns the
# tests off) cannot shrink the suite; a run that finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCOLORCAL_TESTS=ON -DCOLORCAL_BENCH=ON -DCOLORCAL_TOOLS=ON \
  -DCOLORCAL_INSTALL=ON -DCOLORCAL_SANITIZE=OFF -DCOLORCAL_FUZZ=OFF -DCOLORCAL_PYTHON=ON
cd build
ctest --output-on-failure --no-tests=error -j"$(nproc)"
