#include "trees/fimtdd_regressor.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/hoeffding.hpp"
#include "core/state.hpp"
#include "trees/split_candidates.hpp"
#include "trees/tree_links.hpp"

namespace quelb {

namespace {

// Fewest samples a split may leave on either side of its threshold.
constexpr double kMinSamplesPerSide = 5.0;
// Keeps the ratio of faded errors finite when either is 0.
constexpr double kFadedErrorFloor = 1e-12;

double square(double v) { return v * v; }

}  // namespace

// ---- Running sums -------------------------------------------------------------------------------

const FIMTDDRegressor::LeafState FIMTDDRegressor::kBlankLeafState{};

const FIMTDDRegressor::LeafState& FIMTDDRegressor::state_of(const Node& leaf) {
    return leaf.leaf ? *leaf.leaf : kBlankLeafState;
}

FIMTDDRegressor::LeafState& FIMTDDRegressor::state_for(Node& leaf) {
    if (!leaf.leaf) leaf.leaf = std::make_unique<LeafState>();
    return *leaf.leaf;
}

// ---- Construction -------------------------------------------------------------------------------

ModelLeafMode parse_model_leaf_mode(std::string_view text) {
    if (text == "mean") return ModelLeafMode::mean;
    return text == "perceptron" ? ModelLeafMode::perceptron : ModelLeafMode::adaptive;
}

FIMTDDRegressor::FIMTDDRegressor(const Options& options)
    : Options(options), rng_(static_cast<std::uint32_t>(seed)) {
    check_options(static_cast<const Options&>(*this));
}

namespace {

// Frees a subtree without recursion: a deep tree must not exhaust the stack.
template <class Node>
void dismantle(std::unique_ptr<Node> top) {
    std::vector<std::unique_ptr<Node>> pending;
    if (top) pending.push_back(std::move(top));
    while (!pending.empty()) {
        std::unique_ptr<Node> node = std::move(pending.back());
        pending.pop_back();
        if (node->left) pending.push_back(std::move(node->left));
        if (node->right) pending.push_back(std::move(node->right));
        if (node->alternate) pending.push_back(std::move(node->alternate));
    }
}

}  // namespace

FIMTDDRegressor::~FIMTDDRegressor() { dismantle(std::move(root_)); }

template <class NodePtr, class Visit>
void FIMTDDRegressor::visit_preorder(NodePtr top, Visit&& visit) {
    // Trees grown on sorted values are as deep as long.
    std::vector<NodePtr> pending;
    if (top) pending.push_back(top);
    while (!pending.empty()) {
        NodePtr node = pending.back();
        pending.pop_back();
        visit(node);
        if (node->alternate) pending.push_back(node->alternate.get());
        if (node->left) {
            pending.push_back(node->right.get());
            pending.push_back(node->left.get());
        }
    }
}

void FIMTDDRegressor::reset() {
    // The generator keeps its state: owners that want a tree drawing from a seed again
    // construct a new one.
    dismantle(std::move(root_));
    budget_.reset();
    touched_leaf_ = nullptr;
    target_sums_ = Moments{};
    feature_sums_.clear();
    split_count_ = 0;
    alarm_count_ = 0;
    alternate_wins_ = 0;
}

// ---- Prediction ---------------------------------------------------------------------------------

void FIMTDDRegressor::prepare_target_scale() {
    target_scale_.spread = target_sums_.count > 1.0 && target_sums_.variance() > 0.0;
    if (target_scale_.spread) {
        target_scale_.mean = target_sums_.mean();
        target_scale_.sd = std::sqrt(target_sums_.variance());
    }
}

void FIMTDDRegressor::prepare_inputs() {
    const IndexedSample& entries = features_->entries();
    inputs_.resize(entries.size());
    const std::size_t n_sums = feature_sums_.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const FeatureIndex::Entry& e = entries[i];
        Input& in = inputs_[i];
        in.column = e.column;
        in.value = e.value;
        in.normalised = 0.0;
        in.usable = false;
        double mean, three_sd;
        if (e.column < n_sums && feature_sums_[e.column].normaliser(mean, three_sd)) {
            in.normalised = (e.value - mean) / three_sd;
            in.usable = true;
        }
    }
}

FIMTDDRegressor::Node* FIMTDDRegressor::sort_to_leaf(Node* node, int& depth) const {
    while (!node->is_leaf) {
        node = node->child_for(features_->value_or_zero(node->split_column));
        ++depth;
    }
    return node;
}

