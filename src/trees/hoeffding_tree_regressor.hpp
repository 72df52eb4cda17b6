#pragma once
// Incremental regression tree. Every leaf keeps running statistics of the target and of each
// feature, and a small linear model on standardised features trained by clipped gradient steps.
// A leaf answers with its target mean, with its linear model, or adaptively with whichever has
// made the smaller squared error so far. At every multiple of the grace period a leaf considers
// splitting, and does so once the Hoeffding bound says the best feature is reliably ahead, or
// that the candidates are tied. The split criterion decides where a feature would split and what
// that is worth: at the feature's running mean, by the spread of the feature alone ("mean_split",
// the default; the bound's range is the target's standard deviation), or at the threshold that
// removes the largest share of the target's variance, from target statistics binned by the
// feature's value ("variance_reduction", QuantizationObserver; a share ranges over [0, 1]). The
// children inherit the parent's statistics, scaled by the share of the samples on their side,
// and copies of its linear model.
//
// The tree is also the member model of the regression forests, which share one SampleColumns
// among their trees and feed each tree its own projection of the loaded sample.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/column_slots.hpp"
#include "core/contracts.hpp"
#include "core/gaussian.hpp"
#include "core/hoeffding.hpp"
#include "core/options.hpp"
#include "core/sample_columns.hpp"
#include "trees/column_sharing.hpp"
#include "trees/leaf_budget.hpp"
#include "trees/quantization_observer.hpp"
#include "trees/tree_description.hpp"
#include "trees/tree_nodes.hpp"

namespace quelb {

// Merit of splitting a leaf whose target has standard deviation target_sd at the mean of a
// feature with the given statistics: the reduction of the target's spread expected when a share
// p (the feature's probability mass at or below its mean, kept within [0.01, 0.99]) goes left.
// 0 while the leaf has seen fewer than two samples.
double mean_split_merit(double target_sd, const GaussianStats& feature, double weight_seen);

enum class SplitCriterion : std::uint8_t { mean_split, variance_reduction };
// "mean_split" or "variance_reduction"; anything else throws std::invalid_argument naming the option.
SplitCriterion parse_split_criterion(std::string_view text);
const char* split_criterion_name(SplitCriterion criterion);
using SplitCriterionOption = ModeOption<SplitCriterion, parse_split_criterion>;
// The criterion in a saved state (a tree's or its owner's options), as its enumerator; mean_split
// in states of format version 1, which predate the option.
void save_split_criterion(StateWriter& out, SplitCriterion criterion);
SplitCriterion load_split_criterion(StateReader& in);

// "mean", "linear"; any other text is adaptive.
enum class RegressionLeafMode { mean, linear, adaptive };
RegressionLeafMode parse_regression_leaf_mode(std::string_view text);

// Read at their next use.
struct HoeffdingTreeRegressorOptions : HoeffdingTreeOptions {
    double learning_rate = 0.01;
    ModeOption<RegressionLeafMode, parse_regression_leaf_mode> leaf_prediction = "adaptive";
    // A change reaches every leaf: under variance_reduction a leaf observes from its next sample
    // on (a leaf that has not observed enough cannot split), and under mean_split its observers
    // stay, unused and unchanged.
    SplitCriterionOption split_criterion = "mean_split";
    // Bytes the tree's nodes and leaves may take; None: no limit. Not among the saved options:
    // states record it after the tree (format version 3).
    std::optional<std::int64_t> max_bytes;

