#pragma once
// A Hoeffding tree classifier under its own name and defaults: information gain, split confidence
// 1e-05. Learning, split attempts, leaf answers and reset are the base tree's; splits once made
// are never revisited.
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

class EFDTClassifier : public HoeffdingTreeClassifier {
public:
    // Throws std::invalid_argument when grace_period < 1.
    EFDTClassifier(int grace_period = 200, double split_confidence = 1e-05, double tie_threshold = 0.05,
                   int nb_threshold = 0, int max_depth = 20)
        : HoeffdingTreeClassifier(grace_period, split_confidence, tie_threshold, nb_threshold, max_depth,
                                  "info_gain") {}
};

}  // namespace quelb
