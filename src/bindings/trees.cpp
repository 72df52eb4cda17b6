// Registration of the decision trees.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include <cstdint>

#include "trees/efdt_classifier.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"
#include "trees/sgt_classifier.hpp"

namespace quelb::bindings {

// A tree whose options are all bound from its options struct.
template <class T>
void register_classifier_tree(py::module_& m, const char* name, std::uint32_t version = 1) {
    auto cls = bind_classifier<T>(m, name);
    def_options(cls);
    def_pickle(cls, name, version);
}

template <class T>
auto register_regressor_tree(py::module_& m, const char* name, std::uint32_t version = 1) {
    auto cls = bind_regressor<T>(m, name);
    def_options(cls);
    def_pickle(cls, name, version);
    return cls;
}

void register_hoeffding_tree_classifier(py::module_& m) {
    register_classifier_tree<HoeffdingTreeClassifier>(m, "HoeffdingTreeClassifier");
}

void register_efdt_classifier(py::module_& m) {
    // Everything but the constructor is inherited from the Python base.
    auto cls = bind_classifier<EFDTClassifier, HoeffdingTreeClassifier>(m, "EFDTClassifier");
    def_options_init(cls);
    def_pickle(cls, "EFDTClassifier");
}

void register_hoeffding_adaptive_tree_classifier(py::module_& m) {
    // Its tree options reach only the trees made after the change.
    register_classifier_tree<HoeffdingAdaptiveTreeClassifier>(m, "HoeffdingAdaptiveTreeClassifier");
}

void register_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    register_regressor_tree<T>(m, "HoeffdingTreeRegressor", T::kStateVersion);
}

void register_sgt_classifier(py::module_& m) {
    register_classifier_tree<SGTClassifier>(m, "SGTClassifier", SGTClassifier::kStateVersion);
}

void register_fimtdd_regressor(py::module_& m) {
    using T = FIMTDDRegressor;
    register_regressor_tree<T>(m, "FIMTDDRegressor").def("n_splits", &T::n_splits);
}

}  // namespace quelb::bindings
