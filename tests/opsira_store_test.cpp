#include "support.hpp"
#include "workspace.hpp"

#include <tulo/MatManip.hpp>

using namespace tulo::testing;
using tulo::Opsira;

namespace {

class OpsiraStore : public ::testing::Test {
protected:
    cv::Mat original = scene();
    Opsira ws{original};
};

// Prefixes every kind name, which must rename store keys, lookups and file names alike.
class Renamed : public Opsira {
public:
    using Opsira::Opsira;
    using Opsira::to_string;
    std::string to_string(EMatType kind) const override { return "my_" + Opsira::to_string(kind); }
};

TEST(OpsiraNames, EveryKindNameMapsBackToItsKind)
{
    const Opsira ws;
    for (int k = 0; k <= 24; ++k)
        EXPECT_EQ(ws.to_type(ws.to_string(static_cast<Kind>(k))), static_cast<Kind>(k)) << k;
    EXPECT_EQ(ws.to_string(Kind::invalid), "invalid");
    EXPECT_EQ(ws.to_string(Kind::threshold_meanc), "threshold_meanc");
    EXPECT_EQ(ws.to_string(Kind::max), "max");
    EXPECT_EQ(ws.to_string(static_cast<Kind>(25)), "unknown");
    EXPECT_EQ(ws.to_string(static_cast<Kind>(-1)), "unknown");
}

TEST(OpsiraNames, MethodNames)
{
    const Opsira ws;
    EXPECT_EQ(ws.to_string(Method::invalid), "invalid");
    EXPECT_EQ(ws.to_string(Method::auto_mean_c), "auto_mean_c");
    EXPECT_EQ(ws.to_string(Method::difference_of_gaussian), "difference_of_gaussian");
    EXPECT_EQ(ws.to_string(Method::max), "max");
    EXPECT_EQ(ws.to_string(static_cast<Method>(8)), "unknown");
    EXPECT_EQ(ws.to_string(static_cast<Method>(-1)), "unknown");
}

TEST(OpsiraNames, OnlyWholeExactNamesMatch)
{
    const Opsira ws;
    EXPECT_EQ(ws.to_type("original"), Kind::original);
    EXPECT_EQ(ws.to_type("threshold"), Kind::threshold);
    for (const char* name : {"Original", "original ", "", "unknown", "01", "1", "user_defined"})
        EXPECT_EQ(ws.to_type(name), Kind::user_defined) << '"' << name << '"';
}

TEST(OpsiraNames, OverriddenNamesRenameTheStoreEverywhere)
{
    // Construction is not complete inside a constructor, so the original it stores keeps its own name.
    EXPECT_EQ(stored_names(Renamed(scene())), (std::set<std::string>{"original"}));

    Renamed ws;
    ws.set_original(scene());
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"my_original"}));
    EXPECT_EQ(ws.to_type("my_greyscale"), Kind::greyscale);
    EXPECT_EQ(ws.to_type("greyscale"), Kind::user_defined);

    ws.get(Kind::greyscale);
    ws.get("my_invert");
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"my_original", "my_greyscale", "my_invert"}));

    cv::Mat replacement = scene(20, 10);
    ws.replace("my_original", replacement);
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"my_original"}));
    EXPECT_EQ(ws.get(Kind::original).cols, 20);
}

TEST(OpsiraEquality, EmptyAndLoadedWorkspaces)
{
    const Opsira empty;
    const Opsira from_empty_matrix{cv::Mat()};
    const Opsira loaded{scene()};
    EXPECT_TRUE(empty == from_empty_matrix);
    EXPECT_FALSE(empty == loaded);
    EXPECT_FALSE(loaded == empty);
}

