#pragma once
// A class's options live in one struct with default member values (its defaults, written once).
// The struct's static fields() lists every option with its name, its member, how users reach it
// and the check its values must pass. The class derives from the struct, so its code reads
// options as its own members; the binding builds the Python constructor (arguments, defaults,
// keyword-only ones), the properties and the option metadata from the list; the class saves and
// loads the options through save_options/load_options, in the order of the list.
//
//   struct TreeOptions {
//       int grace_period = 200;
//       static constexpr auto fields() {
//           return std::make_tuple(option("grace_period", &TreeOptions::grace_period,
//                                         kArgument | kProperty, at_least_one,
//                                         "samples a leaf sees between split attempts"));
//       }
//   };
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/state.hpp"

namespace quelb {

// How users reach an option. Neither bit: an option set by the model that owns this one (an
// ensemble setting its trees' subspace size), saved with the rest.
enum OptionAccess : unsigned {
    kArgument = 1u,     // a constructor argument, positional or keyword
    kKeywordOnly = 2u,  // with kArgument: keyword-only, after every positional one
    kProperty = 4u,     // a read-write property
    kUnsaved = 8u,      // how the object runs, not what it learnt (n_threads): not in its state
    // repr shows it only away from its default: an option added to a class keeps the repr of
    // objects that do not use it as it was.
    kShownWhenSet = 16u,
};

// The reason a value is refused, or nullptr when it is accepted.
template <class Value>
using OptionCheck = const char* (*)(const Value&);

template <class Options, class Value>
struct OptionField {
    using value_type = Value;
    const char* name;
    Value Options::*member;
    unsigned access;
    OptionCheck<Value> check;
    const char* doc;  // one line of help text (what the option means), or nullptr

