#pragma once
// Drift detectors from Hoeffding's and McDiarmid's bounds, after Frias-Blanco, del Campo-Avila,
// Ramos-Jimenez, Morales-Bueno, Ortiz-Diaz and Caballero-Mota, "Online and Non-Parametric Drift
// Detection Methods Based on Hoeffding's Bounds" (IEEE TKDE 27(3), 2015). Values are taken to lie
// in [0, 1] (error indicators, or anything scaled there): the bounds assume that range.
//
// Both follow a cut point: the moment the estimate plus its bound was lowest. The stream after
// the cut is compared with the stream before it; an increase beyond the bound at confidence
// drift_confidence is a drift, beyond the bound at warning_confidence a warning. The two-sided
// test also watches for decreases, through a second cut point where the estimate minus its bound
// was highest (the same test on the negated values). After a drift a detector starts afresh at
// the next update.
#include <cmath>

#include "core/options.hpp"
#include "core/state.hpp"
#include "drift/detector_flags.hpp"

namespace quelb {

// ln(1 / confidence), recomputed only when the option changes.
class LogInverse {
public:
    double operator()(double confidence) {
        if (!(confidence == confidence_)) {
            confidence_ = confidence;
            value_ = std::log(1.0 / confidence);
        }
        return value_;
    }

private:
    double confidence_ = 0.0;
    double value_ = INFINITY;
};

inline const char* drift_confidence_check(const double& value) {
    return value > 0.0 && value < 1.0 ? nullptr : "'drift_confidence' must be between 0 and 1 (exclusive).";
}
inline const char* warning_confidence_check(const double& value) {
    return value > 0.0 && value < 1.0 ? nullptr : "'warning_confidence' must be between 0 and 1 (exclusive).";
}
inline const char* lambda_value_check(const double& value) {
    return value > 0.0 && value <= 1.0 ? nullptr : "'lambda_value' must be in (0, 1].";
}

struct HoeffdingDetectorOptions {
    double drift_confidence = 0.001;
    double warning_confidence = 0.005;
    bool two_sided_test = false;

    static constexpr auto fields() {
        using O = HoeffdingDetectorOptions;
        return std::make_tuple(
            option("drift_confidence", &O::drift_confidence, kArgument | kProperty, drift_confidence_check,
                   "confidence of the drift test, in (0, 1)"),
            option("warning_confidence", &O::warning_confidence, kArgument | kProperty, warning_confidence_check,
                   "confidence of the warning test, in (0, 1)"),
            option("two_sided_test", &O::two_sided_test, kArgument | kProperty, "also watch decreases"));
    }
};

// The W-test's: lambda_value comes before two_sided_test as an argument, but after the flags in
// its state (see HDDM_W::save_state).
struct HDDM_WOptions : HoeffdingDetectorOptions {
    double lambda_value = 0.05;

    static constexpr auto fields() {
        using O = HDDM_WOptions;
        return std::make_tuple(
            option("drift_confidence", &O::drift_confidence, kArgument | kProperty, drift_confidence_check,
                   "confidence of the drift test, in (0, 1)"),
            option("warning_confidence", &O::warning_confidence, kArgument | kProperty, warning_confidence_check,
                   "confidence of the warning test, in (0, 1)"),
            option("lambda_value", &O::lambda_value, kArgument | kProperty, lambda_value_check,
                   "weight of each new value in the averages, in (0, 1]"),
            option("two_sided_test", &O::two_sided_test, kArgument | kProperty, "also watch decreases"));
    }
};

// What both detectors share: options, flags, and the test against the bounds.
template <class O>
class HoeffdingDetector : public DetectorFlags, public O {
public:
    using Options = O;

protected:
    // Throws std::invalid_argument when an option is refused.
    explicit HoeffdingDetector(const Options& options) : Options(options) { check_options(options); }
    // The options both detectors have, then the flags.
    void save_head(StateWriter& out) const;
    void load_head(StateReader& in);
    // Flags a drift or a warning when `increase` reaches the bound for `spread` (the sum of the
    // squared weights of the difference).
    void test(double increase, double spread);
    int directions() const { return this->two_sided_test ? 2 : 1; }

    LogInverse log_drift_;
    LogInverse log_warning_;
};

// A-test: the running mean of all values against the mean of those up to the cut, with
// Hoeffding's bound for the difference of the two means.
class HDDM_A : public HoeffdingDetector<HoeffdingDetectorOptions> {
public:
    explicit HDDM_A(const Options& options = {}) : HoeffdingDetector(options) {}

    void update(double value);
    void reset();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    struct Cut {
        double sum = 0.0;  // of the values up to the cut, negated for the downward direction
        double count = 0.0;
    };
    double total_ = 0.0;
    double count_ = 0.0;
    Cut cuts_[2];
};

// W-test: exponentially weighted moving averages (weight lambda_value on the newest value), the
// average up to the cut against the average of the values since, with McDiarmid's bound for
// weighted sums.
class HDDM_W : public HoeffdingDetector<HDDM_WOptions> {
public:
    explicit HDDM_W(const Options& options = {}) : HoeffdingDetector(options) {}

    void update(double value);
    void reset();

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    struct Average {
        double value = 0.0;
        double squared_weights = 0.0;  // 0 while empty; the first value has weight 1
        void add(double x, double lambda);
        void save_state(StateWriter& out) const;
        void load_state(StateReader& in);
    };
    struct Side {
        Average cut;    // the total average at the cut, negated for the downward direction
        Average after;  // the values since the cut
    };
    Average total_;
    Side sides_[2];
};

}  // namespace quelb
