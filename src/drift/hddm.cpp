#include "drift/hddm.hpp"

#include <cmath>

namespace quelb {

namespace {

// Hoeffding's and McDiarmid's bound for values in [0, 1]: a weighted sum whose squared weights
// add up to `spread` exceeds its mean by `bound` with probability at most exp(-2 bound^2 / spread).
double bound(double spread, double log_inverse) { return std::sqrt(spread / 2.0 * log_inverse); }

}  // namespace

template <class O>
void HoeffdingDetector<O>::save_head(StateWriter& out) const {
    save_options(out, static_cast<const HoeffdingDetectorOptions&>(*this));
    out.boolean(drift_detected_);
    out.boolean(warning_detected_);
}

template <class O>
void HoeffdingDetector<O>::load_head(StateReader& in) {
    load_options(in, static_cast<HoeffdingDetectorOptions&>(*this));
    drift_detected_ = in.boolean();
    warning_detected_ = in.boolean();
}

template <class O>
void HoeffdingDetector<O>::test(double increase, double spread) {
    if (increase >= bound(spread, log_drift_(this->drift_confidence))) {
        drift_detected_ = true;
    } else if (increase >= bound(spread, log_warning_(this->warning_confidence))) {
        warning_detected_ = true;
    }
}

template class HoeffdingDetector<HoeffdingDetectorOptions>;
template class HoeffdingDetector<HDDM_WOptions>;

void HDDM_A::reset() {
    total_ = count_ = 0.0;
    cuts_[0] = cuts_[1] = Cut{};
    drift_detected_ = warning_detected_ = false;
}

void HDDM_A::update(double value) {
    if (drift_detected_) reset();
    warning_detected_ = false;
    total_ += value;
    count_ += 1.0;
    const double log_drift = log_drift_(drift_confidence);
    for (int side = 0; side < directions(); ++side) {
        const double sign = side == 0 ? 1.0 : -1.0;
        const double mean = sign * total_ / count_;
        Cut& cut = cuts_[side];
        const double cut_mean = cut.count > 0.0 ? cut.sum / cut.count : 0.0;
        if (cut.count == 0.0 ||
            mean + bound(1.0 / count_, log_drift) < cut_mean + bound(1.0 / cut.count, log_drift)) {
            cut = Cut{sign * total_, count_};
        } else if (count_ > cut.count) {
            // The difference of the mean of all values and the mean of the first `cut` ones:
            // its squared weights add up to 1/cut - 1/n.
            test(mean - cut_mean, (count_ - cut.count) / (cut.count * count_));
        }
    }
}

void HDDM_A::save_state(StateWriter& out) const {
    save_head(out);
    out.f64(total_);
    out.f64(count_);
    for (const Cut& cut : cuts_) {
        out.f64(cut.sum);
        out.f64(cut.count);
    }
}

void HDDM_A::load_state(StateReader& in) {
    load_head(in);
    total_ = in.f64();
    count_ = in.f64();
    for (Cut& cut : cuts_) {
        cut.sum = in.f64();
        cut.count = in.f64();
    }
}

void HDDM_W::Average::add(double x, double lambda) {
    if (squared_weights == 0.0) {
        value = x;
        squared_weights = 1.0;
    } else {
        value = lambda * x + (1.0 - lambda) * value;
        squared_weights = lambda * lambda + (1.0 - lambda) * (1.0 - lambda) * squared_weights;
    }
}

void HDDM_W::Average::save_state(StateWriter& out) const {
    out.f64(value);
    out.f64(squared_weights);
}

void HDDM_W::Average::load_state(StateReader& in) {
    value = in.f64();
    squared_weights = in.f64();
}

void HDDM_W::reset() {
    total_ = Average{};
    sides_[0] = sides_[1] = Side{};
    drift_detected_ = warning_detected_ = false;
}

void HDDM_W::update(double value) {
    if (drift_detected_) reset();
    warning_detected_ = false;
    total_.add(value, lambda_value);
    const double log_drift = log_drift_(drift_confidence);
    for (int side = 0; side < directions(); ++side) {
        const double sign = side == 0 ? 1.0 : -1.0;
        Side& s = sides_[side];
        const double average = sign * total_.value;
        if (s.cut.squared_weights == 0.0 || average + bound(total_.squared_weights, log_drift) <
                                                s.cut.value + bound(s.cut.squared_weights, log_drift)) {
            s.cut = Average{average, total_.squared_weights};
            s.after = Average{};
        } else {
            s.after.add(sign * value, lambda_value);
            // The two averages cover disjoint values: their squared weights add up.
            test(s.after.value - s.cut.value, s.cut.squared_weights + s.after.squared_weights);
        }
    }
}

void HDDM_W::save_state(StateWriter& out) const {
    save_head(out);
    out.f64(lambda_value);
    total_.save_state(out);
    for (const Side& s : sides_) {
        s.cut.save_state(out);
        s.after.save_state(out);
    }
}

void HDDM_W::load_state(StateReader& in) {
    load_head(in);
    lambda_value = in.f64();
    if (lambda_value_check(lambda_value)) in.fail("lambda_value out of range");
    total_.load_state(in);
    for (Side& s : sides_) {
        s.cut.load_state(in);
        s.after.load_state(in);
    }
}

}  // namespace quelb
