#pragma once
// Nearest-neighbour learners over a sliding window of the most recent samples.
//
// Options are public fields. window_size (fixed at construction) must be at least 1 and
// n_neighbors at least 0: the constructors reject other values with std::invalid_argument.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "neighbors/neighbor_window.hpp"

namespace quelb {

inline constexpr const char* kBadWindowSize = "'window_size' must be greater or equal to 1.";
inline constexpr const char* kBadNeighbors = "'n_neighbors' must be greater or equal to 0.";

// Majority vote of the k nearest labels; equal votes go to the label of the nearer neighbour.
class KNNClassifier : public IClassifier {
public:
    explicit KNNClassifier(std::int32_t n_neighbors = 5, std::int32_t window_size = 1000, std::int32_t p = 2);

    void learn_one(const FeatureMap& x, Label y) override { window_.add(x, y); }
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override { window_.clear(); }

    std::int32_t window_size() const { return window_.capacity(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::int32_t n_neighbors;
    std::int32_t p;

private:
    NeighborWindow<Label> window_;
    std::vector<std::pair<Label, std::int32_t>> votes_;  // scratch: label and votes, nearest first
};

// Inverse-distance weighted mean of the k nearest targets; an (almost) exact match dominates.
class KNNRegressor : public IRegressor {
public:
    explicit KNNRegressor(std::int32_t n_neighbors = 5, std::int32_t window_size = 1000, std::int32_t p = 2);

    void learn_one(const FeatureMap& x, double y) override { window_.add(x, y); }
    double predict_one(const FeatureMap& x) override;
    void reset() override { window_.clear(); }

    std::int32_t window_size() const { return window_.capacity(); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::int32_t n_neighbors;
    std::int32_t p;

private:
    NeighborWindow<double> window_;
};

}  // namespace quelb
