#pragma once
// The bagging ensembles' members with what they share, and the ensembles' batch methods with the
// members split across threads, bit for bit the one-sample loop.
//
// The trees of an ensemble read one shared SampleColumns, which members project onto their own
// features, so members cannot share a loaded sample across threads. Each thread therefore owns a
// copy of the ensemble's columns and replays on it, row by row, the very loads the one-sample
// path makes (add_new false to predict, true to learn; a learning load that would find the
// predicted sample again is skipped): column assignments and content versions evolve the same in
// every copy, and the first copy becomes the ensemble's columns at the end.
// The thread's members' trees read its copy meanwhile, trees made meanwhile included.
//
// Only the ensemble's generator is shared. Once every member has made its one-time draws (the
// ensemble's ready()), the sole draws left are the learning weights, one per member and learned
// row in member order: the calling thread draws the first block's weights before the threads
// learn it, and the first thread done with a block draws the next block's, in row order, while
// the others finish theirs (the draws are the serial part of a batch: overlapped, not waited for).
// Predictions are recorded per row and member, then each row's are combined in member order with
// the arithmetic of the one-sample vote (rows spread over the threads).
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "core/batch.hpp"
#include "core/contracts.hpp"
#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "core/state.hpp"
#include "core/thread_team.hpp"
#include "ensembles/member_state.hpp"
#include "ensembles/vote.hpp"

namespace quelb {

// Rows per fan-out: the threads meet once per block, not once per row.
constexpr std::size_t kParallelBlockRows = 256;

// What a batch does with each row: predict it, learn it, or predict it then learn it.
struct RowWork {
    bool predict;
    bool learn;
};

// No slot: returned when no row was predicted on threads.
constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

// Runs rows [begin, rows.size()) of a batch on `threads` threads, members split in contiguous
// parts. Predictions are recorded in two alternating halves of slots, a block's in one half while
// the threads combine the block before from the other: combining is spread over the threads too.
// The hooks, with slot = (half * kParallelBlockRows + row - block start) * n_members + member:
//   bool draw(row, block_row, int* weights)  one thread at a time, in row order, a block ahead when
//                                 learning: fills the row's n_members weights; false skips its learning.
//                                 block_row is below 2 * kParallelBlockRows: rows of two blocks at once
//                                 are told apart (learn receives the same one)
//   void bind(member, columns)    calling thread: the member's trees read `columns`
//   void predict(member, columns, slot)
//   void learn(member, columns, row, block_row, weight, slot, predicted)  predicted: this thread
//                                 predicted the row on the very sample it now learns (same content)
//   void combine(thread, row, first slot)  the row's answer from its members' records, on any
//                                 thread (the thread's own scratch)
// Returns the first slot of the last row when predicting, else kNoSlot.
template <class Hooks>
std::size_t run_member_blocks(Threads& pool, std::size_t threads, std::shared_ptr<SampleColumns>& features,
                              std::size_t n_members, const RowSource& rows, std::size_t begin, RowWork work,
                              Hooks& hooks) {
    std::vector<std::shared_ptr<SampleColumns>> columns(threads);
    std::vector<RowCursor> cursors;
    cursors.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        columns[t] = std::make_shared<SampleColumns>(*features);
        cursors.emplace_back(rows);
    }
    const auto first_member = [&](std::size_t t) { return t * n_members / threads; };
    const auto bind_all = [&](bool own) {
        for (std::size_t t = 0; t < threads; ++t)
            for (std::size_t m = first_member(t); m < first_member(t + 1); ++m)
                hooks.bind(m, own ? columns[t] : features);
    };
    const auto first_slot = [&](std::size_t half, std::size_t block_row) {
        return (half * kParallelBlockRows + block_row) * n_members;
    };
    // The rows [start, end) predicted into `half`, combined by thread t: every threads-th row.
    const auto combine = [&](std::size_t t, std::size_t start, std::size_t end, std::size_t half) {
        for (std::size_t r = start + t; r < end; r += threads) hooks.combine(t, r, first_slot(half, r - start));
    };
    bind_all(true);
    // Two blocks' draws: the one the threads learn and the next, drawn meanwhile.
    std::vector<int> weights(2 * kParallelBlockRows * n_members);
    std::vector<char> learns(2 * kParallelBlockRows);
    const auto block_row = [&](std::size_t half, std::size_t start, std::size_t r) {
        return half * kParallelBlockRows + r - start;
    };
    const auto draw_block = [&](std::size_t start, std::size_t half) {
        const std::size_t end = std::min(rows.size(), start + kParallelBlockRows);
        for (std::size_t r = start; r < end; ++r) {
            const std::size_t i = block_row(half, start, r);
            learns[i] = hooks.draw(r, i, weights.data() + i * n_members);
        }
    };
    std::size_t previous_start = begin, previous_end = begin, half = 0;
    try {
        if (work.learn) draw_block(begin, 0);
        for (std::size_t start = begin; start < rows.size(); start += kParallelBlockRows, half ^= 1) {
            const std::size_t end = std::min(rows.size(), start + kParallelBlockRows);
            std::atomic<bool> next_drawn{!work.learn || end == rows.size()};
            pool.run(threads, [&](std::size_t t) {
                if (work.predict) combine(t, previous_start, previous_end, half ^ 1);
                SampleColumns& own = *columns[t];
                RowCursor& cursor = cursors[t];
                const std::size_t lo = first_member(t), hi = first_member(t + 1);
                for (std::size_t r = start; r < end; ++r) {
                    const FeatureMap& x = cursor.at(r);
                    const std::size_t base = first_slot(half, r - start);
                    std::uint64_t predicted_version = 0;
                    if (work.predict) {
                        own.load(x, false);
                        predicted_version = own.content_version();
                        for (std::size_t m = lo; m < hi; ++m) hooks.predict(m, columns[t], base + m);
                    }
                    if (!work.learn || !learns[block_row(half, start, r)]) continue;
                    // When every feature of the row has a column, learning's load would find the
                    // sample just predicted again (same entries, same content version): only the
                    // whole sample need be visible again.
                    if (work.predict && own.loaded().size() == x.size()) {
                        own.show_all();
                    } else {
                        own.load(x, true);
                    }
                    const bool predicted = work.predict && own.content_version() == predicted_version;
                    for (std::size_t m = lo; m < hi; ++m)
                        hooks.learn(m, columns[t], r, block_row(half, start, r),
                                    weights[block_row(half, start, r) * n_members + m], base + m,
                                    predicted);
                }
                if (!next_drawn.exchange(true)) draw_block(end, half ^ 1);
            });
            previous_start = start;
            previous_end = end;
        }
        if (work.predict) pool.run(threads, [&](std::size_t t) { combine(t, previous_start, previous_end, half ^ 1); });
    } catch (...) {
        bind_all(false);
        throw;
    }
    bind_all(false);
    *features = std::move(*columns[0]);
    if (!work.predict || previous_end == begin) return kNoSlot;
    return first_slot(half ^ 1, previous_end - 1 - previous_start);
}

