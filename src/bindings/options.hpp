#pragma once
// The Python face of an options struct (see core/options.hpp): the constructor with one argument
// per option marked kArgument (positional ones in the list's order, then the keyword-only ones),
// the defaults a default-constructed struct holds, and a read-write property per option marked
// kProperty whose setter applies the option's check (ValueError with its reason). The class
// attribute `_options` lists the arguments as (name, default, keyword-only) triples; the class
// docstring's Parameters section and the properties' docstrings come from the options' help text.
#include "bindings/casters.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/options.hpp"

namespace quelb::bindings {

namespace py = pybind11;

// "\nname=default  (keyword-only)\n    help text": an argument in a class's Parameters section
// (help may be nullptr).
inline std::string parameter_line(const char* name, py::handle default_value, bool keyword_only, const char* help) {
    std::string line = "\n" + std::string(name) + "=" + py::repr(default_value).cast<std::string>();
    if (keyword_only) line += "  (keyword-only)";
    if (help != nullptr) line += "\n    " + std::string(help);
    return line;
}

constexpr const char* kParametersHeading = "Parameters\n----------";

// Adds a paragraph to the docstring of the class bound by `cls`.
template <class Cls>
void append_doc(Cls& cls, const std::string& paragraph) {
    const py::object doc = cls.attr("__doc__");
    cls.attr("__doc__") = doc.is_none() ? py::str(paragraph) : py::str(doc) + py::str("\n\n" + paragraph);
}

namespace detail {

template <class Options>
using FieldTuple = decltype(Options::fields());

template <class Options>
constexpr std::size_t kFieldCount = std::tuple_size_v<FieldTuple<Options>>;

template <class Options, std::size_t... I>
constexpr std::array<unsigned, sizeof...(I)> access_of(std::index_sequence<I...>) {
    constexpr auto fields = Options::fields();
    return {std::get<I>(fields).access...};
}

template <class Options>
constexpr auto kAccess = access_of<Options>(std::make_index_sequence<kFieldCount<Options>>{});

template <class Options>
constexpr std::size_t count_arguments(bool keyword_only) {
    std::size_t n = 0;
    for (unsigned access : kAccess<Options>)
        if ((access & kArgument) && ((access & kKeywordOnly) != 0) == keyword_only) ++n;
    return n;
}

// Field indices of the constructor's arguments: positional ones, then keyword-only ones.
template <class Options>
constexpr auto argument_fields() {
    constexpr std::size_t n = count_arguments<Options>(false) + count_arguments<Options>(true);
    std::array<std::size_t, n> order{};
    std::size_t k = 0;
    for (bool keyword_only : {false, true})
        for (std::size_t i = 0; i < kAccess<Options>.size(); ++i) {
            const unsigned access = kAccess<Options>[i];
            if ((access & kArgument) && ((access & kKeywordOnly) != 0) == keyword_only) order[k++] = i;
        }
    return order;
}

template <class Options, std::size_t I>
using FieldValue = typename std::tuple_element_t<I, FieldTuple<Options>>::value_type;

// What an option of type Value takes, for the message refusing another type.
template <class Value>
constexpr const char* expected_type() {
    if constexpr (std::is_same_v<Value, bool>) {
        return "a bool";
    } else if constexpr (std::is_floating_point_v<Value>) {
        return "a real number";
    } else if constexpr (std::is_same_v<Value, std::int32_t>) {
        return "an int within the signed 32-bit range";
    } else if constexpr (std::is_integral_v<Value>) {
        return "an int";
    } else if constexpr (std::is_same_v<Value, std::optional<std::int64_t>>) {
        return "an int or None";
    } else {
        return "a str";
    }
}

// Converts an option's value as its type does; a value of another type is a TypeError naming
// the option and what it takes (never the binding library's list of signatures).
template <class Options, std::size_t I>
FieldValue<Options, I> option_value(py::handle src) {
    using Value = FieldValue<Options, I>;
    py::detail::make_caster<Value> caster;
    if (!caster.load(src, true)) {
        PyErr_Clear();
        refuse_option(std::get<I>(Options::fields()).name, src.ptr(), expected_type<Value>());
    }
    return py::detail::cast_op<Value&&>(std::move(caster));
}

// A constructor argument of option I: converted by option_value when the call is bound.
template <class Options, std::size_t I>
struct OptionArgument {
    FieldValue<Options, I> value;
};

// A default as Python shows it: a mode option by its text.
template <class Value>
py::object default_object(const Value& value) {
    if constexpr (is_mode_option<Value>::value) {
        return py::str(value.text());
    } else {
        return py::cast(value);
    }
}

template <class Options, std::size_t I, class T>
void put_argument(py::dict& out, const T& object, const Options& defaults, bool shown_only) {
    constexpr auto fields = Options::fields();
    const auto& field = std::get<I>(fields);
    const auto& value = object.*(field.member);
    if constexpr ((kAccess<Options>[I] & kShownWhenSet) != 0) {
        if (shown_only && value == defaults.*(field.member)) return;
    }
    out[field.name] = default_object(value);
}

// name -> current value of every constructor argument, in the constructor's order; shown_only:
// those repr shows.
template <class Options, class T, std::size_t... K>
py::dict argument_values(const T& object, bool shown_only, std::index_sequence<K...>) {
    static constexpr auto order = argument_fields<Options>();
    const Options defaults{};
    py::dict out;
    (put_argument<Options, order[K]>(out, object, defaults, shown_only), ...);
    return out;
}

template <class Options, std::size_t... K>
std::string parameter_lines(std::index_sequence<K...>) {
    static constexpr auto order = argument_fields<Options>();
    static constexpr std::size_t n_positional = count_arguments<Options>(false);
    constexpr auto fields = Options::fields();
    const Options defaults{};
    std::string out;
    ((out += parameter_line(std::get<order[K]>(fields).name,
                            default_object(defaults.*(std::get<order[K]>(fields).member)), K >= n_positional,
                            std::get<order[K]>(fields).doc)),
     ...);
    return out;
}

template <class T, class Cls, std::size_t... K>
void def_init(Cls& cls, std::index_sequence<K...>) {
    using Options = typename T::Options;
    static constexpr auto order = argument_fields<Options>();
    static constexpr std::size_t n_positional = count_arguments<Options>(false);
    constexpr auto fields = Options::fields();
    const Options defaults{};
    auto make = [](OptionArgument<Options, order[K]>... values) {
        constexpr auto fields = Options::fields();
        Options options;
        ((options.*(std::get<order[K]>(fields).member) = std::move(values.value)), ...);
        return std::make_shared<T>(std::move(options));
    };
    auto argument = [&](auto field) {
        return py::arg_v(field.name, default_object(defaults.*(field.member)));
    };
    auto positional = std::tuple_cat([&] {
        if constexpr (K < n_positional) {
            return std::make_tuple(argument(std::get<order[K]>(fields)));
        } else {
            return std::tuple<>();
        }
    }()...);
    auto keyword = std::tuple_cat([&] {
        if constexpr (K >= n_positional) {
            return std::make_tuple(argument(std::get<order[K]>(fields)));
        } else {
            return std::tuple<>();
        }
    }()...);
    // (name, default, keyword-only) per argument, for the Python side (expressions, stub checks).
    cls.attr("_options") = py::make_tuple(py::make_tuple(std::get<order[K]>(fields).name,
                                                         default_object(defaults.*(std::get<order[K]>(fields).member)),
                                                         K >= n_positional)...);
    append_doc(cls, kParametersHeading + parameter_lines<Options>(std::index_sequence<K...>{}));
    if constexpr (n_positional == sizeof...(K)) {
        std::apply([&](auto&&... args) { cls.def(py::init(make), std::move(args)...); }, std::move(positional));
    } else {
        std::apply([&](auto&&... args) { cls.def(py::init(make), std::move(args)...); },
                   std::tuple_cat(std::move(positional), std::make_tuple(py::kw_only()), std::move(keyword)));
    }
}

}  // namespace detail

// name -> current value of every constructor argument of Options held by `object` (a mode option
// by its text). The object holds the fields, whether or not it derives from Options itself (a
// class may share its base's struct and change only the defaults).
template <class Options, class T>
py::dict option_values(const T& object, bool shown_only = false) {
    constexpr std::size_t n = detail::argument_fields<Options>().size();
    return detail::argument_values<Options>(object, shown_only, std::make_index_sequence<n>{});
}

// The Parameters section's entries of the constructor arguments of Options, in the constructor's
// order, for a class whose constructor is bound by hand around them.
template <class Options>
std::string option_parameter_lines() {
    return detail::parameter_lines<Options>(std::make_index_sequence<detail::argument_fields<Options>().size()>{});
}

// The options `object` holds now, as an Options struct.
template <class Options, class T>
Options options_of(const T& object) {
    Options options;
    for_each_option<Options>([&](const auto& field) { options.*(field.member) = object.*(field.member); });
    return options;
}

// `Name(a=1, b='x')`: the call of the object's class with `params`, each value as its repr.
inline py::str keyword_call(py::handle self, const py::dict& params) {
    py::list arguments;
    for (const auto& [name, value] : params) arguments.append(py::str("{}={!r}").format(name, value));
    return py::str("{}({})").format(py::type::of(self).attr("__name__"), py::str(", ").attr("join")(arguments));
}

// get_params (the constructor's arguments as `params(self)` gives them), clone (a new, unlearned
// object, `fresh(self)`) and __repr__ (the constructor call with the arguments `shown(self)`
// gives). Nothing runs until they are called.
template <class Cls, class Params, class Fresh, class Shown>
void def_inspection(Cls& cls, Params params, Fresh fresh, Shown shown) {
    using T = typename Cls::type;
    cls.def("get_params", [params](const T& self) -> py::dict { return params(self); },
            "The constructor's arguments with their current values.\n\nReturns a dict of str to value.")
        .def("clone", [fresh](const T& self) -> typename Cls::holder_type { return fresh(self); },
             "A new object with the same options that has learned nothing.")
        .def("__repr__", [shown](py::handle self) { return keyword_call(self, shown(self.cast<const T&>())); });
}
template <class Cls, class Params, class Fresh>
void def_inspection(Cls& cls, Params params, Fresh fresh) {
    def_inspection(cls, params, fresh, params);
}

// The constructor of the class bound by `cls` from its Options (T(Options) checks them), with
// get_params, clone and __repr__ read from the same options.
template <class Cls>
void def_options_init(Cls& cls) {
    using T = typename Cls::type;
    using Options = typename T::Options;
    using Holder = typename Cls::holder_type;
    constexpr std::size_t n = detail::argument_fields<Options>().size();
    detail::def_init<T>(cls, std::make_index_sequence<n>{});
    def_inspection(
        cls, [](const T& self) { return option_values<Options>(self); },
        [](const T& self) { return Holder(new T(options_of<Options>(self))); },
        [](const T& self) { return option_values<Options>(self, true); });
}

namespace detail {

template <class T, class Cls, std::size_t... I>
void def_option_properties(Cls& cls, std::index_sequence<I...>) {
    using Options = typename T::Options;
    auto def_property = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        constexpr auto field = std::get<i>(Options::fields());
        if constexpr (field.is_property()) {
            using Value = FieldValue<Options, i>;
            cls.def_property(
                field.name, [](const T& self) -> const Value& { return self.*(std::get<i>(Options::fields()).member); },
                [](T& self, py::handle value) {
                    constexpr auto fields = Options::fields();
                    Value converted = option_value<Options, i>(value);
                    std::get<i>(fields).validate(converted);
                    self.*(std::get<i>(fields).member) = std::move(converted);
                },
                field.doc);
        }
    };
    (def_property(std::integral_constant<std::size_t, I>{}), ...);
}

}  // namespace detail

