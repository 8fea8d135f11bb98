#!/bin/sh
# Installs what is missing, builds the opsira tool and runs it: on the bundled sample images when
# no argument is given, otherwise with the given options and inputs (see ./scripts/run.sh --help).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target opsira -j "$(nproc)"
status=0
./build/tools/opsira "$@" || status=$?
if [ $# -eq 0 ] && [ $status -eq 0 ]; then
    echo
    echo "Done. Each sample's catalogue is in out/<sample>/ (out/page/ and out/shapes/):"
    echo "  out/page/16_mosaic.jpg           every image of the page at a glance"
    echo "  out/page/15_angle_corrected.jpg  the page de-skewed"
fi
exit $status
