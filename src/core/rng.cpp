#include "core/rng.hpp"

#include <cmath>
#include <stdexcept>

namespace quelb {

int Rng::poisson(double mean) { return PoissonDraw(mean)(*this); }

PoissonDraw::PoissonDraw(double mean) : mean_(mean), small_(!(mean >= 12.0)) {
    if (small_) {
        exp_neg_mean_ = std::exp(-mean);
    } else {
        sqrt_two_mean_ = std::sqrt(2.0 * mean);
        log_mean_ = std::log(mean);
        g_ = mean * log_mean_ - std::lgamma(mean + 1.0);
    }
}

int PoissonDraw::operator()(Rng& rng) const {
    if (small_) {
        // A NaN mean would never meet the stopping test: it draws like a mean of 0.
        const double limit = std::isnan(exp_neg_mean_) ? 1.0 : exp_neg_mean_;
        double product = 1.0;
        for (int k = 0;; ++k) {
            product *= rng.uniform();
            if (limit >= product) return k;
        }
    }
    constexpr double kPi = 3.141592653589793;
    for (;;) {
        const double y = std::tan(kPi * rng.uniform());
        const double e = sqrt_two_mean_ * y + mean_;
        if (e < 0.0 || e >= 2147483648.0) continue;
        const int k = static_cast<int>(e);
        const double u = rng.uniform();
        if (0.9 * (1.0 + y * y) * std::exp(k * log_mean_ - std::lgamma(k + 1.0) - g_) >= u) return k;
    }
}

}  // namespace quelb
