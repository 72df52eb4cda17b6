#include "ensembles/member_trees.hpp"

#include <utility>

#include "core/options.hpp"
#include "core/state.hpp"
#include "ensembles/forest_options.hpp"

namespace quelb {

namespace {

// The trees' own defaults, which the ensembles do not offer as options.
constexpr double kTieThreshold = 0.05;
constexpr double kRegressorSplitConfidence = 1e-07;

}  // namespace

std::unique_ptr<HoeffdingTreeClassifier> make_classifier_tree(int grace_period, double split_confidence,
                                                              int max_depth,
                                                              const std::shared_ptr<SampleColumns>& columns) {
    auto tree =
        std::make_unique<HoeffdingTreeClassifier>(member_tree_options(grace_period, split_confidence, max_depth));
    tree->share_columns(columns);
    return tree;
}

std::unique_ptr<HoeffdingTreeRegressor> ForestRegressorOptions::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    auto tree = std::make_unique<HoeffdingTreeRegressor>(regressor_tree_options(
        grace_period, kRegressorSplitConfidence, kTieThreshold, max_depth, learning_rate, split_criterion.mode()));
    tree->share_columns(columns);
    return tree;
}

std::unique_ptr<FIMTDDRegressor> make_fimtdd_tree(int grace_period, double split_confidence, int max_depth,
                                                  const std::string& leaf_prediction, int seed,
                                                  const std::shared_ptr<SampleColumns>& columns) {
    auto tree = std::make_unique<FIMTDDRegressor>(
        model_tree_options(grace_period, split_confidence, max_depth, leaf_prediction, seed));
    tree->share_columns(columns);
    return tree;
}

namespace {

template <class Options>
void check_against(StateReader& in, const Options& loaded, const Options& expected) {
    if (!same_saved_options(loaded, expected)) in.fail("a member tree's options are not those an ensemble gives");
}

}  // namespace

void check_member_tree(StateReader& in, const HoeffdingTreeClassifier& tree) {
    auto expected = member_tree_options(tree.grace_period, tree.split_confidence, tree.max_depth);
    expected.subspace_size = tree.subspace_size;
    check_against<HoeffdingTreeClassifier::Options>(in, tree, expected);
}

void check_member_tree(StateReader& in, const HoeffdingTreeRegressor& tree) {
    check_against<HoeffdingTreeRegressor::Options>(
        in, tree,
        regressor_tree_options(tree.grace_period, kRegressorSplitConfidence, kTieThreshold, tree.max_depth,
                               tree.learning_rate, tree.split_criterion.mode()));
}

void check_member_tree(StateReader& in, const FIMTDDRegressor& tree) {
    check_against<FIMTDDRegressor::Options>(
        in, tree,
        model_tree_options(tree.grace_period, tree.split_confidence, tree.max_depth, tree.leaf_prediction, tree.seed));
}

}  // namespace quelb
