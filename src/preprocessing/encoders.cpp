#include "preprocessing/encoders.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace quelb {

std::uint32_t CategoryVocabulary::code(std::string_view category) const {
    const auto it = codes_.find(category);
    return it == codes_.end() ? kUnseen : it->second;
}

std::uint32_t CategoryVocabulary::learn(std::string_view category) {
    const auto it = codes_.find(category);
    if (it != codes_.end()) return it->second;
    if (names_.size() >= kUnseen) throw std::length_error("too many categories for one feature");
    const auto code = static_cast<std::uint32_t>(names_.size());
    std::string& name = names_.emplace_back();
    name.reserve(feature_.size() + 1 + category.size());
    name.append(feature_).append(1, '=').append(category);
    codes_.emplace(std::string_view(name).substr(feature_.size() + 1), code);
    return code;
}

CategoryEncoder::CategoryEncoder(std::optional<std::vector<std::string>> features) {
    set_features(std::move(features));
}

CategoryEncoder::CategoryEncoder(const CategoryEncoder& other) : IEncoder(other) {
    set_features(other.features_);
    for (const CategoryVocabulary& source : other.vocabularies_) {
        CategoryVocabulary& copy = vocabulary_for(source.feature());
        for (std::uint32_t code = 0; code < source.size(); ++code) copy.learn(source.category(code));
    }
}

void CategoryEncoder::set_features(std::optional<std::vector<std::string>> features) {
    features_ = std::move(features);
    listed_only_ = features_.has_value();
    listed_.clear();
    if (listed_only_) listed_.insert(features_->begin(), features_->end());
}

namespace {

// A number as the text of a category: the shortest decimal form that reads back as the same
// double ("3" for 3.0, "0.1", "nan", "-inf").
std::string_view number_text(double value, char (&buffer)[32]) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

const Categories kNoCategories;

}  // namespace

template <class Number, class Encoded>
void CategoryEncoder::walk(const FeatureMap& numbers, const Categories& categories, Number&& number,
                           Encoded&& encoded) const {
    char buffer[32];
    std::size_t next = 0;  // the next category
    std::uint32_t position = 0;
    for (const auto& [name, value] : numbers) {
        for (; next < categories.size() && categories[next].position <= position; ++next)
            encoded(std::string_view(categories[next].feature), std::string_view(categories[next].value));
        if (listed_only_ && listed_.count(name)) {
            encoded(std::string_view(name), number_text(value, buffer));
        } else {
            number(name, value);
        }
        ++position;
    }
    for (; next < categories.size(); ++next)
        encoded(std::string_view(categories[next].feature), std::string_view(categories[next].value));
}

const CategoryVocabulary* CategoryEncoder::vocabulary(std::string_view feature) const {
    const auto it = by_feature_.find(feature);
    return it == by_feature_.end() ? nullptr : &vocabularies_[it->second];
}

CategoryVocabulary& CategoryEncoder::vocabulary_for(std::string_view feature) {
    const auto it = by_feature_.find(feature);
    if (it != by_feature_.end()) return vocabularies_[it->second];
    CategoryVocabulary& added = vocabularies_.emplace_back(feature);
    by_feature_.emplace(std::string_view(added.feature()), static_cast<std::uint32_t>(vocabularies_.size() - 1));
    return added;
}

void CategoryEncoder::check(const MixedSample& x) const {
    if (!listed_only_) return;
    for (const Category& category : x.categories) {
        if (!listed_.count(category.feature))
            throw SampleTypeError("feature '" + category.feature + "' holds the category '" + category.value +
                                  "' but is not one of the encoder's features");
    }
}

void CategoryEncoder::learn(const FeatureMap& numbers, const Categories& categories) {
    walk(
        numbers, categories, [](const std::string&, double) {},
        [this](std::string_view feature, std::string_view text) { vocabulary_for(feature).learn(text); });
}

void CategoryEncoder::learn_one(const FeatureMap& x) {
    if (listed_only_) learn(x, kNoCategories);
}

void CategoryEncoder::learn_mixed(const MixedSample& x) {
    check(x);
    learn(x.numbers, x.categories);
}

void CategoryEncoder::encode(const MixedSample& x, FeatureMap& out) {
    check(x);
    encode_checked(x.numbers, x.categories, out);
}

FeatureMap CategoryEncoder::transform_one(const FeatureMap& x) {
    if (!changes_numbers()) return x;
    FeatureMap out;
    encode_checked(x, kNoCategories, out);
    return out;
}

