// Registration of the nearest-neighbour learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include <cstdint>

#include "neighbors/knn.hpp"

namespace quelb::bindings {

namespace {

template <class Cls>
void def_knn_options(Cls& cls) {
    using T = typename Cls::type;
    cls.def(py::init<std::int32_t, std::int32_t, std::int32_t>(), py::arg("n_neighbors") = 5,
            py::arg("window_size") = 1000, py::arg("p") = 2);
    def_checked_property(cls, "n_neighbors", &T::n_neighbors, [](std::int32_t k) { return k >= 0; }, kBadNeighbors);
    cls.def_readwrite("p", &T::p);
}

}  // namespace

void register_knn_classifier(py::module_& m) {
    auto cls = bind_classifier<KNNClassifier>(m, "KNNClassifier");
    def_knn_options(cls);
    def_pickle(cls, "KNNClassifier");
}

void register_knn_regressor(py::module_& m) {
    auto cls = bind_regressor<KNNRegressor>(m, "KNNRegressor");
    def_knn_options(cls);
    def_pickle(cls, "KNNRegressor");
}

}  // namespace quelb::bindings
