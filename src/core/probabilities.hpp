#pragma once
// Turning per-class log scores into a proper probability distribution.
#include <vector>

namespace quelb {

// Replaces log scores by exp(score - logsumexp(scores)) in place. The result sums to 1 whenever
// at least one score is a number: +inf scores share all the mass, NaN scores get 0, and if every
// score is -inf the mass is shared equally. The arg-max is preserved.
void normalize_log_scores(std::vector<double>& scores);

}  // namespace quelb
