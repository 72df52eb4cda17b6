#include "ensembles/arf_regressor.hpp"

#include <algorithm>
#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_trees.hpp"

namespace quelb {

namespace {

// The order of the options in saved states; the split criterion follows, saved as the trees save it.
using O = ARFRegressorOptions;
using SavedOptions = SavedOrder<O, &O::n_models, &O::seed, &O::lambda_value, &O::drift_delta, &O::warning_delta,
                                &O::grace_period, &O::max_depth, &O::learning_rate>;

}  // namespace

ARFRegressor::ARFRegressor(const Options& options) : Options(options) {
    check_options(static_cast<const ARFRegressorOptions&>(*this));
    reset();
}

std::size_t ARFRegressor::subset_size(std::size_t n) {
    const auto m = static_cast<std::size_t>(std::round(std::sqrt(static_cast<double>(n))));
    return std::max<std::size_t>(m, 1);
}

std::unique_ptr<HoeffdingTreeRegressor> ARFRegressor::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    return make_regressor_tree(grace_period, max_depth, learning_rate, split_criterion.mode(), columns);
}

void ARFRegressor::reset() {
    restart(seed, static_cast<std::size_t>(std::max(n_models, 1)), [&](std::size_t) {
        Member member(drift_delta, warning_delta);
        member.trees.model = make_tree(features_);
        return member;
    });
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
    members_[i].trees.share_budget(member_budget(members_.size()));
}

bool ARFRegressor::ready_for_parallel_rows() const {
    // Past every member's subset draw, the generator gives nothing but learning weights.
    return std::all_of(members_.begin(), members_.end(), [](const Member& m) { return m.features.chosen(); });
}

bool ARFRegressor::draw_weights(double y, std::size_t, int* weights) {
    if (!std::isfinite(y)) return false;  // as learn_one: the row is skipped whole
    draw_poisson_weights(lambda_value, weights);
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
    SavedOptions::save(out, *this);
    save_split_criterion(out, split_criterion.mode());
    out.rng(rng_);
    save_members(out);
    save_max_bytes(out);
}

void ARFRegressor::load_state(StateReader& in) {
    SavedOptions::load(in, *this);
    split_criterion = split_criterion_name(load_split_criterion(in));
    in.rng(rng_);
    // Every member of this forest has a tree from the start.
    load_members(in, kCountedRegressionForestVersion, [&] { return Member(drift_delta, warning_delta); },
                 "a forest member without a tree");
    load_max_bytes(in, kCountedRegressionForestVersion);
}

}  // namespace quelb
