#pragma once
// Feature selectors: transformers that drop features from samples instead of rescaling them.
#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/contracts.hpp"
#include "core/gaussian.hpp"
#include "core/options.hpp"
#include "preprocessing/feature_records.hpp"

namespace quelb {

struct VarianceThresholdOptions {
    double threshold = 0.0;
    std::int32_t min_samples = 2;

    static constexpr auto fields() {
        using O = VarianceThresholdOptions;
        return std::make_tuple(option("threshold", &O::threshold, kArgument | kProperty,
                                      "drop a feature while its variance is at or below this"),
                               option("min_samples", &O::min_samples, kArgument | kProperty,
                                      "values a feature needs before it may be dropped"));
    }
};

// Drops a feature once it has min_samples values and its sample variance is at or below
// threshold; a feature never learned always stays.
class VarianceThreshold : public ITransformer, public VarianceThresholdOptions {
public:
    using Options = VarianceThresholdOptions;
    explicit VarianceThreshold(const Options& options = {}) : Options(options) { check_options(options); }

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    FeatureMap transform_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(stats_, dropped_); }

private:
    bool keeps(const GaussianStats* stats) const;

    FeatureRecords<GaussianStats> stats_;
    std::vector<bool> dropped_;  // scratch for transform_one_inplace
};

// Running Pearson correlation between one feature and the target, over the samples holding the
// feature. The covariance's own running means and count would repeat those of x and y exactly
// (same updates on the same values), so only the covariance itself is kept beside them.
struct CorrelationStats {
    GaussianStats x;
    GaussianStats y;
    double cov = 0.0;

    void update(double value, double target) {
        const double old_mean_x = x.mean;
        x.update(value);
        y.update(target);
        const double dof = x.count - 1.0;
        cov += ((target - y.mean) * (value - old_mean_x) - cov) / (dof > 1.0 ? dof : 1.0);
    }

    // 0 while either sample variance is 0 (fewer than two values, or constant values).
    double correlation() const {
        const double var_x = x.variance();
        const double var_y = y.variance();
        if (var_x == 0.0 || var_y == 0.0) return 0.0;
        return cov / std::sqrt(var_y * var_x);
    }
};

struct SelectKBestOptions {
    std::int32_t k = 10;
    bool use_abs = false;

    static constexpr auto fields() {
        return std::make_tuple(option("k", &SelectKBestOptions::k, kArgument | kProperty, "number of features kept"),
                               option("use_abs", &SelectKBestOptions::use_abs, kArgument | kProperty,
                                      "rank by the absolute correlation"));
    }
};

// Keeps the k learned features that correlate most with the target (ties go to the feature with
// the lower position: the order set by set_feature_order, then the order learning met them).
// Passes samples unchanged until something is learned. The selection is recomputed lazily, at
// the first transform after learning, set_feature_order or reset.
class SelectKBest : public ITransformer, public SelectKBestOptions {
public:
    using Options = SelectKBestOptions;
    explicit SelectKBest(const Options& options = {}) : Options(options) { check_options(options); }

    // Needs the target: the one-argument form learns nothing.
    void learn_one(const FeatureMap& /*x*/) override {}
    void learn_one(const FeatureMap& x, double y) override;
    FeatureMap transform_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    bool is_supervised() const override { return true; }
    void set_feature_order(const std::vector<std::string>& names) override;
    void reset() override;

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const { return memory::owned_all(names_, learned_, ranking_); }

private:
    struct LearnedFeature {
        std::int32_t position;
        CorrelationStats stats;
        double score = 0.0;
        bool selected = false;
    };
    // Every name ever positioned. Positions survive reset; `learned` indexes learned_ (-1: the
    // feature has no statistics), so a sample's name is looked up once.
    struct NameEntry {
        std::int32_t position;
        std::int32_t learned = -1;
    };

    NameEntry& entry_for(const std::string& name);
    bool keeps(const std::string& name) const;
    void refresh_selection();

    std::unordered_map<std::string, NameEntry, NameHash> names_;
    std::vector<LearnedFeature> learned_;  // in the order first learned
    std::int32_t next_index_ = 0;
    bool selection_dirty_ = true;
    std::vector<std::uint32_t> ranking_;  // scratch for refresh_selection
};

}  // namespace quelb
