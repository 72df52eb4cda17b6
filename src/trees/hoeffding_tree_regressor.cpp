#include "trees/hoeffding_tree_regressor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/hoeffding.hpp"
#include "core/state.hpp"
#include "trees/split_candidates.hpp"

namespace quelb {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Largest standardised error, and largest gradient per coefficient, of one linear model step.
constexpr double kStepClip = 3.0;
// The linear answer stays within this many target standard deviations of the target mean.
constexpr double kAnswerSpread = 3.0;
// Bounds of the share of a split feature's mass assigned to the left child.
constexpr double kMinShare = 0.01;
constexpr double kMaxShare = 0.99;

double std_dev(const GaussianStats& stats) { return std::sqrt(stats.variance()); }

double clip(double value, double bound) {
    if (value < -bound) return -bound;
    if (value > bound) return bound;
    return value;
}

// (value - mean) / sd under the statistics; 0 when their sd is not positive.
double standardise(const GaussianStats& stats, double value) {
    const double sd = std_dev(stats);
    return sd > 0.0 ? (value - stats.mean) / sd : 0.0;
}

// Share of a feature's values expected at or below t: the Gaussian cumulative probability, or a
// step at the mean when the values do not vary.
double share_at_or_below(double t, const GaussianStats& stats) {
    const double sd = std_dev(stats);
    if (sd > 0.0) return normal_cdf(t, stats.mean, sd);
    return t >= stats.mean ? 1.0 : 0.0;
}

double left_share(const GaussianStats& stats) {
    return std::clamp(share_at_or_below(stats.mean, stats), kMinShare, kMaxShare);
}

GaussianStats scaled(const GaussianStats& stats, double share) {
    GaussianStats out;
    out.count = share * stats.count;
    out.mean = stats.mean;
    out.m2 = share * stats.m2;
    return out;
}

}  // namespace

double mean_split_merit(double target_sd, const GaussianStats& feature, double weight_seen) {
    if (weight_seen < 2.0) return 0.0;
    const double p = left_share(feature);
    return target_sd - target_sd * std::sqrt(p) * p - target_sd * std::sqrt(1.0 - p) * (1.0 - p);
}

SplitCriterion parse_split_criterion(std::string_view text) {
    if (text == "mean_split") return SplitCriterion::mean_split;
    if (text == "variance_reduction") return SplitCriterion::variance_reduction;
    throw std::invalid_argument("'split_criterion' must be 'mean_split' or 'variance_reduction'.");
}

const char* split_criterion_name(SplitCriterion criterion) {
    return criterion == SplitCriterion::variance_reduction ? "variance_reduction" : "mean_split";
}

void save_split_criterion(StateWriter& out, SplitCriterion criterion) { out.u8(static_cast<std::uint8_t>(criterion)); }

SplitCriterion load_split_criterion(StateReader& in) {
    return in.format_version() < 2 ? SplitCriterion::mean_split : in.enumerator<SplitCriterion>(2);
}

RegressionLeafMode parse_regression_leaf_mode(std::string_view text) {
    if (text == "mean") return RegressionLeafMode::mean;
    return text == "linear" ? RegressionLeafMode::linear : RegressionLeafMode::adaptive;
}

HoeffdingTreeRegressor::HoeffdingTreeRegressor(const Options& options) : Options(options) {
    check_options(static_cast<const Options&>(*this));
    make_root();
}

void HoeffdingTreeRegressor::make_root() {
    nodes_.assign(1, Node{});
    leaves_.clear();
    leaves_.emplace_back();
    nodes_[0].leaf = 0;
    budget_.reset();
}

void HoeffdingTreeRegressor::reset() { make_root(); }

void HoeffdingTreeRegressor::resolve(Leaf& leaf, const IndexedSample& sample, bool create) {
    resolved_.clear();
    if (create && leaf.slot_columns.empty()) {
        // A new leaf usually sees all of the sample's features at once.
        leaf.slot_of.reserve(sample.size());
        leaf.slot_columns.reserve(sample.size());
        leaf.features.reserve(sample.size());
    }
    for (const FeatureIndex::Entry& entry : sample) {
        // A NaN or infinite value would poison the running statistics, and with them the linear
        // model, for good: it counts as missing here (node tests still route it).
        if (!std::isfinite(entry.value)) continue;
        std::uint32_t slot = leaf.slot_of.find(entry.column);
        if (slot == ColumnSlots::kNone) {
            if (!create) continue;
            slot = static_cast<std::uint32_t>(leaf.slot_columns.size());
            leaf.slot_columns.push_back(entry.column);
            leaf.features.emplace_back();
            leaf.slot_of.insert(entry.column, slot);
        }
        resolved_.push_back({slot, entry.value});
    }
}

