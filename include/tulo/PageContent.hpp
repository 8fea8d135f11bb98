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
    /** The margin of the weakest decision that shaped the box or the blank call, in [0, 1]: for
     *  each mark on the box's edge and each rejected mark outside it, how far its contrast lies
     *  from the ink threshold (relative to that threshold), and how far the box keeps from a
     *  removed border or page edge (relative to 1 mm). 1 when every decision was clear. */
    double confidence = 0.0;
};

/** The confidence from which box and blank are trusted. Calibrated on rendered pages at 150 and
 *  300 dpi with borders, shadows, holes, staples, facing-page slivers, noise, JPEG and bleed-through
 *  and on blank and near-blank pages (bench/page_content_table.cpp): every page that lost a mark or
 *  overlapped its true box by less than 0.98 scored below it, and more than 95 % of pages above. */
inline constexpr double min_content_confidence = 0.2;

/** @brief Finds the box of a page's own content and whether the page is blank.
 *  @param page a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels, dark ink on
 *         light paper (white or tinted) or light on dark, of any resolution, level and upright;
 *         it is not modified.
 *  @return the content box (within the image), the blank call and its confidence.
 *  @throws std::invalid_argument for an empty image or another depth or channel count. */
TULO_API PageContent find_page_content(const cv::Mat& page);

} // namespace tulo
