// Registration of the tree ensembles.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <cstdint>
#include <string>
#include <type_traits>

#include "ensembles/arf_classifier.hpp"
#include "ensembles/arf_regressor.hpp"
#include "ensembles/gradient_boosting.hpp"
#include "ensembles/leveraging_bagging.hpp"
#include "ensembles/random_patches.hpp"

namespace pybind11::detail {

// The n_threads argument of the ensembles (core/thread_team.hpp): an int checked by
// checked_n_threads, TypeError or ValueError naming the option.
template <>
struct type_caster<quelb::Threads> {
    PYBIND11_TYPE_CASTER(quelb::Threads, const_name("int"));
    bool load(handle src, bool) {
        value.n_threads = quelb::bindings::checked_n_threads(src);
        return true;
    }
    static handle cast(const quelb::Threads& threads, return_value_policy, handle) {
        return PyLong_FromLong(threads.n_threads);
    }
};

}  // namespace pybind11::detail

namespace quelb::bindings {

int checked_n_threads(py::handle value) {
    // Ints outside 32 bits are refused as a wrong type, as for every int option; bool is an int
    // to Python, but True threads are a mistake.
    const char* type_error = "'n_threads' must be an int within the signed 32-bit range, not ";
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        throw py::type_error(type_error + std::string(Py_TYPE(value.ptr())->tp_name));
    const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || n < INT32_MIN || n > INT32_MAX)
        throw py::type_error(type_error + py::repr(number).cast<std::string>());
    if (n < 0)
        throw py::value_error("'n_threads' must be 0 (one thread per core) or a positive number of threads, not " +
                              std::to_string(n));
    return static_cast<int>(n);
}

// An ensemble: the contract's methods, the options' constructor and properties, pickling with
// the n_threads option.
template <class T>
void bind_ensemble(py::module_& m, const char* name, std::uint32_t version = 1) {
    auto bind = [&](auto cls) {
        def_options(cls);
        def_pickle_with_threads(cls, name, version);
    };
    if constexpr (std::is_base_of_v<IClassifier, T>) {
        bind(bind_classifier<T>(m, name));
    } else {
        bind(bind_regressor<T>(m, name));
    }
}

void register_arf_classifier(py::module_& m) { bind_ensemble<ARFClassifier>(m, "ARFClassifier"); }
void register_srp_classifier(py::module_& m) { bind_ensemble<SRPClassifier>(m, "SRPClassifier"); }
void register_sgbt_classifier(py::module_& m) { bind_ensemble<SGBTClassifier>(m, "SGBTClassifier"); }
void register_leveraging_bagging_classifier(py::module_& m) {
    bind_ensemble<LeveragingBaggingClassifier>(m, "LeveragingBaggingClassifier");
}

// The forests of regression trees save them in the trees' format version.
void register_arf_regressor(py::module_& m) {
    bind_ensemble<ARFRegressor>(m, "ARFRegressor", HoeffdingTreeRegressor::kStateVersion);
}
void register_srp_regressor(py::module_& m) {
    bind_ensemble<SRPRegressor>(m, "SRPRegressor", HoeffdingTreeRegressor::kStateVersion);
}
void register_sgbr_regressor(py::module_& m) { bind_ensemble<SGBRRegressor>(m, "SGBRRegressor"); }
void register_leveraging_bagging_regressor(py::module_& m) {
    bind_ensemble<LeveragingBaggingRegressor>(m, "LeveragingBaggingRegressor");
}

}  // namespace quelb::bindings
