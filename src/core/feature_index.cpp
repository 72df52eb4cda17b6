#include "core/feature_index.hpp"

namespace quelb {

void FeatureIndex::lookup(const FeatureMap& x, std::vector<Entry>& out) const {
    out.clear();
    for (const auto& [name, value] : x) {
        const auto it = columns_.find(name);
        if (it != columns_.end()) out.push_back({it->second, value});
    }
}

void FeatureIndex::assign(const FeatureMap& x, std::vector<Entry>& out) {
    out.clear();
    for (const auto& [name, value] : x) {
        const auto [it, inserted] = columns_.try_emplace(name, size());
        out.push_back({it->second, value});
    }
}

}  // namespace quelb
