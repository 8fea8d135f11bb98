// Range rounds: k-means rounds done by binary search over the sorted values instead of comparing
// every value with every centre. Between two neighbouring centres the literal rule gives a sorted
// value to the upper one from some position on and never back; under the conditions accepts
// checks no farther centre can win, so every cluster is a range, and its bounds are found with
// the literal comparison itself, not with a midpoint that could round differently.
#include "KMeansRanges.hpp"

#include "KMeansVectors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tulo::detail {
namespace {

// When every value and centre is at most `range_magnitude_limit` in magnitude and neighbouring
// centres lie at least `range_relative_gap` times that magnitude (and `range_absolute_gap`) apart,
// rounding can never make a farther centre tie with a nearer one: the error of the two roundings in
// a squared distance stays far below the difference the gap makes, squares neither overflow nor
// vanish, and so every cluster is a range of the sorted values. Tighter limits send more inputs to
// the general loop; looser ones would void that argument.
constexpr double range_magnitude_limit = 0x1p500;
constexpr double range_relative_gap = 0x1p-46;
constexpr double range_absolute_gap = 0x1p-530;

// A window is narrowed only to this fraction of its size or less: copying out its values costs
// about as much as a round's pass over it, which a narrower window has to save first.
constexpr std::size_t narrowing_factor = 2;

constexpr double infinity = std::numeric_limits<double>::infinity();

// The largest magnitude among `count` values whose numbers are `sorted`, or infinity when one is
// not a finite number (NaN is left out of the sorted keys).
double largest_magnitude(const SortKeys& sorted, const std::size_t count)
{
    if (sorted.size() < count)
        return infinity;
    const double smallest = from_order_key(sorted.front());
    const double largest = from_order_key(sorted.back());
    return std::isfinite(smallest) && std::isfinite(largest) ? std::max(-smallest, largest) : infinity;
}

} // namespace

RangeRounds::RangeRounds(const std::vector<double>& values, const SortKeys& sorted, std::uint64_t* const spare,
                         const std::size_t clusters)
    : values_(values), sorted_(sorted), window_(spare), magnitude_(largest_magnitude(sorted, values.size())),
      starts_(clusters + 1, values.size()), window_last_(clusters - 1)
{
    starts_.front() = 0;
}

bool RangeRounds::accepts(const std::vector<double>& centres) const
{
    double magnitude = magnitude_;
    for (const double centre : centres)
        magnitude = std::isfinite(centre) ? std::max(magnitude, std::abs(centre)) : infinity;
    if (!(magnitude <= range_magnitude_limit))
        return false;
    const double gap = std::max(range_relative_gap * magnitude, range_absolute_gap);
    for (std::size_t j = 1; j < centres.size(); ++j)
        if (!(centres[j] - centres[j - 1] >= gap))
            return false;
    return true;
}

bool RangeRounds::assign_and_sum(const std::vector<double>& centres, std::vector<double>& sums,
                                 std::vector<std::size_t>& counts)
{
    std::vector<std::size_t> starts(starts_.size(), values_.size());
    starts.front() = 0;
    for (std::size_t j = 1; j < centres.size(); ++j)
        starts[j] = first_nearer(centres[j - 1], centres[j]);
    const bool kept = starts == starts_;
    std::vector<std::size_t> moved; // the clusters whose members changed, ascending
    for (std::size_t j = 0; j < centres.size(); ++j)
        if (!summed_ || starts[j] != starts_[j] || starts[j + 1] != starts_[j + 1])
            moved.push_back(j);
    starts_.swap(starts);
    if (!moved.empty())
        sum_window(moved, sums);
    summed_ = true;
    for (std::size_t j = 0; j < counts.size(); ++j)
        counts[j] = starts_[j + 1] - starts_[j];
    return kept;
}

void RangeRounds::write_labels(std::vector<unsigned long>& labels) const
{
    std::vector<double> limits;
    for (std::size_t j = 1; summed_ && j + 1 < starts_.size(); ++j)
        limits.push_back(lower_limit(j));
    labels.resize(values_.size());
    count_limits_below(values_.data(), values_.size(), limits, labels.data());
}

