#pragma once
// One way to register each kind of class, so adding a class is a list of names, not a copy of
// another class's binding.
#include "bindings/casters.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include "core/contracts.hpp"

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

}  // namespace quelb::bindings
