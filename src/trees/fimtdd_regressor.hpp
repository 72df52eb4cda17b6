#pragma once
// Incremental model tree for regression with change detection. Leaves keep, per feature, an
// extended binary search tree (E-BST) of the values seen with the targets on either side of each
// value, and split on the threshold that most reduces the target's standard deviation once the
// reduction is reliably better than the runner-up's. A leaf answers with its target mean, with a
// perceptron on normalised inputs, or adaptively with whichever has erred less. Every internal
// node runs a Page-Hinkley test on the normalised error; an alarm grows an alternate subtree
// there, which takes the node's place once its faded squared error is lower, or is dropped after
// a time limit.
//
// The tree is the member model of the bagging regressor and of the gradient-boosted ensembles:
// they construct it with a seed (the generator starts from it; reset keeps the generator's state), then
// call learn_one, predict_one and reset. Trees of one ensemble may share their
// SampleColumns and load each sample once (learn_loaded, predict_loaded).
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/hoeffding.hpp"
#include "core/moments.hpp"
#include "core/options.hpp"
#include "core/sample_columns.hpp"
#include "core/rng.hpp"
#include "trees/column_sharing.hpp"
#include "trees/leaf_budget.hpp"
#include "trees/tree_description.hpp"

namespace quelb {

class StateReader;
class StateWriter;

// "mean", "perceptron"; any other text is adaptive.
enum class ModelLeafMode { mean, perceptron, adaptive };
ModelLeafMode parse_model_leaf_mode(std::string_view text);
using ModelLeafOption = ModeOption<ModelLeafMode, parse_model_leaf_mode>;

// Read at their next use; `seed` only starts the generator, at construction. Listed in the order
// of the tree's saved state.
struct FIMTDDRegressorOptions : HoeffdingTreeOptions {
    ModelLeafOption leaf_prediction = "adaptive";
    double learning_ratio = 0.02;
    double learning_rate_decay = 0.001;
    bool learning_ratio_const = false;
    double page_hinckley_alpha = 0.005;
    double page_hinckley_threshold = 50.0;
    double alternate_tree_fading_factor = 0.995;
    int alternate_tree_t_min = 150;
    int alternate_tree_time = 1500;
    bool drift_detection = true;
    int seed = 1;
    // Bytes the tree's nodes and leaves may take; None: no limit. Not among the saved options:
    // states record it after the tree (format version 2).
    std::optional<std::int64_t> max_bytes;

    static constexpr auto fields() {
        using O = FIMTDDRegressorOptions;
        return std::make_tuple(grace_period_field(kArgument | kProperty, nullptr),
                               split_confidence_field(kArgument | kProperty), tie_threshold_field(kArgument),
                               max_depth_field(kArgument),
                               option("leaf_prediction", &O::leaf_prediction, kArgument | kProperty,
                                      "'mean', 'perceptron', else adaptive (the better of the two)"),
                               option("learning_ratio", &O::learning_ratio, kArgument,
                                      "initial step size of the leaves' perceptrons"),
                               option("learning_rate_decay", &O::learning_rate_decay, kArgument,
                                      "decay of the perceptrons' step size"),
                               option("learning_ratio_const", &O::learning_ratio_const, kArgument,
                                      "keep the perceptrons' step size constant"),
                               option("page_hinckley_alpha", &O::page_hinckley_alpha, kArgument,
                                      "change the Page-Hinkley test on node errors tolerates"),
                               option("page_hinckley_threshold", &O::page_hinckley_threshold, kArgument,
                                      "Page-Hinkley alarm threshold"),
                               option("alternate_tree_fading_factor", &O::alternate_tree_fading_factor, kArgument,
                                      "fading factor of the errors comparing an alternate subtree"),
                               option("alternate_tree_t_min", &O::alternate_tree_t_min, kArgument,
                                      "samples between comparisons of an alternate subtree with the original"),
                               option("alternate_tree_time", &O::alternate_tree_time, kArgument,
                                      "samples after which an alternate subtree that has not won is dropped"),
                               option("drift_detection", &O::drift_detection, kArgument | kProperty,
                                      "grow alternate subtrees where the Page-Hinkley test raises an alarm"),
                               option("seed", &O::seed, kArgument | kProperty,
                                      "seed of the tree's random generator, started at construction"),
                               max_bytes_option(&O::max_bytes));
    }
};

// The trees of the bagging and boosting regressors: the defaults but for these.
inline FIMTDDRegressorOptions model_tree_options(int grace_period, double split_confidence, int max_depth,
                                                 ModelLeafOption leaf_prediction, int seed = 1) {
    FIMTDDRegressorOptions options;
    options.grace_period = grace_period;
    options.split_confidence = split_confidence;
    options.max_depth = max_depth;
    options.leaf_prediction = std::move(leaf_prediction);
    options.seed = seed;
    return options;
}

class FIMTDDRegressor : public IRegressor,
                        public FIMTDDRegressorOptions,
                        public ColumnSharingTree<FIMTDDRegressor> {
public:
    using Options = FIMTDDRegressorOptions;
    // Version 2 adds the memory budget after the tree, when one has been in play (see
    // ColumnSharingTree::save_state: the feature columns, the tree, then the budget).
    static constexpr std::uint32_t kStateVersion = 2;
    explicit FIMTDDRegressor(const Options& options = {});
    ~FIMTDDRegressor() override;

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Drops the tree and every running sum; options and the generator's state are kept.
    void reset() override;

    // Splits made since construction or the last reset (alternate subtrees included).
    int n_splits() const { return split_count_; }

    // learn_one / predict_one on the sample last loaded into columns(); learning needs the
    // sample loaded with new names added.
    void learn_loaded(double y);
    // `times` calls of learn_loaded(y), with exactly their results; while the sample keeps
    // reaching the same leaf, each repetition adds to the split statistics the previous one
    // reached instead of searching them again.
    void learn_repeated_loaded(double y, std::int64_t times);
    double predict_loaded();
    // `times` calls of learn_loaded(y) followed by predict_loaded(), with exactly their results;
    // the answer comes from the leaf the last learning walk reached, without a walk from the root.
    double learn_then_predict_loaded(double y, std::int64_t times);
    SampleColumns& columns() { return *features_; }

    // Options, running sums, every node with its alternate subtree, and the generator (save_state
    // adds the feature columns). Deep trees are walked without recursion.
    void save_tree(StateWriter& out) const;
    void load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns);
    // The memory budget's state (see LeafBudget), which a member tree's ensemble saves after the
    // tree; its leaves are numbered in the order save_tree writes them.
    void save_budget(StateWriter& out) const;
    void load_budget(StateReader& in);

