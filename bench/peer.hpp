#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <optional>

namespace tulo_bench {

/** @brief A page handed to Leptonica: converted once to an 8-bit grey Pix with dark ink on light
 *         paper, so that the timing covers only what Leptonica itself does. */
class LeptonicaPage {
public:
    explicit LeptonicaPage(const cv::Mat& image);
    ~LeptonicaPage();
    LeptonicaPage(const LeptonicaPage&) = delete;
    LeptonicaPage& operator=(const LeptonicaPage&) = delete;

    /** @brief Binarises at a fixed 130 and runs
     *         pixFindSkewSweepAndSearch over +-45 degrees, reduction 4 then 2, 1 degree sweep.
     *  @return the correction in tulo's sign (counter-clockwise positive), or nothing when this
     *          build has no Leptonica or Leptonica reports an error. */
    std::optional<double> correction() const;

    /** @brief Binarises at the same threshold, deskews with pixDeskew (reduction 2), then runs
     *         pixOrientDetect and makeOrientDecision with their default thresholds, as Leptonica's
     *         documentation asks.
     *  @return the counter-clockwise quarter turn that stands the page upright (0, 90, 180 or
     *          270), or nothing when Leptonica abstains, fails or is not in this build. */
    std::optional<int> orientation_correction() const;

    /** @brief Runs pixFindPageForeground with Leptonica's suggested settings for 300 dpi
     *         (threshold 128, mindist 50, erasedist 70), scaled to `dpi`.
     *  @return nothing without Leptonica; an empty box when Leptonica finds no foreground. */
    std::optional<cv::Rect> page_foreground(int dpi) const;

private:
    struct Pix;
    std::unique_ptr<Pix> pix_;
};

/** True when the benchmarks were built with Leptonica. */
bool have_leptonica();

} // namespace tulo_bench
