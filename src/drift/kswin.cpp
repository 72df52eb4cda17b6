#include "drift/kswin.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/order_key.hpp"

namespace quelb {

namespace {

void insert_sorted(std::vector<std::uint64_t>& keys, std::uint64_t key) {
    keys.insert(std::upper_bound(keys.begin(), keys.end(), key), key);
}

// The key is present: it entered the window and has not left.
void erase_sorted(std::vector<std::uint64_t>& keys, std::uint64_t key) {
    keys.erase(std::lower_bound(keys.begin(), keys.end(), key));
}

}  // namespace

KSWIN::KSWIN(const Options& options) : Options(options), rng_(static_cast<std::uint32_t>(options.seed)) {
    check_options(options);
    check_sizes(window_size, stat_size);
}

void KSWIN::check_sizes(std::int64_t window_size, std::int64_t stat_size) {
    if (stat_size < 1) throw std::invalid_argument("'stat_size' must be at least 1.");
    if (window_size < 2 * stat_size)
        throw std::invalid_argument("'window_size' must be at least twice 'stat_size'.");
}

void KSWIN::reset() {
    rng_.seed(static_cast<std::uint32_t>(seed));
    std::deque<std::uint64_t>().swap(window_);
    recent_.clear();
    older_.clear();
    drift_detected_ = false;
}

void KSWIN::update(double value) {
    drift_detected_ = false;
    const std::uint64_t key = order_key(value);
    window_.push_back(key);
    insert_sorted(recent_, key);
    if (recent_.size() > static_cast<std::size_t>(stat_size)) {
        const std::uint64_t leaving = window_[window_.size() - stat_size - 1];
        erase_sorted(recent_, leaving);
        insert_sorted(older_, leaving);
    }
    if (window_.size() > static_cast<std::size_t>(window_size)) {
        erase_sorted(older_, window_.front());
        window_.pop_front();
    }
    if (window_.size() == static_cast<std::size_t>(window_size) && distance_exceeds_threshold()) {
        drift_detected_ = true;
        window_.erase(window_.begin(), window_.end() - stat_size);
        older_.clear();
    }
}

bool KSWIN::distance_exceeds_threshold() {
    const std::size_t r = recent_.size();
    const std::size_t m = older_.size();
    if (marks_.size() < m) marks_.resize(m);
    picked_.clear();
    for (std::size_t j = m - r; j < m; ++j) {
        const std::uint32_t t = rng_.uniform_below(static_cast<std::uint32_t>(j + 1));
        // j itself when t is taken, chosen by arithmetic: taken ranks are unpredictable.
        const std::uint32_t rank = t + marks_[t] * (static_cast<std::uint32_t>(j) - t);
        marks_[rank] = 1;
        picked_.push_back(rank);
    }
    // The sample in ascending order: a scan of the marks when they are few, else the ranks sorted.
    if (m <= 8 * r) {
        // Without a branch: every value is written, and the position moves on past marked ones.
        sample_.resize(m + 1);
        std::size_t k = 0;
        for (std::size_t i = 0; i < m; ++i) {
            sample_[k] = older_[i];
            k += marks_[i];
        }
    } else {
        std::sort(picked_.begin(), picked_.end());
        sample_.resize(r);
        for (std::size_t k = 0; k < r; ++k) sample_[k] = older_[picked_[k]];
    }
    for (std::uint32_t rank : picked_) marks_[rank] = 0;

    // Largest gap between the two empirical distributions, in counts, taken after each distinct value.
    std::size_t i = 0, j = 0, gap = 0;
    while (i < r && j < r) {
        const std::uint64_t value = std::min(recent_[i], sample_[j]);
        while (i < r && recent_[i] == value) ++i;
        while (j < r && sample_[j] == value) ++j;
        gap = std::max(gap, i > j ? i - j : j - i);
    }
    if (!(alpha == threshold_alpha_)) {
        threshold_alpha_ = alpha;
        threshold_ = std::sqrt(-std::log(alpha) / static_cast<double>(r));
    }
    return static_cast<double>(gap) / static_cast<double>(r) > threshold_;
}

void KSWIN::sort_window() {
    const std::size_t n_recent = std::min(window_.size(), static_cast<std::size_t>(stat_size));
    older_.assign(window_.begin(), window_.end() - n_recent);
    recent_.assign(window_.end() - n_recent, window_.end());
    std::sort(older_.begin(), older_.end());
    std::sort(recent_.begin(), recent_.end());
}

void KSWIN::save_state(StateWriter& out) const {
    out.f64(alpha);
    out.i32(seed);
    out.i32(window_size);
    out.i32(stat_size);
    out.rng(rng_);
    out.size(window_.size());
    for (std::uint64_t key : window_) out.u64(key);
    out.boolean(drift_detected_);
}

void KSWIN::load_state(StateReader& in) {
    alpha = in.f64();
    if (kswin_alpha_check(alpha)) in.fail("alpha out of range");
    seed = in.i32();
    const std::int32_t saved_window_size = in.i32();
    const std::int32_t saved_stat_size = in.i32();
    try {
        check_sizes(saved_window_size, saved_stat_size);
    } catch (const std::invalid_argument&) {
        in.fail("window sizes");
    }
    window_size = saved_window_size;
    stat_size = saved_stat_size;
    in.rng(rng_);
    const std::size_t count = in.size(8);
    if (count > static_cast<std::size_t>(window_size)) in.fail("window longer than window_size");
    window_.clear();
    for (std::size_t i = 0; i < count; ++i) window_.push_back(in.u64());
    drift_detected_ = in.boolean();
    sort_window();
}

}  // namespace quelb
