#include "anomaly/half_space_trees.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/rng.hpp"

namespace quelb {

namespace {

void check_limits(const HalfSpaceTrees::Limits& limits) {
    for (const auto& [name, range] : limits) {
        if (!(std::isfinite(range.low) && std::isfinite(range.high) && range.low < range.high))
            throw std::invalid_argument("'limits' of '" + name + "' must be finite with low < high.");
    }
}

}  // namespace

HalfSpaceTrees::HalfSpaceTrees(const Options& options, Limits limits) : Options(options), limits_(std::move(limits)) {
    check_options(options);
    check_limits(limits_);
}

void HalfSpaceTrees::reset() {
    features_.clear();
    offsets_.clear();
    widths_.clear();
    std::vector<Node>().swap(nodes_);
    window_ = 0;
    in_window_ = 0;
}

void HalfSpaceTrees::draw_trees(std::vector<std::string> names, int tree_seed) {
    features_ = std::move(names);
    const std::size_t n_features = features_.size();
    offsets_.assign(n_features, 0.0);
    widths_.assign(n_features, 1.0);
    for (std::size_t q = 0; q < n_features; ++q) {
        const auto limit = limits_.find(features_[q]);
        if (limit == limits_.end()) continue;
        offsets_[q] = limit->second.low;
        widths_[q] = limit->second.high - limit->second.low;
    }
    tree_seed_ = tree_seed;
    Rng rng(static_cast<std::uint32_t>(tree_seed));
    const std::size_t tree_count = static_cast<std::size_t>(n_trees);
    nodes_.assign(tree_count * tree_nodes(), Node{});
    std::vector<double> low(n_features), high(n_features);
    for (std::size_t t = 0; t < tree_count; ++t) {
        // The work space first, then the split features in heap order.
        for (std::size_t q = 0; q < n_features; ++q) {
            const double s = rng.uniform();
            const double reach = 2.0 * std::max(s, 1.0 - s);
            low[q] = s - reach;
            high[q] = s + reach;
        }
        Node* tree = &nodes_[t * tree_nodes()];
        for (std::size_t i = 0; i < internal_nodes(); ++i)
            tree[i].feature = rng.uniform_below(static_cast<std::uint32_t>(n_features));
        place_splits(tree, 0, low, high);
    }
    unit_.assign(n_features, 0.0);
    path_.assign(tree_count, 0);
    terms_.assign(tree_count, 0.0);
}

void HalfSpaceTrees::place_splits(Node* tree, std::size_t index, std::vector<double>& low, std::vector<double>& high) {
    if (index >= internal_nodes()) return;
    Node& node = tree[index];
    const std::size_t q = node.feature;
    const double middle = 0.5 * (low[q] + high[q]);
    node.split = middle;
    const double saved_high = high[q];
    high[q] = middle;
    place_splits(tree, 2 * index + 1, low, high);
    high[q] = saved_high;
    const double saved_low = low[q];
    low[q] = middle;
    place_splits(tree, 2 * index + 2, low, high);
    low[q] = saved_low;
}

void HalfSpaceTrees::to_unit(const FeatureMap& x) {
    for (std::size_t q = 0; q < features_.size(); ++q) {
        const auto it = x.find(features_[q]);
        unit_[q] = ((it != x.end() ? it->second : 0.0) - offsets_[q]) / widths_[q];
    }
}

void HalfSpaceTrees::next_window() {
    in_window_ = 0;
    if (++window_ < kWindowWrap) return;
    for (Node& node : nodes_) {
        const std::uint32_t previous = reference(node);
        node.latest = latest(node);
        node.previous = previous;
        node.window = 1;
    }
    window_ = 1;
}

void HalfSpaceTrees::learn_one(const FeatureMap& x) {
    if (features_.empty()) {
        std::vector<std::string> names;
        for (const auto& limit : limits_) names.push_back(limit.first);
        for (const auto& entry : x) names.push_back(entry.first);
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        if (names.empty()) return;  // nothing to split on yet
        draw_trees(std::move(names), seed);
    }
    to_unit(x);
    // Locals: stores into the nodes' counts could otherwise alias the members.
    const std::size_t tree_count = static_cast<std::size_t>(n_trees);
    const std::size_t stride = tree_nodes();
    const std::uint32_t window = window_;
    const int levels = height;
    Node* const nodes = nodes_.data();
    const double* const unit = unit_.data();
    std::size_t* const path = path_.data();
    std::fill(path, path + tree_count, 0);
    for (int depth = 0;; ++depth) {
        for (std::size_t t = 0; t < tree_count; ++t) {
            Node* tree = nodes + t * stride;
            Node& node = tree[path[t]];
            // Moves the node to this window without a branch: its latest count becomes the
            // previous one when it last counted in the window just closed.
            const bool current = node.window == window;
            const std::uint32_t closed = node.window + 1 == window ? node.latest : 0;
            node.previous = current ? node.previous : closed;
            node.latest = (current ? node.latest : 0) + 1;
            node.window = window;
            if (depth < levels) {
                path[t] = 2 * path[t] + 1 + (unit[node.feature] < node.split ? 0 : 1);
                __builtin_prefetch(&tree[path[t]]);
            }
        }
        if (depth == levels) break;
    }
    if (++in_window_ == window_size) next_window();
}

double HalfSpaceTrees::score_one(const FeatureMap& x) {
    if (features_.empty() || window_ == 0) return 0.0;
    to_unit(x);
    const std::size_t tree_count = static_cast<std::size_t>(n_trees);
    const std::size_t stride = tree_nodes();
    const std::uint32_t window = window_;
    const int levels = height;
    const Node* const nodes = nodes_.data();
    const double* const unit = unit_.data();
    std::size_t* const path = path_.data();
    double* const terms = terms_.data();
    constexpr std::size_t kDone = ~std::size_t{0};
    const double size_limit = 0.1 * window_size;
    std::fill(path, path + tree_count, 0);
    std::size_t walking = tree_count;
    for (int depth = 0; walking > 0; ++depth) {
        for (std::size_t t = 0; t < tree_count; ++t) {
            if (path[t] == kDone) continue;
            const Node* tree = nodes + t * stride;
            const Node& node = tree[path[t]];
            // The reference mass: the previous count in this window, the latest count when the
            // node last counted in the window just closed.
            const std::uint32_t mass = node.window == window ? node.previous : node.window + 1 == window ? node.latest : 0;
            if (depth == levels || mass < size_limit) {
                terms[t] = static_cast<double>(mass) * static_cast<double>(std::uint32_t{1} << depth);
                path[t] = kDone;
                --walking;
            } else {
                path[t] = 2 * path[t] + 1 + (unit[node.feature] < node.split ? 0 : 1);
                __builtin_prefetch(&tree[path[t]]);
            }
        }
    }
    double total = 0.0;
    for (double term : terms_) total += term;  // in tree order
    const double most = std::ldexp(static_cast<double>(window_size), levels);
    return 1.0 - std::log2(1.0 + total / tree_count) / std::log2(1.0 + most);
}

void HalfSpaceTrees::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.size(limits_.size());
    for (const auto& [name, range] : limits_) {
        out.str(name);
        out.f64(range.low);
        out.f64(range.high);
    }
    out.seq(features_, [](StateWriter& w, const std::string& name) { w.str(name); });
    if (features_.empty()) return;
    out.i32(tree_seed_);
    out.boolean(window_ > 0);
    out.i64(in_window_);
    // Masses as they read now (the lazy windows resolved), only for nodes holding any.
    for (std::size_t t = 0; t < static_cast<std::size_t>(n_trees); ++t) {
        const Node* tree = &nodes_[t * tree_nodes()];
        std::size_t held = 0;
        for (std::size_t i = 0; i < tree_nodes(); ++i) held += (latest(tree[i]) | reference(tree[i])) != 0;
        out.size(held);
        for (std::size_t i = 0; i < tree_nodes(); ++i) {
            if ((latest(tree[i]) | reference(tree[i])) == 0) continue;
            out.u32(static_cast<std::uint32_t>(i));
            out.u32(latest(tree[i]));
            out.u32(reference(tree[i]));
        }
    }
}

