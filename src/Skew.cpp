#include <tulo/Skew.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace tulo {

namespace {

// Longer side of the reduced copy the angle is searched on. Larger finds finer print and a finer
// angle, at a cost that grows with its square; the result then hardly depends on the scan's dpi.
constexpr int working_side = 1024;
// Side of the square closing that tells ink from background: strokes up to about this wide (in
// working pixels) count as ink; smooth areas, photo shading and thick borders do not.
constexpr int ink_kernel_side = 7;
// Ink below this multiple of the median ink is treated as paper grain or sensor noise.
constexpr double noise_floor_factor = 2.0;
// Fraction of the page height over which the top and bottom rows fade in, so that the edge of the
// frame makes no row of its own at 0 degrees.
constexpr double taper_fraction = 0.06;

// The coarse search runs on the ink reduced again by this factor, over every angle in steps of
// coarse_step degrees. A finer step costs time; a coarser one can step over a narrow peak.
constexpr double coarse_reduction = 0.5;
constexpr double coarse_step = 0.25;
// Angles are searched in groups sharing one pre-shear; strips must stay narrow enough that the
// rest of the shear inside a strip (half a group times its width) blurs a row by under a pixel.
constexpr double group_span = 5.0;
constexpr int coarse_strip_width = 16;

// The refinement searches +-fine_half_range around the coarse peak in fine_step steps on a copy
// upsampled by fine_upsampling in height (rows finer than the reduction leaves), then fits a
// parabola through fit_half_width steps on each side of the best one.
constexpr double fine_half_range = 1.5 * coarse_step;
constexpr double fine_step = 0.025;
constexpr int fine_upsampling = 2;
constexpr int fine_strip_width = 8;
constexpr int fit_half_width = 4;

constexpr double paper_level_split = 128.0;  // a median below this means light ink on dark paper

void require(bool condition, const char* message)
{
    if (!condition)
        throw std::invalid_argument(message);
}

double degrees_to_slope(double degrees)
{
    return std::tan(degrees * CV_PI / 180.0);
}

// Halves the image by area averaging (OpenCV's fast integer path) while it stays at least twice
// the working size: cheap on big scans, and done before the colour conversion.
cv::Mat halved_to_working_range(const cv::Mat& image)
{
    cv::Mat current = image;
    while (std::max(current.cols, current.rows) >= 2 * working_side) {
        const cv::Mat even = current(cv::Rect(0, 0, current.cols & ~1, current.rows & ~1));
        cv::Mat halved;
        cv::resize(even, halved, cv::Size(even.cols / 2, even.rows / 2), 0.0, 0.0, cv::INTER_AREA);
        current = halved;
    }
    return current;
}

cv::Mat to_grey(const cv::Mat& image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, image.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    return grey;
}

// 16-bit data is stretched by its own maximum, so 10- or 12-bit scans keep their contrast.
cv::Mat to_8bit(const cv::Mat& grey)
{
    if (grey.depth() == CV_8U)
        return grey;
    double maximum = 0.0;
    cv::minMaxLoc(grey, nullptr, &maximum);
    cv::Mat result;
    grey.convertTo(result, CV_8U, maximum > 0.0 ? 255.0 / maximum : 0.0);
    return result;
}

cv::Mat working_grey(const cv::Mat& image)
{
    const cv::Mat grey = to_8bit(to_grey(halved_to_working_range(image)));
    const double scale = static_cast<double>(working_side) / std::max(grey.cols, grey.rows);
    if (scale >= 1.0)
        return grey;
    const cv::Size size(std::max(1, cvRound(grey.cols * scale)), std::max(1, cvRound(grey.rows * scale)));
    cv::Mat reduced;
    cv::resize(grey, reduced, size, 0.0, 0.0, cv::INTER_AREA);
    return reduced;
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

// Ink as darkness against the local background (grey closing minus the image), dark on light
// after turning light-on-dark pages over, with the noise floor taken off; as float.
cv::Mat ink_of(const cv::Mat& grey8)
{
    cv::Mat dark_on_light = grey8;
    if (median_of(grey8) < paper_level_split)
        cv::bitwise_not(grey8, dark_on_light);
    cv::Mat black_hat;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(ink_kernel_side, ink_kernel_side));
    cv::morphologyEx(dark_on_light, black_hat, cv::MORPH_BLACKHAT, kernel);
    const double floor = noise_floor_factor * median_of(black_hat);
    cv::Mat ink;
    black_hat.convertTo(ink, CV_32F, 1.0, -floor);
    cv::max(ink, 0.0, ink);
    return ink;
}

void taper_top_and_bottom(cv::Mat& ink)
{
    const int fade = std::min(ink.rows / 2, cvCeil(ink.rows * taper_fraction));
    for (int i = 0; i < fade; ++i) {
        const double weight = (i + 0.5) / fade;
        ink.row(i) *= weight;
        ink.row(ink.rows - 1 - i) *= weight;
    }
}

// The ink transposed so that each image column is one contiguous row of floats.
cv::Mat columns_of(const cv::Mat& ink, double scale, int upsampling)
{
    cv::Mat scaled = ink;
    if (scale != 1.0)
        cv::resize(ink, scaled, cv::Size(std::max(1, cvRound(ink.cols * scale)), std::max(1, cvRound(ink.rows * scale))),
                   0.0, 0.0, cv::INTER_AREA);
    cv::Mat columns;
    cv::transpose(scaled, columns);
    if (upsampling == 1)
        return columns;
    cv::Mat upsampled;
    cv::resize(columns, upsampled, cv::Size(columns.cols * upsampling, columns.rows), 0.0, 0.0, cv::INTER_LINEAR);
    return upsampled;
}

// Row profiles of vertical strips of the image, each strip sheared by a base slope about its own
// centre. A profile at a nearby slope is then the sum of the strips shifted by their centres.
struct StripProfiles {
    cv::Mat profiles;            // CV_32F, one row per strip
    std::vector<double> centres;  // strip centres, in columns from the image centre
    double bins_per_row = 1.0;   // profile bins per image row (the upsampling)
};

StripProfiles sheared_strips(const cv::Mat& columns, int strip_width, double base_slope, int upsampling)
{
    const int width = columns.rows;
    const int strips = (width + strip_width - 1) / strip_width;
    const double bin_slope = base_slope * upsampling;
    const int margin = cvCeil(strip_width * 0.5 * std::abs(bin_slope)) + 1;
    StripProfiles result{cv::Mat::zeros(strips, columns.cols + 2 * margin, CV_32F), {}, double(upsampling)};
    result.centres.reserve(strips);
    for (int s = 0; s < strips; ++s) {
        const int first = s * strip_width;
        const int last = std::min(width, first + strip_width) - 1;
        const double centre = 0.5 * (first + last);
        float* const profile = result.profiles.ptr<float>(s) + margin;
        for (int x = first; x <= last; ++x) {
            const int shift = cvRound((x - centre) * bin_slope);
            const float* const column = columns.ptr<float>(x);
            for (int y = 0; y < columns.cols; ++y)
                profile[y - shift] += column[y];
        }
        result.centres.push_back(centre - 0.5 * (width - 1));
    }
    return result;
}

double farthest_centre(const StripProfiles& strips)
{
    double farthest = 0.0;
    for (const double centre : strips.centres)
        farthest = std::max(farthest, std::abs(centre));
    return farthest;
}

// How sharply the ink falls into rows at `slope`: the sum of squared differences of adjacent bins
// of the row profile, which peaks when lines of text project onto few bins.
class RowScore {
public:
    RowScore(const StripProfiles& strips, double max_slope)
        : strips_(strips),
          reach_(cvCeil(farthest_centre(strips) * max_slope * strips.bins_per_row) + 1),
          profile_(strips.profiles.cols + 2 * reach_)
    {
    }

