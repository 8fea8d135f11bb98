#include "samples.hpp"

#include <tulo/PipelinePlan.hpp>

#include <filesystem>
#include <system_error>

namespace opsira {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> images_in(const fs::path& dir)
{
    std::error_code ignored;
    if (!fs::is_directory(dir, ignored))
        return {};
    return tulo::pipeline::collect_inputs({dir.string()}, false, std::string()).files;
}

fs::path executable_dir()
{
    std::error_code ignored;
    return fs::read_symlink("/proc/self/exe", ignored).parent_path();
}

} // namespace

std::vector<std::string> sample_images()
{
    for (const fs::path& dir : {executable_dir() / ".." / OPSIRA_RELATIVE_SAMPLES_DIR, fs::path(OPSIRA_SOURCE_SAMPLES_DIR)}) {
        const std::vector<std::string> files = images_in(dir.lexically_normal());
        if (!files.empty())
            return files;
    }
    return {};
}

} // namespace opsira
