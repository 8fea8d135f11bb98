#include <tulo/PageContent.hpp>

#include "PageContentWorking.hpp"
#include "PageInput.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

// The method, on a reduced grey copy (ink dark on light paper, 37 to 75 dpi for a page; each
// block keeps its darkest pixel, so thin strokes survive):
//  1. The paper level is estimated locally (a grey closing wider than any stroke, smoothed), so
//     tinted, unevenly lit and shadowed paper all read as paper; ink is darkness against it, and
//     the thresholds follow the paper level and the paper's own noise.
//  2. What lies off the page is removed: solid dark regions reaching the frame (scanner borders,
//     shadow cores, the dark edge of a facing page) and, on each side, everything beyond a long
//     straight dark line close to that side (the edge of the page or of a facing page's sliver).
//  3. The ink that remains is split into marks (connected components); marks lying mostly in the
//     fringe of the removed region, lone punch holes (round, convex, solid) and staples (straight
//     solid bars) near an edge, both measured again on the input, specks away from other marks
//     (small ones measured again on the input, by their largest piece), marks whose darkest
//     quarter is too faint, and marks far fainter than the page's own ink (bleed-through) are
//     dropped.
//  4. Each side of the box of the surviving marks is refined at full resolution, to the outermost
//     stroke and past dust lying on it (src/PageContentEdges.cpp); the confidence is the margin of
//     the weakest decision that shaped the box.

