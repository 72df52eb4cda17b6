#include "preprocessing/scalers.hpp"

#include <cmath>

namespace quelb {

// Transforms only read the statistics: a never-learned feature is scaled as if its statistics
// were all zero, and a zero divisor maps the value to 0.0. A NaN divisor compares unequal to 0
// and divides.

void StandardScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, value] : x) {
        ScalerStats& s = stats_[name];
        s.n += 1.0;
        const double new_mean = s.mean + (value - s.mean) / s.n;
        if (with_std) s.var += ((value - new_mean) * (value - s.mean) - s.var) / s.n;
        s.mean = new_mean;
    }
}

void StandardScaler::transform_one_inplace(FeatureMap& x) {
    for (auto& [name, value] : x) {
        const auto it = stats_.find(name);
        if (!with_std) {
            if (it != stats_.end()) value -= it->second.mean;
            continue;
        }
        const double sd = it != stats_.end() ? std::sqrt(it->second.var) : 0.0;
        value = sd != 0.0 ? (value - it->second.mean) / sd : 0.0;
    }
}

void StandardScaler::reset() { stats_.clear(); }

void MinMaxScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, value] : x) {
        MinMaxRange& r = ranges_[name];
        if (!r.has_min || r.min > value) {
            r.min = value;
            r.has_min = true;
        }
        if (!r.has_max || r.max < value) {
            r.max = value;
            r.has_max = true;
        }
    }
}

void MinMaxScaler::transform_one_inplace(FeatureMap& x) {
    for (auto& [name, value] : x) {
        const auto it = ranges_.find(name);
        const double span = it != ranges_.end() ? it->second.max - it->second.min : 0.0;
        value = span != 0.0 ? (value - it->second.min) / span : 0.0;
    }
}

void MinMaxScaler::reset() { ranges_.clear(); }

void MaxAbsScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, value] : x) {
        double& largest = max_abs_[name];
        const double magnitude = std::fabs(value);
        if (largest < magnitude) largest = magnitude;
    }
}

void MaxAbsScaler::transform_one_inplace(FeatureMap& x) {
    for (auto& [name, value] : x) {
        const auto it = max_abs_.find(name);
        const double largest = it != max_abs_.end() ? it->second : 0.0;
        value = largest != 0.0 ? value / largest : 0.0;
    }
}

void MaxAbsScaler::reset() { max_abs_.clear(); }

}  // namespace quelb
