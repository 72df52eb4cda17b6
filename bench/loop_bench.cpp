// The plain C++ test-then-train loop over the electricity stream, samples converted beforehand:
// the limit the batch methods are measured against (bench/batch.py runs this and reads its JSON).
// The stream is read from the CSV file named by QUELB_BENCH_CSV (header row, label last).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "drift/adwin.hpp"
#include "drift/eddm.hpp"
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
#include "metrics/window.hpp"
#include "neighbors/knn.hpp"
#include "pipeline/pipelines.hpp"
#include "preprocessing/scalers.hpp"
#include "preprocessing/selectors.hpp"
#include "trees/efdt_classifier.hpp"
#include "trees/fimtdd_regressor.hpp"
#include "trees/hoeffding_adaptive_tree_classifier.hpp"
#include "trees/hoeffding_tree_classifier.hpp"
#include "trees/hoeffding_tree_regressor.hpp"
#include "trees/sgt_classifier.hpp"

namespace {

using namespace quelb;

struct Stream {
    std::vector<FeatureMap> x;         // every feature
    std::vector<FeatureMap> x_reg;     // every feature but the regression target
    std::vector<Label> y;
    std::vector<double> t;             // the regression target, feat_2
};

Stream read_stream(const std::string& path) {
    Stream s;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::vector<std::string> names;
    std::stringstream header(line);
    for (std::string cell; std::getline(header, cell, ',');) names.push_back(cell);
    names.pop_back();
    while (std::getline(in, line)) {
        std::stringstream row(line);
        FeatureMap x, x_reg;
        std::string cell;
        double target = 0.0;
        for (const auto& name : names) {
            std::getline(row, cell, ',');
            const double v = std::strtod(cell.c_str(), nullptr);
            x.append_unique(name, v);
            if (name == "feat_2") {
                target = v;
            } else {
                x_reg.append_unique(name, v);
            }
        }
        std::getline(row, cell, ',');
        s.x.push_back(std::move(x));
        s.x_reg.push_back(std::move(x_reg));
        s.y.push_back(static_cast<Label>(std::strtol(cell.c_str(), nullptr, 10)));
        s.t.push_back(target);
    }
    return s;
}

const Stream& stream() {
    static const Stream s = read_stream(std::getenv("QUELB_BENCH_CSV") ? std::getenv("QUELB_BENCH_CSV") : "elec.csv");
    return s;
}

// One fresh object per iteration, timed over the whole stream.
template <class Make, class Step>
void run(benchmark::State& state, Make make, Step step) {
    const Stream& s = stream();
    for (auto _ : state) {
        state.PauseTiming();
        auto object = make();
        state.ResumeTiming();
        for (std::size_t i = 0; i < s.y.size(); ++i) step(*object, s, i);
        benchmark::DoNotOptimize(object);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.y.size()));
}

template <class T>
void classifier(const char* name, std::function<std::shared_ptr<IClassifier>()> make = [] {
    return std::make_shared<T>();
}) {
    benchmark::RegisterBenchmark(name, [make](benchmark::State& state) {
        run(state, make, [](IClassifier& m, const Stream& s, std::size_t i) {
            benchmark::DoNotOptimize(m.predict_one(s.x[i]));
            m.learn_one(s.x[i], s.y[i]);
        });
    })->Unit(benchmark::kMicrosecond);
}

template <class T>
void regressor(const char* name, std::function<std::shared_ptr<IRegressor>()> make = [] {
    return std::make_shared<T>();
}) {
    benchmark::RegisterBenchmark(name, [make](benchmark::State& state) {
        run(state, make, [](IRegressor& m, const Stream& s, std::size_t i) {
            benchmark::DoNotOptimize(m.predict_one(s.x_reg[i]));
            m.learn_one(s.x_reg[i], s.t[i]);
        });
    })->Unit(benchmark::kMicrosecond);
}

template <class T, bool Supervised = false>
void transformer(const char* name) {
    benchmark::RegisterBenchmark(name, [](benchmark::State& state) {
        run(state, [] { return std::make_shared<T>(); }, [](ITransformer& m, const Stream& s, std::size_t i) {
            benchmark::DoNotOptimize(m.transform_one(s.x[i]));
            if (Supervised) {
                m.learn_one(s.x[i], s.t[i]);
            } else {
                m.learn_one(s.x[i]);
            }
        });
    })->Unit(benchmark::kMicrosecond);
}

