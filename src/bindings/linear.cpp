// Registration of the linear and probabilistic learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "linear/naive_bayes.hpp"

namespace quelb::bindings {

void register_naive_bayes(py::module_& m) {
    bind_classifier<NaiveBayes>(m, "NaiveBayes").def(py::init<>());
}

}  // namespace quelb::bindings
