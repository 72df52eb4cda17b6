// Registration of the pipelines. Their constructors check the steps and the learner themselves,
// so that a wrong argument is refused at construction with a TypeError naming that argument.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <cstdint>
#include <utility>

#include "pipeline/pipelines.hpp"

namespace quelb::bindings {

namespace {

constexpr const char* kPipelineX = "x: dict of str to float (str values too when a step takes categories).";

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

std::vector<std::shared_ptr<ITransformer>> load_steps(py::handle steps, const char* pipeline) {
    py::detail::make_caster<std::vector<std::shared_ptr<ITransformer>>> caster;
    if (caster.load(steps, true)) return std::move(py::detail::cast_op<std::vector<std::shared_ptr<ITransformer>>&>(caster));
    // Say which element is wrong when the sequence itself is fine.
    PyObject* seq = steps.ptr();
    if (PySequence_Check(seq) && !PyUnicode_Check(seq) && !PyBytes_Check(seq) && !PyByteArray_Check(seq)) {
        const Py_ssize_t size = PySequence_Size(seq);
        for (Py_ssize_t i = 0; i < size; ++i) {
            py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(seq, i));
            std::shared_ptr<ITransformer> step;
            if (!item) break;
            if (!load_shared(item, true, step)) {
                throw py::type_error(std::string(pipeline) + "(): 'steps' item " + std::to_string(i) +
                                     " must be a transformer (an ITransformer of this module), not " +
                                     type_name(item));
            }
        }
        PyErr_Clear();
    }
    throw py::type_error(std::string(pipeline) +
                         "(): 'steps' must be a sequence of transformers (ITransformer objects of this module), not " +
                         type_name(steps));
}

template <class Contract>
std::shared_ptr<Contract> load_learner(py::handle learner, const char* pipeline, const char* expected) {
    std::shared_ptr<Contract> out;
    if (!load_shared(learner, true, out)) {
        throw py::type_error(std::string(pipeline) + "(): 'learner' must be " + expected + ", not " +
                             type_name(learner));
    }
    return out;
}

// What a pipeline saves of its own: the number of steps. The steps and learner travel as the
// Python objects themselves, so pickle's memo keeps any sharing with other pickled objects.
struct PipelineShape {
    std::uint64_t n_steps = 0;
    void save_state(StateWriter& out) const { out.u64(n_steps); }
    void load_state(StateReader& in) { n_steps = in.u64(); }
};

constexpr std::uint32_t kPipelineVersion = 1;

// The sample of a call that did not read as numbers: with its categories for a pipeline led by an
// encoder; refused with TypeError otherwise, and for anything that is no sample at all.
template <class P>
MixedSample mixed_argument(const P& self, const PipelineSample& x, const char* method) {
    MixedSample sample;
    if (self.encoder() && load_mixed_sample(x.source, sample)) return sample;
    throw py::type_error(std::string(method) + "(): x must be a sample, a mapping from str to float" +
                         (self.encoder() ? ", str or None, not " + type_name(x.source)
                                         : " (a str value needs a pipeline whose first step is an encoder)"));
}

// transform_one of the classification and regression pipelines: the sample as the steps leave it.
template <class Contract, class Cls>
void def_transform_one(Cls& cls) {
    using P = typename Cls::type;
    cls.def(
        "transform_one",
        [](P& self, PipelineSample x) {
            ensure_parts_idle<Contract>(self);
            TransformedSample out{{}, x.source};
            if (x.numeric) {
                self.chain().transform(x.map);
                out.map = std::move(x.map);
            } else {
                self.chain().transform(mixed_argument(self, x, "transform_one"), out.map);
            }
            return out;
        },
        sample_x(), py::pos_only(),
        method_doc("The sample as the steps leave it; learns nothing.",
                   {kPipelineX, "Returns a new dict of str to float.", doc::kRaises})
            .c_str());
}

// learn_one, predict_one and transform_one of the classification and regression pipelines; Target
// is the label or value type.
template <class Contract, class Target, class Cls>
void def_supervised_one(Cls& cls) {
    using P = typename Cls::type;
    cls.def(
           "learn_one",
           [](P& self, PipelineSample x, const ValueArg<Target>& y) {
               ensure_parts_idle<Contract>(self);
               if (x.numeric) return self.learn_in_place(x.map, checked(y, "learn_one", "y"));
               MixedSample sample = mixed_argument(self, x, "learn_one");
               self.learn_mixed(std::move(sample), checked(y, "learn_one", "y"));
           },
           sample_x(), py::arg("y"), py::pos_only(),
           method_doc("Each step learns the sample and transforms it; then the learner learns it.",
                      {kPipelineX, kOneY<Target>(), doc::kNone, doc::kRaises})
               .c_str())
        .def(
            "predict_one",
            [](P& self, PipelineSample x) {
                ensure_parts_idle<Contract>(self);
                if (x.numeric) return self.predict_in_place(x.map);
                return self.predict_mixed(mixed_argument(self, x, "predict_one"));
            },
            sample_x(), py::pos_only(),
            method_doc("The learner's prediction for the sample the steps transform.",
                       {kPipelineX, kOneReturns<Target>(), doc::kRaises})
                .c_str());
    def_transform_one<Contract>(cls);
}

// State: (sealed shape, step objects..., learner object).
template <class Cls, class Contract>
void def_pipeline_pickle(Cls& cls, const char* name, const char* learner_kind) {
    using P = typename Cls::type;
    cls.def(py::pickle(
        [name](const P& self) -> py::object {
            ensure_parts_idle<Contract>(self);
            const auto& steps = self.steps();
            py::tuple state(steps.size() + 2);
            state[0] = sealed_state(PipelineShape{steps.size()}, name, kPipelineVersion);
            for (std::size_t i = 0; i < steps.size(); ++i) state[i + 1] = py::cast(steps[i]);
            state[steps.size() + 1] = py::cast(self.learner());
            return state;
        },
        [name, learner_kind](const py::object& state) {
            if (!py::isinstance<py::tuple>(state) || py::len(state) < 2)
                throw StateError("not a saved " + std::string(name) + " state");
            const auto parts = state.cast<py::tuple>();
            PipelineShape shape;
            load_payload(shape, open_state(state_bytes(parts[0], name), name, kPipelineVersion), name);
            const std::string corrupted = "corrupted " + std::string(name) + " state: ";
            if (shape.n_steps != parts.size() - 2) throw StateError(corrupted + "step count");
            std::vector<std::shared_ptr<ITransformer>> steps(parts.size() - 2);
            for (std::size_t i = 0; i < steps.size(); ++i) {
                if (!load_shared(parts[i + 1], false, steps[i]))
                    throw StateError(corrupted + "step " + std::to_string(i) + " is not a transformer");
            }
            std::shared_ptr<Contract> learner;
            if (!load_shared(parts[parts.size() - 1], false, learner))
                throw StateError(corrupted + "its learner is not a " + learner_kind);
            return std::make_shared<P>(std::move(steps), std::move(learner));
        }));
}

// get_params ({'steps': [...], 'learner': ...}, the pipeline's own parts, not copies), clone (a new
// pipeline of the parts' clones) and __repr__ (`Name([steps...], learner)`, the parts' reprs).
template <class Cls, class Contract>
void def_pipeline_inspection(Cls& cls) {
    using P = typename Cls::type;
    cls.def(
           "get_params",
           [](const P& self) {
               py::list steps;
               for (const auto& step : self.steps()) steps.append(py::cast(step));
               return py::dict(py::arg("steps") = steps, py::arg("learner") = py::cast(self.learner()));
           },
           "The pipeline's own parts (not copies).\n\nReturns {'steps': [...], 'learner': ...}.")
        .def(
            "clone",
            [](const P& self) {
                std::vector<std::shared_ptr<ITransformer>> steps;
                for (const auto& step : self.steps())
                    steps.push_back(py::cast(step).attr("clone")().template cast<std::shared_ptr<ITransformer>>());
                auto learner = py::cast(self.learner()).attr("clone")().template cast<std::shared_ptr<Contract>>();
                return std::make_shared<P>(std::move(steps), std::move(learner));
            },
            "A new pipeline of the clones of the steps and the learner: same options, nothing learned.")
        .def("__repr__", [](py::handle self) {
            py::dict params = self.attr("get_params")();
            return py::str("{}({!r}, {!r})")
                .format(py::type::of(self).attr("__name__"), params["steps"], params["learner"]);
        });
}

// A pipeline class whose constructor checks the steps, then the learner, with
// set_feature_order, reset, inspection and pickle support; the caller adds the learning and
// answering methods.
template <class P, class Contract>
SharedClass<P, Contract> bind_pipeline(py::module_& m, const char* name, const char* learner_kind,
                                       const char* expected) {
    SharedClass<P, Contract> cls(m, name);
    cls.def(py::init([name, expected](py::object steps, py::object learner) {
                 auto chain = load_steps(steps, name);  // steps are checked first
                 auto model = load_learner<Contract>(learner, name, expected);
                 return std::make_shared<P>(std::move(chain), std::move(model));
             }),
            py::arg("steps"), py::arg("learner"))
        .def(
            "set_feature_order",
            [](P& self, const std::vector<std::string>& order) {
                ensure_parts_idle<Contract>(self);
                self.set_feature_order(order);
            },
            method_doc("Passes the feature order to every step (the learner is not told).",
                       {"order: list of str, feature names.", doc::kNone, doc::kRaises})
                .c_str())
        .def(
            "reset",
            [](P& self) {
                ensure_parts_idle<Contract>(self);
                self.reset();
            },
            method_doc("Resets every step and the learner (for everyone holding them).", {doc::kNone, doc::kBusy})
                .c_str());
    append_doc(cls, std::string(kParametersHeading) +
                        "\nsteps\n    sequence of transformers, applied in order (may be empty)\nlearner\n    " +
                        expected + ", shared, not copied");
    guard_attribute_writes(cls);
    def_pipeline_inspection<decltype(cls), Contract>(cls);
    def_pipeline_pickle<decltype(cls), Contract>(cls, name, learner_kind);
    return cls;
}

}  // namespace

