#include "trees/hoeffding_adaptive_tree_classifier.hpp"

#include <utility>

#include "core/state.hpp"

namespace quelb {

HoeffdingAdaptiveTreeClassifier::HoeffdingAdaptiveTreeClassifier(const Options& options)
    : Options(options), trees_(drift_delta, warning_delta) {
    check_options(static_cast<const Options&>(*this));
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> HoeffdingAdaptiveTreeClassifier::make_tree() const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(static_cast<const HoeffdingTreeClassifierOptions&>(*this));
    tree->share_columns(features_);
    return tree;
}

void HoeffdingAdaptiveTreeClassifier::reset() {
    features_ = std::make_shared<SampleColumns>();
    trees_ = DriftAwareMember<HoeffdingTreeClassifier>(drift_delta, warning_delta);
    trees_.model = make_tree();
}

void HoeffdingAdaptiveTreeClassifier::learn_one(const FeatureMap& x, Label y) {
    features_->load(x, true);
    // The current tree's answer before it learns the sample is what the detectors judge.
    const Label predicted = trees_.model->predict_then_learn_loaded(y, 1);
    if (trees_.background) trees_.background->predict_then_learn_loaded(y, 1);
    const double error = predicted == y ? 0.0 : 1.0;
    trees_.track_error(error, [this](NewModel) { return make_tree(); });
    trees_.share_budget(max_bytes);
}

Label HoeffdingAdaptiveTreeClassifier::predict_one(const FeatureMap& x) { return trees_.model->predict_one(x); }

ClassProbabilities HoeffdingAdaptiveTreeClassifier::predict_proba_one(const FeatureMap& x) {
    return trees_.model->predict_proba_one(x);
}

TreeDescription HoeffdingAdaptiveTreeClassifier::describe() const {
    TreeDescription description = trees_.model->describe();
    if (trees_.background) {
        description.attach_alternate(0, trees_.background->describe());
        description.finish();
    }
    return description;
}

// The options by hand: the state has the split criterion before the deltas.
void HoeffdingAdaptiveTreeClassifier::save_state(StateWriter& out) const {
    out.i32(grace_period);
    out.f64(split_confidence);
    out.f64(tie_threshold);
    out.i32(nb_threshold);
    out.i32(max_depth);
    out.str(split_criterion.text());
    out.f64(drift_delta);
    out.f64(warning_delta);
    features_->save_state(out);
    trees_.save_state(out, [](StateWriter& w, const HoeffdingTreeClassifier& tree) { tree.save_tree(w); });
    const auto in_play = [](const HoeffdingTreeClassifier* tree) {
        return tree && (tree->max_bytes || tree->n_inactive_leaves() != 0);
    };
    if (!max_bytes && !in_play(trees_.model.get()) && !in_play(trees_.background.get())) return;
    write_max_bytes(out, max_bytes);
    trees_.model->save_budget(out);
    if (trees_.background) trees_.background->save_budget(out);
}

void HoeffdingAdaptiveTreeClassifier::load_state(StateReader& in) {
    grace_period = in.i32();
    if (grace_period < 1) in.fail("a grace period below 1");
    split_confidence = in.f64();
    tie_threshold = in.f64();
    nb_threshold = in.i32();
    max_depth = in.i32();
    split_criterion = in.str();
    drift_delta = in.f64();
    warning_delta = in.f64();
    auto columns = std::make_shared<SampleColumns>();
    columns->load_state(in);
    trees_.load_state(in, [&](StateReader& r) {
        auto tree = std::make_unique<HoeffdingTreeClassifier>();
        tree->load_tree(r, columns);
        return tree;
    });
    if (!trees_.model) in.fail("an adaptive tree without a tree");
    features_ = std::move(columns);
    max_bytes.reset();
    if (!LeafBudget::follows(in, 2)) return;
    max_bytes = read_max_bytes(in);
    trees_.model->load_budget(in);
    if (trees_.background) trees_.background->load_budget(in);
}

}  // namespace quelb
