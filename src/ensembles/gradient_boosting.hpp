#pragma once
// Streaming gradient boosting. A GradientBooster is a fixed sequence of boosting steps, each a
// bag of FIMT-DD regression trees that sees only its own random subset of the features. For every
// sample each step learns the Newton target of the loss (gradient over hessian) given the summed
// output of the steps before it, optionally repeated in proportion to the hessian and
// Poisson-resampled across the bag. SGBRRegressor owns one booster with squared loss;
// SGBTClassifier one booster per class (one-vs-rest) or, in two-class mode, a single booster.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "core/thread_team.hpp"
#include "ensembles/ensemble_options.hpp"
#include "ensembles/feature_subset.hpp"
#include "ensembles/parallel_members.hpp"
#include "trees/fimtdd_regressor.hpp"

namespace quelb {

class StateReader;
class StateWriter;

// A booster's options, copied from its owner when the booster is created, in the order of the
// booster's saved state. The defaults are the classifier's.
struct BoosterOptions {
    int n_models = 100;               // boosting steps; values below 1 count as 1
    int percentage_of_features = 75;  // share of the features per step, in percent
    int multiply_hessian_by = 1;      // hessian repetition factor, active from 2
    int skip_training = 1;            // a sample is skipped with probability 1 / skip_training, active from 2
    int bag_size = 1;                 // trees per step; values below 1 count as 1
    double learning_rate = 0.0125;    // shrinkage of each step's output during training
    bool use_squared_loss = false;    // squared loss, else logistic loss
    int grace_period = 25;
    int max_depth = 20;
    double split_confidence = 0.05;
    std::string leaf_prediction = "mean";
    int seed = 1;
    // Bytes the owner's trees may hold together; None: no limit. The owner shares it among every
    // tree of its boosters and saves it after them, so a booster's state leaves it out.
    std::optional<std::int64_t> max_bytes;

    static constexpr auto fields() {
        using O = BoosterOptions;
        return std::make_tuple(
            option("n_models", &O::n_models, 0), option("percentage_of_features", &O::percentage_of_features, 0),
            option("multiply_hessian_by", &O::multiply_hessian_by, 0), option("skip_training", &O::skip_training, 0),
            option("bag_size", &O::bag_size, 0), option("learning_rate", &O::learning_rate, 0),
            option("use_squared_loss", &O::use_squared_loss, 0), option("grace_period", &O::grace_period, 0),
            option("max_depth", &O::max_depth, 0), option("split_confidence", &O::split_confidence, 0),
            option("leaf_prediction", &O::leaf_prediction, 0), option("seed", &O::seed, 0),
            option("max_bytes", &O::max_bytes, kUnsaved));
    }

    // The constructor arguments both boosting learners take, in groups around their own.
    static constexpr auto boosting_fields() {
        using O = BoosterOptions;
        return std::make_tuple(option("n_models", &O::n_models, kArgument | kProperty,
                                      "boosting steps (below 1 counts as 1)"),
                               option("learning_rate", &O::learning_rate, kArgument | kProperty,
                                      "shrinkage of each step's output"),
                               option("percentage_of_features", &O::percentage_of_features, kArgument,
                                      "share of the features each step sees, in percent"),
                               option("multiply_hessian_by", &O::multiply_hessian_by, kArgument,
                                      "hessian repetition factor (active from 2)"),
                               option("skip_training", &O::skip_training, kArgument,
                                      "skip a sample with probability 1 / skip_training (active from 2)"));
    }
    static constexpr auto bag_fields() {
        using O = BoosterOptions;
        return std::make_tuple(option("bag_size", &O::bag_size, kArgument, "trees per step (below 1 counts as 1)"));
    }
    static constexpr auto step_tree_fields() {
        using O = BoosterOptions;
        return std::make_tuple(option("grace_period", &O::grace_period, kArgument,
                                      "grace period of the steps' FIMT-DD trees"),
                               option("split_confidence", &O::split_confidence, kArgument,
                                      "split confidence of the steps' trees"),
                               option("max_depth", &O::max_depth, kArgument,
                                      "depth at which the steps' trees stop splitting"),
                               option("leaf_prediction", &O::leaf_prediction, kArgument,
                                      "the steps' tree leaves: 'mean', 'perceptron', else adaptive"),
                               option("seed", &O::seed, kArgument | kProperty,
                                      "seed of the ensemble's random generator"));
    }
    static constexpr auto budget_fields() {
        using O = BoosterOptions;
        return std::make_tuple(max_bytes_option(&O::max_bytes,
                                                "bytes the boosters' trees may hold together, None for no limit; "
                                                "each tree gets an equal part, beyond which its least promising "
                                                "leaves stop collecting split statistics"));
    }
};

class GradientBooster {
public:
    // The trees read samples through `columns`, which the owner loads (and may share with other
    // boosters); steps project it onto their features.
    GradientBooster(const BoosterOptions& options, std::shared_ptr<SampleColumns> columns);

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