// With one thread for the n members, runs one_row(x, row) over the rows, in order, and returns
// true; else returns false.
template <class OneRow>
bool run_on_calling_thread(const Threads& threads, std::size_t n, const RowSource& rows, OneRow& one_row) {
    if (threads.count(n) > 1) return false;
    RowCursor cursor(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) one_row(cursor.at(i), i);
    return true;
}

// Runs body() and returns what it returns; when it throws after learning began (`learns`), the
// object is first restored to its state before the call. Predicting changes no learned state
// (ensembles' columns only at the very end), so it needs no snapshot.
template <class Object, class Body>
auto restore_on_failure(Object& object, bool learns, Body&& body) {
    StateWriter before;
    if (learns) object.save_state(before);
    try {
        return body();
    } catch (...) {
        if (learns) {
            StateReader reader(before.bytes());
            object.load_state(reader);
        }
        throw;
    }
}

// A batch method of an ensemble: rows go one at a time through one_row(x, row) while the ensemble
// is not ready() (a member still has a one-time draw to make), the rest through run_member_blocks.
// When anything throws, the ensemble is restored to its state before the call. Returns what
// run_member_blocks returns (kNoSlot when no row ran on threads).
template <class Ensemble, class Hooks, class OneRow>
std::size_t run_member_batch(Ensemble& ensemble, Threads& pool, std::shared_ptr<SampleColumns>& features,
                             std::size_t n_members, const RowSource& rows, RowWork work, Hooks& hooks,
                             OneRow&& one_row) {
    return restore_on_failure(ensemble, work.learn, [&] {
        RowCursor cursor(rows);
        std::size_t row = 0;
        for (; row < rows.size() && !hooks.ready(); ++row) one_row(cursor.at(row), row);
        if (row < rows.size())
            return run_member_blocks(pool, pool.count(n_members), features, n_members, rows, row, work, hooks);
        return kNoSlot;
    });
}

