#pragma once
// One registration function per class; module.cpp calls them in the module's fixed class order.
#include <pybind11/pybind11.h>

namespace quelb::bindings {

// linear.cpp
void register_naive_bayes(pybind11::module_& m);

// preprocessing.cpp
void register_standard_scaler(pybind11::module_& m);
void register_min_max_scaler(pybind11::module_& m);
void register_max_abs_scaler(pybind11::module_& m);
void register_variance_threshold(pybind11::module_& m);
void register_select_k_best(pybind11::module_& m);

// pipeline.cpp
void register_classification_pipeline(pybind11::module_& m);
void register_regression_pipeline(pybind11::module_& m);

// metrics.cpp
void register_accuracy(pybind11::module_& m);
void register_macro_precision(pybind11::module_& m);
void register_macro_recall(pybind11::module_& m);
void register_macro_f1(pybind11::module_& m);

}  // namespace quelb::bindings
