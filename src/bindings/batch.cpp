#include "bindings/batch.hpp"
#include "bindings/bind_helpers.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "pipeline/pipelines.hpp"

namespace quelb::bindings {

namespace {

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

std::string prefix(const char* method) { return std::string(method) + "(): "; }

bool module_starts_with(py::handle obj, const char* package) {
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool match = false;
    if (PyUnicode_Check(module)) {
        const char* text = PyUnicode_AsUTF8(module);
        if (text) {
            const std::size_t n = std::strlen(package);
            match = std::strncmp(text, package, n) == 0 && (text[n] == '\0' || text[n] == '.');
        } else {
            PyErr_Clear();
        }
    }
    Py_DECREF(module);
    return match;
}

py::module_ numpy(const char* method) {
    try {
        return imported_module("numpy");
    } catch (py::error_already_set&) {
        throw py::type_error(prefix(method) + "reading this input needs NumPy (pip install numpy)");
    }
}

// The strided view of an object's buffer, released with the last owner.
std::shared_ptr<Py_buffer> buffer_view(py::handle obj) {
    auto view = std::shared_ptr<Py_buffer>(new Py_buffer{}, [](Py_buffer* v) {
        if (v->obj) {
            py::gil_scoped_acquire gil;
            PyBuffer_Release(v);
        }
        delete v;
    });
    if (PyObject_GetBuffer(obj.ptr(), view.get(), PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        view->obj = nullptr;
        return nullptr;
    }
    return view;
}

// The buffer's element code without its byte-order prefix, or "" when the order is not ours.
std::string native_code(const Py_buffer& view) {
    std::string format = view.format ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<' || format[0] == '>' ||
                            format[0] == '!')) {
        const char order = format[0];
        const std::uint16_t probe = 1;
        const bool little = *reinterpret_cast<const unsigned char*>(&probe) == 1;
        const bool native = order == '@' || order == '=' || (order == '<' && little) || (order == '>' && !little);
        if (!native) return "";
        format.erase(0, 1);
    }
    return format;
}

bool is_real_code(const std::string& code) {
    return code.size() == 1 && std::strchr("?bBhHiIlLqQefdg", code[0]) != nullptr;
}

std::vector<std::string> positional_names(std::size_t n) {
    std::vector<std::string> names(n);
    for (std::size_t j = 0; j < n; ++j) names[j] = std::to_string(j);
    return names;
}

// The column names: feature_names when given (strings, one per column, none repeated), else
// `fallback`.
std::vector<std::string> column_names(py::handle feature_names, std::size_t n_cols, std::vector<std::string> fallback,
                                      const char* method) {
    if (feature_names.is_none()) return fallback;
    if (PyUnicode_Check(feature_names.ptr()) || PyBytes_Check(feature_names.ptr()))
        throw py::type_error(prefix(method) + "feature_names must be a sequence of str, not " + type_name(feature_names));
    std::vector<std::string> names;
    py::iterator it;
    try {
        it = py::iter(feature_names);
    } catch (py::error_already_set&) {
        throw py::type_error(prefix(method) + "feature_names must be a sequence of str, not " + type_name(feature_names));
    }
    for (py::handle item : it) {
        if (!PyUnicode_Check(item.ptr()))
            throw py::type_error(prefix(method) + "feature_names[" + std::to_string(names.size()) + "] must be a str, not " +
                                 type_name(item));
        std::string name;
        if (!load_name(item.ptr(), name))
            throw py::value_error(prefix(method) + "feature_names[" + std::to_string(names.size()) +
                                  "] cannot be encoded as UTF-8");
        names.push_back(std::move(name));
    }
    if (names.size() != n_cols)
        throw py::value_error(prefix(method) + "feature_names has " + std::to_string(names.size()) + " names but X has " +
                              std::to_string(n_cols) + " columns");
    return names;
}

void check_unique(const std::vector<std::string>& names, const char* method) {
    std::unordered_set<std::string> seen;
    for (const auto& name : names) {
        if (!seen.insert(name).second) throw py::value_error(prefix(method) + "feature name '" + name + "' repeats");
    }
}

// A 2-D table of doubles read in place from `owner`'s buffer.
BatchInput dense_input(py::object owner, std::shared_ptr<Py_buffer> view, std::vector<std::string> names,
                       BatchInput::Kind kind) {
    BatchInput input;
    input.kind = kind;
    const auto n_rows = static_cast<std::size_t>(view->shape[0]);
    const auto n_cols = static_cast<std::size_t>(view->shape[1]);
    input.rows = RowSource::dense(static_cast<const char*>(view->buf), n_rows, n_cols, view->strides[0],
                                  view->strides[1], std::move(names));
    input.owner = std::move(owner);
    input.view = std::move(view);
    return input;
}

BatchInput load_array(py::handle X, std::shared_ptr<Py_buffer> view, py::handle feature_names, const char* method) {
    if (view->ndim != 2)
        throw py::value_error(prefix(method) + "X must be 2-D (rows of features), not " + std::to_string(view->ndim) +
                              "-D");
    const std::string code = native_code(*view);
    const auto n_cols = static_cast<std::size_t>(view->shape[1]);
    auto names = column_names(feature_names, n_cols, positional_names(n_cols), method);
    check_unique(names, method);
    if (code == "d" && view->itemsize == 8)
        return dense_input(py::reinterpret_borrow<py::object>(X), std::move(view), std::move(names),
                           BatchInput::Kind::array);
    const std::string format = view->format ? view->format : "B";
    view.reset();
    // Other real types (and doubles in the other byte order) are converted once, by NumPy.
    std::string stripped = format;
    if (!stripped.empty() && std::strchr("@=<>!", stripped[0])) stripped.erase(0, 1);
    if (!is_real_code(stripped))
        throw py::type_error(prefix(method) + "X holds values of format '" + format + "'; expected real numbers");
    py::object converted = numpy(method).attr("asarray")(X, "float64");
    auto converted_view = buffer_view(converted);
    if (!converted_view) throw py::type_error(prefix(method) + "X could not be read as float64");
    return dense_input(converted, std::move(converted_view), std::move(names), BatchInput::Kind::array);
}

// A ValueError raised while reading row i (a category that is not UTF-8), prefixed alike.
template <class Read>
bool read_row(Read&& read, std::size_t i, const char* method) {
    try {
        return read();
    } catch (const py::value_error& error) {
        throw py::value_error(prefix(method) + "X[" + std::to_string(i) + "]: " + error.what());
    }
}

// A DataFrame with columns of objects, strings or categories, for an encoder: row i is the sample
// of its cells that are not missing (as pandas' isna tells), in column order, each read by the
// rules of a sample's values.
BatchInput load_mixed_dataframe(py::handle X, const std::vector<std::string>& names, const char* method) {
    const std::size_t n_rows = py::len(X.attr("index"));
    std::vector<MixedSample> rows(n_rows);
    py::object iloc = X.attr("iloc");
    for (std::size_t j = 0; j < names.size(); ++j) {
        py::object column = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        py::list missing = column.attr("isna")().attr("tolist")();
        py::list cells = column.attr("astype")("object").attr("tolist")();
        for (std::size_t i = 0; i < n_rows; ++i) {
            if (PyObject_IsTrue(missing[i].ptr())) continue;
            py::handle cell = cells[i];
            if (!read_row([&] { return load_mixed_value(names[j], cell.ptr(), rows[i]); }, i, method))
                throw py::type_error(prefix(method) + "column '" + names[j] + "' holds " + type_name(cell) + " " +
                                     py::repr(cell).cast<std::string>() + " in row " + std::to_string(i) +
                                     "; expected numbers or categories");
        }
    }
    BatchInput input;
    input.kind = BatchInput::Kind::dataframe;
    input.rows = RowSource::mixed(std::move(rows));
    input.index = X.attr("index");
    return input;
}

BatchInput load_dataframe(py::handle X, py::handle feature_names, const char* method, bool categories) {
    py::object columns = X.attr("columns");
    py::object dtypes = X.attr("dtypes");
    std::vector<std::string> labels;
    const std::size_t n_cols = py::len(columns);
    if (feature_names.is_none()) {
        for (py::handle column : columns) {
            if (!PyUnicode_Check(column.ptr()))
                throw py::type_error(prefix(method) + "column label " + py::repr(column).cast<std::string>() +
                                     " is not a str; rename the columns or pass feature_names=");
            std::string name;
            if (!load_name(column.ptr(), name))
                throw py::value_error(prefix(method) + "a column label cannot be encoded as UTF-8");
            labels.push_back(std::move(name));
        }
    }
    auto names = column_names(feature_names, n_cols, std::move(labels), method);
    check_unique(names, method);
    std::size_t j = 0;
    bool numeric = true;
    for (py::handle dtype : dtypes.attr("tolist")()) {
        py::object kind = py::getattr(dtype, "kind", py::none());
        const std::string k = kind.is_none() ? "O" : kind.cast<std::string>();
        const bool number = k.size() == 1 && std::strchr("biuf", k[0]) != nullptr;
        const bool text = k.size() == 1 && std::strchr("OSU", k[0]) != nullptr;
        if (!number && !(categories && text))
            throw py::type_error(prefix(method) + "column '" + names[j] + "' has dtype " +
                                 py::str(dtype).cast<std::string>() +
                                 (categories ? "; expected numbers or categories" : "; expected numbers"));
        numeric = numeric && number;
        ++j;
    }
    if (!numeric) return load_mixed_dataframe(X, names, method);
    py::object values = X.attr("to_numpy")(py::arg("dtype") = "float64",
                                            py::arg("na_value") = std::numeric_limits<double>::quiet_NaN());
    auto view = buffer_view(values);
    if (!view || view->ndim != 2) throw py::type_error(prefix(method) + "the DataFrame could not be read as float64");
    BatchInput input = dense_input(values, std::move(view), std::move(names), BatchInput::Kind::dataframe);
    input.index = X.attr("index");
    return input;
}

BatchInput load_csr(py::handle X, py::handle feature_names, const char* method) {
    const std::string format = py::str(py::getattr(X, "format", py::str("?"))).cast<std::string>();
    if (format != "csr")
        throw py::type_error(prefix(method) + "sparse X must be in CSR format, not '" + format + "' (use X.tocsr())");
    py::tuple shape = X.attr("shape");
    if (shape.size() != 2) throw py::value_error(prefix(method) + "X must be 2-D");
    const auto n_rows = shape[0].cast<std::size_t>();
    const auto n_cols = shape[1].cast<std::size_t>();
    py::module_ np = numpy(method);
    py::object data = np.attr("ascontiguousarray")(X.attr("data"), "float64");
    py::object indices = np.attr("ascontiguousarray")(X.attr("indices"), "int64");
    py::object indptr = np.attr("ascontiguousarray")(X.attr("indptr"), "int64");
    const auto nnz = py::len(data);
    if (py::len(indices) != nnz || py::len(indptr) != n_rows + 1)
        throw py::value_error(prefix(method) + "inconsistent CSR matrix: data, indices and indptr disagree in length");
    const auto* p = static_cast<const std::int64_t*>(py::buffer(indptr).request().ptr);
    const auto* idx = static_cast<const std::int64_t*>(py::buffer(indices).request().ptr);
    if (p[0] != 0 || p[n_rows] != static_cast<std::int64_t>(nnz))
        throw py::value_error(prefix(method) + "inconsistent CSR matrix: indptr must run from 0 to the number of entries");
    // A matrix may be far wider than its entries (hashed features). Past kDenseWidth columns
    // without feature_names, only the columns the entries use get a name and a slot of the
    // repeat check, under indices renumbered in order of first use: memory follows the entries,
    // not the width.
    constexpr std::size_t kDenseWidth = std::size_t{1} << 20;
    const bool renumber = feature_names.is_none() && n_cols > kDenseWidth && n_cols > nnz;
    std::unordered_map<std::int64_t, std::int64_t> renumbered;
    std::vector<std::string> used_names;
    py::object slots = indices;
    std::int64_t* slot = nullptr;
    if (renumber) {
        slots = np.attr("empty")(nnz, "int64");
        slot = static_cast<std::int64_t*>(py::buffer(slots).request(true).ptr);
    }
    std::vector<std::size_t> last_row(renumber ? 0 : n_cols, std::numeric_limits<std::size_t>::max());
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (p[i + 1] < p[i]) throw py::value_error(prefix(method) + "inconsistent CSR matrix: indptr decreases");
        for (std::int64_t k = p[i]; k < p[i + 1]; ++k) {
            if (idx[k] < 0 || static_cast<std::uint64_t>(idx[k]) >= n_cols)
                throw py::value_error(prefix(method) + "CSR column index " + std::to_string(idx[k]) + " out of range");
            std::size_t column = static_cast<std::size_t>(idx[k]);
            if (renumber) {
                const auto [it, fresh] = renumbered.try_emplace(idx[k], static_cast<std::int64_t>(used_names.size()));
                if (fresh) {
                    used_names.push_back(std::to_string(idx[k]));
                    last_row.push_back(std::numeric_limits<std::size_t>::max());
                }
                slot[k] = it->second;
                column = static_cast<std::size_t>(it->second);
            }
            auto& seen = last_row[column];
            if (seen == i)
                throw py::value_error(prefix(method) + "CSR row " + std::to_string(i) + " repeats column " +
                                      std::to_string(idx[k]));
            seen = i;
        }
    }
    auto names = renumber ? std::move(used_names)
                          : column_names(feature_names, n_cols, positional_names(n_cols), method);
    check_unique(names, method);
    BatchInput input;
    input.kind = BatchInput::Kind::csr;
    input.rows = RowSource::csr(static_cast<const double*>(py::buffer(data).request().ptr),
                                static_cast<const std::int64_t*>(py::buffer(slots).request().ptr), p, n_rows,
                                std::move(names));
    input.owner = py::make_tuple(data, slots, indptr);
    return input;
}

