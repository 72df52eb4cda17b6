#include "ensembles/feature_subset.hpp"

#include <algorithm>
#include <utility>

namespace quelb {

void FeatureSubset::draw(const FeatureMap& x, const SampleColumns& loaded, Rng& rng, std::size_t keep,
                         bool sort_kept) {
    // x and its loaded entries list the same features in the same order.
    std::vector<std::pair<const std::string*, std::uint32_t>> named;
    named.reserve(x.size());
    std::size_t i = 0;
    for (const auto& entry : x) named.emplace_back(&entry.first, loaded.entries()[i++].column);
    const auto by_name = [](const auto& a, const auto& b) { return *a.first < *b.first; };
    std::sort(named.begin(), named.end(), by_name);
    rng.shuffle(named);
    named.resize(std::min(keep, named.size()));
    if (sort_kept) std::sort(named.begin(), named.end(), by_name);

    names_.clear();
    columns_.clear();
    for (const auto& [name, column] : named) {
        names_.push_back(*name);
        columns_.push_back(column);
    }
    chosen_ = true;
}

const IndexedSample& FeatureSubset::project(const SampleColumns& loaded, IndexedSample& scratch) const {
    if (columns_.empty()) return loaded.entries();
    scratch.clear();
    for (std::uint32_t column : columns_) {
        if (loaded.has(column)) scratch.push_back({column, loaded.value_or_zero(column)});
    }
    return scratch;
}

void FeatureSubset::clear() {
    names_.clear();
    columns_.clear();
    chosen_ = false;
}

}  // namespace quelb
