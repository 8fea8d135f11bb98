#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: first as released, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the thread test under ThreadSanitizer, and
# a bounded fuzzing run (TULO_FUZZ_SECONDS, 60 by default). Each build has a directory of its own.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)
fuzz_seconds=${TULO_FUZZ_SECONDS:-60}

echo "== release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Sanitizer builds: light optimisation and debug information keep them quick and their reports exact.
sanitized() {
    dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" -DTULO_BUILD_BENCHMARKS=OFF "$@"
}

echo "== the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer"
sanitized build-asan -DTULO_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== workspaces on several threads under ThreadSanitizer"
sanitized build-tsan -DTULO_SANITIZE=thread -DTULO_BUILD_TOOLS=OFF
cmake --build build-tsan --target tulo_threads_test -j "$jobs"
ctest --test-dir build-tsan -L threads --output-on-failure

echo "== fuzzing for ${fuzz_seconds} s (clang, libFuzzer; see tests/fuzz/README.md)"
sanitized build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTULO_BUILD_TOOLS=OFF -DTULO_BUILD_FUZZERS=ON \
    -DTULO_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    "-DTULO_FUZZ_SECONDS=${fuzz_seconds}"
cmake --build build-fuzz --target tulo_fuzz -j "$jobs"
ctest --test-dir build-fuzz -L fuzz --output-on-failure
