#pragma once
// Running statistics of one numeric stream (Welford) and the Gaussian density built on them.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
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

    // split_weights at many thresholds: what does not depend on the threshold, computed once.
    struct SplitWeights {
        double weight, min, max, mean;
        bool has_density;  // at least two values
        double var, two_var, norm;  // density: exp(-d^2 / two_var) / norm, a point mass if var <= 0
        double sd, erf_scale;       // erf_scale = sqrt(2) * sd

        // Estimated weight of the values that fall <= threshold (first) and > threshold (second),
        // assuming they are Gaussian: the point mass at the threshold goes left with the lower tail.
        std::pair<double, double> operator()(double threshold) const {
            if (threshold < min) return {0.0, weight};
            if (threshold >= max) return {weight, 0.0};
            double density = 0.0;
            if (has_density) {
                if (var <= 0.0) {
                    density = threshold == mean ? 1.0 : 0.0;
                } else {
                    const double d = threshold - mean;
                    density = std::exp(-(d * d) / two_var) / norm;
                }
            }
            const double equal = density * weight;
            double lower;
            if (sd > 0.0) {
                lower = (1.0 + std::erf((threshold - mean) / erf_scale)) * 0.5 * weight - equal;
            } else {
                lower = threshold < mean ? weight - equal : 0.0;
            }
            const double upper = weight - equal - lower;
            return {lower + equal, upper > 0.0 ? upper : 0.0};
        }
    };

    SplitWeights split_weigher() const {
        SplitWeights s{};
        s.weight = count;
        s.min = min;
        s.max = max;
        s.mean = mean;
        s.has_density = count >= 2.0;
        if (s.has_density) {
            s.var = m2 / (count - 1.0);
            s.two_var = 2.0 * s.var;
            s.norm = std::sqrt(kTwoPi * s.var);
        }
        s.sd = std_dev();
        s.erf_scale = 1.4142135623730951 * s.sd;
        return s;
    }

    std::pair<double, double> split_weights(double threshold) const { return split_weigher()(threshold); }
};

// Probability that a Gaussian with this mean and standard deviation (> 0) stays <= x.
inline double normal_cdf(double x, double mean, double sd) {
    return (1.0 + std::erf((x - mean) / (1.4142135623730951 * sd))) * 0.5;
}

// max(density, 1e-300), where NaN also counts as the floor.
inline double floored_density(double density) {
    return density >= kDensityFloor ? density : kDensityFloor;
}

// ln(1e-300), the log of the floored density.
inline const double kLogDensityFloor = std::log(kDensityFloor);

// ln(max(density(value), 1e-300)): a Gaussian naive Bayes log-likelihood term.
inline double log_floored_density(const GaussianStats& stats, double value) {
    const double d = stats.density(value);
    return d >= kDensityFloor ? std::log(d) : kLogDensityFloor;
}

// ln(x) for a normal, positive, finite x, within 1e-9 of the true value: the exponent plus
// 2 atanh((m - 1) / (m + 1)) for the mantissa m in [sqrt(1/2), sqrt(2)), to the s^9 term.
inline double fast_log(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    double m;
    std::memcpy(&m, &bits, sizeof m);
    if (m > 1.4142135623730951) {
        m *= 0.5;
        ++exponent;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    const double series = s * (2.0 + s2 * (2.0 / 3.0 + s2 * (2.0 / 5.0 + s2 * (2.0 / 7.0 + s2 * (2.0 / 9.0)))));
    return exponent * 0.6931471805599453 + series;
}

// Largest distance between a certain estimate of log_floored_density and its exact value.
inline constexpr double kLogDensityEstimateError = 1e-7;

// A cheap estimate of log_floored_density(stats, value), used where only comparisons of summed
// log-likelihoods matter. When `certain` is false the estimate cannot be trusted and the exact
// value must be computed.
struct LogDensityEstimate {
    double value;
    bool certain;
};

inline LogDensityEstimate estimate_log_floored_density(const GaussianStats& stats, double value) {
    // The exact computation returns a constant in these cases.
    if (stats.count < 2.0) return {kLogDensityFloor, true};
    const double var = stats.m2 / (stats.count - 1.0);
    if (var <= 0.0) return {value == stats.mean ? 0.0 : kLogDensityFloor, true};
    if (std::isnan(var)) return {kLogDensityFloor, true};
    if (!(var >= DBL_MIN && var <= DBL_MAX)) return {0.0, false};
    const double d = value - stats.mean;
    const double q = (d * d) / (2.0 * var);
    if (std::isnan(q)) return {kLogDensityFloor, true};
    // ln(exp(-q) / sqrt(2 pi var)) = -q - (ln(2 pi) + ln(var)) / 2, while exp(-q) is a normal
    // number. Far out in the tail exp(-q) <= exp(-700) < 9.9e-305, so the density stays below the
    // floor once sqrt(2 pi var) >= 1e-4: certain to floor whenever 2 pi var >= 1e-8.
    if (q >= 700.0) return {kLogDensityFloor, kTwoPi * var >= 1e-8};
    const double estimate = -q - 0.5 * (1.8378770664093453 + fast_log(var));
    if (estimate < kLogDensityFloor - 1e-6) return {kLogDensityFloor, true};
    if (estimate > kLogDensityFloor + 1e-6) return {estimate, true};
    return {0.0, false};
}

}  // namespace quelb
