#include "ensembles/random_patches.hpp"

#include <algorithm>
#include <cmath>

#include "core/state.hpp"
#include "ensembles/member_trees.hpp"

namespace quelb {

namespace {

constexpr std::uint32_t kPatchSeedStep = 7919;

}  // namespace

PatchTraining patch_training(std::string_view method) {
    if (method == "subspaces") return PatchTraining::subspaces;
    if (method == "resampling") return PatchTraining::resampling;
    return PatchTraining::patches;
}

std::size_t patch_size(std::size_t n, double fraction) {
    const double m = std::round(static_cast<double>(n) * fraction);
    // Written so that a NaN fraction keeps every feature.
    const double kept = std::max(std::min(static_cast<double>(n), m), 1.0);
    return static_cast<std::size_t>(kept);
}

void draw_patch(FeatureSubset& subset, const SampleColumns& loaded, int seed, std::size_t member, double fraction) {
    Rng rng(static_cast<std::uint32_t>(seed) + kPatchSeedStep * static_cast<std::uint32_t>(member + 1));
    subset.draw(loaded, rng, patch_size(loaded.loaded().size(), fraction), true);
}

// Each member's learning weight for a sample: 1 ("subspaces") or a Poisson draw, the generator's
// only use.
template <class Ensemble>
void draw_patch_weights(const Ensemble& ensemble, std::size_t n_members, Rng& rng, int* weights) {
    const PoissonDraw poisson(ensemble.lambda_value);
    const bool once = ensemble.training_method == PatchTraining::subspaces;
    for (std::size_t i = 0; i < n_members; ++i) weights[i] = once ? 1 : poisson(rng);
}

// Member i's learning step on the sample loaded into `columns`: at its first sample the member
// builds its tree and draws its patch, then it learns the sample `times` times.
template <class Ensemble, class Member, class Target>
void learn_patch_member(const Ensemble& ensemble, Member& member, std::size_t i,
                        const std::shared_ptr<SampleColumns>& columns, Target y, int times) {
    if (!member.trees.model) {
        member.trees.model = ensemble.make_tree(columns);
        if (ensemble.training_method != PatchTraining::resampling)
            draw_patch(member.features, *columns, ensemble.seed, i, ensemble.subspace_fraction);
    }
    member.learn_loaded(*columns, y, times, [&](NewModel) { return ensemble.make_tree(columns); });
    member.trees.share_budget(ensemble.member_budget(ensemble.members().size()));
}

// One learning step of either ensemble on the sample loaded into `features`.
template <class Ensemble, class Members, class Target>
void learn_patches(const Ensemble& ensemble, Members& members, const std::shared_ptr<SampleColumns>& features,
                   Rng& rng, Target y) {
    // Building a tree or drawing a patch leaves the generator alone: weights may come first.
    const PoissonDraw poisson(ensemble.lambda_value);
    const bool once = ensemble.training_method == PatchTraining::subspaces;
    for (std::size_t i = 0; i < members.size(); ++i)
        learn_patch_member(ensemble, members[i], i, features, y, once ? 1 : poisson(rng));
}

// ---- Classifier ---------------------------------------------------------------------------------

std::unique_ptr<HoeffdingTreeClassifier> SRPClassifier::make_tree(
    const std::shared_ptr<SampleColumns>& columns) const {
    // Feature restriction is the ensemble's: the tree considers every feature it sees.
    return make_classifier_tree(grace_period, split_confidence, max_depth, columns);
}

void SRPClassifier::learn_one(const FeatureMap& x, Label y) {
    features_->load(x, true);
    learn_patches(*this, members_, features_, rng_, y);
}

void SRPClassifier::draw_weights(Label, int* weights) {
    draw_patch_weights(*this, members_.size(), rng_, weights);
}

void SRPClassifier::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, Label y, int times) {
    learn_patch_member(*this, members_[i], i, columns, y, times);
}

// ---- Regressor ----------------------------------------------------------------------------------

void SRPRegressor::learn_one(const FeatureMap& x, double y) {
    features_->load(x, true);
    learn_patches(*this, members_, features_, rng_, y);
}

bool SRPRegressor::draw_weights(double, std::size_t, int* weights) {
    draw_patch_weights(*this, members_.size(), rng_, weights);
    return true;
}

void SRPRegressor::learn_member(std::size_t i, const std::shared_ptr<SampleColumns>& columns, double y, int times,
                                std::size_t, const double*) {
    learn_patch_member(*this, members_[i], i, columns, y, times);
}

}  // namespace quelb
