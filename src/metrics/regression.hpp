#pragma once
// Cumulative regression scores over a stream of (true, predicted) value pairs.
#include <cmath>

#include "core/gaussian.hpp"
#include "core/state.hpp"

namespace quelb {

// Running mean of one quantity, updated incrementally so it never accumulates a large sum.
struct RunningMean {
    double n = 0.0;
    double mean = 0.0;

    void update(double value) {
        n += 1.0;
        mean += (value - mean) / n;
    }

    void save_state(StateWriter& out) const {
        out.f64(n);
        out.f64(mean);
    }
    void load_state(StateReader& in) {
        n = in.f64();
        mean = in.f64();
    }
};

class MAE {
public:
    void update(double y_true, double y_pred) { abs_error_.update(std::fabs(y_true - y_pred)); }
    double get() const { return abs_error_.mean; }
    void reset() { abs_error_ = RunningMean{}; }
    void save_state(StateWriter& out) const { abs_error_.save_state(out); }
    void load_state(StateReader& in) { abs_error_.load_state(in); }

private:
    RunningMean abs_error_;
};

class RMSE {
public:
    void update(double y_true, double y_pred) {
        const double e = y_true - y_pred;
        sq_error_.update(e * e);
    }
    double get() const { return std::sqrt(sq_error_.mean); }
    void reset() { sq_error_ = RunningMean{}; }
    void save_state(StateWriter& out) const { sq_error_.save_state(out); }
    void load_state(StateReader& in) { sq_error_.load_state(in); }

private:
    RunningMean sq_error_;
};

// Coefficient of determination: 1 - SSE / SST, SST measured on the true values only. Not clipped:
// predictions worse than the mean of the true values score below 0.
class R2 {
public:
    void update(double y_true, double y_pred) {
        truth_.update(y_true);
        const double e = y_true - y_pred;
        sse_ += e * e;
    }
    double get() const {
        if (!(truth_.count > 1.0)) return 0.0;
        const double sst = (truth_.count - 1.0) * truth_.variance();
        if (sst == 0.0) return 0.0;
        return 1.0 - sse_ / sst;
    }
    void reset() {
        truth_ = GaussianStats{};
        sse_ = 0.0;
    }
    void save_state(StateWriter& out) const {
        truth_.save_state(out);
        out.f64(sse_);
    }
    void load_state(StateReader& in) {
        truth_.load_state(in);
        sse_ = in.f64();
    }

private:
    GaussianStats truth_;  // Welford mean and squared deviations of the true values
    double sse_ = 0.0;
};

}  // namespace quelb
