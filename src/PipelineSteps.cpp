#include "PipelineSteps.hpp"

#include "PipelineFiles.hpp"

#include <tulo/ImageFile.hpp>
#include <tulo/Pages.hpp>
#include <tulo/PipelinePlan.hpp>
#include <tulo/Skew.hpp>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace tulo::pipeline::detail {
namespace {

// JPEG quality of a changed page: high, since it was already compressed once.
constexpr int changed_jpeg_quality = 95;

using PageStep = void (*)(Page&, const Job&, Report&);

// The pixels and resolution of a 1-bit TIFF as the page reader gives them, so that a changed copy
// keeps the resolution.
void read_bilevel_tiff(Page& page, const std::string& path)
{
    const tulo::Page read = PageSource(path).read(0);
    page.image = read.pixels;
    page.dpi = read.dpi;
}

// The image in the file's bytes with its depth and channels (grey, colour; an alpha channel is
// dropped), turned upright by its EXIF orientation; refused as the library refuses files.
Page read_page(const Task& task)
{
    Page page;
    page.bilevel = is_bilevel_file(task.input);
    page.bytes = read_file(task.input);
    if (page.bytes.empty())
        throw std::runtime_error("empty file");
    if (page.bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::runtime_error("file of " + std::to_string(page.bytes.size()) + " bytes, too large to decode");
    if (page.bilevel && is_page_file(task.input)) {
        read_bilevel_tiff(page, task.input);
        return page;
    }
    try {
        page.image = decode_image(page.bytes, task.input, cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
    } catch (const ImageReadError& error) {
        throw std::runtime_error(refusal(error.declared_pixels()));
    }
    return page;
}

// Levels the page by its skew when the estimate is trusted and the correction worth resampling for.
void deskew_step(Page& page, const Job& job, Report& report)
{
    const DeskewSettings& settings = *job.deskew;
    const SkewEstimate estimate = estimate_skew(page.image, settings.max_angle);
    const bool turn = estimate.confidence >= settings.min_confidence && std::abs(estimate.correction) >= settings.min_angle;
    if (turn) {
        page.image = deskew(page.image, estimate.correction, settings.canvas);
        page.changed = true;
    }
    report.correction_angle = estimate.correction;
    report.skew_confidence = estimate.confidence;
    report.deskewed = turn;
}

// The steps of the job, in the order they apply.
std::vector<PageStep> page_steps(const Job& job)
{
    std::vector<PageStep> steps;
    if (job.deskew)
        steps.push_back(&deskew_step);
    return steps;
}

// Writes a changed image into `file` in the format of `named`'s extension; JPEG at a high
// quality, a 1-bit image 1-bit again, other formats (PNG, TIFF, ... all lossless) as OpenCV writes
// them by default. An unchanged page keeps its very bytes.
void write_page(const Page& page, const std::filesystem::path& file, const std::string& named)
{
    if (!page.changed) {
        write_file(file, page.bytes);
        return;
    }
    if (page.bilevel) {
        write_bilevel(file.string(), page.image, page.dpi);
        return;
    }
    const std::string extension = lowercase_extension(named);
    const bool jpeg = extension == ".jpg" || extension == ".jpeg" || extension == ".jpe";
    const std::vector<int> parameters = jpeg ? std::vector<int>{cv::IMWRITE_JPEG_QUALITY, changed_jpeg_quality}
                                             : std::vector<int>{};
    if (!cv::imwrite(file.string(), page.image, parameters))
        throw ImageWriteError(named);
}

} // namespace

void apply_page_steps(Page& page, const Job& job, Report& report)
{
    for (const PageStep step : page_steps(job))
        step(page, job, report);
}

// What the steps found is reported only once the file is in place.
void run_page_steps(const Task& task, const Job& job, Report& report)
{
    Page page = read_page(task);
    Report found = report;
    apply_page_steps(page, job, found);
    StagedFile staged(task.output);
    write_page(page, staged.path(), task.output);
    staged.publish();
    found.files = {task.output};
    report = std::move(found);
}

} // namespace tulo::pipeline::detail
