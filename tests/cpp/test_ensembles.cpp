#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "core/state.hpp"
#include "ensembles/arf_classifier.hpp"
#include "drift/drift_aware_member.hpp"
#include "ensembles/vote.hpp"
#include "with_options.hpp"

using namespace quelb;

namespace {

struct FakeModel {
    int id;
};

// A member fed 0-errors, then 1-errors; make() hands out numbered models and records the occasion.
struct LifeCycle {
    std::vector<NewModel> made;
    std::unique_ptr<FakeModel> make(NewModel what) {
        made.push_back(what);
        return std::make_unique<FakeModel>(FakeModel{static_cast<int>(made.size())});
    }
};

}  // namespace

TEST(DriftAwareMember, WarningStartsOneBackgroundWhichTheDriftPromotes) {
    // Error rate 0.1, then 0.2: the more sensitive warning detector fires some ticks earlier.
    DriftAwareMember<FakeModel> member(0.001, 0.01);
    member.model = std::make_unique<FakeModel>(FakeModel{0});
    LifeCycle cycle;
    auto make = [&](NewModel what) { return cycle.make(what); };
    Rng rng(4);
    const FakeModel* background = nullptr;
    bool drifted = false;
    for (int i = 0; i < 5000 && !drifted; ++i) {
        const double error = rng.uniform() < (i < 1000 ? 0.1 : 0.2) ? 1.0 : 0.0;
        const MemberEvent event = member.track_error(error, make);
        if (event == MemberEvent::background_started) {
            ASSERT_EQ(background, nullptr) << "a second background while one exists";
            background = member.background.get();
            EXPECT_EQ(member.warning_detector()->width(), 0.0);  // fresh warning detector
        } else if (event == MemberEvent::model_replaced) {
            drifted = true;
        } else if (background != nullptr) {
            EXPECT_EQ(member.background.get(), background);
        }
    }
    ASSERT_TRUE(drifted);
    ASSERT_NE(background, nullptr);
    EXPECT_EQ(member.model.get(), background);  // promoted, not rebuilt
    EXPECT_EQ(member.background, nullptr);
    EXPECT_EQ(cycle.made, std::vector<NewModel>{NewModel::background});
    EXPECT_EQ(member.drift_detector().width(), 0.0);
    EXPECT_EQ(member.warning_detector()->width(), 0.0);
}

TEST(DriftAwareMember, WarningAndDriftInOneUpdatePromoteTheNewBackground) {
    // A clean jump trips both detectors at the same tick.
    DriftAwareMember<FakeModel> member(0.001, 0.01);
    member.model = std::make_unique<FakeModel>(FakeModel{0});
    LifeCycle cycle;
    auto make = [&](NewModel what) { return cycle.make(what); };
    MemberEvent event = MemberEvent::none;
    int i = 0;
    for (; i < 2000 && event == MemberEvent::none; ++i) event = member.track_error(i < 1000 ? 0.0 : 1.0, make);
    EXPECT_EQ(i, 1024);
    EXPECT_EQ(event, MemberEvent::model_replaced);
    EXPECT_EQ(cycle.made, std::vector<NewModel>{NewModel::background});
    EXPECT_EQ(member.model->id, 1);
    EXPECT_EQ(member.background, nullptr);
}

TEST(DriftAwareMember, DriftWithoutBackgroundOrWarningsReplacesTheModel) {
    // A warning detector that hardly ever fires: the drift comes first.
    DriftAwareMember<FakeModel> warned(0.5, 1e-200);
    DriftAwareMember<FakeModel> drift_only(0.5);
    EXPECT_EQ(drift_only.warning_detector(), nullptr);
    for (auto* member : {&warned, &drift_only}) {
        member->model = std::make_unique<FakeModel>(FakeModel{0});
        LifeCycle cycle;
        auto make = [&](NewModel what) { return cycle.make(what); };
        MemberEvent event = MemberEvent::none;
        for (int i = 0; i < 400 && event != MemberEvent::model_replaced; ++i) {
            event = member->track_error(i < 200 ? 0.0 : 1.0, make);
        }
        ASSERT_EQ(event, MemberEvent::model_replaced);
        EXPECT_EQ(cycle.made, std::vector<NewModel>{NewModel::replacement});
        EXPECT_EQ(member->model->id, 1);
    }
}

TEST(ProbabilityVote, WeightsNormalisesAndSkips) {
    ProbabilityVote vote;
    vote.add({{1, 2.0}, {0, 2.0}}, 0.5);  // normalised by its own total first
    vote.add({{0, 0.0}}, 1.0);            // total 0: skipped
    vote.add({{2, 1.0}}, 0.0);            // weight 0: skipped
    vote.add({{0, 1.0}}, 0.5);
    vote.normalise();
    const ClassProbabilities p = vote.to_map();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_DOUBLE_EQ(p.at(0), 0.75);
    EXPECT_DOUBLE_EQ(p.at(1), 0.25);
    EXPECT_EQ(vote.argmax(), 0);
    vote.clear();
    vote.add({{4, 1.0}, {3, 1.0}}, 1.0);
    EXPECT_EQ(vote.argmax(), 4);  // tie: the first contributed
    vote.clear();
    EXPECT_EQ(vote.argmax(), 0);
    EXPECT_TRUE(vote.to_map().empty());
}

