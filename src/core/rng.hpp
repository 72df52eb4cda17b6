#pragma once
// The random generator every randomised learner owns: standard MT19937 with the few draws the
// learners need, each defined bit for bit so that seeded runs are reproducible.
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace quelb {

class StateWriter;
class StateReader;

// The standard MT19937 (the parameters of std::mt19937) on 32-bit words: std::mt19937 itself
// stores its state in uint_fast32_t, 64 bits wide here, for the same outputs.
using Mt19937 = std::mersenne_twister_engine<std::uint32_t, 32, 624, 397, 31, 0x9908b0dfU, 11, 0xffffffffU, 7,
                                             0x9d2c5680U, 15, 0xefc60000U, 18, 1812433253U>;

class Rng {
public:
    // A negative int seed is taken as its unsigned 32-bit pattern by the conversion.
    explicit Rng(std::uint32_t seed = 0) : engine_(seed) {}

    void seed(std::uint32_t seed) { engine_.seed(seed); }

    std::uint32_t next_u32() { return static_cast<std::uint32_t>(engine_()); }

    // Uniform double in [0, 1) with 53 random bits: two outputs a then b give
    // (b * 2^21 + floor(a / 2^11)) * 2^-53.
    double uniform() {
        const std::uint64_t a = next_u32();
        const std::uint64_t b = next_u32();
        return static_cast<double>((b << 21) + (a >> 11)) * 0x1p-53;
    }

    // Uniform integer in [0, n) for n >= 1 by multiply-and-reject: the high half of n * u,
    // redrawn while the low half falls in the biased zone below (2^32 - n) mod n. That zone lies
    // below n, so the division that finds it is only needed when the low half does.
    std::uint32_t uniform_below(std::uint32_t n) {
        std::uint64_t product = static_cast<std::uint64_t>(n) * next_u32();
        if (static_cast<std::uint32_t>(product) < n) {
            const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
            while (static_cast<std::uint32_t>(product) < threshold) product = static_cast<std::uint64_t>(n) * next_u32();
        }
        return static_cast<std::uint32_t>(product >> 32);
    }

    // Uniform integer in [lo, hi], lo <= hi.
    std::uint32_t uniform_int(std::uint32_t lo, std::uint32_t hi) {
        if (lo == 0 && hi == UINT32_MAX) return next_u32();
        return lo + uniform_below(hi - lo + 1);
    }

    // Fisher-Yates from the front: for i = 1 .. n-1 swap item i with a uniform j in [0, i].
    template <class T>
    void shuffle(std::vector<T>& items) {
        for (std::size_t i = 1; i < items.size(); ++i) {
            const std::size_t j = uniform_below(static_cast<std::uint32_t>(i + 1));
            if (j != i) std::swap(items[i], items[j]);
        }
    }

    // One Poisson draw with the given mean (see PoissonDraw).
    int poisson(double mean);

private:
    friend class StateWriter;  // saves and restores engine_
    friend class StateReader;

    Mt19937 engine_;
};

// Poisson draws with a fixed mean; holds only constants derived from the mean, no state.
// Means below 12 multiply uniforms until the product falls to e^-mean (so a mean <= 0 always
// gives 0); larger means use rejection from a Cauchy envelope.
class PoissonDraw {
public:
    explicit PoissonDraw(double mean);
    int operator()(Rng& rng) const;

private:
    double mean_;
    bool small_;
    double exp_neg_mean_ = 0.0;  // small means
    double sqrt_two_mean_ = 0.0, log_mean_ = 0.0, g_ = 0.0;  // large means
};

// Largest Poisson mean an ensemble accepts: beyond it the envelope almost never yields a value
// below 2^31 and a draw would not finish.
inline constexpr double kMaxPoissonMean = 2147483647.0;

// The check of the ensembles' lambda_value option: a Poisson mean a draw finishes with, no
// greater than kMaxPoissonMean (NaN and infinity refused).
inline const char* poisson_mean_check(const double& mean) {
    return mean <= kMaxPoissonMean ? nullptr : "'lambda_value' must be a number no greater than 2147483647.";
}

}  // namespace quelb
