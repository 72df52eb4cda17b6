#pragma once
// A Hoeffding tree classifier under its own name and defaults: information gain, split confidence
// 1e-05. Learning, split attempts, leaf answers and reset are the base tree's; splits once made
// are never revisited.
#include "trees/hoeffding_tree_classifier.hpp"

namespace quelb {

// The base tree's options; its own default split confidence, and no split criterion argument.
struct EFDTClassifierOptions : HoeffdingTreeClassifierOptions {
    EFDTClassifierOptions() { split_confidence = 1e-05; }

    static constexpr auto fields() {
        using O = HoeffdingTreeClassifierOptions;
        return std::tuple_cat(hoeffding_bound_fields(kArgument),
                              std::make_tuple(option("nb_threshold", &O::nb_threshold, kArgument,
                                                     "samples a leaf sees before it may answer by naive Bayes"),
                                              option("max_depth", &O::max_depth, kArgument,
                                                     "depth at which leaves stop splitting"),
                                              option("max_bytes", &O::max_bytes,
                                                     kArgument | kKeywordOnly | kProperty | kUnsaved | kShownWhenSet,
                                                     check_max_bytes, kMaxBytesHelp)));
    }
};

class EFDTClassifier : public HoeffdingTreeClassifier {
public:
    using Options = EFDTClassifierOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit EFDTClassifier(const Options& options = {}) : HoeffdingTreeClassifier(options) {}
};

}  // namespace quelb