    // Leaves, alternate subtrees' included, that collect no E-BSTs for want of memory (see max_bytes).
    std::size_t n_inactive_leaves() const { return budget_.n_inactive(); }
    // What the memory budget counts: the tree's nodes and leaves, from their sizes alone.
    std::size_t budget_bytes() const;

    // Page-Hinkley alarms that started an alternate subtree, and alternates that replaced the
    // subtree they shadowed, since construction or the last reset.
    std::int64_t n_alarms() const { return alarm_count_; }
    std::int64_t n_alternate_wins() const { return alternate_wins_; }

    // The tree with every alternate subtree, built on each call; a tree that has learnt nothing
    // is one leaf answering 0.
    TreeDescription describe() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this) + columns_bytes(); }
    // Without the columns, which owners of several trees share (see ColumnSharingTree).
    std::size_t heap_bytes() const;

private:
    friend class ColumnSharingTree<FIMTDDRegressor>;
    using LeafMode = ModelLeafMode;

    static constexpr std::uint32_t kNoChild = 0xFFFFFFFFu;

    // One node of a feature's E-BST: a binary search tree of the distinct values seen, each node
    // holding the targets of the values <= its key within its subtree. (The targets of the values
    // above the key are implied by the leaf's totals and never read, so they are not kept.)
    struct EbstNode {
        double key;
        std::uint32_t left = kNoChild;
        std::uint32_t right = kNoChild;
        Moments le;
    };
    // The E-BSTs of one leaf, one per feature column, with their nodes in one array: a leaf
    // allocates a few arrays instead of two per feature, a repeated value allocates nothing, and
    // deep trees built from sorted values are walked and freed without recursion.
    struct LeafTrees {
        std::vector<std::uint32_t> roots;  // by column; kNoChild for features not seen here
        std::vector<EbstNode> nodes;

        // Inserts (value, y) into the tree of `column`; the nodes whose sums received y are
        // appended to `touched` when given.
        void insert(std::uint32_t column, double value, double y, std::vector<std::uint32_t>* touched);
        // As the memory budget counts them: from their sizes, the node array as if grown one
        // node at a time.
        std::size_t budget_bytes() const;
        // Written column by column, each tree's nodes numbered in the order they were created.
        void save_state(StateWriter& out) const;
        void load_state(StateReader& in, std::uint32_t n_columns);
    };

    // What only a leaf keeps: its E-BSTs, perceptron, answer errors and target range.
    struct LeafState {
        LeafTrees trees;  // no roots until the leaf inserts its first sample
        double last_split_check = 0.0;
        std::vector<double> weights;  // by column; absent ids weigh 0
        double bias = 0.0;
        double perceptron_updates = 0.0;
        bool perceptron_ready = false;
        bool has_range = false;
        double mean_sq_error = 0.0;
        double perceptron_sq_error = 0.0;
        double y_min = 0.0;
        double y_max = 0.0;
    };

    struct Node {
        // What a walk down the tree reads comes first, then what learning updates at every test
        // on the way, so that a visit touches as few cache lines as possible; a leaf's own state
        // lives apart, so that tests stay small.
        bool is_leaf = true;
        bool ph_enabled = true;
        bool ph_started = false;
        // False: the memory budget dropped the leaf's E-BSTs; it learns its answers only.
        bool active = true;
        std::uint32_t split_column = 0;
        double split_threshold = 0.0;
        std::unique_ptr<Node> left, right;
        // Absolute normalised errors of the samples that passed while internal, and their number.
        double error_sum = 0.0;
        double error_count = 0.0;
        double ph_sum = 0.0;
        double ph_min = 0.0;
        std::unique_ptr<Node> alternate;
        Moments targets;  // learned while a leaf
        std::unique_ptr<LeafState> leaf;  // leaves only; absent until needed, and then blank
        double alt_seen = 0.0;
        double orig_faded_error = 0.0;
        double alt_faded_error = 0.0;
        double alt_last_check = 0.0;

        // The child a test sends value v to: left when v <= the threshold, so a NaN goes right
        // (and a missing feature, read as 0.0, goes where 0.0 does). Chosen without a branch: the
        // direction is data, and a mispredicted jump would stall the walks that overlap it.
        Node* child_for(double v) const {
            Node* const children[2] = {right.get(), left.get()};
            return children[v <= split_threshold];
        }

        // The node's own fields and which children and alternate it has, not those subtrees.
        void save_state(StateWriter& out) const;
        // Checks the columns against the number of columns of the tree's index. Leaves the
        // children and the alternate empty, and tells which of them the saved node had.
        struct Links {
            bool children;
            bool alternate;
        };
        Links load_state(StateReader& in, std::uint32_t n_columns);
    };
    // The leaf state of a node, a blank one when it has none.
    static const LeafState kBlankLeafState;
    static const LeafState& state_of(const Node& leaf);
    static LeafState& state_for(Node& leaf);

    // A feature of the loaded sample with its normalised value; `usable` when the feature's
    // running sums give it a positive variance.
    struct Input {
        std::uint32_t column;
        double value;
        double normalised;
        bool usable;
    };

    // What every node on a learning walk needs to know about the sample.
    struct Step {
        double y;
        double normalised_y;  // under the tree's target sums, which include y
        double prediction;  // of the whole tree, before learning
        double error;       // |normalised y - normalised prediction|
        LeafMode mode;
        // The leaf the prediction came from, with its mean and (clamped) perceptron answers: the
        // leaf reuses them to score its two answers while no alternate has replaced a subtree.
        const Node* answered_leaf;
        double leaf_mean;
        double leaf_perceptron;
        std::int64_t alternate_wins;  // alternate_wins_ when the prediction was made
        bool repeat;  // the previous learning step had this sample and target
        bool record;  // the next learning step will have this sample and target
    };
    // The leaf predict_from last reached, with its two answers (the perceptron one clamped to the
    // leaf's range; both only computed outside the "mean" mode).
    struct Answer {
        const Node* leaf = nullptr;
        double mean = 0.0;
        double perceptron = 0.0;
    };

    // Normalised values of the loaded sample's features under the current sums.
    void prepare_inputs();
    // The target's mean and deviation under the current sums, for the perceptron's answers and
    // the normalised target.
    void prepare_target_scale();
    Node* sort_to_leaf(Node* node, int& depth) const;

    double target_mean() const;
    double mean_prediction(const Node& leaf) const;
    double perceptron_prediction(const LeafState& leaf) const;
    double clamped_perceptron_prediction(const LeafState& leaf) const;
    double predict_from(Node* node, LeafMode mode);

    // The walk of one sample from `node` (at `depth`) to a leaf; in alternate mode the walk runs
    // inside an alternate subtree, which neither consults alternates nor tests for change.
    void learn_from(Node* node, int depth, bool alternate_mode, const Step& step);
    // Compares the alternate of `node` with its subtree on this sample. Returns true when the
    // alternate replaced the subtree; sets `alternate_learns` when the alternate should learn it.
    bool compare_alternate(Node& node, const Step& step, bool& alternate_learns);
    void test_for_change(Node& node, double error);
    // Kept out of line: alarms are rare, and the test runs at every test of every learning walk.
    [[gnu::noinline]] void start_alternate(Node& node);
    // One learning step; the walks start at `leaf` when the caller found it, else at the root.
    void learn_one(double y, bool repeat, bool record, Node* leaf);
    void learn_repeated_from(double y, std::int64_t times, Node* leaf);
    double learn_then_predict_from(double y, std::int64_t times, Node* leaf);
    double predict_loaded_from(Node* start);
    void learn_at_leaf(Node& leaf, int depth, bool allow_split, bool main_tree, const Step& step);
    // Inserts the loaded sample's values with target y into the leaf's E-BSTs; with `record`,
    // remembers every node whose sums it added to in ebst_touches_.
    void insert_into_ebsts(LeafTrees& trees, double y, bool record);
    // One step of the leaf's perceptron towards the target, normalised.
    void update_perceptron(LeafState& leaf, double normalised_y);
    // Best threshold of one feature's E-BST by standard deviation reduction; -1 when no threshold
    // leaves at least five samples on each side.
    double best_ebst_split(const LeafTrees& trees, std::uint32_t column, const Moments& total, double& threshold);
    void attempt_split(Node& leaf, LeafMode mode);

    // Calls visit(node) on every node of the subtree at `top` in the order save_tree writes them
    // (node, left subtree, right subtree, alternate subtree), without recursion.
    template <class NodePtr, class Visit>
    static void visit_preorder(NodePtr top, Visit&& visit);
    // The leaves of the tree in that order (see LeafBudget).
    std::vector<Node*> leaves() const;
    // See LeafBudget.
    void enforce_budget();
    // Frees a subtree the tree lets go, forgetting its inactive leaves.
    void discard(std::unique_ptr<Node> subtree);

    std::unique_ptr<Node> root_;
    Moments target_sums_;
    std::vector<Moments> feature_sums_;  // by column
    int split_count_ = 0;
    std::int64_t alarm_count_ = 0;
    std::int64_t alternate_wins_ = 0;
    LeafBudget budget_;

    // Scratch space reused between calls.
    std::vector<Input> inputs_;
    struct Carried {
        std::uint32_t node;
        Moments left;
    };
    std::vector<Carried> ebst_stack_;
    // The E-BST nodes the last recorded insertion added to, at touched_leaf_ (null when there is
    // none), while alternate_wins_ was touched_wins_.
    std::vector<std::uint32_t> ebst_touches_;
    const Node* touched_leaf_ = nullptr;
    std::int64_t touched_wins_ = 0;
    Answer answer_;
    struct TargetScale {
        bool spread = false;  // count > 1 and a positive variance; mean and sd are set only then
        double mean = 0.0;
        double sd = 0.0;
    };
    TargetScale target_scale_;
    Node* last_leaf_ = nullptr;  // where the last learning walk of the main tree ended

