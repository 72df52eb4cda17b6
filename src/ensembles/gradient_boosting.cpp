#include "ensembles/gradient_boosting.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>
#include <thread>
#include <utility>

#include "core/probabilities.hpp"
#include "core/state.hpp"
#include "ensembles/member_trees.hpp"
#include "trees/leaf_budget.hpp"

namespace quelb {

namespace {

// Logistic function, computed as e^F / (1 + e^F) below 0 so that it never overflows.
double sigmoid(double f) {
    if (f < 0.0) {
        const double e = std::exp(f);
        return e / (1.0 + e);
    }
    return 1.0 / (1.0 + std::exp(-f));
}

// ln(1 + e^s) without overflow.
double softplus(double s) { return s > 0.0 ? s + std::log1p(std::exp(-s)) : std::log1p(std::exp(s)); }

constexpr double kMinHessian = 1e-12;

// The order of the options in saved states.
using R = SGBRRegressorOptions;
using SavedRegressorOptions =
    SavedOrder<R, &R::n_models, &R::learning_rate, &R::percentage_of_features, &R::multiply_hessian_by,
               &R::skip_training, &R::bag_size, &R::seed, &R::grace_period, &R::max_depth, &R::split_confidence,
               &R::leaf_prediction>;
using C = SGBTClassifierOptions;
using SavedClassifierOptions =
    SavedOrder<C, &C::n_models, &C::learning_rate, &C::percentage_of_features, &C::multiply_hessian_by,
               &C::skip_training, &C::use_squared_loss, &C::bag_size, &C::n_classes, &C::scale_prediction_by_lr,
               &C::seed, &C::grace_period, &C::max_depth, &C::split_confidence, &C::leaf_prediction>;

// A booster keeps the options its owner had when it was created (`created`, as the owner would
// give them now): only those a property changes may differ in a saved state.
void check_booster_options(StateReader& in, const BoosterOptions& loaded, BoosterOptions created) {
    created.n_models = loaded.n_models;
    created.learning_rate = loaded.learning_rate;
    created.seed = loaded.seed;
    created.max_bytes = loaded.max_bytes;
    if (!same_saved_options(loaded, created)) in.fail("a booster's options are not its owner's");
}

}  // namespace

// ---- GradientBooster ----------------------------------------------------------------------------

GradientBooster::GradientBooster(const BoosterOptions& options, std::shared_ptr<SampleColumns> columns)
    : options_(options),
      bag_size_(static_cast<std::size_t>(std::max(options_.bag_size, 1))),
      mean_leaves_(options_.leaf_prediction == "mean"),
      rng_(static_cast<std::uint32_t>(options_.seed)),
      columns_(std::move(columns)) {}

void GradientBooster::build_steps() {
    const std::vector<FeatureSubset::Feature> features = FeatureSubset::sorted_features(*columns_);
    const std::size_t n = features.size();
    const auto n_steps = static_cast<std::size_t>(std::max(options_.n_models, 1));
    // Without any feature to choose from, every step learns from whole samples (empty subsets).
    feature_lists_.assign(n_steps, FeatureSubset{});
    if (n > 0) {
        double k = std::round(options_.percentage_of_features / 100.0 * static_cast<double>(n));
        if (k < 2.0) k += 1.0;
        k = std::max(std::min(static_cast<double>(n), k), 1.0);
        const auto keep = static_cast<std::size_t>(k);
        // A partial Fisher-Yates shuffle per step, each continuing from the previous order.
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::vector<std::uint32_t> chosen(keep);
        std::vector<FeatureSubset::Feature> kept(keep);
        const auto last = static_cast<std::uint32_t>(n - 1);
        for (FeatureSubset& list : feature_lists_) {
            for (std::size_t i = 0; i < keep; ++i) {
                std::swap(order[i], order[rng_.uniform_int(static_cast<std::uint32_t>(i), last)]);
            }
            // Positions in the sorted features: ascending positions give names in byte order.
            std::copy(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), chosen.begin());
            std::sort(chosen.begin(), chosen.end());
            for (std::size_t i = 0; i < keep; ++i) kept[i] = features[chosen[i]];
            list.assign(kept);
        }
    }
    trees_.clear();
    tree_list_.clear();
    trees_.reserve(n_steps * bag_size_);
    for (std::size_t i = 0; i < n_steps * bag_size_; ++i) {
        auto tree = make_fimtdd_tree(options_.grace_period, options_.split_confidence, options_.max_depth,
                                     options_.leaf_prediction, 1, columns_);
        tree->max_bytes = tree_budget_;
        tree_list_.push_back(tree.get());
        trees_.push_back(std::move(tree));
    }
    initialised_ = true;
    ++trees_version_;
}

