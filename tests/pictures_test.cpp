// The shared test pictures: every face sets every script, pages are reproducible, quarter turns
// are exact, and the ink box holds every mark of the turned page.
#include "support.hpp"

#include "pictures/page.hpp"

#include <opencv2/imgproc.hpp>

#include <array>
#include <stdexcept>
#include <utility>

namespace tulo::pictures {

void PrintTo(Face face, std::ostream* out)
{
    *out << describe(face);
}

} // namespace tulo::pictures

namespace {

using namespace tulo::pictures;

// A small, quick page: 40 dpi letter paper is 340 x 440 pixels, its margins 36 pixels.
PageCase small_page(Face face, Script script)
{
    PageCase page;
    page.dpi = 40;
    page.face = face;
    page.script = script;
    page.points = 20.0;
    page.seed = 11;
    return page;
}

class PicturesFace : public ::testing::TestWithParam<Face> {};

TEST_P(PicturesFace, SetsEveryScriptInsideTheMargins)
{
    for (const Script script : {Script::latin, Script::cyrillic, Script::greek}) {
        const PageCase page = small_page(GetParam(), script);
        const cv::Mat image = render_page(page);
        ASSERT_EQ(image.size(), cv::Size(340, 440));
        const cv::Rect box = ink_box(page);
        EXPECT_EQ(box & cv::Rect(30, 30, 280, 380), box);
        EXPECT_GT(box.area(), 240 * 300) << box;
        EXPECT_GT(cv::countNonZero(image < 192), 1000) << describe(script);
    }
}

INSTANTIATE_TEST_SUITE_P(TrueType, PicturesFace, ::testing::ValuesIn(truetype_faces()),
                         [](const auto& info) { return describe(info.param); });

TEST(Pictures, PagesAreReproducibleFromTheSeed)
{
    PageCase page = small_page(Face::book, Script::cyrillic);
    page.wear = Wear::worn;
    const cv::Mat first = render_page(page);
    EXPECT_MAT_EQ(render_page(page), first);
    page.seed += 1;
    EXPECT_FALSE(tulo::testing::mats_equal(render_page(page), first));
}

// Quarter turns are cv::rotate's exact ones, without interpolation, light on dark or not.
TEST(Pictures, QuarterTurnsAreExact)
{
    PageCase page = small_page(Face::sans, Script::greek);
    page.light_on_dark = true;
    const cv::Mat upright = render_page(page);
    const std::array<std::pair<double, cv::RotateFlags>, 4> turns{{{90.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                                                                  {450.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                                                                  {-90.0, cv::ROTATE_90_CLOCKWISE},
                                                                  {180.0, cv::ROTATE_180}}};
    for (const auto& [angle, turn] : turns) {
        cv::Mat expected;
        cv::rotate(upright, expected, turn);
        page.angle = angle;
        EXPECT_MAT_EQ(render_page(page), expected) << angle;
    }
}

// The ink box of the turned page lies within the turned corners of the upright box, give or take
// the pixels interpolation spreads ink over.
TEST(Pictures, InkBoxTurnsWithThePage)
{
    PageCase page = small_page(Face::old_style, Script::latin);
    const cv::Rect upright = ink_box(page);
    page.angle = 12.0;
    std::vector<cv::Point2f> corners{upright.tl(), cv::Point(upright.br().x, upright.y), upright.br(),
                                     cv::Point(upright.x, upright.br().y)};
    cv::transform(corners, corners, cv::getRotationMatrix2D({169.5f, 219.5f}, page.angle, 1.0));
    const cv::Rect bound = cv::boundingRect(corners) + cv::Size(4, 4) - cv::Point(2, 2);
    const cv::Rect turned = ink_box(page);
    EXPECT_EQ(turned & bound, turned) << bound;
    EXPECT_GT(turned.area(), upright.area());
}

TEST(Pictures, RejectsWhatItCannotDraw)
{
    PageCase page;
    page.script = Script::greek;
    EXPECT_THROW_MSG(render_page(page), std::invalid_argument, "the Hershey fonts write only Latin letters");
    page.script = Script::latin;
    page.dpi = 29;
    EXPECT_THROW_MSG(render_page(page), std::invalid_argument, "a page needs at least 30 dpi");
}

// Words are written in their script's letters and punctuation only.
TEST(Pictures, ProseKeepsToItsScript)
{
    const std::array<std::pair<char32_t, char32_t>, 3> ranges{
        {{U'A', U'z'}, {U'\u0400', U'\u04FF'}, {U'\u0370', U'\u03FF'}}};
    for (const Script script : {Script::latin, Script::cyrillic, Script::greek}) {
        const auto [first, last] = ranges[static_cast<std::size_t>(script)];
        Prose prose(script);
        cv::RNG rng(3);
        for (int i = 0; i < 300; ++i)
            for (const char32_t c : decode_utf8(prose.next_word(rng)))
                EXPECT_TRUE((c >= first && c <= last) || std::u32string(U".,:?;").find(c) != std::u32string::npos)
                    << describe(script) << " U+" << std::hex << static_cast<unsigned>(c);
    }
    EXPECT_EQ(decode_utf8(encode_utf8(U"aЖλ€\U0001F600")), U"aЖλ€\U0001F600");
    EXPECT_EQ(decode_utf8("a\xC3"), U"a\uFFFD");
}

} // namespace