    static constexpr auto fields() {
        using O = HoeffdingTreeRegressorOptions;
        return std::tuple_cat(
            hoeffding_bound_fields(kArgument | kProperty),
            std::make_tuple(max_depth_field(kArgument | kProperty),
                            option("learning_rate", &O::learning_rate, kArgument | kProperty,
                                   "step size of the leaves' linear models"),
                            option("leaf_prediction", &O::leaf_prediction, kProperty,
                                   "'mean', 'linear', else adaptive (the better of the two)"),
                            option("split_criterion", &O::split_criterion, kArgument | kKeywordOnly | kProperty,
                                   "'mean_split' or 'variance_reduction'"),
                            max_bytes_option(&O::max_bytes)));
    }
};

// The trees of the regression forests: the defaults but for these.
inline HoeffdingTreeRegressorOptions regressor_tree_options(int grace_period, double split_confidence,
                                                            double tie_threshold, int max_depth, double learning_rate,
                                                            SplitCriterion split_criterion) {
    HoeffdingTreeRegressorOptions options;
    options.grace_period = grace_period;
    options.split_confidence = split_confidence;
    options.tie_threshold = tie_threshold;
    options.max_depth = max_depth;
    options.learning_rate = learning_rate;
    options.split_criterion = split_criterion_name(split_criterion);
    return options;
}

class HoeffdingTreeRegressor : public IRegressor,
                               public HoeffdingTreeRegressorOptions,
                               public ColumnSharingTree<HoeffdingTreeRegressor> {
public:
    using Options = HoeffdingTreeRegressorOptions;
    // Saved states of format version 1 hold no split criterion and no split observers; version 3
    // adds the memory budget after the tree, when one has been in play (see
    // ColumnSharingTree::save_state: the feature columns, the tree, then the budget).
    static constexpr std::uint32_t kStateVersion = 3;

    // Throws std::invalid_argument when an option is refused.
    explicit HoeffdingTreeRegressor(const Options& options = {});

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // A fresh single leaf; the options are kept.
    void reset() override;

    // The answer predict_one gives now, followed by `times` calls of learn_one: the results are
    // exactly those calls', but the sample is sorted and its features found once per leaf.
    // `sample` is the sample loaded into the tree's columns, or its projection onto a fixed set of
    // columns (the same set at every call): the tests of the inner nodes read their features from
    // the loaded sample, which agrees with the projection on every feature the tree has learnt.
    // Learning needs the sample loaded with new names added. A non-finite y is not learnt.
    double predict_then_learn_loaded(const IndexedSample& sample, double y, int times);
    double predict_loaded(const IndexedSample& sample);

    // Options, nodes and leaf statistics (save_state adds the feature columns).
    void save_tree(StateWriter& out) const;
    void load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns);
    // The memory budget's state (see LeafBudget), which a member tree's ensemble saves after the tree.
    void save_budget(StateWriter& out) const;
    void load_budget(StateReader& in);

    // Structure, for diagnostics and tests. Nodes are numbered in creation order, 0 the root.
    struct NodeView {
        bool is_leaf;
        std::string split_feature;  // tests only
        double split_threshold;
        std::uint32_t left, right;  // tests only
        double weight_seen;         // leaves only
        std::int64_t samples_seen;  // leaves only
        std::vector<std::string> features;  // leaves only: names with statistics, in byte order
    };
    std::size_t n_nodes() const { return nodes_.size(); }
    // Leaves that collect no split statistics for want of memory (see max_bytes).
    std::size_t n_inactive_leaves() const { return budget_.n_inactive(); }
    // What the memory budget counts: the tree's nodes and leaves, from their sizes alone.
    std::size_t budget_bytes() const;
    NodeView node(std::uint32_t index) const;
    // The nodes with their leaves' target statistics, built on each call; node i is nodes_[i].
    TreeDescription describe() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this) + columns_bytes(); }
    // Without the columns, which owners of several trees share (see ColumnSharingTree).
    std::size_t heap_bytes() const {
        return memory::owned_all(nodes_, leaves_, resolved_, standardised_, candidates_);
    }

