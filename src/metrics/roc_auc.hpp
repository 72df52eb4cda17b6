#pragma once
// Area under the ROC curve of a stream of (label, score) pairs, exactly: the share of
// (positive, negative) pairs in which the positive scored higher, a tie counting one half (the
// Mann-Whitney statistic over P * N). Label 1 is positive, any other label negative; a pair with
// a NaN score is ignored. 0.5 until both a positive and a negative have been seen.
#include <cstdint>
#include <vector>

#include "core/state.hpp"
#include "core/types.hpp"
#include "metrics/window.hpp"

namespace quelb {

// The area from the positives' and negatives' score keys (core/order_key.hpp), both sorted.
double roc_auc_of_sorted(const std::vector<std::uint64_t>& positives, const std::vector<std::uint64_t>& negatives);

// Over every pair seen. Updates only append; reading sorts what arrived since the last reading
// into the sorted scores (so reading costs the number of pairs).
class ROCAUC {
public:
    void update(Label y_true, double score);
    double get() const;
    void reset();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    void fold() const;

    // Sorted scores, then those that arrived since.
    mutable std::vector<std::uint64_t> positives_, negatives_;
    mutable std::vector<std::uint64_t> new_positives_, new_negatives_;
    mutable double area_ = 0.5;
};

// Over the last window_size pairs (NaN scores ignored, not counted in the window).
class WindowROCAUC : public WindowOptions {
public:
    using Options = WindowOptions;
    explicit WindowROCAUC(const Options& options = {});

    void update(Label y_true, double score);
    double get() const;
    void reset();
    std::int32_t size() const { return static_cast<std::int32_t>(ring_.size()); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    // The ring of pairs: score keys and labels, growing to window_size.
    std::vector<std::uint64_t> ring_;
    std::vector<std::uint8_t> ring_positive_;
    std::int32_t pos_ = 0;  // next slot to overwrite once full
    mutable bool stale_ = false;
    mutable double area_ = 0.5;
    mutable std::vector<std::uint64_t> positives_, negatives_;  // scratch of a reading
};

}  // namespace quelb
