#pragma once
// Equality of two feature names, inline: names are short, and a call to memcmp costs more than
// the loop. For the per-row comparisons of batch loops, where a stream repeats its names.
#include <cstddef>
#include <string_view>

namespace quelb {

inline bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace quelb