BatchInput load_samples(py::handle X, py::handle feature_names, const char* method, bool categories) {
    if (!feature_names.is_none())
        throw py::value_error(prefix(method) + "feature_names= applies to arrays; samples name their own features");
    py::iterator it;
    try {
        it = py::iter(X);
    } catch (py::error_already_set&) {
        throw py::type_error(prefix(method) +
                             "X must be a 2-D array, a DataFrame, a CSR matrix or an iterable of samples, not " +
                             type_name(X));
    }
    std::vector<FeatureMap> rows;
    std::vector<MixedSample> mixed;  // every row, once one has categories
    for (py::handle item : it) {
        const std::size_t i = rows.size() + mixed.size();
        FeatureMap sample;
        if (load_feature_map(item.ptr(), sample)) {
            if (mixed.empty()) {
                rows.push_back(std::move(sample));
            } else {
                mixed.push_back(MixedSample{std::move(sample), {}});
            }
            continue;
        }
        MixedSample with_categories;
        if (!categories || !read_row([&] { return load_mixed_sample(item.ptr(), with_categories); }, i, method))
            throw py::type_error(prefix(method) + "X[" + std::to_string(i) + "] is not a sample (a mapping from str to " +
                                 (categories ? "float, str or None): " : "float): ") + type_name(item));
        for (FeatureMap& earlier : rows) mixed.push_back(MixedSample{std::move(earlier), {}});
        rows.clear();
        mixed.push_back(std::move(with_categories));
    }
    BatchInput input;
    input.rows = mixed.empty() ? RowSource::samples(std::move(rows)) : RowSource::mixed(std::move(mixed));
    return input;
}