namespace {

// The linear model's score s (in standardised target space) as a target value, kept within
// mean ± 3 sd of the targets.
double bounded_answer(double s, double mean, double sd) {
    if (!(sd > 0.0)) return s + mean;
    const double answer = sd * s + mean;
    const double lo = mean - kAnswerSpread * sd, hi = mean + kAnswerSpread * sd;
    if (answer < lo) return lo;
    if (answer > hi) return hi;
    return answer;
}

}  // namespace

double HoeffdingTreeRegressor::linear_prediction(const Leaf& leaf) const {
    double s = leaf.bias;
    for (const ResolvedFeature& r : resolved_) {
        const FeatureState& f = leaf.features[r.slot];
        if (f.has_weight) s += f.weight * standardise(f.stats, r.value);
    }
    return bounded_answer(s, leaf.target.mean, std_dev(leaf.target));
}

double HoeffdingTreeRegressor::linear_prediction_standardised(const Leaf& leaf) const {
    double s = leaf.bias;
    for (std::size_t i = 0; i < resolved_.size(); ++i) {
        const FeatureState& f = leaf.features[resolved_[i].slot];
        if (f.has_weight) s += f.weight * standardised_[i];
    }
    return bounded_answer(s, leaf.target.mean, standardised_target_sd_);
}

bool HoeffdingTreeRegressor::answers_linearly(const Leaf& leaf) const {
    if (leaf_prediction == RegressionLeafMode::mean || leaf.samples_seen < grace_period) return false;
    return leaf_prediction == RegressionLeafMode::linear || leaf.mean_sq_error > leaf.linear_sq_error;
}

void HoeffdingTreeRegressor::learn_at_leaf(Leaf& leaf, double y, const double* linear_answer,
                                           bool& standardised_current) {
    // Both answers are scored before the sample changes the leaf.
    if (leaf.samples_seen > 0) {
        const double mean_error = y - leaf.target.mean;
        const double linear = linear_answer           ? *linear_answer
                              : standardised_current ? linear_prediction_standardised(leaf)
                                                     : linear_prediction(leaf);
        const double linear_error = y - linear;
        leaf.mean_sq_error += mean_error * mean_error;
        leaf.linear_sq_error += linear_error * linear_error;
    }
    leaf.target.update(y);
    leaf.weight_seen += 1.0;
    leaf.samples_seen += 1;
    for (const ResolvedFeature& r : resolved_) leaf.features[r.slot].stats.update(r.value);
    if (split_criterion == SplitCriterion::variance_reduction && leaf.active) {
        if (!leaf.observers) {
            leaf.observers = std::make_unique<SplitObservers>();
            leaf.observers->shift = y;
        }
        SplitObservers& observers = *leaf.observers;
        if (observers.by_slot.size() < leaf.features.size()) observers.by_slot.resize(leaf.features.size());
        const double shifted = y - observers.shift;
        observers.targets.add(shifted);
        for (const ResolvedFeature& r : resolved_) observers.by_slot[r.slot].update(r.value, shifted);
    }

    // One clipped gradient step of the linear model, in standardised target space.
    const double target_sd = std_dev(leaf.target);
    standardised_current = target_sd > 0.0;
    if (!standardised_current) return;
    // The statistics stay as they are until the next sample: its answer reuses these values.
    standardised_target_sd_ = target_sd;
    standardised_.resize(resolved_.size());
    double s = leaf.bias;
    for (std::size_t i = 0; i < resolved_.size(); ++i) {
        const FeatureState& f = leaf.features[resolved_[i].slot];
        const double z = standardise(f.stats, resolved_[i].value);
        standardised_[i] = z;
        if (f.has_weight) s += f.weight * z;
    }
    const double error = clip((y - leaf.target.mean) / target_sd - s, kStepClip);
    for (std::size_t i = 0; i < resolved_.size(); ++i) {
        FeatureState& f = leaf.features[resolved_[i].slot];
        f.weight += learning_rate * clip(error * standardised_[i], kStepClip);
        f.has_weight = true;
    }
    leaf.bias += learning_rate * error;
}

void HoeffdingTreeRegressor::learn_one(const FeatureMap& x, double y) {
    features_->load(x, true);
    predict_then_learn_loaded(features_->entries(), y, 1);
}

