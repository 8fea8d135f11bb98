#include "benches.hpp"
#include "direct.hpp"
#include "photo.hpp"

#include <tulo/MatManip.hpp>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace tulo_bench {

namespace {

// Both routes must give the same bytes, or the comparison is void: stop the whole run.
void require_same_output(std::size_t size_index)
{
    static std::set<std::size_t> checked;
    if (checked.count(size_index) != 0)
        return;
    const cv::Mat& image = photo(size_index);
    if (!identical(tulo::apply_simple_colour_balance(image), sorted_colour_balance(image))) {
        std::fprintf(stderr, "colour balance by counting differs from sorting at %s\n",
                     photo_sizes().at(size_index).name.c_str());
        std::abort();
    }
    checked.insert(size_index);
}

void by_counting(benchmark::State& state, std::size_t size_index)
{
    require_same_output(size_index);
    const cv::Mat& image = photo(size_index);
    for (auto _ : state)
        benchmark::DoNotOptimize(tulo::apply_simple_colour_balance(image).data);
}

void by_sorting(benchmark::State& state, std::size_t size_index)
{
    require_same_output(size_index);
    const cv::Mat& image = photo(size_index);
    for (auto _ : state)
        benchmark::DoNotOptimize(sorted_colour_balance(image).data);
}

} // namespace

void register_colour_balance_benchmarks()
{
    for (std::size_t i = 0; i < photo_sizes().size(); ++i) {
        const std::string size = photo_sizes()[i].name;
        benchmark::RegisterBenchmark(("colour_balance/counting/" + size).c_str(), by_counting, i)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MeasureProcessCPUTime();
        benchmark::RegisterBenchmark(("colour_balance/sorting/" + size).c_str(), by_sorting, i)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MeasureProcessCPUTime();
    }
}

} // namespace tulo_bench
