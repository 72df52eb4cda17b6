#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ensembles/gradient_boosting.hpp"
#include "with_options.hpp"

using namespace quelb;

namespace {

using Names = std::vector<std::string>;

FeatureMap sample_with(int n_features) {
    FeatureMap x;
    for (int f = 0; f < n_features; ++f) x.emplace("f" + std::to_string(10 + f), 0.5 * f);
    return x;
}

}  // namespace

TEST(GradientBooster, StepFeaturesAndBagDrawsOfTheFirstSample) {
    SGBRRegressor regressor;
    const FeatureMap x{{"d", 4.0}, {"b", 2.0}, {"a", 1.0}, {"c", 3.0}};
    regressor.learn_one(x, 1.0);
    GradientBooster& booster = *regressor.booster();
    ASSERT_EQ(booster.n_steps(), 10u);
    EXPECT_EQ(booster.step_features(0), (Names{"a", "b", "d"}));
    EXPECT_EQ(booster.step_features(1), (Names{"a", "c", "d"}));
    EXPECT_EQ(booster.step_features(2), (Names{"a", "b", "d"}));

    // Step 0 learnt the target 1.0 (nothing before it) k times per tree: with mean leaves, one
    // more target 0.0 makes a tree predict k / (k + 1).
    const std::vector<int> draws{2, 4, 3, 0, 0, 2, 1, 0, 0, 1};
    ASSERT_EQ(booster.bag_size(), draws.size());
    for (std::size_t j = 0; j < draws.size(); ++j) {
        FIMTDDRegressor& tree = booster.tree(0, j);
        tree.learn_one(x, 0.0);
        const double k = draws[j];
        EXPECT_DOUBLE_EQ(tree.predict_one(x), k / (k + 1.0)) << "tree " << j;
    }
}

TEST(GradientBooster, FeaturesPerStep) {
    const std::vector<std::pair<int, std::size_t>> expected{{1, 1}, {2, 2}, {3, 2}, {4, 3}, {5, 4}, {10, 8}, {20, 15}};
    for (const auto& [n, kept] : expected) {
        auto regressor = with_options<SGBRRegressor>([](auto& o) { o.n_models = 3; });
        regressor.learn_one(sample_with(n), 1.0);
        for (std::size_t step = 0; step < 3; ++step) {
            EXPECT_EQ(regressor.booster()->step_features(step).size(), kept) << n << " features";
        }
    }
    // Percentages beyond 100 keep every feature; n_models and bag_size below 1 count as 1.
    auto all = with_options<SGBRRegressor>([](auto& o) {
        o.n_models = 0;
        o.percentage_of_features = 250;
        o.bag_size = -3;
    });
    all.learn_one(sample_with(3), 1.0);
    EXPECT_EQ(all.booster()->n_steps(), 1u);
    EXPECT_EQ(all.booster()->bag_size(), 1u);
    EXPECT_EQ(all.booster()->step_features(0), (Names{"f10", "f11", "f12"}));
}

TEST(GradientBooster, FirstSampleWithoutFeaturesGivesStepsOfWholeSamples) {
    auto regressor = with_options<SGBRRegressor>([](auto& o) {
        o.n_models = 3;
        o.bag_size = 1;
    });
    regressor.learn_one({}, 2.0);
    GradientBooster& booster = *regressor.booster();
    ASSERT_TRUE(booster.initialised());
    for (std::size_t step = 0; step < 3; ++step) EXPECT_TRUE(booster.step_features(step).empty());
    // Later features reach every step's trees.
    for (int t = 0; t < 400; ++t) {
        const double a = (t % 20) / 20.0;
        regressor.learn_one({{"a", a}, {"b", 1.0}}, a > 0.5 ? 3.0 : -3.0);
    }
    EXPECT_GT(booster.tree(0, 0).n_splits(), 0);
    EXPECT_NEAR(regressor.predict_one({{"a", 0.9}}), 3.0, 0.5);
    EXPECT_NEAR(regressor.predict_one({{"a", 0.1}}), -3.0, 0.5);
}

TEST(GradientBooster, SkippedSamplesLeaveTheBoosterUnbuilt) {
    // With skip_training 4 a sample is skipped when the draw in [0, 3] is 0; until a sample gets
    // through, the booster has no steps and predicts 0. A seed whose first draw skips:
    int seed = 1;
    while (Rng(static_cast<std::uint32_t>(seed)).uniform_int(0, 3) != 0) ++seed;
    auto regressor = with_options<SGBRRegressor>([&](auto& o) {
        o.n_models = 2;
        o.skip_training = 4;
        o.bag_size = 1;
        o.seed = seed;
    });
    int skipped = 0;
    for (int t = 0; t < 200; ++t) {
        const bool built = regressor.booster() && regressor.booster()->initialised();
        if (!built) EXPECT_EQ(regressor.predict_one(sample_with(2)), 0.0);
        regressor.learn_one(sample_with(2), 5.0);
        if (!built && !regressor.booster()->initialised()) ++skipped;
    }
    EXPECT_GT(skipped, 0);
    ASSERT_TRUE(regressor.booster()->initialised());
    // Step 0 learnt the targets, step 1 the residuals of 0.
    EXPECT_DOUBLE_EQ(regressor.predict_one(sample_with(2)), 5.0);
}