double HoeffdingTreeRegressor::predict_one(const FeatureMap& x) {
    features_->load(x, false);
    return predict_loaded(features_->entries());
}

double HoeffdingTreeRegressor::predict_loaded(const IndexedSample& sample) {
    int depth = 0;
    Leaf& leaf = leaf_of(sort_to_leaf(0, depth));
    if (!answers_linearly(leaf)) return leaf.target.mean;
    resolve(leaf, sample, false);
    return linear_prediction(leaf);
}

double HoeffdingTreeRegressor::predict_then_learn_loaded(const IndexedSample& sample, double y, int times) {
    // A target that is not a number (or infinite) teaches nothing and would poison the leaf.
    if (!std::isfinite(y)) times = 0;
    int depth = 0;
    std::uint32_t node = sort_to_leaf(0, depth);
    // New slots hold no statistics and no coefficient, which no answer reads: creating them
    // before the prediction changes nothing. An inactive leaf makes none.
    resolve(leaf_of(node), sample, times > 0 && leaf_of(node).active);
    const Leaf& start = leaf_of(node);
    const bool linear = answers_linearly(start);
    const double prediction = linear ? linear_prediction(start) : start.target.mean;

    bool standardised_current = false;
    for (int i = 0; i < times; ++i) {
        Leaf& leaf = leaf_of(node);
        // The first step scores the answer just computed on the unchanged leaf.
        learn_at_leaf(leaf, y, i == 0 && linear ? &prediction : nullptr, standardised_current);
        if (grace_period > 0 && leaf.samples_seen % grace_period == 0 && depth < max_depth &&
            leaf.samples_seen >= 2 && attempt_split(node) && i + 1 < times) {
            node = sort_to_leaf(node, depth);
            resolve(leaf_of(node), sample, true);
            standardised_current = false;
        }
    }
    if (times > 0 && budget_.tick(max_bytes.has_value())) enforce_budget();
    return prediction;
}

// ---- Memory budget ------------------------------------------------------------------------------

std::size_t HoeffdingTreeRegressor::statistics_bytes(const Leaf& leaf) {
    const std::size_t n = leaf.slot_columns.size();
    std::size_t bytes = ColumnSlots::bytes_for(n) + memory::block(n * sizeof(std::uint32_t)) +
                        memory::block(leaf.features.size() * sizeof(FeatureState));
    if (leaf.observers) {
        bytes += memory::block(sizeof(SplitObservers)) +
                 memory::block(leaf.observers->by_slot.size() * sizeof(QuantizationObserver));
        for (const QuantizationObserver& observer : leaf.observers->by_slot) {
            bytes += memory::block(observer.bins().size() * sizeof(Moments)) +
                     memory::block(observer.values().size() * sizeof(double));
        }
    }
    return bytes;
}

std::size_t HoeffdingTreeRegressor::budget_bytes() const {
    std::size_t bytes = sizeof(*this) + memory::block(grown_capacity(nodes_.size()) * sizeof(Node)) +
                        memory::block(grown_capacity(leaves_.size()) * sizeof(Leaf));
    for (const Leaf& leaf : leaves_) bytes += statistics_bytes(leaf);
    return bytes;
}

void HoeffdingTreeRegressor::enforce_budget() {
    const std::size_t n_columns = features_->index().size();
    // The squared error of its mean answer, summed over its samples.
    const auto promise = [](const Leaf& leaf) { return leaf.mean_sq_error; };
    const auto drop = [](Leaf& leaf) {
        const std::size_t freed = statistics_bytes(leaf);
        leaf.slot_of = ColumnSlots{};
        std::vector<std::uint32_t>().swap(leaf.slot_columns);
        std::vector<FeatureState>().swap(leaf.features);
        leaf.observers.reset();
        return freed;
    };
    const auto wake = [n_columns](const Leaf&) {
        return ColumnSlots::bytes_for(n_columns) + memory::block(n_columns * sizeof(std::uint32_t)) +
               memory::block(n_columns * sizeof(FeatureState));
    };
    budget_.enforce(leaves_, max_bytes, budget_bytes(), promise, drop, wake);
}

// ---- Split attempt ------------------------------------------------------------------------------

