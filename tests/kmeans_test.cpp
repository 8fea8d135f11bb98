#include "support.hpp"

#include <tulo/KMeans.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using tulo::testing::operator<<;

using Labels = std::vector<unsigned long>;

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

class KMeansTest : public ::testing::Test {};

// ---- worked examples -----------------------------------------------------------------------

struct WorkedCase {
    const char* name;
    std::vector<double> values;
    unsigned long k;
    unsigned long rounds;
    Labels labels;
    std::vector<double> centres;
};

class KMeansWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(KMeansWorked, ReturnsRoundsLabelsAndCentres)
{
    const WorkedCase& c = GetParam();
    Labels labels{9, 9};
    std::vector<double> centres{9.0};
    EXPECT_EQ(tulo::k_means(c.values, c.k, labels, centres), c.rounds);
    EXPECT_EQ(labels, c.labels);
    EXPECT_EQ(centres, c.centres);
}

// Each traced by hand from the seeds through every round.
INSTANTIATE_TEST_SUITE_P(
    ByHand, KMeansWorked,
    ::testing::Values(
        WorkedCase{"pairs", {1, 2, 10, 11}, 2, 2, {0, 0, 1, 1}, {1.5, 10.5}},
        WorkedCase{"pairs_shuffled", {11, 1, 10, 2}, 2, 2, {1, 0, 1, 0}, {1.5, 10.5}},
        // one distinct value: one centre, nothing changes in round 1
        WorkedCase{"one_distinct_value", {5, 5, 5}, 3, 1, {0, 0, 0}, {5}},
        // labels stay all zero, but the centre moves from 1 to 2 first
        WorkedCase{"one_cluster", {1, 2, 3}, 1, 2, {0, 0, 0}, {2}},
        // seeds 0 and 2; 1 is halfway and goes to the lower index
        WorkedCase{"halfway_tie", {0, 1, 2, 3}, 2, 2, {0, 0, 1, 1}, {0.5, 2.5}},
        // seeds 0, 3, 6 (step 3); ties at 5 and then at 2 move values to the lower index
        WorkedCase{"step_three", {9, 0, 5, 2, 7, 1, 8, 3, 6, 4}, 3, 4, {2, 0, 1, 0, 2, 0, 2, 1, 2, 1}, {1, 4, 7.5}},
        // never more centres than distinct values
        WorkedCase{"k_above_distinct", {4, 4, 8}, 5, 2, {0, 0, 1}, {4, 8}},
        // -0.0 and 0.0 are one distinct value
        WorkedCase{"signed_zeros", {-0.0, 0.0, 1}, 3, 2, {0, 0, 1}, {0, 1}},
        WorkedCase{"empty", {}, 3, 0, {}, {}}),
    tulo::testing::by_name);

TEST_F(KMeansTest, VectorGroupsValuesInInputOrder)
{
    std::vector<std::vector<double>> clusters{{7}};
    std::vector<double> centres{7};
    EXPECT_EQ(tulo::k_means_vector({11, 1, 10, 2}, 2, clusters, centres), 2u);
    EXPECT_EQ(centres, (std::vector<double>{1.5, 10.5}));
    EXPECT_EQ(clusters, (std::vector<std::vector<double>>{{1, 2}, {11, 10}}));
}

TEST_F(KMeansTest, VectorOfNoValuesIsEmpty)
{
    std::vector<std::vector<double>> clusters{{7}};
    std::vector<double> centres{7};
    EXPECT_EQ(tulo::k_means_vector({}, 2, clusters, centres), 0u);
    EXPECT_TRUE(clusters.empty());
    EXPECT_TRUE(centres.empty());
}

class KMeansZeroClusters : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(KMeansZeroClusters, ThrowsWithOutputsEmptied)
{
    Labels labels{1, 2};
    std::vector<double> centres{3};
    EXPECT_THROW_MSG(tulo::k_means(GetParam(), 0, labels, centres), std::invalid_argument,
                     "invalid number of clusters");
    EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(centres.empty());

    std::vector<std::vector<double>> clusters{{1}};
    centres = {3};
    EXPECT_THROW_MSG(tulo::k_means_vector(GetParam(), 0, clusters, centres), std::invalid_argument,
                     "invalid number of clusters");
    EXPECT_TRUE(clusters.empty());
    EXPECT_TRUE(centres.empty());
}