TEST(SGBTClassifier, EqualProbabilitiesGoToTheSmallerLabel) {
    // A seed whose first two skip draws (skip_training 2) are both 0: no booster learns anything,
    // so every label gets the same probability.
    int seed = 1;
    for (;; ++seed) {
        Rng rng(static_cast<std::uint32_t>(seed));
        if (rng.uniform_int(0, 1) == 0 && rng.uniform_int(0, 1) == 0) break;
    }
    const FeatureMap x{{"a", 1.0}};
    for (const int n_classes : {0, 2}) {
        auto classifier = with_options<SGBTClassifier>([&](auto& o) {
            o.skip_training = 2;
            o.n_classes = n_classes;
            o.seed = seed;
        });
        classifier.learn_one(x, 9);
        classifier.learn_one(x, 5);
        EXPECT_EQ(classifier.classes(), (std::vector<Label>{5, 9}));
        EXPECT_EQ(classifier.n_boosters(), n_classes == 2 ? 1u : 2u);
        const ClassProbabilities p = classifier.predict_proba_one(x);
        ASSERT_EQ(p.size(), 2u);
        EXPECT_EQ(p.at(5), 0.5);
        EXPECT_EQ(p.at(9), 0.5);
        EXPECT_EQ(classifier.predict_one(x), 5) << "n_classes " << n_classes;
    }
}

TEST(GradientBooster, LearningAfterAPredictionOfTheSameSampleEqualsLearningAlone) {
    // The first model predicts each sample before learning it (its walks are reused), the second
    // learns alone or after predicting another sample, or a copy of the sample with one value
    // changed in its last bit: every answer must agree bit for bit.
    SGBRRegressor reuse, alone;
    SGBTClassifier reuse_t, alone_t;
    std::uint32_t state = 12345;
    const auto uniform = [&] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    };
    const FeatureMap probe{{"a", 0.3}, {"b", 0.6}, {"c", 0.1}};
    for (int i = 0; i < 3000; ++i) {
        const FeatureMap x{{"a", uniform()}, {"b", uniform()}, {"c", std::floor(uniform() * 8.0)}};
        const double y = x.at("a") > 0.5 ? 2.0 * x.at("b") : x.at("c");
        const Label label = y > 1.0 ? 1 : 0;
        ASSERT_EQ(reuse.predict_one(x), alone.predict_one(x)) << "sample " << i;
        ASSERT_EQ(reuse_t.predict_one(x), alone_t.predict_one(x)) << "sample " << i;
        if (i % 3 == 1) {
            alone.predict_one(probe);
            alone_t.predict_one(probe);
        } else if (i % 3 == 2) {
            FeatureMap nudged = x;
            nudged["a"] = std::nextafter(x.at("a"), 2.0);
            alone.predict_one(nudged);
            alone_t.predict_one(nudged);
        }
        reuse.learn_one(x, y);
        alone.learn_one(x, y);
        reuse_t.learn_one(x, label);
        alone_t.learn_one(x, label);
    }
    EXPECT_EQ(reuse.predict_one(probe), alone.predict_one(probe));
    EXPECT_EQ(reuse_t.predict_proba_one(probe), alone_t.predict_proba_one(probe));
}

TEST(GradientBooster, ATreeHandedOutIsWalkedAgainBeforeItLearns) {
    // A tree reset from outside between a prediction and learning of the same sample: the
    // leaves the prediction found are gone, and learning must walk the tree afresh.
    SGBRRegressor reuse, alone;
    for (int i = 0; i < 400; ++i) {
        const FeatureMap x{{"a", (i % 17) / 17.0}, {"b", (i % 5) * 0.25}};
        const double y = x.at("a") > 0.5 ? 1.0 + x.at("b") : -1.0;
        reuse.predict_one(x);
        alone.predict_one(x);
        reuse.learn_one(x, y);
        alone.learn_one(x, y);
    }
    const FeatureMap x{{"a", 0.9}, {"b", 0.5}};
    reuse.predict_one(x);
    reuse.booster()->tree(0, 0).reset();
    alone.booster()->tree(0, 0).reset();
    reuse.learn_one(x, 2.0);
    alone.learn_one(x, 2.0);
    EXPECT_EQ(reuse.predict_one(x), alone.predict_one(x));
}
