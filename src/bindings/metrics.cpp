// Registration of the metrics: plain classes owned by their Python object alone.
#include "bindings/casters.hpp"
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include "metrics/classification.hpp"
#include "metrics/regression.hpp"
#include "metrics/roc_auc.hpp"
#include "metrics/window.hpp"

namespace quelb::bindings {

namespace py = pybind11;

namespace {

constexpr const char* kGetDoc = "The score now (float).";
constexpr const char* kResetDoc = "Forgets every pair.";
constexpr const char* kSizeDoc = "Number of pairs in the window now.";
constexpr const char* kRocPair =
    "y_true: int label (1 positive, any other negative); score: float, higher meaning positive.";

// A windowed metric: held shared, as its constructor from options makes it.
template <class Metric>
using WindowedClass = py::class_<Metric, std::shared_ptr<Metric>>;

// update(y_true, y_pred), get(), reset(); Value is the type of the two arguments.
template <class Metric, class Value>
void bind_pair_metric(py::module_& m, const char* name) {
    py::class_<Metric> cls(m, name);
    guard_attribute_writes(cls);
    cls.def(py::init<>())
        .def("update", guarded_update<Metric, Value, Value>("y_true", "y_pred"), py::arg("y_true"), py::arg("y_pred"),
             py::pos_only(),
             method_doc("Adds one pair.",
                        {std::is_same_v<Value, double> ? "y_true, y_pred: float, the true and the predicted value."
                                                       : "y_true, y_pred: int, the true and the predicted label.",
                         doc::kNone, doc::kRaises})
                 .c_str())
        .def(
            "get",
            [](const Metric& self) {
                ensure_idle(&self);
                return self.get();
            },
            kGetDoc)
        .def(
            "reset",
            [](Metric& self) {
                ensure_idle(&self);
                self.reset();
            },
            kResetDoc);
    def_pair_update_many<Value, Value>(cls, "y_true", "y_pred");
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
    WindowedClass<WindowMetric> cls(m, "WindowMetric");
    guard_attribute_writes(cls);
    def_options_init(cls);
    cls.def("update", guarded_update<WindowMetric, Label, Label>("predicted", "actual"), py::arg("predicted"), py::arg("actual"),
            method_doc("Adds one pair; the oldest leaves a full window.",
                       {"predicted, actual: int labels.", doc::kNone, doc::kRaises})
                .c_str())
        .def("get", guarded(&WindowMetric::get), py::arg("metric") = 0,
             "metric 1: macro F1, any other code: accuracy (float).")
        .def("accuracy", guarded(&WindowMetric::accuracy), "Accuracy over the window (float).")
        .def("macro_f1", guarded(&WindowMetric::macro_f1), "Macro F1 over the window's non-negative labels (float).")
        .def("reset", guarded(&WindowMetric::reset), kResetDoc)
        .def("size", guarded(&WindowMetric::size), kSizeDoc);
    def_pair_update_many<Label, Label>(cls, "predicted", "actual");
    def_pickle(cls, "WindowMetric");
}

void register_window_regression_metric(py::module_& m) {
    WindowedClass<WindowRegressionMetric> cls(m, "WindowRegressionMetric");
    guard_attribute_writes(cls);
    def_options_init(cls);
    cls.def("update", guarded_update<WindowRegressionMetric, double, double>("y_true", "y_pred"), py::arg("y_true"), py::arg("y_pred"),
            method_doc("Adds one pair; the oldest leaves a full window.",
                       {"y_true, y_pred: float, the true and the predicted value.", doc::kNone, doc::kRaises})
                .c_str())
        .def("get", guarded(&WindowRegressionMetric::get), py::arg("metric") = 0,
             "metric 1: RMSE, any other code: MAE (float).")
        .def("mae", guarded(&WindowRegressionMetric::mae), "MAE over the window (float).")
        .def("rmse", guarded(&WindowRegressionMetric::rmse), "RMSE over the window (float).")
        .def("reset", guarded(&WindowRegressionMetric::reset), kResetDoc)
        .def("size", guarded(&WindowRegressionMetric::size), kSizeDoc);
    def_pair_update_many<double, double>(cls, "y_true", "y_pred");
    def_pickle(cls, "WindowRegressionMetric");
}

void register_roc_auc(py::module_& m) {
    py::class_<ROCAUC> cls(m, "ROCAUC");
    guard_attribute_writes(cls);
    cls.def(py::init<>())
        .def("update", guarded_update<ROCAUC, Label, double>("y_true", "score"), py::arg("y_true"), py::arg("score"),
             py::pos_only(), method_doc("Adds one pair.", {kRocPair, doc::kNone, doc::kRaises}).c_str())
        .def("get", guarded(&ROCAUC::get), "The area now (float; 0.5 until a positive and a negative were seen).")
        .def("reset", guarded(&ROCAUC::reset), kResetDoc);
    def_pair_update_many<Label, double>(cls, "y_true", "score");
    def_pickle(cls, "ROCAUC");
}

void register_window_roc_auc(py::module_& m) {
    WindowedClass<WindowROCAUC> cls(m, "WindowROCAUC");
    guard_attribute_writes(cls);
    def_options_init(cls);
    cls.def("update", guarded_update<WindowROCAUC, Label, double>("y_true", "score"), py::arg("y_true"), py::arg("score"),
            method_doc("Adds one pair; the oldest leaves a full window.", {kRocPair, doc::kNone, doc::kRaises}).c_str())
        .def("get", guarded(&WindowROCAUC::get), "The area over the window (float).")
        .def("reset", guarded(&WindowROCAUC::reset), kResetDoc)
        .def("size", guarded(&WindowROCAUC::size), kSizeDoc);
    def_pair_update_many<Label, double>(cls, "y_true", "score");
    def_pickle(cls, "WindowROCAUC");
}

}  // namespace quelb::bindings
