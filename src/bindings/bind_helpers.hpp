#pragma once
// One way to register each kind of class, so adding a class is a list of names, not a copy of
// another class's binding.
#include "bindings/casters.hpp"
#include "bindings/batch.hpp"
#include "bindings/options.hpp"

#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/contracts.hpp"
#include "core/state.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb::bindings {

namespace py = pybind11;

template <class T, class Base>
using SharedClass = py::class_<T, Base, std::shared_ptr<T>>;

// Docstrings of the methods: what the call does, then one line each on its arguments, its result
// and its errors. The pieces below are shared by every family.
inline std::string method_doc(const char* what, std::initializer_list<const char*> lines) {
    std::string doc = std::string(what) + "\n";
    for (const char* line : lines) doc += std::string("\n") + line;
    return doc;
}
namespace doc {
constexpr const char* kX = "x: dict of str (feature name) to float (value): one sample.";
constexpr const char* kMixedX = "x: dict of str to float or str (a str value is a category).";
constexpr const char* kLabel = "y: int, the class label (within 32 bits; a float label is refused).";
constexpr const char* kTarget = "y: float, the target value.";
constexpr const char* kBatchX =
    "X: 2-D array of reals, pandas DataFrame, sparse CSR matrix or iterable of sample dicts;\n"
    "feature_names: the columns' names for an array (default \"0\", \"1\", ...).";
constexpr const char* kBatchLabels = "y: 1-D sequence of int labels, one per row of X.";
constexpr const char* kBatchTargets = "y: 1-D sequence of float targets, one per row of X.";
constexpr const char* kRaises =
    "Raises TypeError when an argument cannot be read (nothing changes), RuntimeError while a batch\n"
    "call in another thread uses the object.";
constexpr const char* kBatchRaises =
    "Raises TypeError or ValueError when X or y cannot be read (nothing is learned), RuntimeError\n"
    "while another batch call uses the object.";
constexpr const char* kBusy = "Raises RuntimeError while a batch call in another thread uses the object.";
constexpr const char* kNone = "Returns None.";
}  // namespace doc

// Everything a call on the object works on: the object, and a pipeline's steps and learner.
std::vector<const void*> parts_of(const IClassifier& object);
std::vector<const void*> parts_of(const IRegressor& object);
std::vector<const void*> parts_of(const ITransformer& object);
std::vector<const void*> parts_of(const IAnomalyDetector& object);

// Whether the object reads samples with categories: an encoder, or a pipeline led by one.
bool takes_categories(const IClassifier& object);
bool takes_categories(const IRegressor& object);
bool takes_categories(const ITransformer& object);
template <class Contract, class T>
bool categories_of(const T& self) {
    return takes_categories(static_cast<const Contract&>(self));
}

// Refuses a one-sample call on an object (or a part of it) that a batch call is working on.
template <class Contract>
void ensure_parts_idle(const Contract& object) {
    if (!any_busy()) return;
    for (const void* part : parts_of(object)) ensure_idle(part);
}

// Runs a native batch loop over `object` with the interpreter lock released.
template <class Contract, class Loop>
void run_batch(Contract& object, Loop&& loop) {
    BusyScope busy(parts_of(object));
    py::gil_scoped_release release;
    loop(object);
}

// memory_usage() of a contract's objects (pipelines count their steps and learner).
template <class Cls>
void def_memory_usage(Cls& cls) {
    using T = typename Cls::type;
    cls.def(
        "memory_usage",
        [](const T& self) {
            ensure_parts_idle(self);
            return self.memory_usage();
        },
        "Estimated bytes the object holds: itself and everything it owns.");
}

inline auto batch_x() { return py::arg("X"); }
inline auto batch_names() { return py::arg("feature_names") = py::none(); }

// NumPy arrays of predictions: int64 labels, float64 values.
inline py::object prediction_array(const std::vector<Label>& values) { return int_array(values); }
inline py::object prediction_array(const std::vector<double>& values) { return float_array(values); }

template <class Target>
constexpr const char* kBatchY() {
    return std::is_same_v<Target, double> ? doc::kBatchTargets : doc::kBatchLabels;
}
template <class Target>
constexpr const char* kBatchReturns() {
    return std::is_same_v<Target, double> ? "Returns a 1-D float64 NumPy array, one prediction per row."
                                          : "Returns a 1-D int64 NumPy array, one label per row.";
}

