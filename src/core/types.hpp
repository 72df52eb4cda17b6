#pragma once
// Value types that cross the boundary between callers and every learner.
#include <cstdint>
#include <unordered_map>

#include "core/feature_map.hpp"

namespace quelb {

// A class label.
using Label = std::int32_t;

// Result of predict_proba_one: a probability per class label.
using ClassProbabilities = std::unordered_map<Label, double>;

// Empties a hash container into the state of a new one. clear() keeps the bucket array, and a
// hash map's iteration order follows its buckets: a reset object that sums over its map would
// then round differently from a new object fed the same stream.
template <class HashContainer>
void clear_as_new(HashContainer& container) {
    HashContainer().swap(container);
}

}  // namespace quelb
