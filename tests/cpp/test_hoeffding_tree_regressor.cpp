#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

using namespace quelb;

namespace {

GaussianStats stats_of(const std::vector<double>& values) {
    GaussianStats s;
    for (double v : values) s.update(v);
    return s;
}

// The target's sample standard deviation of 0, 1, .., n - 1 scaled by `scale`.
double spread_of_range(int n, double scale) {
    std::vector<double> ys;
    for (int i = 0; i < n; ++i) ys.push_back(scale * i);
    return std::sqrt(stats_of(ys).variance());
}

HoeffdingTreeRegressor::Options options(int grace_period, SplitCriterion criterion = SplitCriterion::mean_split,
                                        double learning_rate = 0.01) {
    return regressor_tree_options(grace_period, 1e-07, 0.05, 20, learning_rate, criterion);
}

}  // namespace

TEST(HoeffdingTreeRegressorNative, SplitMeritAtTheFeatureMean) {
    const double sd = 2.0;
    // Any varying feature puts half of its mass at or below its mean.
    EXPECT_DOUBLE_EQ(mean_split_merit(sd, stats_of({1.0, 5.0, 2.0}), 3.0), sd * (1.0 - 2.0 * std::pow(0.5, 1.5)));
    EXPECT_DOUBLE_EQ(mean_split_merit(sd, stats_of({-7.0, 100.0}), 2.0), sd * (1.0 - 2.0 * std::pow(0.5, 1.5)));
    // A constant feature puts all of it there, clamped to 0.99.
    EXPECT_DOUBLE_EQ(mean_split_merit(sd, stats_of({4.0, 4.0, 4.0}), 3.0),
                     sd * (1.0 - std::pow(0.99, 1.5) - std::pow(0.01, 1.5)));
    EXPECT_EQ(mean_split_merit(sd, stats_of({1.0, 5.0}), 1.5), 0.0);  // fewer than two samples
}

TEST(HoeffdingTreeRegressorNative, ASingleFeatureSplitsAtItsMeanAtTheFirstAttempt) {
    HoeffdingTreeRegressor tree(options(10));
    for (int i = 0; i < 9; ++i) tree.learn_one({{"a", static_cast<double>(i)}}, i);
    EXPECT_EQ(tree.n_nodes(), 1u);
    tree.learn_one({{"a", 9.0}}, 9.0);
    ASSERT_EQ(tree.n_nodes(), 3u);
    const auto root = tree.node(0);
    EXPECT_EQ(root.split_feature, "a");
    EXPECT_DOUBLE_EQ(root.split_threshold, 4.5);
    EXPECT_TRUE(root.features.empty());
    for (std::uint32_t child : {root.left, root.right}) {
        const auto leaf = tree.node(child);
        EXPECT_TRUE(leaf.is_leaf);
        EXPECT_DOUBLE_EQ(leaf.weight_seen, 5.0);
        EXPECT_EQ(leaf.samples_seen, 5);
        EXPECT_EQ(leaf.features, std::vector<std::string>{"a"});
    }
    // Children inherit the parent's target mean.
    tree.leaf_prediction = "mean";
    EXPECT_DOUBLE_EQ(tree.predict_one({{"a", 0.0}}), 4.5);
    EXPECT_DOUBLE_EQ(tree.predict_one({{"a", 9.0}}), 4.5);

    // A constant feature alone also splits, sending 99% of the leaf's weight left.
    HoeffdingTreeRegressor flat(options(10));
    for (int i = 0; i < 10; ++i) flat.learn_one({{"c", 1.0}}, i);
    ASSERT_EQ(flat.n_nodes(), 3u);
    EXPECT_DOUBLE_EQ(flat.node(1).weight_seen, 9.9);
    EXPECT_EQ(flat.node(1).samples_seen, 9);
    EXPECT_EQ(flat.node(2).samples_seen, 0);
}

