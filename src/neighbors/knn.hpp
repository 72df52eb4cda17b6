#pragma once
// Nearest-neighbour learners over a sliding window of the most recent samples.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/options.hpp"
#include "neighbors/neighbor_window.hpp"

namespace quelb {

inline const char* window_size_check(const std::int32_t& window_size) {
    return window_size < 1 ? "'window_size' must be greater or equal to 1." : nullptr;
}
inline const char* n_neighbors_check(const std::int32_t& n_neighbors) {
    return n_neighbors < 0 ? "'n_neighbors' must be greater or equal to 0." : nullptr;
}

struct KNNOptions {
    std::int32_t n_neighbors = 5;
    std::int32_t window_size = 1000;  // fixed at construction
    std::int32_t p = 2;

    static constexpr auto fields() {
        return std::make_tuple(option("n_neighbors", &KNNOptions::n_neighbors, kArgument | kProperty, n_neighbors_check,
                                      "neighbours consulted (0 gives empty answers)"),
                               // Saved by the window, as its capacity.
                               option("window_size", &KNNOptions::window_size, kArgument | kUnsaved, window_size_check,
                                      "number of latest samples kept (at least 1)"),
                               option("p", &KNNOptions::p, kArgument | kProperty, "power of the Minkowski distance"));
    }
};

// What both learners share: the options, the window of (sample, target) pairs, and the state
// (options, then the window).
template <class Contract, class Target>
class NeighborLearner : public Contract, public KNNOptions {
public:
    using Options = KNNOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit NeighborLearner(const Options& options = {})
        : Options(options), window_((check_options(options), options.window_size)) {}

    void learn_one(const FeatureMap& x, Target y) override { window_.add(x, y); }
    void reset() override { window_.clear(); }

    void save_state(StateWriter& out) const {
        save_options(out, static_cast<const Options&>(*this));
        window_.save_state(out);
    }
    void load_state(StateReader& in) {
        load_options(in, static_cast<Options&>(*this));
        window_.load_state(in);
        window_size = window_.capacity();
    }

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned(window_); }

protected:
    NeighborWindow<Target> window_;
};

// Majority vote of the k nearest labels; equal votes go to the label of the nearer neighbour.
class KNNClassifier : public NeighborLearner<IClassifier, Label> {
public:
    using NeighborLearner::NeighborLearner;

    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return NeighborLearner::heap_bytes() + memory::owned(votes_); }

private:
    std::vector<std::pair<Label, std::int32_t>> votes_;  // scratch: label and votes, nearest first
};

// Inverse-distance weighted mean of the k nearest targets; an (almost) exact match dominates.
class KNNRegressor : public NeighborLearner<IRegressor, double> {
public:
    using NeighborLearner::NeighborLearner;

    double predict_one(const FeatureMap& x) override;
};

}  // namespace quelb