void FIMTDDRegressor::sort_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& walks) {
    std::vector<Node*>& leaves = walks.leaves_;
    leaves.resize(n);
    for (std::size_t i = 0; i < n; ++i) leaves[i] = trees[i]->root_.get();
    bool moved = true;
    while (moved) {
        moved = false;
        for (std::size_t i = 0; i < n; ++i) {
            Node* node = leaves[i];
            if (node == nullptr || node->is_leaf) continue;
            leaves[i] = node->child_for(trees[i]->features_->value_or_zero(node->split_column));
            moved = true;
        }
    }
}

void FIMTDDRegressor::predict_means_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& walks,
                                             double* answers) {
    sort_together(trees, n, walks);
    for (std::size_t i = 0; i < n; ++i) {
        const Node* leaf = walks.leaves_[i];
        answers[i] = leaf ? trees[i]->mean_prediction(*leaf) : 0.0;
    }
}

double FIMTDDRegressor::target_mean() const {
    return target_sums_.count > 0.0 ? target_sums_.mean() : 0.0;
}

double FIMTDDRegressor::mean_prediction(const Node& leaf) const {
    if (leaf.targets.count > 0.0) return leaf.targets.sum / leaf.targets.count;
    return target_mean();
}

double FIMTDDRegressor::perceptron_prediction(const LeafState& state) const {
    if (!state.perceptron_ready) return 0.0;
    double s = state.bias;
    for (const Input& in : inputs_) {
        if (in.usable && in.column < state.weights.size()) s += in.normalised * state.weights[in.column];
    }
    return target_scale_.spread ? target_scale_.mean + s * 3.0 * target_scale_.sd : target_mean();
}

double FIMTDDRegressor::clamped_perceptron_prediction(const LeafState& state) const {
    const double p = perceptron_prediction(state);
    return state.has_range ? std::clamp(p, state.y_min, state.y_max) : p;
}

double FIMTDDRegressor::predict_from(Node* node, LeafMode mode) {
    int depth = 0;
    const Node& leaf = *sort_to_leaf(node, depth);
    answer_.leaf = &leaf;
    switch (mode) {
        case LeafMode::mean:
            return mean_prediction(leaf);
        case LeafMode::perceptron: {
            const LeafState& state = state_of(leaf);
            const double p = perceptron_prediction(state);
            answer_.mean = mean_prediction(leaf);
            answer_.perceptron = state.has_range ? std::clamp(p, state.y_min, state.y_max) : p;
            return p;
        }
        case LeafMode::adaptive:
            break;
    }
    answer_.mean = mean_prediction(leaf);
    const LeafState& state = state_of(leaf);
    answer_.perceptron = clamped_perceptron_prediction(state);
    return state.mean_sq_error > state.perceptron_sq_error ? answer_.perceptron : answer_.mean;
}

std::size_t FIMTDDRegressor::heap_bytes() const {
    std::size_t bytes = memory::owned_all(feature_sums_, inputs_, ebst_stack_, ebst_touches_);
    visit_preorder(root_.get(), [&](const Node* node) {
        bytes += memory::block(sizeof(Node));
        if (node->leaf) {
            const LeafState& leaf = *node->leaf;
            bytes += memory::block(sizeof(LeafState)) + memory::owned_all(leaf.trees.roots, leaf.trees.nodes, leaf.weights);
        }
    });
    return bytes;
}

TreeDescription FIMTDDRegressor::describe() const {
    TreeDescription description;
    if (!root_) {
        TreeDescription::Node empty;
        empty.answer_mode = "mean";
        description.add(std::move(empty));
        return description;
    }
    // Without recursion: each node is added, then its parent's link to it is set.
    enum Link { left, right, alternate };
    struct Pending {
        const Node* node;
        std::int32_t parent;  // TreeDescription::kNone for the root
        Link link;
    };
    std::vector<Pending> pending{{root_.get(), TreeDescription::kNone, left}};
    while (!pending.empty()) {
        const Pending at = pending.back();
        const Node* node = at.node;
        pending.pop_back();
        TreeDescription::Node out;
        out.is_leaf = node->is_leaf;
        if (node->is_leaf) {
            const LeafState& state = state_of(*node);
            const LeafMode mode = leaf_prediction.mode();
            const bool perceptron = mode == LeafMode::perceptron ||
                                    (mode == LeafMode::adaptive && state.mean_sq_error > state.perceptron_sq_error);
            out.answer_mode = perceptron ? "perceptron" : "mean";
            out.samples_seen = node->targets.count;
            out.value = mean_prediction(*node);
            out.has_moments = true;
            out.mean = out.value;
            out.variance = node->targets.count > 0.0 ? node->targets.variance() : 0.0;
        } else {
            out.feature = features_->index().name(node->split_column);
            out.threshold = node->split_threshold;
        }
        const std::int32_t index = description.add(std::move(out));
        if (at.parent != TreeDescription::kNone) {
            TreeDescription::Node& p = description.nodes[static_cast<std::size_t>(at.parent)];
            (at.link == left ? p.left : at.link == right ? p.right : p.alternate) = index;
        }
        if (node->alternate) pending.push_back({node->alternate.get(), index, alternate});
        if (!node->is_leaf) {
            pending.push_back({node->right.get(), index, right});
            pending.push_back({node->left.get(), index, left});
        }
    }
    description.finish();
    return description;
}

