#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/rng.hpp"
#include "ensembles/random_patches.hpp"
#include "with_options.hpp"

using namespace quelb;

namespace {

using Names = std::vector<std::string>;

const FeatureMap kFiveFeatures{{"e", 5.0}, {"c", 3.0}, {"a", 1.0}, {"d", 4.0}, {"b", 2.0}};
const std::vector<int> kFirstDrawsOfSeedZero{7, 8, 11, 4, 5, 6, 6, 10, 6, 2};

// Weight of class 1 over class 0 at the (single-leaf) tree, read from its class shares.
double class_ratio(HoeffdingTreeClassifier& tree, const FeatureMap& x) {
    const ClassProbabilities p = tree.predict_proba_one(x);
    return p.at(1) / p.at(0);
}

}  // namespace

TEST(RandomPatches, SubsetsOfTheFirstSample) {
    const std::vector<Names> expected{{"a", "c", "e"}, {"a", "c", "d"}, {"b", "c", "e"}};
    // The subsets depend on the seed, the member and the sorted names only: not on lambda_value or
    // the mode (other than "resampling"), and the same for both ensembles.
    for (const std::string mode : {"patches", "subspaces", "PATCHES"}) {
        auto classifier = with_options<SRPClassifier>([&](auto& o) {
            o.n_models = 3;
            o.lambda_value = 2.0;
            o.training_method = mode;
        });
        auto regressor = with_options<SRPRegressor>([&](auto& o) {
            o.n_models = 3;
            o.training_method = mode;
        });
        classifier.learn_one(kFiveFeatures, 1);
        regressor.learn_one(kFiveFeatures, 1.0);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(classifier.members()[i].features.names(), expected[i]) << mode << " member " << i;
            EXPECT_EQ(regressor.members()[i].features.names(), expected[i]) << mode << " member " << i;
        }
    }
    auto resampling = with_options<SRPClassifier>([](auto& o) {
        o.n_models = 3;
        o.training_method = "resampling";
    });
    resampling.learn_one(kFiveFeatures, 1);
    for (const auto& member : resampling.members()) EXPECT_TRUE(member.features.names().empty());
}

TEST(RandomPatches, SubsetSizes) {
    EXPECT_EQ(patch_size(10, 0.6), 6u);
    EXPECT_EQ(patch_size(5, 0.6), 3u);
    EXPECT_EQ(patch_size(1, 0.6), 1u);
    EXPECT_EQ(patch_size(5, 0.5), 3u);  // 2.5 rounds away from zero
    EXPECT_EQ(patch_size(5, 1.5), 5u);
    EXPECT_EQ(patch_size(5, -1.0), 1u);
    EXPECT_EQ(patch_size(5, std::nan("")), 5u);
    auto ten = with_options<SRPClassifier>([](auto& o) { o.n_models = 2; });
    FeatureMap x;
    for (int f = 0; f < 10; ++f) x.emplace("f" + std::to_string(f), f);
    ten.learn_one(x, 0);
    for (const auto& member : ten.members()) EXPECT_EQ(member.features.names().size(), 6u);
}

TEST(RandomPatches, SubspacesNeverDrawFromTheEnsembleGenerator) {
    // Three samples in "subspaces": every member learns each exactly once. Then one sample in
    // "resampling": its weights are the first Poisson draws of the seed, so nothing drew before.
    auto classifier = with_options<SRPClassifier>([](auto& o) {
        o.subspace_fraction = 1.0;
        o.training_method = "subspaces";
    });
    const FeatureMap x{{"a", 1.0}, {"b", 2.0}};
    for (int t = 0; t < 3; ++t) classifier.learn_one(x, 0);
    classifier.training_method = "resampling";
    classifier.learn_one(x, 1);
    for (std::size_t i = 0; i < kFirstDrawsOfSeedZero.size(); ++i) {
        HoeffdingTreeClassifier& tree = *classifier.members()[i].trees.model;
        EXPECT_DOUBLE_EQ(class_ratio(tree, x), kFirstDrawsOfSeedZero[i] / 3.0) << "member " << i;
    }
}

TEST(RandomPatches, ModesOtherThanTheTwoNamedOnesArePatches) {
    Rng rng(5);
    const auto four_members = [](auto& o) {
        o.n_models = 4;
        o.seed = 3;
    };
    auto named = with_options<SRPClassifier>(four_members);
    auto capitals = with_options<SRPClassifier>([&](auto& o) {
        four_members(o);
        o.training_method = "Subspaces";
    });
    for (int t = 0; t < 500; ++t) {
        const FeatureMap x{{"a", rng.uniform()}, {"b", rng.uniform()}, {"c", rng.uniform()}};
        const Label y = x.at("a") + x.at("b") > 1.0 ? 1 : 0;
        ASSERT_EQ(named.predict_proba_one(x), capitals.predict_proba_one(x)) << t;
        named.learn_one(x, y);
        capitals.learn_one(x, y);
    }
}

TEST(RandomPatches, MembersOnlyEverSeeTheirSubsets) {
    auto regressor = with_options<SRPRegressor>([](auto& o) {
        o.n_models = 4;
        o.seed = 2;
        o.grace_period = 50;
    });
    Rng rng(3);
    for (int t = 0; t < 600; ++t) {
        FeatureMap x{{"a", rng.uniform()}, {"b", rng.uniform()}, {"c", rng.uniform()}, {"d", rng.uniform()}};
        if (t > 0 && t % 3 == 0) x.erase("a");
        if (t > 0) x.emplace("late", rng.uniform());  // after the subsets were drawn
        regressor.learn_one(x, x.count("a") ? 2.0 * x.at("a") + x.at("b") : x.at("b"));
    }
    bool grown = false;
    for (const auto& member : regressor.members()) {
        const Names& subset = member.features.names();
        ASSERT_EQ(subset.size(), 2u);
        const HoeffdingTreeRegressor& tree = *member.trees.model;
        grown = grown || tree.n_nodes() > 1;
        for (std::uint32_t i = 0; i < tree.n_nodes(); ++i) {
            const auto node = tree.node(i);
            Names names = node.features;
            if (!node.is_leaf) names.push_back(node.split_feature);
            for (const std::string& name : names) {
                EXPECT_TRUE(std::find(subset.begin(), subset.end(), name) != subset.end()) << name;
            }
        }
    }
    EXPECT_TRUE(grown);
}

TEST(RandomPatches, FirstSampleWithoutFeaturesMeansWholeSamples) {
    auto regressor = with_options<SRPRegressor>([](auto& o) {
        o.n_models = 3;
        o.grace_period = 50;
    });
    regressor.learn_one({}, 1.0);
    for (const auto& member : regressor.members()) {
        EXPECT_TRUE(member.features.chosen());
        EXPECT_TRUE(member.features.names().empty());
    }
    for (int t = 0; t < 100; ++t) regressor.learn_one({{"a", 1.0}, {"b", 2.0}, {"c", t % 2}}, 1.0);
    for (const auto& member : regressor.members()) {
        EXPECT_EQ(member.trees.model->node(0).features, (Names{"a", "b", "c"}));
    }
}
