#pragma once
// FeatureMap: one sample, a set of (feature name, value) entries with unique names.
//
// Stored flat (a vector of pairs; names up to 15 bytes live inside the string without a heap
// allocation) because samples are built once per call and then mostly iterated. Lookups by name
// scan small samples and use a hash index, built on first need, for larger ones. The interface
// follows std::unordered_map where it overlaps. Iteration order carries no meaning. Inserting or
// erasing invalidates iterators; callers must not change a name through an iterator.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/memory.hpp"

namespace quelb {

// FNV-1a over the bytes of a name: cheap for the short names samples carry.
inline std::uint64_t hash_name(std::string_view name) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

// Hash functor for std::unordered_map keyed by feature name.
struct NameHash {
    std::size_t operator()(const std::string& name) const { return hash_name(name); }
};

class FeatureMap {
public:
    using value_type = std::pair<std::string, double>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    FeatureMap() = default;
    FeatureMap(std::initializer_list<value_type> entries);  // a repeated name keeps its first value
    FeatureMap(const FeatureMap& other) : entries_(other.entries_) {}
    FeatureMap(FeatureMap&& other) noexcept : entries_(std::move(other.entries_)) {}
    FeatureMap& operator=(const FeatureMap& other);
    FeatureMap& operator=(FeatureMap&& other) noexcept;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    const_iterator cbegin() const { return entries_.begin(); }
    const_iterator cend() const { return entries_.end(); }

    iterator find(std::string_view name) { return entries_.begin() + position(name); }
    const_iterator find(std::string_view name) const { return entries_.begin() + position(name); }
    std::size_t count(std::string_view name) const { return position(name) < entries_.size() ? 1 : 0; }
    bool contains(std::string_view name) const { return count(name) != 0; }

    // Value of name; throws std::out_of_range when absent.
    double& at(std::string_view name);
    double at(std::string_view name) const;
    // Value of name, inserted as 0.0 when absent.
    double& operator[](std::string_view name);

    // Inserts (name, value) unless name is present; never overwrites.
    std::pair<iterator, bool> emplace(std::string_view name, double value);
    std::pair<iterator, bool> try_emplace(std::string_view name, double value) { return emplace(name, value); }
    std::pair<iterator, bool> insert_or_assign(std::string_view name, double value);
    // Appends without checking for the name: the caller guarantees it is absent.
    void append_unique(std::string_view name, double value) {
        // Built in place: no temporary string to move.
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(name.data(), name.size()),
                              std::forward_as_tuple(value));
        if (!slots_.empty()) index_appended();
    }

    std::size_t erase(std::string_view name);
    iterator erase(const_iterator it);
    void clear();
    void reserve(std::size_t n) { entries_.reserve(n); }

    // Same names with equal values, whatever the order.
    bool operator==(const FeatureMap& other) const;
    bool operator!=(const FeatureMap& other) const { return !(*this == other); }

    std::size_t heap_bytes() const { return memory::owned_all(entries_, slots_); }

private:
    // Position of name, or size() when absent.
    std::size_t position(std::string_view name) const;
    void index_insert(std::uint32_t entry) const;
    // Adds the last entry to the index (which is not empty).
    void index_appended();
    void build_index() const;

    std::vector<value_type> entries_;
    // Open-addressing index of entry positions + 1 (0 = empty slot); empty until a lookup in a
    // large sample needs it, cleared by erase.
    mutable std::vector<std::uint32_t> slots_;
};

}  // namespace quelb
