#include <tulo/KMeans.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tulo {
namespace {

using Labels = std::vector<unsigned long>;
using Keys = std::vector<std::uint64_t>;

constexpr unsigned long last_round = 99;
constexpr unsigned long cut_off_result = 100;
constexpr unsigned long unchanged_rounds_to_stop = 3;

constexpr int digit_bits = 8;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;
constexpr int digit_passes = 64 / digit_bits;
constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// When every value and centre is at most `range_magnitude_limit` in magnitude and neighbouring
// centres lie at least `range_relative_gap` times that magnitude (and `range_absolute_gap`) apart,
// rounding can never make a farther centre tie with a nearer one: the error of the two roundings in
// a squared distance stays far below the difference the gap makes, squares neither overflow nor
// vanish, and so every cluster is a range of the sorted values. Tighter limits send more inputs to
// the general loop; looser ones would void that argument.
constexpr double range_magnitude_limit = 0x1p500;
constexpr double range_relative_gap = 0x1p-46;
constexpr double range_absolute_gap = 0x1p-530;

// Values labelled at a time when the labels of ranges are written out: small enough to stay in
// the first-level cache while every boundary is compared against them.
constexpr std::size_t label_block = 512;

constexpr double infinity = std::numeric_limits<double>::infinity();

// An unsigned key whose order is the numeric order of non-NaN doubles (-0.0 just below 0.0).
std::uint64_t order_key(const double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

double from_order_key(const std::uint64_t key)
{
    const std::uint64_t bits = (key & sign_bit) != 0 ? key & ~sign_bit : ~key;
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::size_t digit(const std::uint64_t key, const int pass)
{
    return static_cast<std::size_t>(key >> (pass * digit_bits)) & (digit_values - 1);
}

// Least-significant-digit radix sort: a comparison sort would cost as much as many rounds of
// clustering a large input. Passes in which every key has the same digit are skipped.
void radix_sort(Keys& keys)
{
    std::vector<std::size_t> counts(digit_values * digit_passes, 0);
    for (const std::uint64_t key : keys)
        for (int pass = 0; pass < digit_passes; ++pass)
            ++counts[pass * digit_values + digit(key, pass)];
    Keys sorted(keys.size());
    for (int pass = 0; pass < digit_passes; ++pass) {
        std::size_t* const next = counts.data() + pass * digit_values;
        if (next[digit(keys.front(), pass)] == keys.size())
            continue;
        std::size_t offset = 0;
        for (std::size_t d = 0; d < digit_values; ++d)
            offset += std::exchange(next[d], offset);
        for (const std::uint64_t key : keys)
            sorted[next[digit(key, pass)]++] = key;
        keys.swap(sorted);
    }
}

// The numbers among the values, ascending, as order keys; NaN is no number to seed from or to
// bound a cluster with.
Keys sorted_number_keys(const std::vector<double>& values)
{
    Keys keys;
    keys.reserve(values.size());
    for (const double value : values)
        if (!std::isnan(value))
            keys.push_back(order_key(value));
    if (!keys.empty())
        radix_sort(keys);
    return keys;
}

// Distinct as a std::set<double> tells them apart: -0.0 and 0.0 are one number.
std::size_t count_distinct(const Keys& sorted)
{
    std::size_t distinct = 1;
    for (std::size_t p = 1; p < sorted.size(); ++p)
        distinct += from_order_key(sorted[p]) != from_order_key(sorted[p - 1]);
    return distinct;
}

// Evenly spaced picks from the ascending distinct numbers, the first of equal numbers standing for
// them. Input of NaN alone gets one NaN centre so that every label still names a centre.
std::vector<double> seed_centres(const Keys& sorted, const unsigned long k)
{
    if (sorted.empty())
        return {std::numeric_limits<double>::quiet_NaN()};
    const std::size_t distinct = count_distinct(sorted);
    const std::size_t count = std::min<std::size_t>(k, distinct);
    const std::size_t step = distinct / count;
    std::vector<double> centres;
    centres.reserve(count);
    std::size_t rank = 0;
    for (std::size_t p = 0; centres.size() < count; ++p) {
        const double number = from_order_key(sorted[p]);
        if (p > 0 && number == from_order_key(sorted[p - 1]))
            continue;
        if (rank % step == 0)
            centres.push_back(number);
        ++rank;
    }
    return centres;
}

// The largest magnitude among the values, or infinity when one is not a finite number.
double largest_magnitude(const std::vector<double>& values)
{
    double largest = 0.0;
    bool finite = true;
    for (const double value : values) {
        finite = finite && std::isfinite(value);
        largest = std::max(largest, std::abs(value));
    }
    return finite ? largest : infinity;
}

double squared_distance(const double value, const double centre)
{
    const double difference = value - centre;
    return difference * difference;
}

// Nearest centre by squared distance; ties go to the lower index, and a NaN or overflowing
// distance never wins, leaving label 0. Written without branches: labels of mixed data are
// unpredictable.
unsigned long nearest_centre(const double value, const std::vector<double>& centres)
{
    double nearest = std::numeric_limits<double>::max();
    unsigned long label = 0;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const double distance = squared_distance(value, centres[j]);
        const bool closer = distance < nearest;
        nearest = closer ? distance : nearest;
        label = closer ? j : label;
    }
    return label;
}

// Labels every value and sums each cluster in input order, in one pass over the data. Returns
// whether any label differs from `previous`.
bool assign_and_sum(const std::vector<double>& values, const std::vector<double>& centres, const Labels& previous,
                    Labels& labels, std::vector<double>& sums, std::vector<std::size_t>& counts)
{
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0);
    bool changed = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const unsigned long label = nearest_centre(values[i], centres);
        labels[i] = label;
        changed |= label != previous[i];
        sums[label] += values[i];
        ++counts[label];
    }
    return changed;
}

