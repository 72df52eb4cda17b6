#pragma once
// Early drift detector over a stream of classification outcomes (1 = error). It follows the
// distance in samples between consecutive errors: when errors come closer together, the level
// mean + 2 std of that distance falls below its running maximum, first past `alpha` (warning),
// then past `beta` (drift). After a drift it starts afresh at the next update.
#include <cstdint>

#include "core/gaussian.hpp"
#include "core/options.hpp"
#include "drift/detector_flags.hpp"

namespace quelb {

// Read at every update; not validated after construction (states keep them as saved).
struct EDDMOptions {
    std::int32_t warm_start = 30;
    double alpha = 0.95;
    double beta = 0.9;

    static constexpr auto fields() {
        using O = EDDMOptions;
        return std::make_tuple(option("warm_start", &O::warm_start, kArgument | kProperty,
                                      "errors before a warning or drift may be signalled"),
                               option("alpha", &O::alpha, kArgument | kProperty,
                                      "warning when the distance ratio falls below this"),
                               option("beta", &O::beta, kArgument | kProperty,
                                      "drift when the distance ratio falls below this (at most alpha)"));
    }
};

class EDDM : public DetectorFlags, public EDDMOptions {
public:
    using Options = EDDMOptions;
    // Throws std::invalid_argument when beta > alpha.
    explicit EDDM(const Options& options = {});

    // outcome 1 is an error; any other value a correct prediction.
    void update(std::int32_t outcome);
    void reset();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    GaussianStats distance_stats_;  // distances between consecutive errors
    std::int64_t n_samples_ = 0;
    std::int64_t last_error_at_ = 0;
    std::int64_t n_errors_ = 0;
    double max_level_ = -1.0;
};

}  // namespace quelb
