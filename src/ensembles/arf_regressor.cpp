#include "ensembles/arf_regressor.hpp"

#include <algorithm>
#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_trees.hpp"

namespace quelb {

std::size_t ARFRegressor::subset_size(std::size_t n) {
    const auto m = static_cast<std::size_t>(std::round(std::sqrt(static_cast<double>(n))));
    return std::max<std::size_t>(m, 1);
}

void ARFRegressor::learn_one(const FeatureMap& x, double y) {
    // A target that is not a number (or infinite) is skipped whole: the trees could not learn it
    // and its error would poison the detectors for good.
    if (!std::isfinite(y)) return;
    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        // The generator serves the member's subset draw first, then its Poisson weight. Nothing
        // else consumes it, so drawing the weight before the tree's test-then-train changes nothing.
        Member& member = members_[i];
        if (!member.features.chosen()) member.features.draw(*features_, rng_, subset_size(x.size()));
        learn_member(i, features_, y, poisson(rng_), 0, nullptr);
    }
}

void ARFRegressor::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                                std::size_t, const double*) {
    members_[i].learn_loaded(*columns, y, times, [&](NewModel) { return make_tree(columns); });
    members_[i].trees.share_budget(member_budget(members_.size()));
}

bool ARFRegressor::ready_for_parallel_rows() const {
    // Past every member's subset draw, the generator gives nothing but learning weights.
    return std::all_of(members_.begin(), members_.end(), [](const Member& m) { return m.features.chosen(); });
}

bool ARFRegressor::draw_weights(double y, std::size_t, int* weights) {
    if (!std::isfinite(y)) return false;  // as learn_one: the row is skipped whole
    draw_poisson_weights(lambda_value, weights);
    return true;
}

}  // namespace quelb