// Sums, in input order, the values lying in [lower[l], upper[l]) into sums[l] for each of the
// `lanes` clusters at once. Every value passes through every lane, a non-member adding +0.0,
// which leaves a sum unchanged: a sum that starts at +0.0 never becomes -0.0.
template <std::size_t lanes>
void sum_ranges(const std::vector<double>& values, const double* lower, const double* upper, double* sums)
{
    typedef double Doubles __attribute__((vector_size(lanes * sizeof(double))));
    static_assert(sizeof(Doubles) == lanes * sizeof(double), "a vector of doubles");
    Doubles low{};
    Doubles high{};
    Doubles total{};
    std::memcpy(&low, lower, sizeof low);
    std::memcpy(&high, upper, sizeof high);
    for (const double value : values) {
        const Doubles spread = Doubles{} + value;
        total += ((spread >= low) & (spread < high)) ? spread : Doubles{};
    }
    std::memcpy(sums, &total, sizeof total);
}

// Rounds in which the centres ascend far enough apart (see range_relative_gap) that each cluster
// is a range of the sorted values. A round's labels are then the k - 1 positions where those
// ranges start, found by binary search, and "labels unchanged" is a comparison of positions. Only
// the clusters next to a moved start are summed again, over the values of a window of clusters
// that narrows while the outer starts stay.
class RangeRounds {
public:
    RangeRounds(const std::vector<double>& values, const Keys& sorted, const std::size_t clusters)
        : values_(values), sorted_(sorted), magnitude_(largest_magnitude(values)), starts_(clusters + 1, values.size()),
          window_last_(clusters - 1)
    {
        starts_.front() = 0;
    }

    // Whether these centres and the values meet the conditions under which clusters are ranges.
    bool accepts(const std::vector<double>& centres) const
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

