#pragma once
// A Hoeffding tree that adapts to drift as a whole: the 0/1 error of the current tree feeds a
// warning and a drift ADWIN. A warning starts an alternate tree that learns alongside; a drift
// replaces the current tree by the alternate, or by a fresh tree when there is none, and both
// detectors start afresh.
#include <memory>

#include "core/contracts.hpp"
#include "core/sample_columns.hpp"
#include "drift/drift_aware_member.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

// The options of its trees, which are read whenever a tree is made (a change reaches only trees
// made afterwards), and the detectors' deltas, read whenever reset rebuilds the detectors.
struct HoeffdingAdaptiveTreeClassifierOptions : HoeffdingTreeClassifierOptions {
    double drift_delta = 0.002;
    double warning_delta = 0.02;

    static constexpr auto fields() {
        using T = HoeffdingTreeClassifierOptions;
        using O = HoeffdingAdaptiveTreeClassifierOptions;
        return std::tuple_cat(
            hoeffding_bound_fields(kArgument, kArgument | kProperty),
            std::make_tuple(nb_threshold_field(), max_depth_field(kArgument | kProperty),
                            option("drift_delta", &O::drift_delta, kArgument,
                                   "ADWIN delta of the drift detector watching the tree's errors"),
                            option("warning_delta", &O::warning_delta, kArgument,
                                   "ADWIN delta of the warning detector (starts a background tree)"),
                            split_criterion_field(kArgument),
                            max_bytes_option(&T::max_bytes,
                                             "bytes the tree and its alternate may hold together, None for no "
                                             "limit; each holds half while the alternate grows")));
    }
};

class HoeffdingAdaptiveTreeClassifier : public IClassifier, public HoeffdingAdaptiveTreeClassifierOptions {
public:
    using Options = HoeffdingAdaptiveTreeClassifierOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit HoeffdingAdaptiveTreeClassifier(const Options& options = {});

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // A fresh tree, no alternate, fresh detectors; options are kept.
    void reset() override;

    // Format version 2: max_bytes and the trees' memory budgets follow the trees, when a budget
    // has been in play; version 1 has nothing after them.
    static constexpr std::uint32_t kStateVersion = 2;
    // Options, the shared columns, both trees and the detectors.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    const HoeffdingTreeClassifier& tree() const { return *trees_.model; }
    // The tree grown since the last warning, or null.
    const HoeffdingTreeClassifier* alternate_tree() const { return trees_.background.get(); }

    // Leaves of the tree and its alternate that collect no split statistics (see max_bytes).
    std::size_t n_inactive_leaves() const {
        return trees_.model->n_inactive_leaves() + (trees_.background ? trees_.background->n_inactive_leaves() : 0);
    }

    // The tree, with the alternate tree (when there is one) as the root's alternate.
    TreeDescription describe() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(features_, trees_); }

private:
    std::unique_ptr<HoeffdingTreeClassifier> make_tree() const;

    // Shared by the current and the alternate tree: each sample's names are looked up once.
    std::shared_ptr<SampleColumns> features_;
    DriftAwareMember<HoeffdingTreeClassifier> trees_;  // trees_.model is always present
};

}  // namespace quelb
