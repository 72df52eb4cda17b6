// Registration of the transformers: scalers, feature selectors and category encoders.
#include "bindings/bind_helpers.hpp"
#include "bindings/registration.hpp"

#include "preprocessing/encoders.hpp"
#include "preprocessing/scalers.hpp"
#include "preprocessing/selectors.hpp"

namespace quelb::bindings {

void register_standard_scaler(py::module_& m) { bind_optioned<StandardScaler>(m, "StandardScaler"); }

void register_min_max_scaler(py::module_& m) {
    auto cls = bind_transformer<MinMaxScaler>(m, "MinMaxScaler");
    cls.def(py::init<>());
    def_pickle(cls, "MinMaxScaler");
}

void register_max_abs_scaler(py::module_& m) {
    auto cls = bind_transformer<MaxAbsScaler>(m, "MaxAbsScaler");
    cls.def(py::init<>());
    def_pickle(cls, "MaxAbsScaler");
}

void register_variance_threshold(py::module_& m) {
    bind_optioned<VarianceThreshold>(m, "VarianceThreshold");
}

void register_select_k_best(py::module_& m) {
    bind_optioned<SelectKBest, true>(m, "SelectKBest")
        .def(
            "set_feature_order",
            [](SelectKBest& self, const std::vector<std::string>& order) {
                static_cast<ITransformer&>(self).set_feature_order(order);
            },
            method_doc("Gives the features their positions, which break ties in the ranking.",
                       {"order: list of str, feature names.", doc::kNone})
                .c_str());
}

namespace {

// The `features` option: None, or a sequence of names.
std::optional<std::vector<std::string>> feature_list(py::handle features, const char* cls) {
    if (features.is_none()) return std::nullopt;
    std::vector<std::string> names;
    if (!load_name_list(features.ptr(), names))
        throw py::type_error(std::string(cls) + "(): 'features' must be a list of str or None, not " +
                             Py_TYPE(features.ptr())->tp_name);
    return names;
}

// The `features` option as the constructor takes it.
template <class T>
py::object features_object(const T& encoder) {
    return encoder.features() ? py::cast(*encoder.features()) : py::object(py::none());
}

// The encoder's properties, and get_params, clone and __repr__ with `features` first.
template <class Cls>
void def_encoder_properties(Cls& cls) {
    using T = typename Cls::type;
    using Options = typename T::Options;
    def_option_properties(cls);
    append_doc(cls, kParametersHeading +
                        parameter_line("features", py::none(), false,
                                       "names of the features to encode (list of str), or None for every category") +
                        option_parameter_lines<Options>());
    def_inspection(
        cls,
        [](const T& self) {
            py::dict params;
            params["features"] = features_object(self);
            for (const auto& [name, value] : option_values<Options>(self)) params[name] = value;
            return params;
        },
        [](const T& self) { return std::make_shared<T>(self.features(), options_of<Options>(self)); });
    cls.def_property_readonly("features", &features_object<T>, "The features encoded (list of str), or None.")
        .def_property_readonly(
            "categories",
            [](const T& self) {
                py::dict out;
                for (const auto& [feature, values] : self.categories())
                    out[py::cast(feature)] = py::cast(values);
                return out;
            },
            "Categories learned: dict of feature name to list of str.");
}

}  // namespace

void register_one_hot_encoder(py::module_& m) {
    auto cls = bind_transformer<OneHotEncoder>(m, "OneHotEncoder");
    const OneHotEncoder::Options defaults;
    cls.def(py::init([](py::handle features, bool sparse, bool drop_numeric) {
                OneHotEncoder::Options options;
                options.sparse = sparse;
                options.drop_numeric = drop_numeric;
                return std::make_shared<OneHotEncoder>(feature_list(features, "OneHotEncoder"), options);
            }),
            py::arg("features") = py::none(), py::arg("sparse") = defaults.sparse,
            py::arg("drop_numeric") = defaults.drop_numeric);
    def_encoder_properties(cls);
    def_pickle(cls, "OneHotEncoder");
}

void register_ordinal_encoder(py::module_& m) {
    auto cls = bind_transformer<OrdinalEncoder>(m, "OrdinalEncoder");
    cls.def(py::init([](py::handle features, double unknown_value) {
                OrdinalEncoder::Options options;
                options.unknown_value = unknown_value;
                return std::make_shared<OrdinalEncoder>(feature_list(features, "OrdinalEncoder"), options);
            }),
            py::arg("features") = py::none(), py::arg("unknown_value") = OrdinalEncoder::Options().unknown_value);
    def_encoder_properties(cls);
    def_pickle(cls, "OrdinalEncoder");
}

}  // namespace quelb::bindings
