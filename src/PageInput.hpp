#pragma once

#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

// What the page units (skew, orientation, page content) share about the images they are given.
namespace tulo::detail {

inline void require(bool condition, const std::string& message)
{
    if (!condition)
        throw std::invalid_argument(message);
}

// A page is a non-empty 8- or 16-bit image of 1, 3 (BGR) or 4 (BGRA) channels; `task` names the
// unit's work in the messages ("skew estimation needs ...").
inline void require_page(const cv::Mat& page, const std::string& empty_message, const std::string& task)
{
    require(!page.empty(), empty_message);
    require(page.depth() == CV_8U || page.depth() == CV_16U, task + " needs an 8- or 16-bit image");
    require(page.channels() == 1 || page.channels() == 3 || page.channels() == 4,
            task + " needs an image of 1, 3 or 4 channels");
}

// The factor to 8 bits: 16-bit data is stretched by its own maximum, so 10- or 12-bit scans keep
// their contrast.
inline double scale_to_8bit(const cv::Mat& image)
{
    if (image.depth() == CV_8U)
        return 1.0;
    double maximum = 0.0;
    cv::minMaxLoc(image.reshape(1), nullptr, &maximum);
    return maximum > 0.0 ? 255.0 / maximum : 0.0;
}

} // namespace tulo::detail
