#!/bin/sh
# Installs the Debian packages that one job needs, only those missing:
#   run      build the library and the opsira tool           (scripts/run.sh)
#   test     also the tests, benchmarks, sanitizers, fuzzing  (scripts/test.sh; the default)
#   package  build the Debian packages and check them         (scripts/package.sh)
set -eu

# libtiff, qpdf and poppler read and write the pages of multi-page TIFF and PDF files (in libtulopipeline).
run_packages="build-essential cmake libopencv-dev pkg-config libtiff-dev libqpdf-dev libpoppler-cpp-dev"
# libleptonica-dev only serves the benchmarks as a peer; nothing else needs it.
python_build="pybind11-dev python3-pybind11 python3-dev python3-numpy"
case "${1:-test}" in
    run) packages="$run_packages" ;;
    test) packages="$run_packages $python_build pkg-config libfreetype-dev fonts-dejavu-core fonts-liberation2 fonts-freefont-ttf libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev libleptonica-dev python3-pytest python3-opencv python3-dask python3-distributed" ;;
    package) packages="$run_packages $python_build dpkg-dev file lintian man-db" ;;
    *)
        echo "usage: $0 [run|test|package]" >&2
        exit 2
        ;;
esac

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
echo "installing:$missing"
$sudo_cmd apt-get update
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends $missing
