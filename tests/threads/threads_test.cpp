// Workspaces used on separate threads share nothing, and the free functions are re-entrant on shared
// read-only inputs: every thread must get what one thread alone gets, and the inputs stay untouched.
// Built for ThreadSanitizer, which reports any unsynchronised access on the way.
#include "support.hpp"
#include "workspace.hpp"

#include <tulo/Intervals.hpp>
#include <tulo/KMeans.hpp>
#include <tulo/MatManip.hpp>
#include <tulo/Opsira.hpp>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace tulo::testing;

constexpr int thread_count = 4;

// Inputs every thread reads and none may write.
struct Shared {
    cv::Mat colour = scene(120, 90);
    cv::Mat grey;
    cv::Mat edges;
    tulo::Contours contours;
    std::vector<double> values{12.5, 3.0, 3.5, 40.0, 41.0, 3.25, 90.0, 12.0, 12.75, 39.5};

    Shared()
    {
        cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
        cv::Canny(grey, edges, 40.0, 120.0);
        cv::findContours(edges.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    }
};

cv::Mat as_mat(const std::vector<double>& values) { return cv::Mat(values, true); }

cv::Mat as_mat(const std::string& text) { return cv::Mat(std::vector<char>(text.begin(), text.end()), true); }

cv::Mat as_mat(const tulo::Contours& contours)
{
    std::vector<cv::Point> all;
    for (const auto& contour : contours) {
        all.emplace_back(-1, static_cast<int>(contour.size()));
        all.insert(all.end(), contour.begin(), contour.end());
    }
    return cv::Mat(all, true);
}

cv::Mat as_mat(const std::vector<cv::RotatedRect>& rects)
{
    std::vector<float> numbers;
    for (const cv::RotatedRect& r : rects)
        numbers.insert(numbers.end(), {r.center.x, r.center.y, r.size.width, r.size.height, r.angle});
    return cv::Mat(numbers, true);
}

// Every free function once, each result turned into a matrix so that all compare alike.
std::vector<std::pair<std::string, std::function<cv::Mat()>>> free_functions(const Shared& in)
{
    return {
        {"to_greyscale", [&] { return tulo::to_greyscale(in.colour); }},
        {"apply_gaussian_blur", [&] { return tulo::apply_gaussian_blur(in.colour, 5); }},
        {"apply_blur_and_convert_to_greyscale", [&] { return tulo::apply_blur_and_convert_to_greyscale(in.colour, 3); }},
        {"invert", [&] { return tulo::invert(in.colour); }},
        {"erode", [&] { return tulo::erode(in.grey, 2); }},
        {"dilate", [&] { return tulo::dilate(in.grey, 2); }},
        {"apply_canny_edge_detection", [&] { return tulo::apply_canny_edge_detection(in.grey, 30.0); }},
        {"compare_exact", [&] { return cv::Mat(1, 1, CV_8U, cv::Scalar(tulo::compare_exact(in.colour, in.colour))); }},
        {"rotate", [&] { return tulo::rotate(in.colour, 33.0); }},
        {"resize", [&] { return tulo::resize(in.colour, 50, 0); }},
        {"resize_scale", [&] { return tulo::resize(in.colour, 1.5); }},
        {"letterbox", [&] { return tulo::letterbox(in.colour, 64, 64, cv::Scalar(0, 0, 255)); }},
        {"find_contours", [&] { return as_mat(tulo::find_contours(in.edges)); }},
        {"convert_contours_to_rotated_rects", [&] { return as_mat(tulo::convert_contours_to_rotated_rects(in.contours)); }},
        {"find_hough_lines",
         [&] {
             std::vector<cv::Vec4i> lines;
             cv::Mat drawing = tulo::find_hough_lines(in.edges, lines);
             drawing.push_back(cv::Mat(static_cast<int>(lines.size()), drawing.cols, drawing.type(), cv::Scalar::all(0)));
             return drawing;
         }},
        {"add_contours_to_image", [&] { return tulo::add_contours_to_image(in.colour, in.contours, cv::Scalar(0, 255, 255)); }},
        {"add_contours_and_limits_to_image", [&] { return tulo::add_contours_and_limits_to_image(in.colour, in.contours); }},
        {"apply_DoG", [&] { return tulo::apply_DoG(in.colour, 1.6, 0.5, 1.0); }},
        {"apply_DoG_threshold", [&] { return tulo::apply_DoG_threshold(in.colour, 4.0, 0.5, 1.0); }},
        {"apply_simple_colour_balance", [&] { return tulo::apply_simple_colour_balance(in.colour); }},
        {"plot_histogram", [&] { return tulo::plot_histogram(in.colour, 320, 240, cv::Scalar(0, 0, 0, 0)); }},
        {"intervals",
         [&] {
             std::vector<double> own = in.values;
             const auto groups = tulo::intervals(own, 2.0);
             std::vector<double> summary = tulo::popular_values_from_intervals(groups, 0.5);
             summary.push_back(tulo::best_value_from_intervals(groups));
             return as_mat(summary);
         }},
        {"interval_text",
         [&] {
             std::vector<double> own = in.values;
             return as_mat(tulo::to_string(tulo::intervals(own, 2.0)));
         }},
        {"k_means",
         [&] {
             std::vector<unsigned long> labels;
             std::vector<double> centres;
             const unsigned long rounds = tulo::k_means(in.values, 3, labels, centres);
             centres.push_back(static_cast<double>(rounds));
             centres.insert(centres.end(), labels.begin(), labels.end());
             return as_mat(centres);
         }},
        {"k_means_vector",
         [&] {
             std::vector<std::vector<double>> clusters;
             std::vector<double> centres;
             tulo::k_means_vector(in.values, 2, clusters, centres);
             for (const auto& cluster : clusters)
                 centres.insert(centres.end(), cluster.begin(), cluster.end());
             return as_mat(centres);
         }},
    };
}

using Results = std::map<std::string, cv::Mat>;

// A workspace of the thread's own: every kind derived and saved, as the save-all order derives them.
Results workspace_results(const cv::Mat& original, const fs::path& dir)
{
    tulo::Opsira ws(original);
    fs::create_directories(dir);
    const std::vector<std::string> files = ws.save_all(dir.string() + "/");
    Results results;
    for (const auto& [name, image] : ws.images)
        results["workspace " + name] = image.clone();
    results["workspace files"] = cv::Mat(1, 1, CV_32S, cv::Scalar(static_cast<int>(files.size())));
    return results;
}

// Runs the free functions starting at a different one on each thread, so that different calls overlap.
Results free_function_results(const Shared& in, std::size_t first)
{
    const auto functions = free_functions(in);
    Results results;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const auto& [name, run] = functions[(first + i) % functions.size()];
        results[name] = run();
    }
    return results;
}

class ParallelUse : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // OpenCV's own worker pool is not instrumented: its hand-offs would show as races that are
        // not ours, so OpenCV runs every call on the calling thread here.
        cv::setNumThreads(0);
    }

    void SetUp() override { dir = fs::temp_directory_path() / ("tulo_threads_" + std::to_string(getpid())); }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(ParallelUse, EachThreadGetsWhatOneThreadAloneGets)
{
    const Shared in;
    const cv::Mat untouched = in.colour.clone();
    Results expected = free_function_results(in, 0);
    expected.merge(workspace_results(in.colour, dir / "alone"));

    std::vector<Results> got(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            got[t] = free_function_results(in, static_cast<std::size_t>(t) * 5);
            got[t].merge(workspace_results(in.colour, dir / std::to_string(t)));
        });
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < thread_count; ++t) {
        ASSERT_EQ(got[t].size(), expected.size()) << "thread " << t;
        for (const auto& [name, result] : expected)
            EXPECT_MAT_EQ(got[t].at(name), result) << name << " on thread " << t;
    }
    EXPECT_MAT_EQ(in.colour, untouched);
}

} // namespace
