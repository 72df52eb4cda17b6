#pragma once
// A model watched for drift, written once for every owner and model type: a foreground model, an
// optional background model, and ADWIN detectors fed with the foreground model's error. A warning
// starts a background model; a drift promotes it (or installs a replacement when there is none)
// and both detectors start afresh. The members of the drift-aware ensembles and the adaptive tree
// follow it; ensembles without warnings build it with a drift detector only and simply replace
// the model on a drift.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/state.hpp"
#include "drift/adwin.hpp"

namespace quelb {

// Which model the owner is asked to build.
enum class NewModel { background, replacement };

// What one error did to the member.
enum class MemberEvent { none, background_started, model_replaced };

template <class Model>
class DriftAwareMember {
public:
    // Warning and drift detectors.
    DriftAwareMember(double drift_delta, double warning_delta)
        : drift_detector_(drift_delta), warning_detector_(std::in_place, warning_delta),
          drift_delta_(drift_delta), warning_delta_(warning_delta) {}
    // Drift detector only: no background models.
    explicit DriftAwareMember(double drift_delta) : drift_detector_(drift_delta), drift_delta_(drift_delta) {}

    std::unique_ptr<Model> model;       // may be absent until the ensemble creates it
    std::unique_ptr<Model> background;  // grown since the last warning

    bool has_model() const { return model != nullptr; }

    // Makes both models read samples through `columns` (their rebind_columns).
    template <class Columns>
    void rebind_columns(const Columns& columns) {
        if (model) model->rebind_columns(columns);
        if (background) background->rebind_columns(columns);
    }

    // The usual order: the warning detector, then the drift detector, then the drift's effect.
    // make(NewModel) builds the model an occasion needs.
    template <class Make>
    MemberEvent track_error(double error, Make&& make) {
        MemberEvent event = feed_warning(error, make) ? MemberEvent::background_started : MemberEvent::none;
        if (feed_drift(error)) {
            handle_drift(make);
            event = MemberEvent::model_replaced;
        }
        return event;
    }

    // Feeds the warning detector; on a warning without a background, starts one and a fresh
    // warning detector. A warning while a background exists changes nothing. True when a
    // background was started.
    template <class Make>
    bool feed_warning(double error, Make&& make) {
        if (!warning_detector_) return false;
        warning_detector_->update(error);
        if (!warning_detector_->drift_detected() || background) return false;
        background = make(NewModel::background);
        warning_detector_.emplace(warning_delta_);
        ++n_warnings_;
        return true;
    }

    // Feeds the drift detector; true when it detected a drift (act on it with handle_drift).
    bool feed_drift(double error) {
        drift_detector_.update(error);
        return drift_detector_.drift_detected();
    }

    // The background becomes the model (or a replacement is made), and both detectors restart.
    template <class Make>
    void handle_drift(Make&& make) {
        model = background ? std::move(background) : make(NewModel::replacement);
        background.reset();
        ++n_drifts_;
        drift_detector_ = ADWIN(drift_delta_);
        if (warning_detector_) warning_detector_.emplace(warning_delta_);
    }

    // The detectors and their deltas, then the models, each through save_model(out, model).
    template <class SaveModel>
    void save_state(StateWriter& out, SaveModel&& save_model) const {
        out.f64(drift_delta_);
        out.f64(warning_delta_);
        drift_detector_.save_state(out);
        out.boolean(warning_detector_.has_value());
        if (warning_detector_) warning_detector_->save_state(out);
        for (const std::unique_ptr<Model>* m : {&model, &background}) {
            out.boolean(*m != nullptr);
            if (*m) save_model(out, **m);
        }
    }

