#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

using namespace quelb;

namespace {

// A seeded stream of three noisy numeric features with a three-class target; `scale` spreads
// the feature values over orders of magnitude.
std::vector<std::pair<FeatureMap, Label>> noisy_stream(int n, std::uint32_t seed, double scale = 1.0) {
    Rng rng(seed);
    std::vector<std::pair<FeatureMap, Label>> rows;
    for (int i = 0; i < n; ++i) {
        const double a = rng.uniform(), b = rng.uniform(), c = rng.uniform();
        Label y = a + 0.3 * b > 0.8 ? 2 : (a > 0.4 ? 1 : 0);
        if (rng.uniform() < 0.1) y = static_cast<Label>(rng.uniform_below(3));
        FeatureMap x{{"a", a * scale}, {"b", b / scale}};
        if (i % 7 != 0) x.emplace("c", i % 11 == 0 ? 0.5 : c);  // sometimes missing, often repeated
        rows.emplace_back(std::move(x), y);
    }
    return rows;
}

HoeffdingTreeClassifier::Options options(int grace_period, double split_confidence = 1e-07, int max_depth = 20) {
    HoeffdingTreeClassifier::Options o;
    o.grace_period = grace_period;
    o.split_confidence = split_confidence;
    o.max_depth = max_depth;
    return o;
}

std::vector<std::pair<Label, double>> proba(HoeffdingTreeClassifier& tree, const FeatureMap& x) {
    std::vector<std::pair<Label, double>> out;
    tree.predict_proba_into(x, out);
    return out;
}

}  // namespace

TEST(HoeffdingTreeNative, RepeatedLearningEqualsThatManyCalls) {
    for (const char* mode : {"mc", "nb", "nba"}) {
        for (const char* criterion : {"info_gain", "gini"}) {
          for (double scale : {1.0, 1e-6, 1e6}) {
            HoeffdingTreeClassifier::Options o = options(10, 0.01);
            o.split_criterion = criterion;
            o.leaf_prediction = mode;
            HoeffdingTreeClassifier batched(o), single(o);
            for (HoeffdingTreeClassifier* t : {&batched, &single}) {
                t->subspace_size = 2;
                t->reseed(77);
            }
            Rng weights(3);
            for (const auto& [x, y] : noisy_stream(1500, 11, scale)) {
                const int k = weights.poisson(4.0);
                const Label expected = single.predict_one(x);
                for (int i = 0; i < k; ++i) single.learn_one(x, y);
                ASSERT_EQ(batched.predict_then_learn(x, y, k), expected);
                ASSERT_EQ(proba(batched, x), proba(single, x)) << mode << " " << criterion;
                ASSERT_EQ(batched.leaf_counters(), single.leaf_counters()) << mode << " " << criterion;
            }
            EXPECT_GT(single.n_nodes(), 5u) << "the stream should grow the tree";
            EXPECT_EQ(batched.n_nodes(), single.n_nodes());
          }
        }
    }
}

TEST(HoeffdingTreeNative, SingleClassNeverSplits) {
    HoeffdingTreeClassifier tree(options(2));
    for (const auto& [x, y] : noisy_stream(500, 5)) tree.learn_one(x, 4);
    EXPECT_EQ(tree.n_nodes(), 1u);
}

TEST(HoeffdingTreeNative, SingleFeatureSplitsAtTheFirstFiniteMerit) {
    HoeffdingTreeClassifier tree(options(1));
    tree.learn_one({{"x", 0.0}}, 0);
    EXPECT_EQ(tree.n_nodes(), 1u);  // one class seen so far
    tree.learn_one({{"x", 1.0}}, 1);
    EXPECT_EQ(tree.n_nodes(), 3u);
    // Equal merits everywhere: the lowest candidate threshold, 1/11, wins.
    EXPECT_EQ(tree.predict_one({{"x", 0.09}}), 0);
    EXPECT_EQ(tree.predict_one({{"x", 0.0915}}), 1);
}

TEST(HoeffdingTreeNative, NoSplitAtDepthLimitOrWithoutCandidates) {
    HoeffdingTreeClassifier shallow(options(1, 1e-7, 0));
    HoeffdingTreeClassifier no_points(options(1));
    no_points.n_split_points = 0;
    HoeffdingTreeClassifier constant(options(1));
    for (int i = 0; i < 200; ++i) {
        const double v = (i % 2) ? 1.0 : 0.0;
        shallow.learn_one({{"x", v}}, i % 2);
        no_points.learn_one({{"x", v}}, i % 2);
        constant.learn_one({{"x", 5.0}}, i % 2);  // min == max: no threshold
    }
    EXPECT_EQ(shallow.n_nodes(), 1u);
    EXPECT_EQ(no_points.n_nodes(), 1u);
    EXPECT_EQ(constant.n_nodes(), 1u);
}

TEST(HoeffdingTreeNative, SubspaceShuffleFollowsTheSeed) {
    auto grow = [](std::uint32_t seed) {
        HoeffdingTreeClassifier tree(options(20, 0.01));
        tree.subspace_size = 1;
        tree.reseed(seed);
        std::vector<std::vector<std::pair<Label, double>>> answers;
        for (const auto& [x, y] : noisy_stream(800, 21)) {
            tree.learn_one(x, y);
            answers.push_back(proba(tree, x));
        }
        return answers;
    };
    EXPECT_EQ(grow(5), grow(5));
    EXPECT_NE(grow(5), grow(6));
}