    // Gives every tree, those built later included, a memory budget of `per_tree` bytes.
    void share_budget(const std::optional<std::int64_t>& per_tree);
    // Whether any tree has a budget, or leaves still inactive from one.
    bool budget_in_play() const;
    // Every tree's budget, in order (see FIMTDDRegressor::save_budget).
    void save_budgets(StateWriter& out) const;
    void load_budgets(StateReader& in);

    const BoosterOptions& options() const { return options_; }
    bool initialised() const { return initialised_; }
    std::size_t n_steps() const { return feature_lists_.size(); }
    std::size_t bag_size() const { return bag_size_; }
    // A step's features, in ascending byte order (empty: whole samples).
    const std::vector<std::string>& step_features(std::size_t step) const { return feature_lists_[step].names(); }
    // Every tree, step by step (bag_size() each); empty before the first sample.
    const std::vector<std::unique_ptr<FIMTDDRegressor>>& trees() const { return trees_; }
    // The trees it has, or will have once built.
    std::size_t n_trees() const {
        return initialised_ ? trees_.size() : static_cast<std::size_t>(std::max(options_.n_models, 1)) * bag_size_;
    }
    // A tree handed out may be changed: the leaves the last prediction found are not reused.
    FIMTDDRegressor& tree(std::size_t step, std::size_t member) {
        ++trees_version_;
        return *trees_[step * bag_size_ + member];
    }

    // Without the columns, which the owner counts once.
    std::size_t heap_bytes() const {
        return memory::static_pointees(trees_) +
               memory::owned_all(feature_lists_, tree_list_, walks_, draws_);
    }

    // ---- Consecutive steps on a thread of their own: once the steps are built, a sample's steps
    // [first, end) depend only on the output f of the steps before them, so threads owning
    // successive ranges of steps pass each sample on, as a pipeline (gradient_boosting.cpp).
    struct StepRange {
        std::size_t first, end;
    };
    // The leaves a sample reaches in some steps' trees, and scratch.
    struct StepWalks {
        FIMTDDRegressor::SideBySide leaves;
        std::vector<double> answers;
        std::size_t heap_bytes() const { return memory::owned_all(leaves, answers); }
    };
    // The range of steps thread `stage` of `stages` owns.
    StepRange stage_steps(std::size_t stage, std::size_t stages) const {
        return {n_steps() * stage / stages, n_steps() * (stage + 1) / stages};
    }
    // The draws learning a sample takes, from the generator, as train_loaded makes them: false
    // when the sample is skipped, else each tree's weight in `weights` (n_trees of them). The
    // steps must be built.
    bool draw_sample(std::int64_t* weights);
    // The steps' trees read `columns` from now on.
    void bind_steps(StepRange steps, const std::shared_ptr<SampleColumns>& columns);
    // The leaves of the steps' trees for the sample loaded in `columns`.
    void find_step_leaves(StepRange steps, StepWalks& walks, SampleColumns& columns);
    // Steps `steps` learn the sample loaded in `columns` (their trees read it) with `target`,
    // given the output f of the steps before and the leaves find_step_leaves found for it (a
    // prediction of the very sample since the trees last learned finds them too); returns f
    // after them.
    double learn_steps(StepRange steps, double target, double f, const std::int64_t* weights, StepWalks& walks,
                       SampleColumns& columns);
    // sum plus the outputs of steps `steps` for the sample loaded in `columns`, added in step
    // order. With "mean" leaves, walks then holds the sample's leaves.
    double add_step_outputs(StepRange steps, double sum, StepWalks& walks, SampleColumns& columns);
    // Whether add_step_outputs leaves the sample's leaves in its walks.
    bool predictions_find_leaves() const { return mean_leaves_; }
    // The trees changed behind the booster's back: its cached walks are stale.
    void forget_walks() { ++trees_version_; }

private:
    void build_steps();
    StepRange all_steps() const { return {0, n_steps()}; }
    // The draw skip_training makes for a sample: true when it is skipped.
    bool skips_sample();
    // Each tree's Poisson weight for a sample that is not skipped.
    void draw_weights(std::int64_t* weights);

