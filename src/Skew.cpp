#include <tulo/Skew.hpp>

#include "PageInput.hpp"
#include "RowAlignment.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace tulo {

namespace {

using detail::require;
using detail::require_page;
using detail::scale_to_8bit;

// Largest longer side of the reduced copy the angle is searched on; halving stops at the first size
// at most this, so the copy's longer side lies between half of it and it. Larger finds finer print
// and a finer angle at a cost that grows with its square; the result hardly depends on the dpi.
constexpr int max_working_side = 1448;
// Side of the square closing that tells ink from background: strokes up to about this wide (in
// working pixels) count as ink; smooth areas, photo shading and thick borders do not.
constexpr int ink_kernel_side = 7;
// Ink below this multiple of the median ink, and below min_ink_contrast grey levels, is treated
// as paper grain or sensor noise: higher ignores more noise and more faint print.
constexpr double noise_floor_factor = 2.0;
constexpr double min_ink_contrast = 12.0;
// Fraction of the page height over which the top and bottom rows fade in, so that the edge of the
// frame makes no row of its own at 0 degrees.
constexpr double taper_fraction = 0.06;

// The coarse search runs on the ink halved once more, over every angle in steps of coarse_step
// degrees. A finer step costs time; a coarser one can step over a narrow peak.
constexpr double coarse_step = 0.25;
// Angles are searched in groups sharing one pre-shear; strips must stay narrow enough that the
// rest of the shear inside a strip (half a group times its width) blurs a row by under a pixel.
constexpr double group_span = 5.0;
constexpr int coarse_strip_width = 16;

// The refinement searches +-fine_half_range around the coarse peak (wide enough to recover when
// level borders pull the coarse peak a few steps off) in fine_step steps, on strip profiles
// upsampled fine_upsampling times (rows finer than the reduction leaves), then fits a parabola
// through fit_half_width steps on each side of the best one.
constexpr double fine_half_range = 3.0 * coarse_step;
constexpr double fine_step = 0.025;
constexpr int fine_upsampling = 2;
constexpr int fine_strip_width = 8;
constexpr int fit_half_width = 6;

// Rows of the working copy made per band of the input: larger bands mean fewer calls, smaller
// ones smaller temporaries.
constexpr int band_rows = 32;

// Side-by-side parts of the page scored apart (see RowScore): more resist interference between
// columns of text, fewer keep each line long, which sharpens the peak.
constexpr int score_bands = 2;

// Most ink a strip's row may carry, per pixel of the strip's width: a row of text covers its strip
// only in part, a ruled line or a dark edge entirely, and clipped at this a few such lines cannot
// outweigh the text. Lower clips more of the text's own ink too.
constexpr float row_ink_cap = 96.0f;

// Steps of the peak's profile left out of the confidence: a line makes two (its top and bottom
// edge), so this leaves out the two strongest lines. A photo's few straight edges then stand out
// no more than any angle does, while a page keeps its many other rows; more would demand more
// rows of a page.
constexpr std::size_t dropped_steps = 4;

constexpr double widest_angle = 45.0;  // the largest max_angle accepted

constexpr double paper_level_split = 128.0;  // a median below this means light ink on dark paper

double degrees_to_slope(double degrees)
{
    return std::tan(degrees * CV_PI / 180.0);
}

// How many times the image is halved to reach the working size; a sliver of an image keeps at
// least one pixel across.
int halvings_for(const cv::Mat& image)
{
    int halvings = 0;
    while ((std::max(image.cols, image.rows) >> halvings) > max_working_side &&
           (std::min(image.cols, image.rows) >> (halvings + 1)) > 0)
        ++halvings;
    return halvings;
}

// Buffers reused from band to band, so that a large scan never needs a large temporary copy.
struct BandBuffers {
    std::vector<cv::Mat> halved;
    cv::Mat grey;
    cv::Mat grey8;
};

const cv::Mat& to_grey(const cv::Mat& image, cv::Mat& buffer)
{
    if (image.channels() == 1)
        return image;
    cv::cvtColor(image, buffer, image.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    return buffer;
}

// One band of input rows, halved (OpenCV's fast 2 x 2 area path; the colour conversion after the
// first halving, so little colour is converted) and turned into one 8-bit channel.
cv::Mat grey_band(const cv::Mat& rows, int halvings, double to_8bit, BandBuffers& buffers)
{
    cv::Mat band = halvings == 0 ? to_grey(rows, buffers.grey) : rows;
    buffers.halved.resize(halvings);
    for (cv::Mat& halved : buffers.halved) {
        cv::resize(band, halved, cv::Size(band.cols / 2, band.rows / 2), 0.0, 0.0, cv::INTER_AREA);
        band = to_grey(halved, buffers.grey);
    }
    if (band.depth() == CV_8U)
        return band;
    band.convertTo(buffers.grey8, CV_8U, to_8bit);
    return buffers.grey8;
}

// The working copy: one 8-bit channel, reduced by whole powers of two (whole-pixel area averages
// make no rows of their own out of noise, as a fractional reduction would) to a longer side of at
// most max_working_side, and stored transposed (row x is column x of the image) so that the
// profiles read each column contiguously. It is made band by band, so the temporaries stay small
// however large the scan.
cv::Mat working_columns(const cv::Mat& image)
{
    const int halvings = halvings_for(image);
    const int factor = 1 << halvings;
    const cv::Size size(image.cols / factor, image.rows / factor);
    const double to_8bit = scale_to_8bit(image);
    cv::Mat result(size.width, size.height, CV_8U);
    BandBuffers buffers;
    for (int first = 0; first < size.height; first += band_rows) {
        const int count = std::min(band_rows, size.height - first);
        const cv::Mat rows = image(cv::Rect(0, first * factor, size.width * factor, count * factor));
        cv::Mat target = result(cv::Rect(first, 0, count, size.width));
        cv::transpose(grey_band(rows, halvings, to_8bit, buffers), target);
    }
    return result;
}

double median_of(const cv::Mat& grey8)
{
    std::array<int, 256> counts{};
    for (int y = 0; y < grey8.rows; ++y) {
        const uchar* const row = grey8.ptr<uchar>(y);
        for (int x = 0; x < grey8.cols; ++x)
            ++counts[row[x]];
    }
    const long half = static_cast<long>(grey8.total()) / 2;
    long seen = 0;
    int value = 0;
    while (seen + counts[value] <= half)
        seen += counts[value++];
    return value;
}

// The middle half in both directions, where the paper shows even when black corners or borders
// cover much of the frame.
cv::Mat central_half(const cv::Mat& image)
{
    return image(cv::Rect(image.cols / 4, image.rows / 4, std::max(1, image.cols / 2), std::max(1, image.rows / 2)));
}

// Turns the grey copy, in place, into ink: darkness against the local background (a grey closing
// minus the image), dark on light after turning light-on-dark pages over, less the noise floor.
void grey_to_ink(cv::Mat& grey8)
{
    if (median_of(central_half(grey8)) < paper_level_split)
        cv::bitwise_not(grey8, grey8);
    cv::Mat closed;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(ink_kernel_side, ink_kernel_side));
    cv::morphologyEx(grey8, closed, cv::MORPH_CLOSE, kernel);
    cv::subtract(closed, grey8, grey8);
    const double floor = std::max(min_ink_contrast, noise_floor_factor * median_of(grey8));
    cv::subtract(grey8, cv::Scalar::all(floor), grey8);
}

// Fades in the first and last image rows (the ends of each stored column).
void taper_top_and_bottom(cv::Mat& columns)
{
    const int fade = std::min(columns.cols / 2, cvCeil(columns.cols * taper_fraction));
    for (int x = 0; x < columns.rows; ++x) {
        uchar* const column = columns.ptr<uchar>(x);
        for (int i = 0; i < fade; ++i) {
            const float weight = (i + 0.5f) / fade;
            column[i] = cv::saturate_cast<uchar>(column[i] * weight);
            column[columns.cols - 1 - i] = cv::saturate_cast<uchar>(column[columns.cols - 1 - i] * weight);
        }
    }
}

cv::Mat halved(const cv::Mat& columns)
{
    if (columns.rows < 2 || columns.cols < 2)
        return columns;
    const cv::Mat even = columns(cv::Rect(0, 0, columns.cols & ~1, columns.rows & ~1));
    cv::Mat result;
    cv::resize(even, result, cv::Size(even.cols / 2, even.rows / 2), 0.0, 0.0, cv::INTER_AREA);
    return result;
}

// Row profiles of vertical strips of the image, each strip sheared by a base slope about its own
// centre. A profile at a nearby slope is then the sum of the strips shifted by their centres.
struct StripProfiles {
    cv::Mat profiles;            // CV_32F, one row per strip
    std::vector<double> centres;  // strip centres, in columns from the image centre
    double bins_per_row = 1.0;   // profile bins per image row (the upsampling)
};

StripProfiles sheared_strips(const cv::Mat& columns, int strip_width, double base_slope)
{
    const int width = columns.rows;
    const int strips = (width + strip_width - 1) / strip_width;
    const int margin = cvCeil(strip_width * 0.5 * std::abs(base_slope)) + 1;
    StripProfiles result{cv::Mat::zeros(strips, columns.cols + 2 * margin, CV_32F), {}, 1.0};
    result.centres.reserve(strips);
    for (int s = 0; s < strips; ++s) {
        const int first = s * strip_width;
        const int last = std::min(width, first + strip_width) - 1;
        const double centre = 0.5 * (first + last);
        float* const profile = result.profiles.ptr<float>(s) + margin;
        for (int x = first; x <= last; ++x) {
            const int shift = cvRound((x - centre) * base_slope);
            const uchar* const column = columns.ptr<uchar>(x);
            for (int y = 0; y < columns.cols; ++y)
                profile[y - shift] += column[y];
        }
        result.centres.push_back(centre - 0.5 * (width - 1));
    }
    cv::min(result.profiles, row_ink_cap * strip_width, result.profiles);
    return result;
}

// The same strips on rows `factor` times finer, linearly interpolated.
StripProfiles upsampled(StripProfiles strips, int factor)
{
    cv::Mat finer;
    cv::resize(strips.profiles, finer, cv::Size(strips.profiles.cols * factor, strips.profiles.rows), 0.0, 0.0,
               cv::INTER_LINEAR);
    strips.profiles = finer;
    strips.bins_per_row *= factor;
    return strips;
}

double farthest_centre(const StripProfiles& strips)
{
    double farthest = 0.0;
    for (const double centre : strips.centres)
        farthest = std::max(farthest, std::abs(centre));
    return farthest;
}

// How sharply the ink falls into rows at `slope`: the sum of squared differences of adjacent bins
// of the row profile, which peaks when lines of text project onto few bins. The page is scored in
// score_bands side-by-side parts whose scores add up, so that the lines of neighbouring columns,
// which only meet in phase at wrong angles, cannot add up to a false peak.
class RowScore {
public:
    RowScore(const StripProfiles& strips, double max_slope)
        : strips_(strips),
          reach_(cvCeil(farthest_centre(strips) * max_slope * strips.bins_per_row) + 1),
          length_(strips.profiles.cols + 2 * reach_),
          profile_(static_cast<std::size_t>(length_) * score_bands)
    {
    }

