#!/usr/bin/env bash
# Installs what is missing, builds everything (library, tools, tests,
# benchmarks) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
cd build
ctest --output-on-failure -j"$(nproc)"