    BoosterOptions options_;
    std::size_t bag_size_;
    bool initialised_ = false;
    std::vector<FeatureSubset> feature_lists_;
    std::vector<std::unique_ptr<FIMTDDRegressor>> trees_;  // step by step, bag_size_ each
    std::vector<FIMTDDRegressor*> tree_list_;              // the same trees, for walks side by side
    bool mean_leaves_;  // the trees answer with leaf means, reading no feature values at the leaf
    // Moves on whenever the trees may change (built, learning, restored, handed out).
    std::uint64_t trees_version_ = 0;
    // Each tree's leaf for the sample of columns_ version walks_content_, found by the last
    // prediction in the trees of version walks_version_.
    StepWalks walks_;
    std::uint64_t walks_content_ = 0;
    std::uint64_t walks_version_ = static_cast<std::uint64_t>(-1);
    std::vector<std::int64_t> draws_;  // scratch: each tree's Poisson weight for the sample
    std::optional<std::int64_t> tree_budget_;  // for the trees built later
    Rng rng_;
    std::shared_ptr<SampleColumns> columns_;
};

// The format version from which an owner's state may end with its max_bytes and its trees' budgets.
constexpr std::uint32_t kBudgetedBoostersVersion = 2;

// An owner's max_bytes as last shared equally among every tree of its boosters (see
// GradientBooster::share_budget); shared again when max_bytes or the boosters change. States end
// with max_bytes and every tree's budget while any budget is in play.
class BudgetShare {
public:
    // Before learning: a check per sample while nothing changes.
    void keep(const std::optional<std::int64_t>& max_bytes, const std::unique_ptr<GradientBooster>* boosters,
              std::size_t n) {
        if (!current_ || shared_ != max_bytes) share(max_bytes, boosters, n);
    }
    // The boosters changed (added, dropped, restored): they are shared again before learning.
    void boosters_changed() { current_ = false; }

    static void save(StateWriter& out, const std::optional<std::int64_t>& max_bytes,
                     const std::unique_ptr<GradientBooster>* boosters, std::size_t n);
    // What save wrote, if the state holds it (max_bytes None otherwise).
    static void load(StateReader& in, std::optional<std::int64_t>& max_bytes,
                     const std::unique_ptr<GradientBooster>* boosters, std::size_t n);

private:
    void share(const std::optional<std::int64_t>& max_bytes, const std::unique_ptr<GradientBooster>* boosters,
               std::size_t n);

    bool current_ = false;
    std::optional<std::int64_t> shared_;
};

// The boosters' options and the regressor's defaults; the loss is always squared.
struct SGBRRegressorOptions : BoosterOptions {
    SGBRRegressorOptions() {
        n_models = 10;
        learning_rate = 1.0;
        bag_size = 10;
        grace_period = 50;
        split_confidence = 0.01;
    }

    static constexpr auto fields() {
        return std::tuple_cat(boosting_fields(), bag_fields(), step_tree_fields(), budget_fields());
    }
};

class SGBRRegressor : public IRegressor, public WithThreads<SGBRRegressorOptions> {
public:
    using Options = WithThreads<SGBRRegressorOptions>;
    // Options are copied into the booster when it is created. The batch methods run the boosting
    // steps on up to n_threads threads, each owning consecutive steps.
    explicit SGBRRegressor(const Options& options = {});

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void learn_many(const RowSource& rows, const double* y) override;
    void predict_many(const RowSource& rows, double* out) override;
    void test_then_train_many(const RowSource& rows, const double* y, double* out) override;
    // Discards the booster; the next learn_one creates it with the options of that moment.
    void reset() override;

    // Format version 2: max_bytes and the trees' budgets follow the booster, when a budget has
    // been in play.
    static constexpr std::uint32_t kStateVersion = kBudgetedBoostersVersion;
    // Options, the shared columns and the booster, if any.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    GradientBooster* booster() { return booster_.get(); }
    const GradientBooster* booster() const { return booster_.get(); }


