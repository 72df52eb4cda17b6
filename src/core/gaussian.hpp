#pragma once
// Running statistics of one numeric stream (Welford) and the Gaussian density built on them.
#include <cmath>

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

// max(density, 1e-300), where NaN also counts as the floor.
inline double floored_density(double density) {
    return density >= kDensityFloor ? density : kDensityFloor;
}

}  // namespace quelb
