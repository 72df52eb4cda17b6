#pragma once
// What a regression tree leaf knows of its target conditional on one feature's value, in a fixed
// number of bins: the quantization observer of Mastelini and de Carvalho (2021, "Using dynamical
// quantization to perform split attempts in online tree regressors", Pattern Recognition Letters
// 145), with the number of bins fixed instead of their radius, so that a leaf's memory per feature
// is bounded whatever the stream.
//
// Each bin keeps the count, sum and sum of squares of its targets. Until kBins distinct values
// have arrived a bin holds one value exactly (the values are kept beside the bins); the next
// distinct value lays kBins bins of equal width over the range seen, and a later value outside
// that range doubles the width (pooling neighbouring bins) until the range covers it. Sums pool
// exactly, so every bin always summarises exactly the samples that fell in it. Split candidates
// lie halfway between neighbouring non-empty bins: between two exact values, or in the middle of
// the empty bins between two non-empty ones (on their shared edge when they touch).
//
// Memory: 24 bytes per bin plus 8 per exact value, so at most kBins * 32 bytes (512 bytes) of
// bins and values per feature, and kBins * 24 (384 bytes) once binned, plus 72 bytes of fields.
#include <cstdint>
#include <limits>
#include <vector>

#include "core/moments.hpp"

namespace quelb {

class StateReader;
class StateWriter;

class QuantizationObserver {
public:
    static constexpr std::uint32_t kBins = 16;

    // A finite feature value and its target. Targets should be shifted near their mean (all by the
    // same amount): their variance is computed from sums of squares.
    void update(double value, double y) {
        // Inline for the common case, a value within the grid.
        if (value >= origin_ && value <= limit_) {
            const double position = (value - origin_) * inverse_width_;
            bins_[position < kBins ? static_cast<std::uint32_t>(position) : kBins - 1].add(y);
            return;
        }
        update_outside(value, y);
    }

    // The best split of a set of samples whose targets are `all`, of which this observer saw those
    // that have the feature; the others go left when 0 <= threshold, where the tree's tests send a
    // missing feature. The merit is the share of the targets' variance the split removes,
    // 1 - (m2(left) + m2(right)) / m2(all) with m2 the sum of squared deviations from the mean, in
    // [0, 1]; left_weight is the weight sent left. A merit of -1 when the targets do not vary or no
    // threshold has samples on both sides; among equal merits the lowest threshold wins.
    struct Split {
        double merit = -1.0;
        double threshold = 0.0;
        double left_weight = 0.0;
    };
    Split best_split(const Moments& all) const;

    // Target statistics per bin, in the order of their values; the exact values while not binned.
    const std::vector<Moments>& bins() const { return bins_; }
    const std::vector<double>& values() const { return values_; }
    bool binned() const { return width_ > 0.0; }

    void save_state(StateWriter& out) const;
    // Refuses (through `in`) what would break the observer: too many bins, exact values not
    // finite or out of order, a grid without a positive finite width.
    void load_state(StateReader& in);

    std::size_t heap_bytes() const { return memory::owned_all(bins_, values_); }

private:
    // update() for exact bins, or a value the grid does not cover.
    void update_outside(double value, double y);
    // Lays the grid over the exact bins and `value`, which does not fit among them.
    void start_grid(double value);
    // Doubles the width until the grid covers value, or until it cannot grow further.
    void widen_to(double value);
    // Sets the grid; width 0 (exact bins) covers nothing.
    void set_grid(double origin, double width);
    std::uint32_t bin_of(double value) const;

    std::vector<Moments> bins_;   // exact: one per value, in order; binned: kBins, by position
    std::vector<double> values_;  // exact: the values, increasing; binned: empty
    double origin_ = 0.0;         // binned: bin i covers [origin_ + i * width_, origin_ + (i + 1) * width_)
    double width_ = 0.0;          // 0 while the bins are exact
    double inverse_width_ = 0.0;
    // The grid's end, origin_ + kBins * width_; -infinity while the bins are exact.
    double limit_ = -std::numeric_limits<double>::infinity();
};

}  // namespace quelb
