// Registration of the drift detectors: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include "drift/adwin.hpp"
#include "drift/ddm.hpp"
#include "drift/eddm.hpp"
#include "drift/hddm.hpp"
#include "drift/kswin.hpp"
#include "drift/page_hinkley.hpp"

namespace quelb::bindings {

namespace py = pybind11;

namespace {

// Held shared, as the constructor from options makes it.
template <class D>
using DetectorClass = py::class_<D, std::shared_ptr<D>>;

// A detector with its options (constructor and properties), update, update_many, reset, the
// flags every detector has (the warning flag where the method has a warning level) and pickle.
template <class D, class Value, bool HasWarning>
DetectorClass<D> bind_detector(py::module_& m, const char* name) {
    DetectorClass<D> cls(m, name);
    guard_attribute_writes(cls);
    def_options(cls);
    cls.def("update", guarded_watch<D, Value, HasWarning>(), py::arg("x"), py::pos_only(),
            method_doc("Adds one value to the detector.",
                       {std::is_same_v<Value, double> ? "x: float, the monitored value."
                                                      : "x: int outcome, 1 for an error and any other value a success.",
                        doc::kNone, doc::kRaises})
                .c_str())
        .def("reset", guarded(&D::reset), "Starts afresh, as just constructed; the options stay.")
        .def_property_readonly("drift_detected", &D::drift_detected, "Whether the last update signalled a drift.");
    if constexpr (HasWarning)
        cls.def_property_readonly("warning_detected", &D::warning_detected,
                                  "Whether the last update signalled a warning.");
    def_detector_update_many<Value, HasWarning>(cls);
    def_pickle(cls, name);
    return cls;
}

}  // namespace

void register_adwin(py::module_& m) {
    bind_detector<ADWIN, double, false>(m, "ADWIN")
        .def_property_readonly("estimation", &ADWIN::estimation, "Mean of the values in the window.")
        .def_property_readonly("width", &ADWIN::width, "Number of values in the window.")
        .def_property_readonly("variance", &ADWIN::variance, "Variance of the values in the window.");
}

void register_eddm(py::module_& m) { bind_detector<EDDM, std::int32_t, true>(m, "EDDM"); }

void register_ddm(py::module_& m) { bind_detector<DDM, std::int32_t, true>(m, "DDM"); }

void register_hddm_a(py::module_& m) { bind_detector<HDDM_A, double, true>(m, "HDDM_A"); }

void register_hddm_w(py::module_& m) { bind_detector<HDDM_W, double, true>(m, "HDDM_W"); }

void register_page_hinkley(py::module_& m) {
    bind_detector<PageHinkley, double, false>(m, "PageHinkley")
        .def_property_readonly("estimation", &PageHinkley::estimation, "Running mean of the values.");
}

void register_kswin(py::module_& m) {
    bind_detector<KSWIN, double, false>(m, "KSWIN")
        .def_readonly("window_size", &KSWIN::window_size, "Values the window keeps (fixed at construction).")
        .def_readonly("stat_size", &KSWIN::stat_size, "Latest values tested (fixed at construction).")
        .def_property_readonly("width", &KSWIN::width, "Number of values in the window now.");
}

}  // namespace quelb::bindings
