#pragma once
// Incremental decision tree for classification. Leaves keep, per class and feature, the Gaussian
// statistics of the values that reached them; at every multiple of the grace period a leaf looks
// for the best binary test (feature <= threshold) and splits once the Hoeffding bound says the
// best candidate is reliably better than the second (or that the two are tied). Leaves answer
// with the majority class, naive Bayes, or adaptively with whichever has been right more often.
//
// The tree is also the member model of the classification ensembles and of the adaptive tree,
// which use predict_then_learn, subspace_size, reseed and shared SampleColumns.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/column_slots.hpp"
#include "core/contracts.hpp"
#include "core/sample_columns.hpp"
#include "core/gaussian.hpp"
#include "core/hoeffding.hpp"
#include "core/options.hpp"
#include "core/rng.hpp"
#include "trees/column_sharing.hpp"
#include "trees/leaf_budget.hpp"
#include "trees/tree_description.hpp"
#include "trees/tree_nodes.hpp"

namespace quelb {

// "gini"; any other text is information gain.
enum class ClassSplitMerit { info_gain, gini };
ClassSplitMerit parse_class_split_merit(std::string_view text);
// "mc" = majority class, "nb" = naive Bayes, any other text = adaptive.
enum class LeafMode { majority_class, naive_bayes, adaptive };
LeafMode parse_leaf_mode(std::string_view text);

// Read at their next use. Listed in the order of the tree's saved state.
struct HoeffdingTreeClassifierOptions : HoeffdingTreeOptions {
    int nb_threshold = 0;
    ModeOption<ClassSplitMerit, parse_class_split_merit> split_criterion = "info_gain";
    int n_split_points = 10;
    bool no_pre_prune = false;
    int subspace_size = 0;  // > 0: a split attempt considers at most this many random features
    ModeOption<LeafMode, parse_leaf_mode> leaf_prediction = "nba";
    // Bytes the tree's nodes and leaves may take; None: no limit. Not in the options' saved
    // order: states record it after the tree (format version 2).
    std::optional<std::int64_t> max_bytes;

    // Rows the trees built on this one (EFDT, the adaptive tree) list too.
    static constexpr auto nb_threshold_field() {
        return option("nb_threshold", &HoeffdingTreeClassifierOptions::nb_threshold, kArgument,
                      "samples a leaf sees before it may answer by naive Bayes");
    }
    static constexpr auto split_criterion_field(unsigned access) {
        return option("split_criterion", &HoeffdingTreeClassifierOptions::split_criterion, access,
                      "'info_gain' or 'gini' (other text means 'info_gain')");
    }

    static constexpr auto fields() {
        using O = HoeffdingTreeClassifierOptions;
        return std::tuple_cat(hoeffding_bound_fields(kArgument | kProperty),
                              std::make_tuple(nb_threshold_field(), max_depth_field(kArgument | kProperty),
                                              split_criterion_field(kArgument | kProperty),
                                              option("n_split_points", &O::n_split_points, kProperty,
                                                     "candidate thresholds tried per numeric feature"),
                                              option("no_pre_prune", &O::no_pre_prune, kProperty,
                                                     "never keep a leaf because not splitting scores best"),
                                              option("subspace_size", &O::subspace_size, 0),
                                              option("leaf_prediction", &O::leaf_prediction, kProperty,
                                                     "'mc' (majority class), 'nb' (naive Bayes), else adaptive"),
                                              max_bytes_option(&O::max_bytes)));
    }
};

// The trees of the classification ensembles: the defaults but for these.
inline HoeffdingTreeClassifierOptions member_tree_options(int grace_period, double split_confidence, int max_depth) {
    HoeffdingTreeClassifierOptions options;
    options.grace_period = grace_period;
    options.split_confidence = split_confidence;
    options.max_depth = max_depth;
    return options;
}

class HoeffdingTreeClassifier : public IClassifier,
                                public HoeffdingTreeClassifierOptions,
                                public ColumnSharingTree<HoeffdingTreeClassifier> {
public:
    using Options = HoeffdingTreeClassifierOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit HoeffdingTreeClassifier(const Options& options = {});

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // A fresh single leaf; options, subspace_size and the generator's state are kept.
    void reset() override;

    // The answer predict_one(x) gives now, followed by `times` calls of learn_one(x, y): the
    // results are exactly those calls', but the sample's features are looked up once per leaf.
    Label predict_then_learn(const FeatureMap& x, Label y, int times);
    // predict_proba_one into a reused buffer: the leaf's classes, then any other seen class at 0.
    void predict_proba_into(const FeatureMap& x, std::vector<std::pair<Label, double>>& out);

    // The same on the sample last loaded into the tree's columns (see share_columns): an
    // ensemble loads each sample once for all its trees. Learning needs the sample loaded with
    // new names added.
    Label predict_then_learn_loaded(Label y, int times);
    void predict_proba_loaded(std::vector<std::pair<Label, double>>& out);

    // Format version 2: what the memory budget needs follows the tree, when a budget has been in
    // play; version 1 has nothing after the tree (see ColumnSharingTree::save_state).
    static constexpr std::uint32_t kStateVersion = 2;
    // Options, nodes, leaf statistics, the generator (save_state adds the feature columns).
    void save_tree(StateWriter& out) const;
    void load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns);
    // The memory budget's state (see LeafBudget), which a member tree's ensemble saves after the tree.
    void save_budget(StateWriter& out) const;
    void load_budget(StateReader& in);

