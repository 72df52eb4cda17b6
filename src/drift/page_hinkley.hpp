#pragma once
// Page-Hinkley test, after Page, "Continuous Inspection Schemes" (Biometrika 41, 1954), in its
// streaming form: with the running mean m_t of the values so far, the cumulative deviation
// U_t = alpha * U_{t-1} + (x_t - m_t - delta) grows while the values rise above their mean by more
// than delta; a drift is signalled when U_t exceeds its lowest value so far by more than
// `threshold`. The downward test does the same with (m_t - x_t - delta). alpha < 1 fades old
// deviations. Nothing is signalled before warm_start values; after a drift the test starts afresh
// at the next update.
#include <cstdint>
#include <string_view>

#include "core/options.hpp"
#include "core/state.hpp"

namespace quelb {

enum class PageHinkleyMode : std::uint8_t { kBoth, kUp, kDown };
// Throws std::invalid_argument for text other than "both", "up" and "down".
PageHinkleyMode parse_page_hinkley_mode(std::string_view text);

// Read at every update.
struct PageHinkleyOptions {
    std::int32_t warm_start = 30;
    double delta = 0.005;
    double threshold = 50.0;
    double alpha = 1.0 - 0.0001;
    // Saved as the mode's number (the format of earlier states), not by save_options.
    ModeOption<PageHinkleyMode, parse_page_hinkley_mode> mode = "both";

    static constexpr auto fields() {
        using O = PageHinkleyOptions;
        return std::make_tuple(option("warm_start", &O::warm_start, kArgument | kProperty,
                                      "values before a drift may be signalled"),
                               option("delta", &O::delta, kArgument | kProperty,
                                      "deviation from the mean tolerated per value"),
                               option("threshold", &O::threshold, kArgument | kProperty,
                                      "alarm level of the cumulative deviation"),
                               option("alpha", &O::alpha, kArgument | kProperty,
                                      "fading factor of the cumulative deviation"),
                               option("mode", &O::mode, kArgument | kProperty | kUnsaved,
                                      "'up' (rises), 'down' (falls) or 'both'"));
    }
};

class PageHinkley : public PageHinkleyOptions {
public:
    using Options = PageHinkleyOptions;
    using Mode = PageHinkleyMode;

    // Throws std::invalid_argument when an option is refused.
    explicit PageHinkley(const Options& options = {}) : Options(options) { check_options(options); }

    void update(double value);
    void reset();

    bool drift_detected() const { return drift_detected_; }
    // The running mean of the values since the start or the last drift.
    double estimation() const { return mean_; }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    struct Sum {
        double value = 0.0;
        double minimum = 0.0;
        // True when the sum has risen more than `threshold` above its minimum.
        bool add(double deviation, double alpha, double threshold, bool first);
    };

    std::int64_t n_samples_ = 0;
    double mean_ = 0.0;
    Sum up_;
    Sum down_;
    bool drift_detected_ = false;
};

}  // namespace quelb
