// libFuzzer target: the state loader of every class with a saved state.
//
// Input: one byte choosing the class, one choosing the format version (for classes that still
// read older formats), then the payload that an envelope would carry. The envelope's checksum
// would turn away nearly every mutated input before the loader saw it, so it is left out here;
// open_state itself is fuzzed through the same bytes as a whole envelope.
//
// A load may only fail with StateError, and may not ask for more memory than the run's allocation
// cap (scripts/fuzz.sh sets it). A state that loads must save again, restore from those bytes to
// the same bytes, and answer and learn without fault.
//
// QUELB_FUZZ_LIST_CLASSES=1 prints the classes in the order of the first byte (the corpus
// generator, tests/fuzz/make_corpus.py, reads it) and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "anomaly/half_space_trees.hpp"
#include "core/state.hpp"
#include "drift/adwin.hpp"
#include "drift/ddm.hpp"
#include "drift/eddm.hpp"
#include "drift/hddm.hpp"
#include "drift/kswin.hpp"
#include "drift/page_hinkley.hpp"
#include "ensembles/arf_classifier.hpp"
#include "ensembles/arf_regressor.hpp"
#include "ensembles/gradient_boosting.hpp"
#include "ensembles/leveraging_bagging.hpp"
#include "ensembles/random_patches.hpp"
#include "linear/linear_classifiers.hpp"
#include "linear/linear_regressors.hpp"
#include "linear/naive_bayes.hpp"
#include "metrics/classification.hpp"
#include "metrics/regression.hpp"
#include "metrics/roc_auc.hpp"
#include "metrics/window.hpp"
#include "neighbors/knn.hpp"
#include "preprocessing/encoders.hpp"
#include "preprocessing/scalers.hpp"
#include "preprocessing/selectors.hpp"
#include "trees/efdt_classifier.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"
#include "trees/sgt_classifier.hpp"

using namespace quelb;

namespace {

// The features of the corpus's training stream, one of them missing, and one it never had.
FeatureMap probe(double shift) {
    return FeatureMap{{"f0", 0.25 + shift}, {"f1", -1.5}, {"f3", 2.0 * shift}, {"f5", 0.75}, {"new", 1.0}};
}

template <class A>
A value(int step) {
    if constexpr (std::is_integral_v<A>) {
        return static_cast<A>(step % 3);
    } else {
        return 0.5 * step - 0.25;
    }
}

template <class T, class C, class A>
void update(T& object, void (C::*method)(A), int step) {
    (object.*method)(value<std::decay_t<A>>(step));
}

template <class T, class C, class A, class B>
void update(T& object, void (C::*method)(A, B), int step) {
    (object.*method)(value<std::decay_t<A>>(step), value<std::decay_t<B>>(step + 1));
}

template <class T, class = void>
constexpr bool kHasGet = false;
template <class T>
constexpr bool kHasGet<T, std::void_t<decltype(std::declval<const T&>().get())>> = true;

// Options whose size is work by design (members, repeats of each update, window and tree
// sizes): a state may ask for a huge job, as a constructor may, so a loaded object learns only
// when they are modest. Answering never depends on them.
#define QUELB_WORK_OPTION(name, expression, limit)                                                   \
    template <class T, class = void>                                                                  \
    constexpr bool kHas_##name = false;                                                               \
    template <class T>                                                                                \
    constexpr bool kHas_##name<T, std::void_t<decltype(std::declval<const T&>().expression)>> = true; \
    template <class T>                                                                                \
    bool modest_##name(const T& object) {                                                             \
        if constexpr (kHas_##name<T>) {                                                               \
            return object.expression <= (limit);                                                      \
        } else {                                                                                      \
            return true;                                                                              \
        }                                                                                             \
    }
QUELB_WORK_OPTION(n_models, n_models, 32)
QUELB_WORK_OPTION(bag_size, bag_size, 8)
QUELB_WORK_OPTION(multiply_hessian_by, multiply_hessian_by, 8)
QUELB_WORK_OPTION(n_split_points, n_split_points, 1000)
QUELB_WORK_OPTION(window_size, window_size, 100000)
#undef QUELB_WORK_OPTION

