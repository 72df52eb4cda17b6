#pragma once
// Conversions between Python objects and the native value types. Every bindings file includes
// this header before anything that could instantiate a caster, and none includes pybind11/stl.h:
// these full specialisations replace the stock container conversions.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "core/types.hpp"

namespace quelb::bindings {

// Reads a str (as UTF-8), bytes or bytearray into out. Returns false, with no Python error
// pending, for any other object or a str that cannot be encoded.
bool load_name(PyObject* src, std::string& out);

// Reads a float by the float conversion rule (float unchanged; int, bool and other numbers
// converted; strings rejected). Returns false with no Python error pending on failure.
bool load_float(PyObject* src, double& out);

// Reads a sample: a dict (or subclass), or any mapping read through items(). The first value of
// a repeated key wins. Returns false with no Python error pending and out cleared on failure.
bool load_feature_map(PyObject* src, quelb::FeatureMap& out);

// Reads a list of names: any sequence other than str/bytes/bytearray, or a set, frozenset,
// generator, dictionary view, map or zip object, read once in iteration order.
bool load_name_list(PyObject* src, std::vector<std::string>& out);

// New references; nullptr with a Python error set on failure (e.g. a key that is not UTF-8).
PyObject* feature_map_to_dict(const quelb::FeatureMap& x);
PyObject* probabilities_to_dict(const quelb::ClassProbabilities& p);

}  // namespace quelb::bindings

namespace pybind11::detail {

template <>
struct type_caster<quelb::FeatureMap> {
    PYBIND11_TYPE_CASTER(quelb::FeatureMap, const_name("Mapping[str, float]"));
    bool load(handle src, bool /*convert*/) { return quelb::bindings::load_feature_map(src.ptr(), value); }
    static handle cast(const quelb::FeatureMap& x, return_value_policy, handle) {
        return quelb::bindings::feature_map_to_dict(x);
    }
};

template <>
struct type_caster<quelb::ClassProbabilities> {
    PYBIND11_TYPE_CASTER(quelb::ClassProbabilities, const_name("dict[int, float]"));
    bool load(handle, bool) { return false; }  // results only: never accepted as an argument
    static handle cast(const quelb::ClassProbabilities& p, return_value_policy, handle) {
        return quelb::bindings::probabilities_to_dict(p);
    }
};

template <>
struct type_caster<std::vector<std::string>> {
    PYBIND11_TYPE_CASTER(std::vector<std::string>, const_name("Iterable[str]"));
    bool load(handle src, bool /*convert*/) { return quelb::bindings::load_name_list(src.ptr(), value); }
    static handle cast(const std::vector<std::string>& names, return_value_policy, handle) {
        list out(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* s = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), nullptr);
            if (!s) return nullptr;
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), s);
        }
        return out.release();
    }
};

}  // namespace pybind11::detail