namespace tulo {

namespace {

using detail::require_page;
using detail::scale_to_8bit;

// The working copy's longer side stays at most this: a page lands at 37 to 75 dpi, where the
// thinnest print still leaves a trace (the darkest pixel of each block is kept) and every step
// costs little; the box is refined at full resolution afterwards.
constexpr int max_working_side = 640;
// Sizes are given in millimetres of a page whose longer side is this long (A4; letter is close).
constexpr double page_height_mm = 297.0;

// The paper level is the grey dilation over this width, smoothed over the same: wider than the
// strokes of bold headings, narrow enough to follow a shadow or uneven light.
constexpr double background_width_mm = 8.0;
// The dilation runs on the working copy pooled this many times in each direction.
constexpr int background_pooling = 4;

// The paper level is this percentile of the local paper levels: the bright paper, whatever share
// of the frame dark borders take.
constexpr double paper_percentile = 0.9;
// Ink is darker than the paper by at least these fractions of the paper level: pixels above the
// lower one join a mark, and a mark counts only if it reaches the upper one somewhere. Lower finds
// fainter pencil and picks up more bleed-through and stains.
constexpr double grow_fraction = 0.09;
constexpr double seed_fraction = 0.18;
// Both thresholds stay this many robust standard deviations above the median contrast of the paper,
// so that grain and sensor noise never make marks.
constexpr double noise_sigmas = 4.0;
constexpr double seed_over_grow = 1.6;

// Darker than this fraction of the paper level is "dark" for borders and page edges; an opening of
// this width keeps solid dark regions and drops text.
constexpr double dark_fraction = 0.5;
constexpr double solid_width_mm = 1.5;

// A page edge line: on each side, within this share of the width, a column (or row) covered by
// dark or ink on at least line_coverage of its rows, in at least min_line_bands of line_bands
// bands, all within line_tolerance_mm of their median (a slanted or bent edge still qualifies).
constexpr double side_band_fraction = 0.1;
constexpr double line_coverage = 0.95;
constexpr int line_bands = 8;
constexpr int min_line_bands = 7;
constexpr double line_tolerance_mm = 4.0;
// Margin cut beyond such a line, and the band beyond a removed region where ink is its fringe
// (anti-aliasing, a ragged edge) and ignored.
constexpr double border_margin_mm = 1.0;
// A mark lying mostly within this distance of a removed region belongs to it (the steep part of a
// shadow, a hole cut by a border); one reaching further in is content that comes close to it.
constexpr double fringe_mm = 3.0;

// Punch holes: round (box aspect within 1/hole_aspect..hole_aspect), filled like a disc, of
// these diameters, with their centre this close to a page edge.
constexpr double hole_min_mm = 5.0;
constexpr double hole_max_mm = 10.0;
constexpr double hole_aspect = 1.25;
constexpr double hole_min_fill = 0.68;
constexpr double hole_max_fill = 0.92;
// A hole is convex and solid: a bold letter of a hole's size and roundness leaves more than this
// share of its convex hull empty (an o's counter, a u's bay).
constexpr double hole_max_counter = 0.1;
constexpr double hole_edge_mm = 25.0;
// A shape test's relative slack counts this many times in the confidence: its bounds lie well
// outside what holes and staples measure, so a small slack is already a clear call.
constexpr double shape_margin_scale = 3.0;
// Staples: thin, straight and short, close to a page edge.
constexpr double staple_min_mm = 5.0;
constexpr double staple_max_mm = 25.0;
constexpr double staple_max_width_mm = 2.5;
constexpr double staple_min_elongation = 4.0;
constexpr double staple_min_solidity = 0.6;
constexpr double staple_edge_mm = 20.0;
// Marks up to this factor off a hole's or a staple's size in the reduced copy are measured on the
// input.
constexpr double loose_size = 1.5;
// Both keep at least this far from any other mark; a hole's solid round shape tells it from ink
// already, so a note written close to it leaves it a hole.
constexpr double isolation_mm = 3.0;
constexpr double hole_isolation_mm = 1.0;

// Specks: marks no larger than this either way, or covering no more than speck_area_mm2, count only
// within speck_isolation_mm of other marks (the dot of an i, a full stop), never alone.
constexpr double speck_mm = 1.6;
constexpr double speck_area_mm2 = 2.0;
// Marks up to small_mark_mm either way in the reduced copy are measured again on the input, where a
// speck's largest piece is at most speck_mm_in_input across (dust; a full stop is kept next to its
// word).
constexpr double small_mark_mm = 4.0;
constexpr double speck_isolation_mm = 1.0;

// Bleed-through: once a page has at least min_marks_for_ink_level marks, a mark whose peak contrast
// is below bleed_fraction of the median peak of the marks is the reverse side showing through.
// Faint pencil next to print reaches about a third of it; bleed-through stays under a fifth.
constexpr double bleed_fraction = 0.2;
constexpr std::size_t min_marks_for_ink_level = 8;

// A mark's contrast is read to bins this wide, at the level the darkest
// peak_share of its pixels reach: small enough that a faint note touching a larger blob of
// bleed-through keeps its own contrast, large enough that a speck of dust does not set it.
constexpr int contrast_bin_width = 4;
constexpr double peak_share = 0.25;
// ... but never more pixels than cover this much: a large mark (a photograph, a figure) is as
// strong as its darkest part, however light most of it is.
constexpr double peak_area_mm2 = 10.0;

// Strokes are at most this wide; a page is turned over only when its light detail outweighs its
// dark detail this many times (dark ink on light paper is the rule).
constexpr double stroke_width_mm = 1.5;
constexpr double polarity_ratio = 2.0;

int odd_side(double pixels)
{
    return 2 * std::max(1, cvRound(pixels / 2.0)) + 1;
}

cv::Mat rect_kernel(int side)
{
    return cv::getStructuringElement(cv::MORPH_RECT, cv::Size(side, side));
}

cv::Mat to_grey8(const cv::Mat& image, double to_8bit)
{
    cv::Mat grey;
    if (image.channels() == 1)
        grey = image;
    else
        cv::cvtColor(image, grey, image.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    if (grey.depth() == CV_8U)
        return grey;
    cv::Mat grey8;
    grey.convertTo(grey8, CV_8U, to_8bit);
    return grey8;
}
} // namespace

cv::Mat detail::input_grey(const cv::Mat& page, const Working& working, const cv::Rect& region)
{
    const cv::Mat grey = to_grey8(page(region), working.to_8bit);
    if (!working.inverted)
        return grey;
    cv::Mat turned;
    cv::bitwise_not(grey, turned);
    return turned;
}

namespace {

using detail::input_grey;
using detail::RefinedBox;
using detail::speck_mm_in_input;
using detail::Working;

// Halves by keeping the darkest of each 2 x 2 block, so that a thin stroke keeps its contrast.
cv::Mat darkest_halved(const cv::Mat& grey)
{
    cv::Mat halved(std::max(1, grey.rows / 2), std::max(1, grey.cols / 2), CV_8U);
    for (int y = 0; y < halved.rows; ++y) {
        const uchar* const upper = grey.ptr<uchar>(std::min(2 * y, grey.rows - 1));
        const uchar* const lower = grey.ptr<uchar>(std::min(2 * y + 1, grey.rows - 1));
        uchar* const out = halved.ptr<uchar>(y);
        for (int x = 0; x < halved.cols; ++x) {
            const int left = std::min(2 * x, grey.cols - 1);
            const int right = std::min(2 * x + 1, grey.cols - 1);
            out[x] = std::min(std::min(upper[left], upper[right]), std::min(lower[left], lower[right]));
        }
    }
    return halved;
}

// The grey level below which `share` of the pixels lie.
int percentile_of(const cv::Mat& grey8, double share)
{
    std::array<long, 256> counts{};
    for (int y = 0; y < grey8.rows; ++y) {
        const uchar* const row = grey8.ptr<uchar>(y);
        for (int x = 0; x < grey8.cols; ++x)
            ++counts[row[x]];
    }
    const auto wanted = static_cast<long>(share * static_cast<double>(grey8.total()));
    long seen = 0;
    int value = 0;
    while (value < 255 && seen + counts[static_cast<std::size_t>(value)] <= wanted)
        seen += counts[static_cast<std::size_t>(value++)];
    return value;
}

// Light ink on dark paper shows as more small bright detail than small dark detail (top-hats
// narrower than a stroke); a large dark region alone (a scanner bed around a small page) does not
// turn the page over.
bool light_on_dark(const cv::Mat& grey, double pixels_per_mm)
{
    const cv::Mat kernel = rect_kernel(odd_side(stroke_width_mm * pixels_per_mm));
    cv::Mat dark_detail;
    cv::Mat light_detail;
    cv::morphologyEx(grey, dark_detail, cv::MORPH_BLACKHAT, kernel);
    cv::morphologyEx(grey, light_detail, cv::MORPH_TOPHAT, kernel);
    return cv::sum(light_detail)[0] > polarity_ratio * cv::sum(dark_detail)[0];
}

// The first halving averages (so sensor noise shrinks before the darkest pixels are kept), the
// others keep the darkest: every mark of the input leaves a trace in the copy.
Working reduce(const cv::Mat& page)
{
    Working working;
    while ((std::max(page.cols, page.rows) / working.factor) > max_working_side &&
           std::min(page.cols, page.rows) / (2 * working.factor) > 0)
        working.factor *= 2;
    if (working.factor == 1) {
        working.to_8bit = scale_to_8bit(page);
        working.grey = to_grey8(page, working.to_8bit).clone();
    } else {
        cv::Mat averaged;
        // An even-sized view, so that OpenCV takes its fast path for an exact halving.
        const cv::Mat even = page(cv::Rect(0, 0, page.cols / 2 * 2, page.rows / 2 * 2));
        cv::resize(even, averaged, cv::Size(even.cols / 2, even.rows / 2), 0.0, 0.0, cv::INTER_AREA);
        // The scale of 16-bit data is taken from the averaged copy: one pass less over the input.
        working.to_8bit = scale_to_8bit(averaged);
        working.grey = to_grey8(averaged, working.to_8bit);
        for (int factor = 2; factor < working.factor; factor *= 2)
            working.grey = darkest_halved(working.grey);
    }
    working.pixels_per_mm = std::max(working.grey.cols, working.grey.rows) / page_height_mm;
    working.inverted = light_on_dark(working.grey, working.pixels_per_mm);
    if (working.inverted)
        cv::bitwise_not(working.grey, working.grey);
    return working;
}

// The local paper level: a grey closing wider than any stroke (the brightest grey nearby, except
// that a smooth gradient such as a shadow is followed), smoothed, never darker than the pixel.
cv::Mat paper_background(const Working& working)
{
    const cv::Mat& grey = working.grey;
    cv::Mat pooled;
    cv::dilate(grey, pooled, rect_kernel(background_pooling), cv::Point(0, 0));
    cv::resize(pooled, pooled,
               cv::Size(std::max(1, grey.cols / background_pooling), std::max(1, grey.rows / background_pooling)),
               0.0, 0.0, cv::INTER_NEAREST);
    const int side = odd_side(background_width_mm * working.pixels_per_mm / background_pooling);
    cv::morphologyEx(pooled, pooled, cv::MORPH_CLOSE, rect_kernel(side));
    cv::blur(pooled, pooled, cv::Size(side, side));
    cv::Mat background;
    cv::resize(pooled, background, grey.size(), 0.0, 0.0, cv::INTER_LINEAR);
    return cv::max(background, grey);
}

/** The contrast levels that make ink, from the paper level and the paper's own noise. */
struct InkLevels {
    double paper = 255.0;
    double grow = 0.0;  // a pixel this much darker than its paper belongs to a mark
    double seed = 0.0;  // a mark counts only if it is somewhere this much darker
};

// The median and the median absolute deviation of the values below `limit` (the paper's own
// contrast, without the ink).
std::pair<double, double> paper_spread(const cv::Mat& contrast, int limit)
{
    std::array<long, 256> counts{};
    for (int y = 0; y < contrast.rows; ++y) {
        const uchar* const row = contrast.ptr<uchar>(y);
        for (int x = 0; x < contrast.cols; ++x)
            ++counts[row[x]];
    }
    const auto median_of_counts = [limit](const std::array<long, 256>& histogram) {
        long total = 0;
        for (int v = 0; v < limit; ++v)
            total += histogram[static_cast<std::size_t>(v)];
        long seen = 0;
        int value = 0;
        while (value < limit - 1 && seen + histogram[static_cast<std::size_t>(value)] <= total / 2)
            seen += histogram[static_cast<std::size_t>(value++)];
        return value;
    };
    const int median = median_of_counts(counts);
    std::array<long, 256> deviations{};
    for (int v = 0; v < limit; ++v)
        deviations[static_cast<std::size_t>(std::abs(v - median))] += counts[static_cast<std::size_t>(v)];
    return {median, median_of_counts(deviations)};
}

InkLevels ink_levels(const cv::Mat& background, const cv::Mat& contrast)
{
    InkLevels levels;
    levels.paper = percentile_of(background, paper_percentile);
    const double grow = grow_fraction * levels.paper;
    const auto [median, deviation] = paper_spread(contrast, std::max(2, cvCeil(grow)));
    levels.grow = std::max(grow, median + noise_sigmas * 1.4826 * deviation);
    levels.seed = std::max(seed_fraction * levels.paper, seed_over_grow * levels.grow);
    return levels;
}

// Marks solid dark regions reaching the frame: scanner borders, shadow cores, dark page edges.
cv::Mat dark_regions_at_frame(const Working& working, double paper)
{
    cv::Mat dark;
    cv::compare(working.grey, cv::Scalar::all(dark_fraction * paper), dark, cv::CMP_LT);
    cv::morphologyEx(dark, dark, cv::MORPH_OPEN, rect_kernel(odd_side(solid_width_mm * working.pixels_per_mm)));
    cv::Mat region = cv::Mat::zeros(dark.rows + 2, dark.cols + 2, CV_8U);
    for (int x = 0; x < dark.cols; ++x)
        for (const int y : {0, dark.rows - 1})
            if (dark.at<uchar>(y, x) != 0 && region.at<uchar>(y + 1, x + 1) == 0)
                cv::floodFill(dark, region, cv::Point(x, y), 0, nullptr, 0, 0, 4 | cv::FLOODFILL_MASK_ONLY | (255 << 8));
    for (int y = 0; y < dark.rows; ++y)
        for (const int x : {0, dark.cols - 1})
            if (dark.at<uchar>(y, x) != 0 && region.at<uchar>(y + 1, x + 1) == 0)
                cv::floodFill(dark, region, cv::Point(x, y), 0, nullptr, 0, 0, 4 | cv::FLOODFILL_MASK_ONLY | (255 << 8));
    return region(cv::Rect(1, 1, dark.cols, dark.rows)).clone();
}

// How many columns from the left lie beyond a long straight dark line close to the left side
// (0 when there is none). Each band of rows finds its innermost well-covered column; the bands
// must agree on one line.
int columns_beyond_edge_line(const cv::Mat& dark_or_ink, double pixels_per_mm)
{
    const int reach = std::max(1, cvRound(side_band_fraction * dark_or_ink.cols));
    const int band_rows = dark_or_ink.rows / line_bands;
    if (band_rows == 0)
        return 0;
    std::vector<int> innermost;
    for (int band = 0; band < line_bands; ++band) {
        cv::Mat counts;
        cv::reduce(dark_or_ink(cv::Rect(0, band * band_rows, reach, band_rows)) / 255, counts, 0, cv::REDUCE_SUM, CV_32S);
        const int needed = cvCeil(line_coverage * band_rows);
        for (int x = reach - 1; x >= 0; --x)
            if (counts.at<int>(0, x) >= needed) {
                innermost.push_back(x);
                break;
            }
    }
    if (innermost.size() < static_cast<std::size_t>(min_line_bands))
        return 0;
    std::vector<int> sorted = innermost;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const int median = sorted[sorted.size() / 2];
    const double tolerance = line_tolerance_mm * pixels_per_mm;
    int agreeing = 0;
    int deepest = 0;
    for (const int x : innermost)
        if (std::abs(x - median) <= tolerance) {
            ++agreeing;
            deepest = std::max(deepest, x);
        }
    if (agreeing < min_line_bands)
        return 0;
    return std::min(dark_or_ink.cols, deepest + 1 + cvRound(border_margin_mm * pixels_per_mm));
}

// Everything beyond a page edge line on any side, found on the left of each turned copy.
void remove_beyond_edge_lines(const cv::Mat& dark_or_ink, double pixels_per_mm, cv::Mat& removed)
{
    cv::Mat transposed;
    cv::transpose(dark_or_ink, transposed);
    const int left = columns_beyond_edge_line(dark_or_ink, pixels_per_mm);
    const int top = columns_beyond_edge_line(transposed, pixels_per_mm);
    cv::Mat flipped;
    cv::flip(dark_or_ink, flipped, 1);
    const int right = columns_beyond_edge_line(flipped, pixels_per_mm);
    cv::flip(transposed, flipped, 1);
    const int bottom = columns_beyond_edge_line(flipped, pixels_per_mm);
    removed.colRange(0, left).setTo(255);
    removed.colRange(removed.cols - right, removed.cols).setTo(255);
    removed.rowRange(0, top).setTo(255);
    removed.rowRange(removed.rows - bottom, removed.rows).setTo(255);
}

// What lies off the page: dark regions at the frame, whatever lies beyond an edge line, and the
// outermost ring of pixels (the frame itself, so that distances to it count).
cv::Mat off_page_region(const Working& working, const cv::Mat& contrast, const InkLevels& levels)
{
    cv::Mat removed = dark_regions_at_frame(working, levels.paper);
    cv::Mat dark_or_ink;
    cv::compare(contrast, cv::Scalar::all(levels.grow), dark_or_ink, cv::CMP_GT);
    dark_or_ink |= removed;
    remove_beyond_edge_lines(dark_or_ink, working.pixels_per_mm, removed);
    cv::rectangle(removed, cv::Rect(0, 0, removed.cols, removed.rows), cv::Scalar::all(255), 1);
    return removed;
}

enum class Verdict { kept, faint, off_page, hole, staple, speck, bleed };

/** One connected mark of ink and what was decided about it. */
struct Mark {
    cv::Rect box;
    int area = 0;
    // Its strong contrast against the paper: the level that peak_share of its pixels reach, so that
    // a speck of dust inside a faint word does not make the word dark.
    double peak = 0.0;
    cv::Point centre;
    int area_near_off_page = 0;  // how much of it lies within fringe_mm of what is off the page
    // For a small mark alone, how far its largest piece at full resolution exceeds a speck,
    // relative to a speck's size; 1 for the others.
    double size_margin = 1.0;
    // Where it sits like a punch hole or a staple (alone, near a side), how clearly its largest
    // piece at full resolution has that shape: the smallest relative slack of the shape's tests,
    // negative when one fails; minus infinity where it does not sit like one.
    double hole = -std::numeric_limits<double>::infinity();
    double staple = -std::numeric_limits<double>::infinity();
    Verdict verdict = Verdict::kept;
};

// The contrast that peak_share of a mark's pixels reach (at most peak_area_mm2 of them), to the
// lower edge of its bin of contrast_bin_width levels; the mark's contrasts are reordered.
double strong_level(std::vector<uchar>::iterator begin, std::vector<uchar>::iterator end, double pixels_per_mm)
{
    const double share = std::min(peak_share * static_cast<double>(end - begin), peak_area_mm2 * pixels_per_mm * pixels_per_mm);
    const auto needed = std::max<std::ptrdiff_t>(1, cvCeil(share));
    const auto level = begin + (needed - 1);
    std::nth_element(begin, level, end, std::greater<>());
    return *level / contrast_bin_width * contrast_bin_width;
}

// The marks of ink and, in `labels`, which pixels belong to which (mark i has label i + 1).
std::vector<Mark> find_marks(const cv::Mat& contrast, const cv::Mat& off_page, const InkLevels& levels,
                             double pixels_per_mm, cv::Mat& labels)
{
    cv::Mat ink;
    cv::compare(contrast, cv::Scalar::all(levels.grow), ink, cv::CMP_GT);
    cv::Mat around_off_page;
    cv::dilate(off_page, around_off_page, rect_kernel(odd_side(2.0 * border_margin_mm * pixels_per_mm)));
    ink.setTo(0, around_off_page);
    cv::Mat stats;
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8, CV_32S);
    std::vector<Mark> marks(static_cast<std::size_t>(std::max(0, count - 1)));
    // Each mark's contrasts, gathered mark after mark.
    std::vector<std::size_t> start(marks.size() + 1, 0);
    for (int i = 1; i < count; ++i)
        start[static_cast<std::size_t>(i)] = start[static_cast<std::size_t>(i - 1)] + static_cast<std::size_t>(stats.at<int>(i, cv::CC_STAT_AREA));
    std::vector<uchar> levels_by_mark(start.back());
    std::vector<std::size_t> filled(start.begin(), start.end() - 1);
    cv::Mat fringe;
    cv::dilate(off_page, fringe, rect_kernel(odd_side(2.0 * fringe_mm * pixels_per_mm)));
    for (int y = 0; y < labels.rows; ++y) {
        const int* const label = labels.ptr<int>(y);
        const uchar* const level = contrast.ptr<uchar>(y);
        const uchar* const near = fringe.ptr<uchar>(y);
        for (int x = 0; x < labels.cols; ++x) {
            if (label[x] == 0)
                continue;
            const auto index = static_cast<std::size_t>(label[x] - 1);
            levels_by_mark[filled[index]++] = level[x];
            marks[index].area_near_off_page += near[x] != 0;
        }
    }
    for (int i = 1; i < count; ++i) {
        const auto index = static_cast<std::size_t>(i - 1);
        Mark& mark = marks[index];
        mark.box = cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                            stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
        mark.area = stats.at<int>(i, cv::CC_STAT_AREA);
        mark.centre = cv::Point(cvRound(centroids.at<double>(i, 0)), cvRound(centroids.at<double>(i, 1)));
        const auto first = levels_by_mark.begin();
        mark.peak = strong_level(first + static_cast<std::ptrdiff_t>(start[index]),
                                 first + static_cast<std::ptrdiff_t>(start[index + 1]), pixels_per_mm);
    }
    return marks;
}

// Whether the point lies within `reach` pixels of the off-page region, straight left, right, up or
// down (holes and staples sit near a side, so the straight lines are enough).
bool near_off_page(const cv::Mat& off_page, cv::Point point, double reach)
{
    const int steps = cvCeil(reach);
    for (const cv::Point direction : {cv::Point(1, 0), cv::Point(-1, 0), cv::Point(0, 1), cv::Point(0, -1)})
        for (int step = 0; step <= steps; ++step) {
            const cv::Point at = point + step * direction;
            if (at.x < 0 || at.y < 0 || at.x >= off_page.cols || at.y >= off_page.rows || off_page.at<uchar>(at) != 0)
                return true;
        }
    return false;
}

// How far a value lies inside [low, high], relative to the nearer bound: negative outside.
double slack(double value, double low, double high)
{
    return std::min((value - low) / low, (high - value) / high);
}

/** A connected piece of ink: its box, how many pixels it covers and, for the largest piece under a
 *  mark, the length and width of the bar with the same second moments and its solidity. */
struct Piece {
    cv::Rect box;
    int area = 0;
    double length = 0.0;
    double width = 0.0;
    double solidity = 0.0;  // its share of its convex hull (counters and bays, as in an o or a u, lower it)
};

// How clearly a piece has the shape of a punch hole (round, filled like a disc, solid, of a hole's
// size): the smallest relative slack of its tests, negative when one fails.
double hole_shape(const Piece& piece, double pixels_per_mm)
{
    const double width = piece.box.width;
    const double height = piece.box.height;
    const double diameter = 0.5 * (width + height) / pixels_per_mm;
    const double fill = piece.area / (width * height);
    return std::min({slack(diameter, hole_min_mm, hole_max_mm), slack(fill, hole_min_fill, hole_max_fill),
                     slack(std::max(width, height) / std::min(width, height), 1.0 / hole_aspect, hole_aspect),
                     (hole_max_counter - (1.0 - piece.solidity)) / hole_max_counter});
}

// The same for a staple: a solid straight bar, thin and of a staple's length (a word of
// handwriting is as long and thin in ink, but spread over its height).
double staple_shape(const Piece& piece, double pixels_per_mm)
{
    return std::min({slack(piece.length / pixels_per_mm, staple_min_mm, staple_max_mm),
                     slack(piece.width / pixels_per_mm, 0.1, staple_max_width_mm),
                     slack(piece.length / piece.width, staple_min_elongation, 1e9),
                     slack(piece.area / (piece.length * piece.width), staple_min_solidity, 1.0 / staple_min_solidity)});
}

bool is_speck_sized(const Mark& mark, double pixels_per_mm)
{
    return std::max(mark.box.width, mark.box.height) <= speck_mm * pixels_per_mm ||
           mark.area <= speck_area_mm2 * pixels_per_mm * pixels_per_mm;
}

// Whether no other mark larger than a speck comes within `reach` pixels of this one's box.
bool isolated(const Mark& mark, const std::vector<Mark>& marks, double reach, double pixels_per_mm)
{
    const int margin = cvCeil(reach);
    const cv::Rect around(mark.box.x - margin, mark.box.y - margin, mark.box.width + 2 * margin,
                          mark.box.height + 2 * margin);
    for (const Mark& other : marks)
        if (&other != &mark && (other.box & around).area() > 0 && !is_speck_sized(other, pixels_per_mm))
            return false;
    return true;
}

/** The ink at full resolution under a mark of the reduced copy, split into pieces: pixels darker
 *  than the paper by the seed level, labelled, with their boxes and areas in the labels' pixels. */
struct InputPieces {
    cv::Mat labels;
    std::vector<Piece> pieces;  // piece i has label i + 1
};

InputPieces pieces_in_input(const cv::Mat& page, const Working& working, const Mark& mark, double paper, double seed)
{
    const int f = working.factor;
    const cv::Rect area = cv::Rect(mark.box.x * f - f, mark.box.y * f - f, (mark.box.width + 2) * f,
                                   (mark.box.height + 2) * f) & cv::Rect(0, 0, page.cols, page.rows);
    cv::Mat dark;
    cv::compare(input_grey(page, working, area), cv::Scalar::all(paper - seed), dark, cv::CMP_LT);
    InputPieces input;
    cv::Mat stats;
    cv::Mat centroids;
    const int count = cv::connectedComponentsWithStats(dark, input.labels, stats, centroids, 8, CV_32S);
    for (int i = 1; i < count; ++i)
        input.pieces.push_back({cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                                         stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT)),
                                stats.at<int>(i, cv::CC_STAT_AREA)});
    return input;
}

