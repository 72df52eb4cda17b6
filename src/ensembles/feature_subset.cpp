#include "ensembles/feature_subset.hpp"

#include <algorithm>

namespace quelb {

void sort_by_name(FeatureSubset& subset, const FeatureIndex& index) {
    std::sort(subset.begin(), subset.end(),
              [&index](std::uint32_t a, std::uint32_t b) { return index.name(a) < index.name(b); });
}

FeatureSubset sorted_loaded_columns(const SampleColumns& columns) {
    FeatureSubset subset;
    subset.reserve(columns.loaded().size());
    for (const FeatureIndex::Entry& entry : columns.loaded()) subset.push_back(entry.column);
    sort_by_name(subset, columns.index());
    return subset;
}

std::vector<std::string> subset_names(const FeatureSubset& subset, const FeatureIndex& index) {
    std::vector<std::string> names;
    names.reserve(subset.size());
    for (const std::uint32_t column : subset) names.push_back(index.name(column));
    return names;
}

}  // namespace quelb
