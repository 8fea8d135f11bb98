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

constexpr unsigned long last_round = 99;
constexpr unsigned long cut_off_result = 100;
constexpr unsigned long unchanged_rounds_to_stop = 3;

constexpr int digit_bits = 8;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;
constexpr int digit_passes = 64 / digit_bits;
constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

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
void radix_sort(std::vector<std::uint64_t>& keys)
{
    std::vector<std::size_t> counts(digit_values * digit_passes, 0);
    for (const std::uint64_t key : keys)
        for (int pass = 0; pass < digit_passes; ++pass)
            ++counts[pass * digit_values + digit(key, pass)];
    std::vector<std::uint64_t> sorted(keys.size());
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

// Ascending distinct numbers, as a std::set would hold them, found by sorting a copy. NaN is no
// number to seed from.
std::vector<double> distinct_numbers(const std::vector<double>& values)
{
    std::vector<std::uint64_t> keys;
    keys.reserve(values.size());
    for (const double value : values)
        if (!std::isnan(value))
            keys.push_back(order_key(value));
    if (keys.empty())
        return {};
    radix_sort(keys);
    std::vector<double> numbers;
    numbers.reserve(keys.size());
    for (const std::uint64_t key : keys) {
        const double value = from_order_key(key);
        if (numbers.empty() || numbers.back() != value)
            numbers.push_back(value);
    }
    return numbers;
}

// Evenly spaced picks from the distinct numbers. Input of NaN alone gets one NaN centre so that
// every label still names a centre.
std::vector<double> seed_centres(const std::vector<double>& values, const unsigned long k)
{
    const std::vector<double> distinct = distinct_numbers(values);
    if (distinct.empty())
        return {std::numeric_limits<double>::quiet_NaN()};
    const std::size_t count = std::min<std::size_t>(k, distinct.size());
    const std::size_t step = distinct.size() / count;
    std::vector<double> centres(count);
    for (std::size_t j = 0; j < count; ++j)
        centres[j] = distinct[j * step];
    return centres;
}

// Nearest centre by squared distance; ties go to the lower index, and a NaN or overflowing
// distance never wins, leaving label 0. Written without branches: labels of mixed data are
// unpredictable.
unsigned long nearest_centre(const double value, const std::vector<double>& centres)
{
    double nearest = std::numeric_limits<double>::max();
    unsigned long label = 0;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const double difference = value - centres[j];
        const double distance = difference * difference;
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

// Lloyd's iterations from the seeded `centres`; every buffer is sized before the loop so that an
// iteration allocates nothing. Leaves the last labels and centres in place.
unsigned long iterate(const std::vector<double>& values, Labels& labels, std::vector<double>& centres)
{
    Labels previous(values.size(), 0);
    std::vector<double> sums(centres.size());
    std::vector<std::size_t> counts(centres.size());
    unsigned long unchanged = 0;
    for (unsigned long round = 1;; ++round) {
        const bool labels_kept = !assign_and_sum(values, centres, previous, labels, sums, counts);
        const bool centres_kept = move_centres(sums, counts, centres);
        unchanged = labels_kept ? unchanged + 1 : 0;
        if (labels_kept && (unchanged > unchanged_rounds_to_stop || centres_kept))
            return round;
        if (round == last_round)
            return cut_off_result;
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

    std::vector<double> found = seed_centres(values, k);
    Labels assigned(values.size());
    const unsigned long rounds = iterate(values, assigned, found);
    labels = std::move(assigned);
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
