#pragma once

#include <tulo/Export.hpp>

#include <string>
#include <vector>

namespace tulo {

/** @brief Sorts values and cuts them into intervals where the relative gap between neighbours
 *         reaches `multiplier` times the average relative gap.
 *  @param values any numbers; sorted in place (NaN after every number).
 *  @param multiplier positive factor applied to the average relative gap.
 *  @return ascending, non-overlapping, non-empty intervals; empty for empty input.
 *  @throws std::invalid_argument for a multiplier of 0 or less (values untouched). */
TULO_API std::vector<std::vector<double>> intervals(std::vector<double>& values, double multiplier);

/** @brief intervals(values, multiplier) on a copy, for const values or a temporary list. */
inline std::vector<std::vector<double>> intervals(const std::vector<double>& values, double multiplier)
{
    std::vector<double> sorted = values;
    return intervals(sorted, multiplier);
}

/** @brief Average of the first interval holding the most values.
 *  @return 0.0 for an empty list. */
TULO_API double best_value_from_intervals(const std::vector<std::vector<double>>& intervals);

/** @brief Averages, in list order, of every interval holding at least `fraction` times as many
 *         values as the largest one.
 *  @return an empty vector for an empty list. */
TULO_API std::vector<double> popular_values_from_intervals(const std::vector<std::vector<double>>& intervals,
                                                           double fraction);

/** @brief Multi-line description of an interval list: a count header, then one line per interval
 *         with its count, average, midrange, median and values (equal runs as "v [xK]"). */
TULO_API std::string to_string(const std::vector<std::vector<double>>& intervals);

} // namespace tulo
