#include "PipelineSteps.hpp"

#include "PipelineFiles.hpp"

#include <tulo/ImageFile.hpp>
#include <tulo/Pages.hpp>
#include <tulo/Orientation.hpp>
#include <tulo/PageContent.hpp>
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

// The image replaced by `changed`, whose pixel (x, y) came from (x, y, 1) * `map` of the old one.
void change(Page& page, cv::Mat changed, const cv::Matx33d& map)
{
    page.image = std::move(changed);
    page.from_input = map * page.from_input;
    page.changed = true;
}

// Where cv::rotate's counter-clockwise quarter turns put a pixel of an image of `size`.
cv::Matx33d quarter_turn(int correction, const cv::Size& size)
{
    const double right = size.width - 1.0;
    const double bottom = size.height - 1.0;
    switch (correction) {
    case 90: return {0, 1, 0, -1, 0, right, 0, 0, 1};
    case 180: return {-1, 0, right, 0, -1, bottom, 0, 0, 1};
    case 270: return {0, -1, bottom, 1, 0, 0, 0, 0, 1};
    default: return cv::Matx33d::eye();
    }
}

// Stands the page upright when the estimate is trusted and calls for a turn.
void orient_step(Page& page, const Job& job, Report& report)
{
    const OrientationEstimate estimate = estimate_orientation(page.image);
    const bool turn = estimate.confidence >= job.orient->min_confidence && estimate.correction != 0;
    if (turn)
        change(page, turn_upright(page.image, estimate.correction), quarter_turn(estimate.correction, page.image.size()));
    report.orientation = turn ? estimate.correction : 0;
    report.orientation_confidence = estimate.confidence;
    report.oriented = turn;
}

// The skew of the page's lines, found on the page or on its quarter turn, whichever aligns better.
// Turns about the image centre commute, so a correction found on the turn levels the page itself:
// its lines end up horizontal or vertical, and orientation is left to choose a quarter turn.
SkewEstimate skew_on_either_axis(const cv::Mat& image, double max_angle)
{
    const SkewEstimate along = estimate_skew(image, max_angle);
    const SkewEstimate across = estimate_skew(turn_upright(image, 90), max_angle);
    return across.confidence > along.confidence ? across : along;
}

// Levels the page by its skew when the estimate is trusted and the correction worth a resampling.
// When the page is also to be stood upright it may lie at any angle, so both axes are searched.
void deskew_step(Page& page, const Job& job, Report& report)
{
    const DeskewSettings& settings = *job.deskew;
    const SkewEstimate estimate = job.orient ? skew_on_either_axis(page.image, settings.max_angle)
                                             : estimate_skew(page.image, settings.max_angle);
    const bool turn = estimate.confidence >= settings.min_confidence && estimate.correction != 0.0 &&
                      std::abs(estimate.correction) >= settings.min_angle;
    if (turn) {
        const DeskewGeometry geometry = deskew_geometry(page.image.size(), estimate.correction, settings.canvas);
        const cv::Matx23d affine(geometry.matrix);
        change(page, deskew(page.image, estimate.correction, settings.canvas),
               {affine(0, 0), affine(0, 1), affine(0, 2), affine(1, 0), affine(1, 1), affine(1, 2), 0, 0, 1});
    }
    report.correction_angle = estimate.correction;
    report.skew_confidence = estimate.confidence;
    report.deskewed = turn;
}

// The input image's pixels that hold `box` of the page as it is now: the bounding box of its
// corners mapped back, within the input.
std::array<int, 4> box_in_input(const Page& page, const cv::Rect& box)
{
    if (box.empty())
        return {0, 0, 0, 0};
    const cv::Matx33d to_input = page.from_input.inv();
    const int right = box.x + box.width - 1;
    const int bottom = box.y + box.height - 1;
    cv::Point2d low(std::numeric_limits<double>::max(), std::numeric_limits<double>::max());
    cv::Point2d high(std::numeric_limits<double>::lowest(), std::numeric_limits<double>::lowest());
    for (const cv::Point corner : {box.tl(), cv::Point(right, box.y), cv::Point(right, bottom), cv::Point(box.x, bottom)}) {
        const cv::Vec3d mapped = to_input * cv::Vec3d(corner.x, corner.y, 1.0);
        low = {std::min(low.x, mapped[0]), std::min(low.y, mapped[1])};
        high = {std::max(high.x, mapped[0]), std::max(high.y, mapped[1])};
    }
    // Rounding error must not widen a box that maps onto whole pixels.
    constexpr double slack = 1e-6;
    const cv::Point first(cvFloor(low.x + slack), cvFloor(low.y + slack));
    const cv::Point last(cvCeil(high.x - slack), cvCeil(high.y - slack));
    const cv::Rect found = cv::Rect(first, last + cv::Point(1, 1)) & cv::Rect(cv::Point(), page.input_size);
    return {found.x, found.y, found.width, found.height};
}

// Cuts the page to its content and the margin; a blank page, or one whose content is not trusted,
// stays whole.
void crop_step(Page& page, const Job& job, Report& report)
{
    const PageContent content = find_page_content(page.image);
    report.content_box = box_in_input(page, content.box);
    report.content_confidence = content.confidence;
    report.blank = content.blank;
    if (!cut_to_content(report))
        return;
    const int margin = job.crop->margin;
    const cv::Rect kept = (content.box + cv::Size(2 * margin, 2 * margin) - cv::Point(margin, margin)) &
                          cv::Rect(cv::Point(), page.image.size());
    change(page, page.image(kept).clone(), {1, 0, double(-kept.x), 0, 1, double(-kept.y), 0, 0, 1});
}

// The steps of the job, in the order they apply. Levelling comes before orientation when both
// run: orientation tells quarter turns apart only on a page within a few degrees of one, and the
// skew search on both axes brings a page at any angle there. The content comes last, on the level,
// upright page.
std::vector<PageStep> page_steps(const Job& job)
{
    std::vector<PageStep> steps;
    if (job.deskew)
        steps.push_back(&deskew_step);
    if (job.orient)
        steps.push_back(&orient_step);
    if (job.crop)
        steps.push_back(&crop_step);
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
    page.input_size = page.image.size();
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
