#pragma once
// The options of the learners trained by stochastic gradient descent with L2 decay: the logistic
// and softmax classifiers and LinearRegression.
#include "core/options.hpp"

namespace quelb {

struct SgdOptions {
    double learning_rate = 0.01;
    double l2 = 0.0;

    static constexpr auto fields() {
        return std::make_tuple(option("learning_rate", &SgdOptions::learning_rate, kArgument | kProperty,
                                      "step size of the gradient descent"),
                               option("l2", &SgdOptions::l2, kArgument | kProperty, "L2 penalty of the weights"));
    }
};

}  // namespace quelb
