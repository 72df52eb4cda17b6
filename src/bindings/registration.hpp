#pragma once
// One registration function per class; module.cpp calls them in the module's fixed class order.
#include <pybind11/pybind11.h>

namespace quelb::bindings {

// linear.cpp
void register_naive_bayes(pybind11::module_& m);
void register_perceptron(pybind11::module_& m);
void register_logistic_regression(pybind11::module_& m);
void register_passive_aggressive_classifier(pybind11::module_& m);
void register_softmax_regression(pybind11::module_& m);
void register_linear_regression(pybind11::module_& m);
void register_bayesian_linear_regression(pybind11::module_& m);
void register_passive_aggressive_regressor(pybind11::module_& m);

// neighbors.cpp
void register_knn_classifier(pybind11::module_& m);
void register_knn_regressor(pybind11::module_& m);

// trees.cpp
void register_hoeffding_tree_classifier(pybind11::module_& m);
void register_hoeffding_tree_regressor(pybind11::module_& m);
void register_efdt_classifier(pybind11::module_& m);
void register_hoeffding_adaptive_tree_classifier(pybind11::module_& m);
void register_sgt_classifier(pybind11::module_& m);
void register_fimtdd_regressor(pybind11::module_& m);

// ensembles.cpp
void register_arf_classifier(pybind11::module_& m);
void register_arf_regressor(pybind11::module_& m);
void register_srp_classifier(pybind11::module_& m);
void register_srp_regressor(pybind11::module_& m);
void register_leveraging_bagging_classifier(pybind11::module_& m);
void register_leveraging_bagging_regressor(pybind11::module_& m);
void register_sgbt_classifier(pybind11::module_& m);
void register_sgbr_regressor(pybind11::module_& m);

// preprocessing.cpp
void register_standard_scaler(pybind11::module_& m);
void register_min_max_scaler(pybind11::module_& m);
void register_max_abs_scaler(pybind11::module_& m);
void register_variance_threshold(pybind11::module_& m);
void register_select_k_best(pybind11::module_& m);
void register_one_hot_encoder(pybind11::module_& m);
void register_ordinal_encoder(pybind11::module_& m);

// pipeline.cpp
void register_classification_pipeline(pybind11::module_& m);
void register_regression_pipeline(pybind11::module_& m);
void register_anomaly_pipeline(pybind11::module_& m);

// metrics.cpp
void register_accuracy(pybind11::module_& m);
void register_macro_precision(pybind11::module_& m);
void register_macro_recall(pybind11::module_& m);
void register_macro_f1(pybind11::module_& m);
void register_mae(pybind11::module_& m);
void register_rmse(pybind11::module_& m);
void register_r2(pybind11::module_& m);
void register_window_metric(pybind11::module_& m);
void register_window_regression_metric(pybind11::module_& m);
void register_roc_auc(pybind11::module_& m);
void register_window_roc_auc(pybind11::module_& m);

// anomaly.cpp
void register_half_space_trees(pybind11::module_& m);

// drift.cpp
void register_adwin(pybind11::module_& m);
void register_eddm(pybind11::module_& m);
void register_ddm(pybind11::module_& m);
void register_hddm_a(pybind11::module_& m);
void register_hddm_w(pybind11::module_& m);
void register_page_hinkley(pybind11::module_& m);
void register_kswin(pybind11::module_& m);

}  // namespace quelb::bindings
