#pragma once
// Drift detection method over a stream of classification outcomes (1 = error), after Gama,
// Medas, Castillo and Rodrigues, "Learning with Drift Detection" (SBIA 2004). The error rate p
// after n outcomes has standard deviation s = sqrt(p (1 - p) / n); once n reaches warm_start the
// lowest p + s seen is recorded (p_min, s_min), and p + s above p_min + warning_threshold * s_min
// is a warning, above p_min + drift_threshold * s_min a drift. After a drift it starts afresh at
// the next update.
#include <cstdint>

#include "core/options.hpp"
#include "core/state.hpp"
#include "drift/detector_flags.hpp"

namespace quelb {

// Read at every update; not validated after construction.
struct DDMOptions {
    std::int32_t warm_start = 30;
    double warning_threshold = 2.0;
    double drift_threshold = 3.0;

    static constexpr auto fields() {
        using O = DDMOptions;
        return std::make_tuple(option("warm_start", &O::warm_start, kArgument | kProperty,
                                      "outcomes before the lowest error rate is recorded"),
                               option("warning_threshold", &O::warning_threshold, kArgument | kProperty,
                                      "warn when p + s exceeds p_min + this times s_min"),
                               option("drift_threshold", &O::drift_threshold, kArgument | kProperty,
                                      "drift when p + s exceeds p_min + this times s_min"));
    }
};

class DDM : public DetectorFlags, public DDMOptions {
public:
    using Options = DDMOptions;
    // Throws std::invalid_argument when warning_threshold > drift_threshold.
    explicit DDM(const Options& options = {});

    // outcome 1 is an error; any other value a correct prediction.
    void update(std::int32_t outcome);
    void reset();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    std::int64_t n_samples_ = 0;
    std::int64_t n_errors_ = 0;
    double p_min_ = 0.0;
    double s_min_ = 0.0;
    bool has_min_ = false;
};

}  // namespace quelb