std::size_t RangeRounds::window_size() const { return window_is_input_ ? values_.size() : window_size_; }

double RangeRounds::number_at(const std::size_t position) const { return from_order_key(sorted_[position]); }

// The first sorted position holding `number` or more, or more than `number` when `strictly`.
std::size_t RangeRounds::position_of(const double number, const bool strictly) const
{
    const auto found = std::partition_point(sorted_.begin(), sorted_.end(), [&](const std::uint64_t key) {
        const double value = from_order_key(key);
        return strictly ? value <= number : value < number;
    });
    return static_cast<std::size_t>(found - sorted_.begin());
}

// The first sorted position whose value the literal rule gives to `upper` rather than to
// `lower`. At or below `lower` none is, at or above `upper` every one is, and in between the
// distance to `lower` grows while the distance to `upper` shrinks, so the answer is monotone.
std::size_t RangeRounds::first_nearer(const double lower, const double upper) const
{
    const auto from = sorted_.begin() + static_cast<std::ptrdiff_t>(position_of(lower, true));
    const auto to = sorted_.begin() + static_cast<std::ptrdiff_t>(position_of(upper, false));
    const auto found = std::partition_point(from, to, [&](const std::uint64_t key) {
        const double value = from_order_key(key);
        return !(squared_distance(value, upper) < squared_distance(value, lower));
    });
    return static_cast<std::size_t>(found - sorted_.begin());
}

// The smallest value of cluster j, or a bound no value reaches when the cluster is empty.
double RangeRounds::lower_limit(const std::size_t j) const
{
    if (j == 0)
        return -infinity;
    return starts_[j] < sorted_.size() ? number_at(starts_[j]) : infinity;
}

// The bound no value of cluster j reaches.
double RangeRounds::upper_limit(const std::size_t j) const
{
    return j + 2 < starts_.size() ? lower_limit(j + 1) : infinity;
}

// Sums the `moved` clusters afresh: the others keep their sums, as their members stay.
void RangeRounds::sum_window(const std::vector<std::size_t>& moved, std::vector<double>& sums)
{
    const std::size_t first = moved.front();
    const std::size_t last = moved.back();
    if (first < window_first_ || last > window_last_) {
        window_first_ = 0;
        window_last_ = sums.size() - 1;
        window_is_input_ = true;
    } else if (starts_[last + 1] - starts_[first] <= window_size() / narrowing_factor) {
        narrow_window(first, last);
    }
    for (std::size_t from = 0; from < moved.size(); from += max_summed_ranges)
        sum_clusters(&moved[from], std::min(max_summed_ranges, moved.size() - from), sums);
}

// Keeps, in input order, only the values of clusters first..last; their set is the same in the
// previous round and this one, as the starts around them did not move.
void RangeRounds::narrow_window(const std::size_t first, const std::size_t last)
{
    const double low = lower_limit(first);
    const double high = upper_limit(last);
    const std::size_t kept = starts_[last + 1] - starts_[first];
    const std::size_t source_size = window_size();
    std::size_t size = 0;
    for (std::size_t i = 0; i < source_size && size < kept; ++i) {
        const double value = window_is_input_ ? values_[i] : as_double(window_[i]);
        window_[size] = bits_of(value);
        size += value >= low && value < high;
    }
    window_size_ = kept;
    window_first_ = first;
    window_last_ = last;
    window_is_input_ = false;
}

// Sums `count` clusters (at most max_summed_ranges) in one pass over the window.
void RangeRounds::sum_clusters(const std::size_t* const clusters, const std::size_t count,
                               std::vector<double>& sums) const
{
    double lower[max_summed_ranges];
    double upper[max_summed_ranges];
    double totals[max_summed_ranges];
    for (std::size_t r = 0; r < count; ++r) {
        lower[r] = lower_limit(clusters[r]);
        upper[r] = upper_limit(clusters[r]);
    }
    if (window_is_input_)
        sum_ranges(values_.data(), values_.data() + values_.size(), count, lower, upper, totals);
    else
        sum_ranges(window_, window_ + window_size_, count, lower, upper, totals);
    for (std::size_t r = 0; r < count; ++r)
        sums[clusters[r]] = totals[r];
}

} // namespace tulo::detail
