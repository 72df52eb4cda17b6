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

}  // namespace quelb
