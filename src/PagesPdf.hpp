#pragma once

// What the PDF reader and writer share.

#include "PagesFormats.hpp"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <memory>
#include <string>
#include <vector>

namespace tulo::pages {

inline constexpr double points_per_inch = 72.0;

// The document, opened as a whole without repair: throws PageFileError for an encrypted file and
// for one whose structure is damaged (most often a truncated file).
std::unique_ptr<QPDF> open_document(const std::string& path);

// The page objects in order, their number bounded before the page tree is walked.
std::vector<QPDFPageObjectHelper> page_list(QPDF& pdf, const std::string& path);

// Swaps the bytes of 16-bit samples in place, between PDF's big-endian order and the machine's.
void swap_bytes(cv::Mat& samples);

} // namespace tulo::pages
