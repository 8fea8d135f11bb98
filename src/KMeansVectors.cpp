// The vector loops of k-means and the choice of their width at run time. GCC's vector extensions
// keep each loop one template: the same code compiled for pairs (SSE2) and, in functions built for
// AVX2, for quads; the processor decides once which runs.
#include "KMeansVectors.hpp"

#include "KMeansBits.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tulo::detail {
namespace {

using DoublePair = double __attribute__((vector_size(2 * sizeof(double))));
using DoubleQuad = double __attribute__((vector_size(4 * sizeof(double))));

constexpr double infinity = std::numeric_limits<double>::infinity();

// Sums as many ranges at once as `vectors` hold lanes. Every value passes through every lane, a
// non-member adding +0.0, which leaves a sum unchanged: a sum that starts at +0.0 never becomes
// -0.0. (number - +0.0 is number in every lane, -0.0 included.)
template <typename Vector, std::size_t vectors, typename Value>
[[gnu::always_inline]] inline void sum_in_vectors(const Value* const begin, const Value* const end,
                                                  const double* const lower, const double* const upper,
                                                  double* const sums)
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
[[gnu::target("avx2")]] void sum_in_quads(const Value* const begin, const Value* const end,
                                          const double* const lower, const double* const upper, double* const sums)
{
    sum_in_vectors<DoubleQuad, quads>(begin, end, lower, upper, sums);
}

// Sums `ranges` ranges in the fewest vectors of the given lanes that hold them; `lower` and `upper`
// hold max_summed_ranges bounds, the lanes beyond `ranges` the empty range [infinity, infinity).
template <typename Value>
void sum_padded_ranges(const Value* const begin, const Value* const end, const std::size_t ranges,
                       const double* const lower, const double* const upper, double* const totals, const Lanes lanes)
{
    if (lanes == Lanes::quads)
        return ranges <= 4 ? sum_in_quads<1>(begin, end, lower, upper, totals)
                           : sum_in_quads<max_summed_ranges / 4>(begin, end, lower, upper, totals);
    switch ((ranges + 1) / 2) {
    case 1:
        return sum_in_vectors<DoublePair, 1>(begin, end, lower, upper, totals);
    case 2:
        return sum_in_vectors<DoublePair, 2>(begin, end, lower, upper, totals);
    case 3:
        return sum_in_vectors<DoublePair, 3>(begin, end, lower, upper, totals);
    default:
        return sum_in_vectors<DoublePair, max_summed_ranges / 2>(begin, end, lower, upper, totals);
    }
}

template <typename Value>
void sum_any_ranges(const Value* const begin, const Value* const end, const std::size_t ranges,
                    const double* const lower, const double* const upper, double* const sums, const Lanes lanes)
{
    double low[max_summed_ranges];
    double high[max_summed_ranges];
    double totals[max_summed_ranges];
    std::fill(std::copy(lower, lower + ranges, low), low + max_summed_ranges, infinity);
    std::fill(std::copy(upper, upper + ranges, high), high + max_summed_ranges, infinity);
    sum_padded_ranges(begin, end, ranges, low, high, totals, lanes);
    std::copy(totals, totals + ranges, sums);
}

template <typename Vector>
[[gnu::always_inline]] inline void count_in_vectors(const double* const values, const std::size_t count,
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

[[gnu::target("avx2")]] void count_in_quads(const double* const values, const std::size_t count,
                                            const std::vector<double>& limits, unsigned long* const labels)
{
    count_in_vectors<DoubleQuad>(values, count, limits, labels);
}

} // namespace

Lanes widest_lanes()
{
    static const Lanes widest = __builtin_cpu_supports("avx2") ? Lanes::quads : Lanes::pairs;
    return widest;
}

void sum_ranges(const double* const begin, const double* const end, const std::size_t ranges,
                const double* const lower, const double* const upper, double* const sums, const Lanes lanes)
{
    sum_any_ranges(begin, end, ranges, lower, upper, sums, lanes);
}

void sum_ranges(const std::uint64_t* const begin, const std::uint64_t* const end, const std::size_t ranges,
                const double* const lower, const double* const upper, double* const sums, const Lanes lanes)
{
    sum_any_ranges(begin, end, ranges, lower, upper, sums, lanes);
}

void count_limits_below(const double* const values, const std::size_t count, const std::vector<double>& limits,
                        unsigned long* const labels, const Lanes lanes)
{
    if (lanes == Lanes::quads)
        count_in_quads(values, count, limits, labels);
    else
        count_in_vectors<DoublePair>(values, count, limits, labels);
}

} // namespace tulo::detail
