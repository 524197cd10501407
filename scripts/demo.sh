#!/usr/bin/env bash
# The main job: installs what is missing, builds the library, the tool and the
# Python module into build/, installs them into /usr/local (where Debian's
# python3 imports the module from) and runs the demo, which writes its files
# into build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCOLORCAL_TOOLS=ON -DCOLORCAL_TESTS=OFF -DCOLORCAL_BENCH=OFF \
  -DCOLORCAL_SANITIZE=OFF -DCOLORCAL_FUZZ=OFF -DCOLORCAL_PYTHON=ON -DCOLORCAL_INSTALL=ON
cmake --install build --prefix /usr/local >/dev/null
./build/tools/colorcal demo --out build/demo
