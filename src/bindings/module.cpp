// The module entry: registers the contracts, then every class in its fixed order.
#include "bindings/bind_helpers.hpp"
#include "bindings/casters.hpp"
#include "bindings/class_docs.hpp"
#include "bindings/registration.hpp"

#include <memory>

#include "core/contracts.hpp"
#include "core/mixed_sample.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_quelb_core, m) {
    // The binding library's entry has already compared the interpreter version with the one
    // this module was compiled for and refused the import on a mismatch.
    m.doc() = "QUELB C++ core \u2014 streaming learners, preprocessing, metrics, drift, pipelines";

    // A value of the wrong kind found past the conversion (a category no encoder takes) is a
    // TypeError like any other; names in the message may hold bytes that are not UTF-8.
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const quelb::SampleTypeError& e) {
            const std::string text = e.what();
            PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
            if (message) {
                PyErr_SetObject(PyExc_TypeError, message);
                Py_DECREF(message);
            }
        }
    });

    using namespace quelb::bindings;
    py::class_<quelb::ITransformer, std::shared_ptr<quelb::ITransformer>> transformer(m, "ITransformer");
    py::class_<quelb::IClassifier, std::shared_ptr<quelb::IClassifier>> classifier(m, "IClassifier");
    py::class_<quelb::IRegressor, std::shared_ptr<quelb::IRegressor>> regressor(m, "IRegressor");
    py::class_<quelb::IAnomalyDetector, std::shared_ptr<quelb::IAnomalyDetector>> detector(m, "IAnomalyDetector");
    // Bound on the contracts: every learner of a family inherits it.
    def_memory_usage(transformer);
    def_memory_usage(classifier);
    def_memory_usage(regressor);
    def_memory_usage(detector);

#define QUELB_REGISTER(name) register_##name(m);
    QUELB_CLASSES(QUELB_REGISTER)
#undef QUELB_REGISTER
    document_classes(m);
}
