// The page content finder on pages drawn here, given what a scanner and an archive add
// (tests/pictures/scan_defects): the box holds every mark and none of the additions; blank pages
// stay blank and a lone page number does not; formats and refusals.
#include "pictures/scan_defects.hpp"
#include "support.hpp"

#include <tulo/PageContent.hpp>

#include <opencv2/imgproc.hpp>

#include <functional>
#include <string>

namespace {

namespace pictures = tulo::pictures;
using pictures::ScannedPage;
using pictures::Side;

constexpr double dpi = 150.0;
const cv::Size letter(1275, 1650);  // US letter at 150 dpi

// A 150 dpi page of random words with a heading and a rule, 25 mm margins.
cv::Mat page_of_text(unsigned seed)
{
    cv::Mat page(letter, CV_8UC1, cv::Scalar::all(255));
    cv::RNG rng(seed);
    cv::putText(page, "Page content", {150, 200}, cv::FONT_HERSHEY_TRIPLEX, 1.4, cv::Scalar::all(0), 2, cv::LINE_AA);
    cv::line(page, {150, 230}, {1100, 230}, cv::Scalar::all(0), 2);
    for (int y = 290; y < 1450; y += 30) {
        std::string line;
        while (line.size() < 55) {
            for (int letters = rng.uniform(1, 10); letters > 0; --letters)
                line += static_cast<char>('a' + rng.uniform(0, 26));
            line += ' ';
        }
        cv::putText(page, line, {150, y}, cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar::all(0), 2, cv::LINE_AA);
    }
    return page;
}

// The found box holds the true one and reaches at most `slack` pixels beyond it on any side.
::testing::AssertionResult holds_only(const cv::Rect& found, const cv::Rect& truth, int slack)
{
    const cv::Rect widest(truth.x - slack, truth.y - slack, truth.width + 2 * slack, truth.height + 2 * slack);
    if ((found & truth) == truth && (found & widest) == found)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "found " << found << ", true box " << truth;
}

struct Addition {
    std::string name;
    std::function<void(ScannedPage&, cv::RNG&)> add;
};

class PageContentAdditions : public ::testing::TestWithParam<Addition> {};

TEST_P(PageContentAdditions, BoxHoldsEveryMarkAndNoneOfTheAdditions)
{
    ScannedPage page = pictures::scanned(page_of_text(11), dpi);
    cv::RNG rng(5);
    GetParam().add(page, rng);
    const tulo::PageContent content = tulo::find_page_content(page.image);
    EXPECT_FALSE(content.blank);
    EXPECT_GE(content.confidence, tulo::min_content_confidence);
    EXPECT_TRUE(holds_only(content.box, page.content, 3));
}

INSTANTIATE_TEST_SUITE_P(
    ScanDefects, PageContentAdditions,
    ::testing::Values(
        Addition{"BordersAllRound",
                 [](ScannedPage& p, cv::RNG& rng) {
                     for (const Side side : {Side::left, Side::top, Side::right, Side::bottom})
                         pictures::add_scanner_border(p, side, rng);
                 }},
        Addition{"SpineShadow", [](ScannedPage& p, cv::RNG& rng) { pictures::add_edge_shadow(p, Side::left, rng); }},
        Addition{"PunchHolesAndStaple",
                 [](ScannedPage& p, cv::RNG& rng) {
                     pictures::add_punch_holes(p, Side::left, rng);
                     pictures::add_staple(p, rng);
                 }},
        Addition{"FacingPageSliver",
                 [](ScannedPage& p, cv::RNG& rng) { pictures::add_facing_sliver(p, Side::right, rng); }},
        // The note's contrast once came from the larger bleed-through word it touches: dropped.
        Addition{"PencilNoteOverBleedThrough",
                 [](ScannedPage& p, cv::RNG& rng) {
                     pictures::add_bleed_through(p, page_of_text(14), 0.1);
                     pictures::add_pencil_note(p, rng);
                 }},
        Addition{"EverythingWithNoise",
                 [](ScannedPage& p, cv::RNG& rng) {
                     pictures::add_facing_sliver(p, Side::left, rng);
                     pictures::add_scanner_border(p, Side::top, rng);
                     pictures::add_edge_shadow(p, Side::right, rng);
                     pictures::add_noise(p, 6.0, rng);
                 }}),
    [](const ::testing::TestParamInfo<Addition>& info) { return info.param.name; });

TEST(PageContent, BlankPagesWithNoiseAndBleedThroughAreBlank)
{
    cv::RNG rng(8);
    for (const bool bleed : {false, true}) {
        ScannedPage page = pictures::blank_paper(letter, dpi, 3, rng);
        if (bleed)
            pictures::add_bleed_through(page, page_of_text(12), 0.08);
        pictures::add_punch_holes(page, Side::left, rng);
        const tulo::PageContent content = tulo::find_page_content(page.image);
        EXPECT_TRUE(content.blank) << "bleed-through " << bleed << ", box " << content.box << ", confidence " << content.confidence;
        EXPECT_EQ(content.box, cv::Rect());
    }
}

TEST(PageContent, LonePageNumberIsNotBlank)
{
    cv::RNG rng(9);
    ScannedPage page = pictures::blank_paper(letter, dpi, 1, rng);
    pictures::add_page_number(page, rng);
    const tulo::PageContent content = tulo::find_page_content(page.image);
    EXPECT_FALSE(content.blank);
    EXPECT_TRUE(holds_only(content.box, page.content, 3));
}

// Dust a pixel of the reduced copy from a lone mark joins it there; on the input it lies further from
// the mark than its own size, while the mark's full stop lies closer than its own.
TEST(PageContent, DustBesideALoneMarkIsDroppedAndItsFullStopKept)
{
    cv::Mat number(2 * letter.height, 2 * letter.width, CV_8UC1, cv::Scalar::all(255));
    cv::putText(number, "214.", {1200, 3100}, cv::FONT_HERSHEY_SIMPLEX, 2.0, cv::Scalar::all(0), 4, cv::LINE_AA);
    ScannedPage page = pictures::scanned(number, 2 * dpi);
    const cv::Rect truth = page.content;
    cv::circle(page.image, {truth.x + truth.width / 2, truth.y - 11}, 2, cv::Scalar::all(40), cv::FILLED);
    cv::circle(page.image, {truth.x + 10, truth.br().y + 10}, 2, cv::Scalar::all(40), cv::FILLED);
    const tulo::PageContent content = tulo::find_page_content(page.image);
    EXPECT_GE(content.confidence, tulo::min_content_confidence);
    EXPECT_TRUE(holds_only(content.box, truth, 1));
}

// A bold u has a punch hole's size and roundness, and stands alone by a scanner border: its open top
// tells it from a hole.
TEST(PageContent, BoldLetterOfAHolesSizeByTheBorderIsContent)
{
    cv::Mat text = page_of_text(15);
    cv::putText(text, "u", {60, 700}, cv::FONT_HERSHEY_SIMPLEX, 1.6, cv::Scalar::all(0), 8, cv::LINE_AA);
    ScannedPage page = pictures::scanned(text, dpi);
    cv::RNG rng(16);
    pictures::add_scanner_border(page, Side::left, rng);
    const tulo::PageContent content = tulo::find_page_content(page.image);
    EXPECT_GE(content.confidence, tulo::min_content_confidence);
    EXPECT_TRUE(holds_only(content.box, page.content, 3));
}

// 16-bit data is read by its own range and the alpha channel is ignored: the same box as 8-bit grey.
TEST(PageContent, SixteenBitAndFourChannelInputGiveTheGreyBox)
{
    ScannedPage page = pictures::scanned(page_of_text(13), dpi);
    cv::RNG rng(10);
    pictures::add_scanner_border(page, Side::left, rng);
    const cv::Rect grey = tulo::find_page_content(page.image).box;
    cv::Mat wide;
    page.image.convertTo(wide, CV_16U, 257.0);
    cv::Mat bgra;
    cv::cvtColor(page.image, bgra, cv::COLOR_GRAY2BGRA);
    EXPECT_EQ(tulo::find_page_content(wide).box, grey);
    EXPECT_EQ(tulo::find_page_content(bgra).box, grey);
    EXPECT_TRUE(holds_only(grey, page.content, 3));
}

TEST(PageContent, RefusesEmptyImagesAndOtherTypes)
{
    EXPECT_THROW_MSG(tulo::find_page_content(cv::Mat()), std::invalid_argument,
                     "cannot find the content of an empty image");
    EXPECT_THROW_MSG(tulo::find_page_content(cv::Mat(8, 8, CV_32FC1, cv::Scalar::all(1))), std::invalid_argument,
                     "finding page content needs an 8- or 16-bit image");
    EXPECT_THROW_MSG(tulo::find_page_content(cv::Mat(8, 8, CV_8UC2, cv::Scalar::all(1))), std::invalid_argument,
                     "finding page content needs an image of 1, 3 or 4 channels");
}

} // namespace
