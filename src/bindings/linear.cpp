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

void register_perceptron(py::module_& m) {
    auto cls = bind_classifier<Perceptron>(m, "Perceptron");
    cls.def(py::init<double>(), py::arg("learning_rate") = 0.01)
        .def_readwrite("learning_rate", &Perceptron::learning_rate);
    def_pickle(cls, "Perceptron");
}

void register_logistic_regression(py::module_& m) {
    auto cls = bind_classifier<LogisticRegression>(m, "LogisticRegressionClassifier");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &LogisticRegression::learning_rate)
        .def_readwrite("l2", &LogisticRegression::l2);
    def_pickle(cls, "LogisticRegressionClassifier");
}

void register_passive_aggressive_classifier(py::module_& m) {
    auto cls = bind_classifier<PassiveAggressiveClassifier>(m, "PassiveAggressiveClassifier");
    cls.def(py::init<double>(), py::arg("C") = 1.0)
        .def_readwrite("C", &PassiveAggressiveClassifier::C);
    def_pickle(cls, "PassiveAggressiveClassifier");
}

void register_softmax_regression(py::module_& m) {
    auto cls = bind_classifier<SoftmaxRegression>(m, "SoftmaxRegression");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &SoftmaxRegression::learning_rate)
        .def_readwrite("l2", &SoftmaxRegression::l2);
    def_pickle(cls, "SoftmaxRegression");
}

void register_linear_regression(py::module_& m) {
    auto cls = bind_regressor<LinearRegression>(m, "LinearRegression");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &LinearRegression::learning_rate)
        .def_readwrite("l2", &LinearRegression::l2);
    def_pickle(cls, "LinearRegression");
}

void register_bayesian_linear_regression(py::module_& m) {
    auto cls = bind_regressor<BayesianLinearRegression>(m, "BayesianLinearRegression");
    cls.def(py::init<double, double>(), py::arg("alpha") = 1.0, py::arg("beta") = 1.0)
        .def_readwrite("alpha", &BayesianLinearRegression::alpha)
        .def_readwrite("beta", &BayesianLinearRegression::beta);
    def_pickle(cls, "BayesianLinearRegression");
}

void register_passive_aggressive_regressor(py::module_& m) {
    auto cls = bind_regressor<PassiveAggressiveRegressor>(m, "PassiveAggressiveRegressor");
    cls.def(py::init<double, double>(), py::arg("C") = 1.0, py::arg("epsilon") = 0.1)
        .def_readwrite("C", &PassiveAggressiveRegressor::C)
        .def_readwrite("epsilon", &PassiveAggressiveRegressor::epsilon);
    def_pickle(cls, "PassiveAggressiveRegressor");
}

}  // namespace quelb::bindings
