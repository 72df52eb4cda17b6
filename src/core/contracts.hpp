#pragma once
// The learner contracts. Pipelines and ensembles drive objects only through these.
#include <string>
#include <vector>

#include "core/types.hpp"

namespace quelb {

class IClassifier {
public:
    virtual ~IClassifier() = default;
    virtual void learn_one(const FeatureMap& x, Label y) = 0;
    // Predictions are not const: learners may keep scratch buffers between calls.
    virtual Label predict_one(const FeatureMap& x) = 0;
    virtual ClassProbabilities predict_proba_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;
};

class IRegressor {
public:
    virtual ~IRegressor() = default;
    virtual void learn_one(const FeatureMap& x, double y) = 0;
    virtual double predict_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;
};

class ITransformer {
public:
    virtual ~ITransformer() = default;
    virtual void learn_one(const FeatureMap& x) = 0;
    // Supervised transformers override this; unsupervised ones ignore the target.
    virtual void learn_one(const FeatureMap& x, double y);
    virtual FeatureMap transform_one(const FeatureMap& x);
    virtual void transform_one_inplace(FeatureMap& x) = 0;
    virtual bool is_supervised() const;
    virtual void set_feature_order(const std::vector<std::string>& names);
    virtual void reset() = 0;
};

// Unsupervised: learns from samples alone and scores how anomalous a sample is.
class IAnomalyDetector {
public:
    virtual ~IAnomalyDetector() = default;
    virtual void learn_one(const FeatureMap& x) = 0;
    // Higher is more anomalous. Not const: detectors may keep scratch buffers between calls.
    virtual double score_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;
};

}  // namespace quelb
