#pragma once
// Running statistics of one numeric stream (Welford) and the Gaussian density built on them.
#include <cmath>
#include <utility>

namespace quelb {

inline constexpr double kTwoPi = 6.283185307179586;
// Densities below this (or NaN) are floored so that their logarithm stays finite.
inline constexpr double kDensityFloor = 1e-300;

struct GaussianStats {
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;

    void update(double value) {
        count += 1.0;
        const double delta = value - mean;
        mean += delta / count;
        m2 += (value - mean) * delta;
    }

    // The same update for a value carrying `weight` (count grows by the weight).
    void update(double value, double weight) {
        count += weight;
        const double delta = value - mean;
        mean += weight * delta / count;
        m2 += weight * delta * (value - mean);
    }

    // Sample variance; 0 with fewer than two values.
    double variance() const { return count > 1.0 ? m2 / (count - 1.0) : 0.0; }

    // Gaussian density at value: 0 with fewer than two values; a point mass when the variance is 0.
    double density(double value) const {
        if (count < 2.0) return 0.0;
        const double var = m2 / (count - 1.0);
        if (var <= 0.0) return value == mean ? 1.0 : 0.0;
        const double d = value - mean;
        return std::exp(-(d * d) / (2.0 * var)) / std::sqrt(kTwoPi * var);
    }
};

// Welford statistics plus the range of the values: what a tree leaf keeps per class and feature.
struct GaussianEstimator : GaussianStats {
    double min = 0.0;
    double max = 0.0;

    void update(double value) {
        if (count <= 0.0) {
            min = max = value;
        } else if (value < min) {
            min = value;
        } else if (value > max) {
            max = value;
        }
        GaussianStats::update(value);
    }

    double std_dev() const { return std::sqrt(variance()); }

    // Estimated weight of the values that fall <= threshold (first) and > threshold (second),
    // assuming they are Gaussian: the point mass at the threshold goes left with the lower tail.
    std::pair<double, double> split_weights(double threshold) const {
        const double w = count;
        if (threshold < min) return {0.0, w};
        if (threshold >= max) return {w, 0.0};
        const double equal = density(threshold) * w;
        const double sd = std_dev();
        double lower;
        if (sd > 0.0) {
            lower = (1.0 + std::erf((threshold - mean) / (1.4142135623730951 * sd))) * 0.5 * w - equal;
        } else {
            lower = threshold < mean ? w - equal : 0.0;
        }
        const double upper = w - equal - lower;
        return {lower + equal, upper > 0.0 ? upper : 0.0};
    }
};

// Probability that a Gaussian with this mean and standard deviation (> 0) stays <= x.
inline double normal_cdf(double x, double mean, double sd) {
    return (1.0 + std::erf((x - mean) / (1.4142135623730951 * sd))) * 0.5;
}

// max(density, 1e-300), where NaN also counts as the floor.
inline double floored_density(double density) {
    return density >= kDensityFloor ? density : kDensityFloor;
}

}  // namespace quelb
