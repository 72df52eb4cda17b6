#pragma once
// What the linear learners share: their options, then their model (weights and the like, with
// clear, save_state and load_state), which is all their state.
#include "core/memory.hpp"
#include "core/options.hpp"
#include "core/state.hpp"

namespace quelb {

template <class Contract, class O, class Model>
class LinearModel : public Contract, public O {
public:
    using Options = O;
    explicit LinearModel(const Options& options = {}) : Options(options) { check_options(options); }

    void reset() override { model_.clear(); }
    std::size_t memory_usage() const override { return memory::block(sizeof(*this)) + memory::owned(model_); }

    void save_state(StateWriter& out) const {
        save_options(out, static_cast<const Options&>(*this));
        model_.save_state(out);
    }
    void load_state(StateReader& in) {
        load_options(in, static_cast<Options&>(*this));
        model_.load_state(in);
    }

    // The weights, for inspection.
    const Model& model() const { return model_; }

protected:
    Model model_;
};

}  // namespace quelb
