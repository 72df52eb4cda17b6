#pragma once
// Kolmogorov-Smirnov windowing, after Raab, Heusinger and Schleif, "Reactive Soft Prototype
// Computing for Concept Drift Streams" (Neurocomputing 416, 2020). A sliding window holds the last
// window_size values; once it is full, every update compares its last stat_size values R with
// stat_size values W drawn uniformly without replacement from the older ones, and signals a drift
// when the Kolmogorov-Smirnov distance sup |F_R - F_W| exceeds sqrt(-ln(alpha) / stat_size). The
// window then keeps only R.
//
// The draws come from the object's generator (seeded with `seed`; a reset reseeds it): Floyd's
// algorithm picks stat_size distinct ranks among the older values in ascending order, rank j+1 for
// j = m - stat_size .. m - 1 (m older values) being uniform_below(j + 1), taken instead as j itself
// when already picked.
#include <cstdint>
#include <deque>
#include <vector>

#include "core/options.hpp"
#include "core/rng.hpp"
#include "core/state.hpp"

namespace quelb {

inline const char* kswin_alpha_check(const double& alpha) {
    return alpha > 0.0 && alpha < 1.0 ? nullptr : "'alpha' must be between 0 and 1 (exclusive).";
}

// Listed in the constructor's order; states save alpha, seed, window_size, stat_size (see
// KSWIN::save_state).
struct KSWINOptions {
    double alpha = 0.005;
    std::int32_t window_size = 100;  // fixed at construction, as is stat_size
    std::int32_t stat_size = 30;
    std::int32_t seed = 0;  // used at the next reset

    static constexpr auto fields() {
        using O = KSWINOptions;
        return std::make_tuple(option("alpha", &O::alpha, kArgument | kProperty, kswin_alpha_check,
                                      "significance of the Kolmogorov-Smirnov test"),
                               option("window_size", &O::window_size, kArgument,
                                      "values kept (at least twice stat_size)"),
                               option("stat_size", &O::stat_size, kArgument,
                                      "latest values compared with as many older ones"),
                               option("seed", &O::seed, kArgument | kProperty, "seed of the draws, read at reset"));
    }
};

class KSWIN : public KSWINOptions {
public:
    using Options = KSWINOptions;
    // Throws std::invalid_argument unless 0 < alpha < 1, stat_size >= 1 and
    // window_size >= 2 * stat_size.
    explicit KSWIN(const Options& options = {});

    void update(double value);
    // Empties the window and reseeds the generator from `seed`.
    void reset();

    bool drift_detected() const { return drift_detected_; }
    // The number of values in the window.
    std::int64_t width() const { return static_cast<std::int64_t>(window_.size()); }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    // Throws unless the sizes work together; the message names the option at fault.
    static void check_sizes(std::int64_t window_size, std::int64_t stat_size);
    bool distance_exceeds_threshold();
    void sort_window();

    Rng rng_;
    std::deque<std::uint64_t> window_;  // the values in arrival order, as order keys
    // The same values sorted: the last stat_size arrivals, and the older ones.
    std::vector<std::uint64_t> recent_;
    std::vector<std::uint64_t> older_;
    bool drift_detected_ = false;
    // Scratch of the test: picked ranks, their marks, the sample.
    std::vector<std::uint32_t> picked_;
    std::vector<std::uint8_t> marks_;
    std::vector<std::uint64_t> sample_;
    double threshold_alpha_ = 0.0;
    double threshold_ = 0.0;
};

}  // namespace quelb