INSTANTIATE_TEST_SUITE_P(AnyValues, KMeansZeroClusters,
                         ::testing::Values(std::vector<double>{}, std::vector<double>{3, 1, 2}),
                         [](const auto& info) { return info.param.empty() ? "no_values" : "three_values"; });

// ---- against a literal reading -------------------------------------------------------------

// The algorithm as written: a std::set for the seeds, fresh vectors in every round. NaN stays out
// of the set, and NaN alone seeds one NaN centre, as the library documents.
unsigned long literal_k_means(const std::vector<double>& values, unsigned long k, Labels& labels,
                              std::vector<double>& centres)
{
    std::set<double> distinct_set;
    for (const double value : values)
        if (!std::isnan(value))
            distinct_set.insert(value);
    const std::vector<double> distinct(distinct_set.begin(), distinct_set.end());
    const std::size_t count = distinct.empty() ? 1 : std::min<std::size_t>(k, distinct.size());
    centres.clear();
    for (std::size_t j = 0; j < count; ++j)
        centres.push_back(distinct.empty() ? nan_value : distinct[j * (distinct.size() / count)]);
    Labels previous(values.size(), 0);
    unsigned long unchanged = 0;
    for (unsigned long round = 1;; ++round) {
        const std::vector<double> old = centres;
        labels.clear();
        for (const double x : values) {
            double nearest = DBL_MAX;
            unsigned long label = 0;
            for (std::size_t j = 0; j < count; ++j)
                if ((x - old[j]) * (x - old[j]) < nearest) {
                    nearest = (x - old[j]) * (x - old[j]);
                    label = j;
                }
            labels.push_back(label);
        }
        std::vector<double> sums(count, 0.0);
        std::vector<unsigned long> members(count, 0);
        for (std::size_t i = 0; i < values.size(); ++i) {
            sums[labels[i]] += values[i];
            ++members[labels[i]];
        }
        for (std::size_t j = 0; j < count; ++j)
            centres[j] = members[j] == 0 ? 0.0 : sums[j] / static_cast<double>(members[j]);
        const bool same = labels == previous;
        unchanged = same ? unchanged + 1 : 0;
        if (same && (unchanged > 3 || centres == old))
            return round;
        if (round == 99)
            return 100;
        previous = labels;
    }
}

struct RandomCase {
    unsigned seed;
    std::size_t size;
    unsigned long k;
    double spread;
};

void PrintTo(const RandomCase& c, std::ostream* out)
{
    *out << "seed" << c.seed << "_n" << c.size << "_k" << c.k << "_spread_" << tulo::testing::number_name(c.spread);
}

class KMeansLiteral : public ::testing::TestWithParam<RandomCase> {};

std::vector<double> random_values(const RandomCase& c)
{
    std::mt19937 generator(c.seed);
    std::uniform_int_distribution<int> group(0, 5);
    std::normal_distribution<double> noise(0.0, c.spread);
    std::vector<double> values(c.size);
    for (double& value : values)
        value = std::round((group(generator) * 10.0 + noise(generator)) * 4.0) / 4.0;
    return values;
}

// Equal bits in every centre, except that any NaN matches any NaN: which NaN an addition returns
// depends on the order in which the compiler puts its operands.
::testing::AssertionResult same_bits(const std::vector<double>& actual, const std::vector<double>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << actual.size() << " centres, expected " << expected.size();
    for (std::size_t j = 0; j < actual.size(); ++j)
        if (!(std::isnan(actual[j]) && std::isnan(expected[j])) &&
            std::memcmp(&actual[j], &expected[j], sizeof(double)) != 0)
            return ::testing::AssertionFailure() << "centre " << j << " is " << actual[j] << ", expected " << expected[j];
    return ::testing::AssertionSuccess();
}

void expect_literal_results(const std::vector<double>& values, const unsigned long k)
{
    Labels expected_labels;
    std::vector<double> expected_centres;
    const unsigned long expected_rounds = literal_k_means(values, k, expected_labels, expected_centres);

    Labels labels;
    std::vector<double> centres;
    EXPECT_EQ(tulo::k_means(values, k, labels, centres), expected_rounds);
    EXPECT_EQ(labels, expected_labels);
    EXPECT_TRUE(same_bits(centres, expected_centres));
}

TEST_P(KMeansLiteral, MatchesTheLiteralAlgorithmExactly)
{
    expect_literal_results(random_values(GetParam()), GetParam().k);
}

