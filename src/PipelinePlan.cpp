#include <tulo/PipelinePlan.hpp>

#include "PipelinePages.hpp"

#include <tulo/Pages.hpp>

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

namespace tulo::pipeline {
namespace fs = std::filesystem;

namespace {

const std::set<std::string> image_extensions = {
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".avif", ".pbm", ".pgm",
    ".ppm", ".pxm", ".pnm", ".pfm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic"};

// The same place whatever spelling led there; a path that cannot be resolved stands for itself.
fs::path resolved(const fs::path& path)
{
    std::error_code ignored;
    const fs::path result = fs::weakly_canonical(path, ignored);
    return result.empty() ? path.lexically_normal() : result;
}

std::vector<fs::path> sorted_entries(const fs::path& dir, std::vector<std::string>& problems)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    if (error)
        problems.push_back(dir.string() + ": " + error.message());
    std::sort(entries.begin(), entries.end());
    return entries;
}

void add_directory(const fs::path& dir, bool recursive, const fs::path& skip, Inputs& found)
{
    std::error_code ignored;
    for (const fs::path& entry : sorted_entries(dir, found.problems)) {
        if (fs::is_directory(entry, ignored)) {
            if (recursive && !fs::is_symlink(entry, ignored) && resolved(entry) != skip)
                add_directory(entry, recursive, skip, found);
        } else if (fs::is_regular_file(entry, ignored) &&
                   (has_image_extension(entry.string()) || is_page_file(entry.string()))) {
            found.files.push_back(entry.string());
        }
    }
}

// Taken: planned already, an input's place (its folder, or for a flat output the input file itself),
// or a thing of the other sort (a file where a folder goes, a folder where a file goes).
bool taken(const fs::path& place, bool flat, const std::set<fs::path>& used, const std::set<fs::path>& inputs)
{
    const fs::path where = resolved(place);
    std::error_code ignored;
    return used.count(where) != 0 || inputs.count(where) != 0 ||
           (fs::exists(where, ignored) && fs::is_directory(where, ignored) == flat);
}

// One output per file in out_root, named by its stem (and, when flat, its extension), with "-2",
// "-3", ... after the stem while the name is taken.
std::vector<Task> plan(const std::vector<std::string>& files, const std::string& out_root, bool flat)
{
    std::set<fs::path> inputs;
    for (const std::string& file : files)
        inputs.insert(flat ? resolved(file) : resolved(file).parent_path());
    std::set<fs::path> used;
    std::vector<Task> tasks;
    for (const std::string& file : files) {
        const std::string named = fs::path(file).stem().string();
        const std::string stem = named.empty() ? "image" : named;
        const std::string extension = flat ? fs::path(file).extension().string() : "";
        fs::path place = fs::path(out_root) / (stem + extension);
        for (int n = 2; taken(place, flat, used, inputs); ++n)
            place = fs::path(out_root) / (stem + "-" + std::to_string(n) + extension);
        used.insert(resolved(place));
        tasks.push_back({file, flat ? place.string() : place.string() + "/"});
    }
    return tasks;
}

} // namespace

std::string lowercase_extension(const std::string& path)
{
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return extension;
}

bool has_image_extension(const std::string& path)
{
    return image_extensions.count(lowercase_extension(path)) != 0;
}

Inputs collect_inputs(const std::vector<std::string>& inputs, bool recursive, const std::string& out_root)
{
    const fs::path skip = resolved(out_root);
    Inputs found;
    std::error_code ignored;
    for (const std::string& input : inputs) {
        if (fs::is_directory(input, ignored)) {
            found.folders.push_back(input);
            add_directory(input, recursive, skip, found);
        } else
            found.files.push_back(input);
    }
    return found;
}

std::vector<Task> plan_tasks(const std::vector<std::string>& files, const std::string& out_root)
{
    return plan(files, out_root, false);
}

std::vector<Task> plan_files(const std::vector<std::string>& files, const std::string& out_root)
{
    return plan(files, out_root, true);
}

std::vector<Task> plan_job(const std::vector<std::string>& files, const std::string& out_root, const Job& job)
{
    std::vector<Task> tasks;
    for (const Task& file : plan(files, out_root, job.flat())) {
        const std::vector<Task> pages = detail::page_tasks(file, job);
        tasks.insert(tasks.end(), pages.begin(), pages.end());
    }
    return tasks;
}

void prepare_output(const std::string& out_root)
{
    std::error_code error;
    fs::create_directories(out_root, error);
    if (error)
        throw std::runtime_error("cannot create the output folder \"" + out_root + "\": " + error.message());
    std::string probe = (fs::path(out_root) / ".opsira-probe-XXXXXX").string();
    if (::mkdtemp(probe.data()) == nullptr)
        throw std::runtime_error("cannot write into the output folder \"" + out_root +
                                 "\": " + std::error_code(errno, std::generic_category()).message());
    fs::remove(probe, error);
}

} // namespace tulo::pipeline
