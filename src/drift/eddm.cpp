#include "drift/eddm.hpp"

#include <cmath>
#include <stdexcept>

namespace quelb {

EDDM::EDDM(const Options& options) : Options(options) {
    check_options(options);
    if (beta > alpha) throw std::invalid_argument("'alpha' must be greater or equal to 'beta'.");
}

void EDDM::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
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
    load_options(in, static_cast<Options&>(*this));
    distance_stats_.load_state(in);
    n_samples_ = in.counter();
    last_error_at_ = in.counter();
    n_errors_ = in.counter();
    if (last_error_at_ > n_samples_ || n_errors_ > n_samples_) in.fail("error counts beyond the samples seen");
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
