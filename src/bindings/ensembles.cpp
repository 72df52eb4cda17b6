// Registration of the tree ensembles.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

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

namespace {

// Counts of the members' drift life cycles: warnings that started a background model, drifts
// detected, and models (or subtrees) replaced.
struct DriftCounts {
    std::int64_t warnings = 0;
    std::int64_t drifts = 0;
    std::int64_t replacements = 0;
};

// The drift life cycle of a member: the member itself, or its trees.
template <class Model>
const DriftAwareMember<Model>& life_cycle(const DriftAwareMember<Model>& member) {
    return member;
}
template <class Member>
const auto& life_cycle(const Member& member) {
    return member.trees;
}

// A copy of a member's tree for Python; None for a member without one yet.
template <class Tree>
py::object tree_copy(const Tree* tree) {
    if (!tree) return py::none();
    return py::cast(std::shared_ptr<Tree>(tree->standalone_copy()));
}

// members() (copies of the member trees), n_warnings, n_drifts and n_replacements, from
// trees(self) -> the member trees (possibly null) and counts(self) -> DriftCounts.
template <class Cls, class Trees, class Counts>
void def_member_inspection(Cls& cls, Trees trees, Counts counts) {
    using T = typename Cls::type;
    cls.def(
        "members",
        [trees](const T& self) {
            ensure_idle(object_key(&self));
            py::list out;
            for (const auto* tree : trees(self)) out.append(tree_copy(tree));
            return out;
        },
        method_doc("Copies of the member trees, to inspect.",
                   {"Returns a list of trees (None for a member without one yet).", doc::kBusy})
            .c_str());
    const auto count = [counts](std::int64_t DriftCounts::*field) {
        return [counts, field](const T& self) {
            ensure_idle(object_key(&self));
            return counts(self).*field;
        };
    };
    cls.def_property_readonly("n_warnings", count(&DriftCounts::warnings), "Warnings that started a background tree.")
        .def_property_readonly("n_drifts", count(&DriftCounts::drifts), "Drifts detected in the members.")
        .def_property_readonly("n_replacements", count(&DriftCounts::replacements),
                               "Member trees (or subtrees) replaced after a drift.");
}

// The ensembles whose members follow DriftAwareMember: every drift replaces the model.
template <class Cls>
void def_drift_aware_members(Cls& cls) {
    using T = typename Cls::type;
    const auto trees = [](const T& self) {
        using Tree = std::remove_reference_t<decltype(*life_cycle(self.members().front()).model)>;
        std::vector<const Tree*> out;
        for (const auto& member : self.members()) out.push_back(life_cycle(member).model.get());
        return out;
    };
    const auto counts = [](const T& self) {
        DriftCounts c;
        for (const auto& member : self.members()) {
            c.warnings += life_cycle(member).n_warnings();
            c.drifts += life_cycle(member).n_drifts();
        }
        c.replacements = c.drifts;
        return c;
    };
    def_member_inspection(cls, trees, counts);
}

// The boosters' trees, booster by booster and step by step; their Page-Hinkley alarms are the
// drifts, and alternate subtrees that won the replacements (no warnings). Their inactive leaves
// count together.
template <class Cls, class Boosters>
void def_booster_members(Cls& cls, Boosters boosters) {
    using T = typename Cls::type;
    const auto trees = [boosters](const T& self) {
        std::vector<const FIMTDDRegressor*> out;
        for (const GradientBooster* booster : boosters(self)) {
            for (const auto& tree : booster->trees()) out.push_back(tree.get());
        }
        return out;
    };
    const auto counts = [trees](const T& self) {
        DriftCounts c;
        for (const FIMTDDRegressor* tree : trees(self)) {
            c.drifts += tree->n_alarms();
            c.replacements += tree->n_alternate_wins();
        }
        return c;
    };
    def_member_inspection(cls, trees, counts);
    cls.def_property_readonly(
        "n_inactive_leaves",
        [trees](const T& self) {
            ensure_idle(object_key(&self));
            std::size_t n = 0;
            for (const FIMTDDRegressor* tree : trees(self)) n += tree->n_inactive_leaves();
            return n;
        },
        "Leaves of the boosters' trees that stopped collecting split statistics to keep them within max_bytes.");
}

}  // namespace

// An ensemble: the contract's methods, the options' constructor and properties, pickling with
// the n_threads option.
template <class T>
auto bind_ensemble(py::module_& m, const char* name, std::uint32_t version = 1) {
    auto bind = [&](auto cls) {
        def_options(cls);
        def_pickle_with_threads(cls, name, version);
        return cls;
    };
    if constexpr (std::is_base_of_v<IClassifier, T>) {
        return bind(bind_classifier<T>(m, name));
    } else {
        return bind(bind_regressor<T>(m, name));
    }
}

// The accuracy-weighted forests also show each member's vote weight.
template <class T>
void bind_weighted_forest(py::module_& m, const char* name) {
    auto cls = bind_ensemble<T>(m, name, T::kStateVersion);
    def_drift_aware_members(cls);
    cls.def(
        "member_weights",
        [](const T& self) {
            ensure_idle(object_key(&self));
            py::list weights;
            for (const ClassifierMember& member : self.members()) weights.append(member.vote_weight());
            return weights;
        },
        method_doc("Each member's vote weight.", {"Returns a list of float.", doc::kBusy}).c_str());
}

void register_arf_classifier(py::module_& m) { bind_weighted_forest<ARFClassifier>(m, "ARFClassifier"); }
void register_srp_classifier(py::module_& m) { bind_weighted_forest<SRPClassifier>(m, "SRPClassifier"); }
void register_sgbt_classifier(py::module_& m) {
    auto cls = bind_ensemble<SGBTClassifier>(m, "SGBTClassifier", SGBTClassifier::kStateVersion);
    def_booster_members(cls, [](const SGBTClassifier& self) {
        std::vector<const GradientBooster*> boosters;
        for (std::size_t i = 0; i < self.n_boosters(); ++i) boosters.push_back(&self.booster(i));
        return boosters;
    });
}
void register_leveraging_bagging_classifier(py::module_& m) {
    using T = LeveragingBaggingClassifier;
    auto cls = bind_ensemble<T>(m, "LeveragingBaggingClassifier", T::kStateVersion);
    def_drift_aware_members(cls);
}

void register_arf_regressor(py::module_& m) {
    auto cls = bind_ensemble<ARFRegressor>(m, "ARFRegressor", ARFRegressor::kStateVersion);
    def_drift_aware_members(cls);
}
void register_srp_regressor(py::module_& m) {
    auto cls = bind_ensemble<SRPRegressor>(m, "SRPRegressor", SRPRegressor::kStateVersion);
    def_drift_aware_members(cls);
}
void register_sgbr_regressor(py::module_& m) {
    auto cls = bind_ensemble<SGBRRegressor>(m, "SGBRRegressor", SGBRRegressor::kStateVersion);
    def_booster_members(cls, [](const SGBRRegressor& self) {
        std::vector<const GradientBooster*> boosters;
        if (self.booster()) boosters.push_back(self.booster());
        return boosters;
    });
}
void register_leveraging_bagging_regressor(py::module_& m) {
    using T = LeveragingBaggingRegressor;
    auto cls = bind_ensemble<T>(m, "LeveragingBaggingRegressor", T::kStateVersion);
    def_drift_aware_members(cls);
}

}  // namespace quelb::bindings