bool is_mapping(py::handle obj) { return PyDict_Check(obj.ptr()) || is_abc_mapping(obj.ptr()); }

// y as a 1-D NumPy array, or a null object for a plain sequence or iterable.
py::object as_array(py::handle y, const char* method, const char* what) {
    if (PyList_Check(y.ptr()) || PyTuple_Check(y.ptr())) return py::object();
    if (!PyObject_CheckBuffer(y.ptr()) && !py::hasattr(y, "__array__")) return py::object();
    py::object array = numpy(method).attr("asarray")(y);
    const auto ndim = array.attr("ndim").cast<int>();
    if (ndim != 1)
        throw py::value_error(prefix(method) + what + " must be 1-D, not " + std::to_string(ndim) + "-D");
    return array;
}

py::list as_list(py::handle y, const char* method, const char* what) {
    if (y.is_none() || PyUnicode_Check(y.ptr()) || PyBytes_Check(y.ptr()) || PyByteArray_Check(y.ptr()) ||
        is_mapping(y))
        throw py::type_error(prefix(method) + what + " must be a 1-D array or a sequence, not " + type_name(y));
    PyObject* list = PySequence_List(y.ptr());
    if (!list) {
        PyErr_Clear();
        throw py::type_error(prefix(method) + what + " must be a 1-D array or a sequence, not " + type_name(y));
    }
    return py::reinterpret_steal<py::list>(list);
}

