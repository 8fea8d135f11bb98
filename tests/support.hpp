#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
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

// Whether the two matrices' pixel buffers overlap.
inline bool shares_buffer(const cv::Mat& a, const cv::Mat& b)
{
    return !a.empty() && !b.empty() && a.datastart < b.dataend && b.datastart < a.dataend;
}

// Rows of parameterised tests are named and printed by their `name`; a test file opts in to the
// printing with `using tulo::testing::operator<<;` in its own namespace, where gtest looks for it.
inline constexpr auto by_name = [](const auto& info) { return std::string(info.param.name); };

template <typename Row>
auto operator<<(std::ostream& out, const Row& row) -> decltype(out << row.name)
{
    return out << row.name;
}

// Row names allow only letters, digits and underscores: a number as "plus_0_6" or "minus_17_3".
inline std::string number_name(double value)
{
    std::ostringstream text;
    text << (std::signbit(value) ? "minus_" : "plus_") << std::abs(value);
    std::string name = text.str();
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

inline std::string size_name(const cv::Size& size)
{
    return "size_" + std::to_string(size.width) + "x" + std::to_string(size.height);
}

inline constexpr auto by_type = [](const auto& info) { return cv::typeToString(info.param); };
inline constexpr auto by_number = [](const auto& info) { return number_name(info.param); };

} // namespace tulo::testing

#define EXPECT_MAT_EQ(actual, expected) EXPECT_TRUE(::tulo::testing::mats_equal((actual), (expected)))