void HalfSpaceTrees::load_state(StateReader& in) {
    Options options;
    load_options(in, options);
    Limits limits;
    const std::size_t n_limits = in.size(24);
    for (std::size_t i = 0; i < n_limits; ++i) {
        std::string name = in.str();
        const double low = in.f64();
        if (!limits.emplace(std::move(name), Range{low, in.f64()}).second) in.fail("repeated limit");
    }
    try {
        check_limits(limits);
    } catch (const std::invalid_argument&) {
        in.fail("options out of range");
    }
    HalfSpaceTrees loaded(options, std::move(limits));
    std::vector<std::string> names;
    in.seq(names, [](StateReader& r, std::string& name) { name = r.str(); });
    if (!names.empty()) {
        if (!std::is_sorted(names.begin(), names.end()) ||
            std::adjacent_find(names.begin(), names.end()) != names.end())
            in.fail("features not in order");
        for (const auto& limit : loaded.limits_) {
            if (!std::binary_search(names.begin(), names.end(), limit.first)) in.fail("a limited feature is missing");
        }
        const int tree_seed = in.i32();
        const bool has_reference = in.boolean();
        const std::int64_t in_window = in.i64();
        if (in_window < 0 || in_window >= options.window_size) in.fail("window position");
        // Every tree's masses are read before the trees are drawn, so that a damaged tree count
        // runs out of bytes before it can ask for memory.
        struct Held {
            std::size_t tree, index;
            std::uint32_t latest, reference;
        };
        std::vector<Held> held;
        for (std::size_t t = 0; t < static_cast<std::size_t>(options.n_trees); ++t) {
            const std::size_t count = in.size(12);
            std::size_t after = 0;
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t index = in.u32();
                const std::uint32_t latest = in.u32();
                const std::uint32_t reference = in.u32();
                if (index < after || index >= loaded.tree_nodes()) in.fail("node index");
                if (!has_reference && reference != 0) in.fail("reference mass before the first window");
                after = index + 1;
                held.push_back({t, index, latest, reference});
            }
        }
        loaded.draw_trees(std::move(names), tree_seed);
        loaded.window_ = has_reference ? 1 : 0;
        loaded.in_window_ = in_window;
        for (const Held& h : held) {
            Node& node = loaded.nodes_[h.tree * loaded.tree_nodes() + h.index];
            node.latest = h.latest;
            node.previous = h.reference;
            node.window = loaded.window_;
        }
    }
    *this = std::move(loaded);
}

}  // namespace quelb
