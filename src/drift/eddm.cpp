#include "drift/eddm.hpp"

#include <cmath>
#include <stdexcept>

namespace quelb {

EDDM::EDDM(std::int32_t warm_start_, double alpha_, double beta_)
    : warm_start(warm_start_), alpha(alpha_), beta(beta_) {
    if (beta > alpha) throw std::invalid_argument("'alpha' must be greater or equal to 'beta'.");
}

void EDDM::save_state(StateWriter& out) const {
    out.i32(warm_start);
    out.f64(alpha);
    out.f64(beta);
    distance_stats_.save_state(out);
    out.i64(n_samples_);
    out.i64(last_error_at_);
    out.i64(n_errors_);
    out.f64(max_level_);
    out.boolean(drift_detected_);
    out.boolean(warning_detected_);
}

// The options are free to hold any values after construction, so they are taken as saved.
void EDDM::load_state(StateReader& in) {
    warm_start = in.i32();
    alpha = in.f64();
    beta = in.f64();
    distance_stats_.load_state(in);
    n_samples_ = in.i64();
    last_error_at_ = in.i64();
    n_errors_ = in.i64();
    max_level_ = in.f64();
    drift_detected_ = in.boolean();
    warning_detected_ = in.boolean();
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
