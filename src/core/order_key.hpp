#pragma once
// A double as an unsigned integer that sorts in the same order, so that values can be sorted,
// searched and counted as plain integers: -0.0 and 0.0 get one key (they are equal), and every
// NaN gets the largest key, above +inf (sorting doubles with NaN among them is undefined).
#include <cstdint>
#include <cstring>
#include <limits>

namespace quelb {

inline std::uint64_t order_key(double value) {
    if (value != value) return std::numeric_limits<std::uint64_t>::max();
    if (value == 0.0) value = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    return (bits & kSign) ? ~bits : bits | kSign;
}

}  // namespace quelb
