#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline/pipelines.hpp"

using namespace quelb;

namespace {

// Appends every call it receives to a shared log; its transform adds 1 to every value.
class LoggingStep : public ITransformer {
public:
    LoggingStep(std::string name, std::vector<std::string>& log, bool supervised = false)
        : name_(std::move(name)), log_(log), supervised_(supervised) {}
    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override { log_.push_back(name_ + ".learn a=" + value_of(x)); }
    void learn_one(const FeatureMap& x, double y) override {
        log_.push_back(name_ + ".learn a=" + value_of(x) + " y=" + std::to_string(y));
    }
    void transform_one_inplace(FeatureMap& x) override {
        log_.push_back(name_ + ".transform");
        for (auto& [name, value] : x) value += 1.0;
    }
    bool is_supervised() const override { return supervised_; }
    void set_feature_order(const std::vector<std::string>& names) override {
        log_.push_back(name_ + ".order " + std::to_string(names.size()));
    }
    void reset() override { log_.push_back(name_ + ".reset"); }
    std::size_t memory_usage() const override { return sizeof(*this); }

private:
    static std::string value_of(const FeatureMap& x) { return std::to_string(static_cast<int>(x.at("a"))); }
    std::string name_;
    std::vector<std::string>& log_;
    bool supervised_;
};

class LoggingClassifier : public IClassifier {
public:
    explicit LoggingClassifier(std::vector<std::string>& log) : log_(log) {}
    void learn_one(const FeatureMap& x, Label y) override {
        log_.push_back("learner.learn a=" + std::to_string(static_cast<int>(x.at("a"))) + " y=" + std::to_string(y));
    }
    Label predict_one(const FeatureMap& x) override { return static_cast<Label>(x.at("a")); }
    ClassProbabilities predict_proba_one(const FeatureMap& x) override { return {{0, x.at("a")}}; }
    void reset() override { log_.push_back("learner.reset"); }
    std::size_t memory_usage() const override { return sizeof(*this); }

private:
    std::vector<std::string>& log_;
};

class ThrowingStep : public LoggingStep {
public:
    using LoggingStep::LoggingStep;
    using LoggingStep::learn_one;
    void learn_one(const FeatureMap&) override { throw std::runtime_error("step failed"); }
};

}  // namespace

TEST(ClassificationPipeline, EachStepLearnsThenTransformsBeforeTheLearner) {
    std::vector<std::string> log;
    auto first = std::make_shared<LoggingStep>("first", log);
    auto second = std::make_shared<LoggingStep>("second", log, /*supervised=*/true);
    ClassificationPipeline pipeline({first, second}, std::make_shared<LoggingClassifier>(log));

    const FeatureMap x{{"a", 10.0}};
    pipeline.learn_one(x, 3);
    const std::vector<std::string> expected{"first.learn a=10",        "first.transform",
                                            "second.learn a=11 y=3.000000", "second.transform",
                                            "learner.learn a=12 y=3"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(x.at("a"), 10.0);  // the caller's sample is untouched

    log.clear();
    EXPECT_EQ(pipeline.predict_one(x), 12);
    EXPECT_EQ(pipeline.predict_proba_one(x).at(0), 12.0);
    EXPECT_EQ(log, (std::vector<std::string>{"first.transform", "second.transform", "first.transform",
                                             "second.transform"}));

    log.clear();
    pipeline.set_feature_order({"a", "b"});
    pipeline.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"first.order 2", "second.order 2", "first.reset", "second.reset",
                                             "learner.reset"}));
}

TEST(ClassificationPipeline, AStepFailureStopsTheChainWithoutRollback) {
    std::vector<std::string> log;
    auto first = std::make_shared<LoggingStep>("first", log);
    auto broken = std::make_shared<ThrowingStep>("broken", log);
    ClassificationPipeline pipeline({first, broken}, std::make_shared<LoggingClassifier>(log));
    EXPECT_THROW(pipeline.learn_one(FeatureMap{{"a", 1.0}}, 0), std::runtime_error);
    EXPECT_EQ(log, (std::vector<std::string>{"first.learn a=1", "first.transform"}));
}

TEST(Pipelines, RejectNullStepsAndLearners) {
    std::vector<std::string> log;
    auto learner = std::make_shared<LoggingClassifier>(log);
    EXPECT_THROW(ClassificationPipeline({nullptr}, learner), std::invalid_argument);
    EXPECT_THROW(ClassificationPipeline({}, nullptr), std::invalid_argument);
    EXPECT_THROW(RegressionPipeline({}, nullptr), std::invalid_argument);
}
