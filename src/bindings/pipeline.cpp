// Registration of the pipelines. Their constructors check the steps and the learner themselves,
// so that a wrong argument is refused at construction with a TypeError naming that argument.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

#include "pipeline/pipelines.hpp"

namespace quelb::bindings {

namespace {

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

// What both pipelines offer beyond their contract: the steps' transformation, the feature order
// for the steps, reset.
template <class Contract, class Cls>
void def_pipeline_methods(Cls& cls) {
    using P = typename Cls::type;
    cls.def("transform_one",
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
            })
        .def("set_feature_order",
             [](P& self, const std::vector<std::string>& order) {
                 ensure_parts_idle<Contract>(self);
                 self.set_feature_order(order);
             })
        .def("reset", [](P& self) {
            ensure_parts_idle<Contract>(self);
            self.reset();
        });
    guard_attribute_writes(cls);
}

// State: (sealed shape, step objects..., learner object).
template <class Cls, class Contract>
void def_pipeline_pickle(Cls& cls, const char* name) {
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
        [name](const py::object& state) {
            if (!py::isinstance<py::tuple>(state) || py::len(state) < 2)
                throw StateError("not a saved " + std::string(name) + " state");
            const auto parts = state.cast<py::tuple>();
            PipelineShape shape;
            load_payload(shape, open_state(state_bytes(parts[0], name), name, kPipelineVersion).first, name);
            const std::string corrupted = "corrupted " + std::string(name) + " state: ";
            if (shape.n_steps != parts.size() - 2) throw StateError(corrupted + "step count");
            std::vector<std::shared_ptr<ITransformer>> steps(parts.size() - 2);
            for (std::size_t i = 0; i < steps.size(); ++i) {
                if (!load_shared(parts[i + 1], false, steps[i]))
                    throw StateError(corrupted + "step " + std::to_string(i) + " is not a transformer");
            }
            std::shared_ptr<Contract> learner;
            if (!load_shared(parts[parts.size() - 1], false, learner))
                throw StateError(corrupted + "its learner is not a " +
                                 (std::is_same_v<Contract, IClassifier> ? "classifier" : "regressor"));
            return std::make_shared<P>(std::move(steps), std::move(learner));
        }));
}

}  // namespace

void register_classification_pipeline(py::module_& m) {
    using P = ClassificationPipeline;
    SharedClass<P, IClassifier> cls(m, "ClassificationPipeline");
    cls.def(py::init([](py::object steps, py::object learner) {
                 auto chain = load_steps(steps, "ClassificationPipeline");  // steps are checked first
                 auto model = load_learner<IClassifier>(learner, "ClassificationPipeline",
                                                        "a classifier (an IClassifier of this module)");
                 return std::make_shared<P>(std::move(chain), std::move(model));
             }),
            py::arg("steps"), py::arg("learner"))
        // The converted sample belongs to the call: the steps transform it without another copy.
        .def("learn_one",
             [](P& self, PipelineSample x, Label y) {
                 ensure_parts_idle<IClassifier>(self);
                 if (x.numeric) return self.learn_in_place(x.map, y);
                 self.learn_mixed(mixed_argument(self, x, "learn_one"), y);
             })
        .def("predict_one",
             [](P& self, PipelineSample x) {
                 ensure_parts_idle<IClassifier>(self);
                 if (x.numeric) return self.predict_in_place(x.map);
                 return self.predict_mixed(mixed_argument(self, x, "predict_one"));
             })
        .def("predict_proba_one", [](P& self, PipelineSample x) {
            ensure_parts_idle<IClassifier>(self);
            if (x.numeric) return self.predict_proba_in_place(x.map);
            return self.predict_proba_mixed(mixed_argument(self, x, "predict_proba_one"));
        });
    def_pipeline_methods<IClassifier>(cls);
    def_classifier_batches(cls);
    def_pipeline_pickle<decltype(cls), IClassifier>(cls, "ClassificationPipeline");
}

void register_regression_pipeline(py::module_& m) {
    using P = RegressionPipeline;
    SharedClass<P, IRegressor> cls(m, "RegressionPipeline");
    cls.def(py::init([](py::object steps, py::object learner) {
                 auto chain = load_steps(steps, "RegressionPipeline");
                 auto model = load_learner<IRegressor>(learner, "RegressionPipeline",
                                                       "a regressor (an IRegressor of this module)");
                 return std::make_shared<P>(std::move(chain), std::move(model));
             }),
            py::arg("steps"), py::arg("learner"))
        .def("learn_one",
             [](P& self, PipelineSample x, double y) {
                 ensure_parts_idle<IRegressor>(self);
                 if (x.numeric) return self.learn_in_place(x.map, y);
                 self.learn_mixed(mixed_argument(self, x, "learn_one"), y);
             })
        .def("predict_one", [](P& self, PipelineSample x) {
            ensure_parts_idle<IRegressor>(self);
            if (x.numeric) return self.predict_in_place(x.map);
            return self.predict_mixed(mixed_argument(self, x, "predict_one"));
        });
    def_pipeline_methods<IRegressor>(cls);
    def_regressor_batches(cls);
    def_pipeline_pickle<decltype(cls), IRegressor>(cls, "RegressionPipeline");
}

}  // namespace quelb::bindings
