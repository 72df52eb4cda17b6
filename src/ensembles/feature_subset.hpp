#pragma once
// Feature subsets of ensemble members (and boosting steps): columns of the ensemble's shared
// SampleColumns, in ascending byte order of their names. An empty subset stands for all
// features: a member whose first sample had no features learns from whole samples.
#include <cstdint>
#include <string>
#include <vector>

#include "core/sample_columns.hpp"

namespace quelb {

using FeatureSubset = std::vector<std::uint32_t>;

// The columns of the loaded sample's features, in ascending byte order of their names.
FeatureSubset sorted_loaded_columns(const SampleColumns& columns);

// Sorts columns into ascending byte order of their names.
void sort_by_name(FeatureSubset& subset, const FeatureIndex& index);

// The names of a subset's columns, in the subset's order.
std::vector<std::string> subset_names(const FeatureSubset& subset, const FeatureIndex& index);

// Shows a member the projection of the loaded sample onto its subset: the features of the
// subset that the sample holds (the whole sample for an empty subset).
inline void show_projection(SampleColumns& columns, const FeatureSubset& subset) {
    if (subset.empty()) {
        columns.show_all();
    } else {
        columns.project(subset);
    }
}

}  // namespace quelb
