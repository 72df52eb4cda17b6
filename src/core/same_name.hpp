#pragma once
// Equality of two feature names, inline: names are short, and a call to memcmp costs more than
// the comparison. For the per-row comparisons of batch loops, where a stream repeats its names.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quelb {

namespace detail {
template <class Word>
inline Word load_word(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
}  // namespace detail

// Up to 16 bytes are compared as two words that may overlap: the first and the last.
inline bool same_name(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
        if (n > 16) return std::memcmp(p, q, n) == 0;
        using detail::load_word;
        return load_word<std::uint64_t>(p) == load_word<std::uint64_t>(q) &&
               load_word<std::uint64_t>(p + n - 8) == load_word<std::uint64_t>(q + n - 8);
    }
    if (n >= 4) {
        using detail::load_word;
        return load_word<std::uint32_t>(p) == load_word<std::uint32_t>(q) &&
               load_word<std::uint32_t>(p + n - 4) == load_word<std::uint32_t>(q + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return false;
    }
    return true;
}

}  // namespace quelb
