#include "core/mixed_sample.hpp"

namespace quelb {

bool MixedSample::contains(std::string_view name) const {
    if (numbers.contains(name)) return true;
    for (const Category& category : categories) {
        if (category.feature == name) return true;
    }
    return false;
}

void MixedSample::add_category(std::string_view feature, std::string_view value) {
    categories.push_back(Category{std::string(feature), std::string(value), static_cast<std::uint32_t>(numbers.size())});
}

bool is_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) low = 0xA0;   // overlong
            if (c == 0xED) high = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) low = 0x90;   // overlong
            if (c == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n || p[1] < low || p[1] > high) return false;
        for (std::size_t k = 2; k <= n; ++k) {
            if (p[k] < 0x80 || p[k] > 0xBF) return false;
        }
        p += n + 1;
    }
    return true;
}

}  // namespace quelb
