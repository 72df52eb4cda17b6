// The module entry: registers the contracts, then every class in its fixed order.
#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include <memory>

#include "core/contracts.hpp"
#include "core/mixed_sample.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_quelb_core, m) {
    // The binding library's entry has already compared the interpreter version with the one
    // this module was compiled for and refused the import on a mismatch.
    m.doc() = "QUELB C++ core \u2014 streaming learners, preprocessing, metrics, drift, pipelines";

    // A value of the wrong kind found past the conversion (a category no encoder takes) is a
    // TypeError like any other; names in the message may hold bytes that are not UTF-8.
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const quelb::SampleTypeError& e) {
            const std::string text = e.what();
            PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
            if (message) {
                PyErr_SetObject(PyExc_TypeError, message);
                Py_DECREF(message);
            }
        }
    });

    py::class_<quelb::ITransformer, std::shared_ptr<quelb::ITransformer>>(m, "ITransformer");
    py::class_<quelb::IClassifier, std::shared_ptr<quelb::IClassifier>>(m, "IClassifier");
    py::class_<quelb::IRegressor, std::shared_ptr<quelb::IRegressor>>(m, "IRegressor");
    py::class_<quelb::IAnomalyDetector, std::shared_ptr<quelb::IAnomalyDetector>>(m, "IAnomalyDetector");

    using namespace quelb::bindings;
    register_naive_bayes(m);
    register_perceptron(m);
    register_logistic_regression(m);
    register_passive_aggressive_classifier(m);
    register_softmax_regression(m);
    register_knn_classifier(m);
    register_hoeffding_tree_classifier(m);
    register_efdt_classifier(m);
    register_sgt_classifier(m);
    register_arf_classifier(m);
    register_srp_classifier(m);
    register_leveraging_bagging_classifier(m);
    register_hoeffding_adaptive_tree_classifier(m);
    register_linear_regression(m);
    register_bayesian_linear_regression(m);
    register_passive_aggressive_regressor(m);
    register_knn_regressor(m);
    register_hoeffding_tree_regressor(m);
    register_arf_regressor(m);
    register_srp_regressor(m);
    register_fimtdd_regressor(m);
    register_leveraging_bagging_regressor(m);
    register_sgbt_classifier(m);
    register_sgbr_regressor(m);
    register_standard_scaler(m);
    register_min_max_scaler(m);
    register_max_abs_scaler(m);
    register_variance_threshold(m);
    register_select_k_best(m);
    register_one_hot_encoder(m);
    register_ordinal_encoder(m);
    register_classification_pipeline(m);
    register_regression_pipeline(m);
    register_accuracy(m);
    register_macro_precision(m);
    register_macro_recall(m);
    register_macro_f1(m);
    register_mae(m);
    register_rmse(m);
    register_window_metric(m);
    register_window_regression_metric(m);
    register_r2(m);
    register_adwin(m);
    register_eddm(m);
    register_ddm(m);
    register_hddm_a(m);
    register_hddm_w(m);
    register_page_hinkley(m);
    register_kswin(m);
    register_roc_auc(m);
    register_window_roc_auc(m);
    register_half_space_trees(m);
    register_anomaly_pipeline(m);
}