// The batch methods of a classifier or regressor (also pipelines), each the one-sample loop over
// X's rows; Target is the label or value type.
template <class Contract, class Target, class Cls>
void def_learner_batches(Cls& cls) {
    using T = typename Cls::type;
    cls.def(
           "learn_many",
           [](T& self, py::handle X, py::handle y, py::handle names) {
               auto input = load_batch(X, names, "learn_many", categories_of<Contract>(self));
               auto targets = load_column<Target>(y, input.rows.size(), "learn_many", "y");
               run_batch(static_cast<Contract&>(self),
                         [&](Contract& model) { model.learn_many(input.rows, targets.data()); });
           },
           batch_x(), py::arg("y"), py::pos_only(), py::kw_only(), batch_names(),
           method_doc("Learns the rows of X in order, exactly as learn_one row by row.",
                      {doc::kBatchX, kBatchY<Target>(), doc::kNone, doc::kBatchRaises})
               .c_str())
        .def(
            "predict_many",
            [](T& self, py::handle X, py::handle names) {
                auto input = load_batch(X, names, "predict_many", categories_of<Contract>(self));
                std::vector<Target> out(input.rows.size());
                run_batch(static_cast<Contract&>(self),
                          [&](Contract& model) { model.predict_many(input.rows, out.data()); });
                return prediction_array(out);
            },
            batch_x(), py::pos_only(), py::kw_only(), batch_names(),
            method_doc("Predicts every row of X, as predict_one would.",
                       {doc::kBatchX, kBatchReturns<Target>(), doc::kBatchRaises})
                .c_str())
        .def(
            "test_then_train_many",
            [](T& self, py::handle X, py::handle y, py::handle names) {
                auto input = load_batch(X, names, "test_then_train_many", categories_of<Contract>(self));
                auto targets = load_column<Target>(y, input.rows.size(), "test_then_train_many", "y");
                std::vector<Target> out(input.rows.size());
                run_batch(static_cast<Contract&>(self), [&](Contract& model) {
                    model.test_then_train_many(input.rows, targets.data(), out.data());
                });
                return prediction_array(out);
            },
            batch_x(), py::arg("y"), py::pos_only(), py::kw_only(), batch_names(),
            method_doc("Row by row, predicts the row and then learns it (prequential evaluation).",
                       {doc::kBatchX, kBatchY<Target>(), kBatchReturns<Target>(), doc::kBatchRaises})
                .c_str());
}

template <class Cls>
void def_classifier_batches(Cls& cls) {
    using T = typename Cls::type;
    def_learner_batches<IClassifier, Label>(cls);
    cls.def(
        "predict_proba_many",
        [](T& self, py::handle X, py::handle names) {
            auto input = load_batch(X, names, "predict_proba_many", categories_of<IClassifier>(self));
            std::vector<ClassProbabilities> out(input.rows.size());
            run_batch(static_cast<IClassifier&>(self),
                      [&](IClassifier& model) { model.predict_proba_many(input.rows, out.data()); });
            py::list result(out.size());
            for (std::size_t i = 0; i < out.size(); ++i)
                PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i),
                                checked_result(probabilities_to_dict(out[i])).ptr());
            return result;
        },
        batch_x(), py::pos_only(), py::kw_only(), batch_names(),
        method_doc("The class probabilities of every row of X, as predict_proba_one gives them.",
                   {doc::kBatchX, "Returns a list of dicts of int label to float probability.", doc::kBatchRaises})
            .c_str());
}

template <class Cls>
void def_regressor_batches(Cls& cls) {
    def_learner_batches<IRegressor, double>(cls);
}

// learn_many(X) and score_many(X) of an anomaly detector (also a pipeline ending in one).
template <class Cls>
void def_anomaly_batches(Cls& cls) {
    using T = typename Cls::type;
    cls.def(
           "learn_many",
           [](T& self, py::handle X, py::handle names) {
               auto input = load_batch(X, names, "learn_many");
               run_batch(static_cast<IAnomalyDetector&>(self),
                         [&](IAnomalyDetector& model) { model.learn_many(input.rows); });
           },
           batch_x(), py::pos_only(), py::kw_only(), batch_names(),
           method_doc("Learns the rows of X in order, exactly as learn_one row by row.",
                      {doc::kBatchX, doc::kNone, doc::kBatchRaises})
               .c_str())
        .def(
            "score_many",
            [](T& self, py::handle X, py::handle names) {
                auto input = load_batch(X, names, "score_many");
                std::vector<double> out(input.rows.size());
                run_batch(static_cast<IAnomalyDetector&>(self),
                          [&](IAnomalyDetector& model) { model.score_many(input.rows, out.data()); });
                return float_array(out);
            },
            batch_x(), py::pos_only(), py::kw_only(), batch_names(),
            method_doc("The anomaly score of every row of X, as score_one gives it.",
                       {doc::kBatchX, "Returns a 1-D float64 NumPy array.", doc::kBatchRaises})
                .c_str());
}

