// Registration of the metrics: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "metrics/classification.hpp"
#include "metrics/regression.hpp"
#include "metrics/roc_auc.hpp"
#include "metrics/window.hpp"

namespace quelb::bindings {

namespace py = pybind11;

namespace {

// update(y_true, y_pred), get(), reset(); Value is the type of the two arguments.
template <class Metric, class Value>
void bind_pair_metric(py::module_& m, const char* name) {
    py::class_<Metric> cls(m, name);
    cls.def(py::init<>())
        .def("update", [](Metric& self, Value y_true, Value y_pred) { self.update(y_true, y_pred); })
        .def("get", [](const Metric& self) { return self.get(); })
        .def("reset", [](Metric& self) { self.reset(); });
    def_pickle(cls, name);
}

}  // namespace

void register_accuracy(py::module_& m) { bind_pair_metric<Accuracy, Label>(m, "Accuracy"); }
void register_macro_precision(py::module_& m) { bind_pair_metric<MacroPrecision, Label>(m, "MacroPrecision"); }
void register_macro_recall(py::module_& m) { bind_pair_metric<MacroRecall, Label>(m, "MacroRecall"); }
void register_macro_f1(py::module_& m) { bind_pair_metric<MacroF1, Label>(m, "MacroF1"); }
void register_mae(py::module_& m) { bind_pair_metric<MAE, double>(m, "MAE"); }
void register_rmse(py::module_& m) { bind_pair_metric<RMSE, double>(m, "RMSE"); }
void register_r2(py::module_& m) { bind_pair_metric<R2, double>(m, "R2"); }

void register_window_metric(py::module_& m) {
    py::class_<WindowMetric> cls(m, "WindowMetric");
    cls.def(py::init<std::int32_t>(), py::arg("window_size") = 1000)
        .def("update", &WindowMetric::update, py::arg("predicted"), py::arg("actual"))
        .def("get", &WindowMetric::get, py::arg("metric") = 0)
        .def("accuracy", &WindowMetric::accuracy)
        .def("macro_f1", &WindowMetric::macro_f1)
        .def("reset", &WindowMetric::reset)
        .def("size", &WindowMetric::size);
    def_pickle(cls, "WindowMetric");
}

void register_window_regression_metric(py::module_& m) {
    py::class_<WindowRegressionMetric> cls(m, "WindowRegressionMetric");
    cls.def(py::init<std::int32_t>(), py::arg("window_size") = 1000)
        .def("update", &WindowRegressionMetric::update, py::arg("y_true"), py::arg("y_pred"))
        .def("get", &WindowRegressionMetric::get, py::arg("metric") = 0)
        .def("mae", &WindowRegressionMetric::mae)
        .def("rmse", &WindowRegressionMetric::rmse)
        .def("reset", &WindowRegressionMetric::reset)
        .def("size", &WindowRegressionMetric::size);
    def_pickle(cls, "WindowRegressionMetric");
}

void register_roc_auc(py::module_& m) {
    py::class_<ROCAUC> cls(m, "ROCAUC");
    cls.def(py::init<>())
        .def("update", [](ROCAUC& self, Label y_true, double score) { self.update(y_true, score); })
        .def("get", &ROCAUC::get)
        .def("reset", &ROCAUC::reset);
    def_pickle(cls, "ROCAUC");
}

void register_window_roc_auc(py::module_& m) {
    py::class_<WindowROCAUC> cls(m, "WindowROCAUC");
    cls.def(py::init<std::int32_t>(), py::arg("window_size") = 1000)
        .def("update", &WindowROCAUC::update, py::arg("y_true"), py::arg("score"))
        .def("get", &WindowROCAUC::get)
        .def("reset", &WindowROCAUC::reset)
        .def("size", &WindowROCAUC::size);
    def_pickle(cls, "WindowROCAUC");
}

}  // namespace quelb::bindings