    double operator()(double slope)
    {
        project(slope);
        return sum_of_squared_steps();
    }

    // The score without the `dropped` largest steps: what is left when the strongest few rows
    // are taken away, so that one long line alone cannot make a peak.
    double without_strongest(double slope, std::size_t dropped)
    {
        project(slope);
        std::vector<float> squares;
        squares.reserve(profile_.size());
        for (int band = 0; band < score_bands; ++band) {
            const float* const profile = profile_.data() + static_cast<std::ptrdiff_t>(band) * length_;
            for (int b = 0; b + 1 < length_; ++b)
                squares.push_back((profile[b + 1] - profile[b]) * (profile[b + 1] - profile[b]));
        }
        const std::size_t kept = squares.size() - std::min(dropped, squares.size());
        std::nth_element(squares.begin(), squares.begin() + static_cast<std::ptrdiff_t>(kept), squares.end());
        double sum = 0.0;
        for (std::size_t i = 0; i < kept; ++i)
            sum += squares[i];
        return sum;
    }

private:
    void project(double slope)
    {
        std::fill(profile_.begin(), profile_.end(), 0.0f);
        const int strips = strips_.profiles.rows;
        for (int s = 0; s < strips; ++s) {
            // Whole bins only: a fractional shift would interpolate, smoothing the noise at every
            // angle but 0 and so making a false peak there.
            const int shift = cvRound(strips_.centres[s] * slope * strips_.bins_per_row);
            float* const band = profile_.data() + static_cast<std::ptrdiff_t>(s * score_bands / strips) * length_;
            float* const target = band + reach_ - shift;
            const float* const source = strips_.profiles.ptr<float>(s);
            for (int b = 0; b < strips_.profiles.cols; ++b)
                target[b] += source[b];
        }
    }

