#pragma once
// The options the random forests and random patches ensembles start their constructors with.
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

#include "core/hoeffding.hpp"
#include "ensembles/ensemble_options.hpp"
#include "ensembles/member_state.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb {

// The options the random forests and random patches ensembles share, first in their
// constructors. n_models takes effect at the next reset; the tree options when a tree is made.
struct ForestOptions : DriftAwareTreesOptions {
    ForestOptions() { drift_delta = 0.001; }

    double warning_delta = 0.01;

    static constexpr auto fields() {
        using O = ForestOptions;
        return std::tuple_cat(BaggingOptions::fields(),
                              std::make_tuple(drift_delta_field(),
                                              option("warning_delta", &O::warning_delta, kArgument,
                                                     "ADWIN delta of each member's warning detector"),
                                              option("grace_period", &O::grace_period, kArgument, grace_period_check,
                                                     "samples a member's leaf sees between splits (at least 1)"),
                                              max_depth_field()));
    }
};

struct ForestClassifierOptions : ForestOptions {
    double split_confidence = 0.01;

    static constexpr auto fields() {
        return std::tuple_cat(ForestOptions::fields(), std::make_tuple(option(
                                                           "split_confidence",
                                                           &ForestClassifierOptions::split_confidence, kArgument,
                                                           "split confidence of the members' trees")));
    }
};

static_assert(kCountedRegressionForestVersion > HoeffdingTreeRegressor::kStateVersion,
              "the forests' trees read the forests' format version");

// The regressors' trees learn their leaf models at learning_rate.
struct ForestRegressorOptions : ForestOptions {
    ForestRegressorOptions() { grace_period = 200; }

    double learning_rate = 0.01;
    // Keyword-only, last of the constructor's options: listed by each ensemble.
    SplitCriterionOption split_criterion = "mean_split";

    static constexpr auto fields() {
        return std::tuple_cat(ForestOptions::fields(), std::make_tuple(option(
                                                           "learning_rate", &ForestRegressorOptions::learning_rate,
                                                           kArgument, "step size of the members' leaf models")));
    }
    // A member tree with these options (the trees' defaults for the rest), reading `columns`.
    std::unique_ptr<HoeffdingTreeRegressor> make_tree(const std::shared_ptr<SampleColumns>& columns) const;

    static constexpr auto split_criterion_field() {
        return option("split_criterion", &ForestRegressorOptions::split_criterion,
                      kArgument | kKeywordOnly | kProperty,
                      "the trees' split criterion: 'mean_split' or 'variance_reduction'");
    }
};

}  // namespace quelb
