#!/bin/sh
# Builds in Release and runs every measurement: the benchmark binary, the memory probe on a 12 MP
# photograph, the batch run of the opsira tool and the Python package's measurements. Raw results
# go to $BUILD_DIR/bench-results and the tables of bench/README.md are printed at the end.
#   bench/run.sh [extra tulo_bench arguments, e.g. --benchmark_filter=colour_balance]
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
repetitions=${REPETITIONS:-5}
results=$build/bench-results

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTULO_BUILD_BENCHMARKS=ON -DTULO_BUILD_TOOLS=ON
cmake --build "$build" -j 2 --target tulo_bench tulo_bench_probe tulo_bench_photos tulo_bench_skew opsira _tulo _pipeline
mkdir -p "$results"
uptime > "$results/load_before.txt"

# Repetitions of all benchmarks run in random order, so a change of load hits both routes alike.
"$build/bench/tulo_bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$results/bench.json" --benchmark_out_format=json "$@"

photos=$(mktemp -d)
trap 'rm -rf "$photos"' EXIT
"$build/bench/tulo_bench_photos" "$photos" 1 4000 3000 png > /dev/null
for route in workspace direct; do
    "$build/bench/tulo_bench_probe" "$photos/photo_00.png" "$route"
done > "$results/memory.json"

bench/batch.sh "$build/tools/opsira" "$build/bench/tulo_bench_photos" 8 > "$results/batch.json"
"$build/bench/tulo_bench_skew" 24 > "$results/skew.md"
/usr/bin/python3 bench/python_bench.py "$build" 3 > "$results/python.json"
uptime > "$results/load_after.txt"

python3 bench/summary.py "$results"
cat "$results/skew.md"
