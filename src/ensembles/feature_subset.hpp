#pragma once
// A member's random subset of the features (or a boosting step's), drawn once from a sample, and
// the projection of every later sample onto it. Every ensemble that restricts its members to
// subsets draws and projects through this one piece.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "core/sample_columns.hpp"

namespace quelb {

class StateReader;
class StateWriter;

class FeatureSubset {
public:
    // A feature of the loaded sample: its name (held by the columns' index) and its column.
    using Feature = std::pair<const std::string*, std::uint32_t>;

    // The loaded sample's features in ascending byte order of their names: the list subsets are
    // drawn from. The sample must have been loaded with new names added.
    static std::vector<Feature> sorted_features(const SampleColumns& loaded);

    // Draws the subset from the loaded sample: its names in ascending byte order are shuffled
    // whole with rng (Fisher-Yates from the front), and the first min(keep, n) of them are kept, n
    // being the sample's number of features. With sort_kept the kept names are put back in byte
    // order. A sample without features gives an empty subset, which stands for all features.
    void draw(const SampleColumns& loaded, Rng& rng, std::size_t keep, bool sort_kept = false);
    // Takes the given features, in their order, as the subset.
    void assign(const std::vector<Feature>& features);

    // Shows the trees reading `loaded` its projection onto the subset: in the subset's order, each
    // of its features that the sample has (absent ones are left out, not read as 0), until the
    // next projection or load. The whole loaded sample when the subset is empty or not drawn yet.
    // Returns the visible entries, for trees that take them as an argument.
    const IndexedSample& project(SampleColumns& loaded) const;

    bool chosen() const { return chosen_; }
    // The kept names in their stored order; empty means all features.
    const std::vector<std::string>& names() const { return names_; }

    // The subset as columns of the ensemble's shared index; load_state takes the names back from
    // `index`, which must be the restored index those columns refer to.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in, const FeatureIndex& index);

    std::size_t heap_bytes() const { return memory::owned_all(names_, columns_); }

private:
    std::vector<std::string> names_;
    std::vector<std::uint32_t> columns_;  // of names_, in the ensemble's shared index
    bool chosen_ = false;
};

}  // namespace quelb
