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
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "drift/drift_aware_member.hpp"
#include "ensembles/parallel_members.hpp"
#include "ensembles/vote.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

class LeveragingBaggingClassifier : public ParallelClassifier<LeveragingBaggingClassifier> {
public:
    // Throws std::invalid_argument for grace_period < 1 or an unusable lambda_value.
    LeveragingBaggingClassifier(int n_models = 10, int seed = 0, double lambda_value = 6.0,
                                double drift_delta = 0.002, int grace_period = 50, int max_depth = 20,
                                double split_confidence = 0.01);

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // Reseeds the generator and builds max(n_models, 1) members with new trees.
    void reset() override;

    // Options, the generator, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using Member = DriftAwareMember<HoeffdingTreeClassifier>;  // drift detector only
    const std::vector<Member>& members() const { return members_; }

    // Options. n_models and seed take effect at the next reset.
    int n_models;
    int seed;
    double lambda_value;
    double drift_delta;
    double split_confidence;
    int grace_period;
    int max_depth;

private:
    friend class ParallelClassifier<LeveragingBaggingClassifier>;
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(const std::shared_ptr<SampleColumns>& columns) const;
    void vote(const FeatureMap& x);

    // For the batch methods on threads (see ParallelClassifier).
    std::size_t parallel_members() const { return members_.size(); }
    std::shared_ptr<SampleColumns>& shared_columns() { return features_; }
    bool ready_for_parallel_rows() const { return true; }  // the generator only ever weighs
    void draw_weights(Label y, int* weights);
    void bind_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns) {
        members_[i].rebind_columns(columns);
    }
    double member_vote(std::size_t i, SampleColumns& loaded, std::vector<std::pair<Label, double>>& proba);
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);

    std::vector<Member> members_;
    Rng rng_;  // Poisson weights only
    std::shared_ptr<SampleColumns> features_;  // shared by all trees

    // Scratch space reused between calls.
    std::vector<std::pair<Label, double>> proba_;
    ProbabilityVote vote_;
};

class LeveragingBaggingRegressor : public ParallelRegressor<LeveragingBaggingRegressor> {
public:
    // Throws std::invalid_argument for an unusable lambda_value and std::length_error ("vector too
    // long") for a negative n_models.
    LeveragingBaggingRegressor(int n_models = 10, int seed = 0, double lambda_value = 6.0,
                               double drift_delta = 0.002, int grace_period = 50, int max_depth = 20,
                               double split_confidence = 0.01, std::string leaf_prediction = "adaptive");

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Builds n_models members, member i with a tree seeded seed + i; forgets the target
    // statistics and reseeds the generator. Throws std::length_error for a negative n_models,
    // leaving the ensemble as it was.
    void reset() override;

    // Options, the generator, the target sums, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using Member = DriftAwareMember<FIMTDDRegressor>;  // drift detector only
    const std::vector<Member>& members() const { return members_; }
    // Members handed out may be changed: the predictions of the last predict_one are not reused.
    std::vector<Member>& members() {
        predictions_current_ = false;
        return members_;
    }

    // Options. n_models and seed take effect at the next reset (seed also for the trees that
    // replace drifted members).
    int n_models;
    int seed;
    double lambda_value;
    double drift_delta;
    double split_confidence;
    int grace_period;
    int max_depth;
    std::string leaf_prediction;  // passed to every tree

private:
    friend class ParallelRegressor<LeveragingBaggingRegressor>;
    std::unique_ptr<FIMTDDRegressor> make_tree(std::size_t member, const std::shared_ptr<SampleColumns>& columns) const;
    // Counts the target and returns the scale of the detectors' errors.
    double add_target(double y);
    // Member i's test-then-train step on the sample loaded into `columns`; `prediction` is its
    // answer for this very sample, when known.
    void learn_step(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times, double scale,
                    const double* prediction);

    // For the batch methods on threads (see ParallelRegressor).
    std::size_t parallel_members() const { return members_.size(); }
    std::shared_ptr<SampleColumns>& shared_columns() { return features_; }
    // A remembered prediction may serve the first row: that row goes the one-sample way.
    bool ready_for_parallel_rows() const { return !predictions_current_; }
    bool draw_weights(double y, std::size_t block_row, int* weights);
    void bind_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns) {
        members_[i].rebind_columns(columns);
    }
    double member_prediction(std::size_t i, SampleColumns&) { return members_[i].model->predict_loaded(); }
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                      std::size_t block_row, const double* prediction) {
        learn_step(i, columns, y, times, block_scales_[block_row], prediction);
    }
    void after_predictions(const double* last_row);
    std::vector<double> block_scales_;  // each row's error scale, for rows learned on threads

    std::vector<Member> members_;
    Rng rng_;  // Poisson weights only
    std::shared_ptr<SampleColumns> features_;  // shared by all trees
    // Targets seen since reset: their standard deviation scales the detectors' errors.
    double target_count_ = 0.0;
    double target_sum_ = 0.0;
    double target_sumsq_ = 0.0;
    // Each member's answer to the last predict_one, for the sample of features_ version
    // predictions_content_, while predictions_current_: nothing has learned since, so learning
    // that very sample measures the members' errors with these answers instead of asking again.
    std::vector<double> predictions_;
    std::uint64_t predictions_content_ = 0;
    bool predictions_current_ = false;
};

}  // namespace quelb