    // Reseeds the generator that picks the features of a split attempt when subspace_size > 0.
    void reseed(std::uint32_t seed) { rng_.seed(seed); }

    std::size_t n_nodes() const { return nodes_.size(); }
    std::size_t n_leaves() const { return leaves_.size(); }
    // Leaves that collect no split statistics for want of memory (see max_bytes).
    std::size_t n_inactive_leaves() const { return budget_.n_inactive(); }
    // What the memory budget counts: the tree's nodes and leaves, from their sizes alone (a
    // restored tree counts the same as the original, whatever its arrays' spare room).
    std::size_t budget_bytes() const;

    // Weight and adaptive-mode counters of every leaf, in node order (diagnostics and tests).
    struct LeafCounters {
        double weight_seen;
        double mc_correct;
        double nb_correct;
        bool operator==(const LeafCounters& o) const {
            return weight_seen == o.weight_seen && mc_correct == o.mc_correct && nb_correct == o.nb_correct;
        }
    };
    std::vector<LeafCounters> leaf_counters() const;

    // The nodes with their leaves' class counts, built on each call; node i is nodes_[i].
    TreeDescription describe() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this) + columns_bytes(); }
    // Without the columns, which owners of several trees share (see ColumnSharingTree).
    std::size_t heap_bytes() const;

