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

}  // namespace quelb
