// The sort behind k-means' seeds and range rounds: the numbers among the values as order keys,
// ascending. A radix sort: a comparison sort would cost as much as many rounds of clustering a
// large input. Keys are ordered by their leading bits above the smallest key in a few radix passes;
// the keys that share those bits, mostly one or two, are then put in order by one insertion pass,
// after any long run of them has been sorted the same way on the bits that follow.
#include "KMeansSort.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

namespace tulo::detail {
namespace {

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
// second buffer. Each level of runs sorted again orders prefix_bits more, so there are at most two.
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

} // namespace

void sort_numbers(const std::vector<double>& values, SortKeys& keys, std::uint64_t* const spare)
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

} // namespace tulo::detail