    // Independent partial sums let the compiler vectorise the loop.
    double sum_of_squared_steps() const
    {
        std::array<float, 8> sums{};
        for (int band = 0; band < score_bands; ++band) {
            const float* const profile = profile_.data() + static_cast<std::ptrdiff_t>(band) * length_;
            for (int b = 0; b + 1 < length_; ++b) {
                const float step = profile[b + 1] - profile[b];
                sums[b % sums.size()] += step * step;
            }
        }
        double sum = 0.0;
        for (const float part : sums)
            sum += part;
        return sum;
    }

    const StripProfiles& strips_;
    const int reach_;
    const int length_;
    std::vector<float> profile_;
};

struct AngleScore {
    double angle;
    double score;
};

double group_base(double angle)
{
    return std::round(angle / group_span) * group_span;
}

// Scores every angle k * coarse_step within +-max_angle; the angles of a group share one pre-shear.
std::vector<AngleScore> coarse_scores(const cv::Mat& columns, double max_angle)
{
    const int steps = static_cast<int>(std::floor(max_angle / coarse_step + 1e-9));
    const double max_slope = degrees_to_slope(max_angle);
    std::vector<AngleScore> scores;
    StripProfiles strips;
    double base = std::numeric_limits<double>::quiet_NaN();
    for (int k = -steps; k <= steps; ++k) {
        const double angle = k * coarse_step;
        if (group_base(angle) != base) {
            base = group_base(angle);
            strips = sheared_strips(columns, coarse_strip_width, degrees_to_slope(base));
        }
        scores.push_back({angle, RowScore(strips, max_slope)(degrees_to_slope(angle))});
    }
    return scores;
}

// The coarse score at `angle` without its strongest rows.
double trimmed_peak(const cv::Mat& columns, double angle)
{
    const StripProfiles strips = sheared_strips(columns, coarse_strip_width, degrees_to_slope(group_base(angle)));
    const double slope = degrees_to_slope(angle);
    return RowScore(strips, std::abs(slope)).without_strongest(slope, dropped_steps);
}

// Vertex of the least-squares parabola through the scores; the best sample when the fit is flat.
double parabola_peak(const std::vector<AngleScore>& samples, std::size_t best)
{
    const std::size_t first = best >= fit_half_width ? best - fit_half_width : 0;
    const std::size_t last = std::min(samples.size() - 1, best + fit_half_width);
    const double centre = samples[best].angle;
    cv::Mat design(static_cast<int>(last - first + 1), 3, CV_64F);
    cv::Mat values(design.rows, 1, CV_64F);
    for (std::size_t i = first; i <= last; ++i) {
        const double t = (samples[i].angle - centre) / fine_step;
        const int row = static_cast<int>(i - first);
        design.at<double>(row, 0) = t * t;
        design.at<double>(row, 1) = t;
        design.at<double>(row, 2) = 1.0;
        values.at<double>(row) = samples[i].score;
    }
    cv::Mat coefficients;
    if (design.rows < 3 || !cv::solve(design, values, coefficients, cv::DECOMP_SVD))
        return centre;
    const double a = coefficients.at<double>(0);
    const double b = coefficients.at<double>(1);
    if (!(a < 0.0))
        return centre;
    const double offset = std::clamp(-b / (2.0 * a), -double(fit_half_width), double(fit_half_width));
    return centre + offset * fine_step;
}

std::size_t best_of(const std::vector<AngleScore>& scores)
{
    return static_cast<std::size_t>(
        std::max_element(scores.begin(), scores.end(),
                         [](const AngleScore& a, const AngleScore& b) { return a.score < b.score; }) -
        scores.begin());
}

// The angle searched around the coarse peak on finer rows.
double refined(const cv::Mat& columns, double coarse_angle, double max_angle)
{
    const StripProfiles strips =
        upsampled(sheared_strips(columns, fine_strip_width, degrees_to_slope(coarse_angle)), fine_upsampling);
    RowScore score(strips, degrees_to_slope(max_angle + fine_half_range));
    const int steps = static_cast<int>(std::round(fine_half_range / fine_step));
    std::vector<AngleScore> samples;
    for (int k = -steps; k <= steps; ++k) {
        const double angle = coarse_angle + k * fine_step;
        samples.push_back({angle, score(degrees_to_slope(angle))});
    }
    const std::size_t best = best_of(samples);
    return std::clamp(parabola_peak(samples, best), -max_angle, max_angle);
}

const AngleScore& best_within(const std::vector<AngleScore>& scores, double max_angle)
{
    const AngleScore* best = nullptr;
    for (const AngleScore& candidate : scores)
        if (std::abs(candidate.angle) <= max_angle && (best == nullptr || candidate.score > best->score))
            best = &candidate;
    return *best;
}

double median_score(std::vector<AngleScore> scores)
{
    const auto middle = scores.begin() + static_cast<std::ptrdiff_t>(scores.size() / 2);
    std::nth_element(scores.begin(), middle, scores.end(),
                     [](const AngleScore& a, const AngleScore& b) { return a.score < b.score; });
    return middle->score;
}

cv::Scalar paper_colour(const cv::Mat& image)
{
    const std::array<cv::Mat, 4> edges{image.row(0), image.row(image.rows - 1), image.col(0),
                                       image.col(image.cols - 1)};
    cv::Scalar colour;
    for (int c = 0; c < std::min(4, image.channels()); ++c) {
        std::vector<double> values;
        for (const cv::Mat& edge : edges) {
            cv::Mat channel;
            cv::extractChannel(edge, channel, c);
            channel.reshape(1, 1).convertTo(channel, CV_64F);
            values.insert(values.end(), channel.begin<double>(), channel.end<double>());
        }
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        colour[c] = *middle;
    }
    return colour;
}

} // namespace

