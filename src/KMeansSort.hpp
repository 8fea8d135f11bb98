#pragma once

#include "KMeansBits.hpp"

#include <cstdint>
#include <type_traits>
#include <vector>

namespace tulo::detail {

// The sorted order keys live in the caller's label vector until the labels replace them (a large
// input then needs only one buffer of its own), so keys and labels are one type.
using SortKeys = std::vector<std::uint64_t>;
static_assert(std::is_same_v<SortKeys, std::vector<unsigned long>>, "keys and labels share storage");

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// An unsigned key whose order is the numeric order of non-NaN doubles (-0.0 just below 0.0).
inline std::uint64_t order_key(const double value)
{
    const std::uint64_t bits = bits_of(value);
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

inline double from_order_key(const std::uint64_t key)
{
    return as_double((key & sign_bit) != 0 ? key & ~sign_bit : ~key);
}

// Replaces `keys` by the order keys of the numbers among `values`, ascending; NaN is no number to
// seed from or to bound a cluster with, and is left out. `spare` holds room for as many keys as
// there are values; its contents afterwards are of no use.
void sort_numbers(const std::vector<double>& values, SortKeys& keys, std::uint64_t* spare);

} // namespace tulo::detail