    // One round's assignment from the old `centres`; sums and counts of every cluster come out as
    // the general loop leaves them. Returns whether the labels are those of the previous round.
    bool assign_and_sum(const std::vector<double>& centres, std::vector<double>& sums,
                        std::vector<std::size_t>& counts)
    {
        std::vector<std::size_t> starts(starts_.size(), values_.size());
        starts.front() = 0;
        for (std::size_t j = 1; j < centres.size(); ++j)
            starts[j] = first_nearer(centres[j - 1], centres[j]);
        const bool kept = starts == starts_;
        std::size_t first = centres.size();
        std::size_t last = 0;
        for (std::size_t j = 1; j < centres.size(); ++j)
            if (!summed_ || starts[j] != starts_[j]) {
                first = std::min(first, j - 1);
                last = j;
            }
        starts_.swap(starts);
        if (!summed_ || !kept)
            sum_window(summed_ ? first : 0, summed_ ? last : centres.size() - 1, sums);
        summed_ = true;
        for (std::size_t j = 0; j < counts.size(); ++j)
            counts[j] = starts_[j + 1] - starts_[j];
        return kept;
    }

    // The labels of the last round, in input order; all 0 before the first.
    void write_labels(Labels& labels) const
    {
        labels.resize(values_.size());
        if (!summed_) {
            std::fill(labels.begin(), labels.end(), 0);
            return;
        }
        for (std::size_t begin = 0; begin < values_.size(); begin += label_block) {
            const std::size_t end = std::min(begin + label_block, values_.size());
            std::fill(labels.begin() + begin, labels.begin() + end, 0);
            for (std::size_t j = 1; j + 1 < starts_.size(); ++j) {
                const double start = lower_limit(j);
                for (std::size_t i = begin; i < end; ++i)
                    labels[i] += values_[i] >= start;
            }
        }
    }

private:
    double number_at(const std::size_t position) const { return from_order_key(sorted_[position]); }

    // The first sorted position holding `number` or more, or more than `number` when `strictly`.
    std::size_t position_of(const double number, const bool strictly) const
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
    std::size_t first_nearer(const double lower, const double upper) const
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
    double lower_limit(const std::size_t j) const
    {
        if (j == 0)
            return -infinity;
        return starts_[j] < sorted_.size() ? number_at(starts_[j]) : infinity;
    }

    // The bound no value of cluster j reaches.
    double upper_limit(const std::size_t j) const { return j + 2 < starts_.size() ? lower_limit(j + 1) : infinity; }

    // Sums clusters first..last afresh: the others keep their sums, as their members stay.
    void sum_window(const std::size_t first, const std::size_t last, std::vector<double>& sums)
    {
        if (first < window_first_ || last > window_last_) {
            window_first_ = 0;
            window_last_ = sums.size() - 1;
            window_is_input_ = true;
        } else if (first > window_first_ || last < window_last_) {
            narrow_window(first, last);
        }
        const std::vector<double>& window = window_is_input_ ? values_ : window_;
        for (std::size_t from = window_first_; from <= window_last_; from += max_lanes)
            sum_lanes(window, from, std::min(window_last_, from + max_lanes - 1), sums);
    }

    // Keeps, in input order, only the values of clusters first..last; their set is the same in the
    // previous round and this one, as the starts around them did not move.
    void narrow_window(const std::size_t first, const std::size_t last)
    {
        const double low = lower_limit(first);
        const double high = upper_limit(last);
        const std::size_t kept = starts_[last + 1] - starts_[first];
        if (window_is_input_)
            window_.resize(kept);
        const std::vector<double>& source = window_is_input_ ? values_ : window_;
        std::size_t size = 0;
        for (std::size_t i = 0; i < source.size() && size < kept; ++i) {
            const double value = source[i];
            window_[size] = value;
            size += value >= low && value < high;
        }
        window_.resize(kept);
        window_first_ = first;
        window_last_ = last;
        window_is_input_ = false;
    }

    static constexpr std::size_t max_lanes = 8;

