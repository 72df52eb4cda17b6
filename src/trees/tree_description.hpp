#pragma once
// A tree's structure as inspection reports it, built on demand from any of the trees (their
// describe()) so that the trees themselves keep nothing for it: one flat array of nodes with the
// feature names resolved, and the walks, counts and Graphviz text written once for all trees.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/feature_index.hpp"
#include "core/feature_map.hpp"
#include "core/types.hpp"
#include "trees/tree_nodes.hpp"

namespace quelb {

struct TreeDescription {
    static constexpr std::int32_t kNone = -1;

    struct Node {
        bool is_leaf = true;
        // Tests: a value of `feature` <= threshold goes left; a missing feature reads 0.0 and a
        // NaN goes right (what every tree's walk does).
        std::string feature;
        double threshold = 0.0;
        std::int32_t left = kNone, right = kNone;
        // The root of a subtree grown in its place since a drift warning, or kNone.
        std::int32_t alternate = kNone;
        // Leaves: what they learnt from; tests: the sum over their children (set by finish()).
        double samples_seen = 0.0;
        // Leaves: how the leaf answers now ("majority_class", "naive_bayes", "mean", "linear",
        // "perceptron", "score"), the class or value it answers without looking at the sample
        // (the majority class, the target mean, the score), and the statistics behind it.
        std::string answer_mode;
        bool classifies = false;
        Label label = 0;
        double value = 0.0;
        std::vector<std::pair<Label, double>> class_counts;  // classifiers but the gradient tree
        bool has_moments = false;  // regressors: the targets' mean and variance
        double mean = 0.0;
        double variance = 0.0;
    };

    // nodes[0] is the root of the tree that answers.
    std::vector<Node> nodes;

    // Appends a node and returns its index.
    std::int32_t add(Node node);
    // Appends `subtree` as the alternate of node `at` (before finish()).
    void attach_alternate(std::int32_t at, const TreeDescription& subtree);
    // Sets the tests' samples_seen from their leaves; call once all nodes are in.
    void finish();

    // Of the tree that answers: alternates are left out.
    std::size_t n_nodes() const;
    std::size_t n_leaves() const;
    // Edges on the longest path from the root to a leaf (0 for a single leaf).
    std::size_t height() const;

    // One step of a sample's walk: the test's node, feature, threshold and the value read.
    struct Step {
        std::int32_t node;
        const Node* test;
        bool missing;  // the sample lacks the feature: the test read 0.0
        double value;
        bool left;
    };
    // The tests x passes from the root and the leaf it reaches.
    std::vector<Step> walk(const FeatureMap& x, std::int32_t& leaf) const;

    // Graphviz text: tests as boxes, leaves as ellipses, alternates as dashed edges.
    std::string to_dot() const;
};

// The description of a tree stored as TreeNode array, node for node; describe_leaf(leaf index,
// out) fills in a leaf's answer and statistics.
template <class DescribeLeaf>
TreeDescription describe_tree_nodes(const std::vector<TreeNode>& nodes, const FeatureIndex& names,
                                    DescribeLeaf&& describe_leaf) {
    TreeDescription description;
    for (const TreeNode& node : nodes) {
        TreeDescription::Node out;
        out.is_leaf = node.is_leaf();
        if (out.is_leaf) {
            describe_leaf(node.leaf, out);
        } else {
            out.feature = names.name(node.split_column);
            out.threshold = node.split_threshold;
            out.left = static_cast<std::int32_t>(node.left);
            out.right = static_cast<std::int32_t>(node.right);
        }
        description.add(std::move(out));
    }
    description.finish();
    return description;
}

}  // namespace quelb
