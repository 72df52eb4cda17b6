// Registration of the drift detectors: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
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

// update, update_many, reset and the flags every detector has (the warning flag where the method
// has a warning level).
template <class D, class Value, bool HasWarning>
void def_detector(py::class_<D>& cls) {
    guard_attribute_writes(cls);
    cls.def("update", guarded_update<D, Value>())
        .def("reset", guarded(&D::reset))
        .def_property_readonly("drift_detected", &D::drift_detected);
    if constexpr (HasWarning) cls.def_property_readonly("warning_detected", &D::warning_detected);
    def_detector_update_many<Value, HasWarning>(cls);
}

// The options and warning flag both detectors from Hoeffding's bounds share.
template <class D>
void def_hoeffding_detector(py::class_<D>& cls) {
    def_detector<D, double, true>(cls);
    for (const char* name : {"drift_confidence", "warning_confidence"}) {
        const bool drift = name[0] == 'd';
        cls.def_property(
            name, [drift](const D& self) { return drift ? self.drift_confidence : self.warning_confidence; },
            [drift, name](D& self, double value) {
                (drift ? self.drift_confidence : self.warning_confidence) = D::checked_confidence(value, name);
            });
    }
    cls.def_readwrite("two_sided_test", &D::two_sided_test);
}

}  // namespace

void register_adwin(py::module_& m) {
    py::class_<ADWIN> cls(m, "ADWIN");
    cls.def(py::init<double, int, int, int, int>(), py::arg("delta") = 0.002, py::arg("clock") = 32,
            py::arg("max_buckets") = 5, py::arg("min_window_length") = 5, py::arg("grace_period") = 10);
    def_detector<ADWIN, double, false>(cls);
    cls.def_property_readonly("estimation", &ADWIN::estimation)
        .def_property_readonly("width", &ADWIN::width)
        .def_property_readonly("variance", &ADWIN::variance)
        .def_readwrite("delta", &ADWIN::delta);
    def_pickle(cls, "ADWIN");
}

void register_eddm(py::module_& m) {
    py::class_<EDDM> cls(m, "EDDM");
    cls.def(py::init<std::int32_t, double, double>(), py::arg("warm_start") = 30, py::arg("alpha") = 0.95,
            py::arg("beta") = 0.9);
    def_detector<EDDM, std::int32_t, true>(cls);
    cls.def_readwrite("warm_start", &EDDM::warm_start)
        .def_readwrite("alpha", &EDDM::alpha)
        .def_readwrite("beta", &EDDM::beta);
    def_pickle(cls, "EDDM");
}


void register_ddm(py::module_& m) {
    py::class_<DDM> cls(m, "DDM");
    cls.def(py::init<std::int32_t, double, double>(), py::arg("warm_start") = 30, py::arg("warning_threshold") = 2.0,
            py::arg("drift_threshold") = 3.0);
    def_detector<DDM, std::int32_t, true>(cls);
    cls.def_readwrite("warm_start", &DDM::warm_start)
        .def_readwrite("warning_threshold", &DDM::warning_threshold)
        .def_readwrite("drift_threshold", &DDM::drift_threshold);
    def_pickle(cls, "DDM");
}

void register_hddm_a(py::module_& m) {
    py::class_<HDDM_A> cls(m, "HDDM_A");
    cls.def(py::init<double, double, bool>(), py::arg("drift_confidence") = 0.001,
            py::arg("warning_confidence") = 0.005, py::arg("two_sided_test") = false);
    def_hoeffding_detector(cls);
    def_pickle(cls, "HDDM_A");
}

void register_hddm_w(py::module_& m) {
    py::class_<HDDM_W> cls(m, "HDDM_W");
    cls.def(py::init<double, double, double, bool>(), py::arg("drift_confidence") = 0.001,
            py::arg("warning_confidence") = 0.005, py::arg("lambda_value") = 0.05, py::arg("two_sided_test") = false);
    def_hoeffding_detector(cls);
    cls.def_property(
        "lambda_value", [](const HDDM_W& self) { return self.lambda_value; },
        [](HDDM_W& self, double value) { self.lambda_value = HDDM_W::checked_lambda(value); });
    def_pickle(cls, "HDDM_W");
}

void register_page_hinkley(py::module_& m) {
    py::class_<PageHinkley> cls(m, "PageHinkley");
    cls.def(py::init<std::int32_t, double, double, double, const std::string&>(), py::arg("warm_start") = 30,
            py::arg("delta") = 0.005, py::arg("threshold") = 50.0, py::arg("alpha") = 1.0 - 0.0001,
            py::arg("mode") = "both");
    def_detector<PageHinkley, double, false>(cls);
    cls.def_property_readonly("estimation", &PageHinkley::estimation)
        .def_readwrite("warm_start", &PageHinkley::warm_start)
        .def_readwrite("delta", &PageHinkley::delta)
        .def_readwrite("threshold", &PageHinkley::threshold)
        .def_readwrite("alpha", &PageHinkley::alpha)
        .def_property("mode", &PageHinkley::mode_name, &PageHinkley::set_mode);
    def_pickle(cls, "PageHinkley");
}

void register_kswin(py::module_& m) {
    py::class_<KSWIN> cls(m, "KSWIN");
    cls.def(py::init<double, std::int32_t, std::int32_t, std::int32_t>(), py::arg("alpha") = 0.005,
            py::arg("window_size") = 100, py::arg("stat_size") = 30, py::arg("seed") = 0);
    def_detector<KSWIN, double, false>(cls);
    def_checked_property(cls, "alpha", &KSWIN::alpha, [](double v) { return v > 0.0 && v < 1.0; },
                         "'alpha' must be between 0 and 1 (exclusive).");
    cls.def_readwrite("seed", &KSWIN::seed)
        .def_property_readonly("window_size", &KSWIN::window_size)
        .def_property_readonly("stat_size", &KSWIN::stat_size)
        .def_property_readonly("width", &KSWIN::width);
    def_pickle(cls, "KSWIN");
}

}  // namespace quelb::bindings
