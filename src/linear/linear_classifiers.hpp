#pragma once
// Multiclass linear classifiers over sparse samples, all built on LinearClassScores.
//
// An untrained model predicts 0 and an empty probability map. Probabilities are a softmax over
// the raw class scores, shifted by the maximum score so that large scores stay finite.
#include "core/contracts.hpp"
#include "core/options.hpp"
#include "linear/linear_class_scores.hpp"
#include "linear/linear_model.hpp"
#include "linear/sgd_options.hpp"

namespace quelb {

struct PerceptronOptions {
    double learning_rate = 0.01;

    static constexpr auto fields() {
        return std::make_tuple(
            option("learning_rate", &PerceptronOptions::learning_rate, kArgument | kProperty,
                   "step size of the updates"));
    }
};

struct PassiveAggressiveClassifierOptions {
    double C = 1.0;

    static constexpr auto fields() {
        return std::make_tuple(option("C", &PassiveAggressiveClassifierOptions::C, kArgument | kProperty,
                                      "aggressiveness: cap on each step"));
    }
};

// Class scores visited in `Order`.
template <LinearClassScores::ClassOrder Order>
struct OrderedClassScores : LinearClassScores {
    OrderedClassScores() : LinearClassScores(Order) {}
};

// The classifiers answer by score; each supplies learn_one.
template <class O, LinearClassScores::ClassOrder Order>
class LinearClassifier : public LinearModel<IClassifier, O, OrderedClassScores<Order>> {
public:
    using LinearModel<IClassifier, O, OrderedClassScores<Order>>::LinearModel;

    Label predict_one(const FeatureMap& x) override { return this->model_.predict_by_score(x); }
    ClassProbabilities predict_proba_one(const FeatureMap& x) override {
        return this->model_.predict_proba_by_score(x);
    }
};

// Error-driven multiclass perceptron; classes visited in order of first learning.
class Perceptron : public LinearClassifier<PerceptronOptions, LinearClassScores::ClassOrder::FirstLearned> {
public:
    using LinearClassifier::LinearClassifier;
    void learn_one(const FeatureMap& x, Label y) override;
};

// One-vs-rest logistic regression by SGD with L2 decay; classes visited in ascending order.
class LogisticRegression : public LinearClassifier<SgdOptions, LinearClassScores::ClassOrder::Ascending> {
public:
    using LinearClassifier::LinearClassifier;
    void learn_one(const FeatureMap& x, Label y) override;
};

// Multiclass passive-aggressive (PA-I) learner: on a margin violation it moves the true class up
// and the best-scoring wrong class down by a step capped at C. Predicts as LogisticRegression.
class PassiveAggressiveClassifier
    : public LinearClassifier<PassiveAggressiveClassifierOptions, LinearClassScores::ClassOrder::Ascending> {
public:
    using LinearClassifier::LinearClassifier;
    void learn_one(const FeatureMap& x, Label y) override;
};

// Multinomial logistic regression by SGD with L2 decay; classes visited in ascending order.
class SoftmaxRegression : public LinearClassifier<SgdOptions, LinearClassScores::ClassOrder::Ascending> {
public:
    using LinearClassifier::LinearClassifier;
    void learn_one(const FeatureMap& x, Label y) override;
    // Arg-max of the probabilities rather than of the scores.
    Label predict_one(const FeatureMap& x) override;
};

}  // namespace quelb