void CategoryEncoder::transform_one_inplace(FeatureMap& x) {
    if (!changes_numbers()) return;
    encode_checked(x, kNoCategories, scratch_);
    std::swap(x, scratch_);
}

void CategoryEncoder::reset() {
    clear_as_new(by_feature_);
    std::deque<CategoryVocabulary>().swap(vocabularies_);
}

std::vector<std::pair<std::string, std::vector<std::string>>> CategoryEncoder::categories() const {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (const CategoryVocabulary& vocabulary : vocabularies_) {
        auto& [feature, values] = out.emplace_back(vocabulary.feature(), std::vector<std::string>{});
        for (std::uint32_t code = 0; code < vocabulary.size(); ++code) values.emplace_back(vocabulary.category(code));
    }
    return out;
}

void CategoryEncoder::save_features(StateWriter& out) const {
    out.boolean(listed_only_);
    if (listed_only_) out.seq(*features_, [](StateWriter& w, const std::string& name) { w.str(name); });
    out.size(vocabularies_.size());
    for (const CategoryVocabulary& vocabulary : vocabularies_) {
        out.str(vocabulary.feature());
        out.size(vocabulary.size());
        for (std::uint32_t code = 0; code < vocabulary.size(); ++code) out.str(vocabulary.category(code));
    }
}

void CategoryEncoder::load_features(StateReader& in) {
    std::optional<std::vector<std::string>> features;
    if (in.boolean()) in.seq(features.emplace(), [](StateReader& r, std::string& name) { name = r.str(); });
    set_features(std::move(features));
    reset();
    const std::size_t n_features = in.size(16);
    for (std::size_t f = 0; f < n_features; ++f) {
        const std::string feature = in.str();
        if (vocabulary(feature)) in.fail("feature '" + feature + "' has two vocabularies");
        CategoryVocabulary& vocabulary = vocabulary_for(feature);
        const std::size_t n_categories = in.size(8);
        for (std::size_t c = 0; c < n_categories; ++c) {
            const std::string category = in.str();
            if (!is_utf8(category)) in.fail("a category of feature '" + feature + "' is not UTF-8");
            if (vocabulary.learn(category) != c) in.fail("feature '" + feature + "' repeats a category");
        }
    }
}

namespace {

// Whether two output names can coincide: "f=v" of one feature equals "g=w" of another, or a
// number's name, only when one of the sample's names holds '=' itself.
bool names_may_collide(const FeatureMap& numbers, const Categories& categories) {
    for (const auto& entry : numbers) {
        if (entry.first.find('=') != std::string::npos) return true;
    }
    for (const Category& category : categories) {
        if (category.feature.find('=') != std::string::npos) return true;
    }
    return false;
}

}  // namespace

void OneHotEncoder::encode_checked(const FeatureMap& numbers, const Categories& categories, FeatureMap& out) {
    out.clear();
    // Where two outputs share a name the first one stays, as in a sample read from a mapping.
    const bool unique = !names_may_collide(numbers, categories);
    const auto put = [&out, unique](std::string_view name, double value) {
        if (unique) {
            out.append_unique(name, value);
        } else {
            out.emplace(name, value);
        }
    };
    walk(
        numbers, categories,
        [&](const std::string& name, double value) {
            if (!drop_numeric) put(name, value);
        },
        [&](std::string_view feature, std::string_view text) {
            const CategoryVocabulary* known = vocabulary(feature);
            if (!known) return;
            const std::uint32_t code = known->code(text);
            if (sparse) {
                if (code != CategoryVocabulary::kUnseen) put(known->name(code), 1.0);
                return;
            }
            for (std::uint32_t c = 0; c < known->size(); ++c) put(known->name(c), c == code ? 1.0 : 0.0);
        });
}

void OrdinalEncoder::encode_checked(const FeatureMap& numbers, const Categories& categories, FeatureMap& out) {
    out.clear();
    out.reserve(numbers.size() + categories.size());
    walk(
        numbers, categories, [&out](const std::string& name, double value) { out.append_unique(name, value); },
        [&](std::string_view feature, std::string_view text) {
            const CategoryVocabulary* known = vocabulary(feature);
            const std::uint32_t code = known ? known->code(text) : CategoryVocabulary::kUnseen;
            out.append_unique(feature, code == CategoryVocabulary::kUnseen ? unknown_value : static_cast<double>(code));
        });
}

}  // namespace quelb
