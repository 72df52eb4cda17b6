#pragma once
// How every ensemble's state ends: the columns its members' trees share, then the number of
// members and each member in order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/sample_columns.hpp"
#include "core/state.hpp"

namespace quelb {

// The format versions from which an ensemble's state holds each member's drift counters and its
// trees' memory budgets (see DriftAwareMember::save_shared), then the ensemble's max_bytes;
// earlier states load with the counters at 0. The forests of regression trees number their
// states as their trees do (HoeffdingTreeRegressor::kStateVersion, 3 before these), since the
// trees read the ensemble's version.
constexpr std::uint32_t kCountedMembersVersion = 2;
// The bagging regressor's FIMT-DD trees gained their budgets later than its members' counters.
constexpr std::uint32_t kBudgetedModelTreesVersion = 3;
constexpr std::uint32_t kCountedRegressionForestVersion = 4;

// save_one(member) writes one member.
template <class Member, class SaveOne>
void save_shared_members(StateWriter& out, const SampleColumns& columns, const std::vector<Member>& members,
                         SaveOne&& save_one) {
    columns.save_state(out);
    out.size(members.size());
    for (const Member& member : members) save_one(member);
}

// Reads what save_shared_members wrote. load_one(restored) reads one member, whose trees read the
// restored columns, and returns it. `columns` and `members` are replaced once all is read.
template <class Member, class LoadOne>
void load_shared_members(StateReader& in, std::shared_ptr<SampleColumns>& columns, std::vector<Member>& members,
                         LoadOne&& load_one) {
    auto restored = std::make_shared<SampleColumns>();
    restored->load_state(in);
    // A member holds at least its two detector deltas.
    const std::size_t n = in.size(16);
    std::vector<Member> loaded;
    loaded.reserve(n);
    for (std::size_t i = 0; i < n; ++i) loaded.push_back(load_one(restored));
    members = std::move(loaded);
    columns = std::move(restored);
}

}  // namespace quelb
