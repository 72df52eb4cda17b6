// Benchmark-only: the number of tree nodes in a saved adaptive random forest, to report the size
// of its state per node without widening the product module's interface.
#include "bindings/casters.hpp"

#include <string>

#include "core/state.hpp"
#include "ensembles/arf_classifier.hpp"

namespace py = pybind11;

void register_forest_nodes(py::module_& m) {
    // Nodes of every foreground and background tree of the ARFClassifier whose __getstate__
    // returned `state`.
    m.def("arf_tree_nodes", [](const py::bytes& state) {
        const std::string sealed = state;
        quelb::StateReader in(quelb::open_state(sealed, "ARFClassifier", 1).first);
        quelb::ARFClassifier::Options one_member;
        one_member.n_models = 1;
        quelb::ARFClassifier forest(one_member);
        forest.load_state(in);
        std::size_t nodes = 0;
        for (const auto& member : forest.members()) {
            if (member.trees.model) nodes += member.trees.model->n_nodes();
            if (member.trees.background) nodes += member.trees.background->n_nodes();
        }
        return nodes;
    });
}