double FIMTDDRegressor::predict_one(const FeatureMap& x) {
    if (!root_) return 0.0;
    features_->load(x, false);
    return predict_loaded();
}

double FIMTDDRegressor::predict_loaded() { return predict_loaded_from(root_.get()); }

double FIMTDDRegressor::predict_loaded_from(Node* start) {
    if (!root_) return 0.0;
    const LeafMode mode = leaf_prediction.mode();
    if (mode != LeafMode::mean) {
        prepare_target_scale();
        prepare_inputs();
    }
    return predict_from(start, mode);
}

// ---- Learning -----------------------------------------------------------------------------------

void FIMTDDRegressor::learn_one(const FeatureMap& x, double y) {
    features_->load(x, true);
    learn_loaded(y);
}

void FIMTDDRegressor::learn_loaded(double y) { learn_one(y, false, false, nullptr); }

void FIMTDDRegressor::learn_repeated_loaded(double y, std::int64_t times) { learn_repeated_from(y, times, nullptr); }

void FIMTDDRegressor::learn_repeated_from(double y, std::int64_t times, Node* leaf) {
    // Only the first step may start at the leaf found before: learning may split it.
    for (std::int64_t i = 0; i < times; ++i) learn_one(y, i > 0, i + 1 < times, i == 0 ? leaf : nullptr);
}

void FIMTDDRegressor::learn_one(double y, bool repeat, bool record, Node* leaf) {
    if (!root_) root_ = std::make_unique<Node>();
    target_sums_.add(y);
    prepare_target_scale();
    if (feature_sums_.size() < features_->index().size()) feature_sums_.resize(features_->index().size());
    for (const auto& e : features_->entries()) feature_sums_[e.column].add(e.value);

    const LeafMode mode = leaf_prediction.mode();
    if (mode != LeafMode::mean) prepare_inputs();
    // The prediction's walk reaches the leaf the learning walk will, found before or not.
    const double prediction = predict_from(leaf ? leaf : root_.get(), mode);
    double normalised_y = 0.0, normalised_prediction = 0.0;
    if (target_scale_.spread) {
        const double three_sd = 3.0 * target_scale_.sd;
        normalised_y = (y - target_scale_.mean) / three_sd;
        normalised_prediction = (prediction - target_scale_.mean) / three_sd;
    }
    const double error = std::fabs(normalised_y - normalised_prediction);
    learn_from(root_.get(), 0, false,
               Step{y, normalised_y, prediction, error, mode, answer_.leaf, answer_.mean, answer_.perceptron,
                    alternate_wins_, repeat, record});
    if (budget_.tick(max_bytes.has_value())) enforce_budget();
}

double FIMTDDRegressor::learn_then_predict_loaded(double y, std::int64_t times) {
    return learn_then_predict_from(y, times, nullptr);
}

double FIMTDDRegressor::learn_then_predict_loaded(double y, std::int64_t times, const SideBySide& found,
                                                  std::size_t i) {
    return learn_then_predict_from(y, times, found.leaves_[i]);
}

void FIMTDDRegressor::prefetch_leaf(const SideBySide& found, std::size_t i, Fetch what) {
    const auto lines = [](const void* p, int count) {
        for (int k = 0; k < count; ++k) __builtin_prefetch(static_cast<const char*>(p) + 64 * k);
    };
    const Node* leaf = found.leaves_[i];
    if (leaf == nullptr) return;
    if (what == Fetch::leaf) {
        lines(leaf, 2);
    } else if (!leaf->leaf) {
        return;
    } else if (what == Fetch::leaf_state) {
        lines(leaf->leaf.get(), 3);
    } else {
        const LeafTrees& trees = leaf->leaf->trees;
        if (!trees.roots.empty()) lines(trees.roots.data(), 1);
        if (!trees.nodes.empty()) lines(trees.nodes.data(), 4);
    }
}

void FIMTDDRegressor::find_leaves_together(FIMTDDRegressor* const* trees, std::size_t n, SideBySide& found) {
    sort_together(trees, n, found);
}