bool GradientBooster::skips_sample() {
    return options_.skip_training >= 2 &&
           rng_.uniform_int(0, static_cast<std::uint32_t>(options_.skip_training - 1)) == 0;
}

bool GradientBooster::draw_sample(std::int64_t* weights) {
    if (skips_sample()) return false;
    draw_weights(weights);
    return true;
}

void GradientBooster::draw_weights(std::int64_t* weights) {
    // Every tree's Poisson weight, drawn in the order the trees learn: knowing which trees will
    // learn lets the memory fetch their leaves ahead.
    const std::size_t n_trees = tree_list_.size();
    std::fill(weights, weights + n_trees, 1);
    if (bag_size_ >= 2) {
        const PoissonDraw poisson(1.0);
        for (std::size_t t = 0; t < n_trees; ++t) weights[t] = poisson(rng_);
    }
}

void GradientBooster::train_loaded(double target) {
    if (skips_sample()) return;
    if (!initialised_) build_steps();
    // A prediction for this very sample since the trees last learned has found the leaves.
    if (walks_version_ != trees_version_ || walks_content_ != columns_->content_version()) {
        find_step_leaves(all_steps(), walks_, *columns_);
    }
    ++trees_version_;
    draws_.resize(tree_list_.size());
    draw_weights(draws_.data());
    learn_steps(all_steps(), target, 0.0, draws_.data(), walks_, *columns_);
}

void GradientBooster::bind_steps(StepRange steps, const std::shared_ptr<SampleColumns>& columns) {
    for (std::size_t t = steps.first * bag_size_; t < steps.end * bag_size_; ++t) trees_[t]->rebind_columns(columns);
}

void GradientBooster::find_step_leaves(StepRange steps, StepWalks& walks, SampleColumns& columns) {
    // A step's trees only test the step's features, so the whole sample routes them as the step's
    // projection does: the leaves every tree's first learning walk reaches are found together,
    // with the walks' memory reads overlapping, before the trees learn one after another.
    columns.show_all();
    FIMTDDRegressor::find_leaves_together(tree_list_.data() + steps.first * bag_size_,
                                          (steps.end - steps.first) * bag_size_, walks.leaves);
}

double GradientBooster::learn_steps(StepRange steps, double target, double f, const std::int64_t* weights,
                                    StepWalks& walks, SampleColumns& columns) {
    const std::size_t base = steps.first * bag_size_, stop = steps.end * bag_size_;
    for (std::size_t m = steps.first; m < steps.end; ++m) {
        double gradient, hessian;
        if (options_.use_squared_loss) {
            gradient = target - f;
            hessian = 1.0;
        } else {
            const double p = sigmoid(f);
            gradient = target - p;
            hessian = std::max(p * (1.0 - p), kMinHessian);
        }
        feature_lists_[m].project(columns);
        const double newton_target = gradient / hessian;
        std::int64_t repeats = 1;
        if (options_.multiply_hessian_by >= 2) {
            // hessian <= 1, so at most multiply_hessian_by; trees that diverged (a NaN) learn once.
            const double scaled = options_.multiply_hessian_by * hessian;
            const double most = options_.multiply_hessian_by;
            if (scaled > 1.0) repeats = static_cast<std::int64_t>(std::ceil(std::min(scaled, most)));
        }
        double total = 0.0;
        for (std::size_t j = 0; j < bag_size_; ++j) {
            const std::size_t t = m * bag_size_ + j;
            using Fetch = FIMTDDRegressor::Fetch;
            const FIMTDDRegressor::SideBySide& found = walks.leaves;
            if (t + 3 < stop) FIMTDDRegressor::prefetch_leaf(found, t + 3 - base, Fetch::leaf);
            if (t + 2 < stop && weights[t + 2] > 0) FIMTDDRegressor::prefetch_leaf(found, t + 2 - base, Fetch::leaf_state);
            if (t + 1 < stop && weights[t + 1] > 0) FIMTDDRegressor::prefetch_leaf(found, t + 1 - base, Fetch::value_trees);
            total += trees_[t]->learn_then_predict_loaded(newton_target, weights[t] * repeats, found, t - base);
        }
        f += options_.learning_rate * (total / static_cast<double>(bag_size_));
    }
    return f;
}