    // The same for models that read their owner's shared columns (save_tree, load_tree), then the
    // counters; a model with a memory budget (save_budget, load_budget) has it after itself. The
    // models loaded read `columns`, the owner's restored ones. States of a format version before
    // `since` hold no counters (they restart from 0), and those before `budgets_since` (by default
    // `since`) no budgets. Only ensembles' members load this way, so each tree must have options
    // an ensemble gives its trees.
    void save_shared(StateWriter& out) const {
        save_state(out, [](StateWriter& w, const Model& m) {
            m.save_tree(w);
            if constexpr (kBudgeted) m.save_budget(w);
        });
        out.i64(n_warnings_);
        out.i64(n_drifts_);
    }
    template <class Columns>
    void load_shared(StateReader& in, const Columns& columns, std::uint32_t since, std::uint32_t budgets_since = 0) {
        const bool complete = in.format_version() >= since;
        const bool budgeted = in.format_version() >= std::max(since, budgets_since);
        load_state(in, [&](StateReader& r) {
            auto loaded = std::make_unique<Model>();
            loaded->load_tree(r, columns);
            check_member_tree(r, *loaded);  // the ensembles' rule for their trees' options (member_trees.hpp)
            if constexpr (kBudgeted) {
                if (budgeted) loaded->load_budget(r);
            }
            return loaded;
        });
        if (!complete) return;
        n_warnings_ = in.counter();
        n_drifts_ = in.counter();
    }

    // Splits the member's share of its owner's memory budget (none: no limit) among its trees:
    // all of it to the model alone, half to each while a background grows. Models without a
    // budget ignore it; a member without one costs a check per call.
    void share_budget(const std::optional<std::int64_t>& bytes) {
        if constexpr (kBudgeted) {
            if (!bytes && !(model && model->max_bytes) && !(background && background->max_bytes)) return;
            std::optional<std::int64_t> half;
            if (bytes) half = std::max<std::int64_t>(1, *bytes / 2);
            if (model) model->max_bytes = background ? half : bytes;
            if (background) background->max_bytes = half;
        }
    }

    // Overwrites everything; load_model(in) reads one model and returns it as a unique_ptr.
    template <class LoadModel>
    void load_state(StateReader& in, LoadModel&& load_model) {
        drift_delta_ = in.f64();
        warning_delta_ = in.f64();
        drift_detector_.load_state(in);
        if (in.boolean()) {
            warning_detector_.emplace();
            warning_detector_->load_state(in);
        } else {
            warning_detector_.reset();
        }
        model = in.boolean() ? load_model(in) : nullptr;
        background = in.boolean() ? load_model(in) : nullptr;
        if (background && !model) in.fail("a background model without a model");
        if (background && !warning_detector_) in.fail("a background model without a warning detector");
        n_warnings_ = n_drifts_ = 0;
    }

    const ADWIN& drift_detector() const { return drift_detector_; }
    const ADWIN* warning_detector() const { return warning_detector_ ? &*warning_detector_ : nullptr; }

    // Warnings that started a background model, and drifts (each replaced the model), since
    // construction (save_shared keeps them; save_state, the adaptive tree's, does not).
    std::int64_t n_warnings() const { return n_warnings_; }
    std::int64_t n_drifts() const { return n_drifts_; }

    // The models without the columns they read, which their owner shares among its models and
    // counts once.
    std::size_t heap_bytes() const {
        std::size_t bytes = memory::owned_all(drift_detector_, warning_detector_);
        for (const Model* m : {model.get(), background.get()}) bytes += m ? memory::object_bytes(*m) : 0;
        return bytes;
    }

private:
    // Whether the models have a memory budget (see trees/leaf_budget.hpp).
    template <class M, class = void>
    struct Budgeted : std::false_type {};
    template <class M>
    struct Budgeted<M, std::void_t<decltype(&M::save_budget)>> : std::true_type {};
    static constexpr bool kBudgeted = Budgeted<Model>::value;

    ADWIN drift_detector_;
    std::optional<ADWIN> warning_detector_;
    double drift_delta_;
    double warning_delta_ = 0.0;
    std::int64_t n_warnings_ = 0;
    std::int64_t n_drifts_ = 0;
};

}  // namespace quelb
