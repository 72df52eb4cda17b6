#pragma once
// Gaussian naive Bayes: per class, per feature Welford statistics and a Gaussian likelihood.
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/contracts.hpp"
#include "core/feature_index.hpp"
#include "core/gaussian.hpp"

namespace quelb {

class NaiveBayes : public IClassifier {
public:
    void learn_one(const FeatureMap& x, Label y) override;
    Label predict_one(const FeatureMap& x) override;
    ClassProbabilities predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    std::int64_t n_samples() const { return n_samples_; }
    // (label, samples learnt) of every class, in order of first appearance.
    std::vector<std::pair<Label, double>> class_counts() const {
        std::vector<std::pair<Label, double>> out;
        for (const ClassEntry& c : classes_) out.emplace_back(c.label, static_cast<double>(c.count));
        return out;
    }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const {
        return memory::owned_all(classes_, class_lookup_, feature_ids_, sample_, scores_);
    }

private:
    // One class, in order of first appearance. stats[f] belongs to feature id f; a count of 0
    // means the feature was never seen with this class.
    struct ClassEntry {
        Label label;
        std::int64_t count = 0;
        std::vector<GaussianStats> stats;
        std::size_t heap_bytes() const { return memory::owned(stats); }
    };

    std::size_t class_index(Label y);
    // Log score of every class (log prior plus log floored densities), in class order.
    void log_scores(const FeatureMap& x, std::vector<double>& out);

    std::vector<ClassEntry> classes_;
    std::unordered_map<Label, std::size_t> class_lookup_;
    // Feature names get dense ids so each name is hashed once per sample, not once per class.
    FeatureIndex feature_ids_;
    std::int64_t n_samples_ = 0;
    // Scratch space reused between calls.
    IndexedSample sample_;
    std::vector<double> scores_;
};

}  // namespace quelb
