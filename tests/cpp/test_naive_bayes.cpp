#include <gtest/gtest.h>

#include "linear/naive_bayes.hpp"

using namespace quelb;

TEST(NaiveBayesNative, ManyFeaturesStillGiveAProperDistribution) {
    NaiveBayes nb;
    FeatureMap x;
    for (int i = 0; i < 50; ++i) x["f" + std::to_string(i)] = i;
    nb.learn_one(x, 1);
    nb.learn_one(x, 2);
    const auto p = nb.predict_proba_one(x);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_DOUBLE_EQ(p.at(1) + p.at(2), 1.0);
    EXPECT_EQ(nb.predict_one(x), 1);  // tie: the first-learned class
}

TEST(NaiveBayesNative, ResetForgetsEverything) {
    NaiveBayes nb;
    nb.learn_one({{"a", 1.0}}, 4);
    nb.reset();
    EXPECT_EQ(nb.predict_one({{"a", 1.0}}), -1);
    EXPECT_TRUE(nb.predict_proba_one({}).empty());
    EXPECT_EQ(nb.n_samples(), 0);
}