template <class T>
std::vector<T> read_buffer(py::object array) {
    auto view = buffer_view(array);
    std::vector<T> out(static_cast<std::size_t>(view->shape[0]));
    const char* base = static_cast<const char*>(view->buf);
    for (std::size_t i = 0; i < out.size(); ++i)
        std::memcpy(&out[i], base + static_cast<std::ptrdiff_t>(i) * view->strides[0], sizeof(T));
    return out;
}

std::unordered_set<const void*>& busy_set() {
    static auto* set = new std::unordered_set<const void*>();  // never destroyed: used until exit
    return *set;
}

}  // namespace

BatchInput load_batch(py::handle X, py::handle feature_names, const char* method, bool categories) {
    if (X.is_none() || PyUnicode_Check(X.ptr()) || PyBytes_Check(X.ptr()) || PyByteArray_Check(X.ptr()) ||
        is_mapping(X))
        throw py::type_error(prefix(method) +
                             "X must be a 2-D array, a DataFrame, a CSR matrix or an iterable of samples, not " +
                             type_name(X));
    if (module_starts_with(X, "pandas") && py::hasattr(X, "columns") && py::hasattr(X, "to_numpy"))
        return load_dataframe(X, feature_names, method, categories);
    if (module_starts_with(X, "scipy") && py::hasattr(X, "indptr")) return load_csr(X, feature_names, method);
    if (module_starts_with(X, "scipy") && py::hasattr(X, "tocsr"))
        throw py::type_error(prefix(method) + "sparse X must be in CSR format (use X.tocsr())");
    // A list of rows that are sequences of numbers reads as a table.
    if ((PyList_Check(X.ptr()) || PyTuple_Check(X.ptr())) && PySequence_Size(X.ptr()) > 0) {
        py::object first = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(X.ptr(), 0));
        if (!is_mapping(first) && PySequence_Check(first.ptr()) && !PyUnicode_Check(first.ptr())) {
            py::object table;
            try {
                table = numpy(method).attr("asarray")(X, "float64");
            } catch (py::error_already_set&) {
                throw py::type_error(prefix(method) + "X's rows must be sequences of real numbers of one length");
            }
            return load_array(table, buffer_view(table), feature_names, method);
        }
    }
    if (PyObject_CheckBuffer(X.ptr())) {
        auto view = buffer_view(X);
        if (!view) throw py::type_error(prefix(method) + "X's memory cannot be read (" + type_name(X) + ")");
        return load_array(X, std::move(view), feature_names, method);
    }
    return load_samples(X, feature_names, method, categories);
}

