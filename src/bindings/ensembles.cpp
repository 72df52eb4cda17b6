// Registration of the tree ensembles.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "ensembles/arf_classifier.hpp"
#include "ensembles/arf_regressor.hpp"

namespace quelb::bindings {

void register_arf_classifier(py::module_& m) {
    using T = ARFClassifier;
    bind_classifier<T>(m, "ARFClassifier")
        .def(py::init<int, int, double, double, double, int, int, double, int>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.001,
             py::arg("warning_delta") = 0.01, py::arg("grace_period") = 50, py::arg("max_depth") = 20,
             py::arg("split_confidence") = 0.01, py::arg("subspace_size") = -1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

void register_arf_regressor(py::module_& m) {
    using T = ARFRegressor;
    bind_regressor<T>(m, "ARFRegressor")
        .def(py::init<int, int, double, double, double, int, int, double>(), py::arg("n_models") = 10,
             py::arg("seed") = 0, py::arg("lambda_value") = 6.0, py::arg("drift_delta") = 0.001,
             py::arg("warning_delta") = 0.01, py::arg("grace_period") = 200, py::arg("max_depth") = 20,
             py::arg("learning_rate") = 0.01)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

}  // namespace quelb::bindings
