// Registration of the tree ensembles.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <string>

#include "ensembles/arf_classifier.hpp"
#include "ensembles/arf_regressor.hpp"
#include "ensembles/gradient_boosting.hpp"
#include "ensembles/leveraging_bagging.hpp"
#include "ensembles/random_patches.hpp"

namespace quelb::bindings {

void register_arf_classifier(py::module_& m) {
    using T = ARFClassifier;
    auto cls = bind_classifier<T>(m, "ARFClassifier");
    cls.def(py::init<int, int, double, double, double, int, int, double, int>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.001,
             py::arg("warning_delta") = 0.01, py::arg("grace_period") = 50, py::arg("max_depth") = 20,
             py::arg("split_confidence") = 0.01, py::arg("subspace_size") = -1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "ARFClassifier");
}

void register_arf_regressor(py::module_& m) {
    using T = ARFRegressor;
    auto cls = bind_regressor<T>(m, "ARFRegressor");
    cls.def(py::init([](int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                        int grace_period, int max_depth, double learning_rate, const std::string& split_criterion) {
                 return std::make_shared<T>(n_models, seed, lambda_value, drift_delta, warning_delta, grace_period,
                                            max_depth, learning_rate, parse_split_criterion(split_criterion));
             }),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 200,
             py::arg("max_depth") = 20, py::arg("learning_rate") = 0.01, py::kw_only(),
             py::arg("split_criterion") = "mean_split")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    // Like the other tree options, it reaches the trees made after a change.
    def_split_criterion(cls);
    def_pickle(cls, "ARFRegressor", HoeffdingTreeRegressor::kStateVersion);
}

void register_srp_classifier(py::module_& m) {
    using T = SRPClassifier;
    auto cls = bind_classifier<T>(m, "SRPClassifier");
    cls.def(py::init<int, int, double, double, double, int, int, double, double, std::string>(),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 50,
             py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01, py::arg("subspace_fraction") = 0.6,
             py::arg("training_method") = "patches")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "SRPClassifier");
}

void register_srp_regressor(py::module_& m) {
    using T = SRPRegressor;
    auto cls = bind_regressor<T>(m, "SRPRegressor");
    cls.def(py::init([](int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                        int grace_period, int max_depth, double learning_rate, double subspace_fraction,
                        std::string training_method, const std::string& split_criterion) {
                 return std::make_shared<T>(n_models, seed, lambda_value, drift_delta, warning_delta, grace_period,
                                            max_depth, learning_rate, subspace_fraction, std::move(training_method),
                                            parse_split_criterion(split_criterion));
             }),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 200,
             py::arg("max_depth") = 20, py::arg("learning_rate") = 0.01, py::arg("subspace_fraction") = 0.6,
             py::arg("training_method") = "patches", py::kw_only(), py::arg("split_criterion") = "mean_split")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    // Like the other tree options, it reaches the trees made after a change.
    def_split_criterion(cls);
    def_pickle(cls, "SRPRegressor", HoeffdingTreeRegressor::kStateVersion);
}

void register_leveraging_bagging_classifier(py::module_& m) {
    using T = LeveragingBaggingClassifier;
    auto cls = bind_classifier<T>(m, "LeveragingBaggingClassifier");
    cls.def(py::init<int, int, double, double, int, int, double>(), py::arg("n_models") = 10, py::arg("seed") = 0,
             py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50,
             py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "LeveragingBaggingClassifier");
}

void register_leveraging_bagging_regressor(py::module_& m) {
    using T = LeveragingBaggingRegressor;
    auto cls = bind_regressor<T>(m, "LeveragingBaggingRegressor");
    cls.def(py::init<int, int, double, double, int, int, double, std::string>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.002,
             py::arg("grace_period") = 50, py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01,
             py::arg("leaf_prediction") = "adaptive")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "LeveragingBaggingRegressor");
}

void register_sgbt_classifier(py::module_& m) {
    using T = SGBTClassifier;
    auto cls = bind_classifier<T>(m, "SGBTClassifier");
    cls.def(py::init<int, double, int, int, int, bool, int, int, bool, int, double, int, std::string, int>(),
             py::arg("n_models") = 100, py::arg("learning_rate") = 0.0125, py::arg("percentage_of_features") = 75,
             py::arg("multiply_hessian_by") = 1, py::arg("skip_training") = 1, py::arg("use_squared_loss") = false,
             py::arg("bag_size") = 1, py::arg("n_classes") = 0, py::arg("scale_prediction_by_lr") = false,
             py::arg("grace_period") = 25, py::arg("split_confidence") = 0.05, py::arg("max_depth") = 20,
             py::arg("leaf_prediction") = "mean", py::arg("seed") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("n_classes", &T::n_classes)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "SGBTClassifier");
}

void register_sgbr_regressor(py::module_& m) {
    using T = SGBRRegressor;
    auto cls = bind_regressor<T>(m, "SGBRRegressor");
    cls.def(py::init<int, double, int, int, int, int, int, double, int, std::string, int>(), py::arg("n_models") = 10,
             py::arg("learning_rate") = 1.0, py::arg("percentage_of_features") = 75,
             py::arg("multiply_hessian_by") = 1, py::arg("skip_training") = 1, py::arg("bag_size") = 10,
             py::arg("grace_period") = 50, py::arg("split_confidence") = 0.01, py::arg("max_depth") = 20,
             py::arg("leaf_prediction") = "mean", py::arg("seed") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "SGBRRegressor");
}

}  // namespace quelb::bindings