inline auto sample_x() { return py::arg("x"); }

template <class Target>
constexpr const char* kOneY() {
    return std::is_same_v<Target, double> ? doc::kTarget : doc::kLabel;
}
template <class Target>
constexpr const char* kOneReturns() {
    return std::is_same_v<Target, double> ? "Returns the predicted value (float)."
                                          : "Returns the predicted label (int).";
}

// learn_one, predict_one and reset of a classifier or regressor, each a call of the virtual
// operation; Target is the label or value type.
template <class Contract, class Target, class Cls>
void def_learner_one(Cls& cls) {
    using T = typename Cls::type;
    cls.def(
           "learn_one",
           [](T& self, const SampleArg& x, const ValueArg<Target>& y) {
               ensure_idle(object_key(&self));
               static_cast<Contract&>(self).learn_one(checked(x, "learn_one"), checked(y, "learn_one", "y"));
           },
           sample_x(), py::arg("y"), py::pos_only(),
           method_doc("Learns one sample.", {doc::kX, kOneY<Target>(), doc::kNone, doc::kRaises}).c_str())
        .def(
            "predict_one",
            [](T& self, const SampleArg& x) {
                ensure_idle(object_key(&self));
                return static_cast<Contract&>(self).predict_one(checked(x, "predict_one"));
            },
            sample_x(), py::pos_only(),
            method_doc("Predicts one sample.", {doc::kX, kOneReturns<Target>(), doc::kRaises}).c_str())
        .def(
            "reset",
            [](T& self) {
                ensure_idle(object_key(&self));
                static_cast<Contract&>(self).reset();
            },
            method_doc("Forgets everything learned; the options stay.", {doc::kNone, doc::kBusy}).c_str());
}

// A learner's class with its one-sample contract methods.
template <class T, class Base, class Contract, class Target>
SharedClass<T, Base> bind_learner(py::module_& m, const char* name) {
    SharedClass<T, Base> cls(m, name);
    guard_attribute_writes(cls);
    def_learner_one<Contract, Target>(cls);
    return cls;
}

// A classifier with the contract methods bound positionally.
template <class T, class Base = IClassifier>
SharedClass<T, Base> bind_classifier(py::module_& m, const char* name) {
    auto cls = bind_learner<T, Base, IClassifier, Label>(m, name);
    cls.def(
        "predict_proba_one",
        [](T& self, const SampleArg& x) {
            ensure_idle(object_key(&self));
            return static_cast<IClassifier&>(self).predict_proba_one(checked(x, "predict_proba_one"));
        },
        sample_x(), py::pos_only(),
        method_doc("The class probabilities of one sample.",
                   {doc::kX, "Returns a dict of int label to float probability.", doc::kRaises})
            .c_str());
    def_classifier_batches(cls);
    return cls;
}

template <class T, class Base = IRegressor>
SharedClass<T, Base> bind_regressor(py::module_& m, const char* name) {
    auto cls = bind_learner<T, Base, IRegressor, double>(m, name);
    def_regressor_batches(cls);
    return cls;
}

