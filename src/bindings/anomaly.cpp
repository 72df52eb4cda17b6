// Registration of the anomaly detectors.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <string>

#include "anomaly/half_space_trees.hpp"

namespace quelb::bindings {

namespace {

constexpr const char* kLimitsType = "'limits' must be a dict of feature name -> (low, high) numbers";

// A dict of name -> (low, high), or None for no limits.
HalfSpaceTrees::Limits read_limits(const py::object& limits) {
    HalfSpaceTrees::Limits out;
    if (limits.is_none()) return out;
    if (!PyDict_Check(limits.ptr())) throw py::type_error(kLimitsType);
    for (const auto& [key, range] : limits.cast<py::dict>()) {
        std::string name;
        if (!load_name(key.ptr(), name)) throw py::type_error(kLimitsType);
        PyObject* r = range.ptr();
        double low, high;
        if (!(PyTuple_Check(r) || PyList_Check(r)) || PySequence_Size(r) != 2 ||
            !load_float(py::reinterpret_steal<py::object>(PySequence_GetItem(r, 0)).ptr(), low) ||
            !load_float(py::reinterpret_steal<py::object>(PySequence_GetItem(r, 1)).ptr(), high))
            throw py::type_error(kLimitsType);
        out[name] = {low, high};
    }
    return out;
}

py::dict limits_dict(const HalfSpaceTrees::Limits& limits) {
    py::dict out;
    for (const auto& [name, range] : limits) out[py::str(name)] = py::make_tuple(range.low, range.high);
    return out;
}

}  // namespace

void register_half_space_trees(py::module_& m) {
    using T = HalfSpaceTrees;
    SharedClass<T, IAnomalyDetector> cls(m, "HalfSpaceTrees");
    const T::Options defaults;
    cls.def(py::init([](int n_trees, int height, int window_size, int seed, const py::object& limits) {
                 T::Options options;
                 options.n_trees = n_trees;
                 options.height = height;
                 options.window_size = window_size;
                 options.seed = seed;
                 return std::make_shared<T>(options, read_limits(limits));
             }),
            py::arg("n_trees") = defaults.n_trees, py::arg("height") = defaults.height,
            py::arg("window_size") = defaults.window_size, py::arg("seed") = defaults.seed,
            py::arg("limits") = py::none())
        .def(
            "learn_one",
            [](T& self, const SampleArg& x) {
                ensure_idle(object_key(&self));
                self.learn_one(checked(x, "learn_one"));
            },
            sample_x(), py::pos_only(),
            method_doc("Learns one sample (the first with a feature draws the trees).",
                       {doc::kX, doc::kNone, doc::kRaises})
                .c_str())
        .def(
            "score_one",
            [](T& self, const SampleArg& x) {
                ensure_idle(object_key(&self));
                return self.score_one(checked(x, "score_one"));
            },
            sample_x(), py::pos_only(),
            method_doc("The anomaly score of one sample; learns nothing.",
                       {doc::kX, "Returns a float in [0, 1], higher meaning more anomalous (0.0 until the first\n"
                                 "window is complete).",
                        doc::kRaises})
                .c_str())
        .def(
            "reset",
            [](T& self) {
                ensure_idle(object_key(&self));
                self.reset();
            },
            method_doc("Forgets the trees and masses; the options stay.", {doc::kNone, doc::kBusy}).c_str())
        .def_readonly("n_trees", &T::n_trees, "Number of trees.")
        .def_readonly("height", &T::height, "Depth of every tree.")
        .def_readonly("window_size", &T::window_size, "Learned samples per window of masses.")
        .def_property_readonly(
            "limits", [](const T& self) { return limits_dict(self.limits()); },
            "The limits: dict of feature name to (low, high).")
        .def_property_readonly("features", &T::features, "The features the trees use (list of str, fixed once drawn).");
    append_doc(cls, kParametersHeading + option_parameter_lines<T::Options>() +
                        parameter_line("limits", py::none(), false,
                                       "dict of feature name to (low, high), scaled to [0, 1]; None: all in [0, 1]"));
    def_option_properties(cls);
    // No limits read back as None, the constructor's default.
    def_inspection(
        cls,
        [](const T& self) {
            py::dict params = option_values<T::Options>(self);
            params["limits"] = self.limits().empty() ? py::object(py::none()) : limits_dict(self.limits());
            return params;
        },
        [](const T& self) { return std::make_shared<T>(options_of<T::Options>(self), self.limits()); });
    guard_attribute_writes(cls);
    def_anomaly_batches(cls);
    def_pickle(cls, "HalfSpaceTrees");
}

}  // namespace quelb::bindings
