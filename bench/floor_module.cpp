// Benchmark-only extension: do-nothing calls that cost exactly one crossing of the boundary,
// the floor against which every learner's per-sample time is measured, and what the other
// benchmarks need to see inside a learner.
#include "bindings/casters.hpp"

namespace py = pybind11;

void register_stock_floor(py::module_& m);
void register_forest_nodes(py::module_& m);

namespace {
// Learners, metrics and detectors are called through methods: this do-nothing object crosses the
// boundary the same way, with the module's own conversion.
struct Floor {};
}  // namespace

PYBIND11_MODULE(_quelb_bench, m) {
    // Converts the sample with the module's own conversion and does nothing with it.
    m.def("convert", [](const quelb::FeatureMap& x) { return x.size(); });
    // The converted sample back as a dict, to compare conversions entry by entry.
    m.def("echo", [](const quelb::FeatureMap& x) { return x; });
    // The same, with a label as for a classifier's learn_one.
    m.def("convert_labelled", [](const quelb::FeatureMap& x, quelb::Label) { return x.size(); });
    // The same, with a float target as for a regressor's learn_one.
    m.def("convert_targeted", [](const quelb::FeatureMap& x, double) { return x.size(); });
    // Do-nothing calls with the arguments of the metrics' and detectors' update.
    m.def("labels", [](quelb::Label, quelb::Label) {});
    m.def("values", [](double, double) {});
    m.def("label", [](quelb::Label) {});
    m.def("value", [](double) {});
    m.def("label_value", [](quelb::Label, double) {});
    py::class_<Floor>(m, "Floor")
        .def(py::init<>())
        .def("convert", [](Floor&, const quelb::FeatureMap& x) { return x.size(); })
        .def("convert_labelled", [](Floor&, const quelb::FeatureMap& x, quelb::Label) { return x.size(); })
        .def("convert_targeted", [](Floor&, const quelb::FeatureMap& x, double) { return x.size(); })
        .def("labels", [](Floor&, quelb::Label, quelb::Label) {})
        .def("values", [](Floor&, double, double) {})
        .def("label", [](Floor&, quelb::Label) {})
        .def("value", [](Floor&, double) {})
        .def("label_value", [](Floor&, quelb::Label, double) {});
    register_stock_floor(m);
    register_forest_nodes(m);
}