public:
    // For owners of many trees with "mean" leaves that read one SampleColumns: each tree's
    // predict_loaded() answer, with the walks of the loaded sample down the trees advancing side by
    // side, so that their memory reads overlap instead of waiting for one another. The caller
    // keeps the scratch space between calls.
    class SideBySide {
        friend class FIMTDDRegressor;
        std::vector<Node*> leaves_;

    public:
        std::size_t heap_bytes() const { return memory::owned(leaves_); }
    };
    static void predict_means_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& walks,
                                       double* answers);
    // The leaf each tree's walk reaches for the loaded sample, walks side by side: owners that
    // then teach the trees one after another start each tree's first walk there.
    static void find_leaves_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& found);
    // learn_then_predict_loaded(y, times) for trees[i] of the last find_leaves_together, which
    // must not have changed since, nor the loaded sample on the columns the tree tests.
    double learn_then_predict_loaded(double y, std::int64_t times, const SideBySide& found, std::size_t i);
    // Asks the memory for what teaching trees[i] of the last find_leaves_together reads first: a
    // pure hint, which changes no result. `leaf`: the leaf node (all a prediction reads), then
    // `leaf_state`: its state, then `value_trees`: its E-BSTs' first nodes. Each reads what the
    // one before fetched, so callers run them a few trees ahead of the tree learning, the earlier
    // ones further ahead.
    enum class Fetch { leaf, leaf_state, value_trees };
    static void prefetch_leaf(const SideBySide& found, std::size_t i, Fetch what);

private:
    // The leaf of each tree (null without a root) for the loaded sample, walks side by side.
    static void sort_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& walks);

    // Last: its state is large and rarely read, and would otherwise split the members every
    // learning step reads into two distant groups.
    Rng rng_;
};

}  // namespace quelb
