// Registration of the transformers: scalers and feature selectors.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "preprocessing/scalers.hpp"
#include "preprocessing/selectors.hpp"

namespace quelb::bindings {

void register_standard_scaler(py::module_& m) {
    auto cls = bind_transformer<StandardScaler>(m, "StandardScaler");
    cls.def(py::init<bool>(), py::arg("with_std") = true).def_readwrite("with_std", &StandardScaler::with_std);
    def_pickle(cls, "StandardScaler");
}

void register_min_max_scaler(py::module_& m) {
    auto cls = bind_transformer<MinMaxScaler>(m, "MinMaxScaler");
    cls.def(py::init<>());
    def_pickle(cls, "MinMaxScaler");
}

void register_max_abs_scaler(py::module_& m) {
    auto cls = bind_transformer<MaxAbsScaler>(m, "MaxAbsScaler");
    cls.def(py::init<>());
    def_pickle(cls, "MaxAbsScaler");
}

void register_variance_threshold(py::module_& m) {
    auto cls = bind_transformer<VarianceThreshold>(m, "VarianceThreshold");
    cls.def(py::init<double, std::int32_t>(), py::arg("threshold") = 0.0, py::arg("min_samples") = 2)
        .def_readwrite("threshold", &VarianceThreshold::threshold)
        .def_readwrite("min_samples", &VarianceThreshold::min_samples);
    def_pickle(cls, "VarianceThreshold");
}

void register_select_k_best(py::module_& m) {
    auto cls = bind_transformer<SelectKBest, true>(m, "SelectKBest");
    cls.def(py::init<std::int32_t, bool>(), py::arg("k") = 10, py::arg("use_abs") = false)
        .def_readwrite("k", &SelectKBest::k)
        .def_readwrite("use_abs", &SelectKBest::use_abs)
        .def("set_feature_order", [](SelectKBest& self, const std::vector<std::string>& order) {
            static_cast<ITransformer&>(self).set_feature_order(order);
        });
    def_pickle(cls, "SelectKBest");
}

}  // namespace quelb::bindings
