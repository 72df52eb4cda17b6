#pragma once
// Combining members' class distributions: each is normalised by its own total and scaled by the
// member's weight, the sums are normalised at the end. Labels keep the order in which a member
// first contributed them; that order breaks ties in argmax and orders the returned map.
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace quelb {

class ProbabilityVote {
public:
    void clear() {
        votes_.clear();
        sum_ = 0.0;
    }

    // Adds one member's distribution; skipped when its total or the weight is not positive.
    void add(const std::vector<std::pair<Label, double>>& proba, double weight);

    // Divides every vote by their sum when it is positive.
    void normalise();

    ClassProbabilities to_map() const;

    // The label with the strictly greatest vote, first in order on ties; 0 without votes.
    Label argmax() const;

    std::size_t heap_bytes() const { return memory::owned(votes_); }

private:
    std::vector<std::pair<Label, double>> votes_;
    double sum_ = 0.0;
};

}  // namespace quelb
