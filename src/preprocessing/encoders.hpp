#pragma once
// Category encoders: transformers that turn categories (text values) into numbers, so that every
// step and learner after them sees a numeric sample.
//
// Which values are encoded: with no `features` list, every category of the sample, and numbers
// pass through; with a list, exactly the listed features, a number there encoded as its shortest
// decimal text ("3" for 3.0), and a category of any other feature is refused (SampleTypeError).
// A feature that is a category in one sample and a number in the next is encoded only where it
// is a category (without a list) and passes through where it is a number.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/contracts.hpp"
#include "core/mixed_sample.hpp"
#include "core/options.hpp"
#include "core/state.hpp"

namespace quelb {

struct ViewHash {
    std::size_t operator()(std::string_view name) const { return hash_name(name); }
};

// The categories of one feature, coded 0, 1, 2, ... in the order first learned. Each category is
// stored once, inside its output name "feature=category"; the code table's keys view the
// category part of those names (a deque never moves its strings), so memory is one name and one
// table entry per category. Not copyable: an owner copies by learning the categories again.
class CategoryVocabulary {
public:
    static constexpr std::uint32_t kUnseen = UINT32_MAX;

    explicit CategoryVocabulary(std::string_view feature) : feature_(feature) {}
    CategoryVocabulary(const CategoryVocabulary&) = delete;
    CategoryVocabulary& operator=(const CategoryVocabulary&) = delete;

    const std::string& feature() const { return feature_; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(names_.size()); }
    // kUnseen for a category never learned.
    std::uint32_t code(std::string_view category) const;
    std::uint32_t learn(std::string_view category);
    const std::string& name(std::uint32_t code) const { return names_[code]; }
    std::string_view category(std::uint32_t code) const {
        return std::string_view(names_[code]).substr(feature_.size() + 1);
    }

    std::size_t heap_bytes() const { return memory::owned_all(feature_, names_, codes_); }

private:
    std::string feature_;
    std::deque<std::string> names_;  // by code
    std::unordered_map<std::string_view, std::uint32_t, ViewHash> codes_;
};

// What both encoders share: the `features` option, the vocabularies learned, the order in which a
// sample's values are visited, checking, learning, copying and saving.
class CategoryEncoder : public IEncoder {
public:
    explicit CategoryEncoder(std::optional<std::vector<std::string>> features);
    CategoryEncoder(const CategoryEncoder& other);
    CategoryEncoder& operator=(const CategoryEncoder&) = delete;

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    FeatureMap transform_one(const FeatureMap& x) override;
    void transform_one_inplace(FeatureMap& x) override;
    void reset() override;

    void check(const MixedSample& x) const override;
    void learn_mixed(const MixedSample& x) override;
    void encode(const MixedSample& x, FeatureMap& out) override;

    const std::optional<std::vector<std::string>>& features() const { return features_; }
    // The learned categories of each feature, in the order the features were first learned.
    std::vector<std::pair<std::string, std::vector<std::string>>> categories() const;

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const {
        return memory::owned_all(features_, listed_, vocabularies_, by_feature_, scratch_);
    }

protected:
    // The encoding itself: out receives the numeric sample (it is cleared first).
    virtual void encode_checked(const FeatureMap& numbers, const Categories& categories, FeatureMap& out) = 0;
    // Whether a sample without categories can come out other than unchanged.
    virtual bool changes_numbers() const { return listed_only_; }

    // number(name, value) for each number that passes through and encoded(feature, text) for
    // each value to encode, in the sample's order.
    template <class Number, class Encoded>
    void walk(const FeatureMap& numbers, const Categories& categories, Number&& number, Encoded&& encoded) const;
    const CategoryVocabulary* vocabulary(std::string_view feature) const;

    void save_features(StateWriter& out) const;
    void load_features(StateReader& in);

private:
    void learn(const FeatureMap& numbers, const Categories& categories);
    CategoryVocabulary& vocabulary_for(std::string_view feature);
    void set_features(std::optional<std::vector<std::string>> features);

    std::optional<std::vector<std::string>> features_;
    bool listed_only_ = false;
    std::unordered_set<std::string_view, ViewHash> listed_;  // views of features_
    std::deque<CategoryVocabulary> vocabularies_;  // in the order first learned
    std::unordered_map<std::string_view, std::uint32_t, ViewHash> by_feature_;  // views of their names
    FeatureMap scratch_;
};

// The options besides `features`, which the encoders take first and keep themselves.
struct OneHotEncoderOptions {
    bool sparse = false;
    bool drop_numeric = false;

    static constexpr auto fields() {
        using O = OneHotEncoderOptions;
        return std::make_tuple(option("sparse", &O::sparse, kArgument | kProperty,
                                      "give only the 1.0 of a category, not the 0.0 of the others"),
                               option("drop_numeric", &O::drop_numeric, kArgument | kProperty,
                                      "leave numeric features out of the output"));
    }
};

struct OrdinalEncoderOptions {
    double unknown_value = -1.0;

    static constexpr auto fields() {
        return std::make_tuple(option("unknown_value", &OrdinalEncoderOptions::unknown_value, kArgument | kProperty,
                                      "code of a category never learned"));
    }
};

// An encoder with its options besides `features`; its state is the options, then the features
// and vocabularies.
template <class O>
class EncoderWithOptions : public CategoryEncoder, public O {
public:
    using Options = O;
    explicit EncoderWithOptions(std::optional<std::vector<std::string>> features = std::nullopt,
                                const Options& options = {})
        : CategoryEncoder(std::move(features)), Options(options) {
        check_options(options);
    }

    void save_state(StateWriter& out) const {
        save_options(out, static_cast<const Options&>(*this));
        save_features(out);
    }
    void load_state(StateReader& in) {
        load_options(in, static_cast<Options&>(*this));
        load_features(in);
    }
};

// One feature per category: "f=v" is 1.0 for the sample's category v of f and 0.0 for every
// other category learned for f (only the 1.0 with `sparse`); an unseen category gives the zeros
// alone. Trees read an absent feature as missing, so the zeros carry information.
class OneHotEncoder : public EncoderWithOptions<OneHotEncoderOptions> {
public:
    using EncoderWithOptions::EncoderWithOptions;

protected:
    void encode_checked(const FeatureMap& numbers, const Categories& categories, FeatureMap& out) override;
    bool changes_numbers() const override { return drop_numeric || CategoryEncoder::changes_numbers(); }
};

// Each category becomes its code, in the order first learned; an unseen one `unknown_value`.
class OrdinalEncoder : public EncoderWithOptions<OrdinalEncoderOptions> {
public:
    using EncoderWithOptions::EncoderWithOptions;

protected:
    void encode_checked(const FeatureMap& numbers, const Categories& categories, FeatureMap& out) override;
};

}  // namespace quelb
