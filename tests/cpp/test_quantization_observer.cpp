#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/rng.hpp"
#include "core/state.hpp"
#include "trees/quantization_observer.hpp"

using namespace quelb;

namespace {

constexpr std::uint32_t kBins = QuantizationObserver::kBins;

Moments pooled(const QuantizationObserver& observer) {
    Moments sum;
    for (const Moments& bin : observer.bins()) sum.add(bin);
    return sum;
}

// What the observer's bins must add up to, whatever it pooled.
void expect_totals(const QuantizationObserver& observer, const Moments& fed) {
    const Moments sum = pooled(observer);
    EXPECT_EQ(sum.count, fed.count);
    EXPECT_NEAR(sum.sum, fed.sum, 1e-9 * (1.0 + std::fabs(fed.sum)));
    EXPECT_NEAR(sum.sumsq, fed.sumsq, 1e-9 * (1.0 + fed.sumsq));
}

}  // namespace

TEST(QuantizationObserver, ExactValuesThenAGridThatWidensWithoutLosingSamples) {
    QuantizationObserver observer;
    Moments fed;
    // Repeated values share a bin while the bins are exact.
    for (std::uint32_t i = 0; i < 2 * kBins; ++i) {
        const double y = 0.5 * i;
        observer.update(static_cast<double>(i % kBins), y);
        fed.add(y);
    }
    ASSERT_FALSE(observer.binned());
    ASSERT_EQ(observer.values().size(), kBins);
    for (std::uint32_t i = 0; i < kBins; ++i) EXPECT_EQ(observer.bins()[i].count, 2.0);
    // A new value lays the grid; values far out on either side widen it, down to subnormals and
    // up to the largest doubles.
    for (double value : {0.5, 1e3, -1e6, 5e-324, 1.7e308, -1.7e308, 7.0}) {
        observer.update(value, 1.0);
        fed.add(1.0);
        ASSERT_TRUE(observer.binned());
        ASSERT_EQ(observer.bins().size(), kBins);
        ASSERT_TRUE(observer.values().empty());
        expect_totals(observer, fed);
    }
}

TEST(QuantizationObserver, BestSplitFindsTheStepAndSendsMissingSamplesWhereZeroGoes) {
    QuantizationObserver observer;
    Rng rng(5);
    Moments all;
    for (int i = 0; i < 2000; ++i) {
        const double x = 1.0 + 9.0 * rng.uniform();  // values in [1, 10]: absent ones read 0, left
        const double y = x > 4.0 ? 10.0 : 0.0;
        observer.update(x, y);
        all.add(y);
    }
    const auto split = observer.best_split(all);
    EXPECT_NEAR(split.threshold, 4.0, 9.0 / kBins);
    EXPECT_GT(split.merit, 0.9);
    EXPECT_LE(split.merit, 1.0 + 1e-12);
    // Samples without the feature, all with target 10, join the left side: the split is worse.
    Moments with_missing = all;
    for (int i = 0; i < 500; ++i) with_missing.add(10.0);
    const auto worse = observer.best_split(with_missing);
    EXPECT_LT(worse.merit, split.merit);
    EXPECT_GT(worse.left_weight, 500.0);
    // Targets without spread give no split.
    QuantizationObserver flat;
    Moments constant;
    for (int i = 0; i < 100; ++i) {
        flat.update(rng.uniform(), 0.0);
        constant.add(0.0);
    }
    EXPECT_EQ(flat.best_split(constant).merit, -1.0);
}

TEST(QuantizationObserver, RestoredObserverContinuesAndDamagedOnesAreRefused) {
    for (int n : {5, 500}) {  // exact bins, then a grid
        QuantizationObserver observer;
        Rng rng(2);
        for (int i = 0; i < n; ++i) observer.update(rng.uniform(), rng.uniform());
        StateWriter out;
        observer.save_state(out);
        QuantizationObserver restored;
        StateReader in(out.bytes());
        restored.load_state(in);
        in.expect_end();
        for (int i = 0; i < 200; ++i) {
            const double x = 3.0 * rng.uniform() - 1.0, y = rng.uniform();
            observer.update(x, y);
            restored.update(x, y);
        }
        StateWriter a, b;
        observer.save_state(a);
        restored.save_state(b);
        EXPECT_EQ(a.bytes(), b.bytes());
    }

    const auto load = [](double origin, double width, std::vector<double> values, std::size_t bins) {
        StateWriter out;
        out.f64(origin);
        out.f64(width);
        out.size(bins);
        for (std::size_t i = 0; i < bins; ++i) Moments{1.0, 0.0, 0.0}.save_state(out);
        out.f64s(values);
        QuantizationObserver observer;
        StateReader in(out.bytes());
        observer.load_state(in);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_NO_THROW(load(0.0, 0.0, {1.0, 2.0}, 2));
    EXPECT_NO_THROW(load(-1.0, 0.5, {}, kBins));
    EXPECT_THROW(load(0.0, 0.0, {2.0, 1.0}, 2), StateError);         // out of order
    EXPECT_THROW(load(0.0, 0.0, {1.0, 1.0}, 2), StateError);         // repeated
    EXPECT_THROW(load(0.0, 0.0, {1.0, nan}, 2), StateError);
    EXPECT_THROW(load(0.0, 0.0, {1.0}, 2), StateError);              // values and bins disagree
    EXPECT_THROW(load(0.0, 0.0, std::vector<double>(kBins + 1, 0.0), kBins + 1), StateError);
    EXPECT_THROW(load(0.0, 0.5, {}, kBins - 1), StateError);
    EXPECT_THROW(load(0.0, 0.5, {1.0}, kBins), StateError);
    for (double width : {-0.5, nan, inf}) EXPECT_THROW(load(0.0, width, {}, kBins), StateError);
    EXPECT_THROW(load(inf, 0.5, {}, kBins), StateError);
}