// The largest piece, with the length and width of the uniform bar that has its second moments.
Piece largest_piece(const InputPieces& input)
{
    const auto largest = std::max_element(input.pieces.begin(), input.pieces.end(),
                                          [](const Piece& a, const Piece& b) { return a.area < b.area; });
    if (largest == input.pieces.end())
        return {};
    Piece piece = *largest;
    const int label = static_cast<int>(largest - input.pieces.begin()) + 1;
    const cv::Mat labels = input.labels(piece.box);
    const cv::Moments moments = cv::moments(labels == label, true);
    const double xx = moments.mu20 / moments.m00;
    const double yy = moments.mu02 / moments.m00;
    const double xy = moments.mu11 / moments.m00;
    const double spread = std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
    // A uniform bar of length l has a variance of l^2 / 12 along it.
    piece.length = std::sqrt(12.0 * (0.5 * (xx + yy) + spread));
    piece.width = std::max(1.0, std::sqrt(12.0 * std::max(0.0, 0.5 * (xx + yy) - spread)));
    std::vector<cv::Point> outline;
    cv::findNonZero(labels == label, outline);
    std::vector<cv::Point> hull;
    cv::convexHull(outline, hull);
    cv::Mat hull_area = cv::Mat::zeros(labels.size(), CV_8U);
    cv::fillConvexPoly(hull_area, hull, cv::Scalar::all(255));
    piece.solidity = piece.area / static_cast<double>(std::max(piece.area, cv::countNonZero(hull_area)));
    return piece;
}

