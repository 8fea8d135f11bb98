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
     *  (1 mm), relative to that size; for each punch hole or staple dropped, and each mark on the
     *  box's edge that sits like one, how far its shape at full resolution lies from the bounds of
     *  the test (three times the relative slack); for a speck on a side of the box, dropped as
     *  dust or kept as the dot of a letter, how far its gap to other ink lies from one and a half
     *  times its size, relative to that, where the call moves the side by more than 1 % of the
     *  box; and how far the box keeps from a removed border or page edge, relative to 1 mm.
     *  Specks elsewhere are not counted (alone they are never content). 1 when every decision was
     *  clear. */
    double confidence = 0.0;
};

/** The confidence from which box and blank are trusted: a decision within a fifth of its threshold
 *  is a guess. Chosen on rendered pages at 150 and 300 dpi with scanner borders, shadows, holes,
 *  staples, facing-page slivers, noise, dust, JPEG and bleed-through, and on blank and near-blank
 *  sheets (bench/page_content_table.cpp, three sets of 84 sheets): no page at or above it lost a
 *  mark or was wrongly called blank, 95-99 % of the pages reach it, and the pages below it scored
 *  0.00-0.18 (blank and near-blank sheets under bleed-through whose faintest blobs sit at the ink
 *  threshold, and a facing page's sliver the box ran into, up to the removed border). It does not
 *  catch everything: a speck of dust lying closer to a small lone mark than its own size (as the
 *  dot of a letter would) widens the mark's box by its size with full confidence (IoU 0.88-0.9 on
 *  boxes under 1 cm). */
inline constexpr double min_content_confidence = 0.2;

/** @brief Finds the box of a page's own content and whether the page is blank.
 *  @param page a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels, dark ink on
 *         light paper (white or tinted) or light on dark, of any resolution, level and upright;
 *         it is not modified.
 *  @return the content box (within the image), the blank call and its confidence.
 *  @throws std::invalid_argument for an empty image or another depth or channel count. */
TULO_API PageContent find_page_content(const cv::Mat& page);

} // namespace tulo
