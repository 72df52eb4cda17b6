#pragma once
#include <pybind11/pybind11.h>

namespace quelb::bindings {

// Completes the docstring of every class of the module once all are bound: its summary first,
// then what its binding wrote (the Parameters section), then its methods and properties.
void document_classes(pybind11::module_& m);

}  // namespace quelb::bindings
