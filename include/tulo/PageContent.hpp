#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>

namespace tulo {

// Finding the page's own content on a scan: every mark printed, written or drawn on the page,
// without the scanner's dark borders, spine and edge shadows, punch holes, staples, a sliver of the
// facing page, specks of dust and bleed-through of the reverse side; and telling a blank page
// (paper, noise, bleed-through, borders and holes only) from one with content. The page must be
// level and upright (see estimate_skew); sizes are judged against the page's longer side taken as
// the height of an A4 or letter sheet.

/** @brief Where the content of a page lies and how far that can be trusted. */
struct PageContent {
    /** The smallest upright rectangle, in the input's pixels, holding every mark of the page's own
     *  content; 0 x 0 at the origin when blank. */
    cv::Rect box;
    /** No content at all: only paper, noise, bleed-through, borders, shadows or holes. */
    bool blank = false;
    /** The margin of the weakest decision that shaped the box or the blank call, in [0, 1]. The
     *  decisions counted: for each mark on the box's edge and each rejected mark that would have
     *  widened it, how far its contrast lies from the ink threshold (or from the bleed-through
     *  level the page's own ink sets), relative to that threshold; for a small mark standing alone
     *  on the box's edge, how far its largest piece at full resolution exceeds a speck of dust
     *  (1 mm), relative to that size; for each rejected punch hole or staple, how far its shape
     *  lies inside the bounds of the test (three times the relative slack); and how far the box
     *  keeps from a removed border or page edge, relative to 1 mm. Specks are not counted (alone
     *  they are never content). 1 when every decision was clear. */
    double confidence = 0.0;
};

/** The confidence from which box and blank are trusted: a decision within a fifth of its threshold
 *  is a guess. Chosen on rendered pages at 150 and 300 dpi with scanner borders, shadows, holes,
 *  staples, facing-page slivers, noise, JPEG and bleed-through, and on blank and near-blank sheets
 *  (bench/page_content_table.cpp, three sets of 84 sheets): no page at or above it lost a mark or
 *  was wrongly called blank, 88-96 % of the pages reach it, and the pages below it scored
 *  0.00-0.196. It does not catch everything: a speck of dust or a bleed-through blob touching a
 *  small lone mark widens its box by a few pixels with full confidence (IoU 0.85-0.94 on boxes
 *  under 1 cm), and the cut-off end of a facing page's line can widen one side of a text box. */
inline constexpr double min_content_confidence = 0.2;

/** @brief Finds the box of a page's own content and whether the page is blank.
 *  @param page a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels, dark ink on
 *         light paper (white or tinted) or light on dark, of any resolution, level and upright;
 *         it is not modified.
 *  @return the content box (within the image), the blank call and its confidence.
 *  @throws std::invalid_argument for an empty image or another depth or channel count. */
TULO_API PageContent find_page_content(const cv::Mat& page);

} // namespace tulo
