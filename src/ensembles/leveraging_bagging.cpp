#include "ensembles/leveraging_bagging.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/state.hpp"
#include "ensembles/member_state.hpp"

namespace quelb {

namespace {

// One learning step of either ensemble on a loaded sample. test_then_train(tree, times, member
// index) returns the error of the tree's prediction, made before the tree learns the sample
// `times` times (a Poisson draw, the generator's only use); the error feeds the member's drift
// detector, and a drift replaces the tree by make_tree(member index).
template <class Member, class TestThenTrain, class MakeTree>
void learn_members(std::vector<Member>& members, Rng& rng, double lambda_value, TestThenTrain&& test_then_train,
                   MakeTree&& make_tree) {
    const PoissonDraw poisson(lambda_value);
    for (std::size_t i = 0; i < members.size(); ++i) {
        Member& member = members[i];
        if (member.feed_drift(test_then_train(*member.model, poisson(rng), i)))
            member.handle_drift([&make_tree, i](NewModel) { return make_tree(i); });
    }
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
    features_->load(x, true);
    const auto test_then_train = [y](HoeffdingTreeClassifier& tree, int times, std::size_t) {
        return tree.predict_then_learn_loaded(y, times) == y ? 0.0 : 1.0;
    };
    learn_members(members_, rng_, lambda_value, test_then_train, [this](std::size_t) { return make_tree(); });
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
    predictions_current_ = false;
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

    features_->load(x, true);
    const bool predicted = predictions_current_ && predictions_content_ == features_->content_version() &&
                           predictions_.size() == members_.size();
    predictions_current_ = false;
    const auto test_then_train = [&](FIMTDDRegressor& tree, int times, std::size_t i) {
        const double error = std::fabs((predicted ? predictions_[i] : tree.predict_loaded()) - y) / scale;
        tree.learn_repeated_loaded(y, times);
        return error;
    };
    learn_members(members_, rng_, lambda_value, test_then_train, [this](std::size_t i) { return make_tree(i); });
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
