#pragma once
// Checks the links of a restored tree stored in an array (nodes naming their children by index).
// The walks down such trees trust every link, so a restored array must form exactly one tree:
// every link in range, every node but the root the child of exactly one node, and every node
// reachable from the root (a cycle would make a walk endless).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/state.hpp"

namespace quelb {

// children(i, link) calls link(c) for every child index c of node i (absent children are left
// out). Fails the reader, naming `what`, unless nodes 0 .. n-1 form one tree rooted at node 0;
// an empty array passes. Without recursion: trees built from sorted values are as deep as long.
template <class Children>
void check_tree_links(StateReader& reader, std::size_t n, Children&& children, const char* what) {
    if (n == 0) return;
    std::vector<std::uint8_t> reached(n, 0);
    std::vector<std::size_t> pending{0};
    reached[0] = 1;
    std::size_t n_reached = 1;
    while (!pending.empty()) {
        const std::size_t node = pending.back();
        pending.pop_back();
        children(node, [&](std::size_t child) {
            if (child >= n) reader.fail(std::string(what) + " links to a node that does not exist");
            if (reached[child]) reader.fail(std::string(what) + " links to a node twice");
            reached[child] = 1;
            ++n_reached;
            pending.push_back(child);
        });
    }
    if (n_reached != n) reader.fail(std::string(what) + " has nodes outside the tree");
}

}  // namespace quelb
