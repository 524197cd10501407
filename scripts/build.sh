#!/usr/bin/env bash
# Configures and builds into the folder given as $1 (default: build), passing
# any further arguments to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCOLORCAL_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
