#pragma once
// Half-space trees, after Tan, Ting and Liu, "Fast Anomaly Detection for Streaming Data" (IJCAI
// 2011). Each tree is a complete binary tree of `height` levels of random half-space splits over a
// random work space: per feature, s uniform in [0, 1] and the range s -/+ 2 max(s, 1 - s); a node
// splits its range of a random feature at the middle. Features are first scaled to [0, 1] by their
// `limits` (features without limits are taken to lie in [0, 1] already).
//
// Every learned sample adds one to the mass of each node on its path, counted in the latest
// window; every window_size samples the latest window's masses become the reference masses and
// a new latest window starts empty. A sample's mass score is, per tree, r * 2^k at the first node
// on its path (depth k) that is a leaf or whose reference mass r is below 0.1 window_size, summed
// over the trees: low mass means anomalous.
//
// The features are fixed when the trees are drawn, at the first learned sample with any feature:
// the names in `limits` and in that sample, in byte order. Features first met later are ignored;
// a missing feature reads as 0.0.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/contracts.hpp"
#include "core/options.hpp"
#include "core/state.hpp"

namespace quelb {

inline constexpr int kMaxTreeHeight = 20;
inline const char* n_trees_check(const int& n_trees) { return n_trees < 1 ? "'n_trees' must be at least 1." : nullptr; }
inline const char* height_check(const int& height) {
    static_assert(kMaxTreeHeight == 20, "the message names the largest height");
    return height < 1 || height > kMaxTreeHeight ? "'height' must be between 1 and 20." : nullptr;
}
inline const char* hst_window_size_check(const int& window_size) {
    return window_size < 1 ? "'window_size' must be at least 1." : nullptr;
}

// The options besides `limits`, which the detector takes last and keeps itself. n_trees, height
// and window_size are fixed at construction; seed is read when the trees are drawn.
struct HalfSpaceTreesOptions {
    int n_trees = 25;
    int height = 15;
    int window_size = 250;
    int seed = 0;

    static constexpr auto fields() {
        using O = HalfSpaceTreesOptions;
        return std::make_tuple(option("n_trees", &O::n_trees, kArgument, n_trees_check, "number of trees"),
                               option("height", &O::height, kArgument, height_check, "depth of every tree (1 to 20)"),
                               option("window_size", &O::window_size, kArgument, hst_window_size_check,
                                      "learned samples per window of masses"),
                               option("seed", &O::seed, kArgument | kProperty, "seed the trees are drawn from"));
    }
};

class HalfSpaceTrees : public IAnomalyDetector, public HalfSpaceTreesOptions {
public:
    using Options = HalfSpaceTreesOptions;
    struct Range {
        double low;
        double high;
    };
    using Limits = std::map<std::string, Range>;
    static constexpr int kMaxHeight = kMaxTreeHeight;

    // Throws std::invalid_argument when an option is refused, or for a limit that is not a finite
    // range with low < high.
    explicit HalfSpaceTrees(const Options& options = {}, Limits limits = {});

    void learn_one(const FeatureMap& x) override;
    // 1 - log2(1 + S) / log2(1 + window_size 2^height), S the mass score averaged over the trees:
    // in [0, 1], higher for lower mass. 0.0 until the first window is complete.
    double score_one(const FeatureMap& x) override;
    // Forgets the trees and masses: the next learned sample draws new trees from `seed`.
    void reset() override;

    const Limits& limits() const { return limits_; }
    // The features the trees split on; empty until they are drawn.
    const std::vector<std::string>& features() const { return features_; }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

    std::size_t memory_usage() const override { return memory::object_bytes(*this); }
    std::size_t heap_bytes() const {
        return memory::owned_all(limits_, features_, offsets_, widths_, nodes_, unit_, path_, terms_);
    }

private:
    // An internal node's split (the middle of its range of `feature`: samples below go left),
    // and the visits of any node in the window `window` (latest) and in the window before it
    // (previous). Windows are only ever moved on lazily: a node not visited since sits in an
    // older window.
    struct Node {
        double split = 0.0;
        std::uint32_t feature = 0;
        std::uint32_t latest = 0;
        std::uint32_t previous = 0;
        std::uint32_t window = 0;
    };
    // Window indices wrap back to 1 (every node rewritten) before they could overflow.
    static constexpr std::uint32_t kWindowWrap = std::uint32_t{1} << 31;

    void draw_trees(std::vector<std::string> names, int tree_seed);
    // Sets the splits below internal node `index` of `tree`, given the node's range per feature.
    void place_splits(Node* tree, std::size_t index, std::vector<double>& low, std::vector<double>& high);
    void to_unit(const FeatureMap& x);
    std::size_t child(const Node& node, std::size_t index) const {
        return unit_[node.feature] < node.split ? 2 * index + 1 : 2 * index + 2;
    }
    std::uint32_t latest(const Node& node) const { return node.window == window_ ? node.latest : 0; }
    std::uint32_t reference(const Node& node) const {
        if (node.window == window_) return node.previous;
        return node.window + 1 == window_ ? node.latest : 0;
    }
    void next_window();
    std::size_t internal_nodes() const { return (std::size_t{1} << height) - 1; }
    std::size_t tree_nodes() const { return (std::size_t{2} << height) - 1; }

    Limits limits_;

    // The trees, once drawn: their features with each one's scaling, the seed they came from,
    // and the nodes of every tree in heap order, tree after tree.
    std::vector<std::string> features_;
    std::vector<double> offsets_;
    std::vector<double> widths_;
    int tree_seed_ = 0;
    std::vector<Node> nodes_;
    std::uint32_t window_ = 0;  // completed windows (after wraps, 1 + those since the wrap)
    std::int64_t in_window_ = 0;

    // Scratch of one call: the sample in unit space; the trees are walked side by side, a level
    // at a time, so that the next nodes of all trees are fetched together: each tree's node on
    // the path, and its mass score.
    std::vector<double> unit_;
    std::vector<std::size_t> path_;
    std::vector<double> terms_;
};

}  // namespace quelb
