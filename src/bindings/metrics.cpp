// Registration of the metrics: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "metrics/classification.hpp"

namespace quelb::bindings {

namespace py = pybind11;

namespace {

template <class Metric>
void bind_label_metric(py::module_& m, const char* name) {
    py::class_<Metric>(m, name)
        .def(py::init<>())
        .def("update", [](Metric& self, Label y_true, Label y_pred) { self.update(y_true, y_pred); })
        .def("get", [](const Metric& self) { return self.get(); })
        .def("reset", [](Metric& self) { self.reset(); });
}

}  // namespace

void register_accuracy(py::module_& m) { bind_label_metric<Accuracy>(m, "Accuracy"); }
void register_macro_precision(py::module_& m) { bind_label_metric<MacroPrecision>(m, "MacroPrecision"); }
void register_macro_recall(py::module_& m) { bind_label_metric<MacroRecall>(m, "MacroRecall"); }
void register_macro_f1(py::module_& m) { bind_label_metric<MacroF1>(m, "MacroF1"); }

}  // namespace quelb::bindings
