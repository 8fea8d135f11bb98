#pragma once

#include <tulo/Export.hpp>

#include <vector>

namespace tulo {

/** @brief One-dimensional Lloyd's k-means seeded deterministically from the sorted distinct values.
 *  @param values the values to cluster; only read.
 *  @param k the number of clusters asked for; at most as many centres as distinct values result.
 *  @param labels replaced by the centre index of each value, in input order.
 *  @param centres replaced by the final centres.
 *  @return the number of iterations run (100 when the iteration limit cut the run off).
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
