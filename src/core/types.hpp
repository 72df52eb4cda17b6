#pragma once
// Value types that cross the boundary between callers and every learner.
#include <cstdint>
#include <string>
#include <unordered_map>

namespace quelb {

// One sample: feature name (UTF-8 bytes) to value. A missing name is a missing feature.
using FeatureMap = std::unordered_map<std::string, double>;

// A class label.
using Label = std::int32_t;

// Result of predict_proba_one: a probability per class label.
using ClassProbabilities = std::unordered_map<Label, double>;

}  // namespace quelb
