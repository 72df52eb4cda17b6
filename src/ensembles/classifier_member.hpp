#pragma once
// A member of the accuracy-weighted classification ensembles (the random forest and random
// patches): the shared tree life cycle with warning and drift detectors, the member's feature
// subset (random patches only; empty, so whole samples, in the forest), and the counts of right
// predictions that weight the member's vote.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/sample_columns.hpp"
#include "core/state.hpp"
#include "ensembles/feature_subset.hpp"
#include "ensembles/member_trees.hpp"
#include "drift/drift_aware_member.hpp"
#include "ensembles/vote.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

struct ClassifierMember {
    ClassifierMember(double drift_delta, double warning_delta) : trees(drift_delta, warning_delta) {}

    DriftAwareMember<HoeffdingTreeClassifier> trees;  // trees.model is absent until the first sample
    FeatureSubset features;  // the features the member's trees see
    double n_correct = 0.0;  // right predictions since the last drift (or reset)
    double n_seen = 0.0;     // predictions since the last drift (or reset)

    bool has_model() const { return trees.has_model(); }
    void rebind_columns(const std::shared_ptr<SampleColumns>& columns) { trees.rebind_columns(columns); }

    // One test-then-train step on the sample loaded into `loaded` (the trees' shared columns),
    // projected onto the member's features: the foreground tree's prediction is scored, both trees
    // learn the sample `times` times, and the 0/1 error goes to the detectors. make(NewModel)
    // builds a background or replacement tree (it may read n_seen, which already counts this
    // sample). A drift clears the counters.
    template <class Make>
    void learn_loaded(SampleColumns& loaded, Label y, int times, Make&& make) {
        features.project(loaded);
        const Label predicted = trees.model->predict_then_learn_loaded(y, times);
        if (predicted == y) n_correct += 1.0;
        n_seen += 1.0;
        if (trees.background && times > 0) trees.background->predict_then_learn_loaded(y, times);
        const double error = predicted == y ? 0.0 : 1.0;
        if (trees.track_error(error, make) == MemberEvent::model_replaced) {
            n_correct = 0.0;
            n_seen = 0.0;
        }
    }

    // The trees with their detectors, the subset and the counters. The trees read `columns`, the
    // ensemble's restored shared columns.
    void save_shared(StateWriter& out) const {
        trees.save_shared(out);
        features.save_state(out);
        out.f64(n_correct);
        out.f64(n_seen);
    }
    void load_shared(StateReader& in, const std::shared_ptr<SampleColumns>& columns, std::uint32_t since,
                     std::uint32_t budgets_since = 0) {
        trees.load_shared(in, columns, since, budgets_since);
        features.load_state(in, columns->index());
        n_correct = in.f64();
        n_seen = in.f64();
    }

    // The member's vote for the loaded sample (projected onto the member's features): fills `proba`
    // with the foreground tree's distribution and returns the weight it gets in the vote, the
    // member's accuracy since its last drift (1 before its first evaluation). A member without a
    // tree votes nothing: an empty distribution of weight 0.
    double vote_loaded(SampleColumns& loaded, std::vector<std::pair<Label, double>>& proba) {
        proba.clear();
        if (!trees.model) return 0.0;
        features.project(loaded);
        trees.model->predict_proba_loaded(proba);
        return vote_weight();
    }
    std::size_t heap_bytes() const { return memory::owned_all(trees, features); }
    double vote_weight() const { return n_seen > 0.0 ? n_correct / n_seen : 1.0; }
};

}  // namespace quelb