namespace detail {

cv::Mat page_ink_columns(const cv::Mat& image)
{
    cv::Mat ink = working_columns(image);
    grey_to_ink(ink);
    return ink;
}

void taper_rows(cv::Mat& ink_columns)
{
    taper_top_and_bottom(ink_columns);
}

RowAlignment row_alignment(const cv::Mat& ink_columns, double max_angle)
{
    // Every angle is scored whatever max_angle, so that the confidence means the same for any.
    const cv::Mat coarse_ink = halved(ink_columns);
    const std::vector<AngleScore> coarse = coarse_scores(coarse_ink, widest_angle);
    const double typical = median_score(coarse);
    if (!(typical > 0.0))
        return {};
    const AngleScore& peak = best_within(coarse, max_angle);
    return {peak.angle, std::max(0.0, trimmed_peak(coarse_ink, peak.angle) / typical - 1.0)};
}

} // namespace detail

SkewEstimate estimate_skew(const cv::Mat& image, double max_angle)
{
    require_page(image, "cannot estimate the skew of an empty image", "skew estimation");
    require(max_angle > 0.0 && max_angle <= widest_angle, "invalid maximum angle");

    cv::Mat ink = detail::page_ink_columns(image);
    detail::taper_rows(ink);
    const detail::RowAlignment rows = detail::row_alignment(ink, max_angle);
    if (rows.confidence < min_skew_confidence)
        return {0.0, rows.confidence};
    return {refined(ink, rows.angle, max_angle), rows.confidence};
}

