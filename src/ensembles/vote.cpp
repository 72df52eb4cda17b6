#include "ensembles/vote.hpp"

namespace quelb {

void ProbabilityVote::add(const std::vector<std::pair<Label, double>>& proba, double weight) {
    double total = 0.0;
    for (const auto& entry : proba) total += entry.second;
    if (total <= 0.0 || weight <= 0.0) return;
    for (const auto& [label, p] : proba) {
        const double vote = p / total * weight;
        auto it = votes_.begin();
        while (it != votes_.end() && it->first != label) ++it;
        if (it == votes_.end()) {
            votes_.emplace_back(label, vote);
        } else {
            it->second += vote;
        }
        sum_ += vote;
    }
}

void ProbabilityVote::normalise() {
    if (sum_ <= 0.0) return;
    for (auto& entry : votes_) entry.second /= sum_;
    sum_ = 1.0;
}

ClassProbabilities ProbabilityVote::to_map() const {
    ClassProbabilities result;
    result.reserve(votes_.size());
    for (const auto& [label, p] : votes_) result.emplace(label, p);
    return result;
}

Label ProbabilityVote::argmax() const {
    Label best = 0;
    double best_p = -1.0;
    for (const auto& [label, p] : votes_) {
        if (p > best_p) {
            best_p = p;
            best = label;
        }
    }
    return best;
}

}  // namespace quelb
