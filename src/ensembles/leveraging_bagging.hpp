#pragma once
// Leveraging bagging: online bagging with a large Poisson weight. Every member learns each sample
// a Poisson(lambda_value) number of times, and one ADWIN drift detector per member replaces the
// member's tree by a new one when its error changes (no warnings, no background trees, no feature
// subsets). The classifier averages its Hoeffding trees' class distributions without weights; the
// regressor averages its FIMT-DD trees' predictions and scales the errors its detectors see by the
// standard deviation of the targets.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/hoeffding.hpp"
#include "core/sample_columns.hpp"
#include "drift/drift_aware_member.hpp"
#include "ensembles/ensemble_options.hpp"
#include "ensembles/member_trees.hpp"
#include "ensembles/parallel_members.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

// The seed also starts the regressor's trees, those that replace drifted members included.
struct LeveragingBaggingClassifierOptions : DriftAwareTreesOptions {
    double split_confidence = 0.01;

    // The regressor's trees take any grace period.
    template <OptionCheck<int> GracePeriodCheck>
    static constexpr auto bagging_fields() {
        using O = LeveragingBaggingClassifierOptions;
        return std::tuple_cat(BaggingOptions::fields(),
                              std::make_tuple(drift_delta_field(),
                                              option("grace_period", &O::grace_period, kArgument, GracePeriodCheck,
                                                     "samples a member's leaf sees between split attempts"),
                                              max_depth_field(),
                                              option("split_confidence", &O::split_confidence, kArgument,
                                                     "split confidence of the members' trees")));
    }
    static constexpr auto fields() {
        return std::tuple_cat(bagging_fields<grace_period_check>(), std::make_tuple(max_bytes_field()));
    }
};

struct LeveragingBaggingRegressorOptions : LeveragingBaggingClassifierOptions {
    std::string leaf_prediction = "adaptive";  // passed to every tree

    static constexpr auto fields() {
        return std::tuple_cat(bagging_fields<nullptr>(),
                              std::make_tuple(option("leaf_prediction",
                                                     &LeveragingBaggingRegressorOptions::leaf_prediction, kArgument,
                                                     "the FIMT-DD leaves: 'mean', 'perceptron', else adaptive"),
                                              max_bytes_field()));
    }
};

class LeveragingBaggingClassifier
    : public ParallelClassifier<LeveragingBaggingClassifier, DriftAwareMember<HoeffdingTreeClassifier>>,
      public WithThreads<LeveragingBaggingClassifierOptions> {
public:
    using Options = WithThreads<LeveragingBaggingClassifierOptions>;
    // Throws std::invalid_argument when an option is refused.
    explicit LeveragingBaggingClassifier(const Options& options = {});

    void learn_one(const FeatureMap& x, Label y) override;
    // Reseeds the generator and builds max(n_models, 1) members with new trees.
    void reset() override;

    static constexpr std::uint32_t kStateVersion = kCountedMembersVersion;
    // Options, the generator, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    friend class ParallelClassifier<LeveragingBaggingClassifier, Member>;
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

    // For the batch methods on threads (see ParallelClassifier).
    bool ready_for_parallel_rows() const { return true; }  // the generator only ever weighs
    void draw_weights(Label, int* weights) { draw_poisson_weights(lambda_value, weights); }
    // The tree's distribution, unweighted.
    double member_vote(std::size_t i, SampleColumns& loaded, std::vector<std::pair<Label, double>>& proba);
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);
};

class LeveragingBaggingRegressor
    : public ParallelRegressor<LeveragingBaggingRegressor, DriftAwareMember<FIMTDDRegressor>>,
      public WithThreads<LeveragingBaggingRegressorOptions> {
public:
    using Options = WithThreads<LeveragingBaggingRegressorOptions>;
    // Throws std::invalid_argument when an option is refused, and std::length_error ("vector too
    // long") for a negative n_models.
    explicit LeveragingBaggingRegressor(const Options& options = {});

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Builds n_models members, member i with a tree seeded seed + i; forgets the target
    // statistics and reseeds the generator. Throws std::length_error for a negative n_models,
    // leaving the ensemble as it was.
    void reset() override;

    // From kCountedMembersVersion on the members' counters follow their trees, and from
    // kBudgetedModelTreesVersion on the trees' budgets and the ensemble's max_bytes too.
    static constexpr std::uint32_t kStateVersion = kBudgetedModelTreesVersion;
    // Options, the generator, the target sums, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using EnsembleMembers::members;
    // Members handed out may be changed: the answers of the last predict_one are not reused.
    std::vector<Member>& members() {
        ++members_version_;
        return members_;
    }

private:
    friend class ParallelRegressor<LeveragingBaggingRegressor, Member>;
    std::unique_ptr<FIMTDDRegressor> make_tree(std::size_t member, const std::shared_ptr<SampleColumns>& columns) const;
    // Counts the target and returns the scale of the detectors' errors.
    double add_target(double y);
    // Member i's test-then-train step on the sample loaded into `columns`; `prediction` is its
    // answer for this very sample, when known.
    void learn_step(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times, double scale,
                    const double* prediction);
    // Remembers the members' answers for the sample now loaded (the answers of the members as
    // they are now).
    void remember_predictions();

    // For the batch methods on threads (see ParallelRegressor).
    // A remembered prediction may serve the first row: that row goes the one-sample way.
    bool ready_for_parallel_rows() const { return predictions_version_ != members_version_; }
    bool draw_weights(double y, std::size_t block_row, int* weights);
    double member_prediction(std::size_t i, SampleColumns&) { return members_[i].model->predict_loaded(); }
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                      std::size_t block_row, const double* prediction) {
        learn_step(i, columns, y, times, block_scales_[block_row], prediction);
    }
    void after_predictions(const double* last_row);
    std::size_t extra_bytes() const { return memory::owned_all(block_scales_, predictions_); }
    std::vector<double> block_scales_;  // each row's error scale, for rows learned on threads

    // Targets seen since reset: their standard deviation scales the detectors' errors.
    double target_count_ = 0.0;
    double target_sum_ = 0.0;
    double target_sumsq_ = 0.0;
    // Moves on whenever the members may change (learning, reset, restoring, handing them out).
    std::uint64_t members_version_ = 0;
    // Each member's answer to the last predict_one, for the sample of features_ version
    // predictions_content_, by the members of version predictions_version_: while the members are
    // still those, learning that very sample measures their errors with these answers instead of
    // asking again.
    std::vector<double> predictions_;
    std::uint64_t predictions_content_ = 0;
    std::uint64_t predictions_version_ = static_cast<std::uint64_t>(-1);
};

}  // namespace quelb
