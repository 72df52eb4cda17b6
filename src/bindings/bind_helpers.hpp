#pragma once
// One way to register each kind of class, so adding a class is a list of names, not a copy of
// another class's binding.
#include "bindings/casters.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "core/contracts.hpp"
#include "core/state.hpp"
#include "trees/hoeffding_tree_regressor.hpp"

namespace quelb::bindings {

namespace py = pybind11;

template <class T, class Base>
using SharedClass = py::class_<T, Base, std::shared_ptr<T>>;

// A classifier with the contract methods bound positionally, each a call of the virtual operation.
template <class T, class Base = IClassifier>
SharedClass<T, Base> bind_classifier(py::module_& m, const char* name) {
    SharedClass<T, Base> cls(m, name);
    cls.def("learn_one", [](T& self, const FeatureMap& x, Label y) { static_cast<IClassifier&>(self).learn_one(x, y); })
        .def("predict_one", [](T& self, const FeatureMap& x) { return static_cast<IClassifier&>(self).predict_one(x); })
        .def("predict_proba_one",
             [](T& self, const FeatureMap& x) { return static_cast<IClassifier&>(self).predict_proba_one(x); })
        .def("reset", [](T& self) { static_cast<IClassifier&>(self).reset(); });
    return cls;
}

template <class T, class Base = IRegressor>
SharedClass<T, Base> bind_regressor(py::module_& m, const char* name) {
    SharedClass<T, Base> cls(m, name);
    cls.def("learn_one", [](T& self, const FeatureMap& x, double y) { static_cast<IRegressor&>(self).learn_one(x, y); })
        .def("predict_one", [](T& self, const FeatureMap& x) { return static_cast<IRegressor&>(self).predict_one(x); })
        .def("reset", [](T& self) { static_cast<IRegressor&>(self).reset(); });
    return cls;
}

// A transformer; supervised ones take the target in learn_one. clone_state copies the whole state.
template <class T, bool Supervised = false>
SharedClass<T, ITransformer> bind_transformer(py::module_& m, const char* name) {
    SharedClass<T, ITransformer> cls(m, name);
    if constexpr (Supervised) {
        cls.def("learn_one",
                [](T& self, const FeatureMap& x, double y) { static_cast<ITransformer&>(self).learn_one(x, y); });
    } else {
        cls.def("learn_one", [](T& self, const FeatureMap& x) { static_cast<ITransformer&>(self).learn_one(x); });
    }
    cls.def("transform_one",
            [](T& self, const SampleArg& x) {
                return TransformedSample{static_cast<ITransformer&>(self).transform_one(x.map), x.source};
            })
        .def("clone_state", [](const T& self) { return std::make_shared<T>(self); })
        .def("reset", [](T& self) { static_cast<ITransformer&>(self).reset(); });
    return cls;
}

// A read-write property whose setter rejects values failing `valid` with ValueError(message).
template <class Cls, class T, class Field, class Valid>
void def_checked_property(Cls& cls, const char* name, Field T::*field, Valid valid, const char* message) {
    cls.def_property(
        name, [field](const T& self) { return self.*field; },
        [field, valid, message](T& self, Field value) {
            if (!valid(value)) throw std::invalid_argument(message);
            self.*field = value;
        });
}

// The split_criterion property of the regression tree and of the ensembles made of it: the
// criterion's name, and ValueError naming the option for any other text.
template <class Cls>
void def_split_criterion(Cls& cls) {
    using T = typename Cls::type;
    cls.def_property(
        "split_criterion", [](const T& self) { return std::string(split_criterion_name(self.split_criterion)); },
        [](T& self, const std::string& text) { self.split_criterion = parse_split_criterion(text); });
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
    cls.def(py::pickle([class_name, version](const T& self) { return sealed_state(self, class_name, version); },
                       [class_name, version, make_blank](const py::object& state) {
                           auto object = make_blank();
                           load_payload(*object, open_state(state_bytes(state, class_name), class_name, version),
                                        class_name);
                           return object;
                       }));
}

// The same for classes whose defaults make a blank object.
template <class Cls>
void def_pickle(Cls& cls, const char* class_name, std::uint32_t version = 1) {
    using T = typename Cls::type;
    using Holder = typename Cls::holder_type;
    def_pickle(cls, class_name, version, [] { return Holder(new T()); });
}

}  // namespace quelb::bindings
