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
    return is_abc_mapping(src);
}

}  // namespace

bool is_abc_mapping(PyObject* src) {
    static PyObject* mapping = nullptr;  // kept for the interpreter's life, as the module keeps it
    if (mapping == nullptr) {
        PyObject* abc = PyImport_ImportModule("collections.abc");
        if (abc) {
            mapping = PyObject_GetAttrString(abc, "Mapping");
            Py_DECREF(abc);
        }
        if (mapping == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    const int is_instance = PyObject_IsInstance(src, mapping);
    if (is_instance < 0) PyErr_Clear();
    return is_instance > 0;
}

py::module_ imported_module(const char* name) {
    py::str key(name);
    if (PyObject* module = PyImport_GetModule(key.ptr())) return py::reinterpret_steal<py::module_>(module);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import(name);
}

namespace {

// The numbers of a sample: every value must convert to float.
struct NumberReader {
    quelb::FeatureMap& out;

    // Values read without running any Python code.
    static bool plain(PyObject* value) { return PyFloat_Check(value) || PyLong_CheckExact(value) || PyBool_Check(value); }
    // The common case read in place, under a name not read before: an ASCII name, a float value.
    bool quick(PyObject* key, PyObject* value) {
        if (!PyFloat_Check(value) || !PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key)) return false;
        const char* data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(key) + 1);
        out.append_unique(std::string_view(data, static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))),
                          PyFloat_AS_DOUBLE(value));
        return true;
    }
    // A name not read before.
    bool append(std::string_view name, PyObject* value) {
        double number = 0.0;
        if (!load_float(value, number)) return false;
        out.append_unique(name, number);
        return true;
    }
    // A name that may have been read before: the first value stays.
    bool insert(const std::string& name, PyObject* value) {
        double number = 0.0;
        if (!load_float(value, number)) return false;
        out.emplace(name, number);
        return true;
    }
};

// Reads one entry of a sample; false when its name or its value is refused. While no earlier
// name can come again (may_repeat false), a str name is appended without a lookup; any other name
// sets may_repeat, and a repeated name keeps its first value. Only exact str keys: a dict holds
// two keys of a str subclass with its own hash and equality that spell the same name.
template <class Reader>
[[gnu::noinline]] bool load_entry(PyObject* key, PyObject* value, Reader& reader, std::string& name, bool& may_repeat) {
    if (!may_repeat && PyUnicode_CheckExact(key)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &size);
        return data && reader.append(std::string_view(data, static_cast<std::size_t>(size)), value);
    }
    may_repeat = true;
    return load_name(key, name) && reader.insert(name, value);
}

template <class Reader>
[[gnu::noinline]] bool load_items(PyObject* src, Reader& reader, SampleFault* fault) {
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
        ok = load_entry(key.ptr(), value.ptr(), reader, name, may_repeat);
        Py_DECREF(pair);
        if (!ok) {
            if (fault) *fault = SampleFault{std::move(key), std::move(value)};
            break;
        }
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
}

// Reads a dict (or any mapping) through reader; false, with no Python error pending, on failure.
template <class Reader>
bool load_mapping(PyObject* src, Reader& reader, SampleFault* fault) {
    bool ok = false;
    if (PyDict_Check(src)) {
        const Py_ssize_t entries = PyDict_GET_SIZE(src);
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        std::string name;
        // Distinct str keys of a dict have distinct UTF-8 bytes, so they append without a lookup;
        // only a bytes key can repeat a name already read.
        bool may_repeat = false;
        ok = true;
        while (PyDict_Next(src, &pos, &key, &value)) {
            // The common case reads name and value in place: no call into Python, no Python code run.
            if (!may_repeat && reader.quick(key, value)) continue;
            // A value that converts through Python code may change the dict and drop its
            // references to this very pair: hold the pair while it is read, and refuse a sample
            // whose dict changed size (as iterating it in Python would).
            py::object held_key, held_value;
            const bool runs_code = !Reader::plain(value);
            if (runs_code) {
                held_key = py::reinterpret_borrow<py::object>(key);
                held_value = py::reinterpret_borrow<py::object>(value);
            }
            ok = load_entry(key, value, reader, name, may_repeat);
            if (!ok) {
                // Still alive: held above when reading ran code, the dict's own otherwise.
                if (fault) *fault = SampleFault{py::reinterpret_borrow<py::object>(key),
                                                py::reinterpret_borrow<py::object>(value)};
                break;
            }
            if (runs_code) {
                ok = PyDict_GET_SIZE(src) == entries;
                may_repeat = true;  // the dict may have been refilled with names already read
                if (!ok) {
                    if (fault) fault->resized = true;
                    break;
                }
            }
        }
    } else if (is_mapping_with_items(src)) {
        ok = load_items(src, reader, fault);
    }
    if (!ok) PyErr_Clear();
    return ok;
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

// Flattened: every sample of every call passes here, and the compiler left the per-entry append
// out of line otherwise (measurably slower); the rare paths (load_entry, load_items) stay calls,
// out of the loop's registers.
[[gnu::flatten]] bool load_feature_map(PyObject* src, quelb::FeatureMap& out, SampleFault* fault) {
    out.clear();
    if (PyDict_Check(src)) out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(src)));
    NumberReader reader{out};
    if (load_mapping(src, reader, fault)) return true;
    out.clear();
    return false;
}