    constexpr bool is_argument() const { return (access & kArgument) != 0; }
    constexpr bool is_keyword_only() const { return (access & kKeywordOnly) != 0; }
    constexpr bool is_property() const { return (access & kProperty) != 0; }
    constexpr bool is_saved() const { return (access & kUnsaved) == 0; }
    // Throws std::invalid_argument with the check's reason when `value` is refused.
    void validate(const Value& value) const {
        if (check == nullptr) return;
        if (const char* reason = check(value)) throw std::invalid_argument(reason);
    }
};

template <class Options, class Value>
constexpr OptionField<Options, Value> option(const char* name, Value Options::*member, unsigned access,
                                             OptionCheck<Value> check = nullptr, const char* doc = nullptr) {
    return {name, member, access, check, doc};
}
// An option without a check, with its help text.
template <class Options, class Value>
constexpr OptionField<Options, Value> option(const char* name, Value Options::*member, unsigned access,
                                             const char* doc) {
    return {name, member, access, nullptr, doc};
}

// Calls visit(field) for every field of Options, in the list's order.
template <class Options, class Visit>
void for_each_option(Visit&& visit) {
    std::apply([&](const auto&... field) { (visit(field), ...); }, Options::fields());
}

// A mode chosen by name ("gini", "adaptive"): the text the user set, which is what the option
// reads back and what states save, and the mode it names, parsed once when set. Parse applies
// the option's rule for unknown text (a default mode, or std::invalid_argument).
template <class Mode, Mode (*Parse)(std::string_view)>
class ModeOption {
public:
    using mode_type = Mode;
    ModeOption() = default;  // an empty placeholder, for argument conversion to fill
    ModeOption(std::string text) : mode_(Parse(text)), text_(std::move(text)) {}
    ModeOption(const char* text) : ModeOption(std::string(text)) {}
    const std::string& text() const { return text_; }
    Mode mode() const { return mode_; }
    bool operator==(Mode mode) const { return mode_ == mode; }
    bool operator!=(Mode mode) const { return mode_ != mode; }

private:
    Mode mode_{};
    std::string text_;
};

template <class T>
struct is_mode_option : std::false_type {};
template <class Mode, Mode (*Parse)(std::string_view)>
struct is_mode_option<ModeOption<Mode, Parse>> : std::true_type {};

namespace detail {

template <class Value>
void write_option(StateWriter& out, const Value& value) {
    if constexpr (std::is_same_v<Value, bool>) {
        out.boolean(value);
    } else if constexpr (std::is_same_v<Value, std::int32_t>) {
        out.i32(value);
    } else if constexpr (std::is_same_v<Value, std::uint32_t>) {
        out.u32(value);
    } else if constexpr (std::is_same_v<Value, std::int64_t>) {
        out.i64(value);
    } else if constexpr (std::is_same_v<Value, std::uint64_t>) {
        out.u64(value);
    } else if constexpr (std::is_same_v<Value, double>) {
        out.f64(value);
    } else if constexpr (std::is_same_v<Value, std::string>) {
        out.str(value);
    } else if constexpr (std::is_same_v<Value, std::optional<std::int64_t>>) {
        out.boolean(value.has_value());
        if (value) out.i64(*value);
    } else {
        static_assert(is_mode_option<Value>::value, "no state format for this option type");
        out.str(value.text());
    }
}

template <class Value>
Value read_option(StateReader& in) {
    if constexpr (std::is_same_v<Value, bool>) {
        return in.boolean();
    } else if constexpr (std::is_same_v<Value, std::int32_t>) {
        return in.i32();
    } else if constexpr (std::is_same_v<Value, std::uint32_t>) {
        return in.u32();
    } else if constexpr (std::is_same_v<Value, std::int64_t>) {
        return in.i64();
    } else if constexpr (std::is_same_v<Value, std::uint64_t>) {
        return in.u64();
    } else if constexpr (std::is_same_v<Value, double>) {
        return in.f64();
    } else if constexpr (std::is_same_v<Value, std::string>) {
        return in.str();
    } else if constexpr (std::is_same_v<Value, std::optional<std::int64_t>>) {
        return in.boolean() ? Value(in.i64()) : std::nullopt;
    } else {
        static_assert(is_mode_option<Value>::value, "no state format for this option type");
        return Value(in.str());
    }
}

}  // namespace detail

// A memory budget in bytes: none, or a positive count.
inline const char* check_max_bytes(const std::optional<std::int64_t>& value) {
    return value && *value <= 0 ? "max_bytes must be positive or None" : nullptr;
}
inline constexpr const char* kMaxBytesHelp =
    "bytes the tree may hold, None for no limit; beyond it the least promising leaves stop collecting "
    "split statistics";
// The max_bytes option of a model of trees: keyword-only, a property, in repr only when set, and
// out of the options' saved order (the model saves it after its trees).
template <class Options>
constexpr OptionField<Options, std::optional<std::int64_t>> max_bytes_option(
    std::optional<std::int64_t> Options::*member, const char* help = kMaxBytesHelp) {
    return option("max_bytes", member, kArgument | kKeywordOnly | kProperty | kUnsaved | kShownWhenSet,
                  check_max_bytes, help);
}

// Throws std::invalid_argument with the first refused option's reason.
template <class Options>
void check_options(const Options& options) {
    for_each_option<Options>([&](const auto& field) { field.validate(options.*(field.member)); });
}

// Whether a and b hold the same value for every option a state saves: modes by their text,
// numbers bit for bit (a NaN option copied is the same option).
template <class Options>
bool same_saved_options(const Options& a, const Options& b) {
    bool same = true;
    for_each_option<Options>([&](const auto& field) {
        using Value = typename std::decay_t<decltype(field)>::value_type;
        if (!field.is_saved() || !same) return;
        if constexpr (is_mode_option<Value>::value) {
            same = (a.*(field.member)).text() == (b.*(field.member)).text();
        } else if constexpr (std::is_same_v<Value, double>) {
            same = std::memcmp(&(a.*(field.member)), &(b.*(field.member)), sizeof(double)) == 0;
        } else {
            same = a.*(field.member) == b.*(field.member);
        }
    });
    return same;
}

template <class Options>
void save_options(StateWriter& out, const Options& options) {
    for_each_option<Options>([&](const auto& field) {
        if (field.is_saved()) detail::write_option(out, options.*(field.member));
    });
}

// Reads what save_options wrote; a value its option refuses makes the state invalid.
template <class Options>
void load_options(StateReader& in, Options& options) {
    for_each_option<Options>([&](const auto& field) {
        using Value = typename std::decay_t<decltype(field)>::value_type;
        if (!field.is_saved()) return;
        try {
            Value value = detail::read_option<Value>(in);
            field.validate(value);
            options.*(field.member) = std::move(value);
        } catch (const StateError&) {
            throw;
        } catch (const std::invalid_argument& refused) {
            in.fail(std::string(field.name) + ": " + refused.what());
        }
    });
}

}  // namespace quelb
