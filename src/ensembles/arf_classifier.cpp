#include "ensembles/arf_classifier.hpp"

#include <algorithm>
#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

namespace {

// Tree seeds per occasion, in 32-bit wrap-around arithmetic.
constexpr std::uint32_t kFirstTreeStep = 1000;
constexpr std::uint32_t kBackgroundStep = 7919;
constexpr std::uint32_t kReplacementStep = 104729;

std::uint32_t tree_seed(int seed, std::uint32_t step, std::size_t member, double n_seen) {
    const auto c = static_cast<std::uint32_t>(static_cast<std::int64_t>(n_seen));
    return static_cast<std::uint32_t>(seed) + step * static_cast<std::uint32_t>(member + 1) + c;
}

}  // namespace

ARFClassifier::ARFClassifier(int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                             int grace_period, int max_depth, double split_confidence, int subspace_size)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      subspace_size(subspace_size),
      drift_delta(drift_delta),
      warning_delta(warning_delta),
      split_confidence(split_confidence),
      grace_period(grace_period),
      max_depth(max_depth) {
    check_grace_period(grace_period);
    check_poisson_mean(lambda_value);
    reset();
}

void ARFClassifier::reset() {
    rng_.seed(static_cast<std::uint32_t>(seed));
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    const int n = std::max(n_models, 1);
    members_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) members_.emplace_back(drift_delta, warning_delta);
}

std::unique_ptr<HoeffdingTreeClassifier> ARFClassifier::make_tree(
    std::uint32_t tree_seed, std::size_t n_features, const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(member_tree_options(grace_period, split_confidence, max_depth));
    tree->share_columns(columns);
    const long long k = subspace_size >= 0
                            ? subspace_size
                            : static_cast<long long>(std::sqrt(static_cast<double>(n_features))) + 1;
    if (k > 0 && k < static_cast<long long>(n_features)) {
        tree->subspace_size = static_cast<int>(k);
        tree->reseed(tree_seed);
    }
    return tree;
}

void ARFClassifier::learn_one(const FeatureMap& x, Label y) {
    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    // Only the Poisson draws consume the forest's generator, so drawing before the tree's
    // test-then-train changes nothing.
    for (std::size_t i = 0; i < members_.size(); ++i) learn_member(i, features_, y, poisson(rng_));
}

void ARFClassifier::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times) {
    Member& member = members_[i];
    // A loaded sample has a column for each of its features.
    const std::size_t n_features = columns->loaded().size();
    if (!member.trees.model)
        member.trees.model = make_tree(tree_seed(seed, kFirstTreeStep, i, 0.0), n_features, columns);
    member.learn_loaded(*columns, y, times, [&](NewModel what) {
        const std::uint32_t step = what == NewModel::background ? kBackgroundStep : kReplacementStep;
        return make_tree(tree_seed(seed, step, i, member.n_seen), n_features, columns);
    });
}

bool ARFClassifier::ready_for_parallel_rows() const {
    // Trees are made at a member's first sample; the generator gives nothing but learning weights.
    return std::all_of(members_.begin(), members_.end(), [](const Member& m) { return m.trees.model != nullptr; });
}

void ARFClassifier::draw_weights(Label, int* weights) {
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < members_.size(); ++i) weights[i] = poisson(rng_);
}

void ARFClassifier::vote(const FeatureMap& x) {
    vote_.clear();
    features_->load(x, false);
    for (Member& member : members_) vote_.add(proba_, member.vote_loaded(*features_, proba_));
    vote_.normalise();
}

ClassProbabilities ARFClassifier::predict_proba_one(const FeatureMap& x) {
    vote(x);
    return vote_.to_map();
}

Label ARFClassifier::predict_one(const FeatureMap& x) {
    vote(x);
    return vote_.argmax();
}


void ARFClassifier::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.i32(subspace_size);
    out.f64(drift_delta);
    out.f64(warning_delta);
    out.f64(split_confidence);
    out.i32(grace_period);
    out.i32(max_depth);
    out.rng(rng_);
    save_shared_members(out, *features_, members_, [&](const Member& member) { member.save_state(out); });
}

void ARFClassifier::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    subspace_size = in.i32();
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

}  // namespace quelb
