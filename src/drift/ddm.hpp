#pragma once
// Drift detection method over a stream of classification outcomes (1 = error), after Gama,
// Medas, Castillo and Rodrigues, "Learning with Drift Detection" (SBIA 2004). The error rate p
// after n outcomes has standard deviation s = sqrt(p (1 - p) / n); once n reaches warm_start the
// lowest p + s seen is recorded (p_min, s_min), and p + s above p_min + warning_threshold * s_min
// is a warning, above p_min + drift_threshold * s_min a drift. After a drift it starts afresh at
// the next update.
#include <cstdint>

#include "core/state.hpp"

namespace quelb {

class DDM {
public:
    // Throws std::invalid_argument when warning_threshold > drift_threshold.
    explicit DDM(std::int32_t warm_start = 30, double warning_threshold = 2.0, double drift_threshold = 3.0);

    // outcome 1 is an error; any other value a correct prediction.
    void update(std::int32_t outcome);
    void reset();

    bool drift_detected() const { return drift_detected_; }
    bool warning_detected() const { return warning_detected_; }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    // Options, read at every update; not validated after construction.
    std::int32_t warm_start;
    double warning_threshold;
    double drift_threshold;

private:
    std::int64_t n_samples_ = 0;
    std::int64_t n_errors_ = 0;
    double p_min_ = 0.0;
    double s_min_ = 0.0;
    bool has_min_ = false;
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace quelb
