#pragma once

#include <tulo/Opsira.hpp>

#include <opencv2/imgproc.hpp>

#include <set>
#include <string>

namespace tulo::testing {

using Kind = Opsira::EMatType;
using Method = Opsira::EThresholdType;

// A light background with dark shapes and a little texture: every kind can be derived from it.
inline cv::Mat scene(int width = 160, int height = 120)
{
    cv::Mat image(height, width, CV_8UC3, cv::Scalar(200, 210, 220));
    cv::RNG rng(7);
    cv::Mat noise(image.size(), image.type());
    rng.fill(noise, cv::RNG::UNIFORM, 0, 20);
    image += noise;
    cv::rectangle(image, cv::Rect(width / 8, height / 6, width / 4, height / 3), cv::Scalar(30, 40, 50), cv::FILLED);
    cv::circle(image, cv::Point(width * 2 / 3, height / 2), height / 5, cv::Scalar(60, 20, 20), cv::FILLED);
    cv::line(image, cv::Point(5, height - 10), cv::Point(width - 5, height - 14), cv::Scalar(0, 0, 0), 2);
    return image;
}

inline std::set<std::string> stored_names(const Opsira& ws)
{
    std::set<std::string> names;
    for (const auto& entry : ws.images)
        names.insert(entry.first);
    return names;
}

} // namespace tulo::testing
