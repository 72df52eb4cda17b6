#include "core/sample_columns.hpp"

#include <algorithm>

namespace quelb {

void SampleColumns::load(const FeatureMap& x, bool add_new) {
    if (add_new) {
        index_.assign(x, entries_);
    } else {
        index_.lookup(x, entries_);
    }
    if (++stamp_ == 0) {  // wrapped: forget every old stamp
        std::fill(stamps_.begin(), stamps_.end(), 0u);
        stamp_ = 1;
    }
    if (stamps_.size() < index_.size()) {
        stamps_.resize(index_.size(), 0);
        values_.resize(index_.size(), 0.0);
    }
    for (const FeatureIndex::Entry& entry : entries_) {
        values_[entry.column] = entry.value;
        stamps_[entry.column] = stamp_;
    }
}

}  // namespace quelb
