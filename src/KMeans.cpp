// One-dimensional k-means that gives, bit for bit, what the literal Lloyd loop of the header
// gives, at a fraction of its cost on large inputs. The literal loop compares every value with
// every centre in every round (iteration); here a round costs a few binary searches while the
// centres allow it.
//
// The whole, in the order a run goes through it:
// 1. The sort (KMeansSort): the numbers among the values, as 64-bit order keys, radix-sorted once
//    into the caller's label storage. The seeds are picked from them (seed_centres, here), and
//    they bound the ranges.
// 2. Range rounds (KMeansRanges): while the centres ascend with gaps wide enough for their
//    magnitude and every value is a finite number, each cluster is a range of the sorted values,
//    so a round's labels are the k - 1 positions where the ranges start, found by binary search.
//    Only the clusters whose range moved are summed again, over the values in input order or over
//    a window of them, copied out in input order, that narrows as the outer clusters settle. The
//    labels themselves are written once, at the end or when the general loop takes over.
// 3. The vector loops (KMeansVectors): the passes over all values, summing up to eight ranges at
//    once and turning the final range starts into labels, run on pairs of doubles, or quads where
//    the processor has AVX2.
// 4. The general loop (here): from the first round whose centres or values do not allow ranges
//    (centres close together, or out of order after an emptied centre became 0.0; a value or
//    centre NaN, infinite or huge), every value is compared with every centre, as the literal loop
//    does, to the end of the run.
//
// Why the result is exact:
// - Labels: a range's first position is searched with the literal comparison of two squared
//   distances, and the gap condition rules out that rounding lets a farther centre win; so the
//   ranges hold the values the literal loop gives each centre, ties to the lower index included.
// - Sums: each cluster is summed over its members in input order from +0.0, as the literal loop
//   adds them; a value outside the range adds +0.0, which changes no sum (a sum from +0.0 is never
//   -0.0). Counts are the lengths of the ranges. A cluster whose range did not move keeps its sum,
//   as its members and their order stay.
// - Seeds: distinct numbers are counted as a std::set<double> counts them (-0.0 equals 0.0, NaN
//   left out). The centres, the stop rule and the cap are one code path for both kinds of round.
#include <tulo/KMeans.hpp>

#include "KMeansRanges.hpp"
#include "KMeansSort.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tulo {
namespace {

using detail::from_order_key;
using detail::order_key;
using detail::SortKeys;
using Labels = std::vector<unsigned long>;

constexpr unsigned long last_round = 99;
constexpr unsigned long cut_off_result = 100;
constexpr unsigned long unchanged_rounds_to_stop = 3;

// Distinct as a std::set<double> tells them apart: only the keys of -0.0 and 0.0, which lie next
// to each other, differ for equal numbers.
std::size_t count_distinct(const SortKeys& sorted)
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
std::vector<std::size_t> positions_of_ranks(const SortKeys& sorted, const std::size_t distinct,
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
std::vector<double> seed_centres(const SortKeys& sorted, const unsigned long k)
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

// Nearest centre by squared distance; ties go to the lower index, and a NaN or overflowing
// distance never wins, leaving label 0. Written without branches: labels of mixed data are
// unpredictable.
unsigned long nearest_centre(const double value, const std::vector<double>& centres)
{
    double nearest = std::numeric_limits<double>::max();
    unsigned long label = 0;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const double distance = detail::squared_distance(value, centres[j]);
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

// Lloyd's iterations from the seeded `centres`: by ranges of the sorted values while the centres
// allow it, by the general loop from the first round that they do not. `sorted` holds the sorted
// keys and then, from the general loop on or at the end, the labels. Leaves the last labels and
// centres in place.
unsigned long iterate(const std::vector<double>& values, SortKeys& sorted, std::uint64_t* const spare,
                      std::vector<double>& centres)
{
    detail::RangeRounds ranges(values, sorted, spare, centres.size());
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
    SortKeys sorted;
    sorted.swap(labels);
    centres.clear();
    if (k == 0)
        throw std::invalid_argument("invalid number of clusters");
    if (values.empty())
        return 0;

    // uninitialised on purpose: every slot is written before it is read
    const std::unique_ptr<std::uint64_t[]> spare(new std::uint64_t[values.size()]);
    detail::sort_numbers(values, sorted, spare.get());
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
