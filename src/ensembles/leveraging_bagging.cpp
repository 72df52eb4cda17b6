#include "ensembles/leveraging_bagging.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

namespace {

// The end of a member's learning step in either ensemble: the error of the tree's prediction,
// made before it learned, feeds the member's drift detector, and a drift replaces the tree by
// make_tree(). The generator's only use is each member's Poisson weight for the step.
template <class Member, class MakeTree>
void track_drift(Member& member, double error, MakeTree&& make_tree) {
    if (member.feed_drift(error)) member.handle_drift([&make_tree](NewModel) { return make_tree(); });
}

void draw_poisson_weights(double lambda_value, std::size_t n, Rng& rng, int* weights) {
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < n; ++i) weights[i] = poisson(rng);
}

}  // namespace

// ---- Classifier ---------------------------------------------------------------------------------

LeveragingBaggingClassifier::LeveragingBaggingClassifier(int n_models, int seed, double lambda_value,
                                                         double drift_delta, int grace_period, int max_depth,
                                                         double split_confidence)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      drift_delta(drift_delta),
      split_confidence(split_confidence),
      grace_period(grace_period),
      max_depth(max_depth) {
    if (grace_period < 1) throw std::invalid_argument("'grace_period' must be greater than 0.");
    check_poisson_mean(lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(member_tree_options(grace_period, split_confidence, max_depth));
    tree->share_columns(columns);
    return tree;
}

void LeveragingBaggingClassifier::reset() {
    rng_.seed(static_cast<std::uint32_t>(seed));
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    const int n = std::max(n_models, 1);
    members_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        members_.emplace_back(drift_delta).model = make_tree(features_);
    }
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
}

void LeveragingBaggingClassifier::draw_weights(Label, int* weights) {
    draw_poisson_weights(lambda_value, members_.size(), rng_, weights);
}

double LeveragingBaggingClassifier::member_vote(std::size_t i, SampleColumns&,
                                                std::vector<std::pair<Label, double>>& proba) {
    members_[i].model->predict_proba_loaded(proba);
    return 1.0;  // unweighted average
}

void LeveragingBaggingClassifier::vote(const FeatureMap& x) {
    vote_.clear();
    features_->load(x, false);
    for (std::size_t i = 0; i < members_.size(); ++i) vote_.add(proba_, member_vote(i, *features_, proba_));
    vote_.normalise();
}

ClassProbabilities LeveragingBaggingClassifier::predict_proba_one(const FeatureMap& x) {
    vote(x);
    return vote_.to_map();
}

Label LeveragingBaggingClassifier::predict_one(const FeatureMap& x) {
    vote(x);
    return vote_.argmax();
}

// ---- Regressor ----------------------------------------------------------------------------------

LeveragingBaggingRegressor::LeveragingBaggingRegressor(int n_models, int seed, double lambda_value,
                                                       double drift_delta, int grace_period, int max_depth,
                                                       double split_confidence, std::string leaf_prediction)
    : n_models(n_models),
      seed(seed),
      lambda_value(lambda_value),
      drift_delta(drift_delta),
      split_confidence(split_confidence),
      grace_period(grace_period),
      max_depth(max_depth),
      leaf_prediction(std::move(leaf_prediction)) {
    check_poisson_mean(lambda_value);
    reset();
}

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_tree(
    std::size_t member, const std::shared_ptr<SampleColumns>& columns) const {
    // The tree's generator starts from the ensemble seed + the member's index (32-bit wrap-around).
    const auto tree_seed =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(member));
    auto tree = std::make_unique<FIMTDDRegressor>(
        model_tree_options(grace_period, split_confidence, max_depth, leaf_prediction, tree_seed));
    tree->share_columns(columns);
    return tree;
}

