#pragma once
// The Hoeffding bound: how far the mean of n observations of a variable with range R may lie
// from its true mean with probability 1 - delta. Trees split once the best candidate leads the
// second by more than this.
#include <cmath>
#include <stdexcept>

namespace quelb {

inline double hoeffding_bound(double range, double delta, double n) {
    if (n <= 0.0) return range;
    return std::sqrt(range * range * std::log(1.0 / delta) / (2.0 * n));
}

// Throws std::invalid_argument unless grace_period >= 1: a tree's split test divides by it.
inline void check_grace_period(int grace_period) {
    if (grace_period < 1) throw std::invalid_argument("'grace_period' must be greater than 0.");
}

}  // namespace quelb
