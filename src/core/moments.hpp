#pragma once
// Count, sum and sum of squares of a stream of values: statistics that add and subtract exactly
// like the sets of values they describe, which is what split searches sweep over (the model
// tree's E-BSTs, the regression tree's quantization observers). Values far from 0 relative to
// their spread lose precision in the variance: callers that care shift them first.
#include <cmath>

#include "core/state.hpp"

namespace quelb {

struct Moments {
    double count = 0.0;
    double sum = 0.0;
    double sumsq = 0.0;

    void add(double v) {
        count += 1.0;
        sum += v;
        sumsq += v * v;
    }
    void add(const Moments& other) {
        count += other.count;
        sum += other.sum;
        sumsq += other.sumsq;
    }
    // These values without `part`, a subset of them.
    Moments without(const Moments& part) const { return {count - part.count, sum - part.sum, sumsq - part.sumsq}; }

    double mean() const { return sum / count; }
    // Population variance; callers check count first.
    double variance() const { return (sumsq - sum * sum / count) / count; }
    // Sum of squared deviations from the mean; 0 for no values.
    double deviations() const { return count > 0.0 ? sumsq - sum * sum / count : 0.0; }
    // Population standard deviation, 0 unless count > 1 and the variance is positive.
    double std_dev() const {
        if (!(count > 1.0)) return 0.0;
        const double var = variance();
        return var > 0.0 ? std::sqrt(var) : 0.0;
    }
    // Normalising a value v means (v - mean) / (3 sd), and 0 unless count > 1 and the variance is
    // positive: false in that case, else the mean and 3 sd.
    bool normaliser(double& mean, double& three_sd) const {
        if (!(count > 1.0)) return false;
        const double var = variance();
        if (!(var > 0.0)) return false;
        mean = sum / count;
        three_sd = 3.0 * std::sqrt(var);
        return true;
    }

    void save_state(StateWriter& out) const {
        out.f64(count);
        out.f64(sum);
        out.f64(sumsq);
    }
    void load_state(StateReader& in) {
        count = in.f64();
        sum = in.f64();
        sumsq = in.f64();
    }
};

}  // namespace quelb
