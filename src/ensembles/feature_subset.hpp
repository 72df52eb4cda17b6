#pragma once
// A member's random subset of the features, drawn once from the member's first sample, and the
// projection of every later sample onto it. Every ensemble that restricts its members to subsets
// draws and projects through this one piece.
#include <cstdint>
#include <string>
#include <vector>

#include "core/rng.hpp"
#include "core/sample_columns.hpp"

namespace quelb {

class FeatureSubset {
public:
    // Draws the subset from x, which must be the sample last loaded into `loaded` with new names
    // added: x's names in ascending byte order are shuffled whole with rng (Fisher-Yates from the
    // front), and the first min(keep, n) of them are kept, n being x's number of features. With
    // sort_kept the kept names are put back in byte order. A sample without features gives an
    // empty subset, which stands for all features.
    void draw(const FeatureMap& x, const SampleColumns& loaded, Rng& rng, std::size_t keep, bool sort_kept = false);

    // The loaded sample projected onto the subset: in the subset's order, each of its features
    // that the sample has (absent ones are left out, not read as 0). The whole loaded sample when
    // the subset is empty or not drawn yet. Returns either `scratch`, filled, or the loaded
    // sample's own entries.
    const IndexedSample& project(const SampleColumns& loaded, IndexedSample& scratch) const;

    bool chosen() const { return chosen_; }
    // The kept names in their stored order; empty means all features.
    const std::vector<std::string>& names() const { return names_; }
    // Forgets the subset: the next draw chooses again.
    void clear();

private:
    std::vector<std::string> names_;
    std::vector<std::uint32_t> columns_;  // of names_, in the ensemble's shared index
    bool chosen_ = false;
};

}  // namespace quelb