// A transformer; supervised ones take the target in learn_one, encoders (IEncoder) samples with
// categories. clone_state copies the whole state.
template <class T, bool Supervised = false>
SharedClass<T, ITransformer> bind_transformer(py::module_& m, const char* name) {
    SharedClass<T, ITransformer> cls(m, name);
    guard_attribute_writes(cls);
    if constexpr (Supervised) {
        cls.def(
               "learn_one",
               [](T& self, const SampleArg& x, const ValueArg<double>& y) {
                   ensure_idle(object_key(&self));
                   static_cast<ITransformer&>(self).learn_one(checked(x, "learn_one"), checked(y, "learn_one", "y"));
               },
               sample_x(), py::arg("y"), py::pos_only(),
               method_doc("Updates the statistics with one sample and its target.",
                          {doc::kX, doc::kTarget, doc::kNone, doc::kRaises})
                   .c_str())
            .def(
                "learn_many",
                [](T& self, py::handle X, py::handle y, py::handle names) {
                    auto input = load_batch(X, names, "learn_many", categories_of<ITransformer>(self));
                    auto targets = load_values(y, input.rows.size(), "learn_many", "y");
                    run_batch(static_cast<ITransformer&>(self),
                              [&](ITransformer& step) { step.learn_many(input.rows, targets.data()); });
                },
                batch_x(), py::arg("y"), py::pos_only(), py::kw_only(), batch_names(),
                method_doc("Learns the rows of X in order, exactly as learn_one row by row.",
                           {doc::kBatchX, doc::kBatchTargets, doc::kNone, doc::kBatchRaises})
                    .c_str());
    } else {
        if constexpr (std::is_base_of_v<IEncoder, T>) {
            cls.def(
                "learn_one",
                [](T& self, const MixedSampleArg& x) {
                    ensure_idle(object_key(&self));
                    static_cast<IEncoder&>(self).learn_mixed(checked(x, "learn_one"));
                },
                sample_x(), py::pos_only(),
                method_doc("Learns the categories of one sample.", {doc::kMixedX, doc::kNone, doc::kRaises}).c_str());
        } else {
            cls.def(
                "learn_one",
                [](T& self, const SampleArg& x) {
                    ensure_idle(object_key(&self));
                    static_cast<ITransformer&>(self).learn_one(checked(x, "learn_one"));
                },
                sample_x(), py::pos_only(),
                method_doc("Updates the statistics with one sample.", {doc::kX, doc::kNone, doc::kRaises}).c_str());
        }
        cls.def(
                "learn_many",
                [](T& self, py::handle X, py::handle names) {
                    auto input = load_batch(X, names, "learn_many", categories_of<ITransformer>(self));
                    run_batch(static_cast<ITransformer&>(self),
                              [&](ITransformer& step) { step.learn_many(input.rows, nullptr); });
                },
                batch_x(), py::pos_only(), py::kw_only(), batch_names(),
                method_doc("Learns the rows of X in order, exactly as learn_one row by row.",
                           {doc::kBatchX, doc::kNone, doc::kBatchRaises})
                    .c_str());
    }
    if constexpr (std::is_base_of_v<IEncoder, T>) {
        cls.def(
            "transform_one",
            [](T& self, const MixedSampleArg& x) {
                ensure_idle(object_key(&self));
                const MixedSample& sample = checked(x, "transform_one");
                // Encoded into a sample kept from call to call (no allocation once it has grown); the
                // names a one-hot encoding makes ("f=v") come back in later results, so their str
                // objects are kept too.
                thread_local FeatureMap out;
                static KeyCache* made_names = new KeyCache('=');  // used until exit
                static_cast<IEncoder&>(self).encode(sample, out);
                return py::reinterpret_steal<py::object>(checked_result(feature_map_to_dict(out, x.source, made_names)));
            },
            sample_x(), py::pos_only(),
            method_doc("Encodes one sample; learns nothing.",
                       {doc::kMixedX, "Returns a new dict of str to float.", doc::kRaises})
                .c_str());
    } else {
        cls.def(
            "transform_one",
            [](T& self, const SampleArg& x) {
                ensure_idle(object_key(&self));
                return TransformedSample{static_cast<ITransformer&>(self).transform_one(checked(x, "transform_one")),
                                         x.source};
            },
            sample_x(), py::pos_only(),
            method_doc("Transforms one sample; learns nothing.",
                       {doc::kX, "Returns a new dict of str to float.", doc::kRaises})
                .c_str());
    }
    cls.def(
            "transform_many",
            [](T& self, py::handle X, py::handle names, bool return_names) {
                auto input = load_batch(X, names, "transform_many", categories_of<ITransformer>(self));
                auto out = transformed_sink(input);
                run_batch(static_cast<ITransformer&>(self),
                          [&](ITransformer& step) { step.transform_many(input.rows, *out); });
                return transformed_rows(input, *out, return_names);
            },
            batch_x(), py::pos_only(), py::kw_only(), batch_names(), py::arg("return_names") = false,
            method_doc("Transforms every row of X, as transform_one would; learns nothing.",
                       {doc::kBatchX,
                        "return_names: also return the output's feature names.",
                        "Returns a DataFrame for a DataFrame, a list of dicts for samples, else a 2-D float64\n"
                        "array; with return_names, the pair (result, names).",
                        doc::kBatchRaises})
                .c_str())
        .def(
            "clone_state",
            [](const T& self) {
                ensure_idle(object_key(&self));
                return std::make_shared<T>(self);
            },
            method_doc("A new independent object with a copy of the whole state (options and statistics).",
                       {doc::kBusy})
                .c_str())
        .def(
            "reset",
            [](T& self) {
                ensure_idle(object_key(&self));
                static_cast<ITransformer&>(self).reset();
            },
            method_doc("Forgets everything learned; the options stay.", {doc::kNone, doc::kBusy}).c_str());
    return cls;
}

