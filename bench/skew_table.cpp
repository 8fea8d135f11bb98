// The accuracy table of the skew estimate: pages rendered at 150, 300 and 600 dpi, turned across
// +-40 degrees, measured with tulo::estimate_skew and, when built with it, Leptonica side by side;
// then the confidence on scenes without text. One thread, as Leptonica runs.
//   tulo_bench_skew [PAGES_PER_DPI] [--verbose]

#include "page.hpp"
#include "peer.hpp"
#include "table.hpp"

#include <tulo/Skew.hpp>

#include <opencv2/core.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using tulo_bench::fastest_milliseconds;
using tulo_bench::median;

constexpr double max_tilt = 40.0;
constexpr double failure_degrees = 1.0;
constexpr int timing_runs = 3;  // each page is timed this often and its fastest run kept

struct Tally {
    std::vector<double> errors;
    std::vector<double> milliseconds;
    int failures = 0;
    int untrusted = 0;
};


void record(Tally& tally, double error, double milliseconds)
{
    tally.errors.push_back(error);
    tally.milliseconds.push_back(milliseconds);
    tally.failures += error > failure_degrees ? 1 : 0;
}

// Leptonica's confidence is not compared, so its column stays empty.
void print_row(int dpi, const char* method, const Tally& tally, bool with_confidence)
{
    if (tally.errors.empty())
        return;
    double sum = 0.0;
    for (const double e : tally.errors)
        sum += e;
    const std::string untrusted = with_confidence ? std::to_string(tally.untrusted) : "-";
    std::printf("| %d | %s | %zu | %.4f | %.3f | %d | %s | %.1f |\n", dpi, method, tally.errors.size(),
                sum / tally.errors.size(), *std::max_element(tally.errors.begin(), tally.errors.end()), tally.failures,
                untrusted.c_str(), median(tally.milliseconds));
}

void measure_dpi(int dpi, int count, bool verbose, double& lowest_page_confidence)
{
    Tally ours;
    Tally peer;
    for (const tulo_bench::PageCase& page : tulo_bench::page_cases(dpi, count, max_tilt, tulo_bench::page_seed)) {
        const cv::Mat scan = tulo_bench::render_page(page);
        const double truth = -page.angle;
        tulo::SkewEstimate estimate;
        const double ms = fastest_milliseconds(timing_runs, [&] { estimate = tulo::estimate_skew(scan); });
        const double error = std::abs(estimate.correction - truth);
        record(ours, error, ms);
        ours.untrusted += estimate.confidence < tulo::min_skew_confidence ? 1 : 0;
        lowest_page_confidence = std::min(lowest_page_confidence, estimate.confidence);
        std::optional<double> theirs;
        const tulo_bench::LeptonicaPage peer_page(scan);
        const double peer_ms =
            tulo_bench::have_leptonica() ? fastest_milliseconds(timing_runs, [&] { theirs = peer_page.correction(); }) : 0.0;
        if (theirs)
            record(peer, std::abs(*theirs - truth), peer_ms);
        if (verbose)
            std::printf("%-50s truth %7.3f  tulo %7.3f (conf %6.2f, %5.1f ms)  leptonica %7.3f (%5.1f ms)\n",
                        tulo_bench::describe(page).c_str(), truth, estimate.correction, estimate.confidence, ms,
                        theirs.value_or(NAN), peer_ms);
    }
    print_row(dpi, "tulo::estimate_skew", ours, true);
    print_row(dpi, "Leptonica", peer, false);
}

double highest_scene_confidence(bool verbose)
{
    const std::vector<cv::Size> sizes{{1275, 1650}, {1920, 1080}, {4000, 3000}, {640, 480}};
    double highest = 0.0;
    unsigned seed = tulo_bench::page_seed;
    for (const cv::Size& size : sizes)
        for (const tulo_bench::SceneKind kind : tulo_bench::scene_kinds())
            for (int variant = 0; variant < 3; ++variant) {
                const tulo::SkewEstimate estimate = tulo::estimate_skew(tulo_bench::render_scene(kind, size, ++seed));
                highest = std::max(highest, estimate.confidence);
                if (verbose)
                    std::printf("scene %-10s %4dx%-4d confidence %6.3f correction %7.3f\n",
                                tulo_bench::describe(kind).c_str(), size.width, size.height, estimate.confidence,
                                estimate.correction);
            }
    return highest;
}

} // namespace

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 24;
    const bool verbose = argc > 2 && std::string(argv[2]) == "--verbose";
    std::printf("| dpi | method | pages | mean error (deg) | worst (deg) | failures > 1 deg | below min confidence "
                "| median ms |\n|---|---|---|---|---|---|---|---|\n");
    double lowest_page_confidence = 1e300;
    for (const int dpi : tulo_bench::page_dpis)
        measure_dpi(dpi, count, verbose, lowest_page_confidence);
    const double highest = highest_scene_confidence(verbose);
    std::printf("\nconfidence: lowest on a page %.3f, highest on a scene %.3f, threshold %.3f\n",
                lowest_page_confidence, highest, tulo::min_skew_confidence);
    return 0;
}
