#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

namespace tulo_bench {

/** The seed of the skew benchmarks' pages and scenes, fixed so that every run sees the same ones. */
constexpr unsigned page_seed = 20261209;
/** The resolutions the skew estimate is measured at. */
constexpr std::array<int, 3> page_dpis{150, 300, 600};

/** How the text is laid out on a rendered page. */
enum class Layout { one_column, two_columns, headings, table, photo_block, scan_border };
/** What the scan went through after the page was turned. */
enum class Wear { clean, noisy, blurred, jpeg, uneven_light, worn };
/** The pixel format the page is handed over in. */
enum class PixelFormat { grey8, bgr8, bgra8, grey16 };

/** @brief One rendered test page: everything needed to draw it again, and its true tilt. */
struct PageCase {
    int dpi = 150;
    Layout layout = Layout::one_column;
    Wear wear = Wear::clean;
    PixelFormat format = PixelFormat::grey8;
    bool light_on_dark = false;
    double angle = 0.0;  // the page is turned by this (counter-clockwise positive); its correction is -angle
    unsigned seed = 0;
};

/** @brief A varied, deterministic set of `count` pages at one dpi: layouts, wear, formats and
 *         polarity cycle, angles are drawn in +-max_angle (a few near 0 and one exactly 0). */
std::vector<PageCase> page_cases(int dpi, int count, double max_angle, unsigned seed);

/** @brief Draws a US-letter page of random words (Hershey fonts, sizes scaled by dpi), turns it
 *         with white fill about its centre and applies the wear and the format. */
cv::Mat render_page(const PageCase& page);

/** @brief A short name of the case for tables, e.g. "300dpi table worn bgr8 light-on-dark". */
std::string describe(const PageCase& page);

/** Images without rows of text: blank sheets, noise and synthetic scenes. */
enum class SceneKind { blank, noise, gradient, shapes, texture, landscape };
/** @brief A deterministic 8-bit BGR image of the kind, for checking that nothing is found. */
cv::Mat render_scene(SceneKind kind, cv::Size size, unsigned seed);
/** @brief All scene kinds, for loops. */
std::vector<SceneKind> scene_kinds();
std::string describe(SceneKind kind);

} // namespace tulo_bench
