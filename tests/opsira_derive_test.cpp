#include "support.hpp"
#include "workspace.hpp"

#include <tulo/MatManip.hpp>

#include <functional>
#include <string>

using namespace tulo::testing;
using tulo::Opsira;

namespace {

using tulo::testing::operator<<;

class OpsiraDerive : public ::testing::Test {
protected:
    cv::Mat original = scene();
    Opsira ws{original};

    // The blurred greyscale image as the thresholds see it, made with OpenCV directly.
    cv::Mat blurred_grey() const
    {
        cv::Mat blurred, grey;
        cv::GaussianBlur(original, blurred, cv::Size(3, 3), 0.0, 0.0);
        cv::cvtColor(blurred, grey, cv::COLOR_BGR2GRAY);
        return grey;
    }
};

const std::set<std::string> threshold_chain{"original",           "gaussian_blur",      "blur_greyscale",
                                            "threshold_otsu",     "threshold_triangle", "threshold_gaussian",
                                            "threshold_meanc",    "threshold_dog",      "threshold"};

std::set<std::string> with(std::set<std::string> names, std::initializer_list<const char*> more)
{
    names.insert(more.begin(), more.end());
    return names;
}

TEST_F(OpsiraDerive, TheTypicalRequestFillsTheChainOnceWithTheTriangleLevel)
{
    const cv::Mat& edges = ws.get(Kind::canny_edge_detection);
    EXPECT_EQ(stored_names(ws), with(threshold_chain, {"canny_edge_detection"}));

    cv::Mat unused;
    const double triangle = cv::threshold(blurred_grey(), unused, 64.0, 255.0, cv::THRESH_BINARY | cv::THRESH_TRIANGLE);
    EXPECT_EQ(ws.threshold_value, triangle);
    EXPECT_TRUE(ws.threshold_type == Method::otsu || ws.threshold_type == Method::triangle ||
                ws.threshold_type == Method::auto_gaussian);

    cv::Mat expected;
    cv::Canny(ws.get(Kind::threshold), expected, triangle, 3.0 * triangle, 3, true);
    EXPECT_MAT_EQ(edges, expected);

    const auto pixels_before = ws.images.at("threshold_otsu").data;
    EXPECT_EQ(&ws.get(Kind::canny_edge_detection), &edges);
    EXPECT_EQ(ws.images.at("threshold_otsu").data, pixels_before);
    EXPECT_EQ(ws.images.size(), threshold_chain.size() + 1);
}

TEST_F(OpsiraDerive, OpeningLeavesItsWholeChain)
{
    ws.get(Kind::erode_and_dilate);
    EXPECT_EQ(stored_names(ws), with(threshold_chain, {"erode", "erode_and_dilate"}));
    EXPECT_MAT_EQ(ws.get(Kind::erode), tulo::erode(ws.get(Kind::threshold), 1));
    EXPECT_MAT_EQ(ws.get(Kind::erode_and_dilate), tulo::dilate(ws.get(Kind::erode), 1));
}

struct Recipe {
    std::string name;
    Kind kind;
    std::function<cv::Mat(const cv::Mat&)> from_original;
};

class OpsiraSingleStepKinds : public ::testing::TestWithParam<Recipe> {};

TEST_P(OpsiraSingleStepKinds, MatchTheirOperationOnTheOriginalAndStoreNothingElse)
{
    const cv::Mat original = scene();
    Opsira ws{original};
    const Recipe& recipe = GetParam();
    EXPECT_MAT_EQ(ws.get(recipe.kind), recipe.from_original(original));
    EXPECT_EQ(ws.images.size(), recipe.kind == Kind::blur_greyscale ? 3u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Recipes, OpsiraSingleStepKinds,
    ::testing::Values(
        Recipe{"greyscale", Kind::greyscale, [](const cv::Mat& m) { return tulo::to_greyscale(m); }},
        Recipe{"gaussian_blur", Kind::gaussian_blur, [](const cv::Mat& m) { return tulo::apply_gaussian_blur(m, 3); }},
        Recipe{"blur_greyscale", Kind::blur_greyscale,
               [](const cv::Mat& m) { return tulo::apply_blur_and_convert_to_greyscale(m, 3); }},
        Recipe{"simple_colour_balance", Kind::simple_colour_balance,
               [](const cv::Mat& m) { return tulo::apply_simple_colour_balance(m); }},
        Recipe{"invert", Kind::invert, [](const cv::Mat& m) { return tulo::invert(m); }},
        Recipe{"histogram", Kind::histogram,
               [](const cv::Mat& m) { return tulo::plot_histogram(m, 640, 480, cv::Scalar()); }},
        Recipe{"dog", Kind::dog, [](const cv::Mat& m) { return tulo::apply_DoG(m, 1.6, 0.5, 1.0); }}),
    tulo::testing::by_name);

TEST(OpsiraGet, ErrorLadder)
{
    Opsira ws;
    EXPECT_THROW_MSG(ws.get(Kind::original), std::logic_error, "original image has not been set");
    EXPECT_THROW_MSG(ws.get(Kind::canny_edge_detection), std::logic_error, "original image has not been set");
    EXPECT_THROW_MSG(ws.get(Kind::invalid), std::out_of_range, "cannot get an image corresponding to type \"invalid\"");
    EXPECT_THROW_MSG(ws.get(Kind::user_defined), std::out_of_range,
                     "cannot get an image corresponding to type \"user_defined\"");
    EXPECT_THROW_MSG(ws.get(Kind::max), std::out_of_range, "cannot get an image corresponding to type \"max\"");
    EXPECT_THROW_MSG(ws.get(static_cast<Kind>(25)), std::logic_error, "failed to get or create image type \"unknown\"");
    EXPECT_TRUE(ws.images.empty());
}

TEST_F(OpsiraDerive, ParameterRecomputesOnlyTheNamedKinds)
{
    ws.get(Kind::blur_greyscale);
    const cv::Mat old_grey = ws.get(Kind::blur_greyscale);

    EXPECT_MAT_EQ(ws.get(Kind::gaussian_blur, 5), tulo::apply_gaussian_blur(original, 5));
    EXPECT_EQ(ws.get(Kind::blur_greyscale).data, old_grey.data);

    EXPECT_THROW_MSG(ws.get(Kind::gaussian_blur, 4), std::invalid_argument, "invalid kernel size of 4");
    EXPECT_MAT_EQ(ws.get(Kind::gaussian_blur), tulo::apply_gaussian_blur(original, 5));

    EXPECT_MAT_EQ(ws.get(Kind::blur_greyscale, 7), tulo::apply_blur_and_convert_to_greyscale(original, 7));
    EXPECT_MAT_EQ(ws.get(Kind::gaussian_blur), tulo::apply_gaussian_blur(original, 7));

    EXPECT_EQ(&ws.get(Kind::greyscale, 9), &ws.get(Kind::greyscale));
}

TEST_F(OpsiraDerive, ParameterSetsIterationsAndCannyLevel)
{
    ws.get(Kind::erode_and_dilate, 2);
    const cv::Mat& threshold = ws.get(Kind::threshold);
    EXPECT_MAT_EQ(ws.get(Kind::erode), tulo::erode(threshold, 2));
    EXPECT_MAT_EQ(ws.get(Kind::erode_and_dilate), tulo::dilate(tulo::erode(threshold, 2), 2));

    cv::Mat expected;
    cv::Canny(threshold, expected, 50.0, 150.0, 3, true);
    EXPECT_MAT_EQ(ws.get(Kind::canny_edge_detection, 50), expected);
}

// ---- Thresholding -------------------------------------------------------------------------------

TEST_F(OpsiraDerive, MethodsWithoutAComputationAreRejectedAfterTheBlur)
{
    EXPECT_THROW_MSG(ws.create_threshold(Method::invalid), std::invalid_argument,
                     "cannot create threshold with type \"invalid\"");
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original", "gaussian_blur", "blur_greyscale"}));
    EXPECT_THROW_MSG(ws.create_threshold(Method::other), std::invalid_argument,
                     "cannot create threshold with type \"other\"");
    EXPECT_THROW_MSG(ws.create_threshold(Method::max), std::invalid_argument,
                     "cannot create threshold with type \"max\"");
    EXPECT_THROW_MSG(ws.create_threshold(static_cast<Method>(8)), std::logic_error,
                     "failed to create threshold image with type \"unknown\"");
}

TEST_F(OpsiraDerive, MethodImagesUseTheirFixedConstants)
{
    const cv::Mat grey = blurred_grey();
    cv::Mat otsu, gaussian, mean;
    const double level = cv::threshold(grey, otsu, 64.0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::adaptiveThreshold(grey, gaussian, 255.0, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, 5, 9.0);
    cv::adaptiveThreshold(grey, mean, 255.0, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 5, 9.0);

    EXPECT_MAT_EQ(ws.get(Kind::threshold_otsu), otsu);
    EXPECT_EQ(ws.threshold_value, level);
    EXPECT_MAT_EQ(ws.get(Kind::threshold_gaussian), gaussian);
    EXPECT_MAT_EQ(ws.get(Kind::threshold_meanc), mean);
    EXPECT_MAT_EQ(ws.get(Kind::threshold_dog), tulo::apply_DoG_threshold(original, 200.0, 0.5, 1.0));
}

TEST(OpsiraThreshold, UniformImageGivesOneLevelAndWhiteAdaptiveImages)
{
    Opsira ws{cv::Mat(40, 50, CV_8UC3, cv::Scalar(90, 90, 90))};
    const cv::Mat otsu = ws.create_threshold(Method::otsu);
    double low = 0, high = 0;
    cv::minMaxLoc(otsu, &low, &high);
    EXPECT_EQ(low, high);
    EXPECT_EQ(cv::countNonZero(ws.get(Kind::threshold_gaussian) != 255), 0);
    EXPECT_EQ(cv::countNonZero(ws.get(Kind::threshold_meanc) != 255), 0);
}

TEST(OpsiraThreshold, DarkObjectOnLightBackgroundIsInvertedIntoForeground)
{
    cv::Mat page(100, 100, CV_8UC3, cv::Scalar(230, 230, 230));
    cv::rectangle(page, cv::Rect(30, 30, 40, 40), cv::Scalar(20, 20, 20), cv::FILLED);
    Opsira ws{page};
    const cv::Mat& threshold = ws.get(Kind::threshold);
    EXPECT_EQ(ws.threshold_type, Method::otsu);
    EXPECT_EQ(threshold.at<uchar>(50, 50), 255);
    EXPECT_EQ(threshold.at<uchar>(5, 5), 0);
    EXPECT_EQ(ws.get(Kind::threshold_otsu).at<uchar>(5, 5), 255);
}

// A two-level image of 100 pixels with `set` of them at 255.
cv::Mat with_share(int set)
{
    cv::Mat image(10, 10, CV_8UC1, cv::Scalar(0));
    image.reshape(1, 1).colRange(0, set).setTo(255);
    return image;
}

struct Choice {
    std::string name;
    int otsu_set, triangle_set, gaussian_set;
    Method chosen;
    bool inverted;
};

class OpsiraThresholdChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(OpsiraThresholdChoice, PicksByShareAndInvertsAboveThirtyPercent)
{
    const Choice& c = GetParam();
    Opsira ws;
    cv::Mat images[] = {with_share(c.otsu_set), with_share(c.triangle_set), with_share(c.gaussian_set),
                        with_share(50), with_share(50)};
    const Kind kinds[] = {Kind::threshold_otsu, Kind::threshold_triangle, Kind::threshold_gaussian,
                          Kind::threshold_meanc, Kind::threshold_dog};
    for (int i = 0; i < 5; ++i)
        ws.replace(kinds[i], images[i]);

    const cv::Mat result = ws.create_threshold();
    EXPECT_EQ(ws.threshold_type, c.chosen);
    const int index = c.chosen == Method::otsu ? 0 : c.chosen == Method::triangle ? 1 : 2;
    const cv::Mat expected = c.inverted ? tulo::invert(images[index]) : images[index];
    EXPECT_MAT_EQ(result, expected);
    EXPECT_EQ(ws.get(Kind::threshold).data, result.data);
    EXPECT_EQ(result.data == images[index].data, !c.inverted);
}

INSTANTIATE_TEST_SUITE_P(Shares, OpsiraThresholdChoice,
                         ::testing::Values(Choice{"otsu_a_tenth_passes", 10, 50, 50, Method::otsu, false},
                                           Choice{"otsu_three_tenths_kept", 30, 50, 50, Method::otsu, false},
                                           Choice{"otsu_above_three_tenths_inverted", 31, 50, 50, Method::otsu, true},
                                           Choice{"otsu_nine_tenths_passes", 90, 5, 5, Method::otsu, true},
                                           Choice{"otsu_below_a_tenth", 9, 20, 5, Method::triangle, false},
                                           Choice{"gaussian_when_two_fail", 91, 95, 2, Method::auto_gaussian, false},
                                           Choice{"gaussian_inverted", 5, 95, 99, Method::auto_gaussian, true}),
                         tulo::testing::by_name);

TEST_F(OpsiraDerive, DogThresholdAlsoLeavesTheBlurredImages)
{
    ws.get(Kind::threshold_dog);
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original", "gaussian_blur", "blur_greyscale", "threshold_dog"}));
}

} // namespace