// What a bagging ensemble holds: its members, the columns their trees share (each sample's names
// are looked up once per call, not once per tree), and the generator of the members' learning
// weights; and the hooks of the batch methods that need nothing else.
template <class MemberType>
class EnsembleMembers {
public:
    using Member = MemberType;
    const std::vector<Member>& members() const { return members_; }
    // The members' trees without the columns they share, counted once.
    std::size_t members_bytes() const { return memory::owned_all(members_, features_); }

protected:
    // Starts afresh: the generator seeded with `seed`, new shared columns, and n members, member i
    // made by make(i) (which may read the new columns).
    template <class Make>
    void restart(int seed, std::size_t n, Make&& make) {
        rng_.seed(static_cast<std::uint32_t>(seed));
        features_ = std::make_shared<SampleColumns>();
        members_.clear();
        members_.reserve(n);
        for (std::size_t i = 0; i < n; ++i) members_.push_back(make(i));
    }

    // One Poisson(lambda_value) learning weight per member, in member order.
    void draw_poisson_weights(double lambda_value, int* weights) {
        const PoissonDraw poisson(lambda_value);
        for (std::size_t i = 0; i < members_.size(); ++i) weights[i] = poisson(rng_);
    }

    // Whether every member has made its tree (members that make it at their first sample).
    bool all_have_trees() const {
        return std::all_of(members_.begin(), members_.end(), [](const Member& m) { return m.has_model(); });
    }

    // The shared columns and every member with its trees (its save_shared, load_shared).
    void save_members(StateWriter& out) const {
        save_shared_members(out, *features_, members_, [&](const Member& member) { member.save_shared(out); });
    }
    // Reads what save_members wrote, each member into blank(); states before format version
    // `since` hold no member counters or tree budgets (nor those before `budgets_since`, when
    // later). `treeless`: the reason to refuse a member without a tree, or nullptr for ensembles
    // that make trees at a member's first sample.
    template <class Blank>
    void load_members(StateReader& in, std::uint32_t since, Blank&& blank, const char* treeless = nullptr,
                      std::uint32_t budgets_since = 0) {
        load_shared_members(in, features_, members_, [&](const std::shared_ptr<SampleColumns>& columns) {
            Member member = blank();
            member.load_shared(in, columns, since, budgets_since);
            if (treeless && !member.has_model()) in.fail(treeless);
            return member;
        });
    }

    // The state of a bagging ensemble: its options in SavedOptions' order, what after_options(out)
    // writes, the generator, the shared columns and every member with its trees, then max_bytes.
    template <class SavedOptions, class Options, class AfterOptions>
    void save_ensemble(StateWriter& out, const Options& options, AfterOptions&& after_options) const {
        SavedOptions::save(out, options);
        after_options(out);
        out.rng(rng_);
        save_members(out);
        options.save_max_bytes(out);
    }
    // Reads what save_ensemble wrote, after_options(in) reading its part; the members' counters and
    // budgets and max_bytes from format version `since` on (blank and treeless as for load_members).
    template <class SavedOptions, class Options, class AfterOptions, class Blank>
    void load_ensemble(StateReader& in, Options& options, AfterOptions&& after_options, std::uint32_t since,
                       Blank&& blank, const char* treeless) {
        SavedOptions::load(in, options);
        after_options(in);
        in.rng(rng_);
        load_members(in, since, blank, treeless);
        options.load_max_bytes(in, since);
    }

    std::size_t parallel_members() const { return members_.size(); }
    std::shared_ptr<SampleColumns>& shared_columns() { return features_; }
    void bind_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns) {
        members_[i].rebind_columns(columns);
    }

    std::vector<Member> members_;
    Rng rng_;
    std::shared_ptr<SampleColumns> features_;
};

