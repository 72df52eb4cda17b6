#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "ensembles/arf_regressor.hpp"
#include "ensembles/feature_subset.hpp"
#include "with_options.hpp"

using namespace quelb;

using Names = std::vector<std::string>;

TEST(FeatureSubset, ProjectsWhatTheSampleHasAndEmptyMeansAll) {
    SampleColumns loaded;
    const FeatureMap first{{"d", 4.0}, {"b", 2.0}, {"a", 1.0}, {"c", 3.0}};
    loaded.load(first, true);
    FeatureSubset subset;
    Rng rng(0);
    subset.draw(loaded, rng, 2);
    const Names expected = subset.names();
    ASSERT_EQ(expected.size(), 2u);

    // Projection: the subset's names that the sample has, in subset order; others left out.
    loaded.load({{expected[1], 20.0}, {"z", 9.0}}, true);
    const IndexedSample& z = subset.project(loaded);
    ASSERT_EQ(z.size(), 1u);
    EXPECT_EQ(loaded.index().name(z[0].column), expected[1]);
    EXPECT_EQ(z[0].value, 20.0);

    // A sample without features gives an empty subset: whole samples from then on.
    FeatureSubset none;
    loaded.load({}, true);
    none.draw(loaded, rng, 1);
    EXPECT_TRUE(none.chosen());
    EXPECT_TRUE(none.names().empty());
    loaded.load({{"a", 1.0}, {"z", 2.0}}, true);
    EXPECT_EQ(none.project(loaded).size(), 2u);
}

TEST(ARFRegressorNative, SubsetSizeIsTheRoundedSquareRoot) {
    const std::vector<std::pair<std::size_t, std::size_t>> sizes{{0, 1}, {1, 1}, {2, 1}, {3, 2}, {6, 2},
                                                                 {7, 3}, {12, 3}, {13, 4}, {100, 10}};
    for (auto [n, m] : sizes) EXPECT_EQ(ARFRegressor::subset_size(n), m) << n;
}

TEST(ARFRegressorNative, FirstSampleDrawsEachSubsetThenItsPoissonWeight) {
    ARFRegressor forest;
    forest.learn_one({{"c", 0.3}, {"a", 0.1}, {"d", 0.4}, {"b", 0.2}}, 1.0);
    const std::vector<std::pair<Names, int>> expected{{{"a", "c"}, 12}, {{"c", "a"}, 9}, {{"b", "c"}, 6}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& member = forest.members()[i];
        EXPECT_EQ(member.features.names(), expected[i].first) << i;
        const auto root = member.trees.model->node(0);
        EXPECT_EQ(root.samples_seen, expected[i].second) << i;
        Names seen = expected[i].first;
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(root.features, seen) << i;
    }
}

TEST(ARFRegressorNative, MembersOnlyEverSeeTheirSubsets) {
    auto forest = with_options<ARFRegressor>([](auto& o) {
        o.n_models = 5;
        o.seed = 2;
    });
    Rng rng(3);
    forest.learn_one({{"a", 0.0}, {"b", 0.0}, {"c", 0.0}, {"d", 0.0}, {"e", 0.0}}, 0.0);
    for (int t = 0; t < 300; ++t) {
        FeatureMap x{{"a", rng.uniform()}, {"b", rng.uniform()}, {"e", rng.uniform()}, {"new", 1.0}};
        if (t % 2) x.erase("a");
        forest.learn_one(x, rng.uniform());
    }
    for (const auto& member : forest.members()) {
        ASSERT_EQ(member.features.names().size(), 2u);
        Names subset = member.features.names();
        std::sort(subset.begin(), subset.end());
        const HoeffdingTreeRegressor& tree = *member.trees.model;
        for (std::uint32_t i = 0; i < tree.n_nodes(); ++i) {
            const auto node = tree.node(i);
            Names names = node.features;
            if (!node.is_leaf) names.push_back(node.split_feature);
            for (const std::string& name : names) {
                EXPECT_TRUE(std::binary_search(subset.begin(), subset.end(), name)) << name;
            }
        }
    }
    EXPECT_GT(forest.members()[0].trees.model->n_nodes(), 1u);  // grown, tests included
}

TEST(ARFRegressorNative, DetectorsSeeTheAbsoluteErrorBeforeTraining) {
    auto forest = with_options<ARFRegressor>([](auto& o) { o.n_models = 3; });
    forest.learn_one({{"a", 1.0}}, -4.0);
    forest.learn_one({{"a", 1.0}}, -4.0);
    for (const auto& member : forest.members()) {
        // Fresh trees answer 0, then the mean of the -4s they learnt (or 0 with a weight of 0).
        const double second_error = member.trees.model->node(0).samples_seen > 0 ? 0.0 : 4.0;
        EXPECT_EQ(member.trees.drift_detector().width(), 2.0);
        EXPECT_DOUBLE_EQ(member.trees.drift_detector().estimation(), (4.0 + second_error) / 2.0);
    }
}
