// Registration of the nearest-neighbour learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "neighbors/knn.hpp"

namespace quelb::bindings {

void register_knn_classifier(py::module_& m) { bind_optioned<KNNClassifier>(m, "KNNClassifier"); }

void register_knn_regressor(py::module_& m) { bind_optioned<KNNRegressor>(m, "KNNRegressor"); }

}  // namespace quelb::bindings
