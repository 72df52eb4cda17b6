#include "bindings/casters.hpp"

#include <cstring>

namespace quelb::bindings {

namespace py = pybind11;

bool load_name(PyObject* src, std::string& out) {
    if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        // Cached in the string object: no temporary for the common case.
        const char* data = PyUnicode_AsUTF8AndSize(src, &size);
        if (!data) {
            PyErr_Clear();  // e.g. a lone surrogate
            return false;
        }
        out.assign(data, static_cast<std::size_t>(size));
        return true;
    }
    if (PyBytes_Check(src)) {
        out.assign(PyBytes_AS_STRING(src), static_cast<std::size_t>(PyBytes_GET_SIZE(src)));
        return true;
    }
    if (PyByteArray_Check(src)) {
        out.assign(PyByteArray_AS_STRING(src), static_cast<std::size_t>(PyByteArray_GET_SIZE(src)));
        return true;
    }
    return false;
}

bool load_float(PyObject* src, double& out) {
    if (PyFloat_Check(src)) {
        out = PyFloat_AS_DOUBLE(src);
        return true;
    }
    // Everything else follows the binding library's own float conversion with conversion allowed.
    py::detail::make_caster<double> caster;
    if (!caster.load(src, true)) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<double>(caster);
    return true;
}

namespace {

bool is_mapping_with_items(PyObject* src) {
    if (PyMapping_Check(src)) {
        PyObject* items = PyObject_GetAttrString(src, "items");
        if (items) {
            const bool callable = PyCallable_Check(items) != 0;
            Py_DECREF(items);
            if (callable) return true;
        } else {
            PyErr_Clear();
        }
    }
    PyObject* abc = PyImport_ImportModule("collections.abc");
    if (!abc) {
        PyErr_Clear();
        return false;
    }
    PyObject* mapping = PyObject_GetAttrString(abc, "Mapping");
    Py_DECREF(abc);
    if (!mapping) {
        PyErr_Clear();
        return false;
    }
    const int is_instance = PyObject_IsInstance(src, mapping);
    Py_DECREF(mapping);
    if (is_instance < 0) PyErr_Clear();
    return is_instance > 0;
}

// Reads one entry of a sample into out; false when its name or its value is refused. While no
// earlier name can come again (may_repeat false), a str name is appended without a lookup; any
// other name sets may_repeat, and a repeated name keeps its first value.
bool load_entry(PyObject* key, PyObject* value, quelb::FeatureMap& out, std::string& name, bool& may_repeat) {
    double number = 0.0;
    if (!may_repeat && PyUnicode_Check(key)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &size);
        if (!data || !load_float(value, number)) return false;
        out.append_unique(std::string_view(data, static_cast<std::size_t>(size)), number);
        return true;
    }
    may_repeat = true;
    if (!load_name(key, name) || !load_float(value, number)) return false;
    out.emplace(name, number);
    return true;
}

bool load_items(PyObject* src, quelb::FeatureMap& out) {
    PyObject* items = PyObject_CallMethod(src, "items", nullptr);
    if (!items) return false;
    PyObject* iterator = PyObject_GetIter(items);
    Py_DECREF(items);
    if (!iterator) return false;
    std::string name;
    bool may_repeat = true;  // a mapping's items may name a feature twice
    bool ok = true;
    while (PyObject* item = PyIter_Next(iterator)) {
        PyObject* pair = PySequence_Fast(item, "");
        Py_DECREF(item);
        if (!pair || PySequence_Fast_GET_SIZE(pair) != 2) {
            Py_XDECREF(pair);
            ok = false;
            break;
        }
        // A list pair could be emptied by its own value's conversion: hold both entries.
        PyObject** kv = PySequence_Fast_ITEMS(pair);
        py::object key = py::reinterpret_borrow<py::object>(kv[0]);
        py::object value = py::reinterpret_borrow<py::object>(kv[1]);
        ok = load_entry(key.ptr(), value.ptr(), out, name, may_repeat);
        Py_DECREF(pair);
        if (!ok) break;
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
}

// An empty dict with room for size entries: a fresh dict grows (and rehashes) past 5 entries.
PyObject* new_dict(std::size_t size) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(size));
#else
    (void)size;
    return PyDict_New();
#endif
}

// Sets dict[key] to value as a float and releases key, which may be null (its conversion failed).
// False, with the error set, when anything failed.
bool set_float_item(PyObject* dict, PyObject* key, double value) {
    PyObject* number = key ? PyFloat_FromDouble(value) : nullptr;
    const bool ok = number && PyDict_SetItem(dict, key, number) == 0;
    Py_XDECREF(key);
    Py_XDECREF(number);
    return ok;
}

bool is_iterable_name_source(PyObject* src) {
    if (PyUnicode_Check(src) || PyBytes_Check(src) || PyByteArray_Check(src)) return false;
    if (PyDict_Check(src)) return false;  // a mapping is not a list of names
    return PySequence_Check(src) || PyAnySet_Check(src) || PyGen_Check(src) ||
           PyDictKeys_Check(src) || PyDictValues_Check(src) || PyDictItems_Check(src) ||
           PyObject_TypeCheck(src, &PyMap_Type) || PyObject_TypeCheck(src, &PyZip_Type);
}

}  // namespace

