#include "support.hpp"

#include <tulo/Intervals.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tulo::testing::operator<<;

using IntervalList = std::vector<std::vector<double>>;

const double nan_value = std::numeric_limits<double>::quiet_NaN();

class IntervalsTest : public ::testing::Test {};

// ---- grouping ------------------------------------------------------------------------------

struct GroupingCase {
    const char* name;
    std::vector<double> values;
    double multiplier;
    IntervalList expected;
};

class IntervalsGrouping : public ::testing::TestWithParam<GroupingCase> {};

TEST_P(IntervalsGrouping, CutsWhereTheRelativeGapReachesTheThreshold)
{
    std::vector<double> values = GetParam().values;
    EXPECT_EQ(tulo::intervals(values, GetParam().multiplier), GetParam().expected);
}

TEST_P(IntervalsGrouping, ConstValuesGiveTheSameIntervalsAndStayUnsorted)
{
    const std::vector<double> values(GetParam().values.rbegin(), GetParam().values.rend());
    EXPECT_EQ(tulo::intervals(values, GetParam().multiplier), GetParam().expected);
    EXPECT_TRUE(std::equal(values.begin(), values.end(), GetParam().values.rbegin()));
}

// Thresholds worked by hand: (-1 + sum of gaps) / N * multiplier.
INSTANTIATE_TEST_SUITE_P(
    Worked, IntervalsGrouping,
    ::testing::Values(
        // gaps 1, 0.5, 0.8, 1/11; threshold ~0.695
        GroupingCase{"unsorted_pairs", {11, 1, 10, 2}, 2.0, {{1, 2}, {10, 11}}},
        GroupingCase{"empty", {}, 2.0, {}},
        // threshold (-1 + 1) / 1 = 0, and the first position never cuts
        GroupingCase{"one_value", {7.5}, 2.0, {{7.5}}},
        GroupingCase{"equal_values", {3, 3, 3, 3}, 2.0, {{3, 3, 3, 3}}},
        // every gap 0; threshold -1/3 * 2
        GroupingCase{"zeros", {0, 0, 0}, 2.0, {{0, 0, 0}}},
        // gaps 0, 1, 0.5; threshold 1/3
        GroupingCase{"zero_one_two", {2, 0, 1}, 2.0, {{0}, {1}, {2}}},
        // gaps 1, 0.5; threshold 0.25 * multiplier: exactly 0.5 cuts, just above it does not
        GroupingCase{"gap_equal_to_threshold_cuts", {2, 1}, 2.0, {{1}, {2}}},
        GroupingCase{"gap_below_threshold_joins", {2, 1}, 2.0000001, {{1, 2}}},
        // a NaN threshold never cuts
        GroupingCase{"nan_multiplier", {1, 100, 10000}, nan_value, {{1, 100, 10000}}},
        // negative values: gaps 1, 99 and 1.02; threshold 100.02 / 3
        GroupingCase{"negative", {50, -1, -100}, 1.0, {{-100}, {-1, 50}}}),
    tulo::testing::by_name);

TEST_F(IntervalsTest, LeavesTheCallersVectorSorted)
{
    std::vector<double> values{11, 1, 10, 2};
    tulo::intervals(values, 2.0);
    EXPECT_EQ(values, (std::vector<double>{1, 2, 10, 11}));
}

class IntervalsBadMultiplier : public ::testing::TestWithParam<double> {};

TEST_P(IntervalsBadMultiplier, ThrowsAndLeavesTheVectorUnsorted)
{
    std::vector<double> values{3, 1, 2};
    EXPECT_THROW_MSG(tulo::intervals(values, GetParam()), std::invalid_argument, "invalid threshold multiplier");
    EXPECT_EQ(values, (std::vector<double>{3, 1, 2}));
}

INSTANTIATE_TEST_SUITE_P(Rejected, IntervalsBadMultiplier,
                         ::testing::Values(0.0, -0.0, -1.0, -std::numeric_limits<double>::infinity()),
                         tulo::testing::by_number);

// Regression: sorting with plain `<` is undefined with NaN present and can drop or reorder values.
TEST_F(IntervalsTest, NanValuesGoLastAndNoneIsLost)
{
    std::vector<double> values;
    for (int i = 0; i < 40; ++i)
        values.push_back(i % 3 == 0 ? nan_value : static_cast<double>(40 - i));
    const IntervalList result = tulo::intervals(values, 2.0);

    const std::size_t numbers = 26;
    ASSERT_EQ(values.size(), 40u);
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(std::isnan(values[i]), i >= numbers) << "position " << i;
    for (std::size_t i = 1; i < numbers; ++i)
        EXPECT_LT(values[i - 1], values[i]);
    // Any NaN makes the threshold NaN, so nothing is cut.
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].size(), 40u);
}