namespace {

// A name for a message, quoted as Python shows a str; bytes that are not UTF-8 escaped.
std::string quoted(std::string_view name) {
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "backslashreplace");
    if (!text) {
        PyErr_Clear();
        return "'?'";
    }
    PyObject* repr = PyObject_Repr(text);
    Py_DECREF(text);
    const char* utf8 = repr ? PyUnicode_AsUTF8(repr) : nullptr;
    std::string out = utf8 ? utf8 : "'?'";
    Py_XDECREF(repr);
    PyErr_Clear();
    return out;
}

// The values of a sample for an encoder: numbers, categories (str, or bytes holding UTF-8) and
// None (the feature is absent). A category that is not UTF-8 is remembered in `error` and stops
// the reading, to be raised as ValueError.
struct MixedReader {
    quelb::MixedSample& out;
    std::string error;

    static bool plain(PyObject* value) {
        return NumberReader::plain(value) || PyUnicode_Check(value) || PyBytes_Check(value) || value == Py_None;
    }
    bool quick(PyObject* key, PyObject* value) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key)) return false;
        const std::string_view name(reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(key) + 1),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        if (PyFloat_Check(value)) {
            out.numbers.append_unique(name, PyFloat_AS_DOUBLE(value));
            return true;
        }
        if (PyUnicode_Check(value) && PyUnicode_IS_COMPACT_ASCII(value)) {
            out.add_category(name, std::string_view(reinterpret_cast<const char*>(
                                                        reinterpret_cast<PyASCIIObject*>(value) + 1),
                                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))));
            return true;
        }
        return false;
    }
    bool append(std::string_view name, PyObject* value) {
        if (value == Py_None) return true;
        if (PyUnicode_Check(value) || PyBytes_Check(value)) {
            std::string_view text;
            if (!category_text(value, text)) {
                error = "feature " + quoted(name) + ": " +
                        (PyBytes_Check(value) ? "the bytes value is not valid UTF-8"
                                              : "the str value cannot be encoded as UTF-8");
                return false;
            }
            out.add_category(name, text);
            return true;
        }
        double number = 0.0;
        if (!load_float(value, number)) return false;
        out.numbers.append_unique(name, number);
        return true;
    }
    bool insert(const std::string& name, PyObject* value) {
        if (value != Py_None && out.contains(name)) {
            quelb::MixedSample ignored;  // the value is still checked, as for numbers
            MixedReader other{ignored, {}};
            const bool ok = other.append(name, value);
            error = std::move(other.error);
            return ok;
        }
        return append(name, value);
    }

    // The UTF-8 text of a str or bytes value; false when it has none.
    static bool category_text(PyObject* value, std::string_view& text) {
        Py_ssize_t size = 0;
        if (PyUnicode_Check(value)) {
            const char* data = PyUnicode_AsUTF8AndSize(value, &size);
            if (!data) {
                PyErr_Clear();
                return false;
            }
            text = std::string_view(data, static_cast<std::size_t>(size));
            return true;
        }
        text = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        return quelb::is_utf8(text);
    }
};

}  // namespace

bool load_mixed_value(std::string_view name, PyObject* value, quelb::MixedSample& out) {
    MixedReader reader{out, {}};
    if (reader.append(name, value)) return true;
    if (!reader.error.empty()) throw py::value_error(reader.error);
    return false;
}

