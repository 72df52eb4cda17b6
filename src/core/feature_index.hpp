#pragma once
// Dense ids for feature names. A learner loads a sample once, which looks every name up a single
// time, and then reads the sample by id: no string is hashed or compared again for that sample.
// The trees of one ensemble share an index so that one load serves all of them.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"

namespace quelb {

class FeatureIndex {
public:
    struct Entry {
        std::uint32_t id;
        double value;
    };

    // Loads x: its known names (and, when add_new, its new ones, which get the next ids) become
    // entries() in x's order and readable through value_or_zero.
    void load(const FeatureMap& x, bool add_new);

    const std::vector<Entry>& entries() const { return entries_; }

    // Value of feature id in the loaded sample; 0.0 when the sample lacks it.
    double value_or_zero(std::uint32_t id) const {
        return id < stamps_.size() && stamps_[id] == stamp_ ? values_[id] : 0.0;
    }

    const std::string& name(std::uint32_t id) const { return names_[id]; }
    std::size_t size() const { return names_.size(); }

private:
    std::unordered_map<std::string, std::uint32_t, NameHash> ids_;
    std::vector<std::string> names_;
    std::vector<Entry> entries_;
    // values_[id] belongs to the loaded sample when stamps_[id] equals the current stamp.
    std::vector<double> values_;
    std::vector<std::uint32_t> stamps_;
    std::uint32_t stamp_ = 0;
};

}  // namespace quelb
