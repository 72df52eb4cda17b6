#include "ensembles/random_patches.hpp"

#include <algorithm>
#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

namespace {

constexpr std::uint32_t kPatchSeedStep = 7919;

// Every member tree splits with these; the ensemble sets the rest.
constexpr double kTieThreshold = 0.05;
constexpr double kRegressionSplitConfidence = 1e-07;

}  // namespace

PatchTraining patch_training(const std::string& method) {
    if (method == "subspaces") return PatchTraining::subspaces;
    if (method == "resampling") return PatchTraining::resampling;
    return PatchTraining::patches;
}

std::size_t patch_size(std::size_t n, double fraction) {
    const double m = std::round(static_cast<double>(n) * fraction);
    // Written so that a NaN fraction keeps every feature.
    const double kept = std::max(std::min(static_cast<double>(n), m), 1.0);
    return static_cast<std::size_t>(kept);
}

void draw_patch(FeatureSubset& subset, const SampleColumns& loaded, int seed, std::size_t member, double fraction) {
    Rng rng(static_cast<std::uint32_t>(seed) + kPatchSeedStep * static_cast<std::uint32_t>(member + 1));
    subset.draw(loaded, rng, patch_size(loaded.loaded().size(), fraction), true);
}

// Starts either ensemble afresh: the generator reseeded, new shared columns, and max(n_models, 1)
// members without a tree or a patch.
template <class Ensemble>
void reset_patches(const Ensemble& ensemble, std::vector<typename Ensemble::Member>& members,
                   std::shared_ptr<SampleColumns>& features, Rng& rng) {
    rng.seed(static_cast<std::uint32_t>(ensemble.seed));
    features = std::make_shared<SampleColumns>();
    members.clear();
    const int n = std::max(ensemble.n_models, 1);
    members.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) members.emplace_back(ensemble.drift_delta, ensemble.warning_delta);
}

// Each member's learning weight for a sample: 1 ("subspaces") or a Poisson draw, the generator's
// only use.
template <class Ensemble>
void draw_patch_weights(const Ensemble& ensemble, std::size_t n_members, Rng& rng, int* weights) {
    const PoissonDraw poisson(ensemble.lambda_value);
    const bool once = patch_training(ensemble.training_method) == PatchTraining::subspaces;
    for (std::size_t i = 0; i < n_members; ++i) weights[i] = once ? 1 : poisson(rng);
}

// Member i's learning step on the sample loaded into `columns`: at its first sample the member
// builds its tree and draws its patch, then it learns the sample `times` times.
template <class Ensemble, class Member, class Target>
void learn_patch_member(const Ensemble& ensemble, Member& member, std::size_t i,
                        const std::shared_ptr<SampleColumns>& columns, Target y, int times) {
    if (!member.trees.model) {
        member.trees.model = ensemble.make_tree(columns);
        if (patch_training(ensemble.training_method) != PatchTraining::resampling)
            draw_patch(member.features, *columns, ensemble.seed, i, ensemble.subspace_fraction);
    }
    member.learn_loaded(*columns, y, times, [&](NewModel) { return ensemble.make_tree(columns); });
}

// One learning step of either ensemble on the sample loaded into `features`.
template <class Ensemble, class Target>
void learn_patches(Ensemble& ensemble, std::vector<typename Ensemble::Member>& members,
                   const std::shared_ptr<SampleColumns>& features, Rng& rng, Target y) {
    // Building a tree or drawing a patch leaves the generator alone: weights may come first.
    const PoissonDraw poisson(ensemble.lambda_value);
    const bool once = patch_training(ensemble.training_method) == PatchTraining::subspaces;
    for (std::size_t i = 0; i < members.size(); ++i)
        learn_patch_member(ensemble, members[i], i, features, y, once ? 1 : poisson(rng));
}

// Rows go on threads once every member has its tree and patch: the generator then only weighs.
template <class Member>
bool all_have_trees(const std::vector<Member>& members) {
    return std::all_of(members.begin(), members.end(), [](const Member& m) { return m.trees.model != nullptr; });
}

// ---- Classifier ---------------------------------------------------------------------------------

SRPClassifier::SRPClassifier(int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                             int grace_period, int max_depth, double split_confidence, double subspace_fraction,
                             std::string training_method)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      subspace_fraction(subspace_fraction),
      training_method(std::move(training_method)),
      drift_delta(drift_delta),
      warning_delta(warning_delta),
      split_confidence(split_confidence),
      grace_period(grace_period),
      max_depth(max_depth) {
    check_grace_period(grace_period);
    check_poisson_mean(lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> SRPClassifier::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    // Feature restriction is the ensemble's: the tree considers every feature it sees.
    auto tree = std::make_unique<HoeffdingTreeClassifier>(member_tree_options(grace_period, split_confidence, max_depth));
    tree->share_columns(columns);
    return tree;
}

void SRPClassifier::reset() { reset_patches(*this, members_, features_, rng_); }

void SRPClassifier::learn_one(const FeatureMap& x, Label y) {
    features_->load(x, true);
    learn_patches(*this, members_, features_, rng_, y);
}

bool SRPClassifier::ready_for_parallel_rows() const { return all_have_trees(members_); }

void SRPClassifier::draw_weights(Label, int* weights) { draw_patch_weights(*this, members_.size(), rng_, weights); }

void SRPClassifier::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times) {
    learn_patch_member(*this, members_[i], i, columns, y, times);
}

