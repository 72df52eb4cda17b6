#pragma once
// A FeatureIndex with the sample last loaded through it, readable by column. Learners that read
// features by column in no fixed order (the tests of a tree's nodes) load a sample once and then
// read any feature in constant time; the trees of an ensemble share one, so each sample's names
// are looked up once per ensemble call, not once per tree.
#include <cstdint>
#include <vector>

#include "core/feature_index.hpp"

namespace quelb {

class SampleColumns {
public:
    // Loads x: assigns columns to its new names when add_new, else skips names without one.
    void load(const FeatureMap& x, bool add_new);

    // The loaded features that have a column, in x's iteration order.
    const IndexedSample& entries() const { return entries_; }

    // Value of a column in the loaded sample; 0.0 when the sample lacks it.
    double value_or_zero(std::uint32_t column) const { return has(column) ? values_[column] : 0.0; }
    // Whether the loaded sample has a value for the column.
    bool has(std::uint32_t column) const { return column < stamps_.size() && stamps_[column] == stamp_; }

    const FeatureIndex& index() const { return index_; }

private:
    FeatureIndex index_;
    IndexedSample entries_;
    // values_[c] belongs to the loaded sample when stamps_[c] equals the current stamp.
    std::vector<double> values_;
    std::vector<std::uint32_t> stamps_;
    std::uint32_t stamp_ = 0;
};

}  // namespace quelb
