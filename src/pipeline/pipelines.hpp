#pragma once
// Pipelines: transformers chained in front of a learner, presented as a single learner.
//
// Steps and learner are shared with whoever else holds them: a pipeline never copies them, so an
// object used in two pipelines (or also from the caller) learns from every stream it is fed.
// A pipeline whose first step is an encoder also takes samples with categories (the `*_mixed`
// operations and batches of such rows); the encoder's numeric output goes on as usual.
#include <memory>
#include <string>
#include <vector>

#include "core/contracts.hpp"

namespace quelb {

// The steps of a pipeline, applied in list order.
class StepChain {
public:
    // Throws std::invalid_argument for a null step.
    explicit StepChain(std::vector<std::shared_ptr<ITransformer>> steps);

    // Each step learns from x as the steps before it left it (a supervised step also gets y),
    // then transforms x in place, so what the next step sees includes this sample's contribution.
    void learn_and_transform(FeatureMap& x, double y);
    void transform(FeatureMap& x);
    void set_feature_order(const std::vector<std::string>& names);
    void reset();

    // The first step when it is an encoder, else null.
    IEncoder* encoder() const { return encoder_; }
    // Throws SampleTypeError when there is no leading encoder or it refuses x.
    void check(const MixedSample& x) const;
    // As above for a sample with categories, which the leading encoder turns into out.
    void learn_and_transform(const MixedSample& x, double y, FeatureMap& out);
    void transform(const MixedSample& x, FeatureMap& out);
    // Every row checked by check() first, then fn(row, i) for each: a refused batch changes nothing.
    template <class Fn>
    void for_each_mixed(const RowSource& rows, Fn&& fn) const {
        for (std::size_t i = 0; i < rows.size(); ++i) check(rows.mixed_row(i));
        for (std::size_t i = 0; i < rows.size(); ++i) fn(rows.mixed_row(i), i);
    }

    const std::vector<std::shared_ptr<ITransformer>>& steps() const { return steps_; }
    std::size_t heap_bytes() const { return memory::owned(steps_); }

private:
    void learn_and_transform_from(std::size_t first, FeatureMap& x, double y);
    void transform_from(std::size_t first, FeatureMap& x);

    std::vector<std::shared_ptr<ITransformer>> steps_;
    IEncoder* encoder_ = nullptr;
};

// The `*_in_place` operations take a sample the caller hands over and transform it in place (the
// Python methods use them on the freshly converted sample); the contract operations first copy
// their read-only sample into a working buffer kept between calls. Either way the caller's sample
// is unchanged. An exception from a step or the learner propagates; steps that already learned
// from the sample keep what they learned.
class ClassificationPipeline : public IClassifier {
public:
    // Throws std::invalid_argument for a null step or learner.
    ClassificationPipeline(std::vector<std::shared_ptr<ITransformer>> steps, std::shared_ptr<IClassifier> learner);

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    // Resets every step in order, then the learner.
    void reset() override;

    void learn_in_place(FeatureMap& x, Label y);
    Label predict_in_place(FeatureMap& x);
    ClassProbabilities predict_proba_in_place(FeatureMap& x);
    // Tells every step; the learner is not told.
    void set_feature_order(const std::vector<std::string>& names);

    // Samples with categories: need a leading encoder (SampleTypeError otherwise).
    void learn_mixed(const MixedSample& x, Label y);
    Label predict_mixed(const MixedSample& x);
    ClassProbabilities predict_proba_mixed(const MixedSample& x);
    void learn_many(const RowSource& rows, const Label* y) override;
    void predict_many(const RowSource& rows, Label* out) override;
    void predict_proba_many(const RowSource& rows, ClassProbabilities* out) override;
    void test_then_train_many(const RowSource& rows, const Label* y, Label* out) override;
    // The steps alone: what the learner would see.
    StepChain& chain() { return steps_; }
    IEncoder* encoder() const { return steps_.encoder(); }

    // The parts, shared: a pipeline's state is that of its steps and learner.
    const std::vector<std::shared_ptr<ITransformer>>& steps() const { return steps_.steps(); }
    const std::shared_ptr<IClassifier>& learner() const { return learner_; }

    // Counts the steps and learner: they are parts of the pipeline even when shared.
    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(steps_, learner_, work_); }

private:
    StepChain steps_;
    std::shared_ptr<IClassifier> learner_;
    FeatureMap work_;
};

// An anomaly detector behind transformers; there is no target, so supervised steps are refused.
class AnomalyPipeline : public IAnomalyDetector {
public:
    // Throws std::invalid_argument for a null or supervised step or a null detector.
    AnomalyPipeline(std::vector<std::shared_ptr<ITransformer>> steps, std::shared_ptr<IAnomalyDetector> detector);

    void learn_one(const FeatureMap& x) override;
    double score_one(const FeatureMap& x) override;
    void reset() override;

    void learn_in_place(FeatureMap& x);
    double score_in_place(FeatureMap& x);
    void set_feature_order(const std::vector<std::string>& names);

    const std::vector<std::shared_ptr<ITransformer>>& steps() const { return steps_.steps(); }
    const std::shared_ptr<IAnomalyDetector>& learner() const { return detector_; }

    // Counts the steps and learner: they are parts of the pipeline even when shared.
    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(steps_, detector_, work_); }

private:
    StepChain steps_;
    std::shared_ptr<IAnomalyDetector> detector_;
    FeatureMap work_;
};

class RegressionPipeline : public IRegressor {
public:
    RegressionPipeline(std::vector<std::shared_ptr<ITransformer>> steps, std::shared_ptr<IRegressor> learner);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    void learn_in_place(FeatureMap& x, double y);
    double predict_in_place(FeatureMap& x);
    void set_feature_order(const std::vector<std::string>& names);

    void learn_mixed(const MixedSample& x, double y);
    double predict_mixed(const MixedSample& x);
    void learn_many(const RowSource& rows, const double* y) override;
    void predict_many(const RowSource& rows, double* out) override;
    void test_then_train_many(const RowSource& rows, const double* y, double* out) override;
    StepChain& chain() { return steps_; }
    IEncoder* encoder() const { return steps_.encoder(); }

    const std::vector<std::shared_ptr<ITransformer>>& steps() const { return steps_.steps(); }
    const std::shared_ptr<IRegressor>& learner() const { return learner_; }

    // Counts the steps and learner: they are parts of the pipeline even when shared.
    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(steps_, learner_, work_); }

private:
    StepChain steps_;
    std::shared_ptr<IRegressor> learner_;
    FeatureMap work_;
};

}  // namespace quelb
