// Registration of the linear and probabilistic learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "linear/linear_classifiers.hpp"
#include "linear/linear_regressors.hpp"
#include "linear/naive_bayes.hpp"

namespace quelb::bindings {

void register_naive_bayes(py::module_& m) {
    auto cls = bind_classifier<NaiveBayes>(m, "NaiveBayes");
    cls.def(py::init<>());
    def_pickle(cls, "NaiveBayes");
}

void register_perceptron(py::module_& m) { bind_optioned<Perceptron>(m, "Perceptron"); }

void register_logistic_regression(py::module_& m) {
    bind_optioned<LogisticRegression>(m, "LogisticRegressionClassifier");
}

void register_passive_aggressive_classifier(py::module_& m) {
    bind_optioned<PassiveAggressiveClassifier>(m, "PassiveAggressiveClassifier");
}

void register_softmax_regression(py::module_& m) { bind_optioned<SoftmaxRegression>(m, "SoftmaxRegression"); }

void register_linear_regression(py::module_& m) { bind_optioned<LinearRegression>(m, "LinearRegression"); }

void register_bayesian_linear_regression(py::module_& m) {
    bind_optioned<BayesianLinearRegression>(m, "BayesianLinearRegression");
}

void register_passive_aggressive_regressor(py::module_& m) {
    bind_optioned<PassiveAggressiveRegressor>(m, "PassiveAggressiveRegressor");
}

}  // namespace quelb::bindings