// Holes and staples sit alone near a side of the page, and are about their size in the reduced
// copy (which blurs their shape: a disc of a few pixels fills its box almost entirely); those that
// do are measured on the input. A word or a dot among others is never one.
void measure_holes_and_staples(std::vector<Mark>& marks, const cv::Mat& page, const Working& working,
                               const cv::Mat& background, double seed, const cv::Mat& off_page)
{
    const double pixels_per_mm = working.pixels_per_mm;
    const double input_pixels_per_mm = pixels_per_mm * working.factor;
    for (Mark& mark : marks) {
        if (2 * mark.area_near_off_page >= mark.area)
            continue;
        const double diameter = 0.5 * (mark.box.width + mark.box.height) / pixels_per_mm;
        const double length = std::hypot(mark.box.width, mark.box.height) / pixels_per_mm;
        const bool hole_like = diameter >= hole_min_mm / loose_size && diameter <= hole_max_mm * loose_size &&
                               near_off_page(off_page, mark.centre, hole_edge_mm * pixels_per_mm) &&
                               isolated(mark, marks, hole_isolation_mm * pixels_per_mm, pixels_per_mm);
        const bool staple_like = length >= staple_min_mm / loose_size && length <= staple_max_mm * loose_size &&
                                 near_off_page(off_page, mark.centre, staple_edge_mm * pixels_per_mm) &&
                                 isolated(mark, marks, isolation_mm * pixels_per_mm, pixels_per_mm);
        if (!hole_like && !staple_like)
            continue;
        double paper = 0.0;
        cv::minMaxLoc(background(mark.box), nullptr, &paper);
        const Piece piece = largest_piece(pieces_in_input(page, working, mark, paper, seed));
        if (piece.area == 0)
            continue;
        if (hole_like)
            mark.hole = hole_shape(piece, input_pixels_per_mm);
        if (staple_like)
            mark.staple = staple_shape(piece, input_pixels_per_mm);
    }
}