double FIMTDDRegressor::learn_then_predict_from(double y, std::int64_t times, Node* leaf) {
    if (times <= 0) return leaf ? predict_loaded_from(leaf) : predict_loaded();
    learn_repeated_from(y, times, leaf);
    // The path from the root to that leaf is what learning left it, and the leaf is where a walk
    // from the root would arrive, or its parent if it just split. The inputs are still those of
    // the current sums.
    return predict_from(last_leaf_, leaf_prediction.mode());
}

void FIMTDDRegressor::learn_from(Node* node, int depth, bool alternate_mode, const Step& step) {
    bool allow_split = true;
    while (!node->is_leaf) {
        node->error_sum += step.error;
        node->error_count += 1.0;
        if (!alternate_mode && node->alternate) {
            bool alternate_learns = false;
            // A promoted alternate is visited afresh: it may be a leaf now.
            if (compare_alternate(*node, step, alternate_learns)) continue;
            if (alternate_learns) {
                learn_from(node->alternate.get(), depth, true, step);
                // The subtree being challenged does not grow while its rival learns.
                allow_split = false;
            }
        }
        if (drift_detection && node->ph_enabled && !alternate_mode) test_for_change(*node, step.error);
        node = node->child_for(features_->value_or_zero(node->split_column));
        ++depth;
    }
    if (!alternate_mode) last_leaf_ = node;
    learn_at_leaf(*node, depth, allow_split, !alternate_mode, step);
}

namespace {

template <class Node>
void restart_page_hinkley(Node& node) {
    node.ph_enabled = true;
    node.ph_sum = 0.0;
    node.ph_started = false;
}

}  // namespace

bool FIMTDDRegressor::compare_alternate(Node& node, const Step& step, bool& alternate_learns) {
    const double alternate_prediction = predict_from(node.alternate.get(), step.mode);
    node.alt_seen += 1.0;
    node.orig_faded_error = node.orig_faded_error * alternate_tree_fading_factor + square(step.y - step.prediction);
    node.alt_faded_error = node.alt_faded_error * alternate_tree_fading_factor + square(step.y - alternate_prediction);
    alternate_learns = true;
    if (node.alt_seen - node.alt_last_check >= alternate_tree_t_min) {
        node.alt_last_check = node.alt_seen;
        if (std::log((node.orig_faded_error + kFadedErrorFloor) / (node.alt_faded_error + kFadedErrorFloor)) > 0.0) {
            // The alternate takes the node's place with all its content and children.
            std::unique_ptr<Node> alternate = std::move(node.alternate);
            discard(std::move(node.left));
            discard(std::move(node.right));
            node = std::move(*alternate);
            restart_page_hinkley(node);
            ++alternate_wins_;
            return true;
        }
        if (node.alt_seen >= alternate_tree_time) {
            discard(std::move(node.alternate));
            restart_page_hinkley(node);
            alternate_learns = false;
        }
    }
    return false;
}

void FIMTDDRegressor::test_for_change(Node& node, double error) {
    node.ph_sum += error - node.error_sum / node.error_count - page_hinckley_alpha;
    // The running minimum, starting at the first sum; selected rather than branched on, as
    // whether the sum falls below it is data.
    const double min_before = node.ph_started ? node.ph_min : node.ph_sum;
    node.ph_started = true;
    node.ph_min = node.ph_sum < min_before ? node.ph_sum : min_before;
    if (node.ph_sum - node.ph_min > page_hinckley_threshold) start_alternate(node);
}

void FIMTDDRegressor::start_alternate(Node& node) {
    node.alternate = std::make_unique<Node>();
    node.alt_seen = node.orig_faded_error = node.alt_faded_error = node.alt_last_check = 0.0;
    node.ph_enabled = false;
    ++alarm_count_;
}

