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
                              std::make_tuple(nb_threshold_field(), max_depth_field(kArgument),
                                              max_bytes_option(&O::max_bytes)));
    }
};

class EFDTClassifier : public HoeffdingTreeClassifier {
public:
    using Options = EFDTClassifierOptions;
    // Throws std::invalid_argument when an option is refused.
    explicit EFDTClassifier(const Options& options = {}) : HoeffdingTreeClassifier(options) {}
};

}  // namespace quelb
