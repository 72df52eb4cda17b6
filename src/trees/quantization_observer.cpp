#include "trees/quantization_observer.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/state.hpp"

namespace quelb {

namespace {

constexpr std::uint32_t kBins = QuantizationObserver::kBins;

// A test `x <= t` that sends a left and b (> a) right.
double threshold_between(double a, double b) {
    const double half = a + (b - a) * 0.5;
    const double t = std::isfinite(half) ? half : a * 0.5 + b * 0.5;
    return t >= a && t < b ? t : a;
}

}  // namespace

void QuantizationObserver::set_grid(double origin, double width) {
    origin_ = origin;
    width_ = width;
    inverse_width_ = width > 0.0 ? 1.0 / width : 0.0;
    limit_ = width > 0.0 ? origin + width * kBins : -std::numeric_limits<double>::infinity();
}

std::uint32_t QuantizationObserver::bin_of(double value) const {
    const double position = (value - origin_) * inverse_width_;
    if (!(position >= 0.0)) return 0;
    if (position >= static_cast<double>(kBins)) return kBins - 1;
    return static_cast<std::uint32_t>(position);
}

void QuantizationObserver::update_outside(double value, double y) {
    if (binned()) {
        widen_to(value);
        bins_[bin_of(value)].add(y);
        return;
    }
    const auto at = std::lower_bound(values_.begin(), values_.end(), value);
    const auto i = at - values_.begin();
    if (at != values_.end() && *at == value) {
        bins_[i].add(y);
        return;
    }
    if (values_.size() < kBins) {
        values_.insert(at, value);
        bins_.insert(bins_.begin() + i, Moments{})->add(y);
        return;
    }
    start_grid(value);
    update(value, y);
}

void QuantizationObserver::start_grid(double value) {
    // The range of the values seen, and beyond each end about the mean spacing of the values
    // (later values fall there first). Divided first: the range of two finite values can exceed
    // the largest double.
    double lo = std::min(values_.front(), value);
    double hi = std::max(values_.back(), value);
    const double spacing = hi / kBins - lo / kBins;
    if (std::isfinite(lo - spacing) && std::isfinite(hi + spacing)) {
        lo -= spacing;
        hi += spacing;
    }
    double width = hi / kBins - lo / kBins;
    if (!(width > 0.0)) width = std::numeric_limits<double>::denorm_min();
    // Rounded up until the grid reaches hi: a grid short of it by rounding would be widened at once.
    for (int step = 0; step < 64 && lo + width * kBins < hi; ++step)
        width = std::nextafter(width, std::numeric_limits<double>::infinity());
    set_grid(lo, width);
    std::vector<Moments> exact(kBins);
    exact.swap(bins_);
    for (std::size_t i = 0; i < exact.size(); ++i) bins_[bin_of(values_[i])].add(exact[i]);
    values_ = std::vector<double>();
}

void QuantizationObserver::widen_to(double value) {
    for (;;) {
        if (value >= origin_ && value <= limit_) return;
        const double span = width_ * kBins;
        const double wider = 2.0 * width_;
        const bool left = value < origin_;
        const double origin = left ? origin_ - span : origin_;
        // Past the largest double the end bins take the values beyond the grid.
        if (!std::isfinite(wider) || !std::isfinite(origin)) return;
        // Bin i moves to bin (i + shift) / 2 of the grid twice as wide.
        const std::uint32_t shift = left ? kBins : 0;
        std::array<Moments, kBins> pooled{};
        for (std::uint32_t i = 0; i < kBins; ++i) pooled[(i + shift) / 2].add(bins_[i]);
        std::copy(pooled.begin(), pooled.end(), bins_.begin());
        set_grid(origin, wider);
    }
}

QuantizationObserver::Split QuantizationObserver::best_split(const Moments& all) const {
    Split best;
    const double m2_all = all.deviations();
    if (!(m2_all > 0.0)) return best;
    // The non-empty bins in order, and the statistics of those up to each of them.
    std::array<std::uint32_t, kBins> used{};
    std::array<Moments, kBins> prefix{};
    std::uint32_t m = 0;
    Moments running;
    for (std::uint32_t i = 0; i < bins_.size(); ++i) {
        if (!(bins_[i].count > 0.0)) continue;
        running.add(bins_[i]);
        prefix[m] = running;
        used[m++] = i;
    }
    const Moments missing = all.without(running);
    for (std::uint32_t k = 0; k + 1 < m; ++k) {
        const double threshold =
            binned() ? origin_ + 0.5 * (used[k] + 1 + used[k + 1]) * width_
                     : threshold_between(values_[used[k]], values_[used[k + 1]]);
        Moments left = prefix[k];
        if (0.0 <= threshold) left.add(missing);
        const Moments right = all.without(left);
        const double merit = 1.0 - (left.deviations() + right.deviations()) / m2_all;
        if (merit > best.merit) {
            best.merit = merit;
            best.threshold = threshold;
            best.left_weight = left.count;
        }
    }
    return best;
}

// ---- Persistence --------------------------------------------------------------------------------

void QuantizationObserver::save_state(StateWriter& out) const {
    out.f64(origin_);
    out.f64(width_);
    out.seq(bins_, [](StateWriter& w, const Moments& bin) { bin.save_state(w); });
    out.f64s(values_);
}

void QuantizationObserver::load_state(StateReader& in) {
    const double origin = in.f64();
    const double width = in.f64();
    const bool grid = width != 0.0;
    if (!std::isfinite(origin) || (grid && !(width > 0.0 && std::isfinite(width))))
        in.fail("a split observer's bins have no usable width");
    set_grid(origin, width);
    // A saved bin takes 24 bytes: a damaged count cannot reserve much.
    const std::size_t count = in.size(24);
    if (grid ? count != kBins : count > kBins) in.fail("a split observer has a wrong number of bins");
    bins_.assign(count, Moments{});
    for (Moments& bin : bins_) bin.load_state(in);
    in.f64s(values_);
    // Exact bins each hold one finite value that arrived, in increasing order.
    if (values_.size() != (grid ? 0 : count)) in.fail("a split observer's values do not match its bins");
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (!std::isfinite(values_[i]) || (i > 0 && !(values_[i - 1] < values_[i])))
            in.fail("a split observer's values are out of order");
    }
}

}  // namespace quelb
