#include "trees/tree_nodes.hpp"

#include "core/state.hpp"
#include "trees/tree_links.hpp"

namespace quelb {

void save_tree_nodes(StateWriter& out, const std::vector<TreeNode>& nodes) {
    out.seq(nodes, [&](StateWriter&, const TreeNode& node) {
        out.u32(node.leaf);
        if (node.is_leaf()) return;
        out.u32(node.split_column);
        out.f64(node.split_threshold);
        out.u32(node.left);
        out.u32(node.right);
    });
}

void load_tree_nodes(StateReader& in, std::vector<TreeNode>& nodes, std::uint32_t n_columns) {
    in.seq(nodes, [&](StateReader&, TreeNode& node) {
        node = TreeNode{};
        node.leaf = in.u32();
        if (node.is_leaf()) return;
        node.split_column = in.u32();
        if (node.split_column >= n_columns) in.fail("a tree test names a feature column that does not exist");
        node.split_threshold = in.f64();
        node.left = in.u32();
        node.right = in.u32();
    });
    if (nodes.empty()) in.fail("a tree without a root");
    check_tree_links(
        in, nodes.size(),
        [&](std::size_t i, auto&& link) {
            if (nodes[i].is_leaf()) return;
            link(nodes[i].left);
            link(nodes[i].right);
        },
        "a tree");
}

void check_leaf_records(StateReader& in, const std::vector<TreeNode>& nodes, std::size_t n_leaves) {
    std::vector<std::uint8_t> owned(n_leaves, 0);
    std::size_t n_leaf_nodes = 0;
    for (const TreeNode& node : nodes) {
        if (!node.is_leaf()) continue;
        if (node.leaf >= n_leaves || owned[node.leaf]) in.fail("a tree's leaves do not match its nodes");
        owned[node.leaf] = 1;
        ++n_leaf_nodes;
    }
    if (n_leaf_nodes != n_leaves) in.fail("a tree's leaves do not match its nodes");
}

}  // namespace quelb
