#pragma once
// Conversions between Python objects and the native value types. Every bindings file includes
// this header before anything that could instantiate a caster, and none includes pybind11/stl.h:
// these full specialisations replace the stock container conversions.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/mixed_sample.hpp"
#include "core/types.hpp"

namespace quelb::bindings {

// Reads a str (as UTF-8), bytes or bytearray into out. Returns false, with no Python error
// pending, for any other object or a str that cannot be encoded.
bool load_name(PyObject* src, std::string& out);

// Reads a float by the float conversion rule (float unchanged; int, bool and other numbers
// converted; strings rejected). Returns false with no Python error pending on failure.
bool load_float(PyObject* src, double& out);

// Where the reading of a refused sample stopped, for its error message: the entry refused (key
// and value), or a dict that changed size while read; neither when it is no readable mapping.
struct SampleFault {
    pybind11::object key, value;
    bool resized = false;
};

// Reads a sample: a dict (or subclass), or any mapping read through items(). The first value of
// a repeated key wins. Returns false with no Python error pending and out cleared on failure,
// filling fault when given.
bool load_feature_map(PyObject* src, quelb::FeatureMap& out, SampleFault* fault = nullptr);

// Reads a sample whose values may be categories, for the encoders: numbers as load_feature_map
// reads them, str values and bytes values holding UTF-8 as categories, None as an absent feature.
// Returns false, with no Python error pending and out cleared, for anything else; raises
// ValueError naming the feature for a category that is not UTF-8.
bool load_mixed_sample(PyObject* src, quelb::MixedSample& out, SampleFault* fault = nullptr);
// Adds one value under a name out does not hold yet, by the same rules (None adds nothing).
bool load_mixed_value(std::string_view name, PyObject* value, quelb::MixedSample& out);

// Reads a list of names: any sequence other than str/bytes/bytearray, or a set, frozenset,
// generator, dictionary view, map or zip object, read once in iteration order.
bool load_name_list(PyObject* src, std::vector<std::string>& out);

// True when src is a collections.abc.Mapping (the class is looked up once); never raises.
bool is_abc_mapping(PyObject* src);

// A module, taken from sys.modules once imported: an import statement of a package runs the
// import machinery's Python code on every call, which would dominate a small batch call.
pybind11::module_ imported_module(const char* name);

// Reads an object of the registered class T (or of a class derived from it) as a shared owner of
// that same object. None, which the stock holder conversion would read as an empty owner, and an
// instance whose native part was never built (which it would throw for) both return false.
template <class T>
bool load_shared(pybind11::handle src, bool convert, std::shared_ptr<T>& out) {
    if (!src || src.is_none()) return false;
    pybind11::detail::make_caster<std::shared_ptr<T>> caster;
    try {
        if (!caster.load(src, convert)) return false;
    } catch (const pybind11::cast_error&) {
        return false;
    }
    out = pybind11::detail::cast_op<std::shared_ptr<T>>(caster);
    return out != nullptr;
}

// The arguments of the one-sample methods never fail to load: a refused one is kept (ok false)
// for the method to raise TypeError naming itself, the argument and the fault (checked below),
// where the binding library would list the overloads. Each remembers the object it was read
// from (borrowed: the call's arguments outlive the call).

// A sample; a result naming the sample's features can reuse its key objects.
struct SampleArg {
    quelb::FeatureMap map;
    PyObject* source = nullptr;
    SampleFault fault;
    bool ok = false;
};

// A sample of an encoder, with categories.
struct MixedSampleArg {
    quelb::MixedSample sample;
    PyObject* source = nullptr;
    SampleFault fault;
    bool ok = false;
};

// A label (Label) or value (double), read by the binding library's own conversion.
template <class T>
struct ValueArg {
    T value{};
    PyObject* source = nullptr;
    bool ok = false;
};

// TypeError "method(): name ...": what is wrong with a refused argument.
[[noreturn]] void refuse_sample(const char* method, const char* name, PyObject* src, const SampleFault& fault,
                                bool categories);
[[noreturn]] void refuse_value(const char* method, const char* name, PyObject* src, const char* expected);
// TypeError "'name' must be <expected>, not <type> <repr>": a refused option value.
[[noreturn]] void refuse_option(const char* name, PyObject* src, const char* expected);

inline const quelb::FeatureMap& checked(const SampleArg& x, const char* method, const char* name = "x") {
    if (!x.ok) [[unlikely]] refuse_sample(method, name, x.source, x.fault, false);
    return x.map;
}
inline const quelb::MixedSample& checked(const MixedSampleArg& x, const char* method, const char* name = "x") {
    if (!x.ok) [[unlikely]] refuse_sample(method, name, x.source, x.fault, true);
    return x.sample;
}
template <class T>
T checked(const ValueArg<T>& y, const char* method, const char* name) {
    if (!y.ok) [[unlikely]] {
        if constexpr (std::is_floating_point_v<T>) refuse_value(method, name, y.source, "a real number");
        else refuse_value(method, name, y.source, "an int within the signed 32-bit range");
    }
    return y.value;
}

// A sample argument of a pipeline: read as numbers when it holds only numbers, exactly as any
// learner reads it; otherwise only kept (numeric false), for a pipeline led by an encoder to read
// with its categories (mixed_argument in bind_helpers.hpp) and for any other to refuse.
struct PipelineSample {
    quelb::FeatureMap map;
    PyObject* source = nullptr;
    bool numeric = false;
};

// A transformed sample, returned as a dict whose keys are the source sample's own str objects
// wherever the names agree (no new string to build and hash), new str objects elsewhere.
struct TransformedSample {
    quelb::FeatureMap map;
    PyObject* source = nullptr;
};

// str objects for the result names that a transformer makes itself, told apart by a character
// they hold (an encoder's "feature=category"), kept from call to call: a name that comes back
// costs a lookup instead of a search of the sample's keys and a new str to build and hash. Holds
// a bounded number of names; emptied when full. Used with the interpreter lock held.
class KeyCache {
public:
    explicit KeyCache(char marker) : marker_(marker) {}
    bool made(const std::string& name) const { return name.find(marker_) != std::string::npos; }
    // A new reference; nullptr with a Python error set when the name is not UTF-8.
    PyObject* key(const std::string& name);

private:
    static constexpr std::size_t kLimit = 4096;
    char marker_;
    std::unordered_map<std::string, PyObject*, quelb::NameHash> keys_;
};

// New references; nullptr with a Python error set on failure (e.g. a key that is not UTF-8).
PyObject* feature_map_to_dict(const quelb::FeatureMap& x);
// The same, reusing the keys of `source` (a dict read into a sample, or anything else: then
// nothing is reused) that carry the same names in the same order; the names `made` tells
// apart come from it.
PyObject* feature_map_to_dict(const quelb::FeatureMap& x, PyObject* source, KeyCache* made = nullptr);
PyObject* probabilities_to_dict(const quelb::ClassProbabilities& p);

// The result of a conversion to Python, or, when it failed, its pending Python error thrown on:
// the caller then sees that error (UnicodeDecodeError, MemoryError) itself, where a null result
// would become the binding library's generic "Unable to convert function return value" TypeError.
inline pybind11::handle checked_result(PyObject* result) {
    if (!result) throw pybind11::error_already_set();
    return result;
}

}  // namespace quelb::bindings