void LeveragingBaggingRegressor::reset() {
    if (n_models < 0) throw std::length_error("vector too long");
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    members_.reserve(static_cast<std::size_t>(n_models));
    for (int i = 0; i < n_models; ++i) {
        members_.emplace_back(drift_delta).model = make_tree(static_cast<std::size_t>(i), features_);
    }
    target_count_ = target_sum_ = target_sumsq_ = 0.0;
    predictions_current_ = false;
    rng_.seed(static_cast<std::uint32_t>(seed));
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
    const bool predicted = predictions_current_ && predictions_content_ == features_->content_version() &&
                           predictions_.size() == members_.size();
    predictions_current_ = false;
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
}

bool LeveragingBaggingRegressor::draw_weights(double y, std::size_t block_row, int* weights) {
    if (block_scales_.size() <= block_row) block_scales_.resize(kParallelBlockRows);
    block_scales_[block_row] = add_target(y);
    draw_poisson_weights(lambda_value, members_.size(), rng_, weights);
    return true;
}

void LeveragingBaggingRegressor::after_predictions(const double* last_row) {
    // What predict_one leaves for the sample it answered.
    predictions_.assign(last_row, last_row + members_.size());
    predictions_content_ = features_->content_version();
    predictions_current_ = true;
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
    predictions_content_ = features_->content_version();
    predictions_current_ = true;
    return sum / static_cast<double>(members_.size());
}


// ---- Persistence --------------------------------------------------------------------------------

namespace {

// The members' part of either ensemble's state: each member is its tree with a drift detector, and
// the trees read the ensemble's shared columns.
template <class Tree>
void save_bagging_members(StateWriter& out, const SampleColumns& columns,
                          const std::vector<DriftAwareMember<Tree>>& members) {
    save_shared_members(out, columns, members, [&](const DriftAwareMember<Tree>& member) {
        member.save_state(out, [](StateWriter& w, const Tree& tree) { tree.save_tree(w); });
    });
}

template <class Tree>
void load_bagging_members(StateReader& in, double drift_delta, std::shared_ptr<SampleColumns>& columns,
                          std::vector<DriftAwareMember<Tree>>& members) {
    load_shared_members(in, columns, members, [&](const std::shared_ptr<SampleColumns>& restored) {
        DriftAwareMember<Tree> member(drift_delta);
        member.load_state(in, [&](StateReader& r) {
            auto tree = std::make_unique<Tree>();
            tree->load_tree(r, restored);
            return tree;
        });
        if (!member.model) in.fail("a bagging member without a tree");
        return member;
    });
}

}  // namespace

void LeveragingBaggingClassifier::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(drift_delta);
    out.f64(split_confidence);
    out.i32(grace_period);
    out.i32(max_depth);
    out.rng(rng_);
    save_bagging_members(out, *features_, members_);
}

void LeveragingBaggingClassifier::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    drift_delta = in.f64();
    split_confidence = in.f64();
    grace_period = in.i32();
    max_depth = in.i32();
    check_ensemble_options(in, grace_period, lambda_value);
    in.rng(rng_);
    load_bagging_members(in, drift_delta, features_, members_);
}

void LeveragingBaggingRegressor::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(drift_delta);
    out.f64(split_confidence);
    out.i32(grace_period);
    out.i32(max_depth);
    out.str(leaf_prediction);
    out.rng(rng_);
    out.f64(target_count_);
    out.f64(target_sum_);
    out.f64(target_sumsq_);
    save_bagging_members(out, *features_, members_);
}

void LeveragingBaggingRegressor::load_state(StateReader& in) {
    n_models = in.i32();
    seed = in.i32();
    lambda_value = in.f64();
    drift_delta = in.f64();
    split_confidence = in.f64();
    grace_period = in.i32();
    max_depth = in.i32();
    leaf_prediction = in.str();
    // The trees need no grace period above 0.
    check_ensemble_options(in, 1, lambda_value);
    in.rng(rng_);
    target_count_ = in.f64();
    target_sum_ = in.f64();
    target_sumsq_ = in.f64();
    load_bagging_members(in, drift_delta, features_, members_);
    predictions_current_ = false;
}

}  // namespace quelb
