#pragma once
// Adaptive random forest for regression: Hoeffding regression trees, each restricted to a random
// subset of the features drawn once from the member's first sample, and trained on a
// Poisson-weighted copy of the stream. Each member watches the absolute error of its tree with a
// warning and a drift detector (background tree after a warning, tree swap after a drift); the
// prediction is the plain mean of the members' predictions.
#include <memory>

#include "core/contracts.hpp"
#include "ensembles/forest.hpp"

namespace quelb {

// n_models and seed take effect at the next reset; the others when a tree is made or, for
// lambda_value, at the next learn_one.
struct ARFRegressorOptions : ForestRegressorOptions {
    static constexpr auto fields() {
        return std::tuple_cat(ForestRegressorOptions::fields(),
                              std::make_tuple(split_criterion_field(), max_bytes_field()));
    }
};

// trees.model of every member is always present (made at reset); features are drawn at the
// member's first sample and kept until reset.
class ARFRegressor : public Forest<ARFRegressor, RegressorMember, ARFRegressorOptions, MemberTrees::at_reset> {
public:
    // Throws std::invalid_argument when an option is refused.
    explicit ARFRegressor(const Options& options = {}) : Forest(options) {}

    void learn_one(const FeatureMap& x, double y) override;

    // The order of the options in saved states.
    using SavedOptions = SavedOrder<ARFRegressorOptions, &Options::n_models, &Options::seed, &Options::lambda_value,
                                    &Options::drift_delta, &Options::warning_delta, &Options::grace_period,
                                    &Options::max_depth, &Options::learning_rate>;

    // Number of features a member keeps out of n: sqrt(n) rounded half away from zero, at least 1.
    static std::size_t subset_size(std::size_t n);

private:
    friend class ParallelRegressor<ARFRegressor, RegressorMember>;

    // For the batch methods on threads (see ParallelRegressor).
    bool ready_for_parallel_rows() const;
    bool draw_weights(double y, std::size_t block_row, int* weights);
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                      std::size_t block_row, const double* prediction);
};

}  // namespace quelb
