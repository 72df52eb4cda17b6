// Registration of the nearest-neighbour learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include "neighbors/knn.hpp"

namespace quelb::bindings {

void register_knn_classifier(py::module_& m) {
    auto cls = bind_classifier<KNNClassifier>(m, "KNNClassifier");
    def_options(cls);
    def_pickle(cls, "KNNClassifier");
}

void register_knn_regressor(py::module_& m) {
    auto cls = bind_regressor<KNNRegressor>(m, "KNNRegressor");
    def_options(cls);
    def_pickle(cls, "KNNRegressor");
}

}  // namespace quelb::bindings
