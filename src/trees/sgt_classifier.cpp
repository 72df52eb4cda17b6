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

double sigmoid(double score) { return 1.0 / (1.0 + std::exp(-score)); }

}  // namespace

SGTClassifier::SGTClassifier(double learning_rate, double lambda_, int grace_period, int max_depth)
    : learning_rate(learning_rate), lambda_(lambda_), grace_period(grace_period), max_depth(max_depth) {
    if (grace_period < 1) throw std::invalid_argument("'grace_period' must be greater than 0.");
    nodes_.emplace_back();
}

void SGTClassifier::reset() {
    nodes_.clear();
    nodes_.emplace_back();
    classes_seen_.clear();
}

std::uint32_t SGTClassifier::sort_to_leaf(int& depth) const {
    std::uint32_t node = 0;
    while (!nodes_[node].is_leaf) {
        const Node& test = nodes_[node];
        node = features_.value_or_zero(test.split_column) <= test.split_threshold ? test.left : test.right;
        ++depth;
    }
    return node;
}

void SGTClassifier::learn_one(const FeatureMap& x, Label y) {
    const auto seen = std::lower_bound(classes_seen_.begin(), classes_seen_.end(), y);
    if (seen == classes_seen_.end() || *seen != y) classes_seen_.insert(seen, y);

    features_.load(x, true);
    int depth = 0;
    const std::uint32_t at = sort_to_leaf(depth);
    Node& leaf = nodes_[at];

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

    if (leaf.stats.size() < features_.index().size()) leaf.stats.resize(features_.index().size());
    const double gradient_weight = std::fabs(g) + kWeightFloor;
    const double hessian_weight = h + kWeightFloor;
    for (const auto& e : features_.entries()) {
        FeatureStats& fs = leaf.stats[e.column];
        (g > 0.0 ? fs.positive : fs.negative).update(e.value, gradient_weight);
        fs.hessian.update(e.value, hessian_weight);
    }

    // A Newton step from everything the leaf has seen, shrunk by the learning rate.
    const double denominator = leaf.hessian_sum + lambda_;
    if (denominator > 0.0) leaf.value -= learning_rate * leaf.gradient_sum / denominator;

    // grace_period is validated, but the field is public: never divide by less than 1.
    if (grace_period > 0 && leaf.samples_seen % grace_period == 0 && depth < max_depth &&
        leaf.samples_seen >= grace_period) {
        attempt_split(at);
    }
}

void SGTClassifier::attempt_split(std::uint32_t node) {
    const Node& leaf = nodes_[node];
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
    nodes_.resize(nodes_.size() + 2);  // invalidates references into nodes_
    Node& parent = nodes_[node];
    Node& l = nodes_[left];
    Node& r = nodes_[right];
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

    parent.is_leaf = false;
    parent.split_column = split.column;
    parent.split_threshold = split.threshold;
    parent.left = left;
    parent.right = right;
    std::vector<FeatureStats>().swap(parent.stats);
    parent.gradient_sum = parent.hessian_sum = 0.0;
    parent.positive_gradient_sum = parent.negative_gradient_sum = 0.0;
    parent.samples_seen = 0;
}

double SGTClassifier::leaf_probability(const FeatureMap& x) {
    features_.load(x, false);
    int depth = 0;
    return sigmoid(nodes_[sort_to_leaf(depth)].value);
}

Label SGTClassifier::predict_one(const FeatureMap& x) {
    features_.load(x, false);
    int depth = 0;
    return nodes_[sort_to_leaf(depth)].value >= 0.0 ? 1 : 0;
}

ClassProbabilities SGTClassifier::predict_proba_one(const FeatureMap& x) {
    const double p = leaf_probability(x);
    return {{1, p}, {0, 1.0 - p}};
}

// ---- Persistence --------------------------------------------------------------------------------

void SGTClassifier::Node::save_state(StateWriter& out) const {
    out.boolean(is_leaf);
    out.f64(value);
    if (is_leaf) {
        out.f64(gradient_sum);
        out.f64(hessian_sum);
        out.f64(positive_gradient_sum);
        out.f64(negative_gradient_sum);
        out.i64(samples_seen);
        out.seq(stats, [&](StateWriter&, const FeatureStats& fs) {
            fs.positive.save_state(out);
            fs.negative.save_state(out);
            fs.hessian.save_state(out);
        });
    } else {
        // A split clears a test's sums and statistics: only its test remains.
        out.u32(split_column);
        out.f64(split_threshold);
        out.u32(left);
        out.u32(right);
    }
}

void SGTClassifier::Node::load_state(StateReader& in, std::uint32_t n_columns) {
    *this = Node{};
    is_leaf = in.boolean();
    value = in.f64();
    if (is_leaf) {
        gradient_sum = in.f64();
        hessian_sum = in.f64();
        positive_gradient_sum = in.f64();
        negative_gradient_sum = in.f64();
        samples_seen = in.i64();
        in.seq(stats, [&](StateReader&, FeatureStats& fs) {
            fs.positive.load_state(in);
            fs.negative.load_state(in);
            fs.hessian.load_state(in);
        });
        if (stats.size() > n_columns) in.fail("a tree leaf has statistics of feature columns that do not exist");
    } else {
        split_column = in.u32();
        if (split_column >= n_columns) in.fail("a tree test names a feature column that does not exist");
        split_threshold = in.f64();
        left = in.u32();
        right = in.u32();
    }
}

void SGTClassifier::save_state(StateWriter& out) const {
    out.f64(learning_rate);
    out.f64(lambda_);
    out.i32(grace_period);
    out.i32(max_depth);
    features_.save_state(out);
    out.seq(nodes_, [&](StateWriter&, const Node& node) { node.save_state(out); });
    out.seq(classes_seen_, [&](StateWriter&, Label label) { out.i32(label); });
}

void SGTClassifier::load_state(StateReader& in) {
    learning_rate = in.f64();
    lambda_ = in.f64();
    grace_period = in.i32();
    if (grace_period < 1) in.fail("a grace period below 1");
    max_depth = in.i32();
    features_.load_state(in);
    const std::uint32_t n_columns = features_.index().size();
    // A saved node takes at least its kind, its value and its test: a damaged count of nodes
    // cannot make room for many more nodes than the bytes left describe.
    nodes_.clear();
    nodes_.resize(in.size(29));
    for (Node& node : nodes_) node.load_state(in, n_columns);
    if (nodes_.empty()) in.fail("a tree without a root");
    check_tree_links(
        in, nodes_.size(),
        [&](std::size_t i, auto&& link) {
            if (nodes_[i].is_leaf) return;
            link(nodes_[i].left);
            link(nodes_[i].right);
        },
        "a tree");
    in.seq(classes_seen_, [&](StateReader&, Label& label) { label = in.i32(); });
    for (std::size_t i = 1; i < classes_seen_.size(); ++i) {
        if (!(classes_seen_[i - 1] < classes_seen_[i])) in.fail("a tree's classes are out of order");
    }
}

}  // namespace quelb
