#include "drift/ddm.hpp"

#include <cmath>
#include <stdexcept>

namespace quelb {

DDM::DDM(const Options& options) : Options(options) {
    check_options(options);
    if (warning_threshold > drift_threshold)
        throw std::invalid_argument("'drift_threshold' must be greater or equal to 'warning_threshold'.");
}

void DDM::reset() {
    n_samples_ = n_errors_ = 0;
    p_min_ = s_min_ = 0.0;
    has_min_ = drift_detected_ = warning_detected_ = false;
}

void DDM::update(std::int32_t outcome) {
    if (drift_detected_) reset();
    ++n_samples_;
    if (outcome == 1) ++n_errors_;
    warning_detected_ = false;
    if (n_samples_ < warm_start) return;

    const double n = static_cast<double>(n_samples_);
    const double p = static_cast<double>(n_errors_) / n;
    const double s = std::sqrt(p * (1.0 - p) / n);
    if (!has_min_ || p + s <= p_min_ + s_min_) {
        p_min_ = p;
        s_min_ = s;
        has_min_ = true;
    }
    // Strictly above the levels: at the recorded minimum itself (with s_min 0 after an error-free
    // warm start) nothing fires.
    if (p + s > p_min_ + drift_threshold * s_min_) {
        drift_detected_ = true;
    } else {
        warning_detected_ = p + s > p_min_ + warning_threshold * s_min_;
    }
}

void DDM::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.i64(n_samples_);
    out.i64(n_errors_);
    out.f64(p_min_);
    out.f64(s_min_);
    out.boolean(has_min_);
    out.boolean(drift_detected_);
    out.boolean(warning_detected_);
}

void DDM::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    n_samples_ = in.counter();
    n_errors_ = in.counter();
    if (n_errors_ > n_samples_) in.fail("more errors than samples");
    p_min_ = in.f64();
    s_min_ = in.f64();
    has_min_ = in.boolean();
    drift_detected_ = in.boolean();
    warning_detected_ = in.boolean();
}

}  // namespace quelb
