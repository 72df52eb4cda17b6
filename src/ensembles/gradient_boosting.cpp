#include "ensembles/gradient_boosting.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
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

void GradientBooster::train_loaded(double target) {
    if (options_.skip_training >= 2 &&
        rng_.uniform_int(0, static_cast<std::uint32_t>(options_.skip_training - 1)) == 0) {
        return;
    }
    if (!initialised_) build_steps();
    // A step's trees only test the step's features, so the whole sample routes them as the step's
    // projection does: the leaves every tree's first learning walk reaches are found together,
    // with the walks' memory reads overlapping, before the trees learn one after another. A
    // prediction for this very sample since the trees last learned has found them already.
    if (walks_version_ != trees_version_ || walks_content_ != columns_->content_version()) {
        columns_->show_all();
        FIMTDDRegressor::find_leaves_together(tree_list_.data(), tree_list_.size(), walks_);
    }
    ++trees_version_;
    // Every tree's Poisson weight, drawn in the order the trees learn: knowing which trees will
    // learn lets the memory fetch their leaves ahead.
    const std::size_t n_trees = tree_list_.size();
    draws_.assign(n_trees, 1);
    if (bag_size_ >= 2) {
        const PoissonDraw poisson(1.0);
        for (std::int64_t& draw : draws_) draw = poisson(rng_);
    }
    double f = 0.0;
    for (std::size_t m = 0; m < feature_lists_.size(); ++m) {
        double gradient, hessian;
        if (options_.use_squared_loss) {
            gradient = target - f;
            hessian = 1.0;
        } else {
            const double p = sigmoid(f);
            gradient = target - p;
            hessian = std::max(p * (1.0 - p), kMinHessian);
        }
        feature_lists_[m].project(*columns_);
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
            if (t + 3 < n_trees) FIMTDDRegressor::prefetch_leaf(walks_, t + 3, Fetch::leaf);
            if (t + 2 < n_trees && draws_[t + 2] > 0) FIMTDDRegressor::prefetch_leaf(walks_, t + 2, Fetch::leaf_state);
            if (t + 1 < n_trees && draws_[t + 1] > 0) FIMTDDRegressor::prefetch_leaf(walks_, t + 1, Fetch::value_trees);
            total += trees_[t]->learn_then_predict_loaded(newton_target, draws_[t] * repeats, walks_, t);
        }
        f += options_.learning_rate * (total / static_cast<double>(bag_size_));
    }
}

double GradientBooster::raw_output_loaded() {
    if (!initialised_) return 0.0;
    double sum = 0.0;
    if (mean_leaves_) {
        // Leaf means read no feature values, and a step's trees only ever test the step's features,
        // so the whole sample routes them as the step's projection does: all walks go side by side.
        columns_->show_all();
        answers_.resize(tree_list_.size());
        FIMTDDRegressor::predict_means_together(tree_list_.data(), tree_list_.size(), walks_, answers_.data());
        walks_version_ = trees_version_;
        walks_content_ = columns_->content_version();
        for (std::size_t m = 0; m < feature_lists_.size(); ++m) {
            double total = 0.0;
            for (std::size_t j = 0; j < bag_size_; ++j) total += answers_[m * bag_size_ + j];
            sum += total / static_cast<double>(bag_size_);
        }
        return sum;
    }
    for (std::size_t m = 0; m < feature_lists_.size(); ++m) {
        feature_lists_[m].project(*columns_);
        double total = 0.0;
        for (std::size_t j = 0; j < bag_size_; ++j) total += trees_[m * bag_size_ + j]->predict_loaded();
        sum += total / static_cast<double>(bag_size_);
    }
    return sum;
}

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
    if (two_class) {
        boosters_[0]->train_loaded(y == classes_[0] ? 1.0 : 0.0);
    } else {
        for (std::size_t i = 0; i < boosters_.size(); ++i) boosters_[i]->train_loaded(i == position ? 0.0 : 1.0);
    }
}

double SGBTClassifier::score(GradientBooster& booster) {
    const double s = booster.raw_output_loaded();
    return scale_prediction_by_lr ? s * booster.options().learning_rate : s;
}

void SGBTClassifier::compute_probabilities(const FeatureMap& x) {
    probabilities_.clear();
    if (classes_.size() <= 1) {
        if (!classes_.empty()) probabilities_.push_back(1.0);
        return;
    }
    const bool two_class = n_classes == 2;
    // Boosters built for the other mode do not answer this one.
    const bool usable =
        boosters_two_class_ == two_class && boosters_.size() == (two_class ? std::size_t{1} : classes_.size());
    if (two_class) {
        if (!usable) return;
        columns_->load(x, false);
        const double p = sigmoid(score(*boosters_[0]));
        probabilities_.push_back(p);
        probabilities_.push_back(1.0 - p);
        return;
    }
    // Class i gets q_i / sum(q) with q_i = 1 - sigmoid(s_i) = e^(-softplus(s_i)): normalised in
    // log space, so boosters whose scores saturate the sigmoid (q rounding to 0 for every class)
    // still rank the classes.
    if (usable) columns_->load(x, false);
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        probabilities_.push_back(-softplus(usable ? score(*boosters_[i]) : 0.0));
    }
    normalize_log_scores(probabilities_);
}

ClassProbabilities SGBTClassifier::predict_proba_one(const FeatureMap& x) {
    compute_probabilities(x);
    ClassProbabilities result;
    result.reserve(probabilities_.size());
    for (std::size_t i = 0; i < probabilities_.size(); ++i) result.emplace(classes_[i], probabilities_[i]);
    return result;
}

Label SGBTClassifier::predict_one(const FeatureMap& x) {
    compute_probabilities(x);
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