// The first judgement, mark by mark: the fringe of what lies off the page, a hole, a staple, a
// speck, too faint.
void judge_each(std::vector<Mark>& marks, const InkLevels& levels, double pixels_per_mm)
{
    for (Mark& mark : marks) {
        if (2 * mark.area_near_off_page >= mark.area)
            mark.verdict = Verdict::off_page;
        else if (mark.hole >= 0.0)
            mark.verdict = Verdict::hole;
        else if (mark.staple >= 0.0)
            mark.verdict = Verdict::staple;
        else if (mark.peak < levels.seed)
            mark.verdict = Verdict::faint;
        else if (is_speck_sized(mark, pixels_per_mm))
            mark.verdict = Verdict::speck;
    }
}

// The longer side, in input pixels, of the largest piece of ink of a small mark at full resolution:
// the reduced copy makes dust look larger than it is (a pixel of the copy is up to 0.7 mm), and
// merges specks lying close together, or the grain of a faint smudge, into one mark.
int full_extent(const cv::Mat& page, const Working& working, const Mark& mark, double paper, double seed)
{
    int largest = 0;
    for (const Piece& piece : pieces_in_input(page, working, mark, paper, seed).pieces)
        largest = std::max({largest, piece.box.width, piece.box.height});
    return largest;
}

