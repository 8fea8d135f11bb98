#!/bin/sh
# Installs what running needs, builds the opsira tool and runs it from the caller's directory: on
# the bundled sample images when no argument is given, otherwise with the given options and inputs
# (see ./scripts/run.sh --help). The build goes to build-run/, apart from the test build.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" run
cmake -S "$root" -B "$root/build-run" -DCMAKE_BUILD_TYPE=Release -DTULO_BUILD_TESTS=OFF \
    -DTULO_BUILD_BENCHMARKS=OFF -DTULO_BUILD_PYTHON=OFF >/dev/null
cmake --build "$root/build-run" --target opsira -j "$(nproc)"
status=0
"$root/build-run/tools/opsira" "$@" || status=$?
if [ $# -eq 0 ] && [ $status -eq 0 ]; then
    echo
    echo "Done. Each sample's catalogue is in out/<sample>/ (out/page/ and out/shapes/):"
    echo "  out/page/16_mosaic.jpg           every image of the page at a glance"
    echo "  out/page/15_angle_corrected.jpg  the page de-skewed"
fi
exit $status
