#include "pipeline/pipelines.hpp"

#include <stdexcept>
#include <utility>

namespace quelb {

namespace {

template <class Learner>
std::shared_ptr<Learner> checked_learner(std::shared_ptr<Learner> learner) {
    if (!learner) throw std::invalid_argument("a pipeline needs a learner, not null");
    return learner;
}

std::vector<std::shared_ptr<ITransformer>> unsupervised(std::vector<std::shared_ptr<ITransformer>> steps) {
    for (const auto& step : steps) {
        if (step && step->is_supervised())
            throw std::invalid_argument("an anomaly pipeline has no target for a supervised step");
    }
    return steps;
}

}  // namespace

StepChain::StepChain(std::vector<std::shared_ptr<ITransformer>> steps) : steps_(std::move(steps)) {
    for (const auto& step : steps_) {
        if (!step) throw std::invalid_argument("a pipeline step must be a transformer, not null");
    }
}

void StepChain::learn_and_transform(FeatureMap& x, double y) {
    for (const auto& step : steps_) {
        if (step->is_supervised()) {
            step->learn_one(x, y);
        } else {
            step->learn_one(x);
        }
        step->transform_one_inplace(x);
    }
}

void StepChain::transform(FeatureMap& x) {
    for (const auto& step : steps_) step->transform_one_inplace(x);
}

void StepChain::set_feature_order(const std::vector<std::string>& names) {
    for (const auto& step : steps_) step->set_feature_order(names);
}

void StepChain::reset() {
    for (const auto& step : steps_) step->reset();
}

ClassificationPipeline::ClassificationPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                                               std::shared_ptr<IClassifier> learner)
    : steps_(std::move(steps)), learner_(checked_learner(std::move(learner))) {}

void ClassificationPipeline::learn_in_place(FeatureMap& x, Label y) {
    steps_.learn_and_transform(x, static_cast<double>(y));
    learner_->learn_one(x, y);
}

Label ClassificationPipeline::predict_in_place(FeatureMap& x) {
    steps_.transform(x);
    return learner_->predict_one(x);
}

ClassProbabilities ClassificationPipeline::predict_proba_in_place(FeatureMap& x) {
    steps_.transform(x);
    return learner_->predict_proba_one(x);
}

void ClassificationPipeline::learn_one(const FeatureMap& x, Label y) {
    work_ = x;
    learn_in_place(work_, y);
}

Label ClassificationPipeline::predict_one(const FeatureMap& x) {
    work_ = x;
    return predict_in_place(work_);
}

ClassProbabilities ClassificationPipeline::predict_proba_one(const FeatureMap& x) {
    work_ = x;
    return predict_proba_in_place(work_);
}

void ClassificationPipeline::set_feature_order(const std::vector<std::string>& names) {
    steps_.set_feature_order(names);
}

void ClassificationPipeline::reset() {
    steps_.reset();
    learner_->reset();
}

RegressionPipeline::RegressionPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                                       std::shared_ptr<IRegressor> learner)
    : steps_(std::move(steps)), learner_(checked_learner(std::move(learner))) {}

void RegressionPipeline::learn_in_place(FeatureMap& x, double y) {
    steps_.learn_and_transform(x, y);
    learner_->learn_one(x, y);
}

double RegressionPipeline::predict_in_place(FeatureMap& x) {
    steps_.transform(x);
    return learner_->predict_one(x);
}

void RegressionPipeline::learn_one(const FeatureMap& x, double y) {
    work_ = x;
    learn_in_place(work_, y);
}

double RegressionPipeline::predict_one(const FeatureMap& x) {
    work_ = x;
    return predict_in_place(work_);
}

void RegressionPipeline::set_feature_order(const std::vector<std::string>& names) {
    steps_.set_feature_order(names);
}

void RegressionPipeline::reset() {
    steps_.reset();
    learner_->reset();
}

AnomalyPipeline::AnomalyPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                                 std::shared_ptr<IAnomalyDetector> detector)
    : steps_(unsupervised(std::move(steps))), detector_(checked_learner(std::move(detector))) {}

void AnomalyPipeline::learn_in_place(FeatureMap& x) {
    steps_.learn_and_transform(x, 0.0);
    detector_->learn_one(x);
}

double AnomalyPipeline::score_in_place(FeatureMap& x) {
    steps_.transform(x);
    return detector_->score_one(x);
}

void AnomalyPipeline::learn_one(const FeatureMap& x) {
    work_ = x;
    learn_in_place(work_);
}

double AnomalyPipeline::score_one(const FeatureMap& x) {
    work_ = x;
    return score_in_place(work_);
}

void AnomalyPipeline::set_feature_order(const std::vector<std::string>& names) { steps_.set_feature_order(names); }

void AnomalyPipeline::reset() {
    steps_.reset();
    detector_->reset();
}

}  // namespace quelb