// Small marks alone that the copy calls content are measured again on the input: dust is a speck
// there. (Small marks among others, letters mostly, are content whatever their size.)
void judge_small_marks(std::vector<Mark>& marks, const cv::Mat& page, const Working& working,
                       const cv::Mat& background, double seed)
{
    cv::Mat covered = cv::Mat::zeros(background.size(), CV_8U);
    for (const Mark& mark : marks)
        if (mark.verdict == Verdict::kept)
            covered(mark.box).setTo(1);
    cv::Mat sums;
    cv::integral(covered, sums, CV_32S);
    const cv::Rect frame(0, 0, covered.cols, covered.rows);
    const auto marked = [&sums, &frame](cv::Rect area) {
        area &= frame;
        return sums.at<int>(area.br()) - sums.at<int>(area.y, area.br().x) - sums.at<int>(area.br().y, area.x) +
               sums.at<int>(area.tl());
    };
    const double working_limit = small_mark_mm * working.pixels_per_mm;
    const double input_limit = speck_mm_in_input * working.pixels_per_mm * working.factor;
    const int reach = cvCeil(speck_isolation_mm * working.pixels_per_mm);
    for (Mark& mark : marks) {
        if (mark.verdict != Verdict::kept || std::max(mark.box.width, mark.box.height) > working_limit)
            continue;
        const cv::Rect around(mark.box.x - reach, mark.box.y - reach, mark.box.width + 2 * reach,
                              mark.box.height + 2 * reach);
        if (marked(around) != marked(mark.box))
            continue;
        const int extent = full_extent(page, working, mark, background.at<uchar>(mark.centre), seed);
        if (extent <= input_limit)
            mark.verdict = Verdict::speck;
        else
            mark.size_margin = (extent - input_limit) / input_limit;
    }
}