    double operator()(double slope)
    {
        std::fill(profile_.begin(), profile_.end(), 0.0f);
        for (int s = 0; s < strips_.profiles.rows; ++s) {
            const int shift = cvRound(strips_.centres[s] * slope * strips_.bins_per_row);
            float* const target = profile_.data() + reach_ - shift;
            const float* const source = strips_.profiles.ptr<float>(s);
            for (int b = 0; b < strips_.profiles.cols; ++b)
                target[b] += source[b];
        }
        double sum = 0.0;
        for (std::size_t b = 1; b < profile_.size(); ++b) {
            const double step = profile_[b] - profile_[b - 1];
            sum += step * step;
        }
        return sum;
    }

private:
    const StripProfiles& strips_;
    int reach_;
    std::vector<float> profile_;
};

struct AngleScore {
    double angle;
    double score;
};

// Scores every angle k * coarse_step within +-max_angle, grouping them under shared pre-shears.
std::vector<AngleScore> coarse_scores(const cv::Mat& columns, double max_angle)
{
    const int steps = static_cast<int>(std::floor(max_angle / coarse_step + 1e-9));
    const double max_slope = degrees_to_slope(max_angle);
    std::vector<AngleScore> scores;
    for (int k = -steps; k <= steps;) {
        const double base = std::round(k * coarse_step / group_span) * group_span;
        const StripProfiles strips = sheared_strips(columns, coarse_strip_width, degrees_to_slope(base), 1);
        RowScore score(strips, max_slope);
        for (; k <= steps && std::round(k * coarse_step / group_span) * group_span == base; ++k)
            scores.push_back({k * coarse_step, score(degrees_to_slope(k * coarse_step))});
    }
    return scores;
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

// The refined angle and its score, searched around the coarse peak on finer rows.
AngleScore refined(const cv::Mat& ink, double coarse_angle, double max_angle)
{
    const cv::Mat columns = columns_of(ink, 1.0, fine_upsampling);
    const StripProfiles strips =
        sheared_strips(columns, fine_strip_width, degrees_to_slope(coarse_angle), fine_upsampling);
    RowScore score(strips, degrees_to_slope(max_angle + fine_half_range));
    const int steps = static_cast<int>(std::round(fine_half_range / fine_step));
    std::vector<AngleScore> samples;
    for (int k = -steps; k <= steps; ++k) {
        const double angle = coarse_angle + k * fine_step;
        samples.push_back({angle, score(degrees_to_slope(angle))});
    }
    const std::size_t best = best_of(samples);
    const double angle = std::clamp(parabola_peak(samples, best), -max_angle, max_angle);
    return {angle, samples[best].score};
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
    std::vector<cv::Mat> edges{image.row(0), image.row(image.rows - 1), image.col(0).t(), image.col(image.cols - 1).t()};
    cv::Mat border;
    cv::hconcat(edges, border);
    cv::Mat values;
    border.reshape(1, static_cast<int>(border.total())).convertTo(values, CV_64F);
    cv::Scalar colour;
    for (int c = 0; c < values.cols && c < 4; ++c) {
        std::vector<double> channel(values.col(c).begin<double>(), values.col(c).end<double>());
        const auto middle = channel.begin() + static_cast<std::ptrdiff_t>(channel.size() / 2);
        std::nth_element(channel.begin(), middle, channel.end());
        colour[c] = *middle;
    }
    return colour;
}

} // namespace

SkewEstimate estimate_skew(const cv::Mat& image, double max_angle)
{
    require(!image.empty(), "cannot estimate the skew of an empty image");
    require(image.depth() == CV_8U || image.depth() == CV_16U, "skew estimation needs an 8- or 16-bit image");
    require(image.channels() == 1 || image.channels() == 3 || image.channels() == 4,
            "skew estimation needs an image of 1, 3 or 4 channels");
    require(max_angle > 0.0 && max_angle <= 45.0, "invalid maximum angle");

    cv::Mat ink = ink_of(working_grey(image));
    taper_top_and_bottom(ink);
    const std::vector<AngleScore> coarse = coarse_scores(columns_of(ink, coarse_reduction, 1), max_angle);
    const double typical = median_score(coarse);
    if (!(typical > 0.0))
        return {};
    const AngleScore fine = refined(ink, coarse[best_of(coarse)].angle, max_angle);
    const double confidence = std::max(0.0, fine.score / typical - 1.0);
    if (confidence < min_skew_confidence)
        return {0.0, confidence};
    return {fine.angle, confidence};
}

cv::Mat deskew(const cv::Mat& image, double correction, DeskewCanvas canvas)
{
    require(!image.empty(), "cannot deskew an empty image");
    require(std::isfinite(correction), "invalid correction angle");
    if (correction == 0.0)
        return image.clone();
    const cv::Point2f centre(0.5f * (image.cols - 1), 0.5f * (image.rows - 1));
    cv::Mat matrix = cv::getRotationMatrix2D(centre, correction, 1.0);
    cv::Size size = image.size();
    if (canvas == DeskewCanvas::expand) {
        const cv::Rect2f box = cv::RotatedRect(centre, cv::Size2f(image.size()), float(correction)).boundingRect2f();
        size = cv::Size(cvCeil(box.width - 1e-3), cvCeil(box.height - 1e-3));
        matrix.at<double>(0, 2) += 0.5 * (size.width - image.cols);
        matrix.at<double>(1, 2) += 0.5 * (size.height - image.rows);
    }
    cv::Mat result;
    cv::warpAffine(image, result, matrix, size, cv::INTER_CUBIC, cv::BORDER_CONSTANT, paper_colour(image));
    return result;
}

} // namespace tulo