// A classifier ensemble: predictions combine the members' class distributions, each weighted by
// its member_vote, and the batch methods run on the members' threads. Derived provides `threads`
// (its n_threads option), learn_member(m, columns, y, weight), draw_weights(y, weights) (the
// learning weights of a row, from the ensemble's generator), ready_for_parallel_rows(),
// save_state and load_state; it may replace member_vote(m, loaded, proba) (fills the distribution
// the vote adds and returns its weight; by default the member's vote_loaded).
template <class Derived, class MemberType>
class ParallelClassifier : public IClassifier, public EnsembleMembers<MemberType> {
public:
    Label predict_one(const FeatureMap& x) override {
        vote(x);
        return vote_.argmax();
    }
    ClassProbabilities predict_proba_one(const FeatureMap& x) override {
        vote(x);
        return vote_.to_map();
    }

    void learn_many(const RowSource& rows, const Label* y) override {
        run(rows, y, {false, true}, nullptr, nullptr);
    }
    void predict_many(const RowSource& rows, Label* out) override { run(rows, nullptr, {true, false}, out, nullptr); }
    void predict_proba_many(const RowSource& rows, ClassProbabilities* out) override {
        run(rows, nullptr, {true, false}, nullptr, out);
    }
    void test_then_train_many(const RowSource& rows, const Label* y, Label* out) override {
        run(rows, y, {true, true}, out, nullptr);
    }

    std::size_t memory_usage() const override {
        const Derived& self = static_cast<const Derived&>(*this);
        return memory::block(sizeof(Derived)) + this->members_bytes() + memory::owned_all(proba_, vote_) +
               self.extra_bytes();
    }

protected:
    // What Derived holds beyond the members; Derived may replace it.
    std::size_t extra_bytes() const { return 0; }
    double member_vote(std::size_t m, SampleColumns& loaded, std::vector<std::pair<Label, double>>& proba) {
        return this->members_[m].vote_loaded(loaded, proba);
    }

private:
    struct Hooks {
        Derived& ensemble;
        const Label* y;
        Label* labels;
        ClassProbabilities* probas;
        std::size_t n;
        std::vector<std::vector<std::pair<Label, double>>> proba;
        std::vector<double> weight;
        std::vector<ProbabilityVote> votes;  // a thread's scratch

        bool ready() { return ensemble.ready_for_parallel_rows(); }
        bool draw(std::size_t row, std::size_t, int* weights) {
            ensemble.draw_weights(y[row], weights);
            return true;
        }
        void bind(std::size_t m, const std::shared_ptr<SampleColumns>& columns) { ensemble.bind_member(m, columns); }
        void predict(std::size_t m, const std::shared_ptr<SampleColumns>& columns, std::size_t slot) {
            weight[slot] = ensemble.member_vote(m, *columns, proba[slot]);
        }
        void learn(std::size_t m, const std::shared_ptr<SampleColumns>& columns, std::size_t row, std::size_t,
                   int times, std::size_t, bool) {
            ensemble.learn_member(m, columns, y[row], times);
        }
        void combine(std::size_t t, std::size_t row, std::size_t first) {
            ProbabilityVote& vote = votes[t];
            vote.clear();
            for (std::size_t m = 0; m < n; ++m) vote.add(proba[first + m], weight[first + m]);
            vote.normalise();
            if (labels) labels[row] = vote.argmax();
            if (probas) probas[row] = vote.to_map();
        }
    };

    void run(const RowSource& rows, const Label* y, RowWork work, Label* labels, ClassProbabilities* probas) {
        Derived& self = static_cast<Derived&>(*this);
        const std::size_t n = self.parallel_members();
        const auto one_row = [&](const FeatureMap& x, std::size_t i) {
            if (labels) labels[i] = self.predict_one(x);
            if (probas) probas[i] = self.predict_proba_one(x);
            if (work.learn) self.learn_one(x, y[i]);
        };
        Threads& threads = self.threads;
        if (run_on_calling_thread(threads, n, rows, one_row)) return;
        Hooks hooks{self, y, labels, probas, n, {}, {}, std::vector<ProbabilityVote>(threads.count(n))};
        if (work.predict) {
            hooks.proba.resize(2 * kParallelBlockRows * n);
            hooks.weight.resize(2 * kParallelBlockRows * n);
        }
        run_member_batch(self, threads, self.shared_columns(), n, rows, work, hooks, one_row);
    }

    // Fills vote_ with the members' weighted distributions for x.
    void vote(const FeatureMap& x) {
        Derived& self = static_cast<Derived&>(*this);
        vote_.clear();
        this->features_->load(x, false);
        for (std::size_t i = 0; i < this->members_.size(); ++i)
            vote_.add(proba_, self.member_vote(i, *this->features_, proba_));
        vote_.normalise();
    }

