#!/bin/sh
# Installs what is missing, builds, and runs the library's main job on the bundled samples.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
./build/tools/opsira "$@"
