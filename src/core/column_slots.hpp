#pragma once
// ColumnSlots: the slot a tree leaf keeps for each feature column it has seen. Leaves hold their
// per-feature state in dense arrays indexed by slot, and this small open-addressing table (linear
// probing, at most half full) finds a column's slot without hashing a name: a leaf that sees a
// few of many columns pays only for those it sees.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/memory.hpp"

namespace quelb {

class ColumnSlots {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // The slot of a column, or kNone.
    std::uint32_t find(std::uint32_t column) const {
        if (cells_.empty()) return kNone;
        const std::size_t mask = cells_.size() - 1;
        for (std::size_t i = home(column);; i = (i + 1) & mask) {
            if (cells_[i].key == column + 1) return cells_[i].slot;
            if (cells_[i].key == 0) return kNone;
        }
    }
    void insert(std::uint32_t column, std::uint32_t slot);  // column must be absent
    // Room for n columns without growing.
    void reserve(std::size_t n);
    std::size_t heap_bytes() const { return memory::owned(cells_); }
    // What a table that made room for n columns with reserve(n) takes.
    static std::size_t bytes_for(std::size_t n) {
        if (n == 0) return 0;
        std::size_t capacity = 8;
        while (capacity < 2 * n) capacity *= 2;
        return memory::block(capacity * sizeof(Cell));
    }

private:
    struct Cell {
        std::uint32_t key = 0;  // column + 1; 0 = empty
        std::uint32_t slot = 0;
    };
    std::size_t home(std::uint32_t column) const { return (column * 2654435769u) & (cells_.size() - 1); }
    std::vector<Cell> cells_;
    std::size_t size_ = 0;
};

}  // namespace quelb