double GradientBooster::add_step_outputs(StepRange steps, double sum, StepWalks& walks, SampleColumns& columns) {
    if (mean_leaves_) {
        // Leaf means read no feature values, and a step's trees only ever test the step's features,
        // so the whole sample routes them as the step's projection does: all walks go side by side.
        const std::size_t base = steps.first * bag_size_;
        columns.show_all();
        walks.answers.resize((steps.end - steps.first) * bag_size_);
        FIMTDDRegressor::predict_means_together(tree_list_.data() + base, walks.answers.size(), walks.leaves,
                                                walks.answers.data());
        for (std::size_t m = steps.first; m < steps.end; ++m) {
            double total = 0.0;
            for (std::size_t j = 0; j < bag_size_; ++j) total += walks.answers[m * bag_size_ + j - base];
            sum += total / static_cast<double>(bag_size_);
        }
        return sum;
    }
    for (std::size_t m = steps.first; m < steps.end; ++m) {
        feature_lists_[m].project(columns);
        double total = 0.0;
        for (std::size_t j = 0; j < bag_size_; ++j) total += trees_[m * bag_size_ + j]->predict_loaded();
        sum += total / static_cast<double>(bag_size_);
    }
    return sum;
}

double GradientBooster::raw_output_loaded() {
    if (!initialised_) return 0.0;
    const double sum = add_step_outputs(all_steps(), 0.0, walks_, *columns_);
    if (mean_leaves_) {
        walks_version_ = trees_version_;
        walks_content_ = columns_->content_version();
    }
    return sum;
}

// ---- Batches on threads ----------------------------------------------------------------------

