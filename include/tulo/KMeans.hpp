#pragma once

#include <tulo/Export.hpp>

#include <vector>

namespace tulo {

// One-dimensional k-means: Lloyd's iterations on the real line from a deterministic start. The
// results (every label, every centre to the bit, the count returned) are those of the literal
// loop below; the implementation only reaches them faster.
//
// - Seeds: the distinct numbers among the values, ascending, as a std::set<double> holds them
//   (-0.0 and 0.0 are one; NaN is left out), D of them. There are k' = min(k, D) centres, the
//   distinct numbers at positions 0, s, 2s, ... (k' - 1)s with s = D / k' (integer division).
//   Values that are all NaN seed one centre, NaN.
// - An iteration, numbered from 1: each value goes to the centre j of the smallest
//   (value - centre[j])^2, scanning j upwards from a running minimum of DBL_MAX and taking only a
//   strictly smaller square: ties go to the lower index, and a value whose every square is NaN or
//   infinite (NaN, an infinity, a huge value) goes to centre 0. Then each centre becomes the sum
//   of its values, added in input order to 0.0, divided by their number; a centre that no value
//   went to becomes 0.0, wherever it was (and may then lie below the centres before it).
// - Stop rule: an iteration whose labels equal the previous one's (all 0 before the first) is
//   unchanged. The run stops after the fourth unchanged iteration in a row, or after an unchanged
//   iteration that left every centre equal (==) to where it was; a NaN centre is never equal, so a
//   run with one ends by the count of unchanged iterations or by the cap. The result is the
//   iteration's number, with its labels and the centres it moved to.
// - Cap: at most 99 iterations; a run the cap cut off returns 100, not 99.
//
// Both functions are re-entrant and only read the values.

/** @brief One-dimensional Lloyd's k-means seeded deterministically from the sorted distinct values.
 *  @param values the values to cluster, NaN and infinities included; only read.
 *  @param k the number of clusters asked for; at most as many centres as distinct numbers result.
 *  @param labels replaced by the centre index of each value, in input order.
 *  @param centres replaced by the final centres.
 *  @return the number of iterations run (100 when the cap of 99 cut the run off); 0 for no
 *          values, with both outputs empty.
 *  @throws std::invalid_argument for k = 0 (outputs emptied). */
TULO_API unsigned long k_means(const std::vector<double>& values, unsigned long k,
                               std::vector<unsigned long>& labels, std::vector<double>& centres);

/** @brief k_means, then the values grouped by centre, each group in input order.
 *  @param clusters replaced by one vector of values per centre.
 *  @return what k_means returned.
 *  @throws std::invalid_argument for k = 0 (outputs emptied). */
TULO_API unsigned long k_means_vector(const std::vector<double>& values, unsigned long k,
                                      std::vector<std::vector<double>>& clusters, std::vector<double>& centres);

} // namespace tulo
