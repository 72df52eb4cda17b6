#include "trees/sgt_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/state.hpp"
#include "trees/tree_links.hpp"

namespace quelb {

namespace {

// Added to every statistics weight so that a sample with a zero gradient still counts.
constexpr double kWeightFloor = 1e-10;
constexpr double kMinHessian = 1e-06;

// Share of a weighted feature's values that lies <= t, kept within [0.01, 0.99]; 0.5 when the
// statistics give no spread to judge by.
double clamped_share_below(const GaussianStats& s, double t) {
    double share = 0.5;
    if (s.count != 0.0) {
        const double sd = std::sqrt(s.variance());
        if (sd != 0.0) share = normal_cdf(t, s.mean, sd);
    }
    return std::clamp(share, 0.01, 0.99);
}

GaussianStats scaled(const GaussianStats& s, double share) { return {share * s.count, s.mean, share * s.m2}; }

// 1 / (1 + e^-x) as first written. The gradient-boosted ensembles' sigmoid, e^x / (1 + e^x)
// below 0 so that it never overflows, differs from this one in the last bits for negative
// scores: results of this tree are pinned to this form.
double sigmoid(double score) { return 1.0 / (1.0 + std::exp(-score)); }

TreeNode leaf_node(std::uint32_t index) {
    TreeNode node;
    node.leaf = index;
    return node;
}

}  // namespace

SGTClassifier::SGTClassifier(const Options& options) : Options(options) {
    check_options(static_cast<const Options&>(*this));
    reset();
}

void SGTClassifier::reset() {
    nodes_.assign(1, leaf_node(0));
    records_.assign(1, Record{});
    budget_.reset();
}

void SGTClassifier::learn_one(const FeatureMap& x, Label y) {
    features_.load(x, true);
    int depth = 0;
    const std::uint32_t at = sort_to_leaf(nodes_, features_, 0, depth);
    Record& leaf = records_[at];

    const double p = sigmoid(leaf.value);
    const double g = p - (y > 0 ? 1.0 : 0.0);
    const double h = std::max(p * (1.0 - p), kMinHessian);
    leaf.gradient_sum += g;
    leaf.hessian_sum += h;
    if (g > 0.0) {
        leaf.positive_gradient_sum += g;
    } else {
        leaf.negative_gradient_sum -= g;
    }
    leaf.samples_seen += 1;

    if (leaf.active) {
        if (leaf.stats.size() < features_.index().size()) leaf.stats.resize(features_.index().size());
        const double gradient_weight = std::fabs(g) + kWeightFloor;
        const double hessian_weight = h + kWeightFloor;
        for (const auto& e : features_.entries()) {
            FeatureStats& fs = leaf.stats[e.column];
            (g > 0.0 ? fs.positive : fs.negative).update(e.value, gradient_weight);
            fs.hessian.update(e.value, hessian_weight);
        }
    }

    // A Newton step from everything the leaf has seen, shrunk by the learning rate.
    const double denominator = leaf.hessian_sum + lambda_;
    if (denominator > 0.0) leaf.value -= learning_rate * leaf.gradient_sum / denominator;

    // grace_period is validated, but the field is public: never divide by less than 1.
    if (grace_period > 0 && leaf.samples_seen % grace_period == 0 && depth < max_depth &&
        leaf.samples_seen >= grace_period) {
        attempt_split(at);
    }
    if (budget_.tick(max_bytes.has_value())) enforce_budget();
}

// ---- Memory budget ------------------------------------------------------------------------------

std::size_t SGTClassifier::budget_bytes() const {
    std::size_t bytes = sizeof(*this) + memory::block(grown_capacity(nodes_.size()) * sizeof(TreeNode)) +
                        memory::block(grown_capacity(records_.size()) * sizeof(Record));
    for (const Record& record : records_) bytes += memory::block(record.stats.size() * sizeof(FeatureStats));
    return bytes;
}

void SGTClassifier::enforce_budget() {
    const std::size_t n_columns = features_.index().size();
    std::vector<Record*> leaves = leaf_records(*this);
    // The absolute errors of its probability, summed over its samples (the gradients' magnitudes).
    const auto promise = [](const Record* leaf) { return leaf->positive_gradient_sum + leaf->negative_gradient_sum; };
    const auto drop = [](Record* leaf) {
        const std::size_t freed = memory::block(leaf->stats.size() * sizeof(FeatureStats));
        std::vector<FeatureStats>().swap(leaf->stats);
        return freed;
    };
    const auto wake = [n_columns](const Record*) { return memory::block(n_columns * sizeof(FeatureStats)); };
    budget_.enforce(leaves, max_bytes, budget_bytes(), promise, drop, wake);
}

void SGTClassifier::attempt_split(std::uint32_t node) {
    const Record& leaf = records_[node];
    const double G = leaf.gradient_sum;
    const double H = leaf.hessian_sum;
    const double lambda = lambda_;
    double best_gain = 0.0;
    bool found = false;
    Split best;
    for (std::uint32_t column = 0; column < leaf.stats.size(); ++column) {
        const FeatureStats& fs = leaf.stats[column];
        const double count = fs.positive.count + fs.negative.count;
        if (!(count > 0.0)) continue;
        // The mean of the feature's gradient-weighted values, both signs together.
        const double t = (fs.positive.count * fs.positive.mean + fs.negative.count * fs.negative.mean) / count;
        const double positive_share = clamped_share_below(fs.positive, t);
        const double negative_share = clamped_share_below(fs.negative, t);
        const double GL = leaf.positive_gradient_sum * positive_share - leaf.negative_gradient_sum * negative_share;
        const double HL = H * clamped_share_below(fs.hessian, t);
        const double GR = G - GL;
        const double HR = H - HL;
        const double gain =
            0.5 * (GR * GR / (lambda + HR) + GL * GL / (lambda + HL) - (GL + GR) * (GL + GR) / (HL + HR + lambda));
        if (gain > best_gain) {
            best_gain = gain;
            found = true;
            best = Split{column, t, GL, HL, GR, HR, positive_share, negative_share};
        }
    }
    if (found) apply_split(node, best);
}

void SGTClassifier::apply_split(std::uint32_t node, const Split& split) {
    const auto left = static_cast<std::uint32_t>(nodes_.size());
    const auto right = left + 1;
    records_.resize(records_.size() + 2);  // invalidates references into records_
    Record& parent = records_[node];
    Record& l = records_[left];
    Record& r = records_[right];
    const double lambda = lambda_;

    l.value = split.left_hessian + lambda > 0.0 ? -split.left_gradient / (split.left_hessian + lambda) : 0.0;
    l.gradient_sum = split.left_gradient;
    l.hessian_sum = split.left_hessian;
    r.value = split.right_hessian + lambda > 0.0 ? -split.right_gradient / (split.right_hessian + lambda) : 0.0;
    r.gradient_sum = split.right_gradient;
    r.hessian_sum = split.right_hessian;
    // Each sign's gradient sum is shared out as the split estimate did.
    l.positive_gradient_sum = parent.positive_gradient_sum * split.positive_share;
    r.positive_gradient_sum = parent.positive_gradient_sum * (1.0 - split.positive_share);
    l.negative_gradient_sum = parent.negative_gradient_sum * split.negative_share;
    r.negative_gradient_sum = parent.negative_gradient_sum * (1.0 - split.negative_share);

    const double q = parent.hessian_sum > 0.0 ? split.left_hessian / parent.hessian_sum : 0.5;
    const auto samples = static_cast<double>(parent.samples_seen);
    l.samples_seen = static_cast<std::int64_t>(q * samples);
    r.samples_seen = static_cast<std::int64_t>((1.0 - q) * samples);
    l.stats.resize(parent.stats.size());
    r.stats.resize(parent.stats.size());
    for (std::size_t c = 0; c < parent.stats.size(); ++c) {
        const FeatureStats& fs = parent.stats[c];
        l.stats[c] = {scaled(fs.positive, q), scaled(fs.negative, q), scaled(fs.hessian, q)};
        r.stats[c] = {scaled(fs.positive, 1.0 - q), scaled(fs.negative, 1.0 - q), scaled(fs.hessian, 1.0 - q)};
    }

    TreeNode& test = nodes_[node];
    test.leaf = TreeNode::kNoLeaf;
    test.split_column = split.column;
    test.split_threshold = split.threshold;
    test.left = left;
    test.right = right;
    nodes_.push_back(leaf_node(left));
    nodes_.push_back(leaf_node(right));
    std::vector<FeatureStats>().swap(parent.stats);
    parent.gradient_sum = parent.hessian_sum = 0.0;
    parent.positive_gradient_sum = parent.negative_gradient_sum = 0.0;
    parent.samples_seen = 0;
}

double SGTClassifier::leaf_value(const FeatureMap& x) {
    features_.load(x, false);
    int depth = 0;
    return records_[sort_to_leaf(nodes_, features_, 0, depth)].value;
}

TreeDescription SGTClassifier::describe() const {
    return describe_tree_nodes(nodes_, features_.index(), [&](std::uint32_t index, TreeDescription::Node& out) {
        const Record& leaf = records_[index];
        out.samples_seen = static_cast<double>(leaf.samples_seen);
        out.answer_mode = "score";
        out.classifies = true;
        out.label = leaf.value >= 0.0 ? 1 : 0;
        out.value = leaf.value;
    });
}

Label SGTClassifier::predict_one(const FeatureMap& x) { return leaf_value(x) >= 0.0 ? 1 : 0; }

ClassProbabilities SGTClassifier::predict_proba_one(const FeatureMap& x) {
    const double p = sigmoid(leaf_value(x));
    return {{1, p}, {0, 1.0 - p}};
}

// ---- Persistence --------------------------------------------------------------------------------

void SGTClassifier::save_node(StateWriter& out, std::uint32_t i) const {
    const TreeNode& node = nodes_[i];
    const Record& record = records_[i];
    out.boolean(node.is_leaf());
    out.f64(record.value);
    if (node.is_leaf()) {
        out.f64(record.gradient_sum);
        out.f64(record.hessian_sum);
        out.f64(record.positive_gradient_sum);
        out.f64(record.negative_gradient_sum);
        out.i64(record.samples_seen);
        out.seq(record.stats, [&](StateWriter&, const FeatureStats& fs) {
            fs.positive.save_state(out);
            fs.negative.save_state(out);
            fs.hessian.save_state(out);
        });
    } else {
        // A split clears a test's sums and statistics: only its test remains.
        out.u32(node.split_column);
        out.f64(node.split_threshold);
        out.u32(node.left);
        out.u32(node.right);
    }
}

void SGTClassifier::load_node(StateReader& in, std::uint32_t i, std::uint32_t n_columns) {
    TreeNode& node = nodes_[i];
    Record& record = records_[i];
    const bool is_leaf = in.boolean();
    record.value = in.f64();
    if (is_leaf) {
        node.leaf = i;
        record.gradient_sum = in.f64();
        record.hessian_sum = in.f64();
        record.positive_gradient_sum = in.f64();
        record.negative_gradient_sum = in.f64();
        record.samples_seen = in.counter();
        in.seq(record.stats, [&](StateReader&, FeatureStats& fs) {
            fs.positive.load_state(in);
            fs.negative.load_state(in);
            fs.hessian.load_state(in);
        });
        if (record.stats.size() > n_columns) in.fail("a tree leaf has statistics of feature columns that do not exist");
    } else {
        node.split_column = in.u32();
        if (node.split_column >= n_columns) in.fail("a tree test names a feature column that does not exist");
        node.split_threshold = in.f64();
        node.left = in.u32();
        node.right = in.u32();
    }
}

void SGTClassifier::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    features_.save_state(out);
    out.size(nodes_.size());
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) save_node(out, i);
    if (budget_.in_play(max_bytes)) budget_.save_state(out, max_bytes, leaf_records(*this));
}

void SGTClassifier::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    features_.load_state(in);
    const std::uint32_t n_columns = features_.index().size();
    // A saved node takes at least its kind, its value and its test: a damaged count of nodes
    // cannot make room for many more nodes than the bytes left describe.
    const std::size_t n_nodes = in.size(29);
    nodes_.assign(n_nodes, TreeNode{});
    records_.assign(n_nodes, Record{});
    for (std::uint32_t i = 0; i < n_nodes; ++i) load_node(in, i, n_columns);
    if (nodes_.empty()) in.fail("a tree without a root");
    check_tree_links(
        in, nodes_.size(),
        [&](std::size_t i, auto&& link) {
            if (nodes_[i].is_leaf()) return;
            link(nodes_[i].left);
            link(nodes_[i].right);
        },
        "a tree");
    if (in.format_version() < 2) {
        std::vector<Label> classes;
        in.seq(classes, [&](StateReader&, Label& label) { label = in.i32(); });
    }
    budget_.reset();
    max_bytes.reset();
    if (!LeafBudget::follows(in, 3)) return;
    std::vector<Record*> leaves = leaf_records(*this);
    budget_.load_state(in, max_bytes, leaves, [](const Record* leaf) { return leaf->stats.empty(); });
}

}  // namespace quelb
