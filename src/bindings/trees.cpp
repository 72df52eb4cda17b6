// Registration of the decision trees.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <string>

#include "trees/efdt_classifier.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb::bindings {

void register_hoeffding_tree_classifier(py::module_& m) {
    using T = HoeffdingTreeClassifier;
    auto cls = bind_classifier<T>(m, "HoeffdingTreeClassifier");
    cls.def(py::init<int, double, double, int, int, std::string>(), py::arg("grace_period") = 200,
            py::arg("split_confidence") = 1e-07, py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20, py::arg("split_criterion") = "info_gain");
    cls.def_property(
           "grace_period", [](const T& self) { return self.grace_period; },
           [](T& self, int value) {
               check_grace_period(value);
               self.grace_period = value;
           })
        .def_readwrite("split_confidence", &T::split_confidence)
        .def_readwrite("tie_threshold", &T::tie_threshold)
        .def_readwrite("max_depth", &T::max_depth)
        .def_readwrite("split_criterion", &T::split_criterion)
        .def_property("leaf_prediction", &T::leaf_prediction, &T::set_leaf_prediction)
        .def_readwrite("n_split_points", &T::n_split_points)
        .def_readwrite("no_pre_prune", &T::no_pre_prune);
}

void register_efdt_classifier(py::module_& m) {
    // Everything but the constructor is inherited from the Python base.
    auto cls = bind_classifier<EFDTClassifier, HoeffdingTreeClassifier>(m, "EFDTClassifier");
    cls.def(py::init<int, double, double, int, int>(), py::arg("grace_period") = 200,
            py::arg("split_confidence") = 1e-05, py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20);
}

void register_hoeffding_adaptive_tree_classifier(py::module_& m) {
    using T = HoeffdingAdaptiveTreeClassifier;
    auto cls = bind_classifier<T>(m, "HoeffdingAdaptiveTreeClassifier");
    cls.def(py::init<int, double, double, int, int, double, double, std::string>(), py::arg("grace_period") = 200,
            py::arg("split_confidence") = 1e-07, py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20, py::arg("drift_delta") = 0.002, py::arg("warning_delta") = 0.02,
            py::arg("split_criterion") = "info_gain");
    // Both reach only the trees made after the change.
    cls.def_property(
           "grace_period", [](const T& self) { return self.grace_period; },
           [](T& self, int value) {
               check_grace_period(value);
               self.grace_period = value;
           })
        .def_readwrite("max_depth", &T::max_depth);
}

void register_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    auto cls = bind_regressor<T>(m, "HoeffdingTreeRegressor");
    cls.def(py::init<int, double, double, int, double>(), py::arg("grace_period") = 200,
            py::arg("split_confidence") = 1e-07, py::arg("tie_threshold") = 0.05, py::arg("max_depth") = 20,
            py::arg("learning_rate") = 0.01);
    cls.def_property(
           "grace_period", [](const T& self) { return self.grace_period; },
           [](T& self, int value) {
               check_grace_period(value);
               self.grace_period = value;
           })
        .def_readwrite("split_confidence", &T::split_confidence)
        .def_readwrite("tie_threshold", &T::tie_threshold)
        .def_readwrite("max_depth", &T::max_depth)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_property("leaf_prediction", &T::leaf_prediction, &T::set_leaf_prediction);
}

}  // namespace quelb::bindings
