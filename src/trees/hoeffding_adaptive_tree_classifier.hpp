#pragma once
// A Hoeffding tree that adapts to drift as a whole: the 0/1 error of the current tree feeds a
// warning and a drift ADWIN. A warning starts an alternate tree that learns alongside; a drift
// replaces the current tree by the alternate, or by a fresh tree when there is none, and both
// detectors start afresh.
#include <memory>
#include <string>

#include "core/contracts.hpp"
#include "core/sample_columns.hpp"
#include "drift/drift_aware_member.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

class HoeffdingAdaptiveTreeClassifier : public IClassifier {
public:
    // Throws std::invalid_argument when grace_period < 1.
    HoeffdingAdaptiveTreeClassifier(int grace_period = 200, double split_confidence = 1e-07,
                                    double tie_threshold = 0.05, int nb_threshold = 0, int max_depth = 20,
                                    double drift_delta = 0.002, double warning_delta = 0.02,
                                    std::string split_criterion = "info_gain");

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // A fresh tree, no alternate, fresh detectors; options are kept.
    void reset() override;

    // Options, the shared columns, both trees and the detectors.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    const HoeffdingTreeClassifier& tree() const { return *trees_.model; }
    // The tree grown since the last warning, or null.
    const HoeffdingTreeClassifier* alternate_tree() const { return trees_.background.get(); }

    // Tree options: read whenever a tree is made, so a change reaches only trees made afterwards.
    int grace_period;
    double split_confidence;
    double tie_threshold;
    int nb_threshold;
    int max_depth;
    std::string split_criterion;
    // Detector deltas: read whenever the detectors are rebuilt by reset.
    double drift_delta;
    double warning_delta;

private:
    std::unique_ptr<HoeffdingTreeClassifier> make_tree() const;

    // Shared by the current and the alternate tree: each sample's names are looked up once.
    std::shared_ptr<SampleColumns> features_;
    DriftAwareMember<HoeffdingTreeClassifier> trees_;  // trees_.model is always present
};

}  // namespace quelb