namespace {

// Thrown in a thread waiting for one that failed: the failed thread's exception is the call's.
struct StageAborted {};

// Waits until `progress` reaches `at_least`: spinning briefly (the thread before is usually a
// step or two ahead), then yielding the core to it.
void wait_for(const std::atomic<std::size_t>& progress, std::size_t at_least, const std::atomic<bool>& failed) {
    for (unsigned spins = 0; progress.load(std::memory_order_acquire) < at_least; ++spins) {
        if (failed.load(std::memory_order_relaxed)) throw StageAborted{};
        if (spins >= 64) std::this_thread::yield();
    }
}

// Boosters built on `features` learning and predicting rows [begin, end) on `stages` threads,
// bit for bit the one-sample path. Thread s owns steps stage_steps(s, stages) of every booster and
// reads the rows into columns of its own, replaying the one-sample path's loads (add_new false to
// predict, true to learn), so column assignments and content versions evolve alike in every copy;
// the first copy becomes the boosters' columns at the end. A row goes through the threads in
// order: thread s takes the partial output sums and the f of thread s - 1's steps, continues them
// with its own and hands them on, while thread s - 1 goes on to the next row. The calling thread
// makes every booster's draws for a block of rows before the threads run it.
// targets[row * K + k] is booster k's target and raw[row * K + k] receives its raw output, for K
// boosters. Every booster must be built.
void run_boosters_on_threads(const std::vector<GradientBooster*>& boosters, Threads& pool, std::size_t stages,
                             const std::shared_ptr<SampleColumns>& features, const RowSource& rows,
                             std::size_t begin, std::size_t end, RowWork work, const double* targets, double* raw) {
    using StepRange = GradientBooster::StepRange;
    const std::size_t n_boosters = boosters.size();
    const std::size_t block = kParallelBlockRows;
    std::vector<std::size_t> first_weight(n_boosters + 1, 0);  // a row's draws, booster after booster
    for (std::size_t k = 0; k < n_boosters; ++k) first_weight[k + 1] = first_weight[k] + boosters[k]->trees().size();
    const std::size_t row_weights = first_weight[n_boosters];
    std::vector<std::int64_t> weights(block * row_weights);
    std::vector<char> learns(block * n_boosters, 0);
    // Handed from thread s to thread s + 1, per block row and booster: output sums and f.
    std::vector<double> sums(stages * block * n_boosters), fs(stages * block * n_boosters);
    // Thread s has predicted block row i when progress[s] > 2i, and learned it when > 2i + 1.
    const auto progress = std::make_unique<std::atomic<std::size_t>[]>(stages);
    std::atomic<bool> failed{false};

    std::vector<std::shared_ptr<SampleColumns>> columns(stages);
    std::vector<RowCursor> cursors;
    cursors.reserve(stages);
    std::vector<std::vector<GradientBooster::StepWalks>> walks(stages, std::vector<GradientBooster::StepWalks>(n_boosters));
    for (std::size_t s = 0; s < stages; ++s) {
        columns[s] = std::make_shared<SampleColumns>(*features);
        cursors.emplace_back(rows);
    }
    const auto bind_all = [&](bool own) {
        for (std::size_t s = 0; s < stages; ++s)
            for (GradientBooster* booster : boosters)
                booster->bind_steps(booster->stage_steps(s, stages), own ? columns[s] : features);
    };

    const auto run_stage = [&](std::size_t s, std::size_t start, std::size_t stop) {
        SampleColumns& own = *columns[s];
        RowCursor& cursor = cursors[s];
        const bool last = s + 1 == stages;
        const double* sums_in = s > 0 ? &sums[(s - 1) * block * n_boosters] : nullptr;
        const double* fs_in = s > 0 ? &fs[(s - 1) * block * n_boosters] : nullptr;
        double* sums_out = &sums[s * block * n_boosters];
        double* fs_out = &fs[s * block * n_boosters];
        for (std::size_t r = start; r < stop; ++r) {
            const std::size_t i = r - start;
            const FeatureMap& x = cursor.at(r);
            std::uint64_t predicted = 0;
            if (work.predict) {
                own.load(x, false);
                if (s > 0) wait_for(progress[s - 1], 2 * i + 1, failed);
                for (std::size_t k = 0; k < n_boosters; ++k) {
                    GradientBooster& booster = *boosters[k];
                    const double sum = booster.add_step_outputs(booster.stage_steps(s, stages),
                                                                s > 0 ? sums_in[i * n_boosters + k] : 0.0,
                                                                walks[s][k], own);
                    (last ? raw[r * n_boosters + k] : sums_out[i * n_boosters + k]) = sum;
                }
                predicted = own.content_version();
            }
            progress[s].store(2 * i + 1, std::memory_order_release);
            if (work.learn) {
                own.load(x, true);
                // A prediction of the very sample found the leaves already (see train_loaded).
                const bool same = work.predict && own.content_version() == predicted;
                for (std::size_t k = 0; k < n_boosters; ++k) {
                    if (learns[i * n_boosters + k] && !(same && boosters[k]->predictions_find_leaves()))
                        boosters[k]->find_step_leaves(boosters[k]->stage_steps(s, stages), walks[s][k], own);
                }
                if (s > 0) wait_for(progress[s - 1], 2 * i + 2, failed);
                for (std::size_t k = 0; k < n_boosters; ++k) {
                    if (!learns[i * n_boosters + k]) continue;
                    GradientBooster& booster = *boosters[k];
                    const StepRange steps = booster.stage_steps(s, stages);
                    const double f = booster.learn_steps(steps, targets[r * n_boosters + k],
                                                         s > 0 ? fs_in[i * n_boosters + k] : 0.0,
                                                         &weights[i * row_weights + first_weight[k]], walks[s][k], own);
                    if (!last) fs_out[i * n_boosters + k] = f;
                }
            }
            progress[s].store(2 * i + 2, std::memory_order_release);
        }
    };

    bind_all(true);
    try {
        for (std::size_t start = begin; start < end; start += block) {
            const std::size_t stop = std::min(end, start + block);
            if (work.learn) {
                for (std::size_t r = start; r < stop; ++r) {
                    const std::size_t i = r - start;
                    for (std::size_t k = 0; k < n_boosters; ++k)
                        learns[i * n_boosters + k] = boosters[k]->draw_sample(&weights[i * row_weights + first_weight[k]]);
                }
            }
            for (std::size_t s = 0; s < stages; ++s) progress[s].store(0, std::memory_order_relaxed);
            pool.run(stages, [&](std::size_t s) {
                try {
                    run_stage(s, start, stop);
                } catch (...) {
                    failed.store(true, std::memory_order_relaxed);
                    throw;
                }
            });
        }
    } catch (...) {
        bind_all(false);
        for (GradientBooster* booster : boosters) booster->forget_walks();
        throw;
    }
    bind_all(false);
    for (GradientBooster* booster : boosters) booster->forget_walks();
    *features = std::move(*columns[0]);
}

}  // namespace

void GradientBooster::share_budget(const std::optional<std::int64_t>& per_tree) {
    tree_budget_ = per_tree;
    for (const auto& tree : trees_) tree->max_bytes = per_tree;
}

