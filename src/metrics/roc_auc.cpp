#include "metrics/roc_auc.hpp"

#include <algorithm>
#include <cmath>

#include "core/order_key.hpp"

namespace quelb {

namespace {

void append_sorted(std::vector<std::uint64_t>& sorted, std::vector<std::uint64_t>& added) {
    if (added.empty()) return;
    std::sort(added.begin(), added.end());
    const std::size_t middle = sorted.size();
    sorted.insert(sorted.end(), added.begin(), added.end());
    std::inplace_merge(sorted.begin(), sorted.begin() + middle, sorted.end());
    added.clear();
}

void read_sorted(StateReader& in, std::vector<std::uint64_t>& keys) {
    keys.resize(in.size(8));
    for (std::uint64_t& key : keys) key = in.u64();
    if (!std::is_sorted(keys.begin(), keys.end())) in.fail("scores out of order");
}

void write_keys(StateWriter& out, const std::vector<std::uint64_t>& keys) {
    out.size(keys.size());
    for (std::uint64_t key : keys) out.u64(key);
}

}  // namespace

double roc_auc_of_sorted(const std::vector<std::uint64_t>& positives, const std::vector<std::uint64_t>& negatives) {
    if (positives.empty() || negatives.empty()) return 0.5;
    // Twice the count of pairs the positive wins, plus the ties once.
    std::uint64_t twice = 0;
    std::size_t below = 0, up_to = 0;  // negatives below / not above the current positive
    for (std::uint64_t key : positives) {
        while (below < negatives.size() && negatives[below] < key) ++below;
        if (up_to < below) up_to = below;
        while (up_to < negatives.size() && negatives[up_to] == key) ++up_to;
        twice += below + up_to;
    }
    return static_cast<double>(twice) /
           (2.0 * static_cast<double>(positives.size()) * static_cast<double>(negatives.size()));
}

void ROCAUC::update(Label y_true, double score) {
    if (std::isnan(score)) return;
    (y_true == 1 ? new_positives_ : new_negatives_).push_back(order_key(score));
}

void ROCAUC::fold() const {
    if (new_positives_.empty() && new_negatives_.empty()) return;
    append_sorted(positives_, new_positives_);
    append_sorted(negatives_, new_negatives_);
    area_ = roc_auc_of_sorted(positives_, negatives_);
}

double ROCAUC::get() const {
    fold();
    return area_;
}

void ROCAUC::reset() {
    for (auto* keys : {&positives_, &negatives_, &new_positives_, &new_negatives_}) std::vector<std::uint64_t>().swap(*keys);
    area_ = 0.5;
}

void ROCAUC::save_state(StateWriter& out) const {
    fold();
    write_keys(out, positives_);
    write_keys(out, negatives_);
}

void ROCAUC::load_state(StateReader& in) {
    ROCAUC loaded;
    read_sorted(in, loaded.positives_);
    read_sorted(in, loaded.negatives_);
    loaded.area_ = roc_auc_of_sorted(loaded.positives_, loaded.negatives_);
    *this = std::move(loaded);
}

WindowROCAUC::WindowROCAUC(const Options& options) : Options(options) {
    window_size = std::max<std::int32_t>(window_size, 0);
}

void WindowROCAUC::update(Label y_true, double score) {
    if (window_size == 0 || std::isnan(score)) return;
    if (ring_.size() < static_cast<std::size_t>(window_size)) {
        ring_.push_back(order_key(score));
        ring_positive_.push_back(y_true == 1);
    } else {
        ring_[pos_] = order_key(score);
        ring_positive_[pos_] = y_true == 1;
        if (++pos_ == window_size) pos_ = 0;
    }
    stale_ = true;
}

double WindowROCAUC::get() const {
    if (!stale_) return area_;
    positives_.clear();
    negatives_.clear();
    for (std::size_t i = 0; i < ring_.size(); ++i) (ring_positive_[i] ? positives_ : negatives_).push_back(ring_[i]);
    std::sort(positives_.begin(), positives_.end());
    std::sort(negatives_.begin(), negatives_.end());
    area_ = roc_auc_of_sorted(positives_, negatives_);
    stale_ = false;
    return area_;
}

void WindowROCAUC::reset() {
    ring_.clear();
    ring_positive_.clear();
    pos_ = 0;
    stale_ = false;
    area_ = 0.5;
}

void WindowROCAUC::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.i32(pos_);
    write_keys(out, ring_);
    for (std::uint8_t positive : ring_positive_) out.boolean(positive != 0);
}

void WindowROCAUC::load_state(StateReader& in) {
    auto loaded = with_saved_options<WindowROCAUC>(in);
    loaded.pos_ = in.i32();
    loaded.ring_.resize(in.size(9));
    for (std::uint64_t& key : loaded.ring_) key = in.u64();
    loaded.ring_positive_.resize(loaded.ring_.size());
    for (std::uint8_t& positive : loaded.ring_positive_) positive = in.boolean();
    const std::size_t filled = loaded.ring_.size();
    // Filled from slot 0; the next slot wraps only once the window is full.
    const bool full = filled == static_cast<std::size_t>(loaded.window_size) && filled > 0;
    if (filled > static_cast<std::size_t>(loaded.window_size) || loaded.pos_ < 0 ||
        (full ? loaded.pos_ >= loaded.window_size : loaded.pos_ != 0))
        in.fail("window position");
    loaded.stale_ = true;
    *this = std::move(loaded);
}

}  // namespace quelb
