// Orientation of pages drawn here in TrueType faces and turned by each quarter (with and without a
// small tilt), pictures without text, and the exact quarter turns of turn_upright.
#include "matmanip_support.hpp"
#include "support.hpp"

#include "pictures/page.hpp"
#include "pictures/scene.hpp"

#include <tulo/Orientation.hpp>

#include <opencv2/imgproc.hpp>

#include <string>

namespace {

namespace pictures = tulo::pictures;
using tulo::testing::random_image;
using tulo::testing::shares_buffer;

struct TurnedPage {
    std::string name;
    pictures::Face face;
    pictures::Script script;
    int correction;  // what stands the page upright again
    double tilt;     // degrees the page is turned beyond the quarter turn
};

// One column of prose at 100 dpi: small, so that the test stays fast, and still legible.
pictures::PageCase page_case(const TurnedPage& page)
{
    pictures::PageCase drawn;
    drawn.dpi = 100;
    drawn.face = page.face;
    drawn.script = page.script;
    drawn.paper = pictures::Paper::a4;
    drawn.points = 11.0;
    drawn.seed = 2412;
    drawn.angle = (360 - page.correction) % 360 + page.tilt;
    return drawn;
}

class OrientationOfTurnedPage : public ::testing::TestWithParam<TurnedPage> {};

TEST_P(OrientationOfTurnedPage, IsTheQuarterTurnBackAndTrusted)
{
    const tulo::OrientationEstimate estimate = tulo::estimate_orientation(pictures::render_page(page_case(GetParam())));
    EXPECT_EQ(estimate.correction, GetParam().correction);
    EXPECT_GE(estimate.confidence, tulo::min_orientation_confidence);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, OrientationOfTurnedPage,
    ::testing::Values(TurnedPage{"book_latin_upright", pictures::Face::book, pictures::Script::latin, 0, 0.0},
                      TurnedPage{"book_latin_90_tilted", pictures::Face::book, pictures::Script::latin, 90, 6.0},
                      TurnedPage{"swiss_latin_180", pictures::Face::swiss, pictures::Script::latin, 180, 0.0},
                      TurnedPage{"typewriter_latin_270_tilted", pictures::Face::typewriter, pictures::Script::latin,
                                 270, -4.0},
                      TurnedPage{"sans_cyrillic_upright_tilted", pictures::Face::sans, pictures::Script::cyrillic, 0,
                                 -7.0},
                      TurnedPage{"sans_cyrillic_180", pictures::Face::sans, pictures::Script::cyrillic, 180, 0.0},
                      TurnedPage{"serif_greek_90", pictures::Face::serif, pictures::Script::greek, 90, 0.0},
                      TurnedPage{"serif_greek_270_tilted", pictures::Face::serif, pictures::Script::greek, 270, 3.0}),
    [](const ::testing::TestParamInfo<TurnedPage>& info) { return info.param.name; });

struct PageFormat {
    std::string name;
    int type;
};

class OrientationOfPageFormat : public ::testing::TestWithParam<PageFormat> {};

TEST_P(OrientationOfPageFormat, FindsTheSameTurn)
{
    const cv::Mat grey =
        pictures::render_page(page_case({"", pictures::Face::grotesque, pictures::Script::latin, 90, 0.0}));
    cv::Mat image;
    cv::cvtColor(grey, image, CV_MAT_CN(GetParam().type) == 4 ? cv::COLOR_GRAY2BGRA : cv::COLOR_GRAY2BGR);
    if (CV_MAT_CN(GetParam().type) == 1)
        image = grey;
    image.convertTo(image, GetParam().type, CV_MAT_DEPTH(GetParam().type) == CV_16U ? 257.0 : 1.0);
    const tulo::OrientationEstimate estimate = tulo::estimate_orientation(image);
    EXPECT_EQ(estimate.correction, 90);
    EXPECT_GE(estimate.confidence, tulo::min_orientation_confidence);
}

INSTANTIATE_TEST_SUITE_P(Formats, OrientationOfPageFormat,
                         ::testing::Values(PageFormat{"grey16", CV_16UC1}, PageFormat{"bgra8", CV_8UC4}),
                         [](const ::testing::TestParamInfo<PageFormat>& info) { return info.param.name; });

TEST(Orientation, WithoutTextIsUntrustedAndUncorrected)
{
    const cv::Size size(827, 1169);
    for (const cv::Mat& image : {pictures::render_scene(pictures::SceneKind::blank, size, 1),
                                 pictures::render_scene(pictures::SceneKind::noise, size, 2),
                                 pictures::render_scene(pictures::SceneKind::landscape, size, 3),
                                 random_image(400, 300, CV_16UC1, 4)}) {
        const tulo::OrientationEstimate estimate = tulo::estimate_orientation(image);
        EXPECT_LT(estimate.confidence, tulo::min_orientation_confidence);
        EXPECT_EQ(estimate.correction, 0);
    }
}

class TurnUpright : public ::testing::TestWithParam<int> {};

TEST_P(TurnUpright, IsCvRotateCounterClockwise)
{
    const cv::Mat image = random_image(5, 7, CV_8UC3, 11);
    cv::Mat expected = image;
    for (int turned = 0; turned < GetParam(); turned += 90)
        cv::rotate(expected, expected, cv::ROTATE_90_COUNTERCLOCKWISE);
    const cv::Mat upright = tulo::turn_upright(image, GetParam());
    EXPECT_MAT_EQ(upright, expected);
    EXPECT_FALSE(shares_buffer(upright, image));
}

INSTANTIATE_TEST_SUITE_P(Quarters, TurnUpright, ::testing::Values(0, 90, 180, 270),
                         [](const ::testing::TestParamInfo<int>& info) { return "by_" + std::to_string(info.param); });

TEST(Orientation, RejectsBadArguments)
{
    EXPECT_THROW_MSG(tulo::estimate_orientation(cv::Mat()), std::invalid_argument,
                     "cannot estimate the orientation of an empty image");
    EXPECT_THROW_MSG(tulo::estimate_orientation(cv::Mat(20, 20, CV_32FC1)), std::invalid_argument,
                     "orientation estimation needs an 8- or 16-bit image");
    EXPECT_THROW_MSG(tulo::estimate_orientation(cv::Mat(20, 20, CV_8UC2)), std::invalid_argument,
                     "orientation estimation needs an image of 1, 3 or 4 channels");
    EXPECT_THROW_MSG(tulo::turn_upright(cv::Mat(), 90), std::invalid_argument, "cannot turn an empty image");
    for (const int correction : {-90, 45, 360})
        EXPECT_THROW_MSG(tulo::turn_upright(cv::Mat(3, 3, CV_8UC1), correction), std::invalid_argument,
                         "the correction must be 0, 90, 180 or 270 degrees");
}

} // namespace
