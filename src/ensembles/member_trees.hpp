#pragma once
// The trees the ensembles grow as members: each ensemble passes the options it has, the trees'
// defaults give the rest. Every tree reads the ensemble's shared `columns`. The forests of
// regression trees make theirs from their options whole (ForestRegressorOptions::make_tree).
#include <memory>
#include <string>

#include "core/sample_columns.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb {

std::unique_ptr<HoeffdingTreeClassifier> make_classifier_tree(int grace_period, double split_confidence,
                                                              int max_depth,
                                                              const std::shared_ptr<SampleColumns>& columns);

// The tree's generator starts from `seed`.
std::unique_ptr<FIMTDDRegressor> make_fimtdd_tree(int grace_period, double split_confidence, int max_depth,
                                                  const std::string& leaf_prediction, int seed,
                                                  const std::shared_ptr<SampleColumns>& columns);

// A loaded member tree's options: those its ensemble passes may be whatever the ensemble's options
// allow (and ARF's subspace size), the rest must be the trees' defaults as the functions above
// give them, or the state was not written by an ensemble (StateError).
void check_member_tree(StateReader& in, const HoeffdingTreeClassifier& tree);
void check_member_tree(StateReader& in, const HoeffdingTreeRegressor& tree);
void check_member_tree(StateReader& in, const FIMTDDRegressor& tree);

}  // namespace quelb
