#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/gaussian.hpp"
#include "core/hoeffding.hpp"
#include "core/rng.hpp"

using namespace quelb;

TEST(Rng, FirstUniformOfSeedZero) {
    Rng rng(0);
    EXPECT_EQ(rng.uniform(), 0.5928446165166826);
}

TEST(Rng, SameOutputsAsStdMt19937) {
    for (std::uint32_t seed : {0u, 1u, 5489u, 4294967295u}) {
        Rng rng(seed);
        std::mt19937 reference(seed);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(rng.next_u32(), reference()) << "seed " << seed << " draw " << i;
    }
}

TEST(Rng, NegativeSeedIsItsBitPattern) {
    Rng a(static_cast<std::uint32_t>(-1));
    Rng b(4294967295u);
    EXPECT_EQ(a.uniform(), b.uniform());
}

TEST(Rng, PoissonDrawsOfSeedZero) {
    Rng small(0);
    std::vector<int> draws;
    for (int i = 0; i < 10; ++i) draws.push_back(small.poisson(6.0));
    EXPECT_EQ(draws, (std::vector<int>{7, 8, 11, 4, 5, 6, 6, 10, 6, 2}));

    Rng large(0);
    draws.clear();
    for (int i = 0; i < 5; ++i) draws.push_back(large.poisson(20.0));
    EXPECT_EQ(draws, (std::vector<int>{16, 21, 16, 19, 17}));
}

TEST(Rng, PoissonOfNonPositiveOrNaNMeanIsZeroAfterOneUniform) {
    for (double mean : {0.0, -3.0, std::nan("")}) {
        Rng rng(0), reference(0);
        EXPECT_EQ(rng.poisson(mean), 0);
        reference.uniform();
        EXPECT_EQ(rng.next_u32(), reference.next_u32());
    }
}

TEST(Rng, PoissonMeanCheck) {
    EXPECT_EQ(poisson_mean_check(6.0), nullptr);
    EXPECT_EQ(poisson_mean_check(-1.0), nullptr);
    EXPECT_NE(poisson_mean_check(std::nan("")), nullptr);
    EXPECT_NE(poisson_mean_check(std::numeric_limits<double>::infinity()), nullptr);
    EXPECT_NE(poisson_mean_check(1e10), nullptr);
}

namespace {
std::vector<std::string> kept_after_shuffle(std::uint32_t seed, std::vector<std::string> names, std::size_t keep,
                                            bool sort_kept) {
    Rng rng(seed);
    rng.shuffle(names);
    names.resize(keep);
    if (sort_kept) std::sort(names.begin(), names.end());
    return names;
}
}  // namespace