bool HoeffdingTreeRegressor::attempt_split(std::uint32_t node) {
    const Leaf& leaf = leaf_of(node);
    // Variance reduction judges the targets its observers saw (the leaf's own samples, not the
    // share of its parent's statistics it inherited), while the bound counts the leaf's samples
    // as for the mean split. Not splitting competes as a candidate of merit 0.
    const bool reduce = split_criterion == SplitCriterion::variance_reduction;
    const double target_sd = std_dev(leaf.target);
    const Moments* observed = reduce && leaf.observers ? &leaf.observers->targets : nullptr;
    if (!(reduce ? observed && observed->deviations() > 0.0 : target_sd > 0.0) || leaf.slot_columns.empty())
        return false;

    // Features in ascending byte order of their names: the first of equal merits wins.
    slots_by_name(candidates_, leaf.slot_columns, features_->index());

    // A share of variance ranges over [0, 1]; a reduction of the mean split's spread, over the
    // target's standard deviation.
    const double epsilon = hoeffding_bound(reduce ? 1.0 : target_sd, split_confidence,
                                           static_cast<double>(leaf.samples_seen));
    struct Split {
        std::uint32_t slot;
        double threshold;
        double share;
    };
    SplitLeaders<Split> leaders(-kInf, reduce ? 0.0 : -kInf);
    for (std::uint32_t slot : candidates_) {
        double merit, threshold, share;
        if (reduce) {
            if (slot >= leaf.observers->by_slot.size()) continue;
            const QuantizationObserver::Split split = leaf.observers->by_slot[slot].best_split(*observed);
            if (!(split.merit >= 0.0)) continue;
            merit = split.merit;
            threshold = split.threshold;
            share = split.left_weight / observed->count;
        } else {
            const GaussianStats& stats = leaf.features[slot].stats;
            if (!(stats.count > 0.0)) continue;
            merit = mean_split_merit(target_sd, stats, leaf.weight_seen);
            threshold = stats.mean;
            share = left_share(stats);
        }
        leaders.offer(merit, {slot, threshold, share});
    }
    if (!leaders.have_best || !(leaders.best > 0.0)) return false;
    const double lead = leaders.best - leaders.second;
    if (!(lead > epsilon || (lead < tie_threshold && epsilon < tie_threshold))) return false;
    const Split& split = leaders.choice;
    apply_split(node, split.slot, split.threshold, std::clamp(split.share, kMinShare, kMaxShare));
    return true;
}

void HoeffdingTreeRegressor::apply_split(std::uint32_t node, std::uint32_t slot, double threshold, double p) {
    const std::uint32_t parent_index = nodes_[node].leaf;
    Leaf children[2];
    {
        const Leaf& parent = leaves_[parent_index];
        const double shares[2] = {p, 1.0 - p};
        for (int side = 0; side < 2; ++side) {
            const double share = shares[side];
            Leaf& child = children[side];
            child.target = scaled(parent.target, share);
            child.weight_seen = share * parent.weight_seen;
            child.samples_seen = static_cast<std::int64_t>(share * static_cast<double>(parent.samples_seen));
            child.bias = parent.bias;
            child.slot_of = parent.slot_of;
            child.slot_columns = parent.slot_columns;
            child.features = parent.features;
            for (FeatureState& f : child.features) f.stats = scaled(f.stats, share);
        }
    }
    Node test = nodes_[node];
    test.split_column = leaves_[parent_index].slot_columns[slot];
    test.split_threshold = threshold;
    test.leaf = kNoLeaf;
    test.left = static_cast<std::uint32_t>(nodes_.size());
    test.right = test.left + 1;
    nodes_[node] = test;
    // The left child takes over the parent's statistics record; the right one gets a new one.
    Node left, right;
    left.leaf = parent_index;
    leaves_[parent_index] = std::move(children[0]);
    right.leaf = static_cast<std::uint32_t>(leaves_.size());
    leaves_.push_back(std::move(children[1]));
    nodes_.push_back(left);
    nodes_.push_back(right);
}

HoeffdingTreeRegressor::NodeView HoeffdingTreeRegressor::node(std::uint32_t index) const {
    const Node& n = nodes_.at(index);
    const FeatureIndex& names = features_->index();
    NodeView view{n.is_leaf(), {}, n.split_threshold, n.left, n.right, 0.0, 0, {}};
    if (!n.is_leaf()) {
        view.split_feature = names.name(n.split_column);
        return view;
    }
    const Leaf& leaf = leaves_[n.leaf];
    view.weight_seen = leaf.weight_seen;
    view.samples_seen = leaf.samples_seen;
    for (std::uint32_t column : leaf.slot_columns) view.features.push_back(names.name(column));
    std::sort(view.features.begin(), view.features.end());
    return view;
}