TEST(OpsiraEquality, ComparesOriginalsOnly)
{
    Opsira lhs{scene()};
    Opsira rhs{scene()};
    lhs.get(Kind::invert);
    cv::Mat own = scene(10, 10);
    rhs.replace("mine", own);
    EXPECT_TRUE(lhs == rhs);

    cv::Mat different = scene();
    different.at<cv::Vec3b>(0, 0)[0] ^= 1;
    rhs.set_original(different);
    EXPECT_FALSE(lhs == rhs);
}

TEST_F(OpsiraStore, SetOriginalStoresADeepCopy)
{
    const cv::Mat before = original.clone();
    original.setTo(cv::Scalar(1, 2, 3));
    EXPECT_MAT_EQ(ws.get(Kind::original), before);
}

TEST_F(OpsiraStore, ReplaceSharesTheCallersPixels)
{
    cv::Mat own(4, 4, CV_8UC1, cv::Scalar(9));
    ws.replace("mine", own);
    own.setTo(cv::Scalar(77));
    EXPECT_EQ(ws.get("mine").at<uchar>(2, 2), 77);
    EXPECT_EQ(own.at<uchar>(0, 0), 77);
}

// Counts the calls that reach the virtual replace, which the const overloads must go through.
class CountingReplace : public Opsira {
public:
    using Opsira::Opsira;
    using Opsira::replace;
    Opsira& replace(const std::string& name, cv::Mat& image) override
    {
        ++calls;
        return Opsira::replace(name, image);
    }
    int calls = 0;
};

TEST(OpsiraConstReplace, TakesConstImagesAndTemporariesThroughTheVirtualReplace)
{
    CountingReplace ws{scene()};
    const cv::Mat fixed(4, 4, CV_8UC1, cv::Scalar(9));
    ws.replace("fixed", fixed).replace(Kind::invert, cv::Mat(2, 2, CV_8UC1, cv::Scalar(5)));
    EXPECT_EQ(ws.calls, 2);
    EXPECT_EQ(ws.get("fixed").data, fixed.data) << "the entry shares the caller's pixels";
    EXPECT_EQ(ws.get(Kind::invert).at<uchar>(1, 1), 5);
}

TEST_F(OpsiraStore, ReplaceWithAnEmptyMatrixRemovesTheEntry)
{
    cv::Mat own(4, 4, CV_8UC1, cv::Scalar(9));
    ws.replace("mine", own);
    cv::Mat none;
    ws.replace("mine", none);
    ws.replace("never_stored", none);
    ws.clear(Kind::greyscale);
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original"}));
}

TEST_F(OpsiraStore, ReplacingTheThresholdImageRecordsOtherAndResetsTheLevel)
{
    ws.get(Kind::threshold);
    ASSERT_NE(ws.threshold_value, 0.0);
    cv::Mat own(original.size(), CV_8UC1, cv::Scalar(255));
    ws.replace(Kind::threshold, own);
    EXPECT_EQ(ws.threshold_type, Method::other);
    EXPECT_EQ(ws.threshold_value, 0.0);
    EXPECT_EQ(ws.get(Kind::threshold).data, own.data);

    ws.get(Kind::threshold_otsu);
    ws.clear(Kind::threshold);
    EXPECT_EQ(ws.images.count("threshold"), 0u);
    EXPECT_EQ(ws.threshold_type, Method::other);
    EXPECT_EQ(ws.threshold_value, 0.0);
}

TEST_F(OpsiraStore, KindsOutsideTheCatalogueAreStoredAsUnknown)
{
    cv::Mat own(3, 3, CV_8UC1, cv::Scalar(1));
    ws.replace(static_cast<Kind>(25), own);
    EXPECT_EQ(ws.get(static_cast<Kind>(25)).data, own.data);
    EXPECT_EQ(ws.images.count("unknown"), 1u);
    ws.clear(static_cast<Kind>(-3));
    EXPECT_EQ(ws.images.count("unknown"), 0u);
}