namespace {

void check_length(std::size_t got, std::size_t n, const char* method, const char* what, const char* against) {
    if (n == kNoLength || got == n) return;
    throw py::value_error(prefix(method) + what + " has " + std::to_string(got) + " entries but " +
                          (against ? std::string(against) + " has " + std::to_string(n) + " entries"
                                   : "X has " + std::to_string(n) + " rows"));
}

}  // namespace

namespace {

// A 1-D buffer of native int64 / int32 / float64 entries, read without NumPy; null otherwise.
std::shared_ptr<Py_buffer> native_column(py::handle y, const char* codes) {
    if (PyList_Check(y.ptr()) || PyTuple_Check(y.ptr()) || !PyObject_CheckBuffer(y.ptr())) return nullptr;
    auto view = buffer_view(y);
    if (!view || view->ndim != 1) return nullptr;
    const std::string code = native_code(*view);
    if (code.size() != 1 || !std::strchr(codes, code[0])) return nullptr;
    const char c = code[0];
    const bool wide = c == 'q' || c == 'l' || c == 'd';
    if (view->itemsize != (wide ? 8 : 4)) return nullptr;
    return view;
}

template <class T>
T entry(const Py_buffer& view, std::size_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(view.buf) + static_cast<std::ptrdiff_t>(i) * view.strides[0], sizeof v);
    return v;
}

}  // namespace