TEST(Rng, ShuffleKeepsTheKnownSubsets) {
    const std::vector<std::string> five{"a", "b", "c", "d", "e"};
    EXPECT_EQ(kept_after_shuffle(7919, five, 3, true), (std::vector<std::string>{"a", "c", "e"}));
    EXPECT_EQ(kept_after_shuffle(2 * 7919, five, 3, true), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_EQ(kept_after_shuffle(3 * 7919, five, 3, true), (std::vector<std::string>{"b", "c", "e"}));
}

TEST(Rng, ShufflesAndPoissonDrawsInterleaveOnOneGenerator) {
    // One generator shuffles four names and then draws a Poisson weight, three times over.
    Rng rng(0);
    const std::vector<std::vector<std::string>> expected{{"a", "c"}, {"c", "a"}, {"b", "c"}};
    const std::vector<int> expected_weights{12, 9, 6};
    for (int member = 0; member < 3; ++member) {
        std::vector<std::string> names{"a", "b", "c", "d"};
        rng.shuffle(names);
        names.resize(2);
        EXPECT_EQ(names, expected[member]);
        EXPECT_EQ(rng.poisson(6.0), expected_weights[member]);
    }
}

TEST(Rng, UniformBelowStaysInRangeAndCoversIt) {
    Rng rng(42);
    std::vector<int> seen(7, 0);
    for (int i = 0; i < 7000; ++i) {
        const std::uint32_t v = rng.uniform_below(7);
        ASSERT_LT(v, 7u);
        ++seen[v];
    }
    for (int c : seen) EXPECT_GT(c, 800);
    EXPECT_EQ(rng.uniform_int(5, 5), 5u);
}

TEST(Rng, UniformBelowRejectsExactlyTheBiasedZone) {
    // Against the definition: redraw while the low half is below (2^32 - n) mod n. Large n makes
    // that zone up to half of all draws.
    for (std::uint32_t n : {3u, 1000u, 0x80000001u, 0xfffffffeu}) {
        Rng rng(9), reference(9);
        const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
        for (int i = 0; i < 2000; ++i) {
            std::uint64_t product;
            do {
                product = static_cast<std::uint64_t>(n) * reference.next_u32();
            } while (static_cast<std::uint32_t>(product) < threshold);
            ASSERT_EQ(rng.uniform_below(n), static_cast<std::uint32_t>(product >> 32)) << n;
        }
    }
}

TEST(GaussianEstimator, TracksRangeAndMoments) {
    GaussianEstimator e;
    for (double v : {3.0, 1.0, 4.0, 1.0, 5.0}) e.update(v);
    EXPECT_EQ(e.min, 1.0);
    EXPECT_EQ(e.max, 5.0);
    EXPECT_DOUBLE_EQ(e.mean, 2.8);
    EXPECT_DOUBLE_EQ(e.variance(), 3.2);
}

TEST(GaussianEstimator, SplitWeights) {
    GaussianEstimator e;
    for (double v : {0.0, 1.0, 2.0, 3.0, 4.0}) e.update(v);
    auto [left_below, right_below] = e.split_weights(-1.0);
    EXPECT_EQ(left_below, 0.0);
    EXPECT_EQ(right_below, 5.0);
    auto [left_above, right_above] = e.split_weights(4.0);
    EXPECT_EQ(left_above, 5.0);
    EXPECT_EQ(right_above, 0.0);
    // At the mean each side gets half; the point mass at the threshold counts on the left.
    auto [left, right] = e.split_weights(2.0);
    EXPECT_NEAR(left, 2.5, 1e-12);
    EXPECT_NEAR(right, 2.5, 1e-12);
    auto [left_low, right_low] = e.split_weights(1.0);
    const double sd = std::sqrt(2.5);
    EXPECT_NEAR(left_low, 0.5 * (1.0 + std::erf(-1.0 / (std::sqrt(2.0) * sd))) * 5.0, 1e-12);
    EXPECT_NEAR(left_low + right_low, 5.0, 1e-12);
}

TEST(FastLog, WithinItsBound) {
    Rng rng(1);
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double x = std::ldexp(0.5 + rng.uniform(), static_cast<int>(rng.uniform_below(2000)) - 1000);
        worst = std::max(worst, std::fabs(fast_log(x) - std::log(x)));
    }
    for (double x : {1.0, 2.0, 0.5, 1.4142135623730951, DBL_MIN, DBL_MAX}) {
        worst = std::max(worst, std::fabs(fast_log(x) - std::log(x)));
    }
    EXPECT_LT(worst, 1e-9);
}

TEST(LogDensityEstimate, CertainEstimatesAreCloseToTheExactTerm) {
    Rng rng(2);
    int certain = 0;
    for (int i = 0; i < 100000; ++i) {
        GaussianStats s;
        const double spread = std::ldexp(1.0, static_cast<int>(rng.uniform_below(120)) - 60);
        const double center = (rng.uniform() - 0.5) * std::ldexp(1.0, static_cast<int>(rng.uniform_below(40)));
        const int n = 1 + static_cast<int>(rng.uniform_below(6));
        for (int k = 0; k < n; ++k) s.update(center + spread * (rng.uniform() < 0.2 ? 0.0 : rng.uniform()));
        const double value = center + spread * (rng.uniform() - 0.5) * std::ldexp(1.0, static_cast<int>(rng.uniform_below(12)));
        const LogDensityEstimate e = estimate_log_floored_density(s, value);
        if (!e.certain) continue;
        ++certain;
        ASSERT_LE(std::fabs(e.value - log_floored_density(s, value)), kLogDensityEstimateError)
            << "count " << s.count << " mean " << s.mean << " m2 " << s.m2 << " value " << value;
    }
    EXPECT_GT(certain, 50000);
}

TEST(LogDensityEstimate, FarTailOfANarrowGaussianIsCertainToFloor) {
    // Variances below 1 / (2 pi), where the normaliser lifts the density: q >= 700 still floors.
    for (double spread : {2e-4, 1e-3, 0.05, 0.3}) {
        GaussianStats s;
        for (double v : {-spread, 0.0, spread}) s.update(v);
        const double sd = std::sqrt(s.variance());
        for (double q : {700.0, 700.5, 720.0, 744.0, 746.0, 5000.0}) {
            const double value = sd * std::sqrt(2.0 * q) * 1.0000001;
            const LogDensityEstimate e = estimate_log_floored_density(s, value);
            ASSERT_TRUE(e.certain) << spread << " " << q;
            EXPECT_EQ(e.value, log_floored_density(s, value));
            EXPECT_EQ(e.value, kLogDensityFloor);
        }
    }
}

TEST(HoeffdingBound, Formula) {
    EXPECT_EQ(hoeffding_bound(1.0, 1e-7, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(hoeffding_bound(2.0, 0.01, 50.0), std::sqrt(4.0 * std::log(100.0) / 100.0));
}
