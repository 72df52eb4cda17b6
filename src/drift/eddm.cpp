#include "drift/eddm.hpp"

#include <cmath>
#include <stdexcept>

namespace quelb {

EDDM::EDDM(std::int32_t warm_start_, double alpha_, double beta_)
    : warm_start(warm_start_), alpha(alpha_), beta(beta_) {
    if (beta > alpha) throw std::invalid_argument("'alpha' must be greater or equal to 'beta'.");
}

void EDDM::reset() {
    distance_stats_ = GaussianStats{};
    n_samples_ = last_error_at_ = n_errors_ = 0;
    max_level_ = -1.0;
    drift_detected_ = warning_detected_ = false;
}

void EDDM::update(std::int32_t outcome) {
    if (drift_detected_) reset();
    ++n_samples_;
    if (outcome != 1) return;

    ++n_errors_;
    distance_stats_.update(static_cast<double>(n_samples_ - last_error_at_));
    if (n_samples_ > warm_start) {
        const double level = distance_stats_.mean + 2.0 * std::sqrt(distance_stats_.variance());
        if (level > max_level_) {
            max_level_ = level;
        } else if (n_errors_ > warm_start) {
            const double ratio = level / max_level_;
            if (ratio < beta) {
                drift_detected_ = true;
            } else {
                warning_detected_ = ratio < alpha;
            }
        }
    }
    last_error_at_ = n_samples_;
}

}  // namespace quelb
