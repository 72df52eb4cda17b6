#pragma once
// Adaptive random forest for classification: Hoeffding trees, each trained on a Poisson-weighted
// copy of the stream and restricted to a random subset of features at every split attempt. Each
// member watches its 0/1 error with a warning and a drift detector (background tree after a
// warning, tree swap after a drift); predictions are the accuracy-weighted average of the
// members' class distributions.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "ensembles/classifier_member.hpp"
#include "ensembles/parallel_members.hpp"
#include "ensembles/vote.hpp"
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

class ARFClassifier : public ParallelClassifier<ARFClassifier> {
public:
    // Throws std::invalid_argument for grace_period < 1 or an unusable lambda_value.
    ARFClassifier(int n_models = 10, int seed = 0, double lambda_value = 6.0, double drift_delta = 0.001,
                  double warning_delta = 0.01, int grace_period = 50, int max_depth = 20,
                  double split_confidence = 0.01, int subspace_size = -1);

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // Reseeds the generator and replaces every member by an empty one (trees come lazily).
    void reset() override;

    // Options, the generator, the shared columns and every member with its trees.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    using Member = ClassifierMember;
    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>& members() { return members_; }

    // Options. n_models takes effect at the next reset; seed at once for trees made later and
    // for the generator at the next reset.
    int n_models;
    int seed;
    double lambda_value;
    int subspace_size;  // features per split attempt; negative means floor(sqrt(n)) + 1
    double drift_delta;
    double warning_delta;
    double split_confidence;
    int grace_period;
    int max_depth;

private:
    friend class ParallelClassifier<ARFClassifier>;
    // A tree reading `columns`, for a sample of n_features features.
    std::unique_ptr<HoeffdingTreeClassifier> make_tree(std::uint32_t tree_seed, std::size_t n_features,
                                                       const std::shared_ptr<SampleColumns>& columns) const;
    // Member i's test-then-train step on the sample loaded into `columns`, weighted `times`.
    void learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times);

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
    // Fills vote_ with the members' weighted distributions for x.
    void vote(const FeatureMap& x);

    std::vector<Member> members_;
    Rng rng_;  // Poisson weights only
    // Shared by all trees: each sample's names are looked up once per call, not once per tree.
    std::shared_ptr<SampleColumns> features_;

    // Scratch space reused between calls.
    std::vector<std::pair<Label, double>> proba_;
    ProbabilityVote vote_;
};

}  // namespace quelb
