#pragma once
// MixedSample: a sample whose values may be categories (text) as well as numbers.
//
// Only the encoders read it; they turn it into a numeric FeatureMap for everything after them,
// so the numeric core never sees text. The numbers stay a FeatureMap; each category remembers
// how many numbers came before it in the sample, so an encoder can keep the sample's order.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/feature_map.hpp"

namespace quelb {

struct Category {
    std::string feature;
    std::string value;  // UTF-8
    std::uint32_t position = 0;  // numbers of the sample that come before it
};

using Categories = std::vector<Category>;

struct MixedSample {
    FeatureMap numbers;
    Categories categories;

    bool contains(std::string_view name) const;
    // Appends a category, which the caller guarantees is absent from both parts.
    void add_category(std::string_view feature, std::string_view value);
    void clear() {
        numbers.clear();
        categories.clear();
    }
};

// Whether text is well-formed UTF-8 (as Python's strict decoder reads it: no overlong forms, no
// surrogates, nothing above U+10FFFF). Categories always are; a restored state is checked.
bool is_utf8(std::string_view text);

// A sample holds a value of a kind the object cannot take (a category where only numbers go).
// The bindings raise it as TypeError, as they do for any other value of the wrong type.
struct SampleTypeError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

}  // namespace quelb