void FIMTDDRegressor::learn_at_leaf(Node& leaf, int depth, bool allow_split, bool main_tree, const Step& step) {
    const double y = step.y;
    LeafState& state = state_for(leaf);
    if (step.mode != LeafMode::mean) {
        // The prediction came from this very leaf, unchanged since, unless an alternate took a
        // subtree's place on the way.
        const bool answered = &leaf == step.answered_leaf && alternate_wins_ == step.alternate_wins;
        state.mean_sq_error += square((answered ? step.leaf_mean : mean_prediction(leaf)) - y);
        state.perceptron_sq_error += square((answered ? step.leaf_perceptron : clamped_perceptron_prediction(state)) - y);
    }
    if (!state.has_range) {
        state.y_min = state.y_max = y;
        state.has_range = true;
    } else {
        state.y_min = std::min(state.y_min, y);
        state.y_max = std::max(state.y_max, y);
    }
    leaf.targets.add(y);
    if (step.mode != LeafMode::mean) update_perceptron(state, step.normalised_y);

    // A leaf at the depth limit never splits: its E-BSTs would never be read.
    if (depth >= max_depth) return;
    if (!leaf.active) {
        // The budget took its E-BSTs: no splits until it collects again.
        if (main_tree) touched_leaf_ = nullptr;
        return;
    }
    if (main_tree) {
        // The same value and target inserted again at the same leaf follow the same paths and
        // add to the same sums (a value first placed last time now has its own node).
        if (step.repeat && &leaf == touched_leaf_ && alternate_wins_ == touched_wins_) {
            for (const std::uint32_t node : ebst_touches_) state.trees.nodes[node].le.add(y);
        } else {
            insert_into_ebsts(state.trees, y, step.record);
            touched_leaf_ = step.record ? &leaf : nullptr;
            touched_wins_ = alternate_wins_;
        }
    } else {
        insert_into_ebsts(state.trees, y, false);
    }
    if (allow_split && leaf.targets.count - state.last_split_check >= grace_period) {
        state.last_split_check = leaf.targets.count;
        // A split drops the leaf's state.
        attempt_split(leaf, step.mode);
        if (!leaf.is_leaf && touched_leaf_ == &leaf) touched_leaf_ = nullptr;
    }
}

void FIMTDDRegressor::insert_into_ebsts(LeafTrees& trees, double y, bool record) {
    if (trees.roots.size() < features_->index().size()) trees.roots.resize(features_->index().size(), kNoChild);
    // The first sample gives every tree its root: room for those at once.
    if (trees.nodes.capacity() == 0) trees.nodes.reserve(features_->entries().size());
    if (record) ebst_touches_.clear();
    for (const auto& e : features_->entries()) {
        // A NaN has no place in the ordering; like a missing value it counts on the right.
        if (std::isnan(e.value)) continue;
        trees.insert(e.column, e.value, y, record ? &ebst_touches_ : nullptr);
    }
}

void FIMTDDRegressor::update_perceptron(LeafState& leaf, double normalised_y) {
    if (leaf.weights.size() < features_->index().size()) leaf.weights.resize(features_->index().size(), 0.0);
    if (!leaf.perceptron_ready) {
        for (const Input& in : inputs_) leaf.weights[in.column] = 2.0 * rng_.uniform() - 1.0;
        leaf.bias = 2.0 * rng_.uniform() - 1.0;
        leaf.perceptron_ready = true;
    }
    leaf.perceptron_updates += 1.0;
    double rate = learning_ratio;
    if (!learning_ratio_const) rate /= 1.0 + leaf.perceptron_updates * learning_rate_decay;
    double s = leaf.bias;
    for (const Input& in : inputs_) s += in.normalised * leaf.weights[in.column];
    const double delta = rate * (normalised_y - s);
    for (const Input& in : inputs_) leaf.weights[in.column] += delta * in.normalised;
    leaf.bias += delta;
}

// ---- Memory budget ------------------------------------------------------------------------------

std::vector<FIMTDDRegressor::Node*> FIMTDDRegressor::leaves() const {
    std::vector<Node*> found;
    visit_preorder(root_.get(), [&](Node* node) {
        if (node->is_leaf) found.push_back(node);
    });
    return found;
}

void FIMTDDRegressor::discard(std::unique_ptr<Node> subtree) {
    if (budget_.n_inactive() != 0) {
        std::size_t inactive = 0;
        visit_preorder(subtree.get(), [&](const Node* node) { inactive += node->is_leaf && !node->active; });
        budget_.forget(inactive);
    }
    dismantle(std::move(subtree));
}

std::size_t FIMTDDRegressor::LeafTrees::budget_bytes() const {
    return memory::block(roots.size() * sizeof(std::uint32_t)) +
           memory::block(grown_capacity(nodes.size()) * sizeof(EbstNode));
}

std::size_t FIMTDDRegressor::budget_bytes() const {
    std::size_t bytes = sizeof(*this) + memory::block(feature_sums_.size() * sizeof(Moments));
    visit_preorder(root_.get(), [&](const Node* node) {
        bytes += memory::block(sizeof(Node));
        if (!node->is_leaf) return;
        // A leaf no sample has reached yet gets its state when one does, or when restored: counted
        // as if it had it, so that a restored tree decides as the original.
        bytes += memory::block(sizeof(LeafState));
        if (!node->leaf) return;
        const LeafState& leaf = *node->leaf;
        bytes += leaf.trees.budget_bytes() + memory::block(leaf.weights.size() * sizeof(double));
    });
    return bytes;
}

