// Registration of the metrics: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "metrics/classification.hpp"
#include "metrics/regression.hpp"

namespace quelb::bindings {

namespace py = pybind11;

namespace {

// update(y_true, y_pred), get(), reset(); Value is the type of the two arguments.
template <class Metric, class Value>
void bind_pair_metric(py::module_& m, const char* name) {
    py::class_<Metric>(m, name)
        .def(py::init<>())
        .def("update", [](Metric& self, Value y_true, Value y_pred) { self.update(y_true, y_pred); })
        .def("get", [](const Metric& self) { return self.get(); })
        .def("reset", [](Metric& self) { self.reset(); });
}

}  // namespace

void register_accuracy(py::module_& m) { bind_pair_metric<Accuracy, Label>(m, "Accuracy"); }
void register_macro_precision(py::module_& m) { bind_pair_metric<MacroPrecision, Label>(m, "MacroPrecision"); }
void register_macro_recall(py::module_& m) { bind_pair_metric<MacroRecall, Label>(m, "MacroRecall"); }
void register_macro_f1(py::module_& m) { bind_pair_metric<MacroF1, Label>(m, "MacroF1"); }
void register_mae(py::module_& m) { bind_pair_metric<MAE, double>(m, "MAE"); }
void register_rmse(py::module_& m) { bind_pair_metric<RMSE, double>(m, "RMSE"); }
void register_r2(py::module_& m) { bind_pair_metric<R2, double>(m, "R2"); }

}  // namespace quelb::bindings
