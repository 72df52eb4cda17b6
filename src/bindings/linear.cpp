// Registration of the linear and probabilistic learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/options.hpp"
#include "bindings/registration.hpp"

#include "linear/linear_classifiers.hpp"
#include "linear/linear_regressors.hpp"
#include "linear/naive_bayes.hpp"

namespace quelb::bindings {

namespace {

// A learner whose constructor and properties are its options.
template <class T>
void register_classifier(py::module_& m, const char* name) {
    auto cls = bind_classifier<T>(m, name);
    def_options(cls);
    def_pickle(cls, name);
}

template <class T>
void register_regressor(py::module_& m, const char* name) {
    auto cls = bind_regressor<T>(m, name);
    def_options(cls);
    def_pickle(cls, name);
}

}  // namespace

void register_naive_bayes(py::module_& m) {
    auto cls = bind_classifier<NaiveBayes>(m, "NaiveBayes");
    cls.def(py::init<>());
    def_pickle(cls, "NaiveBayes");
}

void register_perceptron(py::module_& m) { register_classifier<Perceptron>(m, "Perceptron"); }

void register_logistic_regression(py::module_& m) {
    register_classifier<LogisticRegression>(m, "LogisticRegressionClassifier");
}

void register_passive_aggressive_classifier(py::module_& m) {
    register_classifier<PassiveAggressiveClassifier>(m, "PassiveAggressiveClassifier");
}

void register_softmax_regression(py::module_& m) { register_classifier<SoftmaxRegression>(m, "SoftmaxRegression"); }

void register_linear_regression(py::module_& m) { register_regressor<LinearRegression>(m, "LinearRegression"); }

void register_bayesian_linear_regression(py::module_& m) {
    register_regressor<BayesianLinearRegression>(m, "BayesianLinearRegression");
}

void register_passive_aggressive_regressor(py::module_& m) {
    register_regressor<PassiveAggressiveRegressor>(m, "PassiveAggressiveRegressor");
}

}  // namespace quelb::bindings
