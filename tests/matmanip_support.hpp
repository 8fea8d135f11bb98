#pragma once

#include <opencv2/core.hpp>

namespace tulo::testing {

// A reproducible image of uniformly random values over the depth's usual range.
inline cv::Mat random_image(int rows, int cols, int type, unsigned seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    const bool floating = CV_MAT_DEPTH(type) == CV_32F || CV_MAT_DEPTH(type) == CV_64F;
    rng.fill(image, cv::RNG::UNIFORM, 0.0, floating ? 1.0 : (CV_MAT_DEPTH(type) == CV_16U ? 65536.0 : 256.0));
    return image;
}

// Whether the two matrices' pixel buffers overlap.
inline bool shares_buffer(const cv::Mat& a, const cv::Mat& b)
{
    return !a.empty() && !b.empty() && a.datastart < b.dataend && b.datastart < a.dataend;
}

} // namespace tulo::testing
