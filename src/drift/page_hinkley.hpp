#pragma once
// Page-Hinkley test, after Page, "Continuous Inspection Schemes" (Biometrika 41, 1954), in its
// streaming form: with the running mean m_t of the values so far, the cumulative deviation
// U_t = alpha * U_{t-1} + (x_t - m_t - delta) grows while the values rise above their mean by more
// than delta; a drift is signalled when U_t exceeds its lowest value so far by more than
// `threshold`. The downward test does the same with (m_t - x_t - delta). alpha < 1 fades old
// deviations. Nothing is signalled before warm_start values; after a drift the test starts afresh
// at the next update.
#include <cstdint>
#include <string>

#include "core/state.hpp"

namespace quelb {

class PageHinkley {
public:
    enum class Mode : std::uint8_t { kBoth, kUp, kDown };

    // Throws std::invalid_argument for a mode other than "both", "up" and "down".
    explicit PageHinkley(std::int32_t warm_start = 30, double delta = 0.005, double threshold = 50.0,
                         double alpha = 1.0 - 0.0001, const std::string& mode = "both");

    void update(double value);
    void reset();

    bool drift_detected() const { return drift_detected_; }
    // The running mean of the values since the start or the last drift.
    double estimation() const { return mean_; }

    std::string mode_name() const;
    void set_mode(const std::string& name);

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    // Options, read at every update.
    std::int32_t warm_start;
    double delta;
    double threshold;
    double alpha;
    Mode mode = Mode::kBoth;

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
