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

// The batch loops of both pipelines over rows with categories, each row checked first.
template <class Pipeline, class Target>
void learn_mixed_rows(Pipeline& pipeline, const StepChain& steps, const RowSource& rows, const Target* y) {
    steps.for_each_mixed(rows, [&](const MixedSample& x, std::size_t i) { pipeline.learn_mixed(x, y[i]); });
}

template <class Pipeline, class Out>
void predict_mixed_rows(Pipeline& pipeline, const StepChain& steps, const RowSource& rows, Out* out) {
    steps.for_each_mixed(rows, [&](const MixedSample& x, std::size_t i) { out[i] = pipeline.predict_mixed(x); });
}

template <class Pipeline, class Target>
void test_then_train_mixed_rows(Pipeline& pipeline, const StepChain& steps, const RowSource& rows, const Target* y,
                                Target* out) {
    steps.for_each_mixed(rows, [&](const MixedSample& x, std::size_t i) {
        out[i] = pipeline.predict_mixed(x);
        pipeline.learn_mixed(x, y[i]);
    });
}

}  // namespace

StepChain::StepChain(std::vector<std::shared_ptr<ITransformer>> steps) : steps_(std::move(steps)) {
    for (const auto& step : steps_) {
        if (!step) throw std::invalid_argument("a pipeline step must be a transformer, not null");
    }
    if (!steps_.empty()) encoder_ = dynamic_cast<IEncoder*>(steps_.front().get());
}

void StepChain::learn_and_transform(FeatureMap& x, double y) { learn_and_transform_from(0, x, y); }

void StepChain::transform(FeatureMap& x) { transform_from(0, x); }

void StepChain::learn_and_transform_from(std::size_t first, FeatureMap& x, double y) {
    for (std::size_t i = first; i < steps_.size(); ++i) {
        ITransformer& step = *steps_[i];
        if (step.is_supervised()) {
            step.learn_one(x, y);
        } else {
            step.learn_one(x);
        }
        step.transform_one_inplace(x);
    }
}

void StepChain::transform_from(std::size_t first, FeatureMap& x) {
    for (std::size_t i = first; i < steps_.size(); ++i) steps_[i]->transform_one_inplace(x);
}

void StepChain::check(const MixedSample& x) const {
    if (!encoder_) throw SampleTypeError("a sample with categories needs a pipeline whose first step is an encoder");
    encoder_->check(x);
}

void StepChain::learn_and_transform(const MixedSample& x, double y, FeatureMap& out) {
    check(x);
    encoder_->learn_mixed(x);
    encoder_->encode(x, out);
    learn_and_transform_from(1, out, y);
}

void StepChain::transform(const MixedSample& x, FeatureMap& out) {
    check(x);
    encoder_->encode(x, out);
    transform_from(1, out);
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

void ClassificationPipeline::learn_mixed(const MixedSample& x, Label y) {
    steps_.learn_and_transform(x, static_cast<double>(y), work_);
    learner_->learn_one(work_, y);
}

Label ClassificationPipeline::predict_mixed(const MixedSample& x) {
    steps_.transform(x, work_);
    return learner_->predict_one(work_);
}

ClassProbabilities ClassificationPipeline::predict_proba_mixed(const MixedSample& x) {
    steps_.transform(x, work_);
    return learner_->predict_proba_one(work_);
}

void ClassificationPipeline::learn_many(const RowSource& rows, const Label* y) {
    if (!rows.has_categories()) return IClassifier::learn_many(rows, y);
    learn_mixed_rows(*this, steps_, rows, y);
}

void ClassificationPipeline::predict_many(const RowSource& rows, Label* out) {
    if (!rows.has_categories()) return IClassifier::predict_many(rows, out);
    predict_mixed_rows(*this, steps_, rows, out);
}

void ClassificationPipeline::predict_proba_many(const RowSource& rows, ClassProbabilities* out) {
    if (!rows.has_categories()) return IClassifier::predict_proba_many(rows, out);
    steps_.for_each_mixed(rows, [&](const MixedSample& x, std::size_t i) { out[i] = predict_proba_mixed(x); });
}

void ClassificationPipeline::test_then_train_many(const RowSource& rows, const Label* y, Label* out) {
    if (!rows.has_categories()) return IClassifier::test_then_train_many(rows, y, out);
    test_then_train_mixed_rows(*this, steps_, rows, y, out);
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

void RegressionPipeline::learn_mixed(const MixedSample& x, double y) {
    steps_.learn_and_transform(x, y, work_);
    learner_->learn_one(work_, y);
}

double RegressionPipeline::predict_mixed(const MixedSample& x) {
    steps_.transform(x, work_);
    return learner_->predict_one(work_);
}

void RegressionPipeline::learn_many(const RowSource& rows, const double* y) {
    if (!rows.has_categories()) return IRegressor::learn_many(rows, y);
    learn_mixed_rows(*this, steps_, rows, y);
}

void RegressionPipeline::predict_many(const RowSource& rows, double* out) {
    if (!rows.has_categories()) return IRegressor::predict_many(rows, out);
    predict_mixed_rows(*this, steps_, rows, out);
}

void RegressionPipeline::test_then_train_many(const RowSource& rows, const double* y, double* out) {
    if (!rows.has_categories()) return IRegressor::test_then_train_many(rows, y, out);
    test_then_train_mixed_rows(*this, steps_, rows, y, out);
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