void FIMTDDRegressor::enforce_budget() {
    const std::size_t n_columns = features_->index().size();
    std::vector<Node*> found = leaves();
    // The squared error of its mean answer, summed over its samples.
    const auto promise = [](const Node* leaf) { return leaf->targets.deviations(); };
    const auto drop = [this](Node* leaf) -> std::size_t {
        if (touched_leaf_ == leaf) touched_leaf_ = nullptr;
        if (!leaf->leaf) return 0;
        const std::size_t freed = leaf->leaf->trees.budget_bytes();
        leaf->leaf->trees = LeafTrees{};
        return freed;
    };
    // E-BSTs grow with every distinct value: a woken leaf is expected to reach what one grace
    // period of new values takes before it may split.
    const std::size_t values = n_columns * static_cast<std::size_t>(std::max(grace_period, 1));
    const auto wake = [n_columns, values](const Node*) {
        return memory::block(n_columns * sizeof(std::uint32_t)) +
               memory::block(grown_capacity(values) * sizeof(EbstNode));
    };
    budget_.enforce(found, max_bytes, budget_bytes(), promise, drop, wake);
}

void FIMTDDRegressor::save_budget(StateWriter& out) const { budget_.save_state(out, max_bytes, leaves()); }

void FIMTDDRegressor::load_budget(StateReader& in) {
    std::vector<Node*> found = leaves();
    budget_.load_state(in, max_bytes, found, [](const Node* leaf) {
        return !leaf->leaf || (leaf->leaf->trees.roots.empty() && leaf->leaf->trees.nodes.empty());
    });
}

// ---- Splits -------------------------------------------------------------------------------------

void FIMTDDRegressor::LeafTrees::insert(std::uint32_t column, double value, double y,
                                        std::vector<std::uint32_t>* touched) {
    std::uint32_t* slot = &roots[column];
    while (*slot != kNoChild) {
        EbstNode& node = nodes[*slot];
        if (value <= node.key) {
            node.le.add(y);
            if (touched) touched->push_back(*slot);
            if (value == node.key) return;
            slot = &node.left;
        } else {
            slot = &node.right;
        }
    }
    const auto created = static_cast<std::uint32_t>(nodes.size());
    *slot = created;  // before the node array may move
    nodes.emplace_back(EbstNode{value, kNoChild, kNoChild, Moments{}}).le.add(y);
    if (touched) touched->push_back(created);
}

double FIMTDDRegressor::best_ebst_split(const LeafTrees& trees, std::uint32_t column, const Moments& total,
                                        double& threshold) {
    double best = -1.0;
    std::uint32_t at = trees.roots[column];
    if (at == kNoChild) return best;
    const double n = total.count;
    const double sd_total = total.std_dev();
    // In-order walk: the left subtree of a node carries what lies left of the node's subtree; its
    // right subtree carries everything up to and including the node's key.
    ebst_stack_.clear();
    Moments carried;
    for (;;) {
        while (at != kNoChild) {
            ebst_stack_.push_back({at, carried});
            at = trees.nodes[at].left;
        }
        if (ebst_stack_.empty()) break;
        const Carried top = ebst_stack_.back();
        ebst_stack_.pop_back();
        const EbstNode& node = trees.nodes[top.node];
        const Moments& le = node.le;
        Moments left = top.left;
        left.add(le);
        // Samples that lacked the feature are on the right.
        const Moments right = total.without(left);
        const double n_left = left.count;
        const double n_right = n - n_left;
        if (n_left >= kMinSamplesPerSide && n_right >= kMinSamplesPerSide) {
            const double sdr = sd_total - (n_left / n) * left.std_dev() - (n_right / n) * right.std_dev();
            if (sdr > best) {
                best = sdr;
                threshold = node.key;
            }
        }
        at = node.right;
        carried = left;
    }
    return best;
}

void FIMTDDRegressor::attempt_split(Node& leaf, LeafMode mode) {
    if (!leaf.leaf) return;
    const LeafTrees& trees = leaf.leaf->trees;
    const Moments& total = leaf.targets;
    struct Test {
        std::uint32_t column;
        double threshold;
    };
    SplitLeaders<Test> leaders(-1.0, -1.0);
    for (std::uint32_t column = 0; column < trees.roots.size(); ++column) {
        double threshold = 0.0;
        const double sdr = best_ebst_split(trees, column, total, threshold);
        if (sdr > 0.0) leaders.offer(sdr, {column, threshold});
    }
    const double best = leaders.best, second = leaders.second;
    if (!(best > 0.0)) return;
    if (second > 0.0) {
        const double epsilon = hoeffding_bound(1.0, split_confidence, total.count);
        if (!(second / best < 1.0 - epsilon || epsilon < tie_threshold)) return;
    }

    leaf.is_leaf = false;
    leaf.split_column = leaders.choice.column;
    leaf.split_threshold = leaders.choice.threshold;
    leaf.left = std::make_unique<Node>();
    leaf.right = std::make_unique<Node>();
    if (mode != LeafMode::mean) {
        // Children continue from their parent's perceptron.
        const LeafState& parent = *leaf.leaf;
        for (Node* child : {leaf.left.get(), leaf.right.get()}) {
            LeafState& state = state_for(*child);
            state.weights = parent.weights;
            state.bias = parent.bias;
            state.perceptron_updates = parent.perceptron_updates;
            state.perceptron_ready = parent.perceptron_ready;
        }
    }
    // An internal node keeps its target sums but no longer predicts or searches splits.
    leaf.leaf.reset();
    ++split_count_;
}

