#include "linear/naive_bayes.hpp"

#include <cmath>
#include <limits>

#include "core/probabilities.hpp"

namespace quelb {

std::size_t NaiveBayes::class_index(Label y) {
    auto [it, inserted] = class_lookup_.try_emplace(y, classes_.size());
    if (inserted) classes_.push_back(ClassEntry{y, 0, {}});
    return it->second;
}

void NaiveBayes::learn_one(const FeatureMap& x, Label y) {
    ClassEntry& entry = classes_[class_index(y)];
    ++entry.count;
    ++n_samples_;
    feature_ids_.assign(x, sample_);
    if (entry.stats.size() < feature_ids_.size()) entry.stats.resize(feature_ids_.size());
    for (const auto& [id, value] : sample_) entry.stats[id].update(value);
}

void NaiveBayes::log_scores(const FeatureMap& x, std::vector<double>& out) {
    feature_ids_.lookup(x, sample_);
    out.clear();
    const double total = static_cast<double>(n_samples_);
    for (const ClassEntry& entry : classes_) {
        double score = std::log(static_cast<double>(entry.count) / total);
        for (const auto& [id, value] : sample_) {
            if (id >= entry.stats.size()) continue;
            const GaussianStats& s = entry.stats[id];
            if (s.count == 0.0) continue;  // never seen with this class: skipped, not penalised
            score += std::log(floored_density(s.density(value)));
        }
        out.push_back(score);
    }
}

Label NaiveBayes::predict_one(const FeatureMap& x) {
    if (classes_.empty()) return -1;
    log_scores(x, scores_);
    Label best = classes_.front().label;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        if (scores_[i] > best_score) {
            best_score = scores_[i];
            best = classes_[i].label;
        }
    }
    return best;
}

ClassProbabilities NaiveBayes::predict_proba_one(const FeatureMap& x) {
    ClassProbabilities result;
    if (classes_.empty()) return result;
    // Normalised in log space: a product of many small densities would underflow to 0.
    log_scores(x, scores_);
    normalize_log_scores(scores_);
    result.reserve(classes_.size());
    for (std::size_t i = 0; i < classes_.size(); ++i) result.emplace(classes_[i].label, scores_[i]);
    return result;
}

void NaiveBayes::save_state(StateWriter& out) const {
    out.seq(classes_, [](StateWriter& w, const ClassEntry& entry) {
        w.i32(entry.label);
        w.i64(entry.count);
        w.seq(entry.stats, [](StateWriter& w2, const GaussianStats& s) { s.save_state(w2); });
    });
    feature_ids_.save_state(out);
    out.i64(n_samples_);
}

// The label -> position map is rebuilt from the classes: it is only searched.
void NaiveBayes::load_state(StateReader& in) {
    in.seq(classes_, [](StateReader& r, ClassEntry& entry) {
        entry.label = r.i32();
        entry.count = r.counter();
        r.seq(entry.stats, [](StateReader& r2, GaussianStats& s) { s.load_state(r2); });
    });
    class_lookup_.clear();
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        if (!class_lookup_.emplace(classes_[i].label, i).second) in.fail("class label repeated");
    }
    feature_ids_.load_state(in);
    n_samples_ = in.counter();
}

void NaiveBayes::reset() {
    classes_.clear();
    class_lookup_.clear();
    feature_ids_.clear();
    n_samples_ = 0;
}

}  // namespace quelb