    // Scratch space reused between calls.
    std::vector<std::pair<Label, double>> proba_;
    ProbabilityVote vote_;
};

// The same for a regressor ensemble, whose predictions are the plain mean of the members'.
// Derived provides learn_member(m, columns, y, weight, block_row, prediction) (prediction: the
// member's answer for this very sample, or null), draw_weights(y, block_row, weights) (false: the
// row is not learned), and the rest as above; it may replace member_prediction(m, loaded) (by
// default the member's predict_loaded), after_predictions(last_row) (after predict_many: what
// the one-sample loop's last call leaves; by default nothing) and predict_one.
template <class Derived, class MemberType>
class ParallelRegressor : public IRegressor, public EnsembleMembers<MemberType> {
public:
    // The plain mean of the answers of the members that have a tree (0 when none has).
    double predict_one(const FeatureMap& x) override {
        Derived& self = static_cast<Derived&>(*this);
        this->features_->load(x, false);
        double sum = 0.0;
        std::size_t n = 0;
        for (std::size_t i = 0; i < this->members_.size(); ++i) {
            if (!this->members_[i].has_model()) continue;
            sum += self.member_prediction(i, *this->features_);
            ++n;
        }
        return n > 0 ? sum / static_cast<double>(n) : 0.0;
    }
    void learn_many(const RowSource& rows, const double* y) override { run(rows, y, {false, true}, nullptr); }
    void predict_many(const RowSource& rows, double* out) override { run(rows, nullptr, {true, false}, out); }
    void test_then_train_many(const RowSource& rows, const double* y, double* out) override {
        run(rows, y, {true, true}, out);
    }

    std::size_t memory_usage() const override {
        return memory::block(sizeof(Derived)) + this->members_bytes() + static_cast<const Derived&>(*this).extra_bytes();
    }

protected:
    std::size_t extra_bytes() const { return 0; }
    double member_prediction(std::size_t m, SampleColumns& loaded) { return this->members_[m].predict_loaded(loaded); }
    void after_predictions(const double*) {}

private:
    struct Hooks {
        Derived& ensemble;
        const double* y;
        double* out;
        std::size_t n;
        std::vector<double> predictions;

        bool ready() { return ensemble.ready_for_parallel_rows(); }
        bool draw(std::size_t row, std::size_t block_row, int* weights) {
            return ensemble.draw_weights(y[row], block_row, weights);
        }
        void bind(std::size_t m, const std::shared_ptr<SampleColumns>& columns) { ensemble.bind_member(m, columns); }
        void predict(std::size_t m, const std::shared_ptr<SampleColumns>& columns, std::size_t slot) {
            predictions[slot] = ensemble.member_prediction(m, *columns);
        }
        void learn(std::size_t m, const std::shared_ptr<SampleColumns>& columns, std::size_t row,
                   std::size_t block_row, int times, std::size_t slot, bool predicted) {
            ensemble.learn_member(m, columns, y[row], times, block_row, predicted ? &predictions[slot] : nullptr);
        }
        // The plain mean of the members' answers, summed in member order.
        void combine(std::size_t, std::size_t row, std::size_t first) {
            double sum = 0.0;
            for (std::size_t m = 0; m < n; ++m) sum += predictions[first + m];
            out[row] = sum / static_cast<double>(n);
        }
    };

    void run(const RowSource& rows, const double* y, RowWork work, double* out) {
        Derived& self = static_cast<Derived&>(*this);
        const std::size_t n = self.parallel_members();
        const auto one_row = [&](const FeatureMap& x, std::size_t i) {
            if (out) out[i] = self.predict_one(x);
            if (work.learn) self.learn_one(x, y[i]);
        };
        Threads& threads = self.threads;
        if (run_on_calling_thread(threads, n, rows, one_row)) return;
        Hooks hooks{self, y, out, n, {}};
        if (work.predict) hooks.predictions.resize(2 * kParallelBlockRows * n);
        const std::size_t last = run_member_batch(self, threads, self.shared_columns(), n, rows, work, hooks, one_row);
        if (!work.learn && last != kNoSlot) self.after_predictions(&hooks.predictions[last]);
    }
};

}  // namespace quelb
