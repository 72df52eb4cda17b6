#include "linear/linear_regressors.hpp"

#include <algorithm>
#include <cmath>

namespace quelb {

namespace {

// min(max(v, -10), 10), computed as min(v, 10) first; NaN passes through.
double clip(double v) { return std::max(std::min(v, 10.0), -10.0); }

}  // namespace

void LinearWeights::clear() {
    index_.clear();
    weights_.clear();
    intercept_ = 0.0;
}

void LinearWeights::save_state(StateWriter& out) const {
    index_.save_state(out);
    weights_.save_state(out);
    out.f64(intercept_);
}

void LinearWeights::load_state(StateReader& in) {
    index_.load_state(in);
    weights_.load_state(in);
    intercept_ = in.f64();
}

void BayesianLinearRegression::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    index_.save_state(out);
    means_.save_state(out);
    out.f64s(precisions_);
    out.f64(intercept_precision_);
    out.f64(intercept_mean_);
}

void BayesianLinearRegression::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    index_.load_state(in);
    means_.load_state(in);
    in.f64s(precisions_);
    intercept_precision_ = in.f64();
    intercept_mean_ = in.f64();
}

void LinearRegression::learn_one(const FeatureMap& x, double y) {
    const double e = clip(y - model_.load_and_predict(x));
    const double rate = learning_rate;
    const double decay = l2;
    model_.update_weights([e, rate, decay](double w, double value) { return (clip(e * value) - w * decay) * rate + w; });
    model_.intercept() = e * rate + model_.intercept();
}

void PassiveAggressiveRegressor::learn_one(const FeatureMap& x, double y) {
    const double e = y - model_.load_and_predict(x);
    const double loss = std::max(std::abs(e) - epsilon, 0.0);
    if (!(loss > 0.0)) return;  // within epsilon, or not a number
    const double tau = std::min(loss / (1.0 + squared_norm(model_.sample())), C);
    const double s = e > 0.0 ? 1.0 : -1.0;
    model_.update_weights([s, tau](double w, double value) { return s * tau * value + w; });
    model_.intercept() = s * tau + model_.intercept();
}

double BayesianLinearRegression::predict_one(const FeatureMap& x) {
    index_.lookup(x, sample_);
    return means_.dot(sample_, intercept_mean_);
}

void BayesianLinearRegression::learn_one(const FeatureMap& x, double y) {
    index_.assign(x, sample_);
    const double e = clip(y - means_.dot(sample_, intercept_mean_));
    intercept_precision_ = intercept_precision_ + beta;
    intercept_mean_ = (1.0 / intercept_precision_) * beta * e + intercept_mean_;
    means_.grow(index_.size());
    if (precisions_.size() < index_.size()) precisions_.resize(index_.size());
    for (const auto& [column, value] : sample_) {
        const double p = means_.has(column) ? precisions_[column] : alpha;
        const double step = clip((1.0 / (beta * (value * value) + p)) * beta * value * e);
        means_.set(column, means_.get(column) + step);
        precisions_[column] = value * beta * value + p;
    }
}

void BayesianLinearRegression::reset() {
    index_.clear();
    means_.clear();
    precisions_.clear();
    intercept_precision_ = 0.0;
    intercept_mean_ = 0.0;
}

}  // namespace quelb
