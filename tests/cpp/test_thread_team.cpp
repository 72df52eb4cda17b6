#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/thread_team.hpp"
#include "ensembles/parallel_members.hpp"

namespace quelb {
namespace {

TEST(ThreadTeam, RunsEveryPartOnceWithTheCallerFirstAndRethrows) {
    ThreadTeam team(3);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::atomic<int>> runs(3);
        std::thread::id first;
        team.run([&](std::size_t t) {
            if (t == 0) first = std::this_thread::get_id();
            ++runs[t];
        });
        for (auto& n : runs) EXPECT_EQ(n.load(), 1);
        EXPECT_EQ(first, std::this_thread::get_id());
    }
    std::atomic<int> finished{0};
    EXPECT_THROW(team.run([&](std::size_t t) {
        if (t == 2) throw std::runtime_error("part 2");
        ++finished;
    }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 2);  // the others ran to their end before the rethrow
    team.run([](std::size_t) {});   // still usable
}

TEST(Threads, CountIsBoundedByTheWork) {
    Threads threads;
    EXPECT_EQ(threads.count(10), 1u);
    threads.n_threads = 3;
    EXPECT_EQ(threads.count(2), 2u);
    EXPECT_EQ(threads.count(0), 1u);
    threads.n_threads = 0;
    EXPECT_GE(threads.count(1000), 1u);
    EXPECT_LE(threads.count(1000), std::max(1u, std::thread::hardware_concurrency()));
    Threads copy = threads;
    EXPECT_EQ(copy.n_threads, 0);
}

// An ensemble whose state is how many times each member learned; member 3 fails at row 300.
struct FailingEnsemble {
    std::vector<std::int64_t> learned = std::vector<std::int64_t>(5, 0);
    void save_state(StateWriter& out) const {
        for (std::int64_t n : learned) out.i64(n);
    }
    void load_state(StateReader& in) {
        for (std::int64_t& n : learned) n = in.i64();
    }
};

struct FailingHooks {
    FailingEnsemble& ensemble;
    bool ready() { return true; }
    bool draw(std::size_t, std::size_t, int* weights) {
        for (int i = 0; i < 5; ++i) weights[i] = 1;
        return true;
    }
    void bind(std::size_t, const std::shared_ptr<SampleColumns>&) {}
    void predict(std::size_t, const std::shared_ptr<SampleColumns>&, std::size_t) {}
    void learn(std::size_t m, const std::shared_ptr<SampleColumns>&, std::size_t row, std::size_t, int, std::size_t,
               bool) {
        if (m == 3 && row == 300) throw std::runtime_error("refused");
        ++ensemble.learned[m];
    }
    void combine(std::size_t, std::size_t, std::size_t) {}
};

TEST(ParallelMembers, AFailureLeavesTheEnsembleAsBeforeTheCall) {
    std::vector<FeatureMap> rows(400, FeatureMap{{"a", 1.0}});
    const RowSource source = RowSource::samples(rows);
    FailingEnsemble ensemble;
    ensemble.learned = {7, 7, 7, 7, 7};
    FailingHooks hooks{ensemble};
    Threads threads;
    threads.n_threads = 2;
    auto columns = std::make_shared<SampleColumns>();
    EXPECT_THROW(run_member_batch(ensemble, threads, columns, 5, source, {true, true}, hooks,
                                  [](const FeatureMap&, std::size_t) {}),
                 std::runtime_error);
    EXPECT_EQ(ensemble.learned, std::vector<std::int64_t>(5, 7));
}

}  // namespace
}  // namespace quelb
