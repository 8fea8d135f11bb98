#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace opsira::testing {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "opsira-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary directory");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// A small scene whose threshold, edges and Hough segments are not empty: a tinted background with
// a dark frame, a bar at a slant and a disc; `tint` tells images apart.
inline cv::Mat scene(const cv::Scalar& tint)
{
    cv::Mat image(150, 200, CV_8UC3, tint);
    cv::rectangle(image, cv::Rect(15, 15, 170, 120), cv::Scalar(20, 20, 20), 3);
    cv::line(image, cv::Point(30, 110), cv::Point(170, 95), cv::Scalar(10, 10, 10), 4);
    cv::circle(image, cv::Point(100, 60), 25, cv::Scalar(30, 30, 30), cv::FILLED);
    return image;
}

inline std::string write_scene(const std::string& path, const cv::Scalar& tint = cv::Scalar(220, 225, 230))
{
    fs::create_directories(fs::path(path).parent_path());
    if (!cv::imwrite(path, scene(tint)))
        throw std::runtime_error("cannot write " + path);
    return path;
}

inline std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// The names of the regular files in `dir`, sorted; empty when there is no such directory.
inline std::vector<std::string> file_names(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (fs::directory_iterator it(dir, ignored), end; it != end; ++it)
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A file name as a test name: letters and digits kept, everything else an underscore.
inline std::string parameter_name(std::string name)
{
    std::replace_if(name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return name;
}

// A command line as a test name: its words joined, then as parameter_name makes it.
inline std::string arguments_name(const std::vector<std::string>& args)
{
    std::string joined;
    for (const std::string& arg : args)
        joined += (joined.empty() ? "" : " ") + arg;
    return parameter_name(joined);
}

// The files save_all writes for a workspace holding only an original, by kind number and name.
inline std::vector<std::string> catalogue_files()
{
    return {"01_original.jpg",  "02_greyscale.jpg",      "03_gaussian_blur.jpg",
            "04_blur_greyscale.jpg", "05_simple_colour_balance.jpg", "06_invert.jpg",
            "07_threshold.jpg", "08_erode.jpg",          "09_erode_and_dilate.jpg",
            "10_canny_edge_detection.jpg", "11_find_contours.jpg", "12_find_contours_intervals.jpg",
            "13_histogram.jpg", "14_hough_lines.jpg",    "15_angle_corrected.jpg",
            "16_mosaic.jpg",    "17_dog.jpg",            "18_threshold_otsu.jpg",
            "19_threshold_triangle.jpg", "20_threshold_gaussian.jpg", "21_threshold_meanc.jpg",
            "22_threshold_dog.jpg"};
}

} // namespace opsira::testing
