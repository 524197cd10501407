#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCOLORCAL_BENCH=OFF -DCOLORCAL_TESTS=OFF
if [[ -x build/tools/colorcal ]]; then
  ./build/tools/colorcal demo --out build/demo
else
  ./build/tools/colorcal_example
fi
