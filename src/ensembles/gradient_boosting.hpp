#pragma once
// Streaming gradient boosting. A GradientBooster is a fixed sequence of boosting steps, each a
// bag of FIMT-DD regression trees that sees only its own random subset of the features. For every
// sample each step learns the Newton target of the loss (gradient over hessian) given the summed
// output of the steps before it, optionally repeated in proportion to the hessian and
// Poisson-resampled across the bag. SGBRRegressor owns one booster with squared loss;
// SGBTClassifier one booster per class (one-vs-rest) or, in two-class mode, a single booster.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "core/thread_team.hpp"
#include "ensembles/feature_subset.hpp"
#include "trees/fimtdd_regressor.hpp"

namespace quelb {

class StateReader;
class StateWriter;

// What a booster copies from its owner when it is created.
struct BoosterOptions {
    int n_models;                // boosting steps; values below 1 count as 1
    int percentage_of_features;  // share of the features per step, in percent
    int multiply_hessian_by;     // hessian repetition factor, active from 2
    int skip_training;           // a sample is skipped with probability 1 / skip_training, active from 2
    int bag_size;                // trees per step; values below 1 count as 1
    double learning_rate;        // shrinkage of each step's output during training
    bool use_squared_loss;       // squared loss, else logistic loss
    int grace_period;
    int max_depth;
    double split_confidence;
    std::string leaf_prediction;
    int seed;

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);
};

class GradientBooster {
public:
    // The trees read samples through `columns`, which the owner loads (and may share with other
    // boosters); steps project it onto their features.
    GradientBooster(BoosterOptions options, std::shared_ptr<SampleColumns> columns);

    // Trains on the loaded sample (loaded with new names added). The first trained sample builds
    // the steps: their feature subsets and trees.
    void train_loaded(double target);
    // Sum over the steps of the mean prediction of their trees for the loaded sample (the
    // learning rate is not applied); 0 before the steps are built.
    double raw_output_loaded();

    // Options, the generator, the steps' subsets and trees; the columns are the owner's to save.
    // load_state reads against the columns given at construction.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    const BoosterOptions& options() const { return options_; }
    bool initialised() const { return initialised_; }
    std::size_t n_steps() const { return feature_lists_.size(); }
    std::size_t bag_size() const { return bag_size_; }
    // A step's features, in ascending byte order (empty: whole samples).
    const std::vector<std::string>& step_features(std::size_t step) const { return feature_lists_[step].names(); }
    // A tree handed out may be changed: the leaves the last prediction found are not reused.
    FIMTDDRegressor& tree(std::size_t step, std::size_t member) {
        walks_current_ = false;
        return *trees_[step * bag_size_ + member];
    }

private:
    void build_steps();

    BoosterOptions options_;
    std::size_t bag_size_;
    bool initialised_ = false;
    std::vector<FeatureSubset> feature_lists_;
    std::vector<std::unique_ptr<FIMTDDRegressor>> trees_;  // step by step, bag_size_ each
    std::vector<FIMTDDRegressor*> tree_list_;              // the same trees, for walks side by side
    bool mean_leaves_;  // the trees answer with leaf means, reading no feature values at the leaf
    // Each tree's leaf for the sample of columns_ version walks_content_, while walks_current_:
    // found by the last prediction, and still right until a tree learns.
    FIMTDDRegressor::SideBySide walks_;
    bool walks_current_ = false;
    std::uint64_t walks_content_ = 0;
    std::vector<double> answers_;        // scratch
    std::vector<std::int64_t> draws_;  // scratch: each tree's Poisson weight for the sample
    Rng rng_;
    std::shared_ptr<SampleColumns> columns_;
};

class SGBRRegressor : public IRegressor {
public:
    SGBRRegressor(int n_models = 10, double learning_rate = 1.0, int percentage_of_features = 75,
                  int multiply_hessian_by = 1, int skip_training = 1, int bag_size = 10, int grace_period = 50,
                  double split_confidence = 0.01, int max_depth = 20, std::string leaf_prediction = "mean",
                  int seed = 1);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    // Discards the booster; the next learn_one creates it with the options of that moment.
    void reset() override;

    // Options, the shared columns and the booster, if any.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    GradientBooster* booster() { return booster_.get(); }

    // The n_threads option. Each boosting step needs the output of the steps before it, so the
    // booster learns on the calling thread.
    Threads threads;

    // Options, copied into the booster when it is created.
    int n_models;
    double learning_rate;
    int percentage_of_features;
    int multiply_hessian_by;
    int skip_training;
    int bag_size;
    int seed;
    int grace_period;
    int max_depth;
    double split_confidence;
    std::string leaf_prediction;

private:
    std::unique_ptr<GradientBooster> booster_;
    std::shared_ptr<SampleColumns> columns_;
};

class SGBTClassifier : public IClassifier {
public:
    SGBTClassifier(int n_models = 100, double learning_rate = 0.0125, int percentage_of_features = 75,
                   int multiply_hessian_by = 1, int skip_training = 1, bool use_squared_loss = false,
                   int bag_size = 1, int n_classes = 0, bool scale_prediction_by_lr = false, int grace_period = 25,
                   double split_confidence = 0.05, int max_depth = 20, std::string leaf_prediction = "mean",
                   int seed = 1);

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // Forgets the classes and discards every booster.
    void reset() override;

    // Options, the classes, the shared columns and every booster.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    const std::vector<Label>& classes() const { return classes_; }
    std::size_t n_boosters() const { return boosters_.size(); }
    GradientBooster& booster(std::size_t i) { return *boosters_[i]; }

    // The n_threads option: the boosters learn on the calling thread.
    Threads threads;

    // Options, copied into a booster when it is created; n_classes is read on every call
    // (exactly 2: one booster for the two smallest labels, else one booster per class).
    int n_models;
    double learning_rate;
    int percentage_of_features;
    int multiply_hessian_by;
    int skip_training;
    bool use_squared_loss;
    int bag_size;
    int n_classes;
    bool scale_prediction_by_lr;
    int seed;
    int grace_period;
    int max_depth;
    double split_confidence;
    std::string leaf_prediction;

private:
    std::unique_ptr<GradientBooster> make_booster() const;
    double score(GradientBooster& booster);
    // Fills probabilities_ with the probability of classes_[i] for every listed label i (all
    // classes, or the two smallest in two-class mode).
    void compute_probabilities(const FeatureMap& x);

    std::vector<Label> classes_;  // ascending
    // One per class at the same position, or a single one in two-class mode.
    std::vector<std::unique_ptr<GradientBooster>> boosters_;
    bool boosters_two_class_ = false;  // the mode the boosters were built for
    std::shared_ptr<SampleColumns> columns_;

    std::vector<double> probabilities_;  // scratch
};

}  // namespace quelb