// Each limit reads an option of these classes (a misspelt expression would silently never apply).
static_assert(kHas_n_models<ARFClassifier> && kHas_bag_size<SGBRRegressor> && kHas_multiply_hessian_by<SGBTClassifier> &&
              kHas_n_split_points<HoeffdingTreeClassifier> && kHas_window_size<KNNClassifier>);

template <class T>
bool may_learn(const T& object) {
    // A booster keeps the number of steps its owner had when it was made; half-space trees draw
    // every node of every tree at once.
    if constexpr (std::is_same_v<T, HalfSpaceTrees>) {
        if ((std::int64_t{object.n_trees} << object.height) > (std::int64_t{1} << 21)) return false;
    } else if constexpr (std::is_same_v<T, SGBRRegressor>) {
        if (object.booster() && !modest_n_models(object.booster()->options())) return false;
    } else if constexpr (std::is_same_v<T, SGBTClassifier>) {
        for (std::size_t i = 0; i < object.n_boosters(); ++i) {
            if (!modest_n_models(object.booster(i).options())) return false;
        }
    }
    return modest_n_models(object) && modest_bag_size(object) && modest_multiply_hessian_by(object) &&
           modest_n_split_points(object) && modest_window_size(object);
}

// Answers, learns, answers again: a loaded state must be usable, not merely readable.
template <class T>
void exercise(T& object) {
    const bool learns = may_learn(object);
    for (int step = 0; step < 2; ++step) {
        const FeatureMap x = probe(step);
        if constexpr (std::is_base_of_v<IClassifier, T>) {
            object.predict_one(x);
            object.predict_proba_one(x);
            if (learns) object.learn_one(x, step);
        } else if constexpr (std::is_base_of_v<IRegressor, T>) {
            object.predict_one(x);
            if (learns) object.learn_one(x, 0.5 * step);
        } else if constexpr (std::is_base_of_v<ITransformer, T>) {
            object.transform_one(x);
            if (learns) object.learn_one(x, 0.5 * step);
        } else if constexpr (std::is_base_of_v<IAnomalyDetector, T>) {
            object.score_one(x);
            if (learns) object.learn_one(x);
        } else {
            update(object, &T::update, step);
            if constexpr (kHasGet<T>) object.get();  // metrics; detectors answer through update
        }
    }
}

template <class T>
std::string save(const T& object) {
    StateWriter writer;
    object.save_state(writer);
    return writer.take();
}

// What the bindings do with an opened envelope: everything read, or StateError.
template <class T>
void load(T& object, std::string_view payload, std::uint32_t version) {
    StateReader reader(payload, version);
    object.load_state(reader);
    reader.expect_end();
}

template <class T>
void round_trip(std::string_view payload, std::uint32_t version) {
    T object;
    try {
        load(object, payload, version);
    } catch (const StateError&) {
        return;
    }
    const std::string first = save(object);
    T again;
    load(again, first, StateReader::kThisBuild);  // a state this build wrote must load
    if (save(again) != first) {
        std::fprintf(stderr, "a restored state saves to other bytes\n");
        std::abort();
    }
    try {
        exercise(object);
    } catch (const std::bad_alloc&) {
        // Over the run's allocation cap: a job as large as a constructor may ask for too.
    }
}

struct Loader {
    const char* name;
    std::uint32_t max_version;
    void (*run)(std::string_view payload, std::uint32_t version);
};

template <class T>
constexpr Loader loader(const char* name, std::uint32_t max_version = 1) {
    return {name, max_version, &round_trip<T>};
}

