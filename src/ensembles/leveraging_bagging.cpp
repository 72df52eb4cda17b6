#include "ensembles/leveraging_bagging.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

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

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_tree() const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(grace_period, split_confidence, 0.05, 0, max_depth,
                                                          "info_gain");
    tree->share_columns(features_);
    return tree;
}

void LeveragingBaggingClassifier::reset() {
    rng_.seed(static_cast<std::uint32_t>(seed));
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    const int n = std::max(n_models, 1);
    members_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        members_.emplace_back(drift_delta).model = make_tree();
    }
}

void LeveragingBaggingClassifier::learn_one(const FeatureMap& x, Label y) {
    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    for (Member& member : members_) {
        // The prediction comes before the draw, but only the draws use the generator.
        const int k = poisson(rng_);
        const Label predicted = member.model->predict_then_learn_loaded(y, k);
        member.track_error(predicted == y ? 0.0 : 1.0, [this](NewModel) { return make_tree(); });
    }
}

void LeveragingBaggingClassifier::vote(const FeatureMap& x) {
    vote_.clear();
    features_->load(x, false);
    for (Member& member : members_) {
        member.model->predict_proba_loaded(proba_);
        vote_.add(proba_, 1.0);
    }
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

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_tree(std::size_t member) const {
    // The tree's generator starts from the ensemble seed + the member's index (32-bit wrap-around).
    const auto tree_seed =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(member));
    auto tree = std::make_unique<FIMTDDRegressor>(grace_period, split_confidence, 0.05, max_depth, leaf_prediction,
                                                  0.02, 0.001, false, 0.005, 50.0, 0.995, 150, 1500, true, tree_seed);
    tree->share_columns(features_);
    return tree;
}

void LeveragingBaggingRegressor::reset() {
    if (n_models < 0) throw std::length_error("vector too long");
    features_ = std::make_shared<SampleColumns>();
    members_.clear();
    members_.reserve(static_cast<std::size_t>(n_models));
    for (int i = 0; i < n_models; ++i) {
        members_.emplace_back(drift_delta).model = make_tree(static_cast<std::size_t>(i));
    }
    target_count_ = target_sum_ = target_sumsq_ = 0.0;
    rng_.seed(static_cast<std::uint32_t>(seed));
}

void LeveragingBaggingRegressor::learn_one(const FeatureMap& x, double y) {
    target_count_ += 1.0;
    target_sum_ += y;
    target_sumsq_ += y * y;
    double scale = 1.0;
    if (target_count_ > 1.0) {
        const double variance = (target_sumsq_ - target_sum_ * target_sum_ / target_count_) / target_count_;
        if (variance > 0.0) scale = std::sqrt(variance);
    }

    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& member = members_[i];
        FIMTDDRegressor& tree = *member.model;
        // The error is measured and fed before the member learns the sample.
        const bool drifted = member.feed_drift(std::fabs(tree.predict_loaded() - y) / scale);
        tree.learn_repeated_loaded(y, poisson(rng_));
        if (drifted) member.handle_drift([this, i](NewModel) { return make_tree(i); });
    }
}

double LeveragingBaggingRegressor::predict_one(const FeatureMap& x) {
    if (members_.empty()) return 0.0;
    features_->load(x, false);
    double sum = 0.0;
    for (Member& member : members_) sum += member.model->predict_loaded();
    return sum / static_cast<double>(members_.size());
}


// ---- Persistence --------------------------------------------------------------------------------

void LeveragingBaggingClassifier::save_state(StateWriter& out) const {
    out.i32(n_models);
    out.i32(seed);
    out.f64(lambda_value);
    out.f64(drift_delta);
    out.f64(split_confidence);
    out.i32(grace_period);
    out.i32(max_depth);
    out.rng(rng_);
    features_->save_state(out);
    save_members(out, members_, [&](const Member& member) {
        member.save_state(out, [](StateWriter& w, const HoeffdingTreeClassifier& tree) { tree.save_tree(w); });
    });
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
    auto columns = std::make_shared<SampleColumns>();
    columns->load_state(in);
    load_members(in, members_, [&] {
        Member member(drift_delta);
        member.load_state(in, [&](StateReader& r) {
            auto tree = std::make_unique<HoeffdingTreeClassifier>();
            tree->load_tree(r, columns);
            return tree;
        });
        if (!member.model) in.fail("a bagging member without a tree");
        return member;
    });
    features_ = std::move(columns);
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
    features_->save_state(out);
    save_members(out, members_, [&](const Member& member) {
        member.save_state(out, [](StateWriter& w, const FIMTDDRegressor& tree) { tree.save_tree(w); });
    });
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
    auto columns = std::make_shared<SampleColumns>();
    columns->load_state(in);
    load_members(in, members_, [&] {
        Member member(drift_delta);
        member.load_state(in, [&](StateReader& r) {
            auto tree = std::make_unique<FIMTDDRegressor>();
            tree->load_tree(r, columns);
            return tree;
        });
        if (!member.model) in.fail("a bagging member without a tree");
        return member;
    });
    features_ = std::move(columns);
}

}  // namespace quelb
