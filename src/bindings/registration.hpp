#pragma once
// Every class of the module, in the module's fixed class order: a class is registered by one line
// here naming its register_<name> function, defined beside its binding in its family's file.
#include <pybind11/pybind11.h>

#define QUELB_CLASSES(X) \
    X(naive_bayes) \
    X(perceptron) \
    X(logistic_regression) \
    X(passive_aggressive_classifier) \
    X(softmax_regression) \
    X(knn_classifier) \
    X(hoeffding_tree_classifier) \
    X(efdt_classifier) \
    X(sgt_classifier) \
    X(arf_classifier) \
    X(srp_classifier) \
    X(leveraging_bagging_classifier) \
    X(hoeffding_adaptive_tree_classifier) \
    X(linear_regression) \
    X(bayesian_linear_regression) \
    X(passive_aggressive_regressor) \
    X(knn_regressor) \
    X(hoeffding_tree_regressor) \
    X(arf_regressor) \
    X(srp_regressor) \
    X(fimtdd_regressor) \
    X(leveraging_bagging_regressor) \
    X(sgbt_classifier) \
    X(sgbr_regressor) \
    X(standard_scaler) \
    X(min_max_scaler) \
    X(max_abs_scaler) \
    X(variance_threshold) \
    X(select_k_best) \
    X(one_hot_encoder) \
    X(ordinal_encoder) \
    X(classification_pipeline) \
    X(regression_pipeline) \
    X(accuracy) \
    X(macro_precision) \
    X(macro_recall) \
    X(macro_f1) \
    X(mae) \
    X(rmse) \
    X(window_metric) \
    X(window_regression_metric) \
    X(r2) \
    X(adwin) \
    X(eddm) \
    X(ddm) \
    X(hddm_a) \
    X(hddm_w) \
    X(page_hinkley) \
    X(kswin) \
    X(roc_auc) \
    X(window_roc_auc) \
    X(half_space_trees) \
    X(anomaly_pipeline)

namespace quelb::bindings {

#define QUELB_DECLARE_REGISTRATION(name) void register_##name(pybind11::module_& m);
QUELB_CLASSES(QUELB_DECLARE_REGISTRATION)
#undef QUELB_DECLARE_REGISTRATION

}  // namespace quelb::bindings