bool GradientBooster::budget_in_play() const {
    return std::any_of(trees_.begin(), trees_.end(),
                       [](const auto& tree) { return tree->max_bytes || tree->n_inactive_leaves() != 0; });
}

void GradientBooster::save_budgets(StateWriter& out) const {
    for (const auto& tree : trees_) tree->save_budget(out);
}

void GradientBooster::load_budgets(StateReader& in) {
    for (const auto& tree : trees_) tree->load_budget(in);
}

// ---- BudgetShare --------------------------------------------------------------------------------

void BudgetShare::share(const std::optional<std::int64_t>& max_bytes, const std::unique_ptr<GradientBooster>* boosters,
                        std::size_t n) {
    std::size_t n_trees = 0;
    for (std::size_t i = 0; i < n; ++i) n_trees += boosters[i]->n_trees();
    const std::optional<std::int64_t> per_tree = budget_share(max_bytes, n_trees);
    for (std::size_t i = 0; i < n; ++i) boosters[i]->share_budget(per_tree);
    shared_ = max_bytes;
    current_ = true;
}

void BudgetShare::save(StateWriter& out, const std::optional<std::int64_t>& max_bytes,
                       const std::unique_ptr<GradientBooster>* boosters, std::size_t n) {
    // Without a budget in play the state keeps its former bytes.
    bool in_play = max_bytes.has_value();
    for (std::size_t i = 0; i < n && !in_play; ++i) in_play = boosters[i]->budget_in_play();
    if (!in_play) return;
    write_max_bytes(out, max_bytes);
    for (std::size_t i = 0; i < n; ++i) boosters[i]->save_budgets(out);
}

void BudgetShare::load(StateReader& in, std::optional<std::int64_t>& max_bytes,
                       const std::unique_ptr<GradientBooster>* boosters, std::size_t n) {
    max_bytes.reset();
    if (!LeafBudget::follows(in, kBudgetedBoostersVersion)) return;
    max_bytes = read_max_bytes(in);
    for (std::size_t i = 0; i < n; ++i) boosters[i]->load_budgets(in);
}

// ---- SGBRRegressor ------------------------------------------------------------------------------

SGBRRegressor::SGBRRegressor(const Options& options)
    : Options(options), columns_(std::make_shared<SampleColumns>()) {
    check_options<SGBRRegressorOptions>(*this);
}

BoosterOptions SGBRRegressor::booster_options() const {
    BoosterOptions options = *this;
    options.n_models = std::max(n_models, 1);
    options.bag_size = std::max(bag_size, 1);
    options.use_squared_loss = true;
    return options;
}

void SGBRRegressor::learn_one(const FeatureMap& x, double y) {
    if (!booster_) {
        booster_ = std::make_unique<GradientBooster>(booster_options(), columns_);
        shared_budget_.boosters_changed();
    }
    shared_budget_.keep(max_bytes, &booster_, 1);
    columns_->load(x, true);
    booster_->train_loaded(y);
}

double SGBRRegressor::predict_one(const FeatureMap& x) {
    if (!booster_) return 0.0;
    columns_->load(x, false);
    return booster_->raw_output_loaded();
}

void SGBRRegressor::learn_many(const RowSource& rows, const double* y) { run_rows(rows, y, nullptr, {false, true}); }

void SGBRRegressor::predict_many(const RowSource& rows, double* out) { run_rows(rows, nullptr, out, {true, false}); }

void SGBRRegressor::test_then_train_many(const RowSource& rows, const double* y, double* out) {
    run_rows(rows, y, out, {true, true});
}

void SGBRRegressor::run_rows(const RowSource& rows, const double* y, double* out, RowWork work) {
    RowCursor cursor(rows);
    std::size_t row = 0;
    const auto next_row = [&] {
        const FeatureMap& x = cursor.at(row);
        if (work.predict) out[row] = predict_one(x);
        if (work.learn) learn_one(x, y[row]);
        ++row;
    };
    if (threads.count(static_cast<std::size_t>(std::max(n_models, 1))) <= 1) {
        while (row < rows.size()) next_row();
        return;
    }
    restore_on_failure(*this, work.learn, [&] {
        // The first sample learned builds the steps.
        while (row < rows.size() && !(booster_ && booster_->initialised())) next_row();
        const std::size_t stages = booster_ ? threads.count(booster_->n_steps()) : 1;
        while (row < rows.size() && stages <= 1) next_row();
        if (row < rows.size()) {
            if (work.learn) shared_budget_.keep(max_bytes, &booster_, 1);  // as learn_one does
            run_boosters_on_threads({booster_.get()}, threads, stages, columns_, rows, row, rows.size(), work, y, out);
        }
    });
}