// The contrast under which a mark is bleed-through, from the page's own ink; 0 while the page has
// too few marks to tell.
double bleed_level(const std::vector<Mark>& marks)
{
    std::vector<double> peaks;
    for (const Mark& mark : marks)
        if (mark.verdict == Verdict::kept)
            peaks.push_back(mark.peak);
    if (peaks.size() < min_marks_for_ink_level)
        return 0.0;
    const auto middle = peaks.begin() + static_cast<std::ptrdiff_t>(peaks.size() / 2);
    std::nth_element(peaks.begin(), middle, peaks.end());
    return bleed_fraction * *middle;
}

void judge_bleed(std::vector<Mark>& marks, double bleed)
{
    for (Mark& mark : marks)
        if (mark.verdict == Verdict::kept && mark.peak < bleed)
            mark.verdict = Verdict::bleed;
}

// Specks near the ink of kept marks belong to them (dots, full stops); alone they are dust.
void judge_specks(std::vector<Mark>& marks, const cv::Mat& labels, double pixels_per_mm)
{
    cv::Mat near_marks = cv::Mat::zeros(labels.size(), CV_8U);
    for (int y = 0; y < labels.rows; ++y) {
        const int* const label = labels.ptr<int>(y);
        uchar* const near = near_marks.ptr<uchar>(y);
        for (int x = 0; x < labels.cols; ++x)
            if (label[x] != 0 && marks[static_cast<std::size_t>(label[x] - 1)].verdict == Verdict::kept)
                near[x] = 255;
    }
    cv::dilate(near_marks, near_marks, rect_kernel(odd_side(2.0 * speck_isolation_mm * pixels_per_mm)));
    for (Mark& mark : marks)
        if (mark.verdict == Verdict::speck && cv::countNonZero(near_marks(mark.box)) > 0)
            mark.verdict = Verdict::kept;
}