namespace {

FeatureMap sample_with(int n_features, double base) {
    FeatureMap x;
    for (int f = 0; f < n_features; ++f) x.emplace("f" + std::to_string(f), base + f);
    return x;
}

}  // namespace

TEST(ARFClassifierNative, FirstSampleIsLearntThePoissonNumberOfTimes) {
    ARFClassifier forest;
    const FeatureMap x = sample_with(3, 0.0);
    forest.learn_one(x, 0);
    const std::vector<int> draws{7, 8, 11, 4, 5, 6, 6, 10, 6, 2};
    ASSERT_EQ(forest.members().size(), draws.size());
    for (std::size_t i = 0; i < draws.size(); ++i) {
        // One more sample of class 1 makes the leaf's majority shares reveal the first weight.
        HoeffdingTreeClassifier& tree = *forest.members()[i].trees.model;
        tree.learn_one(x, 1);
        const ClassProbabilities p = tree.predict_proba_one(x);
        EXPECT_DOUBLE_EQ(p.at(0) / p.at(1), draws[i]) << "member " << i;
    }
}

TEST(ARFClassifierNative, SubspaceSizeFollowsTheFirstSample) {
    for (auto [n_features, expected] : std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {3, 2}, {10, 4}}) {
        ARFClassifier forest;
        forest.learn_one(sample_with(n_features, 0.0), 1);
        for (const auto& member : forest.members()) EXPECT_EQ(member.trees.model->subspace_size, expected);
    }
    auto fixed = with_options<ARFClassifier>([](auto& o) {
        o.n_models = 2;
        o.subspace_size = 3;
    });
    fixed.learn_one(sample_with(10, 0.0), 1);
    EXPECT_EQ(fixed.members()[0].trees.model->subspace_size, 3);
}

TEST(ARFClassifierNative, LifeCycleUnderAConceptChange) {
    // The concept flips after 3000 samples: members warn, grow one background each, and on the
    // drift promote it and restart their counters.
    auto forest = with_options<ARFClassifier>([](auto& o) {
        o.n_models = 5;
        o.seed = 1;
    });
    Rng rng(9);
    std::vector<const HoeffdingTreeClassifier*> backgrounds(5, nullptr);
    int promotions = 0, backgrounds_started = 0;
    for (int t = 0; t < 6000; ++t) {
        const double a = rng.uniform(), b = rng.uniform(), c = rng.uniform();
        const Label y = ((a > 0.5) != (t >= 3000)) ? 1 : 0;
        forest.learn_one({{"a", a}, {"b", b}, {"c", c}}, y);
        for (std::size_t i = 0; i < 5; ++i) {
            const auto& member = forest.members()[i];
            const HoeffdingTreeClassifier* bg = member.trees.background.get();
            if (backgrounds[i] != nullptr && bg != backgrounds[i]) {
                // The background left its slot only through a drift that promoted it.
                EXPECT_EQ(member.trees.model.get(), backgrounds[i]);
                EXPECT_EQ(member.n_seen, 0.0);
                EXPECT_EQ(member.n_correct, 0.0);
                ++promotions;
            }
            if (bg != nullptr && bg != backgrounds[i]) ++backgrounds_started;
            backgrounds[i] = bg;
        }
    }
    EXPECT_GT(backgrounds_started, 0);
    EXPECT_GT(promotions, 0);
}

TEST(ARFClassifierNative, OptionsKeepTheirStateOrderAndAreCheckedOnLoad) {
    auto forest = with_options<ARFClassifier>([](auto& o) {
        o.n_models = 3;
        o.seed = 4;
        o.lambda_value = 2.5;
        o.drift_delta = 0.5;
        o.warning_delta = 0.25;
        o.grace_period = 9;
        o.max_depth = 11;
        o.split_confidence = 0.125;
        o.subspace_size = 7;
    });
    StateWriter out;
    forest.save_state(out);
    // The order of earlier builds' states, not the constructor's.
    StateReader in(out.bytes());
    EXPECT_EQ(in.i32(), 3);
    EXPECT_EQ(in.i32(), 4);
    EXPECT_EQ(in.f64(), 2.5);
    EXPECT_EQ(in.i32(), 7);
    EXPECT_EQ(in.f64(), 0.5);
    EXPECT_EQ(in.f64(), 0.25);
    EXPECT_EQ(in.f64(), 0.125);
    EXPECT_EQ(in.i32(), 9);
    EXPECT_EQ(in.i32(), 11);

    // A grace period of 0 in a state is refused, naming the option; the options stay as they were.
    std::string bytes = out.bytes();
    bytes.replace(4 + 4 + 8 + 4 + 8 + 8 + 8, 4, 4, '\0');
    ARFClassifier restored;
    StateReader refused(bytes);
    try {
        restored.load_state(refused);
        FAIL() << "a grace period of 0 must be refused";
    } catch (const StateError& error) {
        EXPECT_NE(std::string(error.what()).find("grace_period"), std::string::npos) << error.what();
    }
    EXPECT_EQ(restored.grace_period, 50);
    EXPECT_EQ(restored.n_models, 10);
}