TEST_F(OpsiraStore, ClearingTheOriginalEmptiesEverything)
{
    ws.get(Kind::hough_lines);
    ws.find_contours();
    ws.clear(Kind::original);
    EXPECT_TRUE(ws.images.empty());
    EXPECT_TRUE(ws.contours.empty());
    EXPECT_TRUE(ws.hough_lines.empty());
    EXPECT_TRUE(ws.line_angles.empty());
    EXPECT_TRUE(ws.angle_intervals.empty());
    EXPECT_EQ(ws.correction_angle, 0.0);
    EXPECT_EQ(ws.threshold_value, 0.0);
    EXPECT_EQ(ws.threshold_type, Method::invalid);
}

TEST_F(OpsiraStore, LookupByNameErrors)
{
    EXPECT_THROW_MSG(ws.get("nothing"), std::logic_error, "failed to get or create image type \"nothing\"");
    EXPECT_THROW_MSG(ws.get("user_defined"), std::logic_error, "failed to get or create image type \"user_defined\"");
    EXPECT_THROW_MSG(ws.get("invalid"), std::logic_error, "failed to get or create image type \"invalid\"");
    EXPECT_THROW_MSG(ws.get("max"), std::out_of_range, "cannot get an image corresponding to type \"max\"");

    cv::Mat own(2, 2, CV_8UC1, cv::Scalar(5));
    ws.replace("user_defined", own);
    EXPECT_EQ(ws.get("user_defined").data, own.data);
    EXPECT_EQ(ws.get(Kind::user_defined).data, own.data);
}

TEST_F(OpsiraStore, LookupByNameDerivesOnceAndServesTheStoredImage)
{
    const cv::Mat& first = ws.get("greyscale");
    const uchar* pixels = first.data;
    EXPECT_EQ(&ws.get("greyscale"), &first);
    EXPECT_EQ(ws.get(Kind::greyscale).data, pixels);
}

TEST(OpsiraLifecycle, UnreadableFileThrowsAndLeavesNothing)
{
    EXPECT_THROW_MSG(Opsira("/nonexistent/page.png"), std::runtime_error, "failed to read \"/nonexistent/page.png\"");
    Opsira ws{scene()};
    EXPECT_THROW(ws.reset_using(std::string("/nonexistent/page.png")), std::runtime_error);
    EXPECT_TRUE(ws.images.empty());
}

TEST(OpsiraLifecycle, ResetOfAnEmptyWorkspaceFails)
{
    Opsira ws;
    EXPECT_THROW_MSG(ws.reset(), std::logic_error, "original image has not been set");
    EXPECT_TRUE(ws.images.empty());
}

TEST_F(OpsiraStore, ResetKeepsAFreshCopyOfTheOriginalOnly)
{
    ws.get(Kind::canny_edge_detection);
    const uchar* before = ws.get(Kind::original).data;
    ws.reset();
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original"}));
    EXPECT_NE(ws.get(Kind::original).data, before);
    EXPECT_MAT_EQ(ws.get(Kind::original), original);
    EXPECT_EQ(ws.threshold_type, Method::invalid);
}

TEST_F(OpsiraStore, ADerivedKindBecomesTheOriginal)
{
    const cv::Mat grey = tulo::to_greyscale(original);
    ws.set_original(Kind::greyscale);
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original"}));
    EXPECT_MAT_EQ(ws.get(Kind::original), grey);
}

// Regression: the workspace was cleared before the image was read, so passing one of its own
// stored images read freed pixels.
TEST_F(OpsiraStore, SetOriginalAcceptsTheWorkspacesOwnImage)
{
    const cv::Mat grey = tulo::to_greyscale(original);
    ws.set_original(ws.get("greyscale"));
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original"}));
    EXPECT_MAT_EQ(ws.get(Kind::original), grey);

    const cv::Mat inverted = tulo::invert(grey);
    ws.replace("original", ws.get(Kind::invert));
    EXPECT_EQ(stored_names(ws), (std::set<std::string>{"original"}));
    EXPECT_MAT_EQ(ws.get(Kind::original), inverted);
}

} // namespace
