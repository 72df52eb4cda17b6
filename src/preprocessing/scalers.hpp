#pragma once
// Online scalers: each feature is rescaled from statistics gathered one learned sample at a time.
// A feature needs no declaration; its statistics start the first time a learned sample holds it.
#include "core/contracts.hpp"
#include "core/options.hpp"
#include "preprocessing/feature_records.hpp"

namespace quelb {

// Running mean and population variance (divided by n) of one feature. Not GaussianStats: the
// variance is updated in its own divided-by-n form, and only while with_std is on, with the n it
// shares with the mean.
struct ScalerStats {
    double n = 0.0;
    double mean = 0.0;
    double var = 0.0;

    void save_state(StateWriter& out) const {
        out.f64(n);
        out.f64(mean);
        out.f64(var);
    }
    void load_state(StateReader& in) {
        n = in.f64();
        mean = in.f64();
        var = in.f64();
    }
};

struct StandardScalerOptions {
    bool with_std = true;

    static constexpr auto fields() {
        return std::make_tuple(option("with_std", &StandardScalerOptions::with_std, kArgument | kProperty,
                                      "divide by the standard deviation (else centre only)"));
    }
};

// Centres each feature on its running mean and, with with_std, divides by its standard deviation.
class StandardScaler : public ITransformer, public StandardScalerOptions {
public:
    using Options = StandardScalerOptions;
    explicit StandardScaler(const Options& options = {}) : Options(options) { check_options(options); }

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const {
        save_options(out, static_cast<const Options&>(*this));
        stats_.save_state(out);
    }
    void load_state(StateReader& in) {
        load_options(in, static_cast<Options&>(*this));
        stats_.load_state(in);
    }

    std::size_t memory_usage() const override { return memory::block(sizeof(*this)) + memory::owned(stats_); }

private:
    FeatureRecords<ScalerStats> stats_;
};

struct MinMaxRange {
    bool has_min = false;
    double min = 0.0;
    bool has_max = false;
    double max = 0.0;

    void save_state(StateWriter& out) const {
        out.boolean(has_min);
        out.f64(min);
        out.boolean(has_max);
        out.f64(max);
    }
    void load_state(StateReader& in) {
        has_min = in.boolean();
        min = in.f64();
        has_max = in.boolean();
        max = in.f64();
    }
};

// Maps the observed range of each feature onto 0..1 (values outside the range are not clipped).
class MinMaxScaler : public ITransformer {
public:
    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const { ranges_.save_state(out); }
    void load_state(StateReader& in) { ranges_.load_state(in); }

    std::size_t memory_usage() const override { return memory::block(sizeof(*this)) + memory::owned(ranges_); }

private:
    FeatureRecords<MinMaxRange> ranges_;
};

// Divides each feature by the largest absolute value learned for it.
class MaxAbsScaler : public ITransformer {
public:
    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    void reset() override;

    void save_state(StateWriter& out) const { max_abs_.save_state(out); }
    void load_state(StateReader& in) { max_abs_.load_state(in); }

    std::size_t memory_usage() const override { return memory::block(sizeof(*this)) + memory::owned(max_abs_); }

private:
    FeatureRecords<double> max_abs_;  // 0.0 for a new feature
};

}  // namespace quelb
