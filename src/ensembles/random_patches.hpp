#pragma once
// Streaming random patches: each member is a Hoeffding tree trained on a random subset of the
// features ("subspaces"), on a Poisson-weighted copy of the stream ("resampling"), or on both
// ("patches", the default). A member draws its subset once, from its first sample, with a
// generator of its own seeded from the ensemble seed and its index. Members watch their error
// with a warning and a drift detector and swap trees exactly as the random forests do; the
// classifier combines accuracy-weighted class distributions, the regressor averages.
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/contracts.hpp"
#include "core/sample_columns.hpp"
#include "ensembles/forest.hpp"

namespace quelb {

// How the members of a random patches ensemble are trained.
enum class PatchTraining { subspaces, resampling, patches };

// "subspaces" and "resampling" exactly; any other text means patches.
PatchTraining patch_training(std::string_view method);

// Features a member keeps out of n: n * fraction rounded half away from zero, within [1, n]
// (1 for n = 0, which gives an empty subset: whole samples).
std::size_t patch_size(std::size_t n, double fraction);

// Draws member i's subset from the loaded sample with a generator of its own, seeded
// seed + 7919 * (i + 1): the ensemble's generator is not touched.
void draw_patch(FeatureSubset& subset, const SampleColumns& loaded, int seed, std::size_t member, double fraction);

// What random patches adds to the forests' options. n_models and seed take effect at the next
// reset; training_method at the next learn_one; the tree options when a tree is made.
struct PatchOptions {
    double subspace_fraction = 0.6;
    ModeOption<PatchTraining, patch_training> training_method = "patches";

    static constexpr auto fields() {
        return std::make_tuple(option("subspace_fraction", &PatchOptions::subspace_fraction, kArgument,
                                      "share of the features each member draws"),
                               option("training_method", &PatchOptions::training_method, kArgument,
                                      "'subspaces', 'resampling', else 'patches' (both)"));
    }
};

struct SRPClassifierOptions : ForestClassifierOptions, PatchOptions {
    static constexpr auto fields() {
        return std::tuple_cat(ForestClassifierOptions::fields(), PatchOptions::fields(),
                              std::make_tuple(max_bytes_field()));
    }
};

struct SRPRegressorOptions : ForestRegressorOptions, PatchOptions {
    static constexpr auto fields() {
        return std::tuple_cat(ForestRegressorOptions::fields(), PatchOptions::fields(),
                              std::make_tuple(split_criterion_field(), max_bytes_field()));
    }
};

// Members make their trees and draw their patches at their first sample.
class SRPClassifier : public Forest<SRPClassifier, ClassifierMember, SRPClassifierOptions> {
public:
    // Throws std::invalid_argument when an option is refused.
    explicit SRPClassifier(const Options& options = {}) : Forest(options) {}

    void learn_one(const FeatureMap& x, Label y) override;

    // The order of the options in saved states.
    using SavedOptions =
        SavedOrder<SRPClassifierOptions, &Options::n_models, &Options::seed, &Options::lambda_value,
                   &Options::subspace_fraction, &Options::training_method, &Options::drift_delta,
                   &Options::warning_delta, &Options::split_confidence, &Options::grace_period, &Options::max_depth>;

    // A new member tree with the ensemble's options, reading `columns` (the shared ones, or a
    // thread's copy).
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

private:
    friend class ParallelClassifier<SRPClassifier, ClassifierMember>;

    // For the batch methods on threads (see ParallelClassifier).
    bool ready_for_parallel_rows() const { return all_have_trees(); }
    void draw_weights(Label y, int* weights);
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);
};

// Members make their trees and draw their patches at their first sample.
class SRPRegressor : public Forest<SRPRegressor, RegressorMember, SRPRegressorOptions> {
public:
    // Throws std::invalid_argument when an option is refused.
    explicit SRPRegressor(const Options& options = {}) : Forest(options) {}

    void learn_one(const FeatureMap& x, double y) override;

    // The order of the options in saved states.
    using SavedOptions =
        SavedOrder<SRPRegressorOptions, &Options::n_models, &Options::seed, &Options::lambda_value,
                   &Options::subspace_fraction, &Options::training_method, &Options::learning_rate,
                   &Options::grace_period, &Options::max_depth, &Options::drift_delta, &Options::warning_delta>;

private:
    friend class ParallelRegressor<SRPRegressor, RegressorMember>;

    // For the batch methods on threads (see ParallelRegressor).
    bool ready_for_parallel_rows() const { return all_have_trees(); }
    bool draw_weights(double y, std::size_t block_row, int* weights);
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                      std::size_t block_row, const double* prediction);
};

}  // namespace quelb
