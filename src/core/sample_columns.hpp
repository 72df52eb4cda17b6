#pragma once
// A FeatureIndex with the sample last loaded through it, readable by column. Learners that read
// features by column in no fixed order (the tests of a tree's nodes) load a sample once and then
// read any feature in constant time; the trees of an ensemble share one, so each sample's names
// are looked up once per ensemble call, not once per tree.
//
// Ensembles whose members see only a subset of the features project the loaded sample onto a
// member's columns: until the next projection or load, the trees reading it see exactly the
// sample holding those features only, without a copy of any name.
#include <cstdint>
#include <vector>

#include "core/feature_index.hpp"

namespace quelb {

class SampleColumns {
public:
    // Loads x: assigns columns to its new names when add_new, else skips names without one. The
    // whole sample is visible.
    void load(const FeatureMap& x, bool add_new);
    // Changes whenever a load gives a sample other than the one loaded before it (other features
    // with a column, another order, or any value differing in a bit): owners that keep what they
    // computed from the loaded sample may reuse it while this stays the same.
    std::uint64_t content_version() const { return content_version_; }

    // Makes only the loaded features among `columns` visible, in the order of `columns`: what a
    // projection of the sample onto those features, loaded afresh, would show.
    void project(const std::vector<std::uint32_t>& columns);
    // Makes the whole loaded sample visible again.
    void show_all();

    // The visible features that have a column, in the sample's iteration order (or the
    // projection's order).
    const IndexedSample& entries() const { return projected_ ? visible_ : loaded_; }
    // Every loaded feature that has a column, whatever the projection.
    const IndexedSample& loaded() const { return loaded_; }

    // Value of a column in the visible sample; 0.0 when the sample lacks it or it is hidden.
    double value_or_zero(std::uint32_t column) const { return has(column) ? values_[column] : 0.0; }
    // Whether the visible sample has a value for the column.
    bool has(std::uint32_t column) const {
        return column < visible_stamps_.size() && visible_stamps_[column] == visible_stamp_;
    }

    const FeatureIndex& index() const { return index_; }

    // Only the index is state: a loaded sample lives for one call of the learner that loads it,
    // so a restored object starts with nothing loaded.
    void save_state(StateWriter& out) const { index_.save_state(out); }
    void load_state(StateReader& in);

    std::size_t heap_bytes() const {
        return memory::owned_all(index_, loaded_, previous_, visible_, values_, loaded_stamps_, visible_stamps_);
    }

private:
    void mark_visible(const IndexedSample& entries);

    FeatureIndex index_;
    IndexedSample loaded_;
    IndexedSample previous_;  // the sample loaded before, to tell whether a load changed it
    std::uint64_t content_version_ = 0;
    IndexedSample visible_;  // the projection, when projected_
    bool projected_ = false;
    // values_[c] belongs to the loaded sample when loaded_stamps_[c] equals loaded_stamp_, and is
    // visible when visible_stamps_[c] equals visible_stamp_. 64-bit stamps never wrap.
    std::vector<double> values_;
    std::vector<std::uint64_t> loaded_stamps_;
    std::vector<std::uint64_t> visible_stamps_;
    std::uint64_t loaded_stamp_ = 0;
    std::uint64_t visible_stamp_ = 0;
};

}  // namespace quelb
