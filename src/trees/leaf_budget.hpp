#pragma once
// The memory budget of a Hoeffding tree (its max_bytes option). Every kPeriod learnt samples the
// tree measures its nodes and leaves; while over the budget, the leaves least likely to gain
// from a split stop collecting split statistics (their statistics are dropped; they still count
// their targets and answer), and while it stays under, the most promising inactive leaves
// collect again from fresh statistics. A leaf's promise follows Domingos & Hulten, "Mining
// high-speed data streams" (KDD 2000): the error its answer makes, weighted by what it has seen.
//
// The tree measures sizes, not spare capacity, so that a restored tree, whose arrays hold no
// spare room, decides exactly as the original would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/memory.hpp"
#include "core/state.hpp"

namespace quelb {

// A max_bytes option in states: whether it is set, then its bytes (0 when not).
inline void write_max_bytes(StateWriter& out, const std::optional<std::int64_t>& max_bytes) {
    out.boolean(max_bytes.has_value());
    out.i64(max_bytes.value_or(0));
}
inline std::optional<std::int64_t> read_max_bytes(StateReader& in) {
    const bool limited = in.boolean();
    const std::int64_t limit = in.i64();
    if (!limited) return std::nullopt;
    if (limit <= 0) in.fail("max_bytes must be positive");
    return limit;
}

// One of n equal parts of a budget (at least a byte); none without one.
inline std::optional<std::int64_t> budget_share(const std::optional<std::int64_t>& max_bytes, std::size_t n) {
    if (!max_bytes) return std::nullopt;
    return std::max<std::int64_t>(1, *max_bytes / static_cast<std::int64_t>(std::max<std::size_t>(n, 1)));
}

class LeafBudget {
public:
    static constexpr std::uint32_t kPeriod = 500;

    // Counts one learnt sample; true when the budget is due for a check.
    bool tick(bool limited) {
        if (!limited && n_inactive_ == 0) return false;
        if (++clock_ < kPeriod) return false;
        clock_ = 0;
        return true;
    }
    void reset() {
        n_inactive_ = 0;
        clock_ = 0;
    }
    std::size_t n_inactive() const { return n_inactive_; }
    // For trees that let go of leaves: n inactive ones are gone.
    void forget(std::size_t n) { n_inactive_ -= n; }

    // Leaves are held in a vector by value, or by pointer where the tree links its nodes itself.
    template <class Leaf>
    static decltype(auto) active(Leaf& leaf) {
        if constexpr (std::is_pointer_v<Leaf>) {
            return (leaf->active);
        } else {
            return (leaf.active);
        }
    }

    // Stops or restarts leaves given the bytes the tree uses now. promise(leaf) orders them,
    // drop(leaf) empties an active leaf's statistics and returns the bytes it freed, wake(leaf)
    // the bytes a restarted leaf is expected to take. Returns whether any leaf changed.
    template <class Leaf, class Promise, class Drop, class Wake>
    bool enforce(std::vector<Leaf>& leaves, const std::optional<std::int64_t>& max_bytes, std::size_t used,
                 Promise&& promise, Drop&& drop, Wake&& wake) {
        const std::size_t limit = max_bytes ? static_cast<std::size_t>(*max_bytes) : SIZE_MAX;
        const bool over = used > limit;
        std::vector<std::pair<double, std::uint32_t>> order;  // ties go by index
        for (std::uint32_t i = 0; i < leaves.size(); ++i) {
            if (active(leaves[i]) == over) order.emplace_back(promise(leaves[i]), i);
        }
        std::sort(order.begin(), order.end());
        bool changed = false;
        if (over) {
            for (auto it = order.begin(); it != order.end() && used > limit; ++it) {
                Leaf& leaf = leaves[it->second];
                used -= std::min(used, drop(leaf));
                active(leaf) = false;
                ++n_inactive_;
                changed = true;
            }
            return changed;
        }
        // Room kept for the statistics woken leaves grow, so that leaves do not flicker.
        const std::size_t room = limit - limit / 20;
        for (auto it = order.rbegin(); it != order.rend(); ++it) {
            Leaf& leaf = leaves[it->second];
            const std::size_t grows = wake(leaf);
            if (used + grows > room) break;
            used += grows;
            active(leaf) = true;
            --n_inactive_;
            changed = true;
        }
        return changed;
    }

    // What a restored tree needs: the budget, the clock and the inactive leaves.
    template <class Leaf>
    void save_state(StateWriter& out, const std::optional<std::int64_t>& max_bytes,
                    const std::vector<Leaf>& leaves) const {
        write_max_bytes(out, max_bytes);
        out.u32(clock_);
        out.size(n_inactive_);
        for (std::uint32_t i = 0; i < leaves.size(); ++i) {
            if (!active(leaves[i])) out.u32(i);
        }
    }
    // A stand-alone tree writes it after the tree only when a budget has been in play (a tree
    // without one keeps its former bytes); an ensemble's format version says whether its trees have it.
    bool in_play(const std::optional<std::int64_t>& max_bytes) const { return max_bytes || n_inactive_ != 0; }
    // Whether a stand-alone tree's state holds it: from format version `since` on, after the tree.
    static bool follows(const StateReader& in, std::uint32_t since) {
        return in.format_version() >= since && in.remaining() != 0;
    }
    // Reads what save_state wrote; empty(leaf) tells whether an inactive leaf rightly holds no
    // statistics.
    template <class Leaf, class Empty>
    void load_state(StateReader& in, std::optional<std::int64_t>& max_bytes, std::vector<Leaf>& leaves,
                    Empty&& empty) {
        reset();
        max_bytes = read_max_bytes(in);
        clock_ = in.u32();
        if (clock_ >= kPeriod) in.fail("a tree's budget clock is out of range");
        const std::size_t n = in.size(4);
        if (n > leaves.size()) in.fail("a tree has more inactive leaves than leaves");
        std::int64_t previous = -1;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t i = in.u32();
            if (i >= leaves.size() || static_cast<std::int64_t>(i) <= previous)
                in.fail("a tree's inactive leaves are out of order");
            if (!empty(leaves[i])) in.fail("an inactive tree leaf holds split statistics");
            active(leaves[i]) = false;
            previous = i;
        }
        n_inactive_ = n;
    }

private:
    std::size_t n_inactive_ = 0;
    std::uint32_t clock_ = 0;  // samples learnt since the last check
};

// Capacity of an array grown one element at a time to n elements.
constexpr std::size_t grown_capacity(std::size_t n) {
    if (n == 0) return 0;  // never grown: no block
    std::size_t capacity = 1;
    while (capacity < n) capacity *= 2;
    return capacity;
}

}  // namespace quelb
