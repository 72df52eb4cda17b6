#include "linear/linear_class_scores.hpp"

#include <limits>
#include <unordered_map>

#include "core/probabilities.hpp"

namespace quelb {

std::size_t LinearClassScores::add_class(Label y) {
    // Few classes: a scan of the contiguous labels beats a hash lookup.
    std::size_t pos = 0;
    for (; pos < classes_.size(); ++pos) {
        if (classes_[pos].label == y) return pos;
        if (order_ == ClassOrder::Ascending && classes_[pos].label > y) break;
    }
    classes_.insert(classes_.begin() + static_cast<std::ptrdiff_t>(pos), ClassWeights{y, 0.0, {}});
    return pos;
}

const std::vector<double>& LinearClassScores::scores() {
    scores_.resize(classes_.size());
    for (std::size_t c = 0; c < classes_.size(); ++c) scores_[c] = score(c);
    return scores_;
}

const std::vector<double>& LinearClassScores::softmax() {
    scores();
    normalize_log_scores(scores_);
    return scores_;
}

std::size_t LinearClassScores::best_scoring_class() {
    return strict_argmax(scores(), -std::numeric_limits<double>::infinity());
}

ClassProbabilities LinearClassScores::by_label(const std::vector<double>& values) const {
    ClassProbabilities result;
    result.reserve(classes_.size());
    for (std::size_t c = 0; c < classes_.size(); ++c) result.emplace(classes_[c].label, values[c]);
    return result;
}

Label LinearClassScores::predict_by_score(const FeatureMap& x) {
    if (classes_.empty()) return 0;
    load(x);
    return label(best_scoring_class());
}

ClassProbabilities LinearClassScores::predict_proba_by_score(const FeatureMap& x) {
    if (classes_.empty()) return {};
    load(x);
    return by_label(softmax());
}

void LinearClassScores::save_state(StateWriter& out) const {
    out.seq(classes_, [](StateWriter& w, const ClassWeights& c) {
        w.i32(c.label);
        w.f64(c.bias);
        c.weights.save_state(w);
    });
    index_.save_state(out);
}

void LinearClassScores::load_state(StateReader& in) {
    in.seq(classes_, [](StateReader& r, ClassWeights& c) {
        c.label = r.i32();
        c.bias = r.f64();
        c.weights.load_state(r);
    });
    // add_class relies on unique labels, in ascending order when the order is by label.
    for (std::size_t c = 1; c < classes_.size(); ++c) {
        const Label before = classes_[c - 1].label, label = classes_[c].label;
        const bool ordered = order_ == ClassOrder::Ascending ? before < label : before != label;
        if (!ordered) in.fail("class labels out of order");
    }
    if (order_ == ClassOrder::FirstLearned) {
        std::unordered_map<Label, int> seen;
        for (const ClassWeights& c : classes_) {
            if (!seen.emplace(c.label, 0).second) in.fail("class label repeated");
        }
    }
    index_.load_state(in);
}

void LinearClassScores::clear() {
    classes_.clear();
    index_.clear();
}

std::size_t strict_argmax(const std::vector<double>& values, double start) {
    std::size_t best = 0;
    double best_value = start;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] > best_value) {
            best_value = values[i];
            best = i;
        }
    }
    return best;
}

}  // namespace quelb