cv::Rect kept_box(const std::vector<Mark>& marks)
{
    cv::Rect box;
    for (const Mark& mark : marks)
        if (mark.verdict == Verdict::kept)
            box = box.empty() ? mark.box : (box | mark.box);
    return box;
}

bool on_edge_of(const cv::Rect& inner, const cv::Rect& box)
{
    return inner.x == box.x || inner.y == box.y || inner.br().x == box.br().x || inner.br().y == box.br().y;
}

// How clearly one contrast decision went, relative to the threshold it was taken against.
double contrast_margin(double peak, double threshold)
{
    return threshold > 0.0 ? std::abs(peak - threshold) / threshold : 1.0;
}

// The margin of one mark's decision, for the marks that shaped the box: those on its edge and the
// rejected ones that would have widened it. 1 for a decision that does not bear on the box, and
// for specks: too small to be content alone by definition, whatever their exact size.
double decision_margin(const Mark& mark, const cv::Rect& box, const InkLevels& levels, double bleed,
                       double pixels_per_mm)
{
    const bool widens = box.empty() || (box | mark.box) != box;
    switch (mark.verdict) {
    case Verdict::kept:
        return on_edge_of(mark.box, box) ? std::min({contrast_margin(mark.peak, levels.seed),
                                                     bleed > 0.0 ? contrast_margin(mark.peak, bleed) : 1.0,
                                                     mark.size_margin, -shape_margin_scale * mark.hole,
                                                     -shape_margin_scale * mark.staple})
                                         : 1.0;
    case Verdict::faint:
        return widens && !is_speck_sized(mark, pixels_per_mm) ? contrast_margin(mark.peak, levels.seed) : 1.0;
    case Verdict::bleed:
        return widens ? contrast_margin(mark.peak, bleed) : 1.0;
    case Verdict::hole:
        return widens ? shape_margin_scale * mark.hole : 1.0;
    case Verdict::staple:
        return widens ? shape_margin_scale * mark.staple : 1.0;
    default:
        return 1.0;
    }
}

// How far the box keeps from what was removed as off the page, relative to border_margin_mm.
double clearance_margin(const cv::Rect& box, const cv::Mat& off_page, double pixels_per_mm)
{
    if (box.empty())
        return 1.0;
    const int reach = std::max(1, cvRound(border_margin_mm * pixels_per_mm));
    const cv::Rect around = (box + cv::Size(2 * reach, 2 * reach) - cv::Point(reach, reach)) &
                            cv::Rect(0, 0, off_page.cols, off_page.rows);
    for (int step = 0; step <= reach; ++step) {
        const cv::Rect ring = (box + cv::Size(2 * step, 2 * step) - cv::Point(step, step)) & around;
        if (cv::countNonZero(off_page(ring)) > 0)
            return double(step) / reach;
    }
    return 1.0;
}

double confidence_of(const std::vector<Mark>& marks, const cv::Rect& box, const InkLevels& levels, double bleed,
                     const cv::Mat& off_page, double pixels_per_mm)
{
    double weakest = clearance_margin(box, off_page, pixels_per_mm);
    for (const Mark& mark : marks)
        weakest = std::min(weakest, decision_margin(mark, box, levels, bleed, pixels_per_mm));
    return std::clamp(weakest, 0.0, 1.0);
}

} // namespace

PageContent find_page_content(const cv::Mat& page)
{
    require_page(page, "cannot find the content of an empty image", "finding page content");

    const Working working = reduce(page);
    const cv::Mat background = paper_background(working);
    cv::Mat contrast;
    cv::subtract(background, working.grey, contrast);
    const InkLevels levels = ink_levels(background, contrast);
    const cv::Mat off_page = off_page_region(working, contrast, levels);

    cv::Mat labels;
    std::vector<Mark> marks = find_marks(contrast, off_page, levels, working.pixels_per_mm, labels);
    measure_holes_and_staples(marks, page, working, background, levels.seed, off_page);
    judge_each(marks, levels, working.pixels_per_mm);
    judge_small_marks(marks, page, working, background, levels.seed);
    const double bleed = bleed_level(marks);
    judge_bleed(marks, bleed);
    judge_specks(marks, labels, working.pixels_per_mm);

    const cv::Rect box = kept_box(marks);
    PageContent content;
    content.confidence = confidence_of(marks, box, levels, bleed, off_page, working.pixels_per_mm);
    content.blank = box.empty();
    if (!content.blank) {
        const RefinedBox refined_box = detail::refined(page, box, working, background, levels.grow);
        content.box = refined_box.box;
        content.confidence = std::min(content.confidence, refined_box.margin);
    }
    return content;
}

} // namespace tulo