std::vector<Label> load_labels(py::handle y, std::size_t n_rows, const char* method, const char* what,
                               const char* against) {
    std::vector<Label> out;
    if (auto view = native_column(y, "qli")) {
        out.resize(static_cast<std::size_t>(view->shape[0]));
        const bool wide = view->itemsize == 8;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::int64_t v = wide ? entry<std::int64_t>(*view, i) : entry<std::int32_t>(*view, i);
            if (v < std::numeric_limits<Label>::min() || v > std::numeric_limits<Label>::max())
                throw py::value_error(prefix(method) + what + "[" + std::to_string(i) + "] is " + std::to_string(v) +
                                      ", outside the signed 32-bit range of labels");
            out[i] = static_cast<Label>(v);
        }
    } else if (py::object array = as_array(y, method, what)) {
        const std::string kind = array.attr("dtype").attr("kind").cast<std::string>();
        if (kind != "i" && kind != "u" && kind != "b")
            throw py::type_error(prefix(method) + what + " must hold integer class labels, not " +
                                 py::str(array.attr("dtype")).cast<std::string>() + " values");
        if (py::len(array) > 0) {
            const py::object low = py::int_(array.attr("min")()), high = py::int_(array.attr("max")());
            if (low < py::int_(std::numeric_limits<Label>::min()) || high > py::int_(std::numeric_limits<Label>::max()))
                throw py::value_error(prefix(method) + what + " holds labels outside the signed 32-bit range (" +
                                      std::string(py::str(low)) + " to " + std::string(py::str(high)) + ")");
        }
        out = read_buffer<Label>(array.attr("astype")("int32"));
    } else {
        py::list items = as_list(y, method, what);
        out.reserve(items.size());
        for (py::handle item : items) {
            py::detail::make_caster<Label> caster;
            if (!caster.load(item, false) && !caster.load(item, true)) {
                PyErr_Clear();
                const std::string where = prefix(method) + what + "[" + std::to_string(out.size()) + "]";
                if (PyLong_Check(item.ptr()) || PyIndex_Check(item.ptr()))
                    throw py::value_error(where + " is " + py::str(item).cast<std::string>() +
                                          ", outside the signed 32-bit range of labels");
                throw py::type_error(where + " must be an int within the signed 32-bit range, not " + type_name(item) +
                                     " " + py::repr(item).cast<std::string>());
            }
            out.push_back(py::detail::cast_op<Label>(caster));
        }
    }
    check_length(out.size(), n_rows, method, what, against);
    return out;
}

std::vector<double> load_values(py::handle y, std::size_t n_rows, const char* method, const char* what,
                                const char* against) {
    std::vector<double> out;
    if (auto view = native_column(y, "d")) {
        out.resize(static_cast<std::size_t>(view->shape[0]));
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = entry<double>(*view, i);
    } else if (py::object array = as_array(y, method, what)) {
        const std::string kind = array.attr("dtype").attr("kind").cast<std::string>();
        if (kind.size() != 1 || std::strchr("biuf", kind[0]) == nullptr)
            throw py::type_error(prefix(method) + what + " must hold real numbers, not " +
                                 py::str(array.attr("dtype")).cast<std::string>() + " values");
        out = read_buffer<double>(array.attr("astype")("float64"));
    } else {
        py::list items = as_list(y, method, what);
        out.reserve(items.size());
        for (py::handle item : items) {
            double value = 0.0;
            if (!load_float(item.ptr(), value))
                throw py::type_error(prefix(method) + what + "[" + std::to_string(out.size()) +
                                     "] must be a real number, not " + type_name(item));
            out.push_back(value);
        }
    }
    check_length(out.size(), n_rows, method, what, against);
    return out;
}

