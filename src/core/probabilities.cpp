#include "core/probabilities.hpp"

#include <cmath>
#include <limits>

namespace quelb {

void normalize_log_scores(std::vector<double>& scores) {
    if (scores.empty()) return;
    double max_score = -std::numeric_limits<double>::infinity();
    std::size_t n_numbers = 0;
    for (double s : scores) {
        if (std::isnan(s)) continue;
        ++n_numbers;
        if (s > max_score) max_score = s;
    }
    if (n_numbers == 0) {
        for (double& s : scores) s = 1.0 / static_cast<double>(scores.size());
        return;
    }
    if (std::isinf(max_score)) {
        // All mass on the +inf scores, or spread over every number when all are -inf.
        std::size_t n_top = 0;
        for (double s : scores) n_top += (s == max_score);
        for (double& s : scores) s = (s == max_score) ? 1.0 / static_cast<double>(n_top) : 0.0;
        return;
    }
    double sum = 0.0;
    for (double& s : scores) {
        s = std::isnan(s) ? 0.0 : std::exp(s - max_score);
        sum += s;
    }
    for (double& s : scores) s /= sum;
}

}  // namespace quelb
