#include "drift/page_hinkley.hpp"

#include <algorithm>
#include <stdexcept>

namespace quelb {

namespace {

constexpr const char* kModeNames[] = {"both", "up", "down"};

}  // namespace

PageHinkleyMode parse_page_hinkley_mode(std::string_view text) {
    for (int i = 0; i < 3; ++i) {
        if (text == kModeNames[i]) return static_cast<PageHinkleyMode>(i);
    }
    throw std::invalid_argument("'mode' must be \"both\", \"up\" or \"down\".");
}

void PageHinkley::reset() {
    n_samples_ = 0;
    mean_ = 0.0;
    up_ = down_ = Sum{};
    drift_detected_ = false;
}

bool PageHinkley::Sum::add(double deviation, double alpha, double threshold, bool first) {
    value = alpha * value + deviation;
    minimum = first ? value : std::min(minimum, value);
    return value - minimum > threshold;
}

void PageHinkley::update(double value) {
    if (drift_detected_) reset();
    ++n_samples_;
    mean_ += (value - mean_) / static_cast<double>(n_samples_);
    const bool first = n_samples_ == 1;
    // Both sums follow every value, whatever the mode, so that changing it takes effect at once.
    const bool up = up_.add(value - mean_ - delta, alpha, threshold, first);
    const bool down = down_.add(mean_ - value - delta, alpha, threshold, first);
    if (n_samples_ < warm_start) return;
    drift_detected_ = (mode != Mode::kDown && up) || (mode != Mode::kUp && down);
}

void PageHinkley::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.u8(static_cast<std::uint8_t>(mode.mode()));
    out.i64(n_samples_);
    out.f64(mean_);
    for (const Sum* sum : {&up_, &down_}) {
        out.f64(sum->value);
        out.f64(sum->minimum);
    }
    out.boolean(drift_detected_);
}

void PageHinkley::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    mode = kModeNames[static_cast<int>(in.enumerator<Mode>(3))];
    n_samples_ = in.counter();
    mean_ = in.f64();
    for (Sum* sum : {&up_, &down_}) {
        sum->value = in.f64();
        sum->minimum = in.f64();
    }
    drift_detected_ = in.boolean();
}

}  // namespace quelb