// ---- Persistence --------------------------------------------------------------------------------

void FIMTDDRegressor::LeafTrees::save_state(StateWriter& out) const {
    // Each column's nodes in creation order, which is their order in the shared array.
    std::vector<std::uint32_t> members, pending, local(nodes.size(), kNoChild);
    out.size(roots.size());
    for (const std::uint32_t root : roots) {
        members.clear();
        if (root != kNoChild) pending.push_back(root);
        while (!pending.empty()) {
            const std::uint32_t at = pending.back();
            pending.pop_back();
            members.push_back(at);
            if (nodes[at].left != kNoChild) pending.push_back(nodes[at].left);
            if (nodes[at].right != kNoChild) pending.push_back(nodes[at].right);
        }
        std::sort(members.begin(), members.end());
        for (std::uint32_t i = 0; i < members.size(); ++i) local[members[i]] = i;
        const auto local_link = [&](std::uint32_t link) { return link == kNoChild ? kNoChild : local[link]; };
        out.size(members.size());
        for (const std::uint32_t at : members) {
            out.f64(nodes[at].key);
            out.u32(local_link(nodes[at].left));
            out.u32(local_link(nodes[at].right));
        }
        for (const std::uint32_t at : members) nodes[at].le.save_state(out);
    }
}

void FIMTDDRegressor::LeafTrees::load_state(StateReader& in, std::uint32_t n_columns) {
    nodes.clear();
    const std::size_t n_trees = in.size();
    // Indexed by column, and only ever grown to the index's size.
    if (n_trees > n_columns) in.fail("a tree leaf has statistics of feature columns that do not exist");
    roots.assign(n_trees, kNoChild);
    for (std::uint32_t& root : roots) {
        const std::size_t count = in.size(16);
        const auto offset = static_cast<std::uint32_t>(nodes.size());
        if (count > kNoChild - offset) in.fail("a feature's value tree is too large");
        for (std::size_t i = 0; i < count; ++i) {
            EbstNode& node = nodes.emplace_back(EbstNode{in.f64(), kNoChild, kNoChild, Moments{}});
            node.left = in.u32();
            node.right = in.u32();
        }
        for (std::size_t i = 0; i < count; ++i) nodes[offset + i].le.load_state(in);
        // Insertions and the split search walk these links without bounds.
        check_tree_links(
            in, count,
            [&](std::size_t i, auto&& link) {
                const EbstNode& node = nodes[offset + i];
                if (node.left != kNoChild) link(node.left);
                if (node.right != kNoChild) link(node.right);
            },
            "a feature's value tree");
        for (std::size_t i = 0; i < count; ++i) {
            EbstNode& node = nodes[offset + i];
            if (node.left != kNoChild) node.left += offset;
            if (node.right != kNoChild) node.right += offset;
        }
        if (count > 0) root = offset;
    }
}

namespace {

// Flags of a saved node.
enum : std::uint8_t {
    kIsLeaf = 1,
    kPhEnabled = 2,
    kPhStarted = 4,
    kPerceptronReady = 8,
    kHasRange = 16,
    kHasChildren = 32,
    kHasAlternate = 64,
};

}  // namespace

void FIMTDDRegressor::Node::save_state(StateWriter& out) const {
    // An internal node or a leaf without state saves a blank leaf state.
    const LeafState& state = state_of(*this);
    out.u8(static_cast<std::uint8_t>((is_leaf ? kIsLeaf : 0) | (ph_enabled ? kPhEnabled : 0) |
                                     (ph_started ? kPhStarted : 0) | (state.perceptron_ready ? kPerceptronReady : 0) |
                                     (state.has_range ? kHasRange : 0) | (left ? kHasChildren : 0) |
                                     (alternate ? kHasAlternate : 0)));
    out.u32(split_column);
    out.f64(split_threshold);
    targets.save_state(out);
    out.f64(error_sum);
    out.f64(error_count);
    out.f64(ph_sum);
    out.f64(ph_min);
    out.f64(alt_seen);
    out.f64(orig_faded_error);
    out.f64(alt_faded_error);
    out.f64(alt_last_check);
    state.trees.save_state(out);
    out.f64(state.last_split_check);
    out.f64s(state.weights);
    out.f64(state.bias);
    out.f64(state.perceptron_updates);
    out.f64(state.mean_sq_error);
    out.f64(state.perceptron_sq_error);
    out.f64(state.y_min);
    out.f64(state.y_max);
}

