#pragma once
// Saving and restoring the members of an ensemble: their number, then each member in order,
// each through its own save_state/load_state.
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "core/sample_columns.hpp"
#include "core/state.hpp"

namespace quelb {

// save_one(member) writes one member.
template <class Member, class SaveOne>
void save_members(StateWriter& out, const std::vector<Member>& members, SaveOne&& save_one) {
    out.size(members.size());
    for (const Member& member : members) save_one(member);
}

// load_one() reads one member and returns it. `members` is replaced once all are read.
template <class Member, class LoadOne>
void load_members(StateReader& in, std::vector<Member>& members, LoadOne&& load_one) {
    // A member holds at least its two detector deltas.
    const std::size_t n = in.size(16);
    std::vector<Member> loaded;
    loaded.reserve(n);
    for (std::size_t i = 0; i < n; ++i) loaded.push_back(load_one());
    members = std::move(loaded);
}

// How every ensemble's state ends: the columns its members' trees share, then the members.
// save_one(member) writes one member.
template <class Member, class SaveOne>
void save_shared_members(StateWriter& out, const SampleColumns& columns, const std::vector<Member>& members,
                         SaveOne&& save_one) {
    columns.save_state(out);
    save_members(out, members, save_one);
}

// Reads what save_shared_members wrote. load_one(restored) reads one member, whose trees read the
// restored columns, and returns it. `columns` and `members` are replaced once all is read.
template <class Member, class LoadOne>
void load_shared_members(StateReader& in, std::shared_ptr<SampleColumns>& columns, std::vector<Member>& members,
                         LoadOne&& load_one) {
    auto restored = std::make_shared<SampleColumns>();
    restored->load_state(in);
    load_members(in, members, [&] { return load_one(restored); });
    columns = std::move(restored);
}

// The options the ensembles' constructors check: a restored state must pass them too (a
// grace period below 1 divides by zero, an unusable Poisson mean never finishes a draw).
inline void check_ensemble_options(StateReader& in, int grace_period, double lambda_value) {
    if (grace_period < 1) in.fail("a grace period below 1");
    if (!(lambda_value <= kMaxPoissonMean)) in.fail("an unusable Poisson mean");
}

}  // namespace quelb
