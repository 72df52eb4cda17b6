// Registration of the linear and probabilistic learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "linear/linear_classifiers.hpp"
#include "linear/linear_regressors.hpp"
#include "linear/naive_bayes.hpp"

namespace quelb::bindings {

void register_naive_bayes(py::module_& m) {
    bind_classifier<NaiveBayes>(m, "NaiveBayes").def(py::init<>());
}

void register_perceptron(py::module_& m) {
    bind_classifier<Perceptron>(m, "Perceptron")
        .def(py::init<double>(), py::arg("learning_rate") = 0.01)
        .def_readwrite("learning_rate", &Perceptron::learning_rate);
}

void register_logistic_regression(py::module_& m) {
    bind_classifier<LogisticRegression>(m, "LogisticRegressionClassifier")
        .def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &LogisticRegression::learning_rate)
        .def_readwrite("l2", &LogisticRegression::l2);
}

void register_passive_aggressive_classifier(py::module_& m) {
    bind_classifier<PassiveAggressiveClassifier>(m, "PassiveAggressiveClassifier")
        .def(py::init<double>(), py::arg("C") = 1.0)
        .def_readwrite("C", &PassiveAggressiveClassifier::C);
}

void register_softmax_regression(py::module_& m) {
    bind_classifier<SoftmaxRegression>(m, "SoftmaxRegression")
        .def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &SoftmaxRegression::learning_rate)
        .def_readwrite("l2", &SoftmaxRegression::l2);
}

void register_linear_regression(py::module_& m) {
    bind_regressor<LinearRegression>(m, "LinearRegression")
        .def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &LinearRegression::learning_rate)
        .def_readwrite("l2", &LinearRegression::l2);
}

void register_bayesian_linear_regression(py::module_& m) {
    bind_regressor<BayesianLinearRegression>(m, "BayesianLinearRegression")
        .def(py::init<double, double>(), py::arg("alpha") = 1.0, py::arg("beta") = 1.0)
        .def_readwrite("alpha", &BayesianLinearRegression::alpha)
        .def_readwrite("beta", &BayesianLinearRegression::beta);
}

void register_passive_aggressive_regressor(py::module_& m) {
    bind_regressor<PassiveAggressiveRegressor>(m, "PassiveAggressiveRegressor")
        .def(py::init<double, double>(), py::arg("C") = 1.0, py::arg("epsilon") = 0.1)
        .def_readwrite("C", &PassiveAggressiveRegressor::C)
        .def_readwrite("epsilon", &PassiveAggressiveRegressor::epsilon);
}

}  // namespace quelb::bindings
