#pragma once
// The Hoeffding bound: how far the mean of n observations of a variable with range R may lie
// from its true mean with probability 1 - delta. Trees split once the best candidate leads the
// second by more than this.
#include <cmath>
#include <stdexcept>
#include <tuple>

#include "core/options.hpp"

namespace quelb {

inline double hoeffding_bound(double range, double delta, double n) {
    if (n <= 0.0) return range;
    return std::sqrt(range * range * std::log(1.0 / delta) / (2.0 * n));
}

// A tree's split test divides by its grace period: refused below 1.
inline const char* grace_period_check(const int& grace_period) {
    return grace_period < 1 ? "'grace_period' must be greater than 0." : nullptr;
}

// What every Hoeffding tree's options begin with: when a leaf tries to split, how sure the bound
// must be, below which bound the best and second candidates count as tied, and how deep the tree
// grows. Each tree lists them in its options' fields, with how users reach them.
struct HoeffdingTreeOptions {
    int grace_period = 200;
    double split_confidence = 1e-07;
    double tie_threshold = 0.05;
    int max_depth = 20;
};

// The rows of those options, each reached as `access` says. Each tree decides whether its grace
// period is checked (FIMT-DD takes any).
constexpr auto grace_period_field(unsigned access, OptionCheck<int> check) {
    return option("grace_period", &HoeffdingTreeOptions::grace_period, access, check,
                  "samples a leaf sees between split attempts (at least 1)");
}
constexpr auto split_confidence_field(unsigned access) {
    return option("split_confidence", &HoeffdingTreeOptions::split_confidence, access,
                  "allowed chance of a wrong split (the Hoeffding bound's delta)");
}
constexpr auto tie_threshold_field(unsigned access) {
    return option("tie_threshold", &HoeffdingTreeOptions::tie_threshold, access,
                  "Hoeffding bound below which the two best splits count as tied");
}
constexpr auto max_depth_field(unsigned access) {
    return option("max_depth", &HoeffdingTreeOptions::max_depth, access, "depth at which leaves stop splitting");
}

// The fields of the first three, each reached as `access` says but grace_period as
// `grace_period_access`, grace_period with its check.
constexpr auto hoeffding_bound_fields(unsigned access, unsigned grace_period_access) {
    return std::make_tuple(grace_period_field(grace_period_access, grace_period_check), split_confidence_field(access),
                           tie_threshold_field(access));
}
constexpr auto hoeffding_bound_fields(unsigned access) { return hoeffding_bound_fields(access, access); }

}  // namespace quelb