    // Sums clusters first..last (at most max_lanes of them) in one pass over the window.
    void sum_lanes(const std::vector<double>& window, const std::size_t first, const std::size_t last,
                   std::vector<double>& sums) const
    {
        double lower[max_lanes];
        double upper[max_lanes];
        double totals[max_lanes];
        std::fill(lower, lower + max_lanes, infinity);
        std::fill(upper, upper + max_lanes, infinity);
        for (std::size_t j = first; j <= last; ++j) {
            lower[j - first] = lower_limit(j);
            upper[j - first] = upper_limit(j);
        }
        const std::size_t width = last - first + 1;
        if (width <= 2)
            sum_ranges<2>(window, lower, upper, totals);
        else if (width <= 4)
            sum_ranges<4>(window, lower, upper, totals);
        else
            sum_ranges<max_lanes>(window, lower, upper, totals);
        std::copy(totals, totals + width, sums.begin() + static_cast<std::ptrdiff_t>(first));
    }

    const std::vector<double>& values_;
    const Keys& sorted_;
    const double magnitude_;
    std::vector<std::size_t> starts_; // cluster j holds the sorted positions starts_[j] .. starts_[j + 1] - 1
    bool summed_ = false;
    std::size_t window_first_ = 0;
    std::size_t window_last_;
    bool window_is_input_ = true;
    std::vector<double> window_;
};

// Moves each centre to the mean of its cluster; a centre without values becomes 0.0. Returns
// whether every centre compares equal to where it was (a NaN centre never does).
bool move_centres(const std::vector<double>& sums, const std::vector<std::size_t>& counts,
                  std::vector<double>& centres)
{
    bool kept = true;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const double moved = counts[j] == 0 ? 0.0 : sums[j] / static_cast<double>(counts[j]);
        kept = kept && moved == centres[j];
        centres[j] = moved;
    }
    return kept;
}

// Lloyd's iterations from the seeded `centres`: by ranges of the sorted values while the centres
// allow it, by the general loop from the first round that they do not. Leaves the last labels and
// centres in place.
unsigned long iterate(const std::vector<double>& values, const Keys& sorted, Labels& labels,
                      std::vector<double>& centres)
{
    RangeRounds ranges(values, sorted, centres.size());
    bool by_ranges = true;
    Labels previous;
    std::vector<double> sums(centres.size());
    std::vector<std::size_t> counts(centres.size());
    unsigned long unchanged = 0;
    for (unsigned long round = 1;; ++round) {
        if (by_ranges && !ranges.accepts(centres)) {
            by_ranges = false;
            ranges.write_labels(previous);
            labels.resize(values.size());
        }
        const bool labels_kept = by_ranges ? ranges.assign_and_sum(centres, sums, counts)
                                           : !assign_and_sum(values, centres, previous, labels, sums, counts);
        const bool centres_kept = move_centres(sums, counts, centres);
        unchanged = labels_kept ? unchanged + 1 : 0;
        const bool stop = labels_kept && (unchanged > unchanged_rounds_to_stop || centres_kept);
        if (stop || round == last_round) {
            if (by_ranges)
                ranges.write_labels(labels);
            return stop ? round : cut_off_result;
        }
        if (!by_ranges)
            std::swap(labels, previous);
    }
}

} // namespace

unsigned long k_means(const std::vector<double>& values, const unsigned long k, Labels& labels,
                      std::vector<double>& centres)
{
    labels.clear();
    centres.clear();
    if (k == 0)
        throw std::invalid_argument("invalid number of clusters");
    if (values.empty())
        return 0;

    const Keys sorted = sorted_number_keys(values);
    std::vector<double> found = seed_centres(sorted, k);
    Labels assigned;
    assigned.swap(labels); // the caller's storage, reused
    const unsigned long rounds = iterate(values, sorted, assigned, found);
    labels.swap(assigned);
    centres = std::move(found);
    return rounds;
}

unsigned long k_means_vector(const std::vector<double>& values, const unsigned long k,
                             std::vector<std::vector<double>>& clusters, std::vector<double>& centres)
{
    clusters.clear();
    centres.clear();
    Labels labels;
    std::vector<double> found;
    const unsigned long rounds = tulo::k_means(values, k, labels, found);
    std::vector<std::vector<double>> grouped(found.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        grouped.at(labels.at(i)).push_back(values[i]);
    clusters = std::move(grouped);
    centres = std::move(found);
    return rounds;
}

} // namespace tulo
