#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "core/state.hpp"
#include "ensembles/arf_classifier.hpp"
#include "ensembles/gradient_boosting.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/sgt_classifier.hpp"
#include "trees/tree_links.hpp"
#include "trees/tree_nodes.hpp"
#include "with_options.hpp"

using namespace quelb;

namespace {

template <class T>
std::string saved(const T& object) {
    StateWriter out;
    object.save_state(out);
    return out.bytes();
}

// Restores `from` into `into` and checks that the copy saves the very same bytes.
template <class T>
void restore(const T& from, T& into) {
    const std::string bytes = saved(from);
    StateReader in(bytes);
    into.load_state(in);
    in.expect_end();
    ASSERT_EQ(saved(into), bytes);
}

// Three features; the label follows `a` until `change`, then `b`, with 10% noise.
struct Concepts {
    Rng rng{7};
    int change;
    FeatureMap x;
    Label y = 0;
    void next(int i) {
        x = {{"a", rng.uniform()}, {"b", rng.uniform()}, {"c", rng.uniform()}};
        const double v = i < change ? x.at("a") : x.at("b");
        y = v > 0.5 ? 1 : 0;
        if (rng.uniform() < 0.1) y = 1 - y;
    }
};

// A tree with grace period 20 after 600 samples of `a`'s concept, split at least once.
template <class Tree>
std::unique_ptr<Tree> trained_tree() {
    typename Tree::Options options;
    options.grace_period = 20;
    auto tree = std::make_unique<Tree>(options);
    Concepts stream{Rng(3), 100000};
    for (int i = 0; i < 600; ++i) {
        stream.next(i);
        tree->learn_one(stream.x, stream.y);
    }
    EXPECT_GT(tree->n_nodes(), 1u);
    return tree;
}

bool same_distribution(const ClassProbabilities& a, const ClassProbabilities& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [label, p] : a) {
        const auto it = b.find(label);
        if (it == b.end() || std::memcmp(&p, &it->second, sizeof p) != 0) return false;
    }
    return true;
}

}  // namespace

// A forest saved while a member grows a background tree after a warning: the copy promotes that
// background at the same drift as the original and agrees with it to the last bit throughout.
TEST(TreePersistence, ForestWithBackgroundTreeDriftsLikeTheOriginal) {
    auto forest = with_options<ARFClassifier>([](auto& o) {
        o.n_models = 5;
        o.seed = 3;
        o.grace_period = 20;
    });
    Concepts stream{Rng(7), 1500};
    int i = 0;
    std::size_t warned = forest.members().size();
    for (; i < 6000 && warned == forest.members().size(); ++i) {
        stream.next(i);
        forest.learn_one(stream.x, stream.y);
        for (std::size_t m = 0; m < forest.members().size(); ++m) {
            if (forest.members()[m].trees.background) warned = m;
        }
    }
    ASSERT_LT(warned, forest.members().size()) << "no member warned";

    auto copy = with_options<ARFClassifier>([](auto& o) { o.n_models = 1; });
    restore(forest, copy);
    ASSERT_TRUE(copy.members()[warned].trees.background);
    bool promoted = false;
    for (; i < 12000 && !promoted; ++i) {
        stream.next(i);
        ASSERT_TRUE(same_distribution(forest.predict_proba_one(stream.x), copy.predict_proba_one(stream.x))) << i;
        forest.learn_one(stream.x, stream.y);
        copy.learn_one(stream.x, stream.y);
        const auto& original = forest.members()[warned].trees;
        ASSERT_EQ(original.background == nullptr, copy.members()[warned].trees.background == nullptr) << i;
        promoted = original.background == nullptr;
    }
    EXPECT_TRUE(promoted);
    EXPECT_EQ(saved(copy), saved(forest));
}

