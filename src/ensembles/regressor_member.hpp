#pragma once
// A member of the regression ensembles with feature subsets (the random forest and random
// patches): the shared tree life cycle with warning and drift detectors, fed the absolute error
// of the foreground tree, and the member's feature subset.
#include <cmath>
#include <cstdint>
#include <memory>

#include "core/sample_columns.hpp"
#include "core/state.hpp"
#include "ensembles/feature_subset.hpp"
#include "ensembles/member_trees.hpp"
#include "drift/drift_aware_member.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb {

struct RegressorMember {
    RegressorMember(double drift_delta, double warning_delta) : trees(drift_delta, warning_delta) {}

    DriftAwareMember<HoeffdingTreeRegressor> trees;
    FeatureSubset features;  // the features the member's trees see; empty: all

    bool has_model() const { return trees.has_model(); }
    std::size_t heap_bytes() const { return memory::owned_all(trees, features); }
    void rebind_columns(const std::shared_ptr<SampleColumns>& columns) { trees.rebind_columns(columns); }

    // One test-then-train step on the sample loaded into `loaded` (the trees' shared columns),
    // projected onto the member's features: both trees learn the sample `times` times, and the
    // foreground tree's absolute error, measured before it learnt, goes to the detectors.
    // make(NewModel) builds a background or replacement tree.
    template <class Make>
    void learn_loaded(SampleColumns& loaded, double y, int times, Make&& make) {
        const IndexedSample& z = features.project(loaded);
        const double predicted = trees.model->predict_then_learn_loaded(z, y, times);
        if (trees.background && times > 0) trees.background->predict_then_learn_loaded(z, y, times);
        trees.track_error(std::fabs(y - predicted), make);
    }

    // The trees with their detectors and the subset. The trees read `columns`, the ensemble's
    // restored shared columns.
    void save_shared(StateWriter& out) const {
        trees.save_shared(out);
        features.save_state(out);
    }
    void load_shared(StateReader& in, const std::shared_ptr<SampleColumns>& columns, std::uint32_t since,
                     std::uint32_t budgets_since = 0) {
        trees.load_shared(in, columns, since, budgets_since);
        features.load_state(in, columns->index());
    }

    // The foreground tree's answer for the loaded sample projected onto the member's features.
    double predict_loaded(SampleColumns& loaded) { return trees.model->predict_loaded(features.project(loaded)); }
};

}  // namespace quelb
