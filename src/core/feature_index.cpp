#include "core/feature_index.hpp"

#include <algorithm>

namespace quelb {

void FeatureIndex::load(const FeatureMap& x, bool add_new) {
    if (++stamp_ == 0) {  // wrapped: forget every old stamp
        std::fill(stamps_.begin(), stamps_.end(), 0u);
        stamp_ = 1;
    }
    entries_.clear();
    for (const auto& [name, value] : x) {
        std::uint32_t id;
        if (add_new) {
            auto [it, inserted] = ids_.try_emplace(name, static_cast<std::uint32_t>(names_.size()));
            if (inserted) {
                names_.push_back(name);
                values_.push_back(0.0);
                stamps_.push_back(0);
            }
            id = it->second;
        } else {
            const auto it = ids_.find(name);
            if (it == ids_.end()) continue;
            id = it->second;
        }
        entries_.push_back({id, value});
        values_[id] = value;
        stamps_[id] = stamp_;
    }
}

}  // namespace quelb
