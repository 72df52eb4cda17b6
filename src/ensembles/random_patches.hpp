#pragma once
// Streaming random patches: each member is a Hoeffding tree trained on a random subset of the
// features ("subspaces"), on a Poisson-weighted copy of the stream ("resampling"), or on both
// ("patches", the default). A member draws its subset once, from its first sample, with a
// generator of its own seeded from the ensemble seed and its index. Members watch their error
// with a warning and a drift detector and swap trees exactly as the random forests do; the
// classifier combines accuracy-weighted class distributions, the regressor averages.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "ensembles/classifier_member.hpp"
#include "ensembles/parallel_members.hpp"
#include "ensembles/regressor_member.hpp"
#include "ensembles/vote.hpp"

namespace quelb {

// How the members of a random patches ensemble are trained.
enum class PatchTraining { subspaces, resampling, patches };

// "subspaces" and "resampling" exactly; any other text means patches.
PatchTraining patch_training(const std::string& method);

// Features a member keeps out of n: n * fraction rounded half away from zero, within [1, n]
// (1 for n = 0, which gives an empty subset: whole samples).
std::size_t patch_size(std::size_t n, double fraction);

// Draws member i's subset from the loaded sample with a generator of its own, seeded
// seed + 7919 * (i + 1): the ensemble's generator is not touched.
void draw_patch(FeatureSubset& subset, const SampleColumns& loaded, int seed, std::size_t member, double fraction);

class SRPClassifier : public ParallelClassifier<SRPClassifier> {
public:
    // Throws std::invalid_argument for grace_period < 1 or an unusable lambda_value.
    SRPClassifier(int n_models = 10, int seed = 0, double lambda_value = 6.0, double drift_delta = 0.001,
                  double warning_delta = 0.01, int grace_period = 50, int max_depth = 20,
                  double split_confidence = 0.01, double subspace_fraction = 0.6,
                  std::string training_method = "patches");

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // Reseeds the generator and replaces every member by an empty one (no tree, no subset).
    void reset() override;

    // Options, the generator, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using Member = ClassifierMember;
    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>& members() { return members_; }
    // A new member tree with the ensemble's options, reading `columns` (the shared ones, or a
    // thread's copy).
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

    // Options. n_models and seed take effect at the next reset; training_method at the next
    // learn_one; the tree options when a tree is made.
    int n_models;
    int seed;
    double lambda_value;
    double subspace_fraction;
    std::string training_method;
    double drift_delta;
    double warning_delta;
    double split_confidence;
    int grace_period;
    int max_depth;

private:
    friend class ParallelClassifier<SRPClassifier>;
    void vote(const FeatureMap& x);

    // For the batch methods on threads (see ParallelClassifier).
    std::size_t parallel_members() const { return members_.size(); }
    std::shared_ptr<SampleColumns>& shared_columns() { return features_; }
    bool ready_for_parallel_rows() const;
    void draw_weights(Label y, int* weights);
    void bind_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns) {
        members_[i].trees.rebind_columns(columns);
    }
    double member_vote(std::size_t i, SampleColumns& loaded, std::vector<std::pair<Label, double>>& proba) {
        return members_[i].vote_loaded(loaded, proba);
    }
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);

    std::vector<Member> members_;
    Rng rng_;  // Poisson weights only
    std::shared_ptr<SampleColumns> features_;  // shared by all trees

    // Scratch space reused between calls.
    std::vector<std::pair<Label, double>> proba_;
    ProbabilityVote vote_;
};

class SRPRegressor : public ParallelRegressor<SRPRegressor> {
public:
    // Throws std::invalid_argument for grace_period < 1 or an unusable lambda_value.
    SRPRegressor(int n_models = 10, int seed = 0, double lambda_value = 6.0, double drift_delta = 0.001,
                 double warning_delta = 0.01, int grace_period = 200, int max_depth = 20,
                 double learning_rate = 0.01, double subspace_fraction = 0.6,
                 std::string training_method = "patches",
                 SplitCriterion split_criterion = SplitCriterion::mean_split);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Reseeds the generator and replaces every member by an empty one (no tree, no subset).
    void reset() override;

    // Options, the generator, the shared columns and every member with its trees, in the trees'
    // format version (HoeffdingTreeRegressor::kStateVersion).
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using Member = RegressorMember;
    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>& members() { return members_; }
    // A new member tree with the ensemble's options, reading `columns`.
    std::unique_ptr<HoeffdingTreeRegressor> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

    // Options, as for SRPClassifier.
    int n_models;
    int seed;
    double lambda_value;
    double subspace_fraction;
    std::string training_method;
    double learning_rate;
    int grace_period;
    int max_depth;
    double drift_delta;
    double warning_delta;
    SplitCriterion split_criterion;

private:
    friend class ParallelRegressor<SRPRegressor>;

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
    Rng rng_;  // Poisson weights only
    std::shared_ptr<SampleColumns> features_;  // shared by all trees
};

}  // namespace quelb