template <class T>
ColumnView<T> column_in_place(py::handle y, std::size_t n_rows, const char* method, const char* what,
                              const char* against) {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>);
    ColumnView<T> column;
    auto view = native_column(y, std::is_same_v<T, double> ? "d" : "ql");
    if (!view || view->itemsize != sizeof(T)) return column;
    column.size = static_cast<std::size_t>(view->shape[0]);
    const Py_ssize_t step = view->strides[0], width = static_cast<Py_ssize_t>(sizeof(T));
    const bool contiguous = column.size <= 1 || step == width;
    // Entries are read as T (an array that cannot be is converted instead).
    if (reinterpret_cast<std::uintptr_t>(view->buf) % alignof(T) != 0 || step % width != 0 ||
        (!contiguous && !std::is_same_v<T, double>))
        return {};
    column.data = static_cast<const T*>(view->buf);
    column.stride = contiguous ? 1 : step / width;
    if constexpr (std::is_same_v<T, std::int64_t>) {
        // One pass that vectorizes: an entry outside the 32-bit range has bits above the low 32
        // once shifted by 2^31. load_labels then reads the column again to name the entry.
        std::uint64_t outside = 0;
        for (std::size_t i = 0; i < column.size; ++i)
            outside |= (static_cast<std::uint64_t>(column.data[i]) + (std::uint64_t{1} << 31)) >> 32;
        if (outside != 0) return {};
    }
    check_length(column.size, n_rows, method, what, against);
    column.view = std::move(view);
    return column;
}
template ColumnView<double> column_in_place(py::handle, std::size_t, const char*, const char*, const char*);
template ColumnView<std::int64_t> column_in_place(py::handle, std::size_t, const char*, const char*, const char*);

namespace {

template <class T>
py::object new_array(const std::vector<T>& values, const char* dtype) {
    py::object array = imported_module("numpy").attr("empty")(values.size(), dtype);
    if (!values.empty()) {
        py::buffer_info info = py::buffer(array).request(true);
        std::memcpy(info.ptr, values.data(), values.size() * sizeof(T));
    }
    return array;
}

}  // namespace

py::object int_array(const std::vector<Label>& values) {
    std::vector<std::int64_t> wide(values.begin(), values.end());
    return new_array(wide, "int64");
}
py::object int_array(const std::vector<std::int64_t>& values) { return new_array(values, "int64"); }
py::object float_array(const std::vector<double>& values) { return new_array(values, "float64"); }

namespace {

// A table given the result array beforehand, as wide as X: a transformer that keeps every
// feature (a scaler) writes its rows straight into the array that is returned.
struct ArrayTable : RowTable {
    ArrayTable(py::object array, std::size_t n_rows, std::size_t width)
        : RowTable(static_cast<double*>(py::buffer(array).request(true).ptr), n_rows, width),
          array(std::move(array)) {}
    py::object array;
};

}  // namespace

std::unique_ptr<RowSink> transformed_sink(const BatchInput& input) {
    if (input.kind == BatchInput::Kind::array || input.kind == BatchInput::Kind::dataframe) {
        const std::size_t n_rows = input.rows.size(), width = input.rows.names().size();
        return std::make_unique<ArrayTable>(
            imported_module("numpy").attr("empty")(py::make_tuple(n_rows, width), "float64"), n_rows, width);
    }
    return std::make_unique<RowList>();
}

