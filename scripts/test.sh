#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: first as released, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer built with the other compiler (clang++ when
# the release build uses g++, and the reverse), the thread test under ThreadSanitizer, and bounded
# fuzzing runs (TULO_FUZZ_SECONDS in all, 60 by default). Each build has a directory of its own, and
# a compiler warning fails it.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)
fuzz_seconds=${TULO_FUZZ_SECONDS:-60}
if ${CXX:-c++} --version | grep -q clang; then
    other_compiler=g++
else
    other_compiler=clang++
fi

echo "== release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTULO_WARNINGS_AS_ERRORS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Sanitizer builds, with debug information for exact reports: `sanitized DIR LEVEL CMAKE-ARGS...`.
# The whole suite compiles twice as fast unoptimised; the smaller thread and fuzz builds run faster
# with light optimisation.
sanitized() {
    dir=$1
    level=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=$level -g" -DTULO_BUILD_BENCHMARKS=OFF \
        -DTULO_WARNINGS_AS_ERRORS=ON "$@"
}

echo "== the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, built with $other_compiler"
sanitized build-asan -O0 "-DCMAKE_CXX_COMPILER=$other_compiler" -DTULO_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
# CTest starts a process per test, and each sanitized start costs a quarter of a second; when every
# test is a GoogleTest case, each test program runs once instead, with the same tests.
export UBSAN_OPTIONS=print_stacktrace=1
listing=$(ctest --test-dir build-asan -N -V | grep 'Test command:')
if echo "$listing" | grep -qv -- '--gtest_filter'; then
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
else
    for program in $(echo "$listing" | sed 's/^.*Test command: \([^ ]*\) .*$/\1/' | sort -u); do
        echo "-- $program"
        (cd "$(dirname "$program")" && "$program" --gtest_brief=1)
    done
fi
unset UBSAN_OPTIONS

echo "== workspaces on several threads, and the tool's worker pool, under ThreadSanitizer"
sanitized build-tsan -O1 -DTULO_SANITIZE=thread
cmake --build build-tsan --target tulo_threads_test tulo_pipeline_tests -j "$jobs"
ctest --test-dir build-tsan -L threads --output-on-failure
ctest --test-dir build-tsan -L pipeline -R '^WorkerPool[.]' --output-on-failure

echo "== fuzzing for ${fuzz_seconds} s in all (clang, libFuzzer; see tests/fuzz/README.md)"
sanitized build-fuzz -O1 -DCMAKE_CXX_COMPILER=clang++ -DTULO_BUILD_TOOLS=OFF -DTULO_BUILD_FUZZERS=ON \
    -DTULO_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    "-DTULO_FUZZ_SECONDS=${fuzz_seconds}"
cmake --build build-fuzz --target tulo_fuzz tulo_header_fuzz tulo_pages_fuzz tulo_pages_seeds -j "$jobs"
ctest --test-dir build-fuzz -L fuzz --output-on-failure