// A method of a plain class (metric, detector) that refuses to run while a batch call in
// another thread works on the object.
template <class T, class R, class... A>
auto guarded(R (T::*method)(A...)) {
    return [method](T& self, A... args) -> R {
        ensure_idle(&self);
        return (self.*method)(args...);
    };
}
template <class T, class R, class... A>
auto guarded(R (T::*method)(A...) const) {
    return [method](const T& self, A... args) -> R {
        ensure_idle(&self);
        return (self.*method)(args...);
    };
}

// What the update loops below read: labels as int64 (as label arrays hold them, each checked to
// lie within the signed 32-bit range beforehand), values as double.
template <class Value>
using LoopEntry = std::conditional_t<std::is_same_v<Value, double>, double, std::int64_t>;

// One value as the update loops read a column.
template <class Entry>
ColumnView<Entry> one_entry(const Entry& value) {
    ColumnView<Entry> column;
    column.data = &value;
    column.size = 1;
    return column;
}

// The updates of a metric over pairs, compiled once for the one-pair call (n = 1) and the batch
// loop (noipa: neither inlined nor copied for n = 1 by the link-time optimizer): compiled
// separately, the two could order an operation's operands differently, and a NaN result would
// then differ in its sign bit.
template <class First, class Second, class T>
[[gnu::noipa]] void update_pairs(T& self, const ColumnView<LoopEntry<First>>& first,
                                 const ColumnView<LoopEntry<Second>>& second) {
    for (std::size_t i = 0; i < first.size; ++i)
        self.update(static_cast<First>(first[i]), static_cast<Second>(second[i]));
}

// Where a detector signalled: positions in the values given.
struct Signals {
    std::vector<std::int64_t> drifts, warnings;
};

// The updates of a detector over values, compiled once for the one-value call and the batch
// loop, as update_pairs is.
template <class Value, bool HasWarning, class T>
[[gnu::noipa]] void watch(T& self, const ColumnView<LoopEntry<Value>>& values, Signals& found) {
    for (std::size_t i = 0; i < values.size; ++i) {
        self.update(static_cast<Value>(values[i]));
        if (self.drift_detected()) found.drifts.push_back(static_cast<std::int64_t>(i));
        if constexpr (HasWarning) {
            if (self.warning_detected()) found.warnings.push_back(static_cast<std::int64_t>(i));
        }
    }
}

// update(first, second) of a metric, refused while a batch works on it; the names are the
// arguments', for the error a refused one raises (first refused first).
template <class T, class First, class Second>
auto guarded_update(const char* first_name, const char* second_name) {
    return [first_name, second_name](T& self, const ValueArg<First>& first, const ValueArg<Second>& second) {
        ensure_idle(&self);
        checked(first, "update", first_name);
        checked(second, "update", second_name);
        const LoopEntry<First> a = first.value;
        const LoopEntry<Second> b = second.value;
        update_pairs<First, Second>(self, one_entry(a), one_entry(b));
    };
}

// update(x) of a detector, refused while a batch works on it.
template <class T, class Value, bool HasWarning>
auto guarded_watch() {
    return [](T& self, const ValueArg<Value>& x) {
        ensure_idle(&self);
        checked(x, "update", "x");
        const LoopEntry<Value> value = x.value;
        Signals found;
        watch<Value, HasWarning>(self, one_entry(value), found);
    };
}

