#include "metrics/classification.hpp"

namespace quelb {

void MacroCounts::update(Label y_true, Label y_pred) {
    ClassCounts& truth = label_counts_[y_true];
    if (y_true == y_pred) {
        ++truth.tp;
        return;
    }
    // Looked up after truth's reference is taken: unordered_map references survive rehashing.
    ClassCounts& predicted = label_counts_[y_pred];
    ++predicted.fp;
    ++truth.fn;
}

}  // namespace quelb
