#pragma once
// The learner contracts. Pipelines and ensembles drive objects only through these.
//
// The batch operations (`*_many`) are, row by row, the one-sample operations: the defaults loop
// over them, and an override must give the same results bit for bit. Outputs are written to
// arrays of `rows.size()` entries that the caller owns.
//
// memory_usage() estimates the bytes the object holds: itself and all it owns (see core/memory.hpp).
#include <cstddef>
#include <string>
#include <vector>

#include "core/batch.hpp"
#include "core/types.hpp"

namespace quelb {

// What every learner contract below shares: its memory estimate (see above) and reset.
class ILearner {
public:
    virtual ~ILearner() = default;
    virtual std::size_t memory_usage() const = 0;
    virtual void reset() = 0;
};

class IClassifier : public ILearner {
public:
    virtual void learn_one(const FeatureMap& x, Label y) = 0;
    // Predictions are not const: learners may keep scratch buffers between calls.
    virtual Label predict_one(const FeatureMap& x) = 0;
    virtual ClassProbabilities predict_proba_one(const FeatureMap& x) = 0;

    virtual void learn_many(const RowSource& rows, const Label* y);
    virtual void predict_many(const RowSource& rows, Label* out);
    virtual void predict_proba_many(const RowSource& rows, ClassProbabilities* out);
    // out[i] is the prediction for row i made before row i was learned.
    virtual void test_then_train_many(const RowSource& rows, const Label* y, Label* out);
};

class IRegressor : public ILearner {
public:
    virtual void learn_one(const FeatureMap& x, double y) = 0;
    virtual double predict_one(const FeatureMap& x) = 0;

    virtual void learn_many(const RowSource& rows, const double* y);
    virtual void predict_many(const RowSource& rows, double* out);
    virtual void test_then_train_many(const RowSource& rows, const double* y, double* out);
};

class ITransformer : public ILearner {
public:
    virtual void learn_one(const FeatureMap& x) = 0;
    // Supervised transformers override this; unsupervised ones ignore the target.
    virtual void learn_one(const FeatureMap& x, double y);
    virtual FeatureMap transform_one(const FeatureMap& x);
    virtual void transform_one_inplace(FeatureMap& x) = 0;
    virtual bool is_supervised() const;
    virtual void set_feature_order(const std::vector<std::string>& names);

    // y is null for an unsupervised transformer.
    virtual void learn_many(const RowSource& rows, const double* y);
    virtual void transform_many(const RowSource& rows, RowSink& out);
};

// Unsupervised: learns from samples alone and scores how anomalous a sample is.
class IAnomalyDetector : public ILearner {
public:
    virtual void learn_one(const FeatureMap& x) = 0;
    // Higher is more anomalous. Not const: detectors may keep scratch buffers between calls.
    virtual double score_one(const FeatureMap& x) = 0;

    virtual void learn_many(const RowSource& rows);
    virtual void score_many(const RowSource& rows, double* out);
};

// A transformer that reads categories: it turns a MixedSample into a numeric sample. A pipeline
// whose first step is an encoder takes samples with categories; everything after it sees numbers.
// Numeric samples reach it through the ITransformer operations as samples without categories.
class IEncoder : public ITransformer {
public:
    // Throws SampleTypeError for a sample it refuses, before anything changes.
    virtual void check(const MixedSample& x) const = 0;
    // Checks, then learns.
    virtual void learn_mixed(const MixedSample& x) = 0;
    // Writes the numeric sample that x encodes to out (cleared first).
    virtual void encode(const MixedSample& x, FeatureMap& out) = 0;

    // Rows with categories are all checked before the first one is learned.
    void learn_many(const RowSource& rows, const double* y) override;
    void transform_many(const RowSource& rows, RowSink& out) override;
};

}  // namespace quelb
