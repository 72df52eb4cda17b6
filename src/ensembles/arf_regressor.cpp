#include "ensembles/arf_regressor.hpp"

#include <algorithm>
#include <cmath>

#include "core/hoeffding.hpp"
#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

namespace {

// Every member tree splits with these; the forest sets the rest.
constexpr double kTreeSplitConfidence = 1e-07;
constexpr double kTreeTieThreshold = 0.05;

}  // namespace

ARFRegressor::ARFRegressor(int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                           int grace_period, int max_depth, double learning_rate, SplitCriterion split_criterion)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      drift_delta(drift_delta),
      warning_delta(warning_delta),
      grace_period(grace_period),
      max_depth(max_depth),
      learning_rate(learning_rate),
      split_criterion(split_criterion) {
    check_grace_period(grace_period);
    check_poisson_mean(lambda_value);
    reset();
}

std::size_t ARFRegressor::subset_size(std::size_t n) {
    const auto m = static_cast<std::size_t>(std::round(std::sqrt(static_cast<double>(n))));
    return std::max<std::size_t>(m, 1);
}

std::unique_ptr<HoeffdingTreeRegressor> ARFRegressor::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = std::make_unique<HoeffdingTreeRegressor>(regressor_tree_options(
        grace_period, kTreeSplitConfidence, kTreeTieThreshold, max_depth, learning_rate, split_criterion));
    tree->share_columns(columns);
    return tree;
}

void ARFRegressor::reset() {
    rng_.seed(static_cast<std::uint32_t>(seed));
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    const int n = std::max(n_models, 1);
    members_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        members_.emplace_back(drift_delta, warning_delta);
        members_.back().trees.model = make_tree(features_);
    }
}

void ARFRegressor::learn_one(const FeatureMap& x, double y) {
    // A target that is not a number (or infinite) is skipped whole: the trees could not learn it
    // and its error would poison the detectors for good.
    if (!std::isfinite(y)) return;
    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        // The generator serves the member's subset draw first, then its Poisson weight. Nothing
        // else consumes it, so drawing the weight before the tree's test-then-train changes nothing.
        Member& member = members_[i];
        if (!member.features.chosen()) member.features.draw(*features_, rng_, subset_size(x.size()));
        learn_member(i, features_, y, poisson(rng_), 0, nullptr);
    }
}

void ARFRegressor::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                                std::size_t, const double*) {
    members_[i].learn_loaded(*columns, y, times, [&](NewModel) { return make_tree(columns); });
}

bool ARFRegressor::ready_for_parallel_rows() const {
    // Past every member's subset draw, the generator gives nothing but learning weights.
    return std::all_of(members_.begin(), members_.end(), [](const Member& m) { return m.features.chosen(); });
}

bool ARFRegressor::draw_weights(double y, std::size_t, int* weights) {
    if (!std::isfinite(y)) return false;  // as learn_one: the row is skipped whole
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < members_.size(); ++i) weights[i] = poisson(rng_);
    return true;
}

double ARFRegressor::predict_one(const FeatureMap& x) {
    if (members_.empty()) return 0.0;
    features_->load(x, false);
    double sum = 0.0;
    for (Member& member : members_) sum += member.predict_loaded(*features_);
    return sum / static_cast<double>(members_.size());
}


void ARFRegressor::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(drift_delta);
    out.f64(warning_delta);
    out.i32(grace_period);
    out.i32(max_depth);
    out.f64(learning_rate);
    save_split_criterion(out, split_criterion);
    out.rng(rng_);
    save_shared_members(out, *features_, members_, [&](const Member& member) { member.save_state(out); });
}

void ARFRegressor::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    drift_delta = in.f64();
    warning_delta = in.f64();
    grace_period = in.i32();
    max_depth = in.i32();
    learning_rate = in.f64();
    split_criterion = load_split_criterion(in);
    check_ensemble_options(in, grace_period, lambda_value);
    in.rng(rng_);
    load_shared_members(in, features_, members_, [&](const std::shared_ptr<SampleColumns>& columns) {
        Member member(drift_delta, warning_delta);
        member.load_state(in, columns);
        // Every member of this forest has a tree from the start.
        if (!member.trees.model) in.fail("a forest member without a tree");
        return member;
    });
}

}  // namespace quelb
