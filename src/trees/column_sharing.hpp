#pragma once
// What the trees that ensembles own have in common: they read samples through a SampleColumns
// (the feature index and the loaded sample) that an owner may share among its trees, loading
// each sample once for all of them, and they save it apart from the tree itself.
#include <memory>
#include <utility>

#include "core/memory.hpp"
#include "core/sample_columns.hpp"
#include "core/state.hpp"
#include "trees/leaf_budget.hpp"

namespace quelb {

// Tree provides reset(), save_tree(out) and load_tree(in, columns), and its memory budget:
// max_bytes, budget_ (a LeafBudget), save_budget(out) and load_budget(in).
template <class Tree>
class ColumnSharingTree {
public:
    // Makes the tree read samples through `columns`, shared with other trees; the tree restarts
    // afresh (its statistics refer to the columns of its former index).
    void share_columns(std::shared_ptr<SampleColumns> columns) {
        features_ = std::move(columns);
        static_cast<Tree&>(*this).reset();
    }
    // Makes the tree read samples through `columns` from now on, keeping all it learnt: they must
    // hold the same index as the ones it read (a copy of them, for a thread of its own).
    void rebind_columns(std::shared_ptr<SampleColumns> columns) { features_ = std::move(columns); }

    // The whole tree (what save_tree writes) after its feature columns, then its memory budget
    // when one has been in play. Owners whose trees share one SampleColumns save it once and call
    // save_tree and save_budget; load_tree makes the tree read the columns it is given, against
    // which its column numbers are checked.
    void save_state(StateWriter& out) const {
        const Tree& tree = static_cast<const Tree&>(*this);
        features_->save_state(out);
        tree.save_tree(out);
        if (tree.budget_.in_play(tree.max_bytes)) tree.save_budget(out);
    }
    // The budget came with the tree's current format version, Tree::kStateVersion: states before
    // it end with the tree.
    void load_state(StateReader& in) {
        Tree& tree = static_cast<Tree&>(*this);
        auto columns = std::make_shared<SampleColumns>();
        columns->load_state(in);
        tree.load_tree(in, std::move(columns));
        tree.budget_.reset();
        tree.max_bytes.reset();
        if (LeafBudget::follows(in, Tree::kStateVersion)) tree.load_budget(in);
    }

    // A copy with columns of its own (a copy of the index): nothing it learns reaches this tree
    // or the trees sharing its columns. Made through the saved state, which trees with
    // uncopyable parts have anyway.
    std::unique_ptr<Tree> standalone_copy() const {
        StateWriter out;
        static_cast<const Tree&>(*this).save_state(out);
        auto copy = std::make_unique<Tree>();
        StateReader in(out.bytes());
        copy->load_state(in);
        return copy;
    }

protected:
    // The columns, counted with the tree's own memory when it reads them alone.
    std::size_t columns_bytes() const { return memory::owned(features_); }

    std::shared_ptr<SampleColumns> features_ = std::make_shared<SampleColumns>();
};

}  // namespace quelb
