#!/bin/sh
# Installs the Debian packages the build, tests and tools need, only those missing.
set -eu

# libleptonica-dev only serves the benchmarks as a peer; nothing else needs it.
packages="build-essential cmake pkg-config libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev libleptonica-dev
pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest python3-opencv python3-dask python3-distributed"

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
