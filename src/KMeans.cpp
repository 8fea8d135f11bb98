#include <tulo/KMeans.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tulo {
namespace {

using Labels = std::vector<unsigned long>;
// The sorted order keys live in the caller's label vector until the labels replace them: a large
// input then needs only one buffer of its own.
using Keys = Labels;
static_assert(std::numeric_limits<unsigned long>::digits == 64, "keys and labels share storage");

constexpr unsigned long last_round = 99;
constexpr unsigned long cut_off_result = 100;
constexpr unsigned long unchanged_rounds_to_stop = 3;

// Keys are sorted by their leading prefix_bits above the smallest key, in radix passes of
// digit_bits, and then each run of keys sharing that prefix, mostly one or two keys long, on its
// own. Wider digits made the sort slower (11 bits by a fifth), presumably as a pass then writes to
// more pages than the address translation caches hold; fewer prefix bits leave longer runs.
constexpr int digit_bits = 9;
constexpr int prefix_digits = 4;
constexpr int prefix_bits = digit_bits * prefix_digits;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;
// Longer runs are sorted by a prefix again, of the bits the first one left; shorter ones by
// comparison.
constexpr std::size_t longest_compared_run = 64;

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

// A window is narrowed only to this fraction of its size or less: copying out its values costs
// about as much as a round's pass over it, which a narrower window has to save first.
constexpr std::size_t narrowing_factor = 2;

constexpr double infinity = std::numeric_limits<double>::infinity();

// Input values and the bit patterns a window keeps of them, read alike.
double as_double(const double value) { return value; }

double as_double(const std::uint64_t bits)
{
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint64_t bits_of(const double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// An unsigned key whose order is the numeric order of non-NaN doubles (-0.0 just below 0.0).
std::uint64_t order_key(const double value)
{
    const std::uint64_t bits = bits_of(value);
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

double from_order_key(const std::uint64_t key)
{
    return as_double((key & sign_bit) != 0 ? key & ~sign_bit : ~key);
}

int significant_bits(std::uint64_t number)
{
    int bits = 0;
    for (; number != 0; number >>= 1)
        ++bits;
    return bits;
}

// The leading bits of a key above the smallest one.
struct Prefix {
    std::uint64_t lowest;
    int shift;

    std::uint64_t operator()(const std::uint64_t key) const { return (key - lowest) >> shift; }
    std::size_t digit(const std::uint64_t key, const int pass) const
    {
        return static_cast<std::size_t>((*this)(key) >> (pass * digit_bits)) & (digit_values - 1);
    }
};

// Least-significant-digit radix sort by the prefix; passes in which every key has the same digit
// are skipped.
void sort_by_prefix(std::uint64_t* const keys, std::uint64_t* const spare, const std::size_t count,
                    const Prefix& prefix)
{
    std::vector<std::size_t> counts(digit_values * prefix_digits, 0);
    for (std::size_t i = 0; i < count; ++i)
        for (int pass = 0; pass < prefix_digits; ++pass)
            ++counts[pass * digit_values + prefix.digit(keys[i], pass)];
    std::uint64_t* from = keys;
    std::uint64_t* to = spare;
    for (int pass = 0; pass < prefix_digits; ++pass) {
        std::size_t* const next = counts.data() + pass * digit_values;
        if (next[prefix.digit(from[0], pass)] == count)
            continue;
        std::size_t offset = 0;
        for (std::size_t d = 0; d < digit_values; ++d)
            offset += std::exchange(next[d], offset);
        for (std::size_t i = 0; i < count; ++i)
            to[next[prefix.digit(from[i], pass)]++] = from[i];
        std::swap(from, to);
    }
    std::copy(from, from + count, keys);
}

void sort_keys(std::uint64_t* keys, std::uint64_t* spare, std::size_t count, std::uint64_t lowest,
               std::uint64_t highest);

// Sorts keys[begin, end) by insertion, at a comparison per key where they are nearly in order: a
// key in place is not stored again, which would make the next comparison wait for the store.
void insertion_sort(std::uint64_t* const begin, std::uint64_t* const end)
{
    for (std::uint64_t* next = begin + 1; next < end; ++next) {
        const std::uint64_t key = *next;
        if (next[-1] <= key)
            continue;
        std::uint64_t* hole = next;
        do {
            *hole = hole[-1];
            --hole;
        } while (hole != begin && hole[-1] > key);
        *hole = key;
    }
}

// Sorts each run of keys that share a prefix. Nearly all are sorted already or a swap away, so
// one insertion pass over all keys finishes them, at a comparison per key. Runs long enough to make
// that slow are radix-sorted first; every run of twice the sampling stride or more holds two
// sampled positions, so insertion never moves a key farther than that.
void sort_runs(std::uint64_t* const keys, std::uint64_t* const spare, const std::size_t count, const Prefix& prefix)
{
    constexpr std::size_t stride = longest_compared_run / 2;
    for (std::size_t sample = stride; sample < count; sample += stride) {
        const std::uint64_t shared = prefix(keys[sample]);
        if (prefix(keys[sample - stride]) != shared)
            continue;
        std::size_t begin = sample - stride;
        while (begin > 0 && prefix(keys[begin - 1]) == shared)
            --begin;
        std::size_t end = sample + 1;
        while (end < count && prefix(keys[end]) == shared)
            ++end;
        const std::uint64_t run_lowest = prefix.lowest + (shared << prefix.shift);
        const std::uint64_t run_highest = run_lowest + ((std::uint64_t{1} << prefix.shift) - 1);
        sort_keys(keys + begin, spare + begin, end - begin, run_lowest, run_highest);
        sample = end - 1;
    }
    insertion_sort(keys, keys + count);
}

// Sorts keys[0, count), all within [lowest, highest], ascending with spare[0, count) as the
// second buffer. A radix sort: a comparison sort would cost as much as many rounds of clustering a
// large input. Each level of runs sorted again orders prefix_bits more, so there are at most two.
void sort_keys(std::uint64_t* const keys, std::uint64_t* const spare, const std::size_t count,
               const std::uint64_t lowest, const std::uint64_t highest)
{
    const int spread_bits = significant_bits(highest - lowest);
    if (spread_bits == 0)
        return;
    const Prefix prefix{lowest, std::max(0, spread_bits - prefix_bits)};
    sort_by_prefix(keys, spare, count, prefix);
    if (prefix.shift > 0)
        sort_runs(keys, spare, count, prefix);
}

// Replaces `keys` by the numbers among the values, ascending, as order keys; NaN is no number to
// seed from or to bound a cluster with. `spare` holds room for as many keys as values.
void sort_numbers(const std::vector<double>& values, Keys& keys, std::uint64_t* const spare)
{
    keys.resize(values.size());
    std::size_t count = 0;
    std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t highest = 0;
    for (const double value : values) {
        const std::uint64_t key = order_key(value);
        const bool number = !std::isnan(value);
        keys[count] = key;
        count += number;
        lowest = number ? std::min(lowest, key) : lowest;
        highest = number ? std::max(highest, key) : highest;
    }
    keys.resize(count);
    if (count > 0)
        sort_keys(keys.data(), spare, count, lowest, highest);
}

// Distinct as a std::set<double> tells them apart: only the keys of -0.0 and 0.0, which lie next
// to each other, differ for equal numbers.
std::size_t count_distinct(const Keys& sorted)
{
    std::size_t distinct = 1;
    for (std::size_t p = 1; p < sorted.size(); ++p)
        distinct += sorted[p] != sorted[p - 1];
    const auto zero = std::lower_bound(sorted.begin(), sorted.end(), order_key(0.0));
    const bool both_zeros = zero != sorted.begin() && zero != sorted.end() && *zero == order_key(0.0) &&
                            zero[-1] == order_key(-0.0);
    return distinct - both_zeros;
}

// The sorted position of each distinct number of the given ascending ranks, the first of equal
// numbers standing for them.
std::vector<std::size_t> positions_of_ranks(const Keys& sorted, const std::size_t distinct,
                                            const std::vector<std::size_t>& ranks)
{
    if (distinct == sorted.size())
        return ranks;
    std::vector<std::size_t> positions;
    positions.reserve(ranks.size());
    std::size_t rank = 0;
    for (std::size_t p = 0; positions.size() < ranks.size(); ++p) {
        if (p > 0 && from_order_key(sorted[p]) == from_order_key(sorted[p - 1]))
            continue;
        if (rank == ranks[positions.size()])
            positions.push_back(p);
        ++rank;
    }
    return positions;
}

// Evenly spaced picks from the ascending distinct numbers. Input of NaN alone gets one NaN centre
// so that every label still names a centre.
std::vector<double> seed_centres(const Keys& sorted, const unsigned long k)
{
    if (sorted.empty())
        return {std::numeric_limits<double>::quiet_NaN()};
    const std::size_t distinct = count_distinct(sorted);
    const std::size_t count = std::min<std::size_t>(k, distinct);
    std::vector<std::size_t> ranks(count);
    for (std::size_t j = 0; j < count; ++j)
        ranks[j] = j * (distinct / count);
    std::vector<double> centres;
    centres.reserve(count);
    for (const std::size_t position : positions_of_ranks(sorted, distinct, ranks))
        centres.push_back(from_order_key(sorted[position]));
    return centres;
}

// The largest magnitude among `count` values whose numbers are `sorted`, or infinity when one is
// not a finite number (NaN is left out of the sorted keys).
double largest_magnitude(const Keys& sorted, const std::size_t count)
{
    if (sorted.size() < count)
        return infinity;
    const double smallest = from_order_key(sorted.front());
    const double largest = from_order_key(sorted.back());
    return std::isfinite(smallest) && std::isfinite(largest) ? std::max(-smallest, largest) : infinity;
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

// The per-value loops run on vectors of doubles: pairs on the baseline instruction set, quads where
// the processor has AVX2 (there wider vectors are split clumsily). Both give the same bits: each
// lane does what the scalar code would.
using DoublePair = double __attribute__((vector_size(2 * sizeof(double))));
using DoubleQuad = double __attribute__((vector_size(4 * sizeof(double))));

bool has_avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// Sums, in input order, the values lying in [lower[l], upper[l]) into sums[l] for as many clusters
// at once as `vectors` hold lanes. Every value passes through every lane, a non-member adding +0.0,
// which leaves a sum unchanged: a sum that starts at +0.0 never becomes -0.0. (number - +0.0 is
// number in every lane, -0.0 included.)
template <typename Vector, std::size_t vectors, typename Value>
[[gnu::always_inline]] inline void sum_ranges(const Value* begin, const Value* end, const double* lower,
                                              const double* upper, double* sums)
{
    Vector low[vectors];
    Vector high[vectors];
    Vector total[vectors] = {};
    std::memcpy(low, lower, sizeof low);
    std::memcpy(high, upper, sizeof high);
    for (const Value* value = begin; value != end; ++value) {
        const double number = as_double(*value);
        for (std::size_t v = 0; v < vectors; ++v)
            total[v] += ((number >= low[v]) & (number < high[v])) ? number - Vector{} : Vector{};
    }
    std::memcpy(sums, total, sizeof total);
}

template <std::size_t quads, typename Value>
[[gnu::target("avx2")]] void sum_ranges_in_quads(const Value* begin, const Value* end, const double* lower,
                                                 const double* upper, double* sums)
{
    sum_ranges<DoubleQuad, quads>(begin, end, lower, upper, sums);
}

// labels[i] = the number of the ascending `limits` at or below values[i], as many values at a time
// as a Vector holds.
template <typename Vector>
[[gnu::always_inline]] inline void count_limits_below(const double* const values, const std::size_t count,
                                                      const std::vector<double>& limits, unsigned long* const labels)
{
    using Counts = decltype(Vector{} >= Vector{});
    static_assert(sizeof(Counts) == sizeof(Vector) && sizeof(labels[0]) == sizeof(Counts{}[0]), "lanes align");
    std::size_t i = 0;
    for (; i + sizeof(Vector) / sizeof(double) <= count; i += sizeof(Vector) / sizeof(double)) {
        Vector value;
        std::memcpy(&value, values + i, sizeof value);
        Counts below = {};
        for (const double limit : limits)
            below -= value >= limit;
        std::memcpy(labels + i, &below, sizeof below);
    }
    for (; i < count; ++i) {
        unsigned long below = 0;
        for (const double limit : limits)
            below += values[i] >= limit;
        labels[i] = below;
    }
}

[[gnu::target("avx2")]] void count_limits_below_in_quads(const double* const values, const std::size_t count,
                                                         const std::vector<double>& limits,
                                                         unsigned long* const labels)
{
    count_limits_below<DoubleQuad>(values, count, limits, labels);
}

void label_by_limits(const std::vector<double>& values, const std::vector<double>& limits, Labels& labels)
{
    labels.resize(values.size());
    if (has_avx2())
        count_limits_below_in_quads(values.data(), values.size(), limits, labels.data());
    else
        count_limits_below<DoublePair>(values.data(), values.size(), limits, labels.data());
}

// Rounds in which the centres ascend far enough apart (see range_relative_gap) that each cluster
// is a range of the sorted values. A round's labels are then the k - 1 positions where those
// ranges start, found by binary search, and "labels unchanged" is a comparison of positions. Only
// the clusters next to a moved start are summed again, over the values of a window of clusters
// that narrows while the outer starts stay; the window is kept, as bit patterns, in `spare`, which
// holds room for as many as there are values.
class RangeRounds {
public:
    RangeRounds(const std::vector<double>& values, const Keys& sorted, std::uint64_t* const spare,
                const std::size_t clusters)
        : values_(values), sorted_(sorted), window_(spare), magnitude_(largest_magnitude(sorted, values.size())),
          starts_(clusters + 1, values.size()), window_last_(clusters - 1)
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

    // Replaces `labels` by those of the last round, in input order (all 0 before the first); it
    // may be the storage of the sorted keys, which are not needed afterwards.
    void write_labels(Labels& labels) const
    {
        std::vector<double> limits;
        for (std::size_t j = 1; summed_ && j + 1 < starts_.size(); ++j)
            limits.push_back(lower_limit(j));
        label_by_limits(values_, limits, labels);
    }

private:
    static constexpr std::size_t max_lanes = 8;

    std::size_t window_size() const { return window_is_input_ ? values_.size() : window_size_; }

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

    // Sums the `moved` clusters afresh: the others keep their sums, as their members stay.
    void sum_window(const std::vector<std::size_t>& moved, std::vector<double>& sums)
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
        for (std::size_t from = 0; from < moved.size(); from += max_lanes)
            sum_lanes(&moved[from], std::min(max_lanes, moved.size() - from), sums);
    }

    // Keeps, in input order, only the values of clusters first..last; their set is the same in the
    // previous round and this one, as the starts around them did not move.
    void narrow_window(const std::size_t first, const std::size_t last)
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

    // Sums `width` clusters (at most max_lanes) in one pass over the window.
    void sum_lanes(const std::size_t* const clusters, const std::size_t width, std::vector<double>& sums) const
    {
        double lower[max_lanes];
        double upper[max_lanes];
        double totals[max_lanes];
        std::fill(lower, lower + max_lanes, infinity);
        std::fill(upper, upper + max_lanes, infinity);
        for (std::size_t lane = 0; lane < width; ++lane) {
            lower[lane] = lower_limit(clusters[lane]);
            upper[lane] = upper_limit(clusters[lane]);
        }
        if (window_is_input_)
            sum_lanes_of(values_.data(), values_.data() + values_.size(), width, lower, upper, totals);
        else
            sum_lanes_of(window_, window_ + window_size_, width, lower, upper, totals);
        for (std::size_t lane = 0; lane < width; ++lane)
            sums[clusters[lane]] = totals[lane];
    }

    template <typename Value>
    static void sum_lanes_of(const Value* begin, const Value* end, const std::size_t width, const double* lower,
                             const double* upper, double* totals)
    {
        if (has_avx2())
            return width <= 4 ? sum_ranges_in_quads<1>(begin, end, lower, upper, totals)
                              : sum_ranges_in_quads<max_lanes / 4>(begin, end, lower, upper, totals);
        switch ((width + 1) / 2) {
        case 1:
            return sum_ranges<DoublePair, 1>(begin, end, lower, upper, totals);
        case 2:
            return sum_ranges<DoublePair, 2>(begin, end, lower, upper, totals);
        case 3:
            return sum_ranges<DoublePair, 3>(begin, end, lower, upper, totals);
        default:
            return sum_ranges<DoublePair, max_lanes / 2>(begin, end, lower, upper, totals);
        }
    }

    const std::vector<double>& values_;
    const Keys& sorted_;
    std::uint64_t* const window_;
    const double magnitude_;
    std::vector<std::size_t> starts_; // cluster j holds the sorted positions starts_[j] .. starts_[j + 1] - 1
    bool summed_ = false;
    std::size_t window_first_ = 0;
    std::size_t window_last_;
    bool window_is_input_ = true;
    std::size_t window_size_ = 0;
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
// allow it, by the general loop from the first round that they do not. `sorted` holds the sorted
// keys and then, from the general loop on or at the end, the labels. Leaves the last labels and
// centres in place.
unsigned long iterate(const std::vector<double>& values, Keys& sorted, std::uint64_t* const spare,
                      std::vector<double>& centres)
{
    RangeRounds ranges(values, sorted, spare, centres.size());
    bool by_ranges = true;
    Labels& labels = sorted;
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
    // The caller's label storage serves the run and comes back with the labels; taking it whole
    // empties the caller's vector and spares writing it full of zeros when it had the size already.
    Keys sorted;
    sorted.swap(labels);
    centres.clear();
    if (k == 0)
        throw std::invalid_argument("invalid number of clusters");
    if (values.empty())
        return 0;

    // uninitialised on purpose: every slot is written before it is read
    const std::unique_ptr<std::uint64_t[]> spare(new std::uint64_t[values.size()]);
    sort_numbers(values, sorted, spare.get());
    std::vector<double> found = seed_centres(sorted, k);
    const unsigned long rounds = iterate(values, sorted, spare.get(), found);
    labels.swap(sorted);
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