py::object transformed_rows(const BatchInput& input, const RowSink& sink, bool return_names) {
    if (const auto* list = dynamic_cast<const RowList*>(&sink)) {
        const auto& rows = list->rows;
        py::list out(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), checked_result(feature_map_to_dict(rows[i])).ptr());
        if (!return_names) return std::move(out);
        std::vector<std::string> names;
        std::unordered_set<std::string> seen;
        for (const auto& row : rows)
            for (const auto& entry : row)
                if (seen.insert(entry.first).second) names.push_back(entry.first);
        return py::make_tuple(out, py::cast(names));
    }
    const auto& table = dynamic_cast<const ArrayTable&>(sink);
    const std::size_t n_rows = table.n_rows(), n_cols = table.names().size();
    py::object cells = table.array;
    if (!table.in_place()) {
        cells = imported_module("numpy").attr("empty")(py::make_tuple(n_rows, n_cols), "float64");
        if (n_rows > 0 && n_cols > 0) table.fill(static_cast<double*>(py::buffer(cells).request(true).ptr));
    }
    py::object py_names = py::cast(table.names());
    if (input.kind == BatchInput::Kind::dataframe)
        cells = imported_module("pandas").attr("DataFrame")(cells, py::arg("columns") = py_names,
                                                                py::arg("index") = input.index);
    if (return_names) return py::make_tuple(cells, py_names);
    return cells;
}

std::size_t g_busy_count = 0;

bool is_busy(const void* object) { return busy_set().count(object) != 0; }

BusyScope::BusyScope(std::vector<const void*> objects) {
    for (const void* object : objects) ensure_idle(object);
    auto& set = busy_set();
    for (const void* object : objects)
        if (set.insert(object).second) objects_.push_back(object);
    g_busy_count = set.size();
}

BusyScope::~BusyScope() {
    auto& set = busy_set();
    for (const void* object : objects_) set.erase(object);
    g_busy_count = set.size();
}

namespace {

int guarded_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (any_busy()) {
        auto* inst = reinterpret_cast<py::detail::instance*>(self);
        const void* object = inst->get_value_and_holder().value_ptr();
        if (object && is_busy(object)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "this object is in use by a batch call in another thread; call it from one thread at a time");
            return -1;
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
}

}  // namespace

// As Python methods rather than a C slot on the class: `obj.__setattr__(name, value)` must keep
// working, and the interpreter refuses that call on a class whose C slot differs from its base's.
void guard_attribute_writes(py::handle cls) {
    auto write = [](py::handle self, py::handle name, PyObject* value) {
        if (guarded_setattro(self.ptr(), name.ptr(), value) != 0) throw py::error_already_set();
    };
    py::setattr(cls, "__setattr__",
                py::cpp_function([write](py::handle self, py::handle name, py::handle value) { write(self, name, value.ptr()); },
                                 py::is_method(cls), py::name("__setattr__"),
                                 "Sets an attribute; refused while a batch call in another thread uses the object."));
    py::setattr(cls, "__delattr__",
                py::cpp_function([write](py::handle self, py::handle name) { write(self, name, nullptr); },
                                 py::is_method(cls), py::name("__delattr__"),
                                 "Deletes an attribute; refused while a batch call in another thread uses the object."));
}

std::vector<const void*> parts_of(const ITransformer& object) { return {object_key(&object)}; }

namespace {

template <class Pipeline, class Contract>
std::vector<const void*> pipeline_parts(const Contract& object) {
    std::vector<const void*> parts{object_key(&object)};
    if (const auto* pipeline = dynamic_cast<const Pipeline*>(&object)) {
        for (const auto& step : pipeline->steps()) parts.push_back(object_key(step.get()));
        for (const void* part : parts_of(*pipeline->learner())) parts.push_back(part);
    }
    return parts;
}

}  // namespace

std::vector<const void*> parts_of(const IClassifier& object) {
    return pipeline_parts<ClassificationPipeline>(object);
}

std::vector<const void*> parts_of(const IRegressor& object) { return pipeline_parts<RegressionPipeline>(object); }

std::vector<const void*> parts_of(const IAnomalyDetector& object) {
    return pipeline_parts<AnomalyPipeline>(object);
}

bool takes_categories(const ITransformer& object) { return dynamic_cast<const IEncoder*>(&object) != nullptr; }

bool takes_categories(const IClassifier& object) {
    const auto* pipeline = dynamic_cast<const ClassificationPipeline*>(&object);
    return pipeline && pipeline->encoder();
}

bool takes_categories(const IRegressor& object) {
    const auto* pipeline = dynamic_cast<const RegressionPipeline*>(&object);
    return pipeline && pipeline->encoder();
}

}  // namespace quelb::bindings