// The Python names and the format versions the bindings pass to open_state.
constexpr Loader kLoaders[] = {
    loader<NaiveBayes>("NaiveBayes"),
    loader<Perceptron>("Perceptron"),
    loader<LogisticRegression>("LogisticRegressionClassifier"),
    loader<PassiveAggressiveClassifier>("PassiveAggressiveClassifier"),
    loader<SoftmaxRegression>("SoftmaxRegression"),
    loader<LinearRegression>("LinearRegression"),
    loader<BayesianLinearRegression>("BayesianLinearRegression"),
    loader<PassiveAggressiveRegressor>("PassiveAggressiveRegressor"),
    loader<KNNClassifier>("KNNClassifier"),
    loader<KNNRegressor>("KNNRegressor"),
    loader<HoeffdingTreeClassifier>("HoeffdingTreeClassifier", HoeffdingTreeClassifier::kStateVersion),
    loader<EFDTClassifier>("EFDTClassifier", EFDTClassifier::kStateVersion),
    loader<HoeffdingAdaptiveTreeClassifier>("HoeffdingAdaptiveTreeClassifier", HoeffdingAdaptiveTreeClassifier::kStateVersion),
    loader<HoeffdingTreeRegressor>("HoeffdingTreeRegressor", HoeffdingTreeRegressor::kStateVersion),
    loader<SGTClassifier>("SGTClassifier", SGTClassifier::kStateVersion),
    loader<FIMTDDRegressor>("FIMTDDRegressor", FIMTDDRegressor::kStateVersion),
    loader<ARFClassifier>("ARFClassifier", ARFClassifier::kStateVersion),
    loader<ARFRegressor>("ARFRegressor", ARFRegressor::kStateVersion),
    loader<SRPClassifier>("SRPClassifier", SRPClassifier::kStateVersion),
    loader<SRPRegressor>("SRPRegressor", SRPRegressor::kStateVersion),
    loader<LeveragingBaggingClassifier>("LeveragingBaggingClassifier", LeveragingBaggingClassifier::kStateVersion),
    loader<LeveragingBaggingRegressor>("LeveragingBaggingRegressor", LeveragingBaggingRegressor::kStateVersion),
    loader<SGBTClassifier>("SGBTClassifier", SGBTClassifier::kStateVersion),
    loader<SGBRRegressor>("SGBRRegressor", SGBRRegressor::kStateVersion),
    loader<StandardScaler>("StandardScaler"),
    loader<MinMaxScaler>("MinMaxScaler"),
    loader<MaxAbsScaler>("MaxAbsScaler"),
    loader<VarianceThreshold>("VarianceThreshold"),
    loader<SelectKBest>("SelectKBest"),
    loader<OneHotEncoder>("OneHotEncoder"),
    loader<OrdinalEncoder>("OrdinalEncoder"),
    loader<HalfSpaceTrees>("HalfSpaceTrees"),
    loader<Accuracy>("Accuracy"),
    loader<MacroPrecision>("MacroPrecision"),
    loader<MacroRecall>("MacroRecall"),
    loader<MacroF1>("MacroF1"),
    loader<MAE>("MAE"),
    loader<RMSE>("RMSE"),
    loader<R2>("R2"),
    loader<WindowMetric>("WindowMetric"),
    loader<WindowRegressionMetric>("WindowRegressionMetric"),
    loader<ROCAUC>("ROCAUC"),
    loader<WindowROCAUC>("WindowROCAUC"),
    loader<ADWIN>("ADWIN"),
    loader<EDDM>("EDDM"),
    loader<DDM>("DDM"),
    loader<HDDM_A>("HDDM_A"),
    loader<HDDM_W>("HDDM_W"),
    loader<PageHinkley>("PageHinkley"),
    loader<KSWIN>("KSWIN"),
};
constexpr std::size_t kCount = sizeof kLoaders / sizeof kLoaders[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::getenv("QUELB_FUZZ_LIST_CLASSES")) {
        for (const Loader& entry : kLoaders) std::printf("%s %u\n", entry.name, entry.max_version);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const Loader& entry = kLoaders[data[0] % kCount];
    const std::uint32_t version = 1 + data[1] % entry.max_version;
    const std::string_view payload(reinterpret_cast<const char*>(data) + 2, size - 2);
    entry.run(payload, version);
    // The same bytes as a whole sealed state: the envelope check must refuse or open them.
    try {
        open_state(payload, entry.name, entry.max_version);
    } catch (const StateError&) {
    }
    return 0;
}