void SGBRRegressor::reset() {
    booster_.reset();
    columns_ = std::make_shared<SampleColumns>();
}

// ---- SGBTClassifier -----------------------------------------------------------------------------

SGBTClassifier::SGBTClassifier(const Options& options)
    : Options(options), columns_(std::make_shared<SampleColumns>()) {
    check_options<SGBTClassifierOptions>(*this);
}

std::unique_ptr<GradientBooster> SGBTClassifier::make_booster() const {
    return std::make_unique<GradientBooster>(*this, columns_);
}

void SGBTClassifier::learn_one(const FeatureMap& x, Label y) {
    const bool two_class = n_classes == 2;
    // Boosters of the other mode learnt other targets (one-vs-rest boosters model "not this
    // class", the two-class booster "the smallest label"): they start over.
    if (!boosters_.empty() && boosters_two_class_ != two_class) boosters_.clear();
    boosters_two_class_ = two_class;

    const auto found = std::lower_bound(classes_.begin(), classes_.end(), y);
    const auto position = static_cast<std::size_t>(found - classes_.begin());
    const bool is_new = found == classes_.end() || *found != y;
    if (is_new) classes_.insert(found, y);
    const std::size_t n_before = boosters_.size();
    if (two_class) {
        if (boosters_.empty()) boosters_.push_back(make_booster());
    } else if (is_new && boosters_.size() + 1 == classes_.size()) {
        boosters_.insert(boosters_.begin() + static_cast<std::ptrdiff_t>(position), make_booster());
    } else if (boosters_.size() != classes_.size()) {  // the two-class booster was discarded
        boosters_.clear();
        for (std::size_t i = 0; i < classes_.size(); ++i) boosters_.push_back(make_booster());
    }
    // Boosters are only ever added here (or replaced all at once), so the count tells.
    if (boosters_.size() != n_before) shared_budget_.boosters_changed();
    shared_budget_.keep(max_bytes, boosters_.data(), boosters_.size());

    columns_->load(x, true);
    for (std::size_t i = 0; i < boosters_.size(); ++i) boosters_[i]->train_loaded(booster_target(i, y, position));
}

double SGBTClassifier::booster_target(std::size_t i, Label y, std::size_t position) const {
    // The two-class booster models "the smallest label"; one-vs-rest boosters "not this class".
    if (n_classes == 2) return y == classes_[0] ? 1.0 : 0.0;
    return i == position ? 0.0 : 1.0;
}

double SGBTClassifier::score(double raw_output, const GradientBooster& booster) const {
    return scale_prediction_by_lr ? raw_output * booster.options().learning_rate : raw_output;
}

bool SGBTClassifier::boosters_answer() const {
    const bool two_class = n_classes == 2;
    // Boosters built for the other mode do not answer this one.
    return boosters_two_class_ == two_class && boosters_.size() == (two_class ? std::size_t{1} : classes_.size());
}

void SGBTClassifier::compute_probabilities(const FeatureMap& x) {
    probabilities_.clear();
    if (classes_.size() <= 1) {
        if (!classes_.empty()) probabilities_.push_back(1.0);
        return;
    }
    const bool usable = boosters_answer();
    if (n_classes == 2 && !usable) return;
    raw_outputs_.assign(classes_.size(), 0.0);
    if (usable) {
        columns_->load(x, false);
        for (std::size_t i = 0; i < boosters_.size(); ++i) raw_outputs_[i] = boosters_[i]->raw_output_loaded();
    }
    probabilities_from(raw_outputs_.data(), usable);
}

void SGBTClassifier::probabilities_from(const double* raw, bool usable) {
    probabilities_.clear();
    if (n_classes == 2) {
        const double p = sigmoid(score(raw[0], *boosters_[0]));
        probabilities_.push_back(p);
        probabilities_.push_back(1.0 - p);
        return;
    }
    // Class i gets q_i / sum(q) with q_i = 1 - sigmoid(s_i) = e^(-softplus(s_i)): normalised in
    // log space, so boosters whose scores saturate the sigmoid (q rounding to 0 for every class)
    // still rank the classes.
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        probabilities_.push_back(-softplus(usable ? score(raw[i], *boosters_[i]) : 0.0));
    }
    normalize_log_scores(probabilities_);
}

