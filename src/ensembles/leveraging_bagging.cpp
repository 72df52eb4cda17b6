#include "ensembles/leveraging_bagging.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/state.hpp"
#include "ensembles/member_trees.hpp"

namespace quelb {

namespace {

// The order of the options in saved states.
using C = LeveragingBaggingClassifierOptions;
using SavedClassifierOptions = SavedOrder<C, &C::n_models, &C::seed, &C::lambda_value, &C::drift_delta,
                                          &C::split_confidence, &C::grace_period, &C::max_depth>;
using R = LeveragingBaggingRegressorOptions;
using SavedRegressorOptions = SavedOrder<R, &R::n_models, &R::seed, &R::lambda_value, &R::drift_delta,
                                         &R::split_confidence, &R::grace_period, &R::max_depth, &R::leaf_prediction>;

// The end of a member's learning step in either ensemble: the error of the tree's prediction,
// made before it learned, feeds the member's drift detector, and a drift replaces the tree by
// make_tree(). The generator's only use is each member's Poisson weight for the step.
template <class Member, class MakeTree>
void track_drift(Member& member, double error, MakeTree&& make_tree) {
    if (member.feed_drift(error)) member.handle_drift([&make_tree](NewModel) { return make_tree(); });
}

}  // namespace

// ---- Classifier ---------------------------------------------------------------------------------

LeveragingBaggingClassifier::LeveragingBaggingClassifier(const Options& options)
    : Options(options) {
    check_options(static_cast<const LeveragingBaggingClassifierOptions&>(*this));
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    return make_classifier_tree(grace_period, split_confidence, max_depth, columns);
}

void LeveragingBaggingClassifier::reset() {
    restart(seed, static_cast<std::size_t>(std::max(n_models, 1)), [&](std::size_t) {
        Member member(drift_delta);
        member.model = make_tree(features_);
        return member;
    });
}

void LeveragingBaggingClassifier::learn_one(const FeatureMap& x, Label y) {
    features_->load(x, true);
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < members_.size(); ++i) learn_member(i, features_, y, poisson(rng_));
}

void LeveragingBaggingClassifier::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y,
                                               int times) {
    Member& member = members_[i];
    const double error = member.model->predict_then_learn_loaded(y, times) == y ? 0.0 : 1.0;
    track_drift(member, error, [&] { return make_tree(columns); });
    member.share_budget(member_budget(members_.size()));
}

double LeveragingBaggingClassifier::member_vote(std::size_t i, SampleColumns&,
                                                std::vector<std::pair<Label, double>>& proba) {
    members_[i].model->predict_proba_loaded(proba);
    return 1.0;
}

void LeveragingBaggingClassifier::save_state(StateWriter& out) const {
    save_ensemble<SavedClassifierOptions>(out, *this, [](StateWriter&) {});
}

void LeveragingBaggingClassifier::load_state(StateReader& in) {
    load_ensemble<SavedClassifierOptions>(
        in, *this, [](StateReader&) {}, kCountedMembersVersion, [&] { return Member(drift_delta); },
        "a bagging member without a tree");
}

// ---- Regressor ----------------------------------------------------------------------------------

LeveragingBaggingRegressor::LeveragingBaggingRegressor(const Options& options)
    : Options(options) {
    check_options(static_cast<const LeveragingBaggingRegressorOptions&>(*this));
    reset();
}

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_tree(
    std::size_t member, const std::shared_ptr<SampleColumns>& columns) const {
    // The tree's generator starts from the ensemble seed + the member's index (32-bit wrap-around).
    const auto tree_seed =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(member));
    return make_fimtdd_tree(grace_period, split_confidence, max_depth, leaf_prediction, tree_seed, columns);
}

void LeveragingBaggingRegressor::reset() {
    if (n_models < 0) throw std::length_error("vector too long");
    restart(seed, static_cast<std::size_t>(n_models), [&](std::size_t i) {
        Member member(drift_delta);
        member.model = make_tree(i, features_);
        return member;
    });
    target_count_ = target_sum_ = target_sumsq_ = 0.0;
    ++members_version_;
}

double LeveragingBaggingRegressor::add_target(double y) {
    target_count_ += 1.0;
    target_sum_ += y;
    target_sumsq_ += y * y;
    double scale = 1.0;
    if (target_count_ > 1.0) {
        const double variance = (target_sumsq_ - target_sum_ * target_sum_ / target_count_) / target_count_;
        if (variance > 0.0) scale = std::sqrt(variance);
    }
    return scale;
}

void LeveragingBaggingRegressor::learn_one(const FeatureMap& x, double y) {
    const double scale = add_target(y);
    features_->load(x, true);
    const bool predicted = predictions_version_ == members_version_ &&
                           predictions_content_ == features_->content_version() &&
                           predictions_.size() == members_.size();
    ++members_version_;
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < members_.size(); ++i)
        learn_step(i, features_, y, poisson(rng_), scale, predicted ? &predictions_[i] : nullptr);
}

void LeveragingBaggingRegressor::learn_step(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y,
                                            int times, double scale, const double* prediction) {
    FIMTDDRegressor& tree = *members_[i].model;
    const double error = std::fabs((prediction ? *prediction : tree.predict_loaded()) - y) / scale;
    tree.learn_repeated_loaded(y, times);
    track_drift(members_[i], error, [&] { return make_tree(i, columns); });
    members_[i].share_budget(member_budget(members_.size()));
}

bool LeveragingBaggingRegressor::draw_weights(double y, std::size_t block_row, int* weights) {
    ++members_version_;
    // Sized at the first row: later rows are drawn while threads read the scales of others.
    if (block_scales_.size() <= block_row) block_scales_.resize(2 * kParallelBlockRows);
    block_scales_[block_row] = add_target(y);
    draw_poisson_weights(lambda_value, weights);
    return true;
}

void LeveragingBaggingRegressor::remember_predictions() {
    predictions_content_ = features_->content_version();
    predictions_version_ = members_version_;
}

void LeveragingBaggingRegressor::after_predictions(const double* last_row) {
    // What predict_one leaves for the sample it answered.
    predictions_.assign(last_row, last_row + members_.size());
    remember_predictions();
}

double LeveragingBaggingRegressor::predict_one(const FeatureMap& x) {
    if (members_.empty()) return 0.0;
    features_->load(x, false);
    predictions_.resize(members_.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        predictions_[i] = members_[i].model->predict_loaded();
        sum += predictions_[i];
    }
    remember_predictions();
    return sum / static_cast<double>(members_.size());
}

void LeveragingBaggingRegressor::save_state(StateWriter& out) const {
    SavedRegressorOptions::save(out, *this);
    out.rng(rng_);
    out.f64(target_count_);
    out.f64(target_sum_);
    out.f64(target_sumsq_);
    save_members(out);
    save_max_bytes(out);
}

void LeveragingBaggingRegressor::load_state(StateReader& in) {
    SavedRegressorOptions::load(in, *this);
    in.rng(rng_);
    target_count_ = in.f64();
    target_sum_ = in.f64();
    target_sumsq_ = in.f64();
    load_members(in, kCountedMembersVersion, [&] { return Member(drift_delta); }, "a bagging member without a tree",
                 kBudgetedModelTreesVersion);
    load_max_bytes(in, kBudgetedModelTreesVersion);
    ++members_version_;
}

}  // namespace quelb