private:
    friend class ColumnSharingTree<HoeffdingTreeRegressor>;

    // What a leaf keeps per feature: the value statistics and, once the linear model has stepped
    // on the feature, its coefficient.
    struct FeatureState {
        GaussianStats stats;
        double weight = 0.0;
        bool has_weight = false;
    };

    // What a leaf keeps for variance_reduction: the targets learnt since it began observing, less
    // the first of them (so that sums of squares keep their precision), and the observer of each
    // slot's feature, fed the same shifted targets (by slot; slots made later have none yet).
    struct SplitObservers {
        double shift = 0.0;
        Moments targets;
        std::vector<QuantizationObserver> by_slot;
        std::size_t heap_bytes() const { return memory::owned(by_slot); }
    };

    struct Leaf {
        GaussianStats target;
        double weight_seen = 0.0;
        std::int64_t samples_seen = 0;
        double bias = 0.0;
        double mean_sq_error = 0.0;    // of the mean answer, measured before each sample
        double linear_sq_error = 0.0;  // the same for the linear answer
        ColumnSlots slot_of;
        std::vector<std::uint32_t> slot_columns;  // feature column of each slot
        std::vector<FeatureState> features;       // by slot
        // Made at the leaf's first sample under variance_reduction.
        std::unique_ptr<SplitObservers> observers;
        // False: the memory budget dropped the leaf's feature statistics (and with them its
        // linear model's coefficients); it learns its target only.
        bool active = true;
        std::size_t heap_bytes() const { return memory::owned_all(slot_of, slot_columns, features, observers); }

        void save_state(StateWriter& out) const;
        // Checks the slots' columns against the number of columns the tree's index has; states of
        // format version 1 have no observers.
        void load_state(StateReader& in, std::uint32_t n_columns);
    };

    static constexpr std::uint32_t kNoLeaf = TreeNode::kNoLeaf;
    using Node = TreeNode;

    // A feature of the current sample found at the current leaf.
    struct ResolvedFeature {
        std::uint32_t slot;
        double value;
    };

    std::uint32_t sort_to_leaf(std::uint32_t node, int& depth) const {
        return quelb::sort_to_leaf(nodes_, *features_, node, depth);
    }
    // Fills resolved_ with the leaf's slots of the sample's features, creating missing slots when
    // asked (features without a slot are left out).
    void resolve(Leaf& leaf, const IndexedSample& sample, bool create);
    // The linear model's answer for the resolved sample, kept within mean ± 3 sd of the targets.
    double linear_prediction(const Leaf& leaf) const;
    // The same from standardised_, computed under the leaf's current statistics.
    double linear_prediction_standardised(const Leaf& leaf) const;
    // Whether the leaf answers with its linear model rather than its target mean.
    bool answers_linearly(const Leaf& leaf) const;
    // Learns y with the resolved sample; linear_answer, when given, is the leaf's linear answer
    // for it as the leaf stands. standardised_current tells whether standardised_ holds the
    // sample's standardised values under the leaf's current statistics, and is updated.
    void learn_at_leaf(Leaf& leaf, double y, const double* linear_answer, bool& standardised_current);
    // Split attempt on a leaf at `depth`; true when the leaf became a test.
    bool attempt_split(std::uint32_t node);
    // Makes the leaf a test `slot's feature <= threshold`; its children take the shares p and 1 - p
    // of its statistics.
    void apply_split(std::uint32_t node, std::uint32_t slot, double threshold, double p);

    // Resets the tree to a single empty leaf.
    void make_root();
    // See LeafBudget.
    void enforce_budget();
    static std::size_t statistics_bytes(const Leaf& leaf);
    Leaf& leaf_of(std::uint32_t node) { return leaves_[nodes_[node].leaf]; }

    std::vector<Node> nodes_;  // nodes_[0] is the root
    std::vector<Leaf> leaves_;
    LeafBudget budget_;

    // Scratch space reused between calls.
    std::vector<ResolvedFeature> resolved_;
    std::vector<double> standardised_;  // per resolved feature
    double standardised_target_sd_ = 0.0;  // the target's sd when standardised_ was computed
    std::vector<std::uint32_t> candidates_;
};

}  // namespace quelb
