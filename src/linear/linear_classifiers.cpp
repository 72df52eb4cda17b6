#include "linear/linear_classifiers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quelb {

namespace {

// Moves class `up` towards the loaded sample and class `down` away from it by `step`, weights and
// biases alike.
void shift_pair(LinearClassScores& model, std::size_t up, std::size_t down, double step) {
    model.update_weights(up, [step](double w, double value) { return value * step + w; });
    model.update_weights(down, [step](double w, double value) { return w - value * step; });
    model.bias(up) = step + model.bias(up);
    model.bias(down) = model.bias(down) - step;
}

}  // namespace

// ---- Perceptron

void Perceptron::learn_one(const FeatureMap& x, Label y) {
    const std::size_t target = model_.add_class(y);
    model_.load_for_update(x);
    // The new class takes part in the prediction with score 0.
    const std::size_t predicted = model_.best_scoring_class();
    if (predicted == target) return;
    shift_pair(model_, target, predicted, learning_rate);
}

// ---- LogisticRegression

void LogisticRegression::learn_one(const FeatureMap& x, Label y) {
    model_.add_class(y);
    model_.load_for_update(x);
    const double rate = learning_rate;
    const double decay = l2;
    // Each class is its own binary problem: its score and update use only its own weights.
    for (std::size_t c = 0; c < model_.n_classes(); ++c) {
        const double z = std::max(std::min(model_.score(c), 500.0), -500.0);
        const double sigma = 1.0 / (1.0 + std::exp(-z));
        const double g = (model_.label(c) == y ? 1.0 : 0.0) - sigma;
        model_.update_weights(c, [g, rate, decay](double w, double value) { return (value * g - w * decay) * rate + w; });
        model_.bias(c) = rate * g + model_.bias(c);
    }
}

// ---- PassiveAggressiveClassifier

void PassiveAggressiveClassifier::learn_one(const FeatureMap& x, Label y) {
    const std::size_t target = model_.add_class(y);
    model_.load_for_update(x);
    const std::vector<double>& scores = model_.scores();
    // The rival: the best-scoring other class (the smaller label wins ties).
    std::size_t rival = target;
    double rival_score = -std::numeric_limits<double>::infinity();
    for (std::size_t c = 0; c < scores.size(); ++c) {
        if (c != target && scores[c] > rival_score) {
            rival_score = scores[c];
            rival = c;
        }
    }
    if (rival == target) return;
    const double loss = std::max(0.0, 1.0 - (scores[target] - rival_score));
    if (!(loss > 0.0)) return;  // margin met, or not a number
    // The 1 accounts for the bias, the 2 for the two classes being changed.
    const double tau = std::min(C, loss / (2.0 * (squared_norm(model_.sample()) + 1.0)));
    shift_pair(model_, target, rival, tau);
}

// ---- SoftmaxRegression

void SoftmaxRegression::learn_one(const FeatureMap& x, Label y) {
    model_.add_class(y);
    model_.load_for_update(x);
    // Probabilities before any change; a new class takes part with score 0.
    const std::vector<double>& probabilities = model_.softmax();
    const double rate = learning_rate;
    const double decay = l2;
    for (std::size_t c = 0; c < model_.n_classes(); ++c) {
        const double g = (model_.label(c) == y ? 1.0 : 0.0) - probabilities[c];
        model_.update_weights(c, [g, rate, decay](double w, double value) { return (value * g - w * decay) * rate + w; });
        model_.bias(c) = rate * g + model_.bias(c);
    }
}

Label SoftmaxRegression::predict_one(const FeatureMap& x) {
    if (model_.empty()) return 0;
    model_.load(x);
    // Arg-max of the probabilities from a running best of -1: equal probabilities (which nearly
    // equal scores can round to) go to the smaller label.
    return model_.label(strict_argmax(model_.softmax(), -1.0));
}

}  // namespace quelb
