#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "trees/fimtdd_regressor.hpp"

using namespace quelb;

namespace {

// Piecewise-linear targets of two features with uniform noise of the given width; from
// `change_at` on the concept is reversed.
std::vector<std::pair<FeatureMap, double>> stream(int n, int change_at, std::uint32_t seed, double noise_width = 1.0) {
    Rng rng(seed);
    std::vector<std::pair<FeatureMap, double>> rows;
    for (int i = 0; i < n; ++i) {
        const double a = 10.0 * rng.uniform(), b = rng.uniform();
        const double noise = noise_width * (rng.uniform() - 0.5);
        const double y = i < change_at ? 3.0 * a + (a > 6.0 ? 20.0 : 0.0) + 5.0 * b + noise : 60.0 - 4.0 * a + noise;
        rows.emplace_back(FeatureMap{{"a", a}, {"b", b}}, y);
    }
    return rows;
}

// Quick to raise alarms and to judge alternates.
FIMTDDRegressor::Options alarm_prone(int grace_period, const char* mode, int seed) {
    FIMTDDRegressor::Options options = model_tree_options(grace_period, 1e-07, 20, mode, seed);
    options.page_hinckley_threshold = 5.0;
    options.alternate_tree_t_min = 30;
    options.alternate_tree_time = 300;
    return options;
}

}  // namespace

TEST(FIMTDDNative, StationaryStreamRaisesNoAlarmAfterSplits) {
    // Each internal node's mean error covers exactly the samples it has tested, so a stream
    // without change gives no alarm, however long after its split a node runs.
    for (const char* mode : {"adaptive", "mean"}) {
        FIMTDDRegressor tree(model_tree_options(200, 1e-07, 20, mode));
        for (const auto& [x, y] : stream(30000, 1 << 30, 1, 30.0)) tree.learn_one(x, y);
        EXPECT_GE(tree.n_splits(), 3) << mode;
        EXPECT_EQ(tree.n_alarms(), 0) << mode;
    }
}

TEST(FIMTDDNative, AbruptChangeGrowsAnAlternateThatTakesOver) {
    FIMTDDRegressor tree;
    const auto rows = stream(12000, 6000, 2);
    double before_change_error = 0.0, late_error = 0.0;
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const auto& [x, y] = rows[i];
        const double error = std::fabs(tree.predict_one(x) - y);
        if (i >= 5000 && i < 6000) before_change_error += error;
        if (i >= 11000) late_error += error;
        tree.learn_one(x, y);
        if (i == 5999) {
            ASSERT_GT(tree.n_splits(), 0);
            ASSERT_EQ(tree.n_alarms(), 0);
        }
    }
    EXPECT_GT(tree.n_alarms(), 0);
    EXPECT_GT(tree.n_alternate_wins(), 0);
    // The tree has recovered from the change.
    EXPECT_LT(late_error, 2.0 * before_change_error);

    FIMTDDRegressor::Options no_detection;
    no_detection.drift_detection = false;
    FIMTDDRegressor blind(no_detection);
    for (const auto& [x, y] : rows) blind.learn_one(x, y);
    EXPECT_GT(blind.n_splits(), 0);
    EXPECT_EQ(blind.n_alarms(), 0);
    EXPECT_EQ(blind.n_alternate_wins(), 0);
}

TEST(FIMTDDNative, SharedColumnsAndLoadedSamplesGiveTheSameModel) {
    FIMTDDRegressor alone(alarm_prone(50, "adaptive", 9));
    FIMTDDRegressor first(alarm_prone(50, "adaptive", 9));
    FIMTDDRegressor second(model_tree_options(50, 1e-07, 20, "mean"));
    auto columns = std::make_shared<SampleColumns>();
    second.share_columns(columns);
    first.share_columns(columns);
    for (const auto& [x, y] : stream(4000, 2000, 3)) {
        const double expected = alone.predict_one(x);
        columns->load(x, true);
        ASSERT_EQ(first.predict_loaded(), expected);
        second.learn_loaded(y);
        first.learn_loaded(y);
        alone.learn_one(x, y);
    }
    EXPECT_EQ(first.n_splits(), alone.n_splits());
    EXPECT_GT(alone.n_alarms(), 0);
}

TEST(FIMTDDNative, LearnThenPredictEqualsRepeatedLearningAndAPrediction) {
    // Repeats of 0 to 3, through splits, alarms and alternates that take over, in every leaf mode.
    for (const char* mode : {"adaptive", "perceptron", "mean"}) {
        FIMTDDRegressor fast(alarm_prone(30, mode, 4));
        FIMTDDRegressor slow(alarm_prone(30, mode, 4));
        int i = 0;
        for (const auto& [x, y] : stream(4000, 2000, 5)) {
            const int times = i++ % 4;
            fast.columns().load(x, true);
            const double answer = fast.learn_then_predict_loaded(y, times);
            for (int t = 0; t < times; ++t) slow.learn_one(x, y);
            ASSERT_EQ(answer, slow.predict_one(x)) << mode << " sample " << i;
        }
        EXPECT_EQ(fast.n_splits(), slow.n_splits());
        EXPECT_GT(slow.n_splits(), 0);
        EXPECT_GT(slow.n_alternate_wins(), 0) << mode;
    }
}

TEST(FIMTDDNative, WalksSideBySideGiveEachTreesAnswer) {
    // Trees sharing one SampleColumns, each learning its own projection of the samples: the whole
    // sample routes them as their projections do, since they only test features they learnt.
    auto columns = std::make_shared<SampleColumns>();
    std::vector<std::unique_ptr<FIMTDDRegressor>> trees;
    std::vector<FIMTDDRegressor*> list;
    for (int i = 0; i < 3; ++i) {
        trees.push_back(std::make_unique<FIMTDDRegressor>(model_tree_options(20, 0.01, 20, "mean")));
        trees.back()->share_columns(columns);
        list.push_back(trees.back().get());
    }
    const std::vector<std::vector<std::uint32_t>> subsets{{0}, {1}, {0, 1}};  // columns of a and b
    FIMTDDRegressor::SideBySide walks;
    std::vector<double> together(3);
    for (const auto& [x, y] : stream(3000, 1 << 30, 6)) {
        columns->load(x, true);
        std::vector<double> expected;
        for (std::size_t i = 0; i < 3; ++i) {
            columns->project(subsets[i]);
            expected.push_back(trees[i]->predict_loaded());
        }
        columns->show_all();
        FIMTDDRegressor::predict_means_together(list.data(), list.size(), walks, together.data());
        ASSERT_EQ(together, expected);
        for (std::size_t i = 0; i < 3; ++i) {
            columns->project(subsets[i]);
            trees[i]->learn_loaded(y);
        }
    }
    for (const auto& tree : trees) EXPECT_GT(tree->n_splits(), 2);
}
