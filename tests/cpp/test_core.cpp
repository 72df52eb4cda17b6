#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/gaussian.hpp"
#include "core/probabilities.hpp"

using namespace quelb;

TEST(GaussianStats, WelfordMatchesDirectComputation) {
    GaussianStats s;
    const std::vector<double> values{2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0};
    for (double v : values) s.update(v);
    EXPECT_DOUBLE_EQ(s.count, 8.0);
    EXPECT_DOUBLE_EQ(s.mean, 5.0);
    EXPECT_DOUBLE_EQ(s.variance(), 32.0 / 7.0);
}

TEST(GaussianStats, DensityEdgeCases) {
    GaussianStats s;
    s.update(1.0);
    EXPECT_EQ(s.density(1.0), 0.0);  // a single value has no density
    s.update(1.0);
    EXPECT_EQ(s.density(1.0), 1.0);  // zero variance: a point mass at the mean
    EXPECT_EQ(s.density(1.5), 0.0);
    EXPECT_EQ(s.density(std::nan("")), 0.0);
    GaussianStats t;
    t.update(0.0);
    t.update(2.0);  // mean 1, variance 2
    EXPECT_DOUBLE_EQ(t.density(1.0), 1.0 / std::sqrt(kTwoPi * 2.0));
}

TEST(FlooredDensity, FloorsSmallZeroAndNaN) {
    EXPECT_EQ(floored_density(0.0), 1e-300);
    EXPECT_EQ(floored_density(std::nan("")), 1e-300);
    EXPECT_EQ(floored_density(1e-301), 1e-300);
    EXPECT_EQ(floored_density(0.5), 0.5);
}

TEST(NormalizeLogScores, MatchesLinearNormalisation) {
    std::vector<double> s{std::log(0.2), std::log(0.6)};
    normalize_log_scores(s);
    EXPECT_NEAR(s[0], 0.25, 1e-15);
    EXPECT_NEAR(s[1], 0.75, 1e-15);
}

TEST(NormalizeLogScores, SurvivesUnderflowAndNonFiniteScores) {
    std::vector<double> tiny{-5000.0, -5001.0};  // exp underflows to 0 without the shift
    normalize_log_scores(tiny);
    EXPECT_NEAR(tiny[0] + tiny[1], 1.0, 1e-15);
    EXPECT_GT(tiny[0], tiny[1]);

    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> with_inf{1.0, inf, std::nan("")};
    normalize_log_scores(with_inf);
    EXPECT_EQ(with_inf, (std::vector<double>{0.0, 1.0, 0.0}));

    std::vector<double> all_minus_inf{-inf, -inf};
    normalize_log_scores(all_minus_inf);
    EXPECT_EQ(all_minus_inf, (std::vector<double>{0.5, 0.5}));
}
