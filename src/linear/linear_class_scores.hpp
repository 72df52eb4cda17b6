#pragma once
// The state and scoring shared by the linear classifiers: one sparse weight vector and one bias
// per class over a shared feature index, classes kept in the learner's visiting order.
//
// A sample is loaded once (each name looked up once) and then scored or updated for any number
// of classes. score(c) = Σ weight · value over the loaded features with a weight under c, in the
// sample's order, plus the bias of c added last.
#include <cstddef>
#include <vector>

#include "core/feature_index.hpp"
#include "core/types.hpp"
#include "linear/sparse_weights.hpp"

namespace quelb {

class LinearClassScores {
public:
    enum class ClassOrder {
        FirstLearned,  // classes in order of first learning
        Ascending,     // classes by ascending label
    };

    explicit LinearClassScores(ClassOrder order) : order_(order) {}

    bool empty() const { return classes_.empty(); }
    std::size_t n_classes() const { return classes_.size(); }
    Label label(std::size_t c) const { return classes_[c].label; }
    // Position of class y in visiting order; a new class is added with no weights and bias 0.
    // Adding a class may move the others (ascending order).
    std::size_t add_class(Label y);

    // Loads x for scoring: features that no class has seen are skipped.
    void load(const FeatureMap& x) { index_.lookup(x, sample_); }
    // Loads x for learning: every feature gets a column.
    void load_for_update(const FeatureMap& x) { index_.assign(x, sample_); }
    const IndexedSample& sample() const { return sample_; }

    double score(std::size_t c) const { return classes_[c].weights.dot(sample_, 0.0) + classes_[c].bias; }
    // The score of every class for the loaded sample, in visiting order.
    const std::vector<double>& scores();
    // Softmax of the scores of the loaded sample, in visiting order: shifted by the maximum
    // score so that large scores cannot overflow.
    const std::vector<double>& softmax();
    // Position of the class with the strictly greatest score (the first visited wins ties).
    std::size_t best_scoring_class();

    // For every loaded feature: weight of c ← update(current weight, or 0 when none, value).
    template <class Update>
    void update_weights(std::size_t c, Update update) {
        classes_[c].weights.update(sample_, index_.size(), update);
    }
    double& bias(std::size_t c) { return classes_[c].bias; }
    double bias(std::size_t c) const { return classes_[c].bias; }
    // The weights of class c by feature name (inspection).
    std::vector<std::pair<std::string, double>> named_weights(std::size_t c) const {
        return classes_[c].weights.named(index_);
    }

    // Values in visiting order (such as softmax()) keyed by class label.
    ClassProbabilities by_label(const std::vector<double>& values) const;

    // Prediction by raw score: the best-scoring class (0 when untrained) and the softmax of the
    // scores (empty when untrained).
    Label predict_by_score(const FeatureMap& x);
    ClassProbabilities predict_proba_by_score(const FeatureMap& x);

    void clear();

    // The classes with their weights, and the feature index; the class order is the learner's.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t heap_bytes() const { return memory::owned_all(classes_, index_, sample_, scores_); }

private:
    struct ClassWeights {
        Label label;
        double bias = 0.0;
        SparseWeights weights;
        std::size_t heap_bytes() const { return memory::owned(weights); }
    };

    ClassOrder order_;
    std::vector<ClassWeights> classes_;
    FeatureIndex index_;
    // Scratch reused between calls: the loaded sample and its scores.
    IndexedSample sample_;
    std::vector<double> scores_;
};

// Position of the strictly greatest value, visiting in order from a running best of `start`
// held by position 0: the first of equal values wins, and position 0 wins if nothing beats start.
std::size_t strict_argmax(const std::vector<double>& values, double start);

}  // namespace quelb
