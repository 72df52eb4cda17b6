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
}  // namespace

TEST(QuantizationObserver, ExactValuesThenAGridThatWidensWithoutLosingSamples) {
    QuantizationObserver observer;
    Moments fed;
    const auto feed = [&](double value, double y) {
        observer.update(value, y);
        fed.add(y);
    };
    for (std::uint32_t i = 0; i < 2 * kBins; ++i) feed(static_cast<double>(i % kBins), 0.5 * i);
    ASSERT_FALSE(observer.binned());
    ASSERT_EQ(observer.bins().size(), kBins);  // repeated values share their bin
    // A new value lays the grid; values far out widen it, down to subnormals and up to the
    // largest doubles. Pooling must keep every sample.
    for (double value : {0.5, 1e3, -1e6, 5e-324, 1.7e308, -1.7e308, 7.0}) {
        feed(value, 1.0);
        ASSERT_TRUE(observer.binned() && observer.bins().size() == kBins && observer.values().empty());
        Moments sum;
        for (const Moments& bin : observer.bins()) sum.add(bin);
        EXPECT_EQ(sum.count, fed.count);
        EXPECT_NEAR(sum.sumsq, fed.sumsq, 1e-9 * fed.sumsq);
    }
}

TEST(QuantizationObserver, BestSplitFindsTheStepAndSendsMissingSamplesWhereZeroGoes) {
    QuantizationObserver observer;
    Rng rng(5);
    Moments all;
    for (int i = 0; i < 2000; ++i) {
        const double x = 1.0 + 9.0 * rng.uniform(), y = x > 4.0 ? 10.0 : 0.0;
        observer.update(x, y);
        all.add(y);
    }
    const auto split = observer.best_split(all);
    EXPECT_NEAR(split.threshold, 4.0, 9.0 / kBins);
    EXPECT_GT(split.merit, 0.9);
    // Samples without the feature (targets 10) go left with the values below 1: a worse split.
    for (int i = 0; i < 500; ++i) all.add(10.0);
    const auto worse = observer.best_split(all);
    EXPECT_LT(worse.merit, split.merit);
    EXPECT_GT(worse.left_weight, 500.0);
}

TEST(QuantizationObserver, DamagedStatesAreRefused) {
    const auto load = [](double width, std::vector<double> values, std::size_t bins) {
        StateWriter out;
        out.f64(0.0);
        out.f64(width);
        out.size(bins);
        for (std::size_t i = 0; i < bins; ++i) Moments{1.0, 0.0, 0.0}.save_state(out);
        out.f64s(values);
        QuantizationObserver observer;
        StateReader in(out.bytes());
        observer.load_state(in);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(load(0.0, {1.0, 2.0}, 2));
    EXPECT_NO_THROW(load(0.5, {}, kBins));
    for (auto values : {std::vector<double>{2.0, 1.0}, {1.0, 1.0}, {1.0, nan}, {1.0}})
        EXPECT_THROW(load(0.0, values, 2), StateError);
    EXPECT_THROW(load(0.0, std::vector<double>(kBins + 1, 0.0), kBins + 1), StateError);
    EXPECT_THROW(load(0.5, {}, kBins - 1), StateError);
    for (double width : {-0.5, nan, std::numeric_limits<double>::infinity()})
        EXPECT_THROW(load(width, {}, kBins), StateError);
}
