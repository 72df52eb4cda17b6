#pragma once
// The node array shared by the Hoeffding trees: a node is either a leaf, whose statistics live in
// a separate array of leaf records, or a binary test on one feature column. Nodes are kept small
// and apart from the leaf statistics so that sorting a sample down the tree stays in cache.
#include <cstdint>
#include <vector>

#include "core/sample_columns.hpp"

namespace quelb {

class StateReader;
class StateWriter;

struct TreeNode {
    static constexpr std::uint32_t kNoLeaf = 0xFFFFFFFFu;

    double split_threshold = 0.0;
    std::uint32_t split_column = 0;  // a value of this column <= split_threshold goes left
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint32_t leaf = kNoLeaf;  // index of the leaf record; kNoLeaf for a test
    bool is_leaf() const { return leaf != kNoLeaf; }
};

// Walks the sample loaded into `columns` from `node` at `depth` down to a leaf; missing features
// read 0.0, NaN goes right.
inline std::uint32_t sort_to_leaf(const std::vector<TreeNode>& nodes, const SampleColumns& columns,
                                  std::uint32_t node, int& depth) {
    while (!nodes[node].is_leaf()) {
        const TreeNode& test = nodes[node];
        node = columns.value_or_zero(test.split_column) <= test.split_threshold ? test.left : test.right;
        ++depth;
    }
    return node;
}

// A leaf node is written as its leaf index; a test adds its column, threshold and children.
void save_tree_nodes(StateWriter& out, const std::vector<TreeNode>& nodes);
// Reads what save_tree_nodes wrote and checks that the nodes form one tree rooted at node 0 whose
// tests read columns below n_columns.
void load_tree_nodes(StateReader& in, std::vector<TreeNode>& nodes, std::uint32_t n_columns);
// Checks that the n_leaves leaf records each belong to exactly one leaf node.
void check_leaf_records(StateReader& in, const std::vector<TreeNode>& nodes, std::size_t n_leaves);

}  // namespace quelb
