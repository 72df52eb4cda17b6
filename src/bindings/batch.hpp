#pragma once
// Batch methods: tables and iterables of samples read into a native RowSource, targets and
// labels checked whole before anything learns, the interpreter lock released around the native
// loop, and objects in such a loop guarded against use from other threads.
#include "bindings/casters.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <vector>

#include "core/batch.hpp"
#include "core/types.hpp"

namespace quelb::bindings {

namespace py = pybind11;

// The rows of X as a native source, with whatever keeps their memory alive. `kind` tells how
// transform_many answers: a DataFrame for a DataFrame, a 2-D array for an array.
struct BatchInput {
    enum class Kind { array, dataframe, csr, samples };
    Kind kind = Kind::samples;
    RowSource rows;
    py::object owner;  // an array whose memory the rows read (a converted copy or X itself)
    py::object index;  // a DataFrame's index
    std::shared_ptr<Py_buffer> view;
};

// Reads X for `method` (named in errors). Raises TypeError or ValueError naming the problem.
// With `categories` (an encoder or a pipeline led by one), DataFrame columns of objects, strings
// or categories and samples with category values are read too, as rows with categories.
BatchInput load_batch(py::handle X, py::handle feature_names, const char* method, bool categories = false);

// A 1-D argument: class labels (integers within the signed 32-bit range) or real values.
// `what` names it in errors ("y", "y_true", "values"). Unless n is kNoLength it must have n
// entries, as `against` has (X's rows when against is null).
constexpr std::size_t kNoLength = static_cast<std::size_t>(-1);
std::vector<Label> load_labels(py::handle y, std::size_t n, const char* method, const char* what,
                               const char* against = nullptr);
std::vector<double> load_values(py::handle y, std::size_t n, const char* method, const char* what,
                                const char* against = nullptr);

template <class Value>
std::vector<Value> load_column(py::handle y, std::size_t n, const char* method, const char* what,
                               const char* against = nullptr) {
    if constexpr (std::is_same_v<Value, double>) {
        return load_values(y, n, method, what, against);
    } else {
        return load_labels(y, n, method, what, against);
    }
}

// A 1-D argument read in place: its entries, and the buffer view that keeps them (the exporter
// neither frees nor resizes them while the view lives).
template <class T>
struct ColumnView {
    std::shared_ptr<Py_buffer> view;
    const T* data = nullptr;
    std::size_t size = 0;
    // In entries. Values may be strided (a column of a table); labels are read contiguous only,
    // so that their range check, and the loops over them, vectorize.
    std::ptrdiff_t stride = 1;

    const T& operator[](std::size_t i) const {
        if constexpr (std::is_same_v<T, double>) {
            return data[static_cast<std::ptrdiff_t>(i) * stride];
        } else {
            return data[i];
        }
    }
};
// y's entries in place when y is an aligned 1-D array of float64 (T = double, any stride) or a
// contiguous one of
// int64 labels all within the signed 32-bit range (T = std::int64_t), checked for length as
// load_column checks it; otherwise an empty view (data null), and load_column reads y and names
// what is wrong with it.
template <class T>
ColumnView<T> column_in_place(py::handle y, std::size_t n, const char* method, const char* what,
                              const char* against = nullptr);

// New 1-D NumPy arrays holding the values.
py::object int_array(const std::vector<Label>& values);
py::object int_array(const std::vector<std::int64_t>& values);
py::object float_array(const std::vector<double>& values);
// Where transform_many collects its rows for the input's form (a table for arrays and
// DataFrames), and the result in that form.
std::unique_ptr<RowSink> transformed_sink(const BatchInput& input);
py::object transformed_rows(const BatchInput& input, const RowSink& rows, bool return_names);

// Objects inside a batch loop, each by the address of its whole object. Read and changed only
// with the interpreter lock held.
extern std::size_t g_busy_count;
inline bool any_busy() { return g_busy_count != 0; }
bool is_busy(const void* object);

// Refuses to touch an object that a batch call in another thread is working on.
inline void ensure_idle(const void* object) {
    if (any_busy() && is_busy(object)) {
        throw std::runtime_error("this object is in use by a batch call in another thread; "
                                 "call it from one thread at a time");
    }
}

// Marks objects busy for the lifetime of a batch call; refuses when one already is.
class BusyScope {
public:
    explicit BusyScope(std::vector<const void*> objects);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    std::vector<const void*> objects_;
};

// The address of the whole object, the key of the busy set.
template <class T>
const void* object_key(const T* object) {
    if constexpr (std::is_polymorphic_v<T>) {
        return dynamic_cast<const void*>(object);
    } else {
        return object;
    }
}

// Installs a setter hook on the class: setting any attribute of a busy object is refused.
void guard_attribute_writes(py::handle cls);

}  // namespace quelb::bindings
