#pragma once
// What the split attempts of the trees share: the order of the candidate features, and the
// race of their merits.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/feature_index.hpp"

namespace quelb {

// The slots 0 .. n - 1 of a leaf whose slot s holds feature column slot_columns[s], in ascending
// byte order of the features' names: the order in which equal merits are settled.
inline void slots_by_name(std::vector<std::uint32_t>& slots, const std::vector<std::uint32_t>& slot_columns,
                          const FeatureIndex& index) {
    slots.resize(slot_columns.size());
    for (std::uint32_t s = 0; s < slots.size(); ++s) slots[s] = s;
    std::sort(slots.begin(), slots.end(), [&](std::uint32_t a, std::uint32_t b) {
        return index.name(slot_columns[a]) < index.name(slot_columns[b]);
    });
}

// The best and the second-best merit among the candidates of a split attempt, with what the best
// candidate would do. A tie keeps the candidate offered first; a NaN merit never counts.
template <class Choice>
struct SplitLeaders {
    double best;
    double second;
    Choice choice{};
    bool have_best = false;

    SplitLeaders(double best_floor, double second_floor) : best(best_floor), second(second_floor) {}

    void offer(double merit, const Choice& candidate) {
        if (merit > best) {
            second = std::max(second, best);
            best = merit;
            choice = candidate;
            have_best = true;
        } else if (merit > second) {
            second = merit;
        }
    }
};

}  // namespace quelb