private:
    friend class ColumnSharingTree<HoeffdingTreeClassifier>;

    // Feature column -> slot of one leaf.
    using SlotTable = ColumnSlots;

    // Statistics of one leaf. Estimators of one feature are stored together, one per leaf class:
    // estimators[slot * stride + class index]. An estimator with count 0 was never updated.
    struct Leaf {
        std::vector<Label> labels;   // classes met at this leaf, in order of arrival
        std::vector<double> counts;  // weight per class, parallel to labels
        double weight_seen = 0.0;
        double mc_correct = 0.0;
        double nb_correct = 0.0;
        SlotTable slot_of;
        std::vector<std::uint32_t> slot_ids;  // feature column of each slot
        std::vector<GaussianEstimator> estimators;
        std::size_t stride = 0;
        // False: the memory budget dropped the leaf's estimators; it counts classes only.
        bool active = true;

        std::size_t find_class(Label y) const;  // labels.size() when absent
        std::size_t add_class(Label y);
        std::uint32_t add_slot(std::uint32_t id);
        std::size_t heap_bytes() const { return memory::owned_all(labels, counts, slot_of, slot_ids, estimators); }
        GaussianEstimator& estimator(std::uint32_t slot, std::size_t c) { return estimators[slot * stride + c]; }
        const GaussianEstimator& estimator(std::uint32_t slot, std::size_t c) const {
            return estimators[slot * stride + c];
        }

        // The estimators of the leaf's classes only: the rest of each stride is never updated.
        void save_state(StateWriter& out) const;
        // Checks the slots' columns against the number of columns the tree's index has.
        void load_state(StateReader& in, std::uint32_t n_columns);
    };

    using Node = TreeNode;

    // A feature of the loaded sample found at the current leaf.
    struct ResolvedFeature {
        std::uint32_t slot;
        double value;
    };

    Leaf& leaf_of(std::uint32_t node) { return leaves_[nodes_[node].leaf]; }
    std::uint32_t sort_to_leaf(std::uint32_t node, int& depth) const {
        return quelb::sort_to_leaf(nodes_, *features_, node, depth);
    }
    // Fills resolved_ with the leaf's slots of the loaded features (creating missing slots when
    // asked) and forgets the cached density terms.
    void resolve(Leaf& leaf, bool create);
    void note_class(Label y);
    // Whether trunc(weight) is a multiple of grace_period: a leaf then attempts a split.
    bool at_grace_multiple(double weight) const;

    static Label majority_class(const Leaf& leaf);
    bool answers_with_naive_bayes(const Leaf& leaf) const;
    // Log naive Bayes score of each leaf class for the resolved sample (leaf.weight_seen > 0).
    const std::vector<double>& log_scores(const Leaf& leaf);
    // The first leaf class with the greatest log score (leaf.weight_seen > 0), or kNoClass if
    // none beats negative infinity, with a lower bound on how far its exact score lies above
    // every other class's. Decided from cheap estimates of the scores when their error bounds
    // separate the winner, from the exact scores otherwise.
    static constexpr std::size_t kNoClass = static_cast<std::size_t>(-1);
    struct Winner {
        std::size_t index = kNoClass;
        double margin = 0.0;
        double magnitude = 0.0;  // largest sum of absolute parts of any class's score
    };
    Winner naive_bayes_winner(const Leaf& leaf);
    // The winner from the estimated scores, when their error bounds separate it.
    bool estimated_winner(const Leaf& leaf, Winner& winner);
    // The estimates of class c's terms for the resolved sample, computed unless cached.
    const double* class_estimates(const Leaf& leaf, std::size_t c);
    // The winner from the exact scores.
    Winner exact_winner(const Leaf& leaf);
    // The leaf's answer; sets nb_winner to the naive Bayes winner when it was computed.
    Label answer(Leaf& leaf, Winner& nb_winner);
    // Whether learning the resolved sample as class c can only raise c's score: every value is
    // finite and moderate, and c already has statistics for every feature of the sample.
    bool learning_raises_score(const Leaf& leaf, std::size_t c) const;

    // Split attempt on a leaf at `depth`; true when the leaf became a test.
    bool attempt_split(std::uint32_t node, int depth);
    // Fills candidates_ with the leaf's slots to consider: by feature name, then a random
    // subspace when subspace_size asks for one.
    void choose_candidates(const Leaf& leaf);
    // The candidate thresholds of a slot's feature, evenly spaced strictly inside the range the
    // leaf saw, in thresholds_; false when there are none.
    bool candidate_thresholds(const Leaf& leaf, std::uint32_t slot);
    // The best merit among thresholds_ for the slot's feature, and its threshold.
    double best_threshold(const Leaf& leaf, std::uint32_t slot, bool gini, double pre_entropy, double& threshold);
    // Branch weights (left_, right_) per leaf class of the test feature(slot) <= threshold, for
    // the slot last prepared.
    void prepare_split(const Leaf& leaf, std::uint32_t slot);
    void split_branches(double threshold);
    // Merit of the branches given the leaf's counts, whose entropy is pre_entropy.
    double merit(bool gini, double pre_entropy, const std::vector<double>* const* branches,
                 std::size_t n_branches) const;
    void apply_split(std::uint32_t node, std::uint32_t slot, double threshold);
    // Stops the least promising leaves while the tree is over max_bytes, or restarts the most
    // promising inactive ones while it stays under (see LeafBudget).
    void enforce_budget();
    static std::size_t estimator_bytes(std::size_t slots, std::size_t estimators);
    static std::size_t estimator_bytes(const Leaf& leaf);

    std::vector<Node> nodes_;  // nodes_[0] is the root
    std::vector<Leaf> leaves_;
    std::vector<Label> classes_seen_;  // ascending
    LeafBudget budget_;
    Rng rng_;

    // Scratch space reused between calls.
    std::vector<ResolvedFeature> resolved_;
    // Per leaf class and resolved feature ([class * resolved + feature]) the exact log floored
    // density (0 if the class never saw the feature) and its estimate (NaN when uncertain). A
    // class's entries hold while their stamp equals resolve_stamp_: every resolve moves the
    // stamp on, and learning clears the learning class's stamps.
    std::vector<double> terms_;
    std::vector<std::uint32_t> terms_stamp_;
    std::vector<double> estimates_;
    std::vector<std::uint32_t> estimates_stamp_;
    std::uint32_t resolve_stamp_ = 0;
    // What the cached terms were computed for: a resolve that finds the same leaf and the same
    // features and values, with no split or reset in between, keeps them (a prediction followed
    // by learning the same sample computes each term once). Learning already clears the learning
    // class's entries, and the priors are never cached.
    std::vector<ResolvedFeature> cached_resolved_;
    std::size_t cached_leaf_ = static_cast<std::size_t>(-1);
    // Moves on at every split and reset; anything else that replaces nodes or leaves (a state
    // being restored, say) must move it on too, or the cached terms would outlive their leaf.
    std::uint64_t structure_version_ = 0;
    std::uint64_t cached_version_ = static_cast<std::uint64_t>(-1);
    std::vector<double> scores_;
    std::vector<std::uint32_t> candidates_;
    std::vector<double> thresholds_;
    std::vector<GaussianEstimator::SplitWeights> weighers_;
    std::vector<double> left_, right_;
};

}  // namespace quelb