ClassProbabilities SGBTClassifier::probability_map() const {
    ClassProbabilities result;
    result.reserve(probabilities_.size());
    for (std::size_t i = 0; i < probabilities_.size(); ++i) result.emplace(classes_[i], probabilities_[i]);
    return result;
}

Label SGBTClassifier::most_probable() const {
    // Ascending labels, strictly greater wins: ties go to the smaller label.
    Label best = 0;
    double best_p = -1.0;
    for (std::size_t i = 0; i < probabilities_.size(); ++i) {
        if (probabilities_[i] > best_p) {
            best_p = probabilities_[i];
            best = classes_[i];
        }
    }
    return best;
}

ClassProbabilities SGBTClassifier::predict_proba_one(const FeatureMap& x) {
    compute_probabilities(x);
    return probability_map();
}

Label SGBTClassifier::predict_one(const FeatureMap& x) {
    compute_probabilities(x);
    return most_probable();
}

void SGBTClassifier::learn_many(const RowSource& rows, const Label* y) { run_rows(rows, y, {false, true}, nullptr, nullptr); }

void SGBTClassifier::predict_many(const RowSource& rows, Label* out) { run_rows(rows, nullptr, {true, false}, out, nullptr); }

void SGBTClassifier::predict_proba_many(const RowSource& rows, ClassProbabilities* out) {
    run_rows(rows, nullptr, {true, false}, nullptr, out);
}

void SGBTClassifier::test_then_train_many(const RowSource& rows, const Label* y, Label* out) {
    run_rows(rows, y, {true, true}, out, nullptr);
}

void SGBTClassifier::run_rows(const RowSource& rows, const Label* y, RowWork work, Label* labels,
                              ClassProbabilities* probas) {
    RowCursor cursor(rows);
    std::size_t row = 0;
    const auto next_row = [&] {
        const FeatureMap& x = cursor.at(row);
        if (labels) labels[row] = predict_one(x);
        if (probas) probas[row] = predict_proba_one(x);
        if (work.learn) learn_one(x, y[row]);
        ++row;
    };
    if (threads.count(static_cast<std::size_t>(std::max(n_models, 1))) <= 1) {
        while (row < rows.size()) next_row();
        return;
    }
    // Rows whose learning adds no class, once the boosters answer and are built, run on threads:
    // learning such a row is loading it and training each booster, as learn_one does.
    const auto known = [&](std::size_t r) {
        return !work.learn || std::binary_search(classes_.begin(), classes_.end(), y[r]);
    };
    const auto ready = [&] {
        if (classes_.size() < 2 || !boosters_answer()) return false;
        for (const auto& booster : boosters_)
            if (!booster->initialised()) return false;
        return true;
    };
    restore_on_failure(*this, work.learn, [&] {
        std::vector<double> targets, raw;
        std::vector<GradientBooster*> boosters;
        while (row < rows.size()) {
            if (!known(row) || !ready()) {
                next_row();
                continue;
            }
            boosters.clear();
            std::size_t steps = 0;
            for (const auto& booster : boosters_) {
                boosters.push_back(booster.get());
                steps = std::max(steps, booster->n_steps());
            }
            const std::size_t stages = threads.count(steps);
            std::size_t end = row;
            while (end < rows.size() && known(end)) ++end;
            if (stages <= 1) {
                while (row < end) next_row();
                continue;
            }
            const std::size_t n = boosters.size();
            if (work.learn) {
                targets.resize(rows.size() * n);
                for (std::size_t r = row; r < end; ++r) {
                    const auto position = static_cast<std::size_t>(
                        std::lower_bound(classes_.begin(), classes_.end(), y[r]) - classes_.begin());
                    for (std::size_t k = 0; k < n; ++k) targets[r * n + k] = booster_target(k, y[r], position);
                }
            }
            if (work.predict) raw.resize(rows.size() * n);
            if (work.learn) shared_budget_.keep(max_bytes, boosters_.data(), boosters_.size());  // as learn_one does
            run_boosters_on_threads(boosters, threads, stages, columns_, rows, row, end, work, targets.data(),
                                    raw.data());
            for (; work.predict && row < end; ++row) {
                probabilities_from(&raw[row * n], true);
                if (labels) labels[row] = most_probable();
                if (probas) probas[row] = probability_map();
            }
            row = end;
        }
    });
}

