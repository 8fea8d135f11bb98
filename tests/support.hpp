#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <sstream>
#include <string>

// Checks both the exception type and its exact message.
#define EXPECT_THROW_MSG(statement, exception_type, expected_message)                              \
    EXPECT_THROW(                                                                                  \
        try { statement; } catch (const exception_type& caught_) {                                 \
            EXPECT_STREQ(caught_.what(), std::string(expected_message).c_str());                   \
            throw;                                                                                 \
        },                                                                                         \
        exception_type)

namespace tulo::testing {

// Equal size, type and every element of every channel; on failure says where they differ.
inline ::testing::AssertionResult mats_equal(const cv::Mat& actual, const cv::Mat& expected)
{
    if (actual.size != expected.size || actual.type() != expected.type()) {
        std::ostringstream why;
        why << "size/type " << actual.size() << "/" << actual.type() << " vs " << expected.size() << "/"
            << expected.type();
        return ::testing::AssertionFailure() << why.str();
    }
    if (actual.empty())
        return ::testing::AssertionSuccess();
    const cv::Mat a = actual.reshape(1, actual.rows);
    const cv::Mat e = expected.reshape(1, expected.rows);
    cv::Mat differ;
    cv::compare(a, e, differ, cv::CMP_NE);
    std::vector<cv::Point> where;
    cv::findNonZero(differ, where);
    if (where.empty())
        return ::testing::AssertionSuccess();
    const int channels = actual.channels();
    std::ostringstream why;
    why << where.size() << " differing elements; first at x=" << where[0].x / channels << " y=" << where[0].y
        << " channel " << where[0].x % channels;
    return ::testing::AssertionFailure() << why.str();
}

} // namespace tulo::testing

#define EXPECT_MAT_EQ(actual, expected) EXPECT_TRUE(::tulo::testing::mats_equal((actual), (expected)))