// Metrics score the label against the previous label; detectors watch feat_2 or the label.
template <class T, bool Labels>
void metric(const char* name) {
    benchmark::RegisterBenchmark(name, [](benchmark::State& state) {
        run(state, [] { return std::make_shared<T>(); }, [](T& m, const Stream& s, std::size_t i) {
            const std::size_t j = i ? i - 1 : 0;
            if constexpr (Labels) {
                m.update(s.y[i], s.y[j]);
            } else {
                m.update(s.t[i], s.t[j]);
            }
        });
    })->Unit(benchmark::kMicrosecond);
}

template <class T, bool Labels>
void detector(const char* name) {
    benchmark::RegisterBenchmark(name, [](benchmark::State& state) {
        run(state, [] { return std::make_shared<T>(); }, [](T& m, const Stream& s, std::size_t i) {
            if constexpr (Labels) {
                m.update(s.y[i]);
            } else {
                m.update(s.t[i]);
            }
            benchmark::DoNotOptimize(m.drift_detected());
        });
    })->Unit(benchmark::kMicrosecond);
}

void register_all() {
    classifier<NaiveBayes>("NaiveBayes");
    classifier<Perceptron>("Perceptron");
    classifier<LogisticRegression>("LogisticRegressionClassifier");
    classifier<PassiveAggressiveClassifier>("PassiveAggressiveClassifier");
    classifier<SoftmaxRegression>("SoftmaxRegression");
    classifier<KNNClassifier>("KNNClassifier");
    classifier<HoeffdingTreeClassifier>("HoeffdingTreeClassifier");
    classifier<EFDTClassifier>("EFDTClassifier");
    classifier<SGTClassifier>("SGTClassifier");
    classifier<ARFClassifier>("ARFClassifier");
    classifier<SRPClassifier>("SRPClassifier");
    classifier<LeveragingBaggingClassifier>("LeveragingBaggingClassifier");
    classifier<HoeffdingAdaptiveTreeClassifier>("HoeffdingAdaptiveTreeClassifier");
    classifier<SGBTClassifier>("SGBTClassifier");
    regressor<LinearRegression>("LinearRegression");
    regressor<BayesianLinearRegression>("BayesianLinearRegression");
    regressor<PassiveAggressiveRegressor>("PassiveAggressiveRegressor");
    regressor<KNNRegressor>("KNNRegressor");
    regressor<HoeffdingTreeRegressor>("HoeffdingTreeRegressor");
    regressor<ARFRegressor>("ARFRegressor");
    regressor<SRPRegressor>("SRPRegressor");
    regressor<FIMTDDRegressor>("FIMTDDRegressor");
    regressor<LeveragingBaggingRegressor>("LeveragingBaggingRegressor");
    regressor<SGBRRegressor>("SGBRRegressor");
    transformer<StandardScaler>("StandardScaler");
    transformer<MinMaxScaler>("MinMaxScaler");
    transformer<MaxAbsScaler>("MaxAbsScaler");
    transformer<VarianceThreshold>("VarianceThreshold");
    transformer<SelectKBest, true>("SelectKBest");
    classifier<ClassificationPipeline>("ClassificationPipeline", [] {
        std::vector<std::shared_ptr<ITransformer>> steps{std::make_shared<StandardScaler>()};
        return std::make_shared<ClassificationPipeline>(steps, std::make_shared<NaiveBayes>());
    });
    regressor<RegressionPipeline>("RegressionPipeline", [] {
        std::vector<std::shared_ptr<ITransformer>> steps{std::make_shared<StandardScaler>()};
        return std::make_shared<RegressionPipeline>(steps, std::make_shared<LinearRegression>());
    });
    metric<Accuracy, true>("Accuracy");
    metric<MacroF1, true>("MacroF1");
    metric<WindowMetric, true>("WindowMetric");
    metric<MAE, false>("MAE");
    metric<R2, false>("R2");
    metric<WindowRegressionMetric, false>("WindowRegressionMetric");
    detector<ADWIN, false>("ADWIN");
    detector<EDDM, true>("EDDM");
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
