#include "peer.hpp"

#include <opencv2/imgproc.hpp>

#ifdef TULO_BENCH_LEPTONICA
#include <leptonica/allheaders.h>
#endif

namespace tulo_bench {

#ifdef TULO_BENCH_LEPTONICA

namespace {

constexpr float sweep_range = 45.0f;       // degrees each side
constexpr float sweep_delta = 1.0f;        // Leptonica's default sweep step
constexpr float min_search_delta = 0.01f;  // Leptonica's default final precision
constexpr int sweep_reduction = 4;
constexpr int search_reduction = 2;
constexpr int binary_threshold = 130;      // fixed, a little above mid-grey
constexpr int orientation_deskew_reduction = 2;  // pixDeskew's default search reduction

// Dark ink on light paper, as Leptonica's binarisation expects: a page that is dark on average is
// inverted first (before timing), so that light-on-dark pages are a fair test.
cv::Mat dark_on_light_grey8(const cv::Mat& image)
{
    cv::Mat grey = image;
    if (image.channels() != 1)
        cv::cvtColor(image, grey, image.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    if (grey.depth() != CV_8U)
        grey.convertTo(grey, CV_8U, 1.0 / 257.0);
    if (cv::mean(grey)[0] < 128.0)
        cv::bitwise_not(grey, grey);
    return grey;
}

PIX* to_pix(const cv::Mat& grey)
{
    PIX* const pix = pixCreate(grey.cols, grey.rows, 8);
    l_uint32* const data = pixGetData(pix);
    const l_int32 words_per_line = pixGetWpl(pix);
    for (int y = 0; y < grey.rows; ++y) {
        l_uint32* const line = data + static_cast<std::ptrdiff_t>(y) * words_per_line;
        const uchar* const row = grey.ptr<uchar>(y);
        for (int x = 0; x < grey.cols; ++x)
            SET_DATA_BYTE(line, x, row[x]);
    }
    return pix;
}

} // namespace

struct LeptonicaPage::Pix {
    PIX* grey;
};

LeptonicaPage::LeptonicaPage(const cv::Mat& image) : pix_(new Pix{to_pix(dark_on_light_grey8(image))}) {}

LeptonicaPage::~LeptonicaPage()
{
    pixDestroy(&pix_->grey);
}

std::optional<double> LeptonicaPage::correction() const
{
    PIX* binary = pixConvertTo1(pix_->grey, binary_threshold);
    l_float32 angle = 0.0f;
    l_float32 confidence = 0.0f;
    const l_ok failed = pixFindSkewSweepAndSearch(binary, &angle, &confidence, sweep_reduction, search_reduction,
                                                  sweep_range, sweep_delta, min_search_delta);
    pixDestroy(&binary);
    if (failed)
        return std::nullopt;
    // Leptonica reports the angle the other way round.
    return -static_cast<double>(angle);
}

std::optional<int> LeptonicaPage::orientation_correction() const
{
    PIX* binary = pixConvertTo1(pix_->grey, binary_threshold);
    PIX* level = pixDeskew(binary, orientation_deskew_reduction);
    pixDestroy(&binary);
    if (level == nullptr)
        return std::nullopt;
    l_float32 up_confidence = 0.0f;
    l_float32 left_confidence = 0.0f;
    l_int32 orientation = L_TEXT_ORIENT_UNKNOWN;
    const l_ok failed = pixOrientDetect(level, &up_confidence, &left_confidence, 0, 0) ||
                        makeOrientDecision(up_confidence, left_confidence, 0.0f, 0.0f, &orientation, 0);
    pixDestroy(&level);
    // The decision names where the top of the text points: to the left, a clockwise quarter turn
    // (270 counter-clockwise) stands it up.
    switch (failed ? L_TEXT_ORIENT_UNKNOWN : orientation) {
    case L_TEXT_ORIENT_UP:
        return 0;
    case L_TEXT_ORIENT_LEFT:
        return 270;
    case L_TEXT_ORIENT_DOWN:
        return 180;
    case L_TEXT_ORIENT_RIGHT:
        return 90;
    default:
        return std::nullopt;
    }
}

std::optional<cv::Rect> LeptonicaPage::page_foreground(int dpi) const
{
    const double scale = dpi / 300.0;
    BOX* box = pixFindPageForeground(pix_->grey, 128, cvRound(50 * scale), cvRound(70 * scale), 0, nullptr);
    if (box == nullptr)
        return cv::Rect();
    l_int32 x = 0, y = 0, w = 0, h = 0;
    boxGetGeometry(box, &x, &y, &w, &h);
    boxDestroy(&box);
    return cv::Rect(x, y, w, h);
}

bool have_leptonica()
{
    return true;
}

#else

struct LeptonicaPage::Pix {};

LeptonicaPage::LeptonicaPage(const cv::Mat&) {}

LeptonicaPage::~LeptonicaPage() = default;

std::optional<double> LeptonicaPage::correction() const
{
    return std::nullopt;
}

std::optional<int> LeptonicaPage::orientation_correction() const
{
    return std::nullopt;
}

std::optional<cv::Rect> LeptonicaPage::page_foreground(int) const
{
    return std::nullopt;
}

bool have_leptonica()
{
    return false;
}

#endif

} // namespace tulo_bench