void SRPClassifier::vote(const FeatureMap& x) {
    vote_.clear();
    features_->load(x, false);
    for (Member& member : members_) vote_.add(proba_, member.vote_loaded(*features_, proba_));
    vote_.normalise();
}

ClassProbabilities SRPClassifier::predict_proba_one(const FeatureMap& x) {
    vote(x);
    return vote_.to_map();
}

Label SRPClassifier::predict_one(const FeatureMap& x) {
    vote(x);
    return vote_.argmax();
}

// ---- Regressor ----------------------------------------------------------------------------------

SRPRegressor::SRPRegressor(int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                           int grace_period, int max_depth, double learning_rate, double subspace_fraction,
                           std::string training_method, SplitCriterion split_criterion)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      subspace_fraction(subspace_fraction),
      training_method(std::move(training_method)),
      learning_rate(learning_rate),
      grace_period(grace_period),
      max_depth(max_depth),
      drift_delta(drift_delta),
      warning_delta(warning_delta),
      split_criterion(split_criterion) {
    check_grace_period(grace_period);
    check_poisson_mean(lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> SRPRegressor::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = std::make_unique<HoeffdingTreeRegressor>(regressor_tree_options(
        grace_period, kRegressionSplitConfidence, kTieThreshold, max_depth, learning_rate, split_criterion));
    tree->share_columns(columns);
    return tree;
}

void SRPRegressor::reset() { reset_patches(*this, members_, features_, rng_); }

void SRPRegressor::learn_one(const FeatureMap& x, double y) {
    features_->load(x, true);
    learn_patches(*this, members_, features_, rng_, y);
}

bool SRPRegressor::ready_for_parallel_rows() const { return all_have_trees(members_); }

bool SRPRegressor::draw_weights(double, std::size_t, int* weights) {
    draw_patch_weights(*this, members_.size(), rng_, weights);
    return true;
}

void SRPRegressor::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                                std::size_t, const double*) {
    learn_patch_member(*this, members_[i], i, columns, y, times);
}

double SRPRegressor::predict_one(const FeatureMap& x) {
    features_->load(x, false);
    double sum = 0.0;
    std::size_t n = 0;
    for (Member& member : members_) {
        if (!member.trees.model) continue;
        sum += member.predict_loaded(*features_);
        ++n;
    }
    return n > 0 ? sum / static_cast<double>(n) : 0.0;
}


// ---- Persistence --------------------------------------------------------------------------------

void SRPClassifier::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(subspace_fraction);
    out.str(training_method);
    out.f64(drift_delta);
    out.f64(warning_delta);
    out.f64(split_confidence);
    out.i32(grace_period);
    out.i32(max_depth);
    out.rng(rng_);
    save_shared_members(out, *features_, members_, [&](const Member& member) { member.save_state(out); });
}

void SRPClassifier::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    subspace_fraction = in.f64();
    training_method = in.str();
    drift_delta = in.f64();
    warning_delta = in.f64();
    split_confidence = in.f64();
    grace_period = in.i32();
    max_depth = in.i32();
    check_ensemble_options(in, grace_period, lambda_value);
    in.rng(rng_);
    load_shared_members(in, features_, members_, [&](const std::shared_ptr<SampleColumns>& columns) {
        Member member(drift_delta, warning_delta);
        member.load_state(in, columns);
        return member;
    });
}

void SRPRegressor::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(subspace_fraction);
    out.str(training_method);
    out.f64(learning_rate);
    out.i32(grace_period);
    out.i32(max_depth);
    out.f64(drift_delta);
    out.f64(warning_delta);
    save_split_criterion(out, split_criterion);
    out.rng(rng_);
    save_shared_members(out, *features_, members_, [&](const Member& member) { member.save_state(out); });
}

void SRPRegressor::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    subspace_fraction = in.f64();
    training_method = in.str();
    learning_rate = in.f64();
    grace_period = in.i32();
    max_depth = in.i32();
    drift_delta = in.f64();
    warning_delta = in.f64();
    split_criterion = load_split_criterion(in);
    check_ensemble_options(in, grace_period, lambda_value);
    in.rng(rng_);
    load_shared_members(in, features_, members_, [&](const std::shared_ptr<SampleColumns>& columns) {
        Member member(drift_delta, warning_delta);
        member.load_state(in, columns);
        return member;
    });
}

}  // namespace quelb
