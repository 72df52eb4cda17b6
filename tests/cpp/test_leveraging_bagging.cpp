#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/rng.hpp"
#include "ensembles/leveraging_bagging.hpp"
#include "with_options.hpp"

using namespace quelb;

namespace {

const std::vector<int> kFirstDrawsOfSeedZero{7, 8, 11, 4, 5, 6, 6, 10, 6, 2};

FeatureMap sample(double a, double b) { return {{"a", a}, {"b", b}}; }

}  // namespace

TEST(LeveragingBagging, FirstSampleIsLearntThePoissonNumberOfTimes) {
    LeveragingBaggingClassifier classifier;
    const FeatureMap x = sample(0.5, 1.5);
    classifier.learn_one(x, 0);
    ASSERT_EQ(classifier.members().size(), kFirstDrawsOfSeedZero.size());
    for (std::size_t i = 0; i < kFirstDrawsOfSeedZero.size(); ++i) {
        // One more sample of class 1 makes the leaf's class shares reveal the first weight.
        HoeffdingTreeClassifier& tree = *classifier.members()[i].model;
        tree.learn_one(x, 1);
        const ClassProbabilities p = tree.predict_proba_one(x);
        EXPECT_DOUBLE_EQ(p.at(0) / p.at(1), kFirstDrawsOfSeedZero[i]) << "classifier member " << i;
    }

    // Mean leaves: after k copies of target 1 and one of target 0 a tree predicts k / (k + 1).
    auto regressor = with_options<LeveragingBaggingRegressor>([](auto& o) { o.leaf_prediction = "mean"; });
    regressor.learn_one(x, 1.0);
    for (std::size_t i = 0; i < kFirstDrawsOfSeedZero.size(); ++i) {
        FIMTDDRegressor& tree = *regressor.members()[i].model;
        tree.learn_one(x, 0.0);
        const double k = kFirstDrawsOfSeedZero[i];
        EXPECT_DOUBLE_EQ(tree.predict_one(x), k / (k + 1.0)) << "regressor member " << i;
    }
}

TEST(LeveragingBagging, MemberTreesStartFromTheEnsembleSeedPlusTheirIndex) {
    // Adaptive leaves draw their perceptron weights from the tree's generator, so two trees agree
    // on a stream only when their generators started from the same seed.
    auto seed_zero = with_options<LeveragingBaggingRegressor>([](auto& o) { o.n_models = 4; });
    auto seed_one = with_options<LeveragingBaggingRegressor>([](auto& o) {
        o.n_models = 4;
        o.seed = 1;
    });
    Rng rng(3);
    std::vector<FeatureMap> xs;
    std::vector<double> ys;
    for (int t = 0; t < 600; ++t) {
        const double a = rng.uniform(), b = rng.uniform();
        xs.push_back(sample(a, b));
        ys.push_back(3.0 * a - b + 0.1 * rng.uniform());
    }
    auto predictions = [&](FIMTDDRegressor& tree) {
        std::vector<double> out;
        for (std::size_t t = 0; t < xs.size(); ++t) {
            out.push_back(tree.predict_one(xs[t]));
            tree.learn_one(xs[t], ys[t]);
        }
        return out;
    };
    std::vector<std::vector<double>> zero, one;
    for (int i = 0; i < 4; ++i) {
        zero.push_back(predictions(*seed_zero.members()[i].model));
        one.push_back(predictions(*seed_one.members()[i].model));
    }
    for (int i = 0; i + 1 < 4; ++i) EXPECT_EQ(one[i], zero[i + 1]) << "member " << i;
    EXPECT_NE(zero[0], zero[1]);
}

TEST(LeveragingBagging, RegressorScalesTheErrorByTheTargetSpreadBeforeLearning) {
    auto regressor = with_options<LeveragingBaggingRegressor>([](auto& o) {
        o.n_models = 3;
        o.leaf_prediction = "mean";
    });
    const FeatureMap x = sample(1.0, 2.0);
    // First sample: nothing learnt yet, so the error is |0 - 3| with scale 1.
    regressor.learn_one(x, 3.0);
    for (const auto& member : regressor.members()) EXPECT_DOUBLE_EQ(member.drift_detector().estimation(), 3.0);
    // Targets 3 and 7 have population deviation 2; the trees (which learnt 3) err by 4.
    regressor.learn_one(x, 7.0);
    for (const auto& member : regressor.members()) EXPECT_DOUBLE_EQ(member.drift_detector().estimation(), 2.5);

    // A constant target keeps the scale at 1.
    auto constant = with_options<LeveragingBaggingRegressor>([](auto& o) {
        o.n_models = 2;
        o.leaf_prediction = "mean";
    });
    constant.learn_one(x, 5.0);
    constant.learn_one(x, 5.0);
    for (const auto& member : constant.members()) EXPECT_DOUBLE_EQ(member.drift_detector().estimation(), 2.5);
}

TEST(LeveragingBagging, MemberCounts) {
    const auto n_models = [](int n) { return [n](auto& o) { o.n_models = n; }; };
    EXPECT_EQ(with_options<LeveragingBaggingClassifier>(n_models(0)).members().size(), 1u);
    EXPECT_EQ(with_options<LeveragingBaggingClassifier>(n_models(-4)).members().size(), 1u);
    auto empty = with_options<LeveragingBaggingRegressor>(n_models(0));
    EXPECT_TRUE(empty.members().empty());
    empty.learn_one(sample(1.0, 1.0), 2.0);
    EXPECT_EQ(empty.predict_one(sample(1.0, 1.0)), 0.0);
    try {
        with_options<LeveragingBaggingRegressor>(n_models(-1));
        FAIL() << "a negative n_models must be rejected";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector too long");
    }
    // A failed reset leaves the ensemble as it was.
    auto regressor = with_options<LeveragingBaggingRegressor>(n_models(2));
    regressor.n_models = -2;
    EXPECT_THROW(regressor.reset(), std::length_error);
    EXPECT_EQ(regressor.members().size(), 2u);
}

TEST(LeveragingBaggingRegressor, LearningAfterAPredictionOfTheSameSampleEqualsLearningAlone) {
    // The first ensemble predicts each sample before learning it (its members' answers are
    // reused); the second learns alone, or after predicting another sample or a copy of the
    // sample with one value changed in its last bit. Drifts included, every answer must agree.
    LeveragingBaggingRegressor reuse, alone;
    std::uint32_t state = 777;
    const auto uniform = [&] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    };
    const FeatureMap probe{{"a", 0.25}, {"b", 0.75}};
    for (int i = 0; i < 4000; ++i) {
        const FeatureMap x{{"a", uniform()}, {"b", uniform()}};
        // The concept flips halfway, so that members drift and are replaced.
        const double y = (i < 2000) == (x.at("a") > 0.5) ? 3.0 * x.at("b") : -2.0;
        ASSERT_EQ(reuse.predict_one(x), alone.predict_one(x)) << "sample " << i;
        if (i % 3 == 1) {
            alone.predict_one(probe);
        } else if (i % 3 == 2) {
            FeatureMap nudged = x;
            nudged["b"] = std::nextafter(x.at("b"), 2.0);
            alone.predict_one(nudged);
        }
        if (i == 3000) {
            // Members handed out may change between a prediction and learning.
            reuse.predict_one(x);
            reuse.members()[0].model->reset();
            alone.members()[0].model->reset();
        }
        reuse.learn_one(x, y);
        alone.learn_one(x, y);
    }
    EXPECT_EQ(reuse.predict_one(probe), alone.predict_one(probe));
}
