#include "neighbors/knn.hpp"

namespace quelb {

Label KNNClassifier::predict_one(const FeatureMap& x) {
    const auto& neighbors = window_.nearest(x, n_neighbors, p);
    // Tally in order of first occurrence among the sorted neighbours, so that a strict
    // comparison hands equal votes to the label of the nearer neighbour.
    votes_.clear();
    for (const auto& neighbor : neighbors) {
        auto it = votes_.begin();
        while (it != votes_.end() && it->first != neighbor.target) ++it;
        if (it == votes_.end()) {
            votes_.emplace_back(neighbor.target, 1);
        } else {
            ++it->second;
        }
    }
    Label best = -1;
    std::int32_t best_votes = 0;
    for (const auto& [label, count] : votes_) {
        if (count > best_votes) {
            best_votes = count;
            best = label;
        }
    }
    return best;
}

ClassProbabilities KNNClassifier::predict_proba_one(const FeatureMap& x) {
    ClassProbabilities result;
    const auto& neighbors = window_.nearest(x, n_neighbors, p);
    if (neighbors.empty()) return result;
    const double share = 1.0 / static_cast<double>(neighbors.size());
    for (const auto& neighbor : neighbors) result[neighbor.target] += share;
    return result;
}

double KNNRegressor::predict_one(const FeatureMap& x) {
    double weight_sum = 0.0;
    double weighted_targets = 0.0;
    for (const auto& neighbor : window_.nearest(x, n_neighbors, p)) {
        const double weight = neighbor.distance > 1e-10 ? 1.0 / neighbor.distance : 1e10;
        weight_sum += weight;
        weighted_targets += weight * neighbor.target;
    }
    return weight_sum > 0.0 ? weighted_targets / weight_sum : 0.0;
}

}  // namespace quelb
