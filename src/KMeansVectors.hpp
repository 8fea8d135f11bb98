#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tulo::detail {

// The loops of k-means that pass over every value, run on vectors of doubles: pairs on the
// baseline instruction set, quads where the processor has AVX2 (there wider vectors are split
// clumsily). Both give the same bits: each lane does what the scalar code would.
enum class Lanes { pairs, quads };

// Quads when the processor running this has AVX2, else pairs. Quads on another processor stop
// the program with an illegal instruction.
Lanes widest_lanes();

// The most ranges one call of sum_ranges sums.
constexpr std::size_t max_summed_ranges = 8;

// sums[r] = the values of [begin, end) lying in [lower[r], upper[r]), added in input order to
// +0.0, for every r < ranges (at most max_summed_ranges), in one pass: the sum of a cluster as the
// literal loop forms it. Values may be doubles or their bit patterns.
void sum_ranges(const double* begin, const double* end, std::size_t ranges, const double* lower,
                const double* upper, double* sums, Lanes lanes = widest_lanes());
void sum_ranges(const std::uint64_t* begin, const std::uint64_t* end, std::size_t ranges, const double* lower,
                const double* upper, double* sums, Lanes lanes = widest_lanes());

// labels[i] = how many of `limits` are at or below values[i], for i < count: with ascending
// limits, the index of the range between them that values[i] lies in (NaN lies in none: 0).
void count_limits_below(const double* values, std::size_t count, const std::vector<double>& limits,
                        unsigned long* labels, Lanes lanes = widest_lanes());

} // namespace tulo::detail
