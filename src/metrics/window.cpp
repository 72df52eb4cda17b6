#include "metrics/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace quelb {

WindowMetric::WindowMetric(const Options& options) : Options(options) {
    window_size = std::max<std::int32_t>(window_size, 0);
}

void WindowMetric::update(Label predicted, Label actual) {
    if (window_size == 0) return;
    const Pair pair{predicted, actual};
    if (filled_ == window_size) {
        count(ring_[pos_], -1);
        ring_[pos_] = pair;
    } else {
        ring_.push_back(pair);  // while filling, pos_ is the next free slot
        ++filled_;
    }
    count(pair, +1);
    if (++pos_ == window_size) pos_ = 0;
}

void WindowMetric::count(const Pair& pair, std::int64_t step) {
    if (pair.predicted == pair.actual) {
        n_correct_ += step;
        count_label(pair.actual, &ClassCounts::tp, step);
    } else {
        count_label(pair.predicted, &ClassCounts::fp, step);
        count_label(pair.actual, &ClassCounts::fn, step);
    }
}

void WindowMetric::count_label(Label label, std::int64_t ClassCounts::*field, std::int64_t step) {
    if (label < 0) return;  // negative labels count toward accuracy only
    if (label < kDenseLabels) {
        if (static_cast<std::size_t>(label) >= dense_counts_.size()) dense_counts_.resize(label + 1);
        dense_counts_[label].*field += step;
        return;
    }
    const auto it = sparse_counts_.try_emplace(label).first;
    it->second.*field += step;
    const ClassCounts& c = it->second;
    if (c.tp == 0 && c.fp == 0 && c.fn == 0) sparse_counts_.erase(it);
}

double WindowMetric::accuracy() const {
    return filled_ == 0 ? 0.0 : static_cast<double>(n_correct_) / static_cast<double>(filled_);
}

double WindowMetric::macro_f1() const {
    double sum = 0.0;
    std::int64_t present = 0;
    // Dense labels then the map: both in ascending label order.
    const auto add = [&](const ClassCounts& c) {
        if (c.tp + c.fp + c.fn == 0) return;
        ++present;
        const std::int64_t denominator = 2 * c.tp + c.fp + c.fn;
        if (denominator > 0) sum += static_cast<double>(2 * c.tp) / static_cast<double>(denominator);
    };
    for (const ClassCounts& c : dense_counts_) add(c);
    for (const auto& entry : sparse_counts_) add(entry.second);
    return present == 0 ? 0.0 : sum / static_cast<double>(present);
}

void WindowMetric::reset() {
    ring_.clear();
    dense_counts_.clear();
    sparse_counts_.clear();
    pos_ = filled_ = 0;
    n_correct_ = 0;
}

namespace {

// A ring of `filled` entries in a window of `window_size` whose next slot is `pos`: it fills from
// slot 0, and the slot only wraps once the window is full.
bool consistent_ring(std::int32_t window_size, std::int32_t filled, std::int32_t pos) {
    if (window_size < 0 || filled < 0 || filled > window_size || pos < 0) return false;
    if (window_size == 0) return pos == 0;
    return filled == window_size ? pos < window_size : pos == filled;
}

// The window part of a state: the option, the next slot, the entries.
template <class Metric, class Entry>
void save_window(StateWriter& out, const Metric& metric, std::int32_t pos, const std::vector<Entry>& ring) {
    save_options(out, static_cast<const WindowOptions&>(metric));
    out.i32(pos);
    out.seq(ring, [](StateWriter& w, const Entry& entry) { entry.save_state(w); });
}

// Reads the slot and entries save_window wrote after the option; returns the ring's length (the
// filled count), refusing a ring that does not fit the window.
template <class Entry>
std::int32_t load_window(StateReader& in, std::int32_t window_size, std::int32_t& pos, std::vector<Entry>& ring) {
    pos = in.i32();
    in.seq(ring, [](StateReader& r, Entry& entry) { entry.load_state(r); });
    if (ring.size() > static_cast<std::size_t>(INT32_MAX)) in.fail("window too long");
    const auto filled = static_cast<std::int32_t>(ring.size());
    if (!consistent_ring(window_size, filled, pos)) in.fail("window position");
    return filled;
}

}  // namespace

void WindowMetric::save_state(StateWriter& out) const { save_window(out, *this, pos_, ring_); }

void WindowMetric::load_state(StateReader& in) {
    auto loaded = with_saved_options<WindowMetric>(in);
    loaded.filled_ = load_window(in, loaded.window_size, loaded.pos_, loaded.ring_);
    for (const Pair& pair : loaded.ring_) loaded.count(pair, +1);
    *this = std::move(loaded);
}

void WindowRegressionMetric::save_state(StateWriter& out) const {
    save_window(out, *this, pos_, ring_);
    out.f64(sum_abs_);
    out.f64(sum_sq_);
    out.i64(updates_since_resum_);
}

void WindowRegressionMetric::load_state(StateReader& in) {
    auto loaded = with_saved_options<WindowRegressionMetric>(in);
    loaded.filled_ = load_window(in, loaded.window_size, loaded.pos_, loaded.ring_);
    loaded.sum_abs_ = in.f64();
    loaded.sum_sq_ = in.f64();
    loaded.updates_since_resum_ = in.counter();
    *this = std::move(loaded);
}

WindowRegressionMetric::WindowRegressionMetric(const Options& options) : Options(options) {
    window_size = std::max<std::int32_t>(window_size, 0);
}

void WindowRegressionMetric::update(double y_true, double y_pred) {
    if (window_size == 0) return;
    const double e = y_true - y_pred;
    const Errors errors{std::fabs(e), e * e};
    if (filled_ == window_size) {
        sum_abs_ -= ring_[pos_].abs;
        sum_sq_ -= ring_[pos_].sq;
        ring_[pos_] = errors;
    } else {
        ring_.push_back(errors);  // while filling, pos_ is the next free slot
        ++filled_;
    }
    sum_abs_ += errors.abs;
    sum_sq_ += errors.sq;
    ++updates_since_resum_;
    if (++pos_ == window_size) pos_ = 0;
    // Recomputing once per window bounds the rounding drift of the running sums. A sum below zero
    // means an evicted large error cancelled away the smaller ones added after it: recompute at
    // once rather than report a negative MAE or a NaN RMSE.
    if (updates_since_resum_ >= window_size || sum_abs_ < 0.0 || sum_sq_ < 0.0) resum();
}

void WindowRegressionMetric::resum() {
    sum_abs_ = sum_sq_ = 0.0;
    for (std::int32_t i = 0; i < filled_; ++i) {
        sum_abs_ += ring_[i].abs;
        sum_sq_ += ring_[i].sq;
    }
    updates_since_resum_ = 0;
}

double WindowRegressionMetric::rmse() const { return filled_ == 0 ? 0.0 : std::sqrt(sum_sq_ / filled_); }

void WindowRegressionMetric::reset() {
    ring_.clear();
    sum_abs_ = sum_sq_ = 0.0;
    pos_ = filled_ = 0;
    updates_since_resum_ = 0;
}

}  // namespace quelb
