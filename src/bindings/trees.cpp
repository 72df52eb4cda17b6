// Registration of the decision trees.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "trees/efdt_classifier.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"
#include "trees/sgt_classifier.hpp"

namespace quelb::bindings {

namespace {

// A leaf's or test's own entries, without its children.
py::dict node_dict(const TreeDescription::Node& node, std::int32_t id) {
    py::dict d;
    d["id"] = id;
    d["samples_seen"] = node.samples_seen;
    if (!node.is_leaf) {
        d["feature"] = node.feature;
        d["threshold"] = node.threshold;
        return d;
    }
    d["answer_mode"] = node.answer_mode;
    if (node.classifies) {
        d["prediction"] = node.label;
    } else {
        d["prediction"] = node.value;
    }
    if (node.answer_mode == "score") d["score"] = node.value;
    if (node.classifies && node.answer_mode != "score") {
        py::dict counts;
        for (const auto& [label, count] : node.class_counts) counts[py::int_(label)] = count;
        d["class_counts"] = counts;
    }
    if (node.has_moments) {
        d["mean"] = node.mean;
        d["variance"] = node.variance;
    }
    return d;
}

// Nested dicts linked after all are made: no recursion however deep the tree.
py::dict description_dict(const TreeDescription& description) {
    std::vector<py::dict> dicts;
    dicts.reserve(description.nodes.size());
    for (std::size_t i = 0; i < description.nodes.size(); ++i) {
        dicts.push_back(node_dict(description.nodes[i], static_cast<std::int32_t>(i)));
    }
    for (std::size_t i = 0; i < description.nodes.size(); ++i) {
        const TreeDescription::Node& node = description.nodes[i];
        if (!node.is_leaf) {
            dicts[i]["left"] = dicts[static_cast<std::size_t>(node.left)];
            dicts[i]["right"] = dicts[static_cast<std::size_t>(node.right)];
        }
        if (node.alternate != TreeDescription::kNone) {
            dicts[i]["alternate"] = dicts[static_cast<std::size_t>(node.alternate)];
        }
    }
    return dicts.empty() ? py::dict() : dicts[0];
}

py::dict explanation(const TreeDescription& description, const FeatureMap& x, py::object prediction) {
    std::int32_t leaf = TreeDescription::kNone;
    py::list path;
    for (const TreeDescription::Step& step : description.walk(x, leaf)) {
        py::dict d;
        d["node"] = step.node;
        d["feature"] = step.test->feature;
        d["threshold"] = step.test->threshold;
        d["value"] = step.value;
        d["side"] = step.left ? "left" : "right";
        d["routing"] = step.missing ? "missing, read as 0.0" : std::isnan(step.value) ? "NaN goes right" : "value";
        path.append(d);
    }
    py::dict out;
    out["path"] = path;
    out["leaf"] = node_dict(description.nodes[static_cast<std::size_t>(leaf)], leaf);
    out["prediction"] = prediction;
    return out;
}

}  // namespace

// n_nodes, n_leaves, height, to_dict, to_dot and explain_one, all from T::describe().
template <class Cls>
void def_tree_inspection(Cls& cls) {
    using T = typename Cls::type;
    using Contract = std::conditional_t<std::is_base_of_v<IClassifier, T>, IClassifier, IRegressor>;
    const auto describe = [](const T& self) {
        ensure_idle(object_key(&self));
        return self.describe();
    };
    cls.def_property_readonly(
           "n_nodes", [describe](const T& self) { return describe(self).n_nodes(); },
           "Number of nodes (tests and leaves).")
        .def_property_readonly(
            "n_leaves", [describe](const T& self) { return describe(self).n_leaves(); }, "Number of leaves.")
        .def_property_readonly(
            "height", [describe](const T& self) { return describe(self).height(); },
            "Depth of the deepest leaf (0 for a lone leaf).")
        .def(
            "to_dict", [describe](const T& self) { return description_dict(describe(self)); },
            method_doc("The tree as nested dicts from the root.",
                       {"Returns a dict: a test has feature, threshold, left and right; a leaf its prediction\n"
                        "and statistics.",
                        doc::kBusy})
                .c_str())
        .def(
            "to_dot", [describe](const T& self) { return describe(self).to_dot(); },
            method_doc("The tree in Graphviz dot format.", {"Returns a str.", doc::kBusy}).c_str())
        .def(
            "explain_one",
            [describe](T& self, const FeatureMap& x) {
                const TreeDescription description = describe(self);
                return explanation(description, x, py::cast(static_cast<Contract&>(self).predict_one(x)));
            },
            method_doc("The path one sample takes from the root to its leaf; learns nothing.",
                       {doc::kX,
                        "Returns a dict: path (one dict per test passed), leaf (the leaf's dict) and prediction.",
                        doc::kRaises})
                .c_str());
}

// A tree whose options are all bound from its options struct.
template <class T>
auto register_tree(py::module_& m, const char* name, std::uint32_t version = 1) {
    auto cls = [&] {
        if constexpr (std::is_base_of_v<IClassifier, T>) {
            return bind_classifier<T>(m, name);
        } else {
            return bind_regressor<T>(m, name);
        }
    }();
    def_options(cls);
    def_tree_inspection(cls);
    def_pickle(cls, name, version);
    return cls;
}

// What a tree bounded by max_bytes reports besides the option.
template <class Cls>
void def_memory_budget(Cls&& cls) {
    using T = typename std::decay_t<Cls>::type;
    cls.def_property_readonly("n_inactive_leaves", &T::n_inactive_leaves,
                              "Leaves that stopped collecting split statistics to keep the tree within max_bytes.");
}

void register_hoeffding_tree_classifier(py::module_& m) {
    using T = HoeffdingTreeClassifier;
    def_memory_budget(register_tree<T>(m, "HoeffdingTreeClassifier", T::kStateVersion));
}

void register_efdt_classifier(py::module_& m) {
    // Everything but the constructor is inherited from the Python base.
    auto cls = bind_classifier<EFDTClassifier, HoeffdingTreeClassifier>(m, "EFDTClassifier");
    def_options_init(cls);
    def_pickle(cls, "EFDTClassifier", EFDTClassifier::kStateVersion);
}

void register_hoeffding_adaptive_tree_classifier(py::module_& m) {
    // Its tree options reach only the trees made after the change.
    using T = HoeffdingAdaptiveTreeClassifier;
    def_memory_budget(register_tree<T>(m, "HoeffdingAdaptiveTreeClassifier", T::kStateVersion));
}

void register_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    def_memory_budget(register_tree<T>(m, "HoeffdingTreeRegressor", T::kStateVersion));
}

void register_sgt_classifier(py::module_& m) {
    def_memory_budget(register_tree<SGTClassifier>(m, "SGTClassifier", SGTClassifier::kStateVersion));
}

void register_fimtdd_regressor(py::module_& m) {
    using T = FIMTDDRegressor;
    def_memory_budget(register_tree<T>(m, "FIMTDDRegressor", T::kStateVersion)
                          .def("n_splits", &T::n_splits,
                               "Splits made since construction or reset, alternate subtrees included."));
}

}  // namespace quelb::bindings
