#pragma once
// Online linear regressors over sparse samples: one weight per feature name, created when the
// name is first learned, and an intercept. A new model predicts 0.
#include <vector>

#include "core/contracts.hpp"
#include "core/feature_index.hpp"
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
    void clear();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    FeatureIndex index_;
    SparseWeights weights_;
    double intercept_ = 0.0;
    IndexedSample sample_;  // scratch: the loaded sample
};

// SGD on the squared error with L2 decay; the error and each per-feature gradient are clipped
// to [-10, 10].
class LinearRegression : public IRegressor {
public:
    explicit LinearRegression(double learning_rate = 0.01, double l2 = 0.0)
        : learning_rate(learning_rate), l2(l2) {}

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override { return model_.predict(x); }
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double learning_rate;
    double l2;

private:
    LinearWeights model_;
};

// PA-I with an epsilon-insensitive loss: errors within epsilon change nothing, larger ones move
// the model by a step capped at C.
class PassiveAggressiveRegressor : public IRegressor {
public:
    explicit PassiveAggressiveRegressor(double C = 1.0, double epsilon = 0.1) : C(C), epsilon(epsilon) {}

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override { return model_.predict(x); }
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double C;
    double epsilon;

private:
    LinearWeights model_;
};

// A diagonal Gaussian posterior per weight (mean and precision), updated with clipped
// Kalman-style steps. alpha is the prior precision of each weight, beta the noise precision.
class BayesianLinearRegression : public IRegressor {
public:
    explicit BayesianLinearRegression(double alpha = 1.0, double beta = 1.0) : alpha(alpha), beta(beta) {}

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double alpha;
    double beta;

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
