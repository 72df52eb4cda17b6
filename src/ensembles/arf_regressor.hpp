#pragma once
// Adaptive random forest for regression: Hoeffding regression trees, each restricted to a random
// subset of the features drawn once from the member's first sample, and trained on a
// Poisson-weighted copy of the stream. Each member watches the absolute error of its tree with a
// warning and a drift detector (background tree after a warning, tree swap after a drift); the
// prediction is the plain mean of the members' predictions.
#include <memory>
#include <vector>

#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "ensembles/parallel_members.hpp"
#include "ensembles/regressor_member.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb {

class ARFRegressor : public ParallelRegressor<ARFRegressor> {
public:
    // Throws std::invalid_argument for grace_period < 1 or an unusable lambda_value.
    ARFRegressor(int n_models = 10, int seed = 0, double lambda_value = 6.0, double drift_delta = 0.001,
                 double warning_delta = 0.01, int grace_period = 200, int max_depth = 20,
                 double learning_rate = 0.01, SplitCriterion split_criterion = SplitCriterion::mean_split);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Reseeds the generator and replaces every member by one with a fresh tree and no subset.
    void reset() override;

    // Options, the generator, the shared columns and every member with its trees, in the trees'
    // format version (HoeffdingTreeRegressor::kStateVersion).
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    // trees.model is always present; features are drawn at the member's first sample and kept
    // until reset.
    using Member = RegressorMember;
    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>& members() { return members_; }

    // Number of features a member keeps out of n: sqrt(n) rounded half away from zero, at least 1.
    static std::size_t subset_size(std::size_t n);

    // Options. n_models and seed take effect at the next reset; the others when a tree is made
    // or, for lambda_value, at the next learn_one.
    int n_models;
    int seed;
    double lambda_value;
    double drift_delta;
    double warning_delta;
    int grace_period;
    int max_depth;
    double learning_rate;
    SplitCriterion split_criterion;

private:
    friend class ParallelRegressor<ARFRegressor>;
    std::unique_ptr<HoeffdingTreeRegressor> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

    // For the batch methods on threads (see ParallelRegressor).
    std::size_t parallel_members() const { return members_.size(); }
    std::shared_ptr<SampleColumns>& shared_columns() { return features_; }
    bool ready_for_parallel_rows() const;
    bool draw_weights(double y, std::size_t block_row, int* weights);
    void bind_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns) {
        members_[i].trees.rebind_columns(columns);
    }
    double member_prediction(std::size_t i, SampleColumns& loaded) { return members_[i].predict_loaded(loaded); }
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                      std::size_t block_row, const double* prediction);
    void after_predictions(const double*) {}

    std::vector<Member> members_;
    Rng rng_;  // feature-subset shuffles and Poisson weights
    // Shared by all trees: each sample's names are looked up once per call, not once per tree.
    std::shared_ptr<SampleColumns> features_;
};

}  // namespace quelb