void SGBTClassifier::reset() {
    classes_.clear();
    boosters_.clear();
    columns_ = std::make_shared<SampleColumns>();
}

// ---- Persistence --------------------------------------------------------------------------------

void GradientBooster::save_state(StateWriter& out) const {
    save_options(out, options_);
    out.rng(rng_);
    out.boolean(initialised_);
    out.seq(feature_lists_, [&](StateWriter&, const FeatureSubset& subset) { subset.save_state(out); });
    out.seq(trees_, [&](StateWriter&, const std::unique_ptr<FIMTDDRegressor>& tree) { tree->save_tree(out); });
}

void GradientBooster::load_state(StateReader& in) {
    load_options(in, options_);
    bag_size_ = static_cast<std::size_t>(std::max(options_.bag_size, 1));
    mean_leaves_ = options_.leaf_prediction == "mean";
    in.rng(rng_);
    initialised_ = in.boolean();
    in.seq(feature_lists_, [&](StateReader&, FeatureSubset& subset) { subset.load_state(in, columns_->index()); });
    in.seq(trees_, [&](StateReader&, std::unique_ptr<FIMTDDRegressor>& tree) {
        tree = std::make_unique<FIMTDDRegressor>();
        tree->load_tree(in, columns_);
        check_member_tree(in, *tree);
    });
    // Steps and trees are indexed together: bag_size_ trees per step, built all at once.
    if (trees_.size() != feature_lists_.size() * bag_size_ || initialised_ == feature_lists_.empty()) {
        in.fail("a booster's steps do not match its trees");
    }
    tree_list_.clear();
    for (const auto& tree : trees_) tree_list_.push_back(tree.get());
    ++trees_version_;
}

void SGBRRegressor::save_state(StateWriter& out) const {
    SavedRegressorOptions::save(out, *this);
    columns_->save_state(out);
    out.boolean(booster_ != nullptr);
    if (booster_) booster_->save_state(out);
    BudgetShare::save(out, max_bytes, &booster_, booster_ ? 1 : 0);
}

void SGBRRegressor::load_state(StateReader& in) {
    SavedRegressorOptions::load(in, *this);
    auto columns = std::make_shared<SampleColumns>();
    columns->load_state(in);
    std::unique_ptr<GradientBooster> booster;
    if (in.boolean()) {
        booster = std::make_unique<GradientBooster>(BoosterOptions(), columns);
        booster->load_state(in);
        check_booster_options(in, booster->options(), booster_options());
    }
    std::optional<std::int64_t> budget;
    BudgetShare::load(in, budget, &booster, booster ? 1 : 0);
    booster_ = std::move(booster);
    columns_ = std::move(columns);
    max_bytes = budget;
    shared_budget_.boosters_changed();
}

void SGBTClassifier::save_state(StateWriter& out) const {
    SavedClassifierOptions::save(out, *this);
    out.seq(classes_, [&](StateWriter&, Label label) { out.i32(label); });
    out.boolean(boosters_two_class_);
    columns_->save_state(out);
    out.seq(boosters_, [&](StateWriter&, const std::unique_ptr<GradientBooster>& booster) { booster->save_state(out); });
    BudgetShare::save(out, max_bytes, boosters_.data(), boosters_.size());
}

void SGBTClassifier::load_state(StateReader& in) {
    SavedClassifierOptions::load(in, *this);
    in.seq(classes_, [&](StateReader&, Label& label) { label = in.i32(); });
    for (std::size_t i = 1; i < classes_.size(); ++i) {
        if (!(classes_[i - 1] < classes_[i])) in.fail("classes out of order");
    }
    boosters_two_class_ = in.boolean();
    auto columns = std::make_shared<SampleColumns>();
    columns->load_state(in);
    in.seq(boosters_, [&](StateReader&, std::unique_ptr<GradientBooster>& booster) {
        booster = std::make_unique<GradientBooster>(BoosterOptions(), columns);
        booster->load_state(in);
        check_booster_options(in, booster->options(), *this);
    });
    // learn_one indexes the boosters by class position unless they are the two-class one.
    if (boosters_.size() > (boosters_two_class_ ? std::size_t{1} : classes_.size())) {
        in.fail("more boosters than classes");
    }
    BudgetShare::load(in, max_bytes, boosters_.data(), boosters_.size());
    columns_ = std::move(columns);
    shared_budget_.boosters_changed();
}

}  // namespace quelb
