#include <gtest/gtest.h>

#include "core/rng.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"

using namespace quelb;

// Its trees take its tree options, a change reaching only the trees made afterwards.
TEST(HoeffdingAdaptiveTree, TreesAreBuiltFromItsOptions) {
    HoeffdingAdaptiveTreeClassifier::Options options;
    options.grace_period = 30;
    options.split_criterion = "gini";
    HoeffdingAdaptiveTreeClassifier model(options);
    EXPECT_EQ(model.tree().grace_period, 30);
    EXPECT_EQ(model.tree().split_criterion, ClassSplitMerit::gini);
    model.max_depth = 3;
    EXPECT_EQ(model.tree().max_depth, 20);
    model.reset();
    EXPECT_EQ(model.tree().max_depth, 3);
    EXPECT_EQ(model.tree().split_criterion.text(), "gini");
}

// Label 0 for a while, then label 1 on every tenth sample: the error rate rises from 0 to 0.1, the
// more sensitive warning detector starts an alternate, and the drift detector later promotes
// that very tree (no copy, no new tree), which has learnt from the samples since the warning.
TEST(HoeffdingAdaptiveTree, DriftPromotesTheAlternateStartedByTheWarning) {
    HoeffdingAdaptiveTreeClassifier::Options options;
    options.grace_period = 50;
    HoeffdingAdaptiveTreeClassifier model(options);
    Rng rng(1);
    const HoeffdingTreeClassifier* first = &model.tree();
    const HoeffdingTreeClassifier* alternate = nullptr;
    bool promoted = false;
    for (int i = 0; i < 3000 && !promoted; ++i) {
        const FeatureMap x{{"a", rng.uniform()}};
        model.learn_one(x, i >= 1000 && i % 10 == 0 ? 1 : 0);
        if (!alternate && model.alternate_tree()) {
            EXPECT_GE(i, 1000);
            alternate = model.alternate_tree();
        }
        if (&model.tree() != first) {
            promoted = true;
            ASSERT_NE(alternate, nullptr);
            EXPECT_EQ(&model.tree(), alternate);
            EXPECT_EQ(model.alternate_tree(), nullptr);
            EXPECT_EQ(model.predict_proba_one({{"a", 0.5}}).size(), 2u);
        }
    }
    EXPECT_TRUE(promoted);
}
