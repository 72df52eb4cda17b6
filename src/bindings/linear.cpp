// Registration of the linear and probabilistic learners.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "linear/linear_classifiers.hpp"
#include "linear/linear_regressors.hpp"
#include "linear/naive_bayes.hpp"

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quelb::bindings {

namespace {

py::dict weights_dict(const std::vector<std::pair<std::string, double>>& weights) {
    py::dict d;
    for (const auto& [name, weight] : weights) d[py::str(name)] = weight;
    return d;
}

// What holds a regressor's weights: the Bayesian one keeps its posterior means itself.
template <class T>
const auto& regression_weights(const T& self) {
    if constexpr (std::is_same_v<T, BayesianLinearRegression>) {
        return self;
    } else {
        return self.model();
    }
}

// weights {feature: weight} and intercept of a linear regressor.
template <class T>
void bind_linear_regressor(py::module_& m, const char* name) {
    auto cls = bind_optioned<T>(m, name);
    cls.def_property_readonly(
           "weights",
           [](const T& self) {
               ensure_idle(object_key(&self));
               return weights_dict(regression_weights(self).named_weights());
           },
           "The weights: dict of feature name to float.")
        .def_property_readonly(
            "intercept",
            [](const T& self) {
                ensure_idle(object_key(&self));
                return regression_weights(self).intercept();
            },
            "The intercept (float).");
}

// weights {label: {feature: weight}} and intercept {label: bias} of a linear classifier.
template <class T>
void bind_linear_classifier(py::module_& m, const char* name) {
    auto cls = bind_optioned<T>(m, name);
    cls.def_property_readonly(
           "weights",
           [](const T& self) {
               ensure_idle(object_key(&self));
               const LinearClassScores& scores = self.model();
               py::dict d;
               for (std::size_t c = 0; c < scores.n_classes(); ++c) {
                   d[py::int_(scores.label(c))] = weights_dict(scores.named_weights(c));
               }
               return d;
           },
           "The weights: dict of label to dict of feature name to float.")
        .def_property_readonly(
            "intercept",
            [](const T& self) {
                ensure_idle(object_key(&self));
                const LinearClassScores& scores = self.model();
                py::dict d;
                for (std::size_t c = 0; c < scores.n_classes(); ++c) d[py::int_(scores.label(c))] = scores.bias(c);
                return d;
            },
            "The intercepts: dict of label to float.");
}

}  // namespace

void register_naive_bayes(py::module_& m) {
    auto cls = bind_classifier<NaiveBayes>(m, "NaiveBayes");
    cls.def(py::init<>());
    cls.def_property_readonly(
        "class_counts",
        [](const NaiveBayes& self) {
            ensure_idle(object_key(&self));
            py::dict d;
            for (const auto& [label, count] : self.class_counts()) d[py::int_(label)] = count;
            return d;
        },
        "Samples learned per class: dict of label to count.");
    def_pickle(cls, "NaiveBayes");
}

void register_perceptron(py::module_& m) { bind_linear_classifier<Perceptron>(m, "Perceptron"); }

void register_logistic_regression(py::module_& m) {
    bind_linear_classifier<LogisticRegression>(m, "LogisticRegressionClassifier");
}

void register_passive_aggressive_classifier(py::module_& m) {
    bind_linear_classifier<PassiveAggressiveClassifier>(m, "PassiveAggressiveClassifier");
}

void register_softmax_regression(py::module_& m) { bind_linear_classifier<SoftmaxRegression>(m, "SoftmaxRegression"); }

void register_linear_regression(py::module_& m) { bind_linear_regressor<LinearRegression>(m, "LinearRegression"); }

void register_bayesian_linear_regression(py::module_& m) {
    bind_linear_regressor<BayesianLinearRegression>(m, "BayesianLinearRegression");
}

void register_passive_aggressive_regressor(py::module_& m) {
    bind_linear_regressor<PassiveAggressiveRegressor>(m, "PassiveAggressiveRegressor");
}

}  // namespace quelb::bindings