// ---- summaries -----------------------------------------------------------------------------

TEST_F(IntervalsTest, BestValueIsTheAverageOfTheFirstLargestInterval)
{
    EXPECT_EQ(tulo::best_value_from_intervals({{1, 2}, {10, 11}}), 1.5);
    EXPECT_EQ(tulo::best_value_from_intervals({{1}, {10, 11, 15}, {4, 5, 6}}), 12.0);
    EXPECT_EQ(tulo::best_value_from_intervals({}), 0.0);
    EXPECT_TRUE(std::isnan(tulo::best_value_from_intervals({{}, {}})));
}

struct PopularCase {
    const char* name;
    IntervalList intervals;
    double fraction;
    std::vector<double> expected;
};

class IntervalsPopular : public ::testing::TestWithParam<PopularCase> {};

TEST_P(IntervalsPopular, KeepsTheAveragesOfIntervalsReachingTheBar)
{
    EXPECT_EQ(tulo::popular_values_from_intervals(GetParam().intervals, GetParam().fraction), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, IntervalsPopular,
    ::testing::Values(PopularCase{"half", {{1, 1, 1}, {5, 6}, {9}}, 0.5, {1, 5.5}},
                      PopularCase{"largest_only", {{1, 2}, {5, 6, 7}, {9, 10, 11}}, 1.0, {6, 10}},
                      PopularCase{"all", {{1, 1, 1}, {5, 6}, {9}}, 0.0, {1, 5.5, 9}},
                      PopularCase{"nan_fraction", {{1, 1, 1}, {5, 6}}, nan_value, {}},
                      PopularCase{"empty", {}, 0.5, {}}),
    tulo::testing::by_name);

TEST_F(IntervalsTest, PopularValueOfAnEmptyIntervalIsNan)
{
    const std::vector<double> result = tulo::popular_values_from_intervals({{2, 4}, {}}, 0.0);
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0], 3.0);
    EXPECT_TRUE(std::isnan(result[1]));
}

// ---- text ----------------------------------------------------------------------------------

struct TextCase {
    const char* name;
    IntervalList intervals;
    std::string expected;
};

class IntervalsText : public ::testing::TestWithParam<TextCase> {};

TEST_P(IntervalsText, DescribesEveryInterval)
{
    EXPECT_EQ(tulo::to_string(GetParam().intervals), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, IntervalsText,
    ::testing::Values(
        TextCase{"empty", {}, "0 intervals"},
        TextCase{"pairs",
                 {{1, 2}, {10, 11}},
                 "2 intervals\n"
                 "-> interval #1/2: 2 values, average=1.5, midrange=1.5, median=2, values: 1 2\n"
                 "-> interval #2/2: 2 values, average=10.5, midrange=10.5, median=11, values: 10 11"},
        TextCase{"runs",
                 {{10, 10, 11, 12}},
                 "1 intervals\n"
                 "-> interval #1/1: 4 values, average=10.75, midrange=11, median=11, values: 10 [x2] 11 12"},
        TextCase{"one_value", {{-3}}, "1 intervals\n-> interval #1/1: 1 values, average=-3, midrange=-3, median=-3, values: -3"},
        // six significant digits, general notation
        TextCase{"formatting",
                 {{30, 31, 31}, {1e6}},
                 "2 intervals\n"
                 "-> interval #1/2: 3 values, average=30.6667, midrange=30.5, median=31, values: 30 31 [x2]\n"
                 "-> interval #2/2: 1 values, average=1e+06, midrange=1e+06, median=1e+06, values: 1e+06"},
        TextCase{"median_of_four_is_the_third",
                 {{1, 2, 4, 8}},
                 "1 intervals\n-> interval #1/1: 4 values, average=3.75, midrange=4.5, median=4, values: 1 2 4 8"},
        // hand-made, unsorted: statistics read positions as given
        TextCase{"unsorted", {{5, 1, 3}}, "1 intervals\n-> interval #1/1: 3 values, average=3, midrange=4, median=1, values: 5 1 3"},
        TextCase{"nan_stands_alone",
                 {{2, 2, nan_value, nan_value}},
                 "1 intervals\n-> interval #1/1: 4 values, average=nan, midrange=nan, median=nan, values: 2 [x2] nan nan"},
        TextCase{"empty_interval",
                 {{}, {0.5}},
                 "2 intervals\n"
                 "-> interval #1/2: 0 values, average=0, midrange=nan, median=nan, values:\n"
                 "-> interval #2/2: 1 values, average=0.5, midrange=0.5, median=0.5, values: 0.5"}),
    tulo::testing::by_name);

} // namespace
