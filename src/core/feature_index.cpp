#include "core/feature_index.hpp"

namespace quelb {

std::uint32_t FeatureIndex::find(std::size_t i, const std::string& name) const {
    if (i < recent_.size() && recent_[i].column != kNoColumn && recent_[i].name == name) return recent_[i].column;
    const auto it = columns_.find(name);
    if (it == columns_.end()) return kNoColumn;
    remember(i, name, it->second);
    return it->second;
}

void FeatureIndex::remember(std::size_t i, const std::string& name, std::uint32_t column) const {
    if (i >= recent_.size()) recent_.resize(i + 1);
    recent_[i].name = name;
    recent_[i].column = column;
}

void FeatureIndex::lookup(const FeatureMap& x, std::vector<Entry>& out) const {
    out.clear();
    std::size_t i = 0;
    for (const auto& [name, value] : x) {
        const std::uint32_t column = find(i++, name);
        if (column != kNoColumn) out.push_back({column, value});
    }
}

void FeatureIndex::columns(const FeatureMap& x, std::vector<std::uint32_t>& out) const {
    out.clear();
    std::size_t i = 0;
    for (const auto& entry : x) out.push_back(find(i++, entry.first));
}

void FeatureIndex::assign(const FeatureMap& x, std::vector<Entry>& out) {
    out.clear();
    std::size_t i = 0;
    for (const auto& [name, value] : x) {
        std::uint32_t column = find(i, name);
        if (column == kNoColumn) {
            column = size();
            columns_.emplace(name, column);
            names_.push_back(name);
            remember(i, name, column);
        }
        out.push_back({column, value});
        ++i;
    }
}

void FeatureIndex::save_state(StateWriter& out) const {
    out.seq(names_, [](StateWriter& w, const std::string& name) { w.str(name); });
}

void FeatureIndex::load_state(StateReader& in) {
    std::vector<std::string> names;
    in.seq(names, [](StateReader& r, std::string& name) { name = r.str(); });
    if (names.size() >= kNoColumn) in.fail("too many feature columns");
    std::unordered_map<std::string, std::uint32_t, NameHash> columns;
    columns.reserve(names.size());
    for (std::uint32_t column = 0; column < names.size(); ++column) {
        if (!columns.emplace(names[column], column).second) in.fail("feature name '" + names[column] + "' repeated");
    }
    columns_.swap(columns);
    names_.swap(names);
    recent_.clear();
}

void FeatureIndex::clear() {
    columns_.clear();
    names_.clear();
    recent_.clear();
}

}  // namespace quelb
