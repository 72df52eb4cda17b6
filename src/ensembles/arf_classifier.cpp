#include "ensembles/arf_classifier.hpp"

#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_trees.hpp"

namespace quelb {

namespace {

// Tree seeds per occasion, in 32-bit wrap-around arithmetic.
constexpr std::uint32_t kFirstTreeStep = 1000;
constexpr std::uint32_t kBackgroundStep = 7919;
constexpr std::uint32_t kReplacementStep = 104729;

std::uint32_t tree_seed(int seed, std::uint32_t step, std::size_t member, double n_seen) {
    const auto c = static_cast<std::uint32_t>(static_cast<std::int64_t>(n_seen));
    return static_cast<std::uint32_t>(seed) + step * static_cast<std::uint32_t>(member + 1) + c;
}

}  // namespace

std::unique_ptr<HoeffdingTreeClassifier> ARFClassifier::make_tree(
    std::uint32_t tree_seed, std::size_t n_features, const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = make_classifier_tree(grace_period, split_confidence, max_depth, columns);
    const long long k = subspace_size >= 0
                            ? subspace_size
                            : static_cast<long long>(std::sqrt(static_cast<double>(n_features))) + 1;
    if (k > 0 && k < static_cast<long long>(n_features)) {
        tree->subspace_size = static_cast<int>(k);
        tree->reseed(tree_seed);
    }
    return tree;
}

void ARFClassifier::learn_one(const FeatureMap& x, Label y) {
    const PoissonDraw poisson(lambda_value);
    features_->load(x, true);
    // Only the Poisson draws consume the forest's generator, so drawing before the tree's
    // test-then-train changes nothing.
    for (std::size_t i = 0; i < members_.size(); ++i) learn_member(i, features_, y, poisson(rng_));
}

void ARFClassifier::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times) {
    Member& member = members_[i];
    // A loaded sample has a column for each of its features.
    const std::size_t n_features = columns->loaded().size();
    if (!member.trees.model)
        member.trees.model = make_tree(tree_seed(seed, kFirstTreeStep, i, 0.0), n_features, columns);
    member.learn_loaded(*columns, y, times, [&](NewModel what) {
        const std::uint32_t step = what == NewModel::background ? kBackgroundStep : kReplacementStep;
        return make_tree(tree_seed(seed, step, i, member.n_seen), n_features, columns);
    });
    member.trees.share_budget(member_budget(members_.size()));
}

}  // namespace quelb