// A 1-D batch argument of the update loops: read in place (float64 values, contiguous int64
// labels) when it can be, else converted whole by load_column. Checked whole on construction.
template <class Value>
class LoopColumn {
public:
    LoopColumn(py::handle y, std::size_t n, const char* method, const char* what, const char* against = nullptr)
        : entries_(column_in_place<LoopEntry<Value>>(y, n, method, what, against)) {
        if (entries_.data) return;
        if constexpr (std::is_same_v<LoopEntry<Value>, Value>) {
            converted_ = load_column<Value>(y, n, method, what, against);
        } else {
            const auto loaded = load_column<Value>(y, n, method, what, against);
            converted_.assign(loaded.begin(), loaded.end());
        }
        entries_.data = converted_.data();
        entries_.size = converted_.size();
    }
    LoopColumn(const LoopColumn&) = delete;
    LoopColumn& operator=(const LoopColumn&) = delete;
    const ColumnView<LoopEntry<Value>>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size; }

private:
    ColumnView<LoopEntry<Value>> entries_;
    std::vector<LoopEntry<Value>> converted_;
};

// update_many(first, second) of a metric: update over the pairs, in order.
template <class First, class Second, class Cls>
void def_pair_update_many(Cls& cls, const char* first, const char* second) {
    using T = typename Cls::type;
    cls.def(
        "update_many",
        [first, second](T& self, py::handle a, py::handle b) {
            const LoopColumn<First> xs(a, kNoLength, "update_many", first);
            const LoopColumn<Second> ys(b, xs.size(), "update_many", second, first);
            BusyScope busy({&self});
            py::gil_scoped_release release;
            update_pairs<First, Second>(self, xs.entries(), ys.entries());
        },
        py::arg(first), py::arg(second), py::pos_only(),
        method_doc("Updates with every pair, in order, exactly as update pair by pair.",
                   {"Arguments: two 1-D sequences of equal length.", doc::kNone,
                    "Raises TypeError or ValueError when they cannot be read (nothing changes)."})
            .c_str());
}

// update_many(values) of a drift detector: the positions of the drifts signalled, and of the
// warnings for a detector with a warning level, as (drifts, warnings).
template <class Value, bool HasWarning, class Cls>
void def_detector_update_many(Cls& cls) {
    using T = typename Cls::type;
    cls.def(
        "update_many",
        [](T& self, py::handle values) -> py::object {
            const LoopColumn<Value> xs(values, kNoLength, "update_many", "values");
            Signals found;
            {
                BusyScope busy({&self});
                py::gil_scoped_release release;
                watch<Value, HasWarning>(self, xs.entries(), found);
            }
            if constexpr (HasWarning) {
                return py::make_tuple(int_array(found.drifts), int_array(found.warnings));
            } else {
                return int_array(found.drifts);
            }
        },
        py::arg("values"), py::pos_only(),
        method_doc("Updates with every value, in order, exactly as update value by value.",
                   {"values: 1-D sequence of the values update takes.",
                    HasWarning ? "Returns (drifts, warnings): int64 arrays of the positions where each was signalled."
                               : "Returns an int64 array of the positions where a drift was signalled.",
                    "Raises TypeError or ValueError when values cannot be read (nothing changes)."})
            .c_str());
}

// The `n_threads` option (of the ensembles whose batch methods may run on threads): an int, 0 for
// one thread per core. Raises TypeError or ValueError naming the option.
int checked_n_threads(py::handle value);

// A constructor of T from A..., with `n_threads` after them: bind it with the arguments' py::arg
// list, then py::kw_only(), py::arg("n_threads") = 1.
template <class T, class... A>
auto init_with_threads() {
    return py::init([](A... args, py::handle n_threads) {
        const int n = checked_n_threads(n_threads);
        auto object = std::make_shared<T>(std::move(args)...);
        object->threads.n_threads = n;
        return object;
    });
}

// The n_threads property. The option is not learned state: pickling keeps it beside the sealed
// state (see def_pickle_with_threads).
template <class Cls>
void def_n_threads(Cls& cls) {
    using T = typename Cls::type;
    cls.def_property(
        "n_threads", [](const T& self) { return self.threads.n_threads; },
        [](T& self, py::handle value) { self.threads.n_threads = checked_n_threads(value); },
        "Threads the batch methods run on (0: one per core).");
}

