#!/bin/sh
# Builds the Debian packages (libtuloopsira1, libtulo-dev, opsira) in build-deb/, without the tests
# and with Debian's hardening flags, and checks each with lintian.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" package
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S "$root" -B "$root/build-deb" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTULO_BUILD_TESTS=OFF -DTULO_BUILD_BENCHMARKS=OFF
cmake --build "$root/build-deb" -j "$(nproc)"
(cd "$root/build-deb" && rm -f ./*.deb && cpack -G DEB)
lintian --fail-on error "$root"/build-deb/*.deb
ls "$root"/build-deb/*.deb
