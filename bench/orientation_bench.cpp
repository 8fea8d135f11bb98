#include "benches.hpp"
#include "peer.hpp"

#include "pictures/page.hpp"

#include <tulo/Orientation.hpp>

#include <benchmark/benchmark.h>

#include <array>
#include <map>
#include <string>

namespace tulo_bench {

namespace {

namespace pictures = tulo::pictures;

constexpr std::array<int, 2> orientation_dpis{150, 300};

// An A4 page of Latin prose in the book face, lying on its side and tilted 4 degrees, drawn once
// per dpi.
const cv::Mat& sideways_page(int dpi)
{
    static std::map<int, cv::Mat> pages;
    cv::Mat& page = pages[dpi];
    if (page.empty()) {
        pictures::PageCase turned;
        turned.dpi = dpi;
        turned.face = pictures::Face::book;
        turned.paper = pictures::Paper::a4;
        turned.wear = pictures::Wear::worn;
        turned.angle = 94.0;
        turned.seed = 2412;
        page = pictures::render_page(turned);
    }
    return page;
}

// One thread, as Leptonica runs; OpenCV's own setting is put back afterwards.
void estimate_orientation(benchmark::State& state, int dpi)
{
    const cv::Mat& page = sideways_page(dpi);
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(tulo::estimate_orientation(page).correction);
    cv::setNumThreads(threads);
}

// From Leptonica's own 8-bit grey image: binarisation, deskew and the orientation decision.
void leptonica(benchmark::State& state, int dpi)
{
    const LeptonicaPage page(sideways_page(dpi));
    for (auto _ : state)
        benchmark::DoNotOptimize(page.orientation_correction());
}

void register_orientation(const std::string& name, void (*run)(benchmark::State&, int), int dpi)
{
    benchmark::RegisterBenchmark(name.c_str(), run, dpi)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
}

} // namespace

void register_orientation_benchmarks()
{
    for (const int dpi : orientation_dpis) {
        const std::string size = std::to_string(dpi) + "dpi";
        register_orientation("orientation/estimate_orientation/" + size, estimate_orientation, dpi);
        if (have_leptonica())
            register_orientation("orientation/leptonica/" + size, leptonica, dpi);
    }
}

} // namespace tulo_bench
