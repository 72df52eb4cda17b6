// Registration of the transformers: scalers and feature selectors.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "preprocessing/scalers.hpp"
#include "preprocessing/selectors.hpp"

namespace quelb::bindings {

void register_standard_scaler(py::module_& m) {
    bind_transformer<StandardScaler>(m, "StandardScaler")
        .def(py::init<bool>(), py::arg("with_std") = true)
        .def_readwrite("with_std", &StandardScaler::with_std);
}

void register_min_max_scaler(py::module_& m) { bind_transformer<MinMaxScaler>(m, "MinMaxScaler").def(py::init<>()); }

void register_max_abs_scaler(py::module_& m) { bind_transformer<MaxAbsScaler>(m, "MaxAbsScaler").def(py::init<>()); }

void register_variance_threshold(py::module_& m) {
    bind_transformer<VarianceThreshold>(m, "VarianceThreshold")
        .def(py::init<double, std::int32_t>(), py::arg("threshold") = 0.0, py::arg("min_samples") = 2)
        .def_readwrite("threshold", &VarianceThreshold::threshold)
        .def_readwrite("min_samples", &VarianceThreshold::min_samples);
}

void register_select_k_best(py::module_& m) {
    bind_transformer<SelectKBest, true>(m, "SelectKBest")
        .def(py::init<std::int32_t, bool>(), py::arg("k") = 10, py::arg("use_abs") = false)
        .def_readwrite("k", &SelectKBest::k)
        .def_readwrite("use_abs", &SelectKBest::use_abs)
        .def("set_feature_order", [](SelectKBest& self, const std::vector<std::string>& order) {
            static_cast<ITransformer&>(self).set_feature_order(order);
        });
}

}  // namespace quelb::bindings