// The converted sample belongs to the call: the steps transform it without another copy.

void register_classification_pipeline(py::module_& m) {
    using P = ClassificationPipeline;
    auto cls = bind_pipeline<P, IClassifier>(m, "ClassificationPipeline", "classifier",
                                             "a classifier (an IClassifier of this module)");
    def_supervised_one<IClassifier, Label>(cls);
    cls.def(
        "predict_proba_one",
        [](P& self, PipelineSample x) {
            ensure_parts_idle<IClassifier>(self);
            if (x.numeric) return self.predict_proba_in_place(x.map);
            return self.predict_proba_mixed(mixed_argument(self, x, "predict_proba_one"));
        },
        sample_x(), py::pos_only(),
        method_doc("The learner's class probabilities for the sample the steps transform.",
                   {kPipelineX, "Returns a dict of int label to float probability.", doc::kRaises})
            .c_str());
    def_classifier_batches(cls);
}

void register_regression_pipeline(py::module_& m) {
    auto cls = bind_pipeline<RegressionPipeline, IRegressor>(m, "RegressionPipeline", "regressor",
                                                             "a regressor (an IRegressor of this module)");
    def_supervised_one<IRegressor, double>(cls);
    def_regressor_batches(cls);
}

void register_anomaly_pipeline(py::module_& m) {
    using P = AnomalyPipeline;
    auto cls = bind_pipeline<P, IAnomalyDetector>(m, "AnomalyPipeline", "anomaly detector",
                                                  "an anomaly detector (an IAnomalyDetector of this module)");
    cls.def(
           "learn_one",
           [](P& self, SampleArg x) {
               ensure_parts_idle<IAnomalyDetector>(self);
               checked(x, "learn_one");
               self.learn_in_place(x.map);
           },
           sample_x(), py::pos_only(),
           method_doc("Each step learns the sample and transforms it; then the detector learns it.",
                      {doc::kX, doc::kNone, doc::kRaises})
               .c_str())
        .def(
            "score_one",
            [](P& self, SampleArg x) {
                ensure_parts_idle<IAnomalyDetector>(self);
                checked(x, "score_one");
                return self.score_in_place(x.map);
            },
            sample_x(), py::pos_only(),
            method_doc("The detector's anomaly score for the sample the steps transform.",
                       {doc::kX, "Returns a float, higher meaning more anomalous.", doc::kRaises})
                .c_str());
    def_anomaly_batches(cls);
}

}  // namespace quelb::bindings
