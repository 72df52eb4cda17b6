#include "drift/adwin.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

namespace quelb {

namespace {

// Rows rarely hold more than max_buckets + 1 buckets; reserving that much (within reason) keeps
// updates free of allocations, while a huge max_buckets only costs memory as buckets arrive.
constexpr std::size_t kMaxReservedSlots = 64;

// 2^i exactly, as std::ldexp(1.0, i) gives it, without the library call: bucket sizes are looked
// up on every compression and every step of a scan.
double power_of_two(std::size_t i) {
    return i < 64 ? static_cast<double>(std::uint64_t{1} << i) : std::ldexp(1.0, static_cast<int>(i));
}

}  // namespace

ADWIN::ADWIN(const Options& options) : Options(options) {
    check_options(options);
    rows_.push_back(make_row());
}

ADWIN::BucketRow ADWIN::make_row() const {
    BucketRow row;
    row.reserve(std::min(static_cast<std::size_t>(max_buckets) + 2, kMaxReservedSlots));
    return row;
}

void ADWIN::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.seq(rows_, [](StateWriter& w, const BucketRow& row) {
        w.seq(row, [](StateWriter& w2, const Bucket& bucket) { bucket.save_state(w2); });
    });
    out.f64(total_);
    out.f64(variance_sum_);
    out.f64(width_);
    out.i64(update_count_);
    out.boolean(drift_detected_);
}

void ADWIN::load_state(StateReader& in) {
    ADWIN loaded;
    load_options(in, static_cast<Options&>(loaded));
    // One row per power of two of a window that can never reach 2^64 values.
    const std::size_t n_rows = in.size(8);
    if (n_rows == 0 || n_rows > 64) in.fail("ADWIN histogram of " + std::to_string(n_rows) + " rows");
    loaded.rows_.resize(n_rows);
    for (BucketRow& row : loaded.rows_) {
        row = loaded.make_row();
        const std::size_t count = in.size(16);
        if (count > static_cast<std::size_t>(loaded.max_buckets)) in.fail("ADWIN row longer than max_buckets");
        for (std::size_t k = 0; k < count; ++k) {
            const double total = in.f64();
            row.push_back({total, in.f64()});
        }
    }
    loaded.total_ = in.f64();
    loaded.variance_sum_ = in.f64();
    loaded.width_ = in.f64();
    loaded.update_count_ = in.counter();
    loaded.drift_detected_ = in.boolean();
    double held = 0.0;
    for (std::size_t r = 0; r < n_rows; ++r)
        held += std::ldexp(static_cast<double>(loaded.rows_[r].size()), static_cast<int>(r));
    // drop_oldest_bucket reads the last row's front bucket.
    if ((n_rows > 1 && loaded.rows_.back().empty()) || held != loaded.width_)
        in.fail("ADWIN histogram does not match its width");
    *this = std::move(loaded);
}

void ADWIN::reset() {
    rows_.clear();
    rows_.push_back(make_row());
    total_ = variance_sum_ = width_ = 0.0;
    update_count_ = 0;
    drift_detected_ = false;
}

void ADWIN::update(double value) {
    drift_detected_ = false;
    width_ += 1.0;
    rows_[0].push_back({value, 0.0});
    if (width_ > 1.0) {
        const double d = value - total_ / (width_ - 1.0);
        variance_sum_ += (width_ - 1.0) * (d * d) / width_;
    }
    total_ += value;
    compress();

    ++update_count_;
    if (!at_clock_tick() || width_ <= grace_period) return;
    while (scan_and_cut()) {
    }
}

bool ADWIN::at_clock_tick() const {
    // A 32-bit division is much cheaper than a 64-bit one and covers the first 2^32 updates.
    if (update_count_ <= 0xFFFFFFFFLL) {
        return static_cast<std::uint32_t>(update_count_) % static_cast<std::uint32_t>(clock) == 0;
    }
    return update_count_ % clock == 0;
}

// Merges the two oldest buckets of every row that overflowed into one bucket of the next row.
void ADWIN::compress() {
    const std::size_t overflow = static_cast<std::size_t>(max_buckets) + 1;
    for (std::size_t i = 0; rows_[i].size() == overflow; ++i) {
        if (i + 1 == rows_.size()) rows_.push_back(make_row());
        BucketRow& row = rows_[i];
        const double c = power_of_two(i);
        const Bucket b0 = row[0];
        const Bucket b1 = row[1];
        const double d = b0.total / c - b1.total / c;
        rows_[i + 1].push_back({b1.total + b0.total, c * c * (d * d) / (c + c) + (b1.variance_sum + b0.variance_sum)});
        row.erase(row.begin(), row.begin() + 2);
    }
}

bool ADWIN::scan_and_cut() {
    // Terms of the cut bound that depend only on the window, not on the split point.
    const double variance = variance_sum_ / width_;
    const double lambda = std::log(2.0 * std::log(width_) / delta);
    const double min_length = min_window_length;

    double n_old = 0.0, s_old = 0.0;
    double n_new = width_, s_new = total_;
    for (std::size_t r = rows_.size(); r-- > 0;) {
        const BucketRow& row = rows_[r];
        const double size = power_of_two(r);
        for (std::size_t k = 0; k < row.size(); ++k) {
            // The newest value always stays on the newer side.
            if (r == 0 && k + 1 == row.size()) return false;
            const double t = row[k].total;
            n_new -= size;
            n_old += size;
            s_old += t;
            s_new -= t;
            if (n_new <= 0.0) return false;
            if (n_new < min_length || n_old < min_length || width_ <= 1.0) continue;
            const double m = 1.0 / (n_new - min_length + 1.0) + 1.0 / (n_old - min_length + 1.0);
            // A NaN bound (negative radicand, unusable delta) never finds a cut.
            const double epsilon = std::sqrt(2.0 * m * variance * lambda) + 2.0 / 3.0 * m * lambda;
            if (std::fabs(s_old / n_old - s_new / n_new) > epsilon) {
                drift_detected_ = true;
                drop_oldest_bucket();
                return true;
            }
        }
    }
    return false;
}

void ADWIN::drop_oldest_bucket() {
    BucketRow& row = rows_.back();
    const double size = power_of_two(rows_.size() - 1);
    const Bucket oldest = row.front();
    width_ -= size;
    total_ -= oldest.total;
    const double d = oldest.total / size - (width_ > 0.0 ? total_ / width_ : 0.0);
    variance_sum_ -= width_ * size * (d * d) / (width_ + size) + oldest.variance_sum;
    row.erase(row.begin());
    if (row.empty() && rows_.size() > 1) rows_.pop_back();
}

}  // namespace quelb