FIMTDDRegressor::Node::Links FIMTDDRegressor::Node::load_state(StateReader& in, std::uint32_t n_columns) {
    const std::uint8_t flags = in.u8();
    if (flags >= 128) in.fail("a tree node has unknown flags");
    is_leaf = flags & kIsLeaf;
    ph_enabled = flags & kPhEnabled;
    ph_started = flags & kPhStarted;
    auto state = std::make_unique<LeafState>();
    state->perceptron_ready = flags & kPerceptronReady;
    state->has_range = flags & kHasRange;
    const Links links{(flags & kHasChildren) != 0, (flags & kHasAlternate) != 0};
    // Walks go down a test without checking for children.
    if (links.children == is_leaf) in.fail("a tree node's children do not match its kind");
    split_column = in.u32();
    if (!is_leaf && split_column >= n_columns) in.fail("a tree test names a feature column that does not exist");
    split_threshold = in.f64();
    targets.load_state(in);
    error_sum = in.f64();
    error_count = in.f64();
    ph_sum = in.f64();
    ph_min = in.f64();
    alt_seen = in.f64();
    orig_faded_error = in.f64();
    alt_faded_error = in.f64();
    alt_last_check = in.f64();
    state->trees.load_state(in, n_columns);
    state->last_split_check = in.f64();
    in.f64s(state->weights);
    // Indexed by column and only ever grown to the index's size.
    if (state->weights.size() > n_columns) {
        in.fail("a tree leaf has statistics of feature columns that do not exist");
    }
    state->bias = in.f64();
    state->perceptron_updates = in.f64();
    state->mean_sq_error = in.f64();
    state->perceptron_sq_error = in.f64();
    state->y_min = in.f64();
    state->y_max = in.f64();
    // An internal node never reads a leaf state again.
    if (is_leaf) leaf = std::move(state);
    return links;
}

void FIMTDDRegressor::save_tree(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    target_sums_.save_state(out);
    out.seq(feature_sums_, [&](StateWriter&, const Moments& m) { m.save_state(out); });
    out.i32(split_count_);
    out.i64(alarm_count_);
    out.i64(alternate_wins_);
    out.rng(rng_);
    out.boolean(root_ != nullptr);
    visit_preorder(root_.get(), [&](const Node* node) { node->save_state(out); });
}

void FIMTDDRegressor::load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns) {
    const std::uint32_t n_columns = columns->index().size();
    load_options(in, static_cast<Options&>(*this));
    target_sums_.load_state(in);
    in.seq(feature_sums_, [&](StateReader&, Moments& m) { m.load_state(in); });
    if (feature_sums_.size() > n_columns) in.fail("running sums of feature columns that do not exist");
    split_count_ = in.i32();
    // Room to count on: a saved count near the top of its range would overflow at the next split.
    if (split_count_ < 0 || split_count_ > (1 << 30)) in.fail("split count " + std::to_string(split_count_));
    alarm_count_ = in.counter();
    alternate_wins_ = in.counter();
    in.rng(rng_);

    // The slots still to fill, in the order save_tree wrote their subtrees.
    std::unique_ptr<Node> root;
    std::vector<std::unique_ptr<Node>*> pending;
    if (in.boolean()) pending.push_back(&root);
    try {
        while (!pending.empty()) {
            std::unique_ptr<Node>& slot = *pending.back();
            pending.pop_back();
            slot = std::make_unique<Node>();
            const Node::Links links = slot->load_state(in, n_columns);
            if (links.alternate) pending.push_back(&slot->alternate);
            if (links.children) {
                pending.push_back(&slot->right);
                pending.push_back(&slot->left);
            }
        }
    } catch (...) {
        // A deep partial tree must not be freed by recursion either.
        dismantle(std::move(root));
        throw;
    }
    dismantle(std::move(root_));
    root_ = std::move(root);
    features_ = std::move(columns);
    // Nothing of a former sample's walk refers to the restored nodes.
    ebst_touches_.clear();
    touched_leaf_ = nullptr;
    last_leaf_ = nullptr;
    answer_ = Answer{};
}

}  // namespace quelb
