#pragma once
// Multiclass linear classifiers over sparse samples, all built on LinearClassScores.
//
// An untrained model predicts 0 and an empty probability map. Probabilities are a softmax over
// the raw class scores, shifted by the maximum score so that large scores stay finite.
#include "core/contracts.hpp"
#include "linear/linear_class_scores.hpp"

namespace quelb {

// Error-driven multiclass perceptron; classes visited in order of first learning.
class Perceptron : public IClassifier {
public:
    explicit Perceptron(double learning_rate = 0.01) : learning_rate(learning_rate) {}

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double learning_rate;

private:
    LinearClassScores model_{LinearClassScores::ClassOrder::FirstLearned};
};

// One-vs-rest logistic regression by SGD with L2 decay; classes visited in ascending order.
class LogisticRegression : public IClassifier {
public:
    explicit LogisticRegression(double learning_rate = 0.01, double l2 = 0.0)
        : learning_rate(learning_rate), l2(l2) {}

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double learning_rate;
    double l2;

private:
    LinearClassScores model_{LinearClassScores::ClassOrder::Ascending};
};

// Multiclass passive-aggressive (PA-I) learner: on a margin violation it moves the true class up
// and the best-scoring wrong class down by a step capped at C. Predicts as LogisticRegression.
class PassiveAggressiveClassifier : public IClassifier {
public:
    explicit PassiveAggressiveClassifier(double C = 1.0) : C(C) {}

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double C;

private:
    LinearClassScores model_{LinearClassScores::ClassOrder::Ascending};
};

// Multinomial logistic regression by SGD with L2 decay; classes visited in ascending order.
class SoftmaxRegression : public IClassifier {
public:
    explicit SoftmaxRegression(double learning_rate = 0.01, double l2 = 0.0)
        : learning_rate(learning_rate), l2(l2) {}

    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override { model_.clear(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    double learning_rate;
    double l2;

private:
    LinearClassScores model_{LinearClassScores::ClassOrder::Ascending};
};

}  // namespace quelb
