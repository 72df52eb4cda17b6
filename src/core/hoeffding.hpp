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

// A tree's split test divides by its grace period: refused below 1.
inline const char* grace_period_check(const int& grace_period) {
    return grace_period < 1 ? "'grace_period' must be greater than 0." : nullptr;
}

// Throws std::invalid_argument with that reason.
inline void check_grace_period(int grace_period) {
    if (const char* reason = grace_period_check(grace_period)) throw std::invalid_argument(reason);
}

}  // namespace quelb
