#pragma once
// What the random forests and random patches ensembles share beyond their options: members that
// watch their error with a warning and a drift detector, made afresh at reset, and one state
// layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/state.hpp"
#include "ensembles/classifier_member.hpp"
#include "ensembles/forest_options.hpp"
#include "ensembles/parallel_members.hpp"
#include "ensembles/regressor_member.hpp"

namespace quelb {

// When a forest's members get their trees: at reset (every member then always has one), or at
// their first sample.
enum class MemberTrees { at_reset, at_first_sample };

// A random forest or random patches ensemble Derived, of ClassifierMember or RegressorMember
// members, with options ForestOptionsType. Derived passes its options to the constructor, lists
// the order of the options in saved states as SavedOptions, and provides the hooks of
// ParallelClassifier or ParallelRegressor.
template <class Derived, class Member, class ForestOptionsType, MemberTrees kTreesMade = MemberTrees::at_first_sample>
class Forest : public std::conditional_t<std::is_same_v<Member, RegressorMember>, ParallelRegressor<Derived, Member>,
                                         ParallelClassifier<Derived, Member>>,
               public WithThreads<ForestOptionsType> {
    static constexpr bool kRegressor = std::is_same_v<Member, RegressorMember>;

public:
    using Options = WithThreads<ForestOptionsType>;

    // Reseeds the generator and replaces every member by a new one without a subset, with a fresh
    // tree when trees are made at reset.
    void reset() override {
        this->restart(this->seed, static_cast<std::size_t>(std::max(this->n_models, 1)), [&](std::size_t) {
            Member member(this->drift_delta, this->warning_delta);
            if constexpr (kTreesMade == MemberTrees::at_reset) member.trees.model = this->make_tree(this->features_);
            return member;
        });
    }

    // The regression forests number their states as their trees do (see member_state.hpp).
    static constexpr std::uint32_t kStateVersion = kRegressor ? kCountedRegressionForestVersion : kCountedMembersVersion;
    // Options, the regressors' split criterion (saved as the trees save it), the generator, the
    // shared columns and every member with its trees, then max_bytes.
    void save_state(StateWriter& out) const {
        this->template save_ensemble<typename Derived::SavedOptions>(out, *this, [&](StateWriter& w) {
            if constexpr (kRegressor) save_split_criterion(w, this->split_criterion.mode());
        });
    }
    void load_state(StateReader& in) {
        this->template load_ensemble<typename Derived::SavedOptions>(
            in, *this,
            [&](StateReader& r) {
                if constexpr (kRegressor) this->split_criterion = split_criterion_name(load_split_criterion(r));
            },
            kStateVersion, [&] { return Member(this->drift_delta, this->warning_delta); },
            kTreesMade == MemberTrees::at_reset ? "a forest member without a tree" : nullptr);
    }

protected:
    explicit Forest(const Options& options) : Options(options) {
        check_options(static_cast<const ForestOptionsType&>(*this));
        Forest::reset();
    }
};

}  // namespace quelb
