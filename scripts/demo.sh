#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the tool into
# build/ and runs the demo, which writes its files into build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCOLORCAL_TOOLS=ON -DCOLORCAL_TESTS=OFF -DCOLORCAL_BENCH=OFF \
  -DCOLORCAL_SANITIZE=OFF -DCOLORCAL_FUZZ=OFF
./build/tools/colorcal demo --out build/demo