// The trees an ensemble grows take only the ensemble's options (and the trees' defaults), and a
// booster its owner's: a state that says otherwise was forged, and could ask a loaded member for
// any amount of work, so it is refused.
TEST(TreePersistence, OptionsNoEnsembleGivesItsTreesAreRefused) {
    auto forest = with_options<ARFClassifier>([](auto& o) {
        o.n_models = 2;
        o.grace_period = 20;
    });
    Concepts stream{Rng(7), 1500};
    for (int i = 0; i < 200; ++i) {
        stream.next(i);
        forest.learn_one(stream.x, stream.y);
    }
    ARFClassifier copy;
    restore(forest, copy);  // ARF's own subspace size on its trees is theirs to have
    const_cast<HoeffdingTreeClassifier&>(*forest.members()[1].trees.model).n_split_points = 1 << 30;
    const std::string forged_member = saved(forest);
    StateReader member_in(forged_member);
    EXPECT_THROW(copy.load_state(member_in), StateError);

    SGBRRegressor booster;
    for (int i = 0; i < 60; ++i) booster.learn_one(FeatureMap{{"a", 0.1 * i}, {"b", 1.0}}, 0.5 * i);
    booster.booster()->tree(0, 0).tie_threshold = 0.5;
    const std::string forged_tree = saved(booster);
    StateReader tree_in(forged_tree);
    SGBRRegressor tree_copy;
    EXPECT_THROW(tree_copy.load_state(tree_in), StateError);

    // The owner's options of one regressor before the booster of another that repeats each
    // sample three times: the owner says one.
    const std::string once = saved(SGBRRegressor());
    StateWriter empty_columns;
    SampleColumns().save_state(empty_columns);
    const std::size_t options_size = once.size() - empty_columns.bytes().size() - 1;
    auto thrice = with_options<SGBRRegressor>([](auto& o) { o.multiply_hessian_by = 3; });
    thrice.learn_one(FeatureMap{{"a", 1.0}}, 1.0);
    const std::string spliced = once.substr(0, options_size) + saved(thrice).substr(options_size);
    StateReader spliced_in(spliced);
    SGBRRegressor spliced_copy;
    EXPECT_THROW(spliced_copy.load_state(spliced_in), StateError);
}

// An adaptive tree saved with an alternate: both promote it at the same sample.
TEST(TreePersistence, AdaptiveTreeWithAlternatePromotesItLikeTheOriginal) {
    HoeffdingAdaptiveTreeClassifier::Options options;
    options.grace_period = 50;
    HoeffdingAdaptiveTreeClassifier model(options);
    Rng rng(1);
    auto label = [](int i) { return i >= 1000 && i % 10 == 0 ? 1 : 0; };
    int i = 0;
    for (; i < 3000 && !model.alternate_tree(); ++i) model.learn_one({{"a", rng.uniform()}}, label(i));
    ASSERT_NE(model.alternate_tree(), nullptr);

    HoeffdingAdaptiveTreeClassifier copy;
    restore(model, copy);
    ASSERT_NE(copy.alternate_tree(), nullptr);
    const HoeffdingTreeClassifier* first = &model.tree();
    const HoeffdingTreeClassifier* copy_first = &copy.tree();
    bool promoted = false;
    for (; i < 6000 && !promoted; ++i) {
        const FeatureMap x{{"a", rng.uniform()}};
        ASSERT_TRUE(same_distribution(model.predict_proba_one(x), copy.predict_proba_one(x))) << i;
        model.learn_one(x, label(i));
        copy.learn_one(x, label(i));
        promoted = &model.tree() != first;
        ASSERT_EQ(promoted, &copy.tree() != copy_first) << i;
    }
    EXPECT_TRUE(promoted);
    EXPECT_EQ(saved(copy), saved(model));
}

// Sorted values make each feature's E-BST a chain as long as the stream: saving and restoring it
// must neither recurse nor lose a node.
TEST(TreePersistence, ModelTreeWithChainedValueTreesRoundTrips) {
    FIMTDDRegressor model(model_tree_options(1000000, 1e-07, 20, "adaptive"));
    for (int i = 0; i < 5000; ++i) model.learn_one({{"a", i * 0.5}, {"b", -i * 0.25}}, i * 0.01);
    FIMTDDRegressor copy;
    restore(model, copy);
    for (int i = 0; i < 100; ++i) {
        const FeatureMap x{{"a", i * 250.5}, {"b", -i * 125.0}};
        ASSERT_EQ(model.predict_one(x), copy.predict_one(x));
        model.learn_one(x, i * 0.3);
        copy.learn_one(x, i * 0.3);
    }
    EXPECT_EQ(saved(copy), saved(model));
}