bool load_feature_map(PyObject* src, quelb::FeatureMap& out) {
    out.clear();
    bool ok = false;
    if (PyDict_Check(src)) {
        const Py_ssize_t entries = PyDict_GET_SIZE(src);
        out.reserve(static_cast<std::size_t>(entries));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        std::string name;
        // Distinct str keys of a dict have distinct UTF-8 bytes, so they append without a lookup;
        // only a bytes key can repeat a name already read.
        bool may_repeat = false;
        ok = true;
        while (PyDict_Next(src, &pos, &key, &value)) {
            // The common case, an ASCII name with a float value, reads both in place: no call
            // into Python, no Python code run.
            if (!may_repeat && PyFloat_Check(value) && PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key)) {
                const char* data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(key) + 1);
                const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
                out.append_unique(std::string_view(data, size), PyFloat_AS_DOUBLE(value));
                continue;
            }
            // A value that is not a float or an int converts through Python code, which may change
            // the dict and drop its references to this very pair: hold the pair while it is read,
            // and refuse a sample whose dict changed size (as iterating it in Python would).
            py::object held_key, held_value;
            const bool runs_code = !PyFloat_Check(value) && !PyLong_CheckExact(value) && !PyBool_Check(value);
            if (runs_code) {
                held_key = py::reinterpret_borrow<py::object>(key);
                held_value = py::reinterpret_borrow<py::object>(value);
            }
            ok = load_entry(key, value, out, name, may_repeat);
            if (ok && runs_code) {
                ok = PyDict_GET_SIZE(src) == entries;
                may_repeat = true;  // the dict may have been refilled with names already read
            }
            if (!ok) break;
        }
    } else if (is_mapping_with_items(src)) {
        ok = load_items(src, out);
    }
    if (!ok) {
        PyErr_Clear();
        out.clear();
    }
    return ok;
}

bool load_name_list(PyObject* src, std::vector<std::string>& out) {
    out.clear();
    if (!is_iterable_name_source(src)) return false;
    PyObject* iterator = PyObject_GetIter(src);
    if (!iterator) {
        PyErr_Clear();
        return false;
    }
    bool ok = true;
    std::string name;
    while (PyObject* item = PyIter_Next(iterator)) {
        ok = load_name(item, name);
        Py_DECREF(item);
        if (!ok) break;
        out.push_back(name);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        ok = false;
    }
    if (!ok) out.clear();
    return ok;
}

PyObject* feature_map_to_dict(const quelb::FeatureMap& x) {
    PyObject* dict = new_dict(x.size());
    if (!dict) return nullptr;
    for (const auto& [name, value] : x) {
        PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
        if (!set_float_item(dict, key, value)) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

namespace {

// Whether key is an exact str whose UTF-8 form is name.
bool is_str_named(PyObject* key, const std::string& name) {
    if (!PyUnicode_CheckExact(key)) return false;
    const char* data;
    Py_ssize_t size;
    if (PyUnicode_IS_COMPACT_ASCII(key)) {
        data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(key) + 1);
        size = PyUnicode_GET_LENGTH(key);
    } else {
        data = PyUnicode_AsUTF8AndSize(key, &size);  // cached by the sample's conversion
        if (!data) {
            PyErr_Clear();
            return false;
        }
    }
    return static_cast<std::size_t>(size) == name.size() && std::memcmp(data, name.data(), name.size()) == 0;
}

// How many keys past a mismatch the reuse looks for the next name (features a transformer left
// out); beyond that the name gets a new str object.
constexpr int kReuseLookahead = 8;

}  // namespace

PyObject* feature_map_to_dict(const quelb::FeatureMap& x, PyObject* source) {
    if (!source || !PyDict_Check(source)) return feature_map_to_dict(x);
    PyObject* dict = new_dict(x.size());
    if (!dict) return nullptr;
    Py_ssize_t cursor = 0;  // the source position just past the last key reused
    for (const auto& [name, value] : x) {
        PyObject* key = nullptr;
        Py_ssize_t pos = cursor;
        PyObject* candidate = nullptr;
        PyObject* ignored = nullptr;
        for (int step = 0; step < kReuseLookahead && PyDict_Next(source, &pos, &candidate, &ignored); ++step) {
            if (is_str_named(candidate, name)) {
                key = candidate;
                Py_INCREF(key);
                cursor = pos;
                break;
            }
        }
        if (!key) key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
        if (!set_float_item(dict, key, value)) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

PyObject* probabilities_to_dict(const quelb::ClassProbabilities& p) {
    PyObject* dict = new_dict(p.size());
    if (!dict) return nullptr;
    for (const auto& [label, probability] : p) {
        if (!set_float_item(dict, PyLong_FromLong(label), probability)) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace quelb::bindings
