// Registration of the decision trees.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <string>

#include "trees/efdt_classifier.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"
#include "trees/sgt_classifier.hpp"

namespace quelb::bindings {

void register_hoeffding_tree_classifier(py::module_& m) {
    using T = HoeffdingTreeClassifier;
    auto cls = bind_classifier<T>(m, "HoeffdingTreeClassifier");
    def_options(cls);
    def_pickle(cls, "HoeffdingTreeClassifier");
}

void register_efdt_classifier(py::module_& m) {
    // Everything but the constructor is inherited from the Python base.
    auto cls = bind_classifier<EFDTClassifier, HoeffdingTreeClassifier>(m, "EFDTClassifier");
    def_options_init(cls);
    def_pickle(cls, "EFDTClassifier");
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
    def_pickle(cls, "HoeffdingAdaptiveTreeClassifier");
}

void register_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    auto cls = bind_regressor<T>(m, "HoeffdingTreeRegressor");
    cls.def(py::init([](int grace_period, double split_confidence, double tie_threshold, int max_depth,
                        double learning_rate, const std::string& split_criterion) {
                return std::make_shared<T>(grace_period, split_confidence, tie_threshold, max_depth, learning_rate,
                                           parse_split_criterion(split_criterion));
            }),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07, py::arg("tie_threshold") = 0.05,
            py::arg("max_depth") = 20, py::arg("learning_rate") = 0.01, py::kw_only(),
            py::arg("split_criterion") = "mean_split");
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
    def_split_criterion(cls);
    def_pickle(cls, "HoeffdingTreeRegressor", T::kStateVersion);
}

void register_sgt_classifier(py::module_& m) {
    using T = SGTClassifier;
    auto cls = bind_classifier<T>(m, "SGTClassifier");
    cls.def(py::init<double, double, int, int>(), py::arg("learning_rate") = 0.1, py::arg("lambda_") = 0.1,
            py::arg("grace_period") = 200, py::arg("max_depth") = 6);
    cls.def_readwrite("learning_rate", &T::learning_rate).def_readwrite("lambda_", &T::lambda_);
    def_checked_property(
        cls, "grace_period", &T::grace_period, [](int value) { return value > 0; },
        "'grace_period' must be greater than 0.");
    cls.def_readwrite("max_depth", &T::max_depth);
    def_pickle(cls, "SGTClassifier");
}

void register_fimtdd_regressor(py::module_& m) {
    using T = FIMTDDRegressor;
    auto cls = bind_regressor<T>(m, "FIMTDDRegressor");
    cls.def(py::init<int, double, double, int, std::string, double, double, bool, double, double, double, int, int,
                     bool, int>(),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07, py::arg("tie_threshold") = 0.05,
            py::arg("max_depth") = 20, py::arg("leaf_prediction") = "adaptive", py::arg("learning_ratio") = 0.02,
            py::arg("learning_rate_decay") = 0.001, py::arg("learning_ratio_const") = false,
            py::arg("page_hinckley_alpha") = 0.005, py::arg("page_hinckley_threshold") = 50.0,
            py::arg("alternate_tree_fading_factor") = 0.995, py::arg("alternate_tree_t_min") = 150,
            py::arg("alternate_tree_time") = 1500, py::arg("drift_detection") = true, py::arg("seed") = 1);
    cls.def("n_splits", &T::n_splits)
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("split_confidence", &T::split_confidence)
        .def_property("leaf_prediction", &T::leaf_prediction, &T::set_leaf_prediction)
        .def_readwrite("drift_detection", &T::drift_detection)
        .def_readwrite("seed", &T::seed);
    def_pickle(cls, "FIMTDDRegressor");
}

}  // namespace quelb::bindings
