#include "core/sample_columns.hpp"

#include <cstring>

namespace quelb {

namespace {

bool same_sample(const IndexedSample& a, const IndexedSample& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].column != b[i].column || std::memcmp(&a[i].value, &b[i].value, sizeof(double)) != 0) return false;
    }
    return true;
}

}  // namespace

void SampleColumns::load(const FeatureMap& x, bool add_new) {
    loaded_.swap(previous_);
    if (add_new) {
        index_.assign(x, loaded_);
    } else {
        index_.lookup(x, loaded_);
    }
    if (loaded_stamps_.size() < index_.size()) {
        loaded_stamps_.resize(index_.size(), 0);
        visible_stamps_.resize(index_.size(), 0);
        values_.resize(index_.size(), 0.0);
    }
    if (!same_sample(loaded_, previous_)) ++content_version_;
    ++loaded_stamp_;
    ++visible_stamp_;
    projected_ = false;
    for (const FeatureIndex::Entry& entry : loaded_) {
        values_[entry.column] = entry.value;
        loaded_stamps_[entry.column] = loaded_stamp_;
        visible_stamps_[entry.column] = visible_stamp_;
    }
}

void SampleColumns::load_state(StateReader& in) {
    index_.load_state(in);
    ++content_version_;
    previous_.clear();
    loaded_.clear();
    visible_.clear();
    projected_ = false;
    values_.clear();
    loaded_stamps_.clear();
    visible_stamps_.clear();
    loaded_stamp_ = visible_stamp_ = 0;
}

void SampleColumns::mark_visible(const IndexedSample& entries) {
    ++visible_stamp_;
    for (const FeatureIndex::Entry& entry : entries) visible_stamps_[entry.column] = visible_stamp_;
}

void SampleColumns::project(const std::vector<std::uint32_t>& columns) {
    ++visible_stamp_;
    visible_.clear();
    for (const std::uint32_t column : columns) {
        if (column < loaded_stamps_.size() && loaded_stamps_[column] == loaded_stamp_) {
            visible_.push_back({column, values_[column]});
            visible_stamps_[column] = visible_stamp_;
        }
    }
    projected_ = true;
}

void SampleColumns::show_all() {
    if (!projected_) return;
    projected_ = false;
    mark_visible(loaded_);
}

}  // namespace quelb