// Loads an object's state from the payload of an opened envelope of the given format version:
// everything must be read, and a failure names the class. Nothing reaches Python unless this returns.
template <class T>
void load_payload(T& object, std::pair<std::string_view, std::uint32_t> opened, const char* class_name) {
    try {
        StateReader reader(opened.first, opened.second);
        object.load_state(reader);
        reader.expect_end();
    } catch (const StateError& error) {
        const std::string_view generic = "corrupted state: ";
        std::string_view detail = error.what();
        if (detail.substr(0, generic.size()) == generic) detail.remove_prefix(generic.size());
        throw StateError("corrupted " + std::string(class_name) + " state: " + std::string(detail));
    }
}

// The bytes of a pickled state; anything else is not a state of ours.
inline std::string_view state_bytes(const py::object& state, const char* class_name) {
    if (!py::isinstance<py::bytes>(state)) throw StateError("not a saved " + std::string(class_name) + " state");
    return std::string_view(state.cast<py::bytes>());
}

// The sealed state of an object as Python bytes (typed object: pickle support wants the state
// type of __getstate__ and __setstate__ to match).
template <class T>
py::object sealed_state(const T& object, const char* class_name, std::uint32_t version) {
    StateWriter writer;
    object.save_state(writer);
    return py::bytes(seal_state(class_name, version, writer.bytes()));
}

// pickle and copy.deepcopy support: the state is the sealed bytes of save_state, restored into
// a blank object made by make_blank (returning the class's holder) before Python sees it.
template <class Cls, class MakeBlank>
void def_pickle(Cls& cls, const char* class_name, std::uint32_t version, MakeBlank make_blank) {
    using T = typename Cls::type;
    cls.def(py::pickle(
        [class_name, version](const T& self) {
            ensure_idle(object_key(&self));
            return sealed_state(self, class_name, version);
        },
                       [class_name, version, make_blank](const py::object& state) {
                           auto object = make_blank();
                           load_payload(*object, open_state(state_bytes(state, class_name), class_name, version),
                                        class_name);
                           return object;
                       }));
}

template <class T, class = void>
struct has_options : std::false_type {};
template <class T>
struct has_options<T, std::void_t<typename T::Options>> : std::true_type {};

// The same for classes whose defaults make a blank object. A class without options is all
// defaults: it gets get_params ({}), clone and __repr__ (`Name()`) here too.
template <class Cls>
void def_pickle(Cls& cls, const char* class_name, std::uint32_t version = 1) {
    using T = typename Cls::type;
    using Holder = typename Cls::holder_type;
    def_pickle(cls, class_name, version, [] { return Holder(new T()); });
    if constexpr (!has_options<T>::value)
        def_inspection(cls, [](const T&) { return py::dict(); }, [](const T&) { return Holder(new T()); });
}

// def_pickle for a class with the n_threads option (defaults make a blank object), and the
// option's property. The state is the sealed bytes alone with one thread (the bytes of every
// other state), else the pair (sealed bytes, n_threads); restoring takes either.
template <class Cls>
void def_pickle_with_threads(Cls& cls, const char* class_name, std::uint32_t version = 1) {
    using T = typename Cls::type;
    using Holder = typename Cls::holder_type;
    def_n_threads(cls);
    cls.def(py::pickle(
        [class_name, version](const T& self) -> py::object {
            ensure_idle(object_key(&self));
            py::object sealed = sealed_state(self, class_name, version);
            if (self.threads.n_threads == 1) return sealed;
            return py::make_tuple(sealed, self.threads.n_threads);
        },
        [class_name, version](const py::object& state) {
            py::object sealed = state;
            int n_threads = 1;
            if (py::isinstance<py::tuple>(state) && py::len(state) == 2) {
                sealed = state[py::int_(0)];
                n_threads = checked_n_threads(state[py::int_(1)]);
            }
            Holder object(new T());
            load_payload(*object, open_state(state_bytes(sealed, class_name), class_name, version), class_name);
            object->threads.n_threads = n_threads;
            return object;
        }));
}

// A classifier, regressor or transformer (supervised or not) whose constructor and properties are
// its options (see bindings/options.hpp), with pickle support; the caller may add more.
template <class T, bool Supervised = false>
auto bind_optioned(py::module_& m, const char* name) {
    auto cls = [&] {
        if constexpr (std::is_base_of_v<IClassifier, T>) {
            return bind_classifier<T>(m, name);
        } else if constexpr (std::is_base_of_v<IRegressor, T>) {
            return bind_regressor<T>(m, name);
        } else {
            return bind_transformer<T, Supervised>(m, name);
        }
    }();
    def_options(cls);
    def_pickle(cls, name);
    return cls;
}

}  // namespace quelb::bindings
