#pragma once
// Weights over the columns of a FeatureIndex. A column never written has no weight at all: it
// contributes nothing to a dot product, which is not the same as a stored 0 (0 · inf is NaN).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/feature_index.hpp"
#include "core/state.hpp"

namespace quelb {

class SparseWeights {
public:
    bool has(std::uint32_t column) const { return column < present_.size() && present_[column]; }
    // The weight of column, 0 when it has none.
    double get(std::uint32_t column) const { return has(column) ? values_[column] : 0.0; }

    // start + Σ weight · value over the entries of x that have a weight, in x's order.
    double dot(const IndexedSample& x, double start) const {
        double sum = start;
        const std::size_t n = present_.size();
        for (const auto& [column, value] : x) {
            if (column < n && present_[column]) sum += values_[column] * value;
        }
        return sum;
    }

    // Makes room for columns [0, n_columns); call before set().
    void grow(std::uint32_t n_columns) {
        if (present_.size() < n_columns) {
            values_.resize(n_columns, 0.0);
            present_.resize(n_columns, 0);
        }
    }
    void set(std::uint32_t column, double weight) {
        values_[column] = weight;
        present_[column] = 1;
    }

    // For every entry of x in order: weight ← update(current weight, or 0 when none, value).
    template <class Update>
    void update(const IndexedSample& x, std::uint32_t n_columns, Update update) {
        grow(n_columns);
        for (const auto& [column, value] : x) set(column, update(values_[column], value));
    }

    // (name, weight) of every column with a weight, by column (inspection).
    std::vector<std::pair<std::string, double>> named(const FeatureIndex& names) const {
        std::vector<std::pair<std::string, double>> out;
        for (std::size_t c = 0; c < values_.size(); ++c) {
            if (present_[c]) out.emplace_back(names.name(static_cast<std::uint32_t>(c)), values_[c]);
        }
        return out;
    }

    void clear() {
        values_.clear();
        present_.clear();
    }

    void save_state(StateWriter& out) const {
        out.size(values_.size());
        for (std::size_t c = 0; c < values_.size(); ++c) {
            out.boolean(present_[c] != 0);
            out.f64(values_[c]);
        }
    }
    void load_state(StateReader& in) {
        const std::size_t n = in.size(9);
        values_.resize(n);
        present_.resize(n);
        for (std::size_t c = 0; c < n; ++c) {
            present_[c] = in.boolean() ? 1 : 0;
            values_[c] = in.f64();
        }
    }

    std::size_t heap_bytes() const { return memory::owned_all(values_, present_); }

private:
    std::vector<double> values_;  // 0 where a column has no weight
    std::vector<unsigned char> present_;
};

// Σ value² over a sample, in its order (0 for an empty sample).
inline double squared_norm(const IndexedSample& x) {
    double sum = 0.0;
    for (const auto& entry : x) sum += entry.value * entry.value;
    return sum;
}

}  // namespace quelb