TreeDescription HoeffdingTreeRegressor::describe() const {
    return describe_tree_nodes(nodes_, features_->index(), [&](std::uint32_t index, TreeDescription::Node& out) {
        const Leaf& leaf = leaves_[index];
        out.samples_seen = leaf.weight_seen;
        out.answer_mode = answers_linearly(leaf) ? "linear" : "mean";
        out.value = leaf.target.mean;
        out.has_moments = true;
        out.mean = leaf.target.mean;
        out.variance = leaf.target.variance();
    });
}

// ---- Persistence --------------------------------------------------------------------------------

void HoeffdingTreeRegressor::Leaf::save_state(StateWriter& out) const {
    target.save_state(out);
    out.f64(weight_seen);
    out.i64(samples_seen);
    out.f64(bias);
    out.f64(mean_sq_error);
    out.f64(linear_sq_error);
    out.seq(slot_columns, [&](StateWriter&, std::uint32_t column) { out.u32(column); });
    for (const FeatureState& f : features) {
        f.stats.save_state(out);
        out.f64(f.weight);
        out.boolean(f.has_weight);
    }
    out.boolean(observers != nullptr);
    if (!observers) return;
    out.f64(observers->shift);
    observers->targets.save_state(out);
    out.seq(observers->by_slot, [](StateWriter& w, const QuantizationObserver& observer) { observer.save_state(w); });
}

void HoeffdingTreeRegressor::Leaf::load_state(StateReader& in, std::uint32_t n_columns) {
    target.load_state(in);
    weight_seen = in.f64();
    samples_seen = in.counter();
    bias = in.f64();
    mean_sq_error = in.f64();
    linear_sq_error = in.f64();
    in.seq(slot_columns, [&](StateReader&, std::uint32_t& column) { column = in.u32(); });
    slot_of = ColumnSlots{};
    slot_of.reserve(slot_columns.size());
    for (std::uint32_t s = 0; s < slot_columns.size(); ++s) {
        if (slot_columns[s] >= n_columns) in.fail("a tree leaf names a feature column that does not exist");
        if (slot_of.find(slot_columns[s]) != ColumnSlots::kNone) in.fail("a tree leaf names a feature twice");
        slot_of.insert(slot_columns[s], s);
    }
    features.resize(slot_columns.size());
    for (FeatureState& f : features) {
        f.stats.load_state(in);
        f.weight = in.f64();
        f.has_weight = in.boolean();
    }
    observers.reset();
    if (in.format_version() < 2 || !in.boolean()) return;
    observers = std::make_unique<SplitObservers>();
    observers->shift = in.f64();
    observers->targets.load_state(in);
    in.seq(observers->by_slot, [](StateReader& r, QuantizationObserver& observer) { observer.load_state(r); });
    if (observers->by_slot.size() > features.size()) in.fail("a tree leaf observes more features than it has");
}

void HoeffdingTreeRegressor::save_budget(StateWriter& out) const { budget_.save_state(out, max_bytes, leaves_); }

void HoeffdingTreeRegressor::load_budget(StateReader& in) {
    budget_.load_state(in, max_bytes, leaves_,
                       [](const Leaf& leaf) { return leaf.slot_columns.empty() && !leaf.observers; });
}

// The options by hand: the split criterion is saved as its enumerator, not as its text.
void HoeffdingTreeRegressor::save_tree(StateWriter& out) const {
    out.i32(grace_period);
    out.f64(split_confidence);
    out.f64(tie_threshold);
    out.i32(max_depth);
    out.f64(learning_rate);
    out.str(leaf_prediction.text());
    save_split_criterion(out, split_criterion.mode());
    save_tree_nodes(out, nodes_);
    out.seq(leaves_, [&](StateWriter&, const Leaf& leaf) { leaf.save_state(out); });
}

void HoeffdingTreeRegressor::load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns) {
    const std::uint32_t n_columns = columns->index().size();
    grace_period = in.i32();
    if (grace_period < 1) in.fail("a tree's grace period is below 1");
    split_confidence = in.f64();
    tie_threshold = in.f64();
    max_depth = in.i32();
    learning_rate = in.f64();
    leaf_prediction = in.str();
    split_criterion = split_criterion_name(load_split_criterion(in));
    load_tree_nodes(in, nodes_, n_columns);
    // A saved leaf takes at least its target statistics, counters and slot count: a damaged
    // count of leaves cannot make room for many more leaves than the bytes left describe.
    leaves_.clear();
    leaves_.resize(in.size(72));
    for (Leaf& leaf : leaves_) leaf.load_state(in, n_columns);
    check_leaf_records(in, nodes_, leaves_.size());
    features_ = std::move(columns);
}

}  // namespace quelb
