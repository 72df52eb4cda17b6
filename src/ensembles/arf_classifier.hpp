#pragma once
// Adaptive random forest for classification: Hoeffding trees, each trained on a Poisson-weighted
// copy of the stream and restricted to a random subset of features at every split attempt. Each
// member watches its 0/1 error with a warning and a drift detector (background tree after a
// warning, tree swap after a drift); predictions are the accuracy-weighted average of the
// members' class distributions.
#include <cstdint>
#include <memory>

#include "core/contracts.hpp"
#include "ensembles/forest.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

// seed takes effect at once for trees made later, and for the generator at the next reset.
struct ARFClassifierOptions : ForestClassifierOptions {
    int subspace_size = -1;  // features per split attempt; negative means floor(sqrt(n)) + 1

    static constexpr auto fields() {
        using O = ARFClassifierOptions;
        return std::tuple_cat(ForestClassifierOptions::fields(),
                              std::make_tuple(option("subspace_size", &O::subspace_size, kArgument,
                                                     "features per split attempt; negative means floor(sqrt(n)) + 1"),
                                              max_bytes_field()));
    }
};

// Members make their trees at their first sample.
class ARFClassifier : public Forest<ARFClassifier, ClassifierMember, ARFClassifierOptions> {
public:
    // Throws std::invalid_argument when an option is refused.
    explicit ARFClassifier(const Options& options = {}) : Forest(options) {}

    void learn_one(const FeatureMap& x, Label y) override;

    // The order of the options in saved states.
    using SavedOptions =
        SavedOrder<ARFClassifierOptions, &Options::n_models, &Options::seed, &Options::lambda_value,
                   &Options::subspace_size, &Options::drift_delta, &Options::warning_delta, &Options::split_confidence,
                   &Options::grace_period, &Options::max_depth>;

private:
    friend class ParallelClassifier<ARFClassifier, ClassifierMember>;
    // A tree reading `columns`, for a sample of n_features features.
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(std::uint32_t tree_seed, std::size_t n_features,
                                                       const std::shared_ptr<SampleColumns>& columns) const;
    // Member i's test-then-train step on the sample loaded into `columns`, weighted `times`.
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);

    // For the batch methods on threads (see ParallelClassifier).
    bool ready_for_parallel_rows() const { return all_have_trees(); }  // then the generator only weighs
    void draw_weights(Label, int* weights) { draw_poisson_weights(lambda_value, weights); }
};

}  // namespace quelb