namespace pybind11::detail {

template <>
struct type_caster<quelb::FeatureMap> {
    PYBIND11_TYPE_CASTER(quelb::FeatureMap, const_name("Mapping[str, float]"));
    bool load(handle src, bool /*convert*/) { return quelb::bindings::load_feature_map(src.ptr(), value); }
    static handle cast(const quelb::FeatureMap& x, return_value_policy, handle) {
        return quelb::bindings::checked_result(quelb::bindings::feature_map_to_dict(x));
    }
};

template <>
struct type_caster<quelb::bindings::SampleArg> {
    PYBIND11_TYPE_CASTER(quelb::bindings::SampleArg, const_name("Mapping[str, float]"));
    bool load(handle src, bool /*convert*/) {
        value.source = src.ptr();
        value.ok = quelb::bindings::load_feature_map(src.ptr(), value.map, &value.fault);
        return true;
    }
};

template <>
struct type_caster<quelb::bindings::MixedSampleArg> {
    PYBIND11_TYPE_CASTER(quelb::bindings::MixedSampleArg, const_name("Mapping[str, float | str | bytes | None]"));
    bool load(handle src, bool /*convert*/) {
        value.source = src.ptr();
        value.ok = quelb::bindings::load_mixed_sample(src.ptr(), value.sample, &value.fault);
        return true;
    }
};

template <class T>
struct type_caster<quelb::bindings::ValueArg<T>> {
    PYBIND11_TYPE_CASTER(quelb::bindings::ValueArg<T>, make_caster<T>::name);
    bool load(handle src, bool convert) {
        value.source = src.ptr();
        make_caster<T> caster;
        value.ok = caster.load(src, convert);
        if (value.ok) value.value = cast_op<T>(caster);
        return true;
    }
};

template <>
struct type_caster<quelb::bindings::PipelineSample> {
    PYBIND11_TYPE_CASTER(quelb::bindings::PipelineSample, const_name("Mapping[str, float]"));
    bool load(handle src, bool /*convert*/) {
        value.source = src.ptr();
        value.numeric = quelb::bindings::load_feature_map(src.ptr(), value.map);
        return true;
    }
};

template <>
struct type_caster<quelb::bindings::TransformedSample> {
    PYBIND11_TYPE_CASTER(quelb::bindings::TransformedSample, const_name("Mapping[str, float]"));
    bool load(handle, bool) { return false; }  // results only
    static handle cast(const quelb::bindings::TransformedSample& x, return_value_policy, handle) {
        return quelb::bindings::checked_result(quelb::bindings::feature_map_to_dict(x.map, x.source));
    }
};

template <>
struct type_caster<quelb::ClassProbabilities> {
    PYBIND11_TYPE_CASTER(quelb::ClassProbabilities, const_name("dict[int, float]"));
    bool load(handle, bool) { return false; }  // results only: never accepted as an argument
    static handle cast(const quelb::ClassProbabilities& p, return_value_policy, handle) {
        return quelb::bindings::checked_result(quelb::bindings::probabilities_to_dict(p));
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
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), quelb::bindings::checked_result(s).ptr());
        }
        return out.release();
    }
};

