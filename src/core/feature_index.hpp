#pragma once
// FeatureIndex: a dense column number per feature name, assigned in order of first appearance.
//
// Learners that keep per-feature state in dense arrays look each name of a sample up once,
// here, and then work on (column, value) pairs: one lookup per feature per sample, however many
// classes, rows or entries the state spans.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"
#include "core/memory.hpp"
#include "core/state.hpp"

namespace quelb {

class FeatureIndex {
public:
    struct Entry {
        std::uint32_t column;
        double value;
    };

    // Column reported for a name that has none.
    static constexpr std::uint32_t kNoColumn = UINT32_MAX;

    // The features of x that already have a column, in x's iteration order; others are skipped.
    void lookup(const FeatureMap& x, std::vector<Entry>& out) const;
    // The column of every feature of x, in x's iteration order, kNoColumn where a name has none
    // (for callers that work on x's entries in place).
    void columns(const FeatureMap& x, std::vector<std::uint32_t>& out) const;
    // Every feature of x with its column, in x's iteration order; a new name gets the next free
    // column.
    void assign(const FeatureMap& x, std::vector<Entry>& out);

    // Number of columns assigned so far (the next free column).
    std::uint32_t size() const { return static_cast<std::uint32_t>(columns_.size()); }
    // The name that owns a column.
    const std::string& name(std::uint32_t column) const { return names_[column]; }
    void clear();

    // The names by column. The name -> column map is rebuilt from them on loading: it is only
    // searched, never iterated, so its order cannot show.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t heap_bytes() const { return memory::owned_all(columns_, names_, recent_); }

private:
    // Column of the name at position i of a sample, or kNoColumn.
    std::uint32_t find(std::size_t i, const std::string& name) const;
    void remember(std::size_t i, const std::string& name, std::uint32_t column) const;

    std::unordered_map<std::string, std::uint32_t, NameHash> columns_;
    std::vector<std::string> names_;  // by column
    // The names met at each sample position, with their columns. Streams with a fixed layout
    // repeat them, and comparing a name with the one remembered at its position is cheaper than
    // hashing it. Only names that have a column are remembered (columns live until clear()).
    struct Remembered {
        std::string name;
        std::uint32_t column = kNoColumn;
        std::size_t heap_bytes() const { return memory::owned(name); }
    };
    mutable std::vector<Remembered> recent_;
};

// A sample as (column, value) entries, in the sample's iteration order.
using IndexedSample = std::vector<FeatureIndex::Entry>;

}  // namespace quelb
