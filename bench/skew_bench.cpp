#include "benches.hpp"
#include "page.hpp"
#include "peer.hpp"

#include <tulo/Skew.hpp>

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace tulo_bench {

namespace {

// A worn one-column page turned by 7.3 degrees, drawn once per dpi.
const cv::Mat& skew_page(int dpi)
{
    static std::map<int, cv::Mat> pages;
    cv::Mat& page = pages[dpi];
    if (page.empty()) {
        PageCase turned;
        turned.dpi = dpi;
        turned.wear = Wear::worn;
        turned.angle = 7.3;
        turned.seed = page_seed;
        page = render_page(turned);
    }
    return page;
}

// One thread, as Leptonica runs; OpenCV's own setting is put back afterwards.
void estimate_skew(benchmark::State& state, int dpi)
{
    const cv::Mat& page = skew_page(dpi);
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(tulo::estimate_skew(page).correction);
    cv::setNumThreads(threads);
}

// From Leptonica's own 8-bit grey image, binarisation included.
void leptonica(benchmark::State& state, int dpi)
{
    const LeptonicaPage page(skew_page(dpi));
    for (auto _ : state)
        benchmark::DoNotOptimize(page.correction());
}

void register_skew(const std::string& name, void (*run)(benchmark::State&, int), int dpi)
{
    benchmark::RegisterBenchmark(name.c_str(), run, dpi)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
}

} // namespace

void register_skew_benchmarks()
{
    for (const int dpi : page_dpis) {
        const std::string size = std::to_string(dpi) + "dpi";
        register_skew("skew/estimate_skew/" + size, estimate_skew, dpi);
        if (have_leptonica())
            register_skew("skew/leptonica/" + size, leptonica, dpi);
    }
}

} // namespace tulo_bench
