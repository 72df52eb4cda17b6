#include "trees/tree_description.hpp"

#include <algorithm>
#include <cstdio>

namespace quelb {

namespace {

// Every node reachable from `root` (alternates too when asked), parents before their children.
// Without recursion: trees built from sorted values are as deep as long.
std::vector<std::int32_t> preorder(const std::vector<TreeDescription::Node>& nodes, bool with_alternates) {
    std::vector<std::int32_t> order;
    if (nodes.empty()) return order;
    std::vector<std::int32_t> pending{0};
    while (!pending.empty()) {
        const std::int32_t i = pending.back();
        pending.pop_back();
        order.push_back(i);
        const TreeDescription::Node& node = nodes[static_cast<std::size_t>(i)];
        if (with_alternates && node.alternate != TreeDescription::kNone) pending.push_back(node.alternate);
        if (!node.is_leaf) {
            pending.push_back(node.right);
            pending.push_back(node.left);
        }
    }
    return order;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '\\';  // labels keep their line breaks
        out += c;
    }
    return out + '"';
}

std::string leaf_label(const TreeDescription::Node& leaf) {
    std::string text = leaf.answer_mode + ": " + (leaf.classifies ? std::to_string(leaf.label) : number(leaf.value));
    if (leaf.has_moments) text += "\\nmean " + number(leaf.mean) + ", variance " + number(leaf.variance);
    if (!leaf.class_counts.empty()) {
        text += "\\n";
        for (std::size_t c = 0; c < leaf.class_counts.size(); ++c) {
            if (c) text += ", ";
            text += std::to_string(leaf.class_counts[c].first) + ": " + number(leaf.class_counts[c].second);
        }
    }
    return text + "\\nseen " + number(leaf.samples_seen);
}

}  // namespace

std::int32_t TreeDescription::add(Node node) {
    nodes.push_back(std::move(node));
    return static_cast<std::int32_t>(nodes.size() - 1);
}

void TreeDescription::attach_alternate(std::int32_t at, const TreeDescription& subtree) {
    if (subtree.nodes.empty()) return;
    const auto offset = static_cast<std::int32_t>(nodes.size());
    for (Node node : subtree.nodes) {
        for (std::int32_t* link : {&node.left, &node.right, &node.alternate}) {
            if (*link != kNone) *link += offset;
        }
        nodes.push_back(std::move(node));
    }
    nodes[static_cast<std::size_t>(at)].alternate = offset;
}

void TreeDescription::finish() {
    const std::vector<std::int32_t> order = preorder(nodes, true);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Node& node = nodes[static_cast<std::size_t>(*it)];
        if (!node.is_leaf) {
            node.samples_seen = nodes[static_cast<std::size_t>(node.left)].samples_seen +
                                nodes[static_cast<std::size_t>(node.right)].samples_seen;
        }
    }
}

std::size_t TreeDescription::n_nodes() const { return preorder(nodes, false).size(); }

std::size_t TreeDescription::n_leaves() const {
    std::size_t n = 0;
    for (std::int32_t i : preorder(nodes, false)) n += nodes[static_cast<std::size_t>(i)].is_leaf;
    return n;
}

std::size_t TreeDescription::height() const {
    if (nodes.empty()) return 0;
    std::vector<std::size_t> depth(nodes.size(), 0);
    std::size_t height = 0;
    for (std::int32_t i : preorder(nodes, false)) {
        const Node& node = nodes[static_cast<std::size_t>(i)];
        height = std::max(height, depth[static_cast<std::size_t>(i)]);
        if (!node.is_leaf) {
            depth[static_cast<std::size_t>(node.left)] = depth[static_cast<std::size_t>(i)] + 1;
            depth[static_cast<std::size_t>(node.right)] = depth[static_cast<std::size_t>(i)] + 1;
        }
    }
    return height;
}

std::vector<TreeDescription::Step> TreeDescription::walk(const FeatureMap& x, std::int32_t& leaf) const {
    std::vector<Step> steps;
    leaf = nodes.empty() ? kNone : 0;
    while (leaf != kNone && !nodes[static_cast<std::size_t>(leaf)].is_leaf) {
        const Node& test = nodes[static_cast<std::size_t>(leaf)];
        const auto found = x.find(test.feature);
        const bool missing = found == x.end();
        const double value = missing ? 0.0 : found->second;
        const bool left = value <= test.threshold;  // false for NaN
        steps.push_back({leaf, &test, missing, value, left});
        leaf = left ? test.left : test.right;
    }
    return steps;
}

std::string TreeDescription::to_dot() const {
    std::string dot = "digraph tree {\n";
    for (std::int32_t i : preorder(nodes, true)) {
        const Node& node = nodes[static_cast<std::size_t>(i)];
        const std::string id = "  n" + std::to_string(i);
        if (node.is_leaf) {
            dot += id + " [shape=ellipse, label=" + quoted(leaf_label(node)) + "];\n";
        } else {
            dot += id + " [shape=box, label=" +
                   quoted(node.feature + " <= " + number(node.threshold) + "\\nseen " + number(node.samples_seen)) +
                   "];\n";
            dot += id + " -> n" + std::to_string(node.left) + " [label=\"yes\"];\n";
            dot += id + " -> n" + std::to_string(node.right) + " [label=\"no\"];\n";
        }
        if (node.alternate != kNone) {
            dot += id + " -> n" + std::to_string(node.alternate) + " [style=dashed, label=\"alternate\"];\n";
        }
    }
    return dot + "}\n";
}

}  // namespace quelb
