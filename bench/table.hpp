#pragma once

// What the accuracy tables share: the median of a column and the wall-clock time of a call.

#include <algorithm>
#include <chrono>
#include <vector>

namespace tulo_bench {

/** The middle value (the mean of the middle two for an even count); 0 for none. */
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

/** Milliseconds that one call of `call` took. */
template <typename Call>
double milliseconds_of(Call&& call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

/** The fastest of `runs` calls, in milliseconds: the least disturbed by other work. */
template <typename Call>
double fastest_milliseconds(int runs, Call&& call)
{
    double best = 1e300;
    for (int run = 0; run < runs; ++run)
        best = std::min(best, milliseconds_of(call));
    return best;
}

} // namespace tulo_bench
