// Registration of the tree ensembles.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <cstdint>
#include <string>

#include "ensembles/arf_classifier.hpp"
#include "ensembles/arf_regressor.hpp"
#include "ensembles/gradient_boosting.hpp"
#include "ensembles/leveraging_bagging.hpp"
#include "ensembles/random_patches.hpp"

namespace quelb::bindings {

int checked_n_threads(py::handle value) {
    // Ints outside 32 bits are refused as a wrong type, as for every int option; bool is an int
    // to Python, but True threads are a mistake.
    const char* type_error = "'n_threads' must be an int within the signed 32-bit range, not ";
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        throw py::type_error(type_error + std::string(Py_TYPE(value.ptr())->tp_name));
    const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || n < INT32_MIN || n > INT32_MAX)
        throw py::type_error(type_error + py::repr(number).cast<std::string>());
    if (n < 0)
        throw py::value_error("'n_threads' must be 0 (one thread per core) or a positive number of threads, not " +
                              std::to_string(n));
    return static_cast<int>(n);
}

void register_arf_classifier(py::module_& m) {
    using T = ARFClassifier;
    auto cls = bind_classifier<T>(m, "ARFClassifier");
    cls.def(init_with_threads<T, int, int, double, double, double, int, int, double, int>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.001,
             py::arg("warning_delta") = 0.01, py::arg("grace_period") = 50, py::arg("max_depth") = 20,
             py::arg("split_confidence") = 0.01, py::arg("subspace_size") = -1, py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "ARFClassifier");
}

void register_arf_regressor(py::module_& m) {
    using T = ARFRegressor;
    auto cls = bind_regressor<T>(m, "ARFRegressor");
    cls.def(py::init([](int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                        int grace_period, int max_depth, double learning_rate, const std::string& split_criterion, py::handle n_threads) {
                 const int threads = checked_n_threads(n_threads);
                 auto object = std::make_shared<T>(n_models, seed, lambda_value, drift_delta, warning_delta, grace_period,
                                            max_depth, learning_rate, parse_split_criterion(split_criterion));
                 object->threads.n_threads = threads;
                 return object;
             }),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 200,
             py::arg("max_depth") = 20, py::arg("learning_rate") = 0.01, py::kw_only(),
             py::arg("split_criterion") = "mean_split", py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    // Like the other tree options, it reaches the trees made after a change.
    def_split_criterion(cls);
    def_pickle_with_threads(cls, "ARFRegressor", HoeffdingTreeRegressor::kStateVersion);
}

void register_srp_classifier(py::module_& m) {
    using T = SRPClassifier;
    auto cls = bind_classifier<T>(m, "SRPClassifier");
    cls.def(init_with_threads<T, int, int, double, double, double, int, int, double, double, std::string>(),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 50,
             py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01, py::arg("subspace_fraction") = 0.6,
             py::arg("training_method") = "patches", py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "SRPClassifier");
}

void register_srp_regressor(py::module_& m) {
    using T = SRPRegressor;
    auto cls = bind_regressor<T>(m, "SRPRegressor");
    cls.def(py::init([](int n_models, int seed, double lambda_value, double drift_delta, double warning_delta,
                        int grace_period, int max_depth, double learning_rate, double subspace_fraction,
                        std::string training_method, const std::string& split_criterion, py::handle n_threads) {
                 const int threads = checked_n_threads(n_threads);
                 auto object = std::make_shared<T>(n_models, seed, lambda_value, drift_delta, warning_delta, grace_period,
                                            max_depth, learning_rate, subspace_fraction, std::move(training_method),
                                            parse_split_criterion(split_criterion));
                 object->threads.n_threads = threads;
                 return object;
             }),
             py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
             py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01, py::arg("grace_period") = 200,
             py::arg("max_depth") = 20, py::arg("learning_rate") = 0.01, py::arg("subspace_fraction") = 0.6,
             py::arg("training_method") = "patches", py::kw_only(), py::arg("split_criterion") = "mean_split", py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    // Like the other tree options, it reaches the trees made after a change.
    def_split_criterion(cls);
    def_pickle_with_threads(cls, "SRPRegressor", HoeffdingTreeRegressor::kStateVersion);
}

void register_leveraging_bagging_classifier(py::module_& m) {
    using T = LeveragingBaggingClassifier;
    auto cls = bind_classifier<T>(m, "LeveragingBaggingClassifier");
    cls.def(init_with_threads<T, int, int, double, double, int, int, double>(), py::arg("n_models") = 10,
             py::arg("seed") = 0,
             py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50,
             py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01, py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "LeveragingBaggingClassifier");
}

void register_leveraging_bagging_regressor(py::module_& m) {
    using T = LeveragingBaggingRegressor;
    auto cls = bind_regressor<T>(m, "LeveragingBaggingRegressor");
    cls.def(init_with_threads<T, int, int, double, double, int, int, double, std::string>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.002,
             py::arg("grace_period") = 50, py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01,
             py::arg("leaf_prediction") = "adaptive", py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "LeveragingBaggingRegressor");
}

void register_sgbt_classifier(py::module_& m) {
    using T = SGBTClassifier;
    auto cls = bind_classifier<T>(m, "SGBTClassifier");
    cls.def(init_with_threads<T, int, double, int, int, int, bool, int, int, bool, int, double, int, std::string,
                              int>(),
             py::arg("n_models") = 100, py::arg("learning_rate") = 0.0125, py::arg("percentage_of_features") = 75,
             py::arg("multiply_hessian_by") = 1, py::arg("skip_training") = 1, py::arg("use_squared_loss") = false,
             py::arg("bag_size") = 1, py::arg("n_classes") = 0, py::arg("scale_prediction_by_lr") = false,
             py::arg("grace_period") = 25, py::arg("split_confidence") = 0.05, py::arg("max_depth") = 20,
             py::arg("leaf_prediction") = "mean", py::arg("seed") = 1, py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("n_classes", &T::n_classes)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "SGBTClassifier");
}

void register_sgbr_regressor(py::module_& m) {
    using T = SGBRRegressor;
    auto cls = bind_regressor<T>(m, "SGBRRegressor");
    cls.def(init_with_threads<T, int, double, int, int, int, int, int, double, int, std::string, int>(),
             py::arg("n_models") = 10,
             py::arg("learning_rate") = 1.0, py::arg("percentage_of_features") = 75,
             py::arg("multiply_hessian_by") = 1, py::arg("skip_training") = 1, py::arg("bag_size") = 10,
             py::arg("grace_period") = 50, py::arg("split_confidence") = 0.01, py::arg("max_depth") = 20,
             py::arg("leaf_prediction") = "mean", py::arg("seed") = 1, py::kw_only(), py::arg("n_threads") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("seed", &T::seed);
    def_pickle_with_threads(cls, "SGBRRegressor");
}

}  // namespace quelb::bindings
