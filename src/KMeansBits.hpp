#pragma once

#include <cstdint>
#include <cstring>

namespace tulo::detail {

// Doubles and their 64-bit patterns. The k-means pieces keep values as bit patterns in a buffer of
// std::uint64_t (the sort's spare keys, reused for a window of values); the loops over values read
// both kinds through as_double.

inline double as_double(const double value) { return value; }

inline double as_double(const std::uint64_t bits)
{
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::uint64_t bits_of(const double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

} // namespace tulo::detail
