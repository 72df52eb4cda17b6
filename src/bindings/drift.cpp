// Registration of the drift detectors: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "drift/adwin.hpp"
#include "drift/eddm.hpp"

namespace quelb::bindings {

namespace py = pybind11;

void register_adwin(py::module_& m) {
    py::class_<ADWIN> cls(m, "ADWIN");
    guard_attribute_writes(cls);
    cls.def(py::init<double, int, int, int, int>(), py::arg("delta") = 0.002, py::arg("clock") = 32,
            py::arg("max_buckets") = 5, py::arg("min_window_length") = 5, py::arg("grace_period") = 10)
        .def("update", guarded_update<ADWIN, double>())
        .def("reset", guarded(&ADWIN::reset))
        .def_property_readonly("drift_detected", &ADWIN::drift_detected)
        .def_property_readonly("estimation", &ADWIN::estimation)
        .def_property_readonly("width", &ADWIN::width)
        .def_property_readonly("variance", &ADWIN::variance)
        .def_readwrite("delta", &ADWIN::delta);
    def_detector_update_many<double, false>(cls);
    def_pickle(cls, "ADWIN");
}

void register_eddm(py::module_& m) {
    py::class_<EDDM> cls(m, "EDDM");
    guard_attribute_writes(cls);
    cls.def(py::init<std::int32_t, double, double>(), py::arg("warm_start") = 30, py::arg("alpha") = 0.95,
            py::arg("beta") = 0.9)
        .def("update", guarded_update<EDDM, std::int32_t>())
        .def("reset", guarded(&EDDM::reset))
        .def_property_readonly("drift_detected", &EDDM::drift_detected)
        .def_property_readonly("warning_detected", &EDDM::warning_detected)
        .def_readwrite("warm_start", &EDDM::warm_start)
        .def_readwrite("alpha", &EDDM::alpha)
        .def_readwrite("beta", &EDDM::beta);
    def_detector_update_many<std::int32_t, true>(cls);
    def_pickle(cls, "EDDM");
}

}  // namespace quelb::bindings