// A sequence (not str/bytes/bytearray) of objects of the registered class T or of classes derived
// from it, read as shared owners of those same objects, never copies. None, an object of another
// class or one whose native part was never constructed makes the whole load fail.
template <class T>
struct type_caster<std::vector<std::shared_ptr<T>>> {
    using Holder = std::shared_ptr<T>;
    PYBIND11_TYPE_CASTER(std::vector<Holder>, const_name("Sequence[") + make_caster<T>::name + const_name("]"));

    bool load(handle src, bool convert) {
        value.clear();
        PyObject* seq = src.ptr();
        if (!seq || !PySequence_Check(seq) || PyUnicode_Check(seq) || PyBytes_Check(seq) || PyByteArray_Check(seq))
            return false;
        const Py_ssize_t size = PySequence_Size(seq);
        if (size < 0) {
            PyErr_Clear();
            return false;
        }
        value.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            object item = reinterpret_steal<object>(PySequence_GetItem(seq, i));
            Holder holder;
            if (!item || !quelb::bindings::load_shared(item, convert, holder)) {
                PyErr_Clear();
                value.clear();
                return false;
            }
            value.push_back(std::move(holder));
        }
        return true;
    }

    static handle cast(const std::vector<Holder>& items, return_value_policy policy, handle parent) {
        list out(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            handle item = quelb::bindings::checked_result(make_caster<Holder>::cast(items[i], policy, parent).ptr());
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item.ptr());
        }
        return out.release();
    }
};

}  // namespace pybind11::detail