bool load_mixed_sample(PyObject* src, quelb::MixedSample& out, SampleFault* fault) {
    out.clear();
    if (PyDict_Check(src)) {
        const auto entries = static_cast<std::size_t>(PyDict_GET_SIZE(src));
        out.numbers.reserve(entries);
        out.categories.reserve(entries);
    }
    MixedReader reader{out, {}};
    if (load_mapping(src, reader, fault)) return true;
    out.clear();
    if (!reader.error.empty()) throw py::value_error(reader.error);
    return false;
}

namespace {

// A short repr of an object for a message (never raises).
std::string short_repr(PyObject* object) {
    constexpr std::size_t kMax = 60;
    PyObject* repr = PyObject_Repr(object);
    const char* utf8 = repr ? PyUnicode_AsUTF8(repr) : nullptr;
    std::string out = utf8 ? utf8 : "?";
    Py_XDECREF(repr);
    PyErr_Clear();
    if (out.size() > kMax) {
        // Cut on a character boundary: half a UTF-8 sequence would make the message undecodable.
        std::size_t cut = kMax - 3;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out = out.substr(0, cut) + "...";
    }
    return out;
}

// "a str", "an int": the object's type name with its article.
std::string a_type(PyObject* object) {
    const std::string name = Py_TYPE(object)->tp_name;
    return (std::string_view("aeiou").find(name[0]) != std::string_view::npos ? "an " : "a ") + name;
}

[[noreturn]] void refuse(const char* method, const std::string& text) {
    throw py::type_error(std::string(method) + "(): " + text);
}

}  // namespace

void refuse_sample(const char* method, const char* name, PyObject* src, const SampleFault& fault, bool categories) {
    const std::string x = name;
    if (fault.resized) refuse(method, x + " changed size while it was read");
    if (!fault.key) {
        refuse(method, x + " must be a mapping of str to float" + (categories ? ", str, bytes or None" : "") +
                           ", not " + Py_TYPE(src)->tp_name);
    }
    PyObject* key = fault.key.ptr();
    PyObject* value = fault.value.ptr();
    std::string ignored;
    if (!load_name(key, ignored)) {
        refuse(method, x + " has " + a_type(key) + " key " + short_repr(key) +
                           (PyUnicode_Check(key) ? " that is not valid UTF-8" : "; keys must be str"));
    }
    const std::string entry = x + "[" + short_repr(key) + "] is " + a_type(value);
    if (PyLong_Check(value)) refuse(method, entry + " too large for a float");
    if (categories) refuse(method, entry + ", not a number, str, bytes or None");
    if (PyUnicode_Check(value) || PyBytes_Check(value)) refuse(method, entry + ", not a number (encode categories first)");
    refuse(method, entry + ", not a number");
}

void refuse_value(const char* method, const char* name, PyObject* src, const char* expected) {
    refuse(method, std::string(name) + " must be " + expected + ", not " + Py_TYPE(src)->tp_name + " " +
                       short_repr(src));
}

void refuse_option(const char* name, PyObject* src, const char* expected) {
    throw py::type_error("'" + std::string(name) + "' must be " + expected + ", not " + Py_TYPE(src)->tp_name + " " +
                         short_repr(src));
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

PyObject* KeyCache::key(const std::string& name) {
    const auto it = keys_.find(name);
    if (it != keys_.end()) {
        Py_INCREF(it->second);
        return it->second;
    }
    PyObject* made = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
    if (!made) return nullptr;
    if (keys_.size() >= kLimit) {
        for (auto& entry : keys_) Py_DECREF(entry.second);
        keys_.clear();
    }
    Py_INCREF(made);
    keys_.emplace(name, made);
    return made;
}

PyObject* feature_map_to_dict(const quelb::FeatureMap& x, PyObject* source, KeyCache* made) {
    if (!source || !PyDict_Check(source)) return feature_map_to_dict(x);
    PyObject* dict = new_dict(x.size());
    if (!dict) return nullptr;
    Py_ssize_t cursor = 0;  // the source position just past the last key reused
    for (const auto& [name, value] : x) {
        if (made && made->made(name)) {
            if (!set_float_item(dict, made->key(name), value)) {
                Py_DECREF(dict);
                return nullptr;
            }
            continue;
        }
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
