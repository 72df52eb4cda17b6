#pragma once
// Binary classification tree whose leaves hold a raw score (log-odds) fitted by Newton steps on
// the logistic loss. A leaf accumulates the gradient and hessian of the loss and, per feature,
// gradient- and hessian-weighted statistics of the values; at every multiple of the grace period
// it splits on the feature whose estimated second-order loss reduction (with L2 regularisation
// lambda_) is largest and positive. Labels above 0 are the positive class, all others negative.
//
// Where a split threshold sends the gradient is estimated from the values of the samples with a
// positive gradient and those with a negative gradient, kept apart: with a single pool the left
// side would get the same share of the gradient as of the hessian, and no split could ever gain.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/contracts.hpp"
#include "core/gaussian.hpp"
#include "core/hoeffding.hpp"
#include "core/options.hpp"
#include "core/sample_columns.hpp"
#include "trees/leaf_budget.hpp"
#include "trees/tree_description.hpp"
#include "trees/tree_nodes.hpp"

namespace quelb {

class StateReader;
class StateWriter;

// Read at their next use. Listed in the order of the tree's saved state.
struct SGTClassifierOptions {
    double learning_rate = 0.1;
    double lambda_ = 0.1;
    int grace_period = 200;
    int max_depth = 6;
    // Bytes the tree's nodes and leaves may take; None: no limit. Not among the saved options:
    // states record it after the tree (format version 3).
    std::optional<std::int64_t> max_bytes;

    static constexpr auto fields() {
        using O = SGTClassifierOptions;
        return std::make_tuple(option("learning_rate", &O::learning_rate, kArgument | kProperty,
                                      "shrinkage of the leaves' Newton steps"),
                               option("lambda_", &O::lambda_, kArgument | kProperty,
                                      "L2 regularisation of the leaf scores"),
                               option("grace_period", &O::grace_period, kArgument | kProperty, grace_period_check,
                                      "samples a leaf sees between split attempts (at least 1)"),
                               option("max_depth", &O::max_depth, kArgument | kProperty,
                                      "depth at which leaves stop splitting"),
                               max_bytes_option(&O::max_bytes));
    }
};

class SGTClassifier : public IClassifier, public SGTClassifierOptions {
public:
    using Options = SGTClassifierOptions;
    // Format version 1 also held the classes seen, which answers never read; version 3 adds the
    // memory budget after the tree, when one has been in play.
    static constexpr std::uint32_t kStateVersion = 3;

    // Throws std::invalid_argument when an option is refused.
    explicit SGTClassifier(const Options& options = {});

    void learn_one(const FeatureMap& x, Label y) override;
    // 1 when the leaf's score is >= 0 (a fresh tree answers 1), else 0.
    Label predict_one(const FeatureMap& x) override;
    // {1: p, 0: 1 - p} with p the sigmoid of the leaf's score.
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // A fresh single leaf; options are kept.
    void reset() override;

    // Options, the feature columns, every node with its statistics, then the memory budget (see
    // LeafBudget; its leaves numbered in node order).
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t n_nodes() const { return nodes_.size(); }
    // Leaves that collect no feature statistics for want of memory (see max_bytes).
    std::size_t n_inactive_leaves() const { return budget_.n_inactive(); }
    // What the memory budget counts: the tree's nodes and records, from their sizes alone.
    std::size_t budget_bytes() const;
    // The nodes with their leaves' scores (answer 1 when >= 0), built on each call.
    TreeDescription describe() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(nodes_, records_, features_); }

private:
    // Values of one feature at a leaf, weighted by |gradient| (apart for positive and negative
    // gradients) and by hessian.
    struct FeatureStats {
        GaussianStats positive;
        GaussianStats negative;
        GaussianStats hessian;
    };

    // What a node learns while a leaf; record i belongs to node i. A split keeps the score of
    // the former leaf and clears the rest.
    struct Record {
        std::vector<FeatureStats> stats;  // by column
        double value = 0.0;
        double gradient_sum = 0.0;
        double hessian_sum = 0.0;
        double positive_gradient_sum = 0.0;  // of the positive gradients
        double negative_gradient_sum = 0.0;  // of the absolute negative gradients
        std::int64_t samples_seen = 0;
        // False: the memory budget dropped the leaf's feature statistics; it learns its score only.
        bool active = true;
        std::size_t heap_bytes() const { return memory::owned(stats); }
    };

    // The candidate split of one feature.
    struct Split {
        std::uint32_t column = 0;
        double threshold = 0.0;
        double left_gradient = 0.0, left_hessian = 0.0;
        double right_gradient = 0.0, right_hessian = 0.0;
        double positive_share = 0.0, negative_share = 0.0;  // of each gradient sum going left
    };

    // The score of the leaf the loaded sample reaches.
    double leaf_value(const FeatureMap& x);
    void attempt_split(std::uint32_t node);
    void apply_split(std::uint32_t node, const Split& split);
    // A node as saved: whether a leaf, its score, then the leaf's sums and statistics or the test.
    void save_node(StateWriter& out, std::uint32_t i) const;
    // Checks the columns against the number of columns of the tree's index.
    void load_node(StateReader& in, std::uint32_t i, std::uint32_t n_columns);
    // The leaves' records in node order (see LeafBudget), const or not as the tree is.
    template <class Self>
    static auto leaf_records(Self& self) {
        std::vector<decltype(&self.records_[0])> leaves;
        for (std::uint32_t i = 0; i < self.nodes_.size(); ++i) {
            if (self.nodes_[i].is_leaf()) leaves.push_back(&self.records_[i]);
        }
        return leaves;
    }
    void enforce_budget();

    // nodes_[0] is the root; records_ by node. A leaf node's leaf index is its own index.
    std::vector<TreeNode> nodes_;
    std::vector<Record> records_;
    SampleColumns features_;
    LeafBudget budget_;
};

}  // namespace quelb