DeskewGeometry deskew_geometry(const cv::Size& size, double correction, DeskewCanvas canvas)
{
    require(!size.empty(), "cannot deskew an empty image");
    require(std::isfinite(correction), "invalid correction angle");
    const cv::Point2f centre(0.5f * (size.width - 1), 0.5f * (size.height - 1));
    DeskewGeometry geometry{cv::getRotationMatrix2D(centre, correction, 1.0), size};
    if (canvas == DeskewCanvas::expand) {
        const cv::Rect2f box = cv::RotatedRect(centre, cv::Size2f(size), float(correction)).boundingRect2f();
        geometry.size = cv::Size(cvCeil(box.width - 1e-3), cvCeil(box.height - 1e-3));
        geometry.matrix.at<double>(0, 2) += 0.5 * (geometry.size.width - size.width);
        geometry.matrix.at<double>(1, 2) += 0.5 * (geometry.size.height - size.height);
    }
    return geometry;
}

cv::Mat deskew(const cv::Mat& image, double correction, DeskewCanvas canvas)
{
    require(!image.empty(), "cannot deskew an empty image");
    require(std::isfinite(correction), "invalid correction angle");
    if (correction == 0.0)
        return image.clone();
    const DeskewGeometry geometry = deskew_geometry(image.size(), correction, canvas);
    cv::Mat result;
    cv::warpAffine(image, result, geometry.matrix, geometry.size, cv::INTER_CUBIC, cv::BORDER_CONSTANT,
                   paper_colour(image));
    return result;
}

} // namespace tulo
