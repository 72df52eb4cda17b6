#pragma once
// Adaptive-window change detector. The recent values are kept in an exponential histogram of
// buckets (row i holds buckets of 2^i consecutive values); every `clock` updates it looks for a
// split of the window whose older and newer means differ by more than a statistical bound and
// drops the oldest buckets until no such split remains.
#include <cstdint>
#include <vector>

#include "core/memory.hpp"
#include "core/options.hpp"
#include "core/state.hpp"

namespace quelb {

inline const char* clock_check(const int& clock) { return clock < 1 ? "'clock' must be at least 1." : nullptr; }
inline const char* max_buckets_check(const int& max_buckets) {
    return max_buckets < 2 ? "'max_buckets' must be at least 2." : nullptr;
}

// delta, min_window_length and grace_period may be changed at any time; clock and max_buckets
// are fixed by the constructor (the histogram is shaped by max_buckets), which refuses values
// the histogram and the tick test cannot work with.
struct ADWINOptions {
    double delta = 0.002;
    int clock = 32;
    int max_buckets = 5;
    int min_window_length = 5;
    int grace_period = 10;

    static constexpr auto fields() {
        using O = ADWINOptions;
        return std::make_tuple(option("delta", &O::delta, kArgument | kProperty,
                                      "confidence of the cut test (smaller: fewer, later drifts)"),
                               option("clock", &O::clock, kArgument, clock_check,
                                      "updates between cut checks (at least 1)"),
                               option("max_buckets", &O::max_buckets, kArgument, max_buckets_check,
                                      "buckets of each size before two merge (at least 2)"),
                               option("min_window_length", &O::min_window_length, kArgument,
                                      "least length of each side of a cut"),
                               option("grace_period", &O::grace_period, kArgument,
                                      "window length before the first check"));
    }
};

class ADWIN : public ADWINOptions {
public:
    using Options = ADWINOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit ADWIN(const Options& options = {});
    // The default options but delta: the detectors inside other models.
    explicit ADWIN(double delta) : ADWIN(Options{delta}) {}

    void update(double value);
    void reset();

    bool drift_detected() const { return drift_detected_; }
    double estimation() const { return width_ > 0.0 ? total_ / width_ : 0.0; }
    double width() const { return width_; }
    // Population variance of the values in the window.
    double variance() const { return width_ > 0.0 ? variance_sum_ / width_ : 0.0; }

    // Options, histogram and flags. Loading checks that the histogram has the shape updates
    // rely on (rows within max_buckets, width equal to the values the rows hold).
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t heap_bytes() const { return memory::owned(rows_); }

private:
    struct Bucket {
        double total;
        double variance_sum;  // squared deviations of the bucket's values from its own mean
        void save_state(StateWriter& out) const {
            out.f64(total);
            out.f64(variance_sum);
        }
    };
    // One histogram row; front() is the oldest bucket.
    using BucketRow = std::vector<Bucket>;

    BucketRow make_row() const;
    // Whether update_count_ is a multiple of clock: the window is checked for a cut.
    bool at_clock_tick() const;
    void compress();
    // One pass over the window from the oldest bucket; true when it found a cut and dropped a bucket.
    bool scan_and_cut();
    void drop_oldest_bucket();

    std::vector<BucketRow> rows_;  // never empty; the last row holds the oldest data
    double total_ = 0.0;
    double variance_sum_ = 0.0;
    double width_ = 0.0;
    std::int64_t update_count_ = 0;
    bool drift_detected_ = false;
};

}  // namespace quelb