// A read-write property per option marked kProperty.
template <class Cls>
void def_option_properties(Cls& cls) {
    using T = typename Cls::type;
    detail::def_option_properties<T>(cls, std::make_index_sequence<detail::kFieldCount<typename T::Options>>{});
}

// Both.
template <class Cls>
void def_options(Cls& cls) {
    def_options_init(cls);
    def_option_properties(cls);
}

}  // namespace quelb::bindings

namespace pybind11::detail {

// A constructor argument keeps its type's name in the signature.
template <class Options, std::size_t I>
struct type_caster<quelb::bindings::detail::OptionArgument<Options, I>> {
    using Argument = quelb::bindings::detail::OptionArgument<Options, I>;
    using Value = quelb::bindings::detail::FieldValue<Options, I>;
    PYBIND11_TYPE_CASTER(Argument, make_caster<Value>::name);
    bool load(handle src, bool /*convert*/) {
        value.value = quelb::bindings::detail::option_value<Options, I>(src);
        return true;
    }
};

// An optional count (max_bytes): None or an int.
template <>
struct type_caster<std::optional<std::int64_t>> {
    PYBIND11_TYPE_CASTER(std::optional<std::int64_t>, const_name("int | None"));
    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value = std::nullopt;
            return true;
        }
        make_caster<std::int64_t> count;
        if (!count.load(src, convert)) return false;
        value = cast_op<std::int64_t>(count);
        return true;
    }
    static handle cast(const std::optional<std::int64_t>& count, return_value_policy policy, handle parent) {
        if (!count) return none().release();
        return make_caster<std::int64_t>::cast(*count, policy, parent);
    }
};

// A mode option crosses as its text; text its option refuses raises ValueError with the reason.
template <class Mode, Mode (*Parse)(std::string_view)>
struct type_caster<quelb::ModeOption<Mode, Parse>> {
    using Value = quelb::ModeOption<Mode, Parse>;
    PYBIND11_TYPE_CASTER(Value, const_name("str"));
    bool load(handle src, bool convert) {
        make_caster<std::string> text;
        if (!text.load(src, convert)) return false;
        value = Value(cast_op<std::string&&>(std::move(text)));
        return true;
    }
    static handle cast(const Value& mode, return_value_policy policy, handle parent) {
        return make_caster<std::string>::cast(mode.text(), policy, parent);
    }
};

}  // namespace pybind11::detail
