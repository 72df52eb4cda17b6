#include "core/column_slots.hpp"

#include <algorithm>

namespace quelb {

void ColumnSlots::reserve(std::size_t n) {
    std::size_t capacity = 8;
    while (capacity < 2 * n) capacity *= 2;
    if (capacity <= cells_.size()) return;
    std::vector<Cell> old(capacity);
    old.swap(cells_);
    size_ = 0;
    for (const Cell& cell : old) {
        if (cell.key != 0) insert(cell.key - 1, cell.slot);
    }
}

void ColumnSlots::insert(std::uint32_t column, std::uint32_t slot) {
    if (2 * (size_ + 1) > cells_.size()) reserve(std::max<std::size_t>(4, 2 * size_ + 1));
    const std::size_t mask = cells_.size() - 1;
    std::size_t i = home(column);
    while (cells_[i].key != 0) i = (i + 1) & mask;
    cells_[i] = {column + 1, slot};
    ++size_;
}

}  // namespace quelb
