#include "ensembles/feature_subset.hpp"

#include <algorithm>

#include "core/state.hpp"

namespace quelb {

std::vector<FeatureSubset::Feature> FeatureSubset::sorted_features(const SampleColumns& loaded) {
    std::vector<Feature> features;
    features.reserve(loaded.loaded().size());
    for (const FeatureIndex::Entry& entry : loaded.loaded()) {
        features.emplace_back(&loaded.index().name(entry.column), entry.column);
    }
    std::sort(features.begin(), features.end(), [](const Feature& a, const Feature& b) { return *a.first < *b.first; });
    return features;
}

void FeatureSubset::draw(const SampleColumns& loaded, Rng& rng, std::size_t keep, bool sort_kept) {
    std::vector<Feature> features = sorted_features(loaded);
    rng.shuffle(features);
    features.resize(std::min(keep, features.size()));
    if (sort_kept) {
        std::sort(features.begin(), features.end(),
                  [](const Feature& a, const Feature& b) { return *a.first < *b.first; });
    }
    assign(features);
}

void FeatureSubset::assign(const std::vector<Feature>& features) {
    names_.clear();
    columns_.clear();
    for (const auto& [name, column] : features) {
        names_.push_back(*name);
        columns_.push_back(column);
    }
    chosen_ = true;
}

const IndexedSample& FeatureSubset::project(SampleColumns& loaded) const {
    if (columns_.empty()) {
        loaded.show_all();
    } else {
        loaded.project(columns_);
    }
    return loaded.entries();
}

void FeatureSubset::save_state(StateWriter& out) const {
    out.boolean(chosen_);
    out.seq(columns_, [&](StateWriter&, std::uint32_t column) { out.u32(column); });
}

void FeatureSubset::load_state(StateReader& in, const FeatureIndex& index) {
    chosen_ = in.boolean();
    in.seq(columns_, [&](StateReader&, std::uint32_t& column) {
        column = in.u32();
        if (column >= index.size()) in.fail("a feature subset names a column that does not exist");
    });
    names_.clear();
    for (const std::uint32_t column : columns_) names_.push_back(index.name(column));
}

}  // namespace quelb
