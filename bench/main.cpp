#include "benches.hpp"

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    tulo_bench::register_catalogue_benchmarks();
    tulo_bench::register_colour_balance_benchmarks();
    tulo_bench::register_numeric_benchmarks();
    tulo_bench::register_skew_benchmarks();
    tulo_bench::register_orientation_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
