#include "preprocessing/scalers.hpp"

#include <cmath>

namespace quelb {

// Transforms only read the statistics: a never-learned feature is scaled as if its statistics
// were all zero, and a zero divisor maps the value to 0.0. A NaN divisor compares unequal to 0
// and divides.

void StandardScaler::learn_one(const FeatureMap& x) {
    stats_.learn(x, [this](ScalerStats& s, double value) {
        s.n += 1.0;
        const double new_mean = s.mean + (value - s.mean) / s.n;
        if (with_std) s.var += ((value - new_mean) * (value - s.mean) - s.var) / s.n;
        s.mean = new_mean;
    });
}

void StandardScaler::transform_one_inplace(FeatureMap& x) {
    if (!with_std) {
        stats_.visit(x, [](auto& entry, const ScalerStats* s) {
            if (s) entry.second -= s->mean;
        });
        return;
    }
    stats_.visit(x, [](auto& entry, const ScalerStats* s) {
        const double sd = s ? std::sqrt(s->var) : 0.0;
        entry.second = sd != 0.0 ? (entry.second - s->mean) / sd : 0.0;
    });
}

void StandardScaler::reset() { stats_.clear(); }

void MinMaxScaler::learn_one(const FeatureMap& x) {
    ranges_.learn(x, [](MinMaxRange& r, double value) {
        if (!r.has_min || r.min > value) {
            r.min = value;
            r.has_min = true;
        }
        if (!r.has_max || r.max < value) {
            r.max = value;
            r.has_max = true;
        }
    });
}

void MinMaxScaler::transform_one_inplace(FeatureMap& x) {
    ranges_.visit(x, [](auto& entry, const MinMaxRange* r) {
        const double span = r ? r->max - r->min : 0.0;
        entry.second = span != 0.0 ? (entry.second - r->min) / span : 0.0;
    });
}

void MinMaxScaler::reset() { ranges_.clear(); }

void MaxAbsScaler::learn_one(const FeatureMap& x) {
    max_abs_.learn(x, [](double& largest, double value) {
        const double magnitude = std::fabs(value);
        if (largest < magnitude) largest = magnitude;
    });
}

void MaxAbsScaler::transform_one_inplace(FeatureMap& x) {
    max_abs_.visit(x, [](auto& entry, const double* largest) {
        const double divisor = largest ? *largest : 0.0;
        entry.second = divisor != 0.0 ? entry.second / divisor : 0.0;
    });
}

void MaxAbsScaler::reset() { max_abs_.clear(); }

}  // namespace quelb