// A member tree read against columns that lack its features is refused, not left to index past
// them later.
TEST(TreePersistence, TreeReadAgainstTooFewColumnsIsRefused) {
    const auto tree = trained_tree<HoeffdingTreeClassifier>();
    StateWriter out;
    tree->save_tree(out);
    StateReader in(out.bytes());
    HoeffdingTreeClassifier copy;
    EXPECT_THROW(copy.load_tree(in, std::make_shared<SampleColumns>()), StateError);
}

namespace {

std::vector<TreeNode> nodes_from(const std::vector<std::vector<std::uint32_t>>& layout) {
    // {leaf} or {column, left, right}
    std::vector<TreeNode> nodes;
    for (const auto& n : layout) {
        TreeNode node;
        if (n.size() == 1) {
            node.leaf = n[0];
        } else {
            node.split_column = n[0];
            node.left = n[1];
            node.right = n[2];
        }
        nodes.push_back(node);
    }
    return nodes;
}

// Saves the nodes and reads them back against two columns and the given number of leaf records.
void reload(const std::vector<std::vector<std::uint32_t>>& layout, std::size_t n_leaves) {
    StateWriter out;
    save_tree_nodes(out, nodes_from(layout));
    StateReader in(out.bytes());
    std::vector<TreeNode> nodes;
    load_tree_nodes(in, nodes, 2);
    check_leaf_records(in, nodes, n_leaves);
}

}  // namespace

// States of format version 1 end with the classes seen, which are read and dropped.
TEST(TreePersistence, GradientTreeReadsStatesOfFormatOne) {
    const auto model = trained_tree<SGTClassifier>();
    StateWriter classes;
    classes.seq(std::vector<Label>{0, 1}, [&](StateWriter&, Label label) { classes.i32(label); });
    const std::string bytes = saved(*model), old_bytes = bytes + classes.bytes();
    SGTClassifier copy;
    StateReader in(old_bytes, 1);
    copy.load_state(in);
    in.expect_end();
    EXPECT_EQ(saved(copy), bytes);
    // A state of this build has no such list.
    StateReader current(old_bytes);
    EXPECT_THROW(
        {
            copy.load_state(current);
            current.expect_end();
        },
        StateError);
}

TEST(TreePersistence, NodeArraysThatAreNotOneTreeAreRefused) {
    EXPECT_NO_THROW(reload({{0, 1, 2}, {0}, {1, 3, 4}, {1}, {2}}, 3));
    EXPECT_THROW(reload({}, 0), StateError);                                  // no root
    EXPECT_THROW(reload({{0, 1, 5}, {0}, {1}}, 2), StateError);               // child out of range
    EXPECT_THROW(reload({{0, 1, 0}, {0}}, 1), StateError);                    // cycle back to the root
    EXPECT_THROW(reload({{0, 1, 1}, {0}}, 1), StateError);                    // one child twice
    EXPECT_THROW(reload({{0, 1, 2}, {0}, {1}, {2}}, 3), StateError);          // a node outside the tree
    EXPECT_THROW(reload({{3, 1, 2}, {0}, {1}}, 2), StateError);               // column out of range
    EXPECT_THROW(reload({{0, 1, 2}, {0}, {0}}, 2), StateError);               // a leaf record shared
    EXPECT_THROW(reload({{0, 1, 2}, {0}, {1}}, 3), StateError);               // a leaf record unowned
    EXPECT_THROW(reload({{0, 1, 2}, {0}, {2}}, 2), StateError);               // leaf index out of range
}

TEST(TreePersistence, LinkCheckWalksDeepChainsWithoutRecursion) {
    // A chain of a million nodes, then the same chain closed into a cycle.
    const std::size_t n = 1000000;
    std::vector<std::size_t> next(n);
    for (std::size_t i = 0; i + 1 < n; ++i) next[i] = i + 1;
    auto children = [&](std::size_t i, auto&& link) {
        if (i + 1 < n || next[i] != n) link(next[i]);
    };
    next[n - 1] = n;  // no child
    StateReader in("");
    EXPECT_NO_THROW(check_tree_links(in, n, children, "a chain"));
    next[n - 1] = 0;
    EXPECT_THROW(check_tree_links(in, n, children, "a chain"), StateError);
}
