#include "benches.hpp"

#include <tulo/Intervals.hpp>
#include <tulo/KMeans.hpp>

#include <opencv2/core.hpp>

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tulo_bench {

namespace {

// Values from eight clusters of different spread, with a tenth strewn evenly, like angles or areas.
std::vector<double> sample_values(std::size_t count)
{
    std::mt19937_64 engine(42);
    std::bernoulli_distribution stray(0.1);
    std::uniform_real_distribution<double> anywhere(1.0, 400.0);
    std::uniform_int_distribution<int> cluster(0, 7);
    std::vector<double> values(count);
    for (double& value : values) {
        const int c = cluster(engine);
        std::normal_distribution<double> around(20.0 + 45.0 * c, 1.0 + c);
        value = stray(engine) ? anywhere(engine) : around(engine);
    }
    return values;
}

// Timed by hand around the call alone: intervals sorts its input, so each run needs a fresh copy.
void intervals_of(benchmark::State& state)
{
    const std::vector<double> values = sample_values(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<double> input = values;
        const auto start = std::chrono::steady_clock::now();
        const std::vector<std::vector<double>> groups = tulo::intervals(input, 2.0);
        const auto stop = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(groups.data());
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.SetComplexityN(state.range(0));
}

// Values of one shape for the rows at a million values: k well-separated normal clusters (unit
// spread, ten apart, equally likely), lognormal(0, 1) or uniform on [0, 1).
enum class Shape { separated_normal, lognormal, uniform };
constexpr std::size_t shape_rows_size = 1000000;

std::vector<double> shaped_values(const Shape shape, const int k)
{
    std::mt19937_64 engine(7);
    std::uniform_int_distribution<int> cluster(0, k - 1);
    std::normal_distribution<double> unit_normal(0.0, 1.0);
    std::lognormal_distribution<double> lognormal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(shape_rows_size);
    for (double& value : values)
        value = shape == Shape::separated_normal ? 10.0 * cluster(engine) + unit_normal(engine)
              : shape == Shape::lognormal        ? lognormal(engine)
                                                 : uniform(engine);
    return values;
}

// The caller's label and centre vectors live across runs, as with a caller that clusters repeatedly.
void tulo_k_means(benchmark::State& state, const std::vector<double>& values, const unsigned long k)
{
    std::vector<unsigned long> labels;
    std::vector<double> centres;
    unsigned long iterations = 0;
    for (auto _ : state)
        iterations = tulo::k_means(values, k, labels, centres);
    state.counters["iterations"] = static_cast<double>(iterations);
}

// The same values in single precision, the only depth cv::kmeans takes; one attempt, k-means++
// seeding from a fixed random state, at most 100 iterations, stopping when no centre moves.
void cv_kmeans(benchmark::State& state, const std::vector<double>& values, const int k, const int threads)
{
    cv::Mat samples;
    cv::Mat(values, false).convertTo(samples, CV_32F);
    const int default_threads = cv::getNumThreads();
    cv::setNumThreads(threads);
    cv::Mat labels;
    cv::Mat centres;
    for (auto _ : state) {
        cv::theRNG().state = 0x12345678;
        benchmark::DoNotOptimize(cv::kmeans(samples, k, labels, cv::TermCriteria(cv::TermCriteria::MAX_ITER, 100, 0),
                                            1, cv::KMEANS_PP_CENTERS, centres));
    }
    cv::setNumThreads(default_threads);
}

void grid_tulo_k_means(benchmark::State& state)
{
    tulo_k_means(state, sample_values(static_cast<std::size_t>(state.range(0))),
                 static_cast<unsigned long>(state.range(1)));
}

void grid_cv_kmeans(benchmark::State& state, const int threads)
{
    cv_kmeans(state, sample_values(static_cast<std::size_t>(state.range(0))), static_cast<int>(state.range(1)),
              threads);
}

void shaped_tulo_k_means(benchmark::State& state, const Shape shape)
{
    const int k = static_cast<int>(state.range(0));
    tulo_k_means(state, shaped_values(shape, k), static_cast<unsigned long>(k));
}

void shaped_cv_kmeans(benchmark::State& state, const Shape shape)
{
    const int k = static_cast<int>(state.range(0));
    cv_kmeans(state, shaped_values(shape, k), k, cv::getNumThreads());
}

void k_means_grid(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"n", "k"})->ArgsProduct({{10000, 100000, 1000000}, {2, 4, 8}});
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

void k_means_shape_rows(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgName("k")->Arg(2)->Arg(4)->Arg(8);
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

} // namespace

void register_numeric_benchmarks()
{
    benchmark::RegisterBenchmark("intervals", intervals_of)
        ->ArgName("n")
        ->Args({1000})->Args({3000})->Args({10000})->Args({30000})->Args({100000})->Args({300000})->Args({1000000})
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Complexity(benchmark::oNLogN);
    k_means_grid(benchmark::RegisterBenchmark("k_means/tulo", grid_tulo_k_means));
    k_means_grid(benchmark::RegisterBenchmark("k_means/cv_kmeans", grid_cv_kmeans, cv::getNumThreads()));
    k_means_grid(benchmark::RegisterBenchmark("k_means/cv_kmeans_1_thread", grid_cv_kmeans, 1));
    const std::pair<const char*, Shape> shapes[] = {
        {"separated_normal", Shape::separated_normal}, {"lognormal", Shape::lognormal}, {"uniform", Shape::uniform}};
    for (const auto& [name, shape] : shapes) {
        const std::string row = std::string("k_means_1M/") + name;
        k_means_shape_rows(benchmark::RegisterBenchmark((row + "/tulo").c_str(), shaped_tulo_k_means, shape));
        k_means_shape_rows(benchmark::RegisterBenchmark((row + "/cv_kmeans").c_str(), shaped_cv_kmeans, shape));
    }
}

} // namespace tulo_bench