    std::size_t memory_usage() const override {
        return memory::block(sizeof(*this)) + memory::owned_all(booster_, columns_);
    }

private:
    // The options a booster created now gets.
    BoosterOptions booster_options() const;
    // The batch methods: rows one at a time until the booster is built, the rest on threads.
    void run_rows(const RowSource& rows, const double* y, double* out, RowWork work);

    std::unique_ptr<GradientBooster> booster_;
    std::shared_ptr<SampleColumns> columns_;
    BudgetShare shared_budget_;
};

// The boosters' options (their defaults) and the classifier's own. n_classes is read on every call
// (exactly 2: one booster for the two smallest labels, else one booster per class).
struct SGBTClassifierOptions : BoosterOptions {
    int n_classes = 0;
    bool scale_prediction_by_lr = false;

    static constexpr auto fields() {
        using O = SGBTClassifierOptions;
        return std::tuple_cat(
            boosting_fields(),
            std::make_tuple(option("use_squared_loss", &O::use_squared_loss, kArgument,
                                   "squared loss instead of the logistic loss")),
            bag_fields(),
            std::make_tuple(option("n_classes", &O::n_classes, kArgument | kProperty,
                                   "2: one booster for the two smallest labels; otherwise one per class"),
                            option("scale_prediction_by_lr", &O::scale_prediction_by_lr, kArgument,
                                   "scale the scores by learning_rate when predicting")),
            step_tree_fields(), budget_fields());
    }
};

class SGBTClassifier : public IClassifier, public WithThreads<SGBTClassifierOptions> {
public:
    using Options = WithThreads<SGBTClassifierOptions>;
    // Options are copied into a booster when it is created. The batch methods run the boosting
    // steps of every booster on up to n_threads threads, each owning consecutive steps.
    explicit SGBTClassifier(const Options& options = {});

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void learn_many(const RowSource& rows, const Label* y) override;
    void predict_many(const RowSource& rows, Label* out) override;
    void predict_proba_many(const RowSource& rows, ClassProbabilities* out) override;
    void test_then_train_many(const RowSource& rows, const Label* y, Label* out) override;
    // Forgets the classes and discards every booster.
    void reset() override;

    // Format version 2: max_bytes and the trees' budgets follow the boosters, when a budget has
    // been in play.
    static constexpr std::uint32_t kStateVersion = kBudgetedBoostersVersion;
    // Options, the classes, the shared columns and every booster.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    const std::vector<Label>& classes() const { return classes_; }
    std::size_t n_boosters() const { return boosters_.size(); }
    GradientBooster& booster(std::size_t i) { return *boosters_[i]; }
    const GradientBooster& booster(std::size_t i) const { return *boosters_[i]; }

    std::size_t memory_usage() const override {
        return memory::block(sizeof(*this)) + memory::owned_all(classes_, boosters_, columns_, probabilities_, raw_outputs_);
    }

private:
    std::unique_ptr<GradientBooster> make_booster() const;
    double score(double raw_output, const GradientBooster& booster) const;
    // What booster i learns for label y (at `position` among the classes).
    double booster_target(std::size_t i, Label y, std::size_t position) const;
    // Whether the boosters were built for the mode n_classes asks for now.
    bool boosters_answer() const;
    // Fills probabilities_ with the probability of classes_[i] for every listed label i (all
    // classes, or the two smallest in two-class mode).
    void compute_probabilities(const FeatureMap& x);
    // The same from booster i's raw output raw[i] (none read unless usable) for two classes or more.
    void probabilities_from(const double* raw, bool usable);
    ClassProbabilities probability_map() const;
    Label most_probable() const;  // of probabilities_
    void run_rows(const RowSource& rows, const Label* y, RowWork work, Label* labels, ClassProbabilities* probas);

    std::vector<Label> classes_;  // ascending
    // One per class at the same position, or a single one in two-class mode.
    std::vector<std::unique_ptr<GradientBooster>> boosters_;
    bool boosters_two_class_ = false;  // the mode the boosters were built for
    std::shared_ptr<SampleColumns> columns_;
    BudgetShare shared_budget_;

    std::vector<double> probabilities_, raw_outputs_;  // scratch
};

}  // namespace quelb
