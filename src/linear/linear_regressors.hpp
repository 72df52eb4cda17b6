#pragma once
// Online linear regressors over sparse samples: one weight per feature name, created when the
// name is first learned, and an intercept. A new model predicts 0.
#include <vector>

#include "core/contracts.hpp"
#include "core/feature_index.hpp"
#include "core/options.hpp"
#include "linear/linear_model.hpp"
#include "linear/sgd_options.hpp"
#include "linear/sparse_weights.hpp"

namespace quelb {

// Weights and intercept shared by LinearRegression and PassiveAggressiveRegressor.
class LinearWeights {
public:
    // intercept + Σ weight · value over the features of x with a weight, in x's order.
    double predict(const FeatureMap& x) {
        index_.lookup(x, sample_);
        return weights_.dot(sample_, intercept_);
    }
    // Loads x for learning (every feature gets a column) and returns the prediction for it.
    double load_and_predict(const FeatureMap& x) {
        index_.assign(x, sample_);
        return weights_.dot(sample_, intercept_);
    }
    const IndexedSample& sample() const { return sample_; }
    // For every loaded feature: weight ← update(current weight, or 0 when none, value).
    template <class Update>
    void update_weights(Update update) {
        weights_.update(sample_, index_.size(), update);
    }
    double& intercept() { return intercept_; }
    double intercept() const { return intercept_; }
    // The weights by feature name (inspection).
    std::vector<std::pair<std::string, double>> named_weights() const { return weights_.named(index_); }
    void clear();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t heap_bytes() const { return memory::owned_all(index_, weights_, sample_); }

private:
    FeatureIndex index_;
    SparseWeights weights_;
    double intercept_ = 0.0;
    IndexedSample sample_;  // scratch: the loaded sample
};

// LinearRegression and PassiveAggressiveRegressor answer from their weights; each supplies
// learn_one.
template <class O>
class LinearWeightsRegressor : public LinearModel<IRegressor, O, LinearWeights> {
public:
    using LinearModel<IRegressor, O, LinearWeights>::LinearModel;

    double predict_one(const FeatureMap& x) override { return this->model_.predict(x); }
};

// SGD on the squared error with L2 decay; the error and each per-feature gradient are clipped
// to [-10, 10].
class LinearRegression : public LinearWeightsRegressor<SgdOptions> {
public:
    using LinearWeightsRegressor::LinearWeightsRegressor;
    void learn_one(const FeatureMap& x, double y) override;
};

struct PassiveAggressiveRegressorOptions {
    double C = 1.0;
    double epsilon = 0.1;

    static constexpr auto fields() {
        using O = PassiveAggressiveRegressorOptions;
        return std::make_tuple(option("C", &O::C, kArgument | kProperty, "aggressiveness: cap on each step"),
                               option("epsilon", &O::epsilon, kArgument | kProperty,
                                      "margin within which errors cost nothing"));
    }
};

// PA-I with an epsilon-insensitive loss: errors within epsilon change nothing, larger ones move
// the model by a step capped at C.
class PassiveAggressiveRegressor : public LinearWeightsRegressor<PassiveAggressiveRegressorOptions> {
public:
    using LinearWeightsRegressor::LinearWeightsRegressor;
    void learn_one(const FeatureMap& x, double y) override;
};

struct BayesianLinearRegressionOptions {
    double alpha = 1.0;
    double beta = 1.0;

    static constexpr auto fields() {
        using O = BayesianLinearRegressionOptions;
        return std::make_tuple(option("alpha", &O::alpha, kArgument | kProperty, "precision of the weights' prior"),
                               option("beta", &O::beta, kArgument | kProperty, "precision of the noise"));
    }
};

// A diagonal Gaussian posterior per weight (mean and precision), updated with clipped
// Kalman-style steps. alpha is the prior precision of each weight, beta the noise precision.
class BayesianLinearRegression : public IRegressor, public BayesianLinearRegressionOptions {
public:
    using Options = BayesianLinearRegressionOptions;
    explicit BayesianLinearRegression(const Options& options = {}) : Options(options) { check_options(options); }

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    // The posterior means by feature name, and the intercept's (inspection).
    std::vector<std::pair<std::string, double>> named_weights() const { return means_.named(index_); }
    double intercept() const { return intercept_mean_; }

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(index_, means_, precisions_, sample_); }

private:
    FeatureIndex index_;
    SparseWeights means_;
    // Precision per column, meaningful where means_ has a weight (alpha elsewhere).
    std::vector<double> precisions_;
    double intercept_precision_ = 0.0;
    double intercept_mean_ = 0.0;
    IndexedSample sample_;  // scratch: the loaded sample
};

}  // namespace quelb
