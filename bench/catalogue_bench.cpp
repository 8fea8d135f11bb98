#include "benches.hpp"
#include "direct.hpp"
#include "photo.hpp"

#include <tulo/Opsira.hpp>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tulo_bench {

namespace {

// A directory for the JPEG files of save_all, removed when the program ends.
struct ScratchDir {
    std::string path;

    ScratchDir()
    {
        char name[] = "/tmp/tulo_bench_XXXXXX";
        if (mkdtemp(name) == nullptr) {
            std::perror("mkdtemp");
            std::exit(EXIT_FAILURE);
        }
        path = std::string(name) + "/";
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

const std::string& scratch_prefix()
{
    static const ScratchDir dir;
    return dir.path;
}

// A workspace holding the whole catalogue of a photo size, derived once; benchmarks copy it, which
// shares every stored buffer.
const tulo::Opsira& derived_workspace(std::size_t size_index)
{
    static std::map<std::size_t, std::unique_ptr<tulo::Opsira>> derived;
    std::unique_ptr<tulo::Opsira>& workspace = derived[size_index];
    if (!workspace) {
        workspace = std::make_unique<tulo::Opsira>(photo(size_index));
        derive_catalogue(*workspace);
    }
    return *workspace;
}

// The kinds whose image differs between the workspace and the direct route; both must make the
// same calls for the comparison to mean anything.
std::vector<std::string> differing_kinds(std::size_t size_index)
{
    const tulo::Opsira& workspace = derived_workspace(size_index);
    const Catalogue direct = direct_catalogue(photo(size_index));
    std::vector<std::string> differing;
    for (int kind = 1; kind <= 22; ++kind) {
        const std::string name = workspace.to_string(static_cast<EMatType>(kind));
        if (!identical(workspace.images.at(name), direct[static_cast<EMatType>(kind)]))
            differing.push_back(name);
    }
    return differing;
}

std::size_t checked_differences(std::size_t size_index)
{
    static std::map<std::size_t, std::size_t> checked;
    if (checked.count(size_index) == 0) {
        const std::vector<std::string> differing = differing_kinds(size_index);
        for (const std::string& name : differing)
            std::fprintf(stderr, "warning: %s: \"%s\" differs between the workspace and the direct route\n",
                         photo_sizes().at(size_index).name.c_str(), name.c_str());
        checked[size_index] = differing.size();
    }
    return checked[size_index];
}

void catalogue_in_workspace(benchmark::State& state, std::size_t size_index)
{
    const cv::Mat& image = photo(size_index);
    state.counters["differing_kinds"] = static_cast<double>(checked_differences(size_index));
    for (auto _ : state) {
        tulo::Opsira workspace(image);
        derive_catalogue(workspace);
        benchmark::DoNotOptimize(workspace.images.size());
    }
}

void catalogue_direct(benchmark::State& state, std::size_t size_index)
{
    const cv::Mat& image = photo(size_index);
    for (auto _ : state) {
        const Catalogue catalogue = direct_catalogue(image);
        benchmark::DoNotOptimize(catalogue.images.back().data);
    }
}

// One kind derived from stored sources: a copy of the full workspace without that entry. The
// contour search is counted with "find_contours", the first kind that needs it.
void one_kind(benchmark::State& state, std::size_t size_index, EMatType kind)
{
    const tulo::Opsira& full = derived_workspace(size_index);
    for (auto _ : state) {
        state.PauseTiming();
        auto workspace = std::make_unique<tulo::Opsira>(full);
        workspace->clear(kind);
        if (kind == EMatType::find_contours)
            workspace->contours.clear();
        state.ResumeTiming();
        benchmark::DoNotOptimize(workspace->get(kind).data);
        state.PauseTiming();
        workspace.reset();
        state.ResumeTiming();
    }
}

// JPEG encoding of every stored image; the catalogue is already derived.
void save_everything(benchmark::State& state, std::size_t size_index)
{
    const tulo::Opsira& full = derived_workspace(size_index);
    for (auto _ : state) {
        state.PauseTiming();
        auto workspace = std::make_unique<tulo::Opsira>(full);
        state.ResumeTiming();
        benchmark::DoNotOptimize(workspace->save_all(scratch_prefix()).size());
        state.PauseTiming();
        workspace.reset();
        state.ResumeTiming();
    }
}

// OpenCV spreads its filters over TBB threads, so the wall time is reported, with the CPU time of
// all threads beside it: on a machine shared with other work the latter is the steadier measure.
void configure(benchmark::internal::Benchmark* benchmark)
{
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

void register_kinds(std::size_t size_index)
{
    for (int value = 2; value <= 22; ++value) {
        const auto kind = static_cast<EMatType>(value);
        const std::string name = "kind/" + photo_sizes().at(size_index).name + "/" +
                                 tulo::Opsira::kind_names()[static_cast<std::size_t>(value)];
        configure(benchmark::RegisterBenchmark(name.c_str(), one_kind, size_index, kind));
    }
}

} // namespace

void register_catalogue_benchmarks()
{
    for (std::size_t i = 0; i < photo_sizes().size(); ++i) {
        const std::string size = photo_sizes()[i].name;
        configure(benchmark::RegisterBenchmark(("catalogue/workspace/" + size).c_str(), catalogue_in_workspace, i));
        configure(benchmark::RegisterBenchmark(("catalogue/direct/" + size).c_str(), catalogue_direct, i));
    }
    for (std::size_t i = 0; i < 2; ++i)
        register_kinds(i);
    for (std::size_t i = 0; i < photo_sizes().size(); ++i)
        configure(benchmark::RegisterBenchmark(("save_all/" + photo_sizes()[i].name).c_str(), save_everything, i));
}

} // namespace tulo_bench
