#pragma once
// NeighborWindow: the sliding window of recent samples shared by the KNN learners, and the search
// for the k entries nearest to a query.
//
// Samples have no schema, so each entry is a dense vector over a growing index of feature names
// (a column the sample lacked holds 0). The vectors are stored column by column: one contiguous
// array per feature, holding that feature's value in every entry (a ring once the window is
// full). A new feature name then costs one new array of zeros, and a query measures every entry
// in passes over contiguous doubles that the compiler can vectorise across entries while each
// entry's sum still runs over the columns in order.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/feature_index.hpp"
#include "core/feature_map.hpp"

namespace quelb {

template <class Target>
class NeighborWindow {
public:
    struct Neighbor {
        double distance;
        Target target;
    };

    // A view of the selected neighbours, nearest first; valid until the next call.
    struct Neighbors {
        const Neighbor* first;
        const Neighbor* last;
        const Neighbor* begin() const { return first; }
        const Neighbor* end() const { return last; }
        std::size_t size() const { return static_cast<std::size_t>(last - first); }
        bool empty() const { return first == last; }
    };

    // capacity must be at least 1.
    explicit NeighborWindow(std::int32_t capacity) : capacity_(static_cast<std::size_t>(capacity)) {}

    std::size_t size() const { return targets_.size(); }
    bool empty() const { return targets_.empty(); }
    std::int32_t capacity() const { return static_cast<std::int32_t>(capacity_); }
    std::uint32_t n_features() const { return index_.size(); }

    // Appends (x, y), evicting the oldest entry when the window is full. New feature names get
    // the next columns, in x's order; every stored entry holds 0 in them.
    void add(const FeatureMap& x, Target y);

    // The min(k, size()) entries nearest to x by the Minkowski distance of order p, nearest
    // first; equal distances are ordered by the smaller target. Features of x without a column
    // are ignored. A NaN distance or target sorts after every number. k <= 0 selects nothing.
    Neighbors nearest(const FeatureMap& x, std::int32_t k, std::int32_t p);

    void clear();

    // Capacity, index, stored entries and ring position. Loading checks that every column holds
    // one value per entry and that the ring position fits the entries.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t heap_bytes() const {
        return memory::owned_all(index_, columns_, targets_, sample_, query_, sums_, neighbors_);
    }

private:
    // Fills sums_[slot] with Σ term(qᵢ − vᵢ) over the columns in order, for every slot.
    template <class Term>
    void accumulate(Term term);

    FeatureIndex index_;
    std::size_t capacity_;
    std::vector<std::vector<double>> columns_;  // columns_[c][slot]: feature c of the entry in slot
    std::vector<Target> targets_;               // targets_[slot]
    std::size_t oldest_ = 0;                    // slot of the oldest entry (0 until full)
    // Scratch reused between calls.
    IndexedSample sample_;
    std::vector<double> query_;
    std::vector<double> sums_;
    std::vector<Neighbor> neighbors_;
};

}  // namespace quelb
