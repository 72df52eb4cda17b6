#include "trees/quantization_observer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/state.hpp"

namespace quelb {

namespace {

using Bin = QuantizationObserver::Bin;
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
        Bin& bin = bins_[bin_of(value)];
        bin.target.add(y);
        bin.value += value;
        return;
    }
    if (bins_.empty()) bins_.reserve(kBins);
    const auto at = std::lower_bound(bins_.begin(), bins_.end(), value,
                                     [](const Bin& bin, double v) { return bin.value < v; });
    if (at != bins_.end() && at->value == value) {
        at->target.add(y);
        return;
    }
    if (bins_.size() < kBins) {
        const auto bin = bins_.insert(at, Bin{});
        bin->value = value;
        bin->target.add(y);
        return;
    }
    start_grid(value);
    update(value, y);
}

void QuantizationObserver::start_grid(double value) {
    const double lo = std::min(bins_.front().value, value);
    const double hi = std::max(bins_.back().value, value);
    // Divided first: the range of two finite values can exceed the largest double.
    double width = hi / kBins - lo / kBins;
    if (!(width > 0.0)) width = std::numeric_limits<double>::denorm_min();
    // Rounded up until the grid reaches hi: a grid short of it by rounding would be widened at once.
    for (int step = 0; step < 64 && lo + width * kBins < hi; ++step)
        width = std::nextafter(width, std::numeric_limits<double>::infinity());
    set_grid(lo, width);
    std::vector<Bin> exact(kBins);
    exact.swap(bins_);
    for (const Bin& bin : exact) {
        Bin& into = bins_[bin_of(bin.value)];
        into.target.add(bin.target);
        into.value += bin.value * bin.target.count;
    }
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
        std::array<Bin, kBins> pooled{};
        for (std::uint32_t i = 0; i < kBins; ++i) {
            Bin& into = pooled[(i + shift) / 2];
            into.target.add(bins_[i].target);
            into.value += bins_[i].value;
        }
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
        if (!(bins_[i].target.count > 0.0)) continue;
        running.add(bins_[i].target);
        prefix[m] = running;
        used[m++] = i;
    }
    const Moments missing = all.without(running);
    for (std::uint32_t k = 0; k + 1 < m; ++k) {
        const double threshold = threshold_between(value_of(bins_[used[k]]), value_of(bins_[used[k + 1]]));
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
    out.seq(bins_, [](StateWriter& w, const Bin& bin) {
        bin.target.save_state(w);
        w.f64(bin.value);
    });
}

void QuantizationObserver::load_state(StateReader& in) {
    const double origin = in.f64();
    const double width = in.f64();
    const bool grid = width != 0.0;
    if (!std::isfinite(origin) || (grid && !(width > 0.0 && std::isfinite(width))))
        in.fail("a split observer's bins have no usable width");
    set_grid(origin, width);
    // A saved bin takes 32 bytes: a damaged count cannot reserve much.
    const std::size_t count = in.size(32);
    if (grid ? count != kBins : count > kBins) in.fail("a split observer has a wrong number of bins");
    bins_.assign(count, Bin{});
    if (!grid) bins_.reserve(kBins);
    for (std::size_t i = 0; i < count; ++i) {
        bins_[i].target.load_state(in);
        bins_[i].value = in.f64();
    }
    // Exact bins each hold one finite value that arrived, in increasing order.
    for (std::size_t i = 0; !grid && i < count; ++i) {
        if (!std::isfinite(bins_[i].value) || (i > 0 && !(bins_[i - 1].value < bins_[i].value)))
            in.fail("a split observer's values are out of order");
    }
}

}  // namespace quelb
