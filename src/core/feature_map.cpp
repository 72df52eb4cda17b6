#include "core/feature_map.hpp"

#include <stdexcept>

#include "core/same_name.hpp"

namespace quelb {

namespace {
// Samples up to this size are searched by scanning: faster than hashing for a handful of names.
constexpr std::size_t kScanLimit = 12;
}  // namespace

FeatureMap::FeatureMap(std::initializer_list<value_type> entries) {
    entries_.reserve(entries.size());
    for (const auto& [name, value] : entries) emplace(name, value);
}

FeatureMap& FeatureMap::operator=(const FeatureMap& other) {
    if (this == &other) return *this;
    if (entries_.size() == other.entries_.size()) {
        // Samples of a stream repeat their names: a name already in place needs no copy.
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            auto& [name, value] = entries_[i];
            if (!same_name(name, other.entries_[i].first)) name = other.entries_[i].first;
            value = other.entries_[i].second;
        }
    } else {
        entries_ = other.entries_;
    }
    slots_.clear();
    return *this;
}

FeatureMap& FeatureMap::operator=(FeatureMap&& other) noexcept {
    entries_ = std::move(other.entries_);
    slots_.clear();
    other.entries_.clear();
    other.slots_.clear();
    return *this;
}

std::size_t FeatureMap::position(std::string_view name) const {
    const std::size_t n = entries_.size();
    if (n <= kScanLimit) {
        for (std::size_t i = 0; i < n; ++i) {
            if (entries_[i].first == name) return i;
        }
        return n;
    }
    if (slots_.empty()) build_index();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash_name(name) & mask;; s = (s + 1) & mask) {
        const std::uint32_t slot = slots_[s];
        if (slot == 0) return n;
        if (entries_[slot - 1].first == name) return slot - 1;
    }
}

void FeatureMap::index_insert(std::uint32_t entry) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = hash_name(entries_[entry].first) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = entry + 1;
}

void FeatureMap::build_index() const {
    std::size_t capacity = 32;
    while (capacity < 2 * entries_.size()) capacity *= 2;
    slots_.assign(capacity, 0);
    for (std::size_t i = 0; i < entries_.size(); ++i) index_insert(static_cast<std::uint32_t>(i));
}

double& FeatureMap::at(std::string_view name) {
    const std::size_t i = position(name);
    if (i == entries_.size()) throw std::out_of_range("FeatureMap::at: unknown feature");
    return entries_[i].second;
}

double FeatureMap::at(std::string_view name) const {
    const std::size_t i = position(name);
    if (i == entries_.size()) throw std::out_of_range("FeatureMap::at: unknown feature");
    return entries_[i].second;
}

double& FeatureMap::operator[](std::string_view name) { return emplace(name, 0.0).first->second; }

void FeatureMap::index_appended() {
    if (!slots_.empty()) {
        if (2 * entries_.size() > slots_.size()) {
            build_index();
        } else {
            index_insert(static_cast<std::uint32_t>(entries_.size() - 1));
        }
    }
}

std::pair<FeatureMap::iterator, bool> FeatureMap::emplace(std::string_view name, double value) {
    const std::size_t i = position(name);
    if (i < entries_.size()) return {entries_.begin() + i, false};
    append_unique(name, value);
    return {entries_.end() - 1, true};
}

std::pair<FeatureMap::iterator, bool> FeatureMap::insert_or_assign(std::string_view name, double value) {
    auto result = emplace(name, value);
    if (!result.second) result.first->second = value;
    return result;
}

std::size_t FeatureMap::erase(std::string_view name) {
    const std::size_t i = position(name);
    if (i == entries_.size()) return 0;
    erase(entries_.begin() + i);
    return 1;
}

FeatureMap::iterator FeatureMap::erase(const_iterator it) {
    // Order carries no meaning: move the last entry into the hole.
    const std::size_t i = static_cast<std::size_t>(it - entries_.cbegin());
    if (i + 1 != entries_.size()) entries_[i] = std::move(entries_.back());
    entries_.pop_back();
    slots_.clear();
    return entries_.begin() + i;
}

void FeatureMap::clear() {
    entries_.clear();
    slots_.clear();
}

bool FeatureMap::operator==(const FeatureMap& other) const {
    if (size() != other.size()) return false;
    for (const auto& [name, value] : entries_) {
        auto it = other.find(name);
        if (it == other.end() || !(it->second == value)) return false;
    }
    return true;
}

}  // namespace quelb
