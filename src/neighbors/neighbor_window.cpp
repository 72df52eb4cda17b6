#include "neighbors/neighbor_window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/types.hpp"

namespace quelb {

namespace {

// a < b, with NaN after every number (and NaNs equivalent): a strict weak order even for NaN.
bool ordered_less(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }
bool ordered_less(Label a, Label b) { return a < b; }

// Ascending distance, then ascending target. A function object, so that the sort inlines it;
// the usual case (two different numbers) costs two comparisons.
struct Nearer {
    template <class Neighbor>
    bool operator()(const Neighbor& a, const Neighbor& b) const {
        if (a.distance < b.distance) return true;
        if (a.distance > b.distance) return false;
        const bool a_nan = std::isnan(a.distance);
        if (a_nan != std::isnan(b.distance)) return !a_nan;  // a number before NaN
        return ordered_less(a.target, b.target);             // equal, or both NaN
    }
};

// Square root of every value in place. The packed instruction gives the same correctly rounded
// results as the scalar one, two at a time (the compiler will not vectorise std::sqrt, which
// may set errno).
void sqrt_all(std::vector<double>& values) {
    double* v = values.data();
    const std::size_t n = values.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(v + i, _mm_sqrt_pd(_mm_loadu_pd(v + i)));
#endif
    for (; i < n; ++i) v[i] = std::sqrt(v[i]);
}

}  // namespace

template <class Target>
void NeighborWindow<Target>::add(const FeatureMap& x, Target y) {
    index_.assign(x, sample_);
    std::size_t slot;
    if (targets_.size() < capacity_) {
        slot = targets_.size();
        for (auto& column : columns_) column.push_back(0.0);
        targets_.push_back(y);
    } else {
        // Full: the oldest entry's slot takes the new entry and the next slot becomes oldest.
        slot = oldest_;
        oldest_ = oldest_ + 1 == capacity_ ? 0 : oldest_ + 1;
        for (auto& column : columns_) column[slot] = 0.0;
        targets_[slot] = y;
    }
    // New names: a column of zeros for every stored entry (the new one included).
    while (columns_.size() < index_.size()) columns_.emplace_back(targets_.size(), 0.0);
    for (const auto& [column, value] : sample_) columns_[column][slot] = value;
}

template <class Target>
template <class Term>
void NeighborWindow<Target>::accumulate(Term term) {
    const std::size_t n = targets_.size();
    sums_.assign(n, 0.0);
    double* sums = sums_.data();
    const std::size_t n_columns = columns_.size();
    std::size_t c = 0;
    // Four columns per pass keep each partial sum in a register for four additions.
    for (; c + 4 <= n_columns; c += 4) {
        const double q0 = query_[c], q1 = query_[c + 1], q2 = query_[c + 2], q3 = query_[c + 3];
        const double* v0 = columns_[c].data();
        const double* v1 = columns_[c + 1].data();
        const double* v2 = columns_[c + 2].data();
        const double* v3 = columns_[c + 3].data();
        for (std::size_t slot = 0; slot < n; ++slot) {
            double sum = sums[slot];
            sum += term(q0 - v0[slot]);
            sum += term(q1 - v1[slot]);
            sum += term(q2 - v2[slot]);
            sum += term(q3 - v3[slot]);
            sums[slot] = sum;
        }
    }
    for (; c < n_columns; ++c) {
        const double q = query_[c];
        const double* values = columns_[c].data();
        for (std::size_t slot = 0; slot < n; ++slot) sums[slot] += term(q - values[slot]);
    }
}

template <class Target>
typename NeighborWindow<Target>::Neighbors NeighborWindow<Target>::nearest(const FeatureMap& x, std::int32_t k,
                                                                           std::int32_t p) {
    if (targets_.empty() || k <= 0) return {nullptr, nullptr};

    query_.assign(columns_.size(), 0.0);
    index_.lookup(x, sample_);
    for (const auto& [column, value] : sample_) query_[column] = value;

    const std::size_t n = targets_.size();
    neighbors_.resize(n);
    Neighbor* out = neighbors_.data();
    // One (distance, target) pair per entry, oldest first.
    const auto emit = [&](auto finish) {
        for (std::size_t slot = oldest_; slot < n; ++slot, ++out) *out = {finish(sums_[slot]), targets_[slot]};
        for (std::size_t slot = 0; slot < oldest_; ++slot, ++out) *out = {finish(sums_[slot]), targets_[slot]};
    };
    if (p == 2) {
        accumulate([](double d) { return d * d; });
        sqrt_all(sums_);
        emit([](double root) { return root; });
    } else if (p == 1) {
        accumulate([](double d) { return std::abs(d); });
        emit([](double sum) { return sum; });
    } else {
        const double order = static_cast<double>(p);
        const double root = 1.0 / order;
        accumulate([order](double d) { return std::pow(std::abs(d), order); });
        emit([root](double sum) { return std::pow(sum, root); });
    }

    const std::size_t kept = std::min(static_cast<std::size_t>(k), n);
    std::partial_sort(neighbors_.begin(), neighbors_.begin() + static_cast<std::ptrdiff_t>(kept), neighbors_.end(),
                      Nearer{});
    return {neighbors_.data(), neighbors_.data() + kept};
}

template <class Target>
void NeighborWindow<Target>::clear() {
    index_.clear();
    columns_.clear();
    targets_.clear();
    oldest_ = 0;
}

namespace {

void save_target(StateWriter& out, Label y) { out.i32(y); }
void save_target(StateWriter& out, double y) { out.f64(y); }
void load_target(StateReader& in, Label& y) { y = in.i32(); }
void load_target(StateReader& in, double& y) { y = in.f64(); }

}  // namespace

template <class Target>
void NeighborWindow<Target>::save_state(StateWriter& out) const {
    out.u64(capacity_);
    index_.save_state(out);
    out.seq(targets_, [](StateWriter& w, const Target& y) { save_target(w, y); });
    out.u64(oldest_);
    out.seq(columns_, [](StateWriter& w, const std::vector<double>& column) { w.f64s(column); });
}

template <class Target>
void NeighborWindow<Target>::load_state(StateReader& in) {
    const std::uint64_t capacity = in.u64();
    if (capacity < 1 || capacity > static_cast<std::uint64_t>(INT32_MAX)) in.fail("window capacity");
    FeatureIndex index;
    index.load_state(in);
    std::vector<Target> targets;
    in.seq(targets, [](StateReader& r, Target& y) { load_target(r, y); });
    const std::uint64_t oldest = in.u64();
    // The ring position moves only once the window is full.
    if (targets.size() > capacity || (oldest != 0 && (targets.size() != capacity || oldest >= capacity)))
        in.fail("window entries do not fit its capacity");
    std::vector<std::vector<double>> columns(in.size(8));
    if (columns.size() != index.size()) in.fail("window columns do not match its features");
    for (auto& column : columns) {
        in.f64s(column);
        if (column.size() != targets.size()) in.fail("window column length");
    }
    capacity_ = static_cast<std::size_t>(capacity);
    index_ = std::move(index);
    targets_ = std::move(targets);
    oldest_ = static_cast<std::size_t>(oldest);
    columns_ = std::move(columns);
}

template class NeighborWindow<Label>;
template class NeighborWindow<double>;

}  // namespace quelb