TEST(HoeffdingTreeRegressorNative, EqualMeritsSplitOnlyByTheTieRuleOnTheFirstName) {
    // Two varying features have equal merits; only a bound below tie_threshold lets the leaf split,
    // then on the first name in byte order.
    const int n = 40;
    for (double scale : {0.01, 1.0}) {
        HoeffdingTreeRegressor tree(options(n));
        Rng rng(3);
        for (int i = 0; i < n; ++i) tree.learn_one({{"b", rng.uniform()}, {"a", rng.uniform()}}, scale * i);
        const double epsilon = spread_of_range(n, scale) * std::sqrt(std::log(1e7) / (2.0 * n));
        if (epsilon < tree.tie_threshold) {
            ASSERT_EQ(tree.n_nodes(), 3u) << scale;
            EXPECT_EQ(tree.node(0).split_feature, "a");
        } else {
            EXPECT_EQ(tree.n_nodes(), 1u) << scale;
        }
    }
    // A varying feature leads a constant one by sd * (0.99^1.5 + 0.01^1.5 - 2 * 0.5^1.5), which
    // beats the bound sd * sqrt(ln(1e7) / 2n) from n = 104 on.
    const int m = 120;
    HoeffdingTreeRegressor mixed(options(m));
    Rng rng(5);
    for (int i = 0; i < m; ++i) mixed.learn_one({{"a", 2.0}, {"b", rng.uniform()}}, 0.01 * i);
    ASSERT_GT(spread_of_range(m, 0.01) * std::sqrt(std::log(1e7) / (2.0 * m)), mixed.tie_threshold);
    ASSERT_EQ(mixed.n_nodes(), 3u);
    EXPECT_EQ(mixed.node(0).split_feature, "b");
}

constexpr SplitCriterion kCriteria[] = {SplitCriterion::mean_split, SplitCriterion::variance_reduction};

TEST(HoeffdingTreeRegressorNative, ConstantTargetsNeverSplitNorMoveTheAnswer) {
    for (SplitCriterion criterion : kCriteria) {
        HoeffdingTreeRegressor tree(options(5, criterion));
        Rng rng(1);
        for (int i = 0; i < 500; ++i) tree.learn_one({{"a", rng.uniform()}, {"b", rng.uniform()}}, 3.0);
        EXPECT_EQ(tree.n_nodes(), 1u);
        for (const char* mode : {"mean", "linear", "adaptive"}) {
            tree.leaf_prediction = mode;
            EXPECT_EQ(tree.predict_one({{"a", 50.0}, {"b", -3.0}}), 3.0) << mode;
        }
    }
}

TEST(HoeffdingTreeRegressorNative, VarianceReductionSplitsOnTheOneFeatureTheTargetFollows) {
    // Only c matters, through a step at 0.3; a and b come first in name order, and d is missing
    // from every third sample.
    HoeffdingTreeRegressor tree(options(200, SplitCriterion::variance_reduction));
    Rng rng(4);
    for (int i = 0; i < 600; ++i) {
        FeatureMap x{{"a", rng.uniform()}, {"b", 10.0 * rng.uniform()}, {"c", rng.uniform()}};
        if (i % 3) x.emplace("d", rng.uniform());
        const double y = (x.at("c") > 0.3 ? 5.0 : 0.0) + 0.5 * (rng.uniform() - 0.5);
        tree.learn_one(x, y);
    }
    ASSERT_GT(tree.n_nodes(), 1u);
    EXPECT_EQ(tree.node(0).split_feature, "c");
    EXPECT_NEAR(tree.node(0).split_threshold, 0.3, 0.05);
    // The children start from the share of the parent's samples on their side.
    const double left = tree.node(tree.node(0).left).weight_seen, right = tree.node(tree.node(0).right).weight_seen;
    EXPECT_NEAR(left / (left + right), 0.3, 0.05);
}

TEST(HoeffdingTreeRegressorNative, RepeatedLearningEqualsThatManyCalls) {
    for (SplitCriterion criterion : kCriteria) {
        SCOPED_TRACE(split_criterion_name(criterion));
        auto columns = std::make_shared<SampleColumns>();
        HoeffdingTreeRegressor batched(options(20, criterion, 0.05)), single(options(20, criterion, 0.05));
        batched.share_columns(columns);
        Rng rng(7);
        for (int t = 0; t < 3000; ++t) {
            const double a = rng.uniform(), b = rng.uniform(), noise = rng.uniform();
            FeatureMap x{{"a", a}, {"b", b}, {"unused", noise}};
            const double y = 0.1 * (a > 0.5 ? 3.0 * b : -b) + 0.01 * noise;
            const int k = static_cast<int>(rng.uniform_below(4));
            // Trees of a forest see the projection onto a fixed subset; here {b, a}.
            columns->load(x, true);
            IndexedSample projected;
            for (const auto& e : columns->entries()) {
                if (columns->index().name(e.column) != "unused") projected.insert(projected.begin(), e);
            }
            FeatureMap x_projected{{"b", b}, {"a", a}};
            const double expected = single.predict_one(x_projected);
            for (int i = 0; i < k; ++i) single.learn_one(x_projected, y);
            ASSERT_EQ(batched.predict_then_learn_loaded(projected, y, k), expected) << t;
        }
        EXPECT_GT(single.n_nodes(), 3u);
        EXPECT_EQ(batched.n_nodes(), single.n_nodes());
    }
}