INSTANTIATE_TEST_SUITE_P(Random, KMeansLiteral,
                         ::testing::Values(RandomCase{1, 1, 3, 1.0}, RandomCase{2, 50, 2, 1.0},
                                           RandomCase{3, 500, 4, 2.0}, RandomCase{4, 2000, 6, 8.0},
                                           RandomCase{5, 3000, 12, 30.0}, RandomCase{6, 20, 40, 0.2},
                                           RandomCase{7, 5000, 25, 60.0}, RandomCase{5, 5000, 12, 200.0},
                                           RandomCase{2, 5000, 25, 200.0}, RandomCase{8, 4000, 8, 3.0},
                                           RandomCase{9, 1000, 3, 5.0}, RandomCase{10, 4000, 7, 0.7}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_F(KMeansTest, RunCutOffByTheLimitReportsOneHundred)
{
    // a slowly converging set, chosen so that the literal algorithm reaches its 99th round
    const std::vector<double> values = random_values({20, 5000, 6, 200.0});
    Labels expected_labels;
    std::vector<double> expected_centres;
    ASSERT_EQ(literal_k_means(values, 6, expected_labels, expected_centres), 100u);

    Labels labels;
    std::vector<double> centres;
    EXPECT_EQ(tulo::k_means(values, 6, labels, centres), 100u);
    EXPECT_EQ(labels, expected_labels);
    EXPECT_EQ(centres, expected_centres);
}

// ---- the shapes of data of the benchmark, at a size where many rounds run --------------------

enum class Shape { separated_normal, lognormal, uniform };

void PrintTo(const Shape shape, std::ostream* out)
{
    *out << (shape == Shape::separated_normal ? "separated_normal" : shape == Shape::lognormal ? "lognormal" : "uniform");
}

// k normal clusters of unit spread ten apart, lognormal(0, 1) or uniform on [0, 1).
std::vector<double> shaped_values(const Shape shape, const unsigned long k)
{
    std::mt19937_64 engine(7);
    std::uniform_int_distribution<unsigned long> cluster(0, k - 1);
    std::normal_distribution<double> unit_normal(0.0, 1.0);
    std::lognormal_distribution<double> lognormal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(10000);
    for (double& value : values)
        value = shape == Shape::separated_normal ? 10.0 * static_cast<double>(cluster(engine)) + unit_normal(engine)
              : shape == Shape::lognormal        ? lognormal(engine)
                                                 : uniform(engine);
    return values;
}

class KMeansShapes : public ::testing::TestWithParam<std::tuple<Shape, unsigned long>> {};

TEST_P(KMeansShapes, MatchesTheLiteralAlgorithmBitForBit)
{
    const auto [shape, k] = GetParam();
    expect_literal_results(shaped_values(shape, k), k);
}

INSTANTIATE_TEST_SUITE_P(ThreeShapes, KMeansShapes,
                         ::testing::Combine(::testing::Values(Shape::separated_normal, Shape::lognormal, Shape::uniform),
                                            ::testing::Values(2ul, 4ul, 8ul)),
                         [](const auto& info) {
                             return ::testing::PrintToString(std::get<0>(info.param)) + "_k" +
                                    std::to_string(std::get<1>(info.param));
                         });

struct SpecialCase {
    const char* name;
    std::vector<double> values;
    unsigned long k;
};

void PrintTo(const SpecialCase& special, std::ostream* out) { *out << special.name << ", k = " << special.k; }

class KMeansSpecial : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(KMeansSpecial, MatchesTheLiteralAlgorithmBitForBit)
{
    expect_literal_results(GetParam().values, GetParam().k);
}

// Uniform values with every `every`-th one replaced by `special`, scaled by `scale`.
std::vector<double> sprinkled(const std::size_t every, const double special, const double scale = 1.0)
{
    std::vector<double> values = shaped_values(Shape::uniform, 1);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = i % every == 0 ? special : values[i] * scale;
    return values;
}

// Clumps of 6 to 490 values in mixed order of size, each seven distinct values a unit in the last
// place apart, repeated: their sort keys share the leading bits in runs of many lengths, so an
// unsorted run would miscount the distinct values that the seeds are picked from.
std::vector<double> clumped()
{
    std::vector<double> values(10000);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int clump = static_cast<int>(std::sqrt(static_cast<double>(i % 1600))) * 17 % 40;
        values[i] = std::ldexp(1.0 + std::ldexp(static_cast<double>(i % 7), -52), clump);
    }
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, KMeansSpecial,
    ::testing::Values(SpecialCase{"nan", sprinkled(97, nan_value), 4},
                      SpecialCase{"infinity", sprinkled(301, infinity), 3},
                      SpecialCase{"minus_infinity", sprinkled(301, -infinity), 3},
                      SpecialCase{"duplicates", random_values({11, 3000, 5, 0.5}), 4},
                      SpecialCase{"clumps_of_nearly_equal_values", clumped(), 8},
                      // the far value's squared distances round equal, so it joins the lower centre
                      SpecialCase{"tie_far_beyond_the_centres", sprinkled(1000, 1e17), 2},
                      // squares near the top of the range, and beyond it
                      SpecialCase{"huge_values", sprinkled(7, 1e150, 1e149), 4},
                      SpecialCase{"overflowing_squares", sprinkled(7, 1e200, 1e199), 4},
                      // centre 1 is emptied in round 2 and becomes 0.0, below centre 0, for good
                      SpecialCase{"emptied_centre_then_descending",
                                  {4, 20, 1, 20, 20, 2, 17, 39, 36, 4, 20, 20, 20, 34, 20, 3}, 3}),
    tulo::testing::by_name);

// ---- values that are not numbers -----------------------------------------------------------

bool labels_index_centres(const Labels& labels, const std::vector<double>& centres)
{
    return std::all_of(labels.begin(), labels.end(), [&](unsigned long label) { return label < centres.size(); });
}

// Regression: NaN in a std::set breaks its ordering, and could seed a NaN centre or more
// centres than there are distinct numbers.
TEST_F(KMeansTest, NanTakesNoPartInSeedingAndJoinsCentreZero)
{
    Labels labels;
    std::vector<double> centres;
    // seeds 1 and 10; centre 0 turns NaN in round 1, after which every number goes to centre 1,
    // and the NaN centre never compares equal, so the fourth unchanged round (6) stops it
    EXPECT_EQ(tulo::k_means({nan_value, 1, 2, 10, 11}, 2, labels, centres), 6u);
    EXPECT_EQ(labels, (Labels{0, 1, 1, 1, 1}));
    ASSERT_EQ(centres.size(), 2u);
    EXPECT_TRUE(std::isnan(centres[0]));
    EXPECT_EQ(centres[1], 6.0);
}

TEST_F(KMeansTest, NanIsNotADistinctValue)
{
    Labels labels;
    std::vector<double> centres;
    EXPECT_EQ(tulo::k_means({5, nan_value, 5, nan_value}, 3, labels, centres), 4u);
    EXPECT_EQ(centres.size(), 1u);
    EXPECT_EQ(labels, (Labels{0, 0, 0, 0}));
}

TEST_F(KMeansTest, OnlyNanGivesOneNanCentre)
{
    std::vector<std::vector<double>> clusters;
    std::vector<double> centres;
    EXPECT_EQ(tulo::k_means_vector({nan_value, nan_value, nan_value}, 2, clusters, centres), 4u);
    ASSERT_EQ(centres.size(), 1u);
    EXPECT_TRUE(std::isnan(centres[0]));
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].size(), 3u);
}

TEST_F(KMeansTest, InfiniteValuesEndTheRun)
{
    Labels labels;
    std::vector<double> centres;
    // seeds 1 and 2; infinity's distances overflow, so it stays at centre 0, which it drags to infinity
    EXPECT_EQ(tulo::k_means({infinity, 1, 2}, 2, labels, centres), 3u);
    EXPECT_EQ(labels, (Labels{0, 1, 1}));
    EXPECT_EQ(centres, (std::vector<double>{infinity, 1.5}));

    // both at centre 0, whose mean is NaN; the empty centre 1 becomes 0
    EXPECT_EQ(tulo::k_means({infinity, -infinity}, 2, labels, centres), 4u);
    EXPECT_EQ(labels, (Labels{0, 0}));
    ASSERT_EQ(centres.size(), 2u);
    EXPECT_TRUE(std::isnan(centres[0]));
    EXPECT_EQ(centres[1], 0.0);
    EXPECT_TRUE(labels_index_centres(labels, centres));
}

} // namespace
