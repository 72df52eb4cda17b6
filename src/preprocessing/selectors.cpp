#include "preprocessing/selectors.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quelb {

void VarianceThreshold::learn_one(const FeatureMap& x) {
    stats_.learn(x, [](GaussianStats& s, double value) { s.update(value); });
}

bool VarianceThreshold::keeps(const GaussianStats* s) const {
    return !s || s->count < static_cast<double>(min_samples) || s->variance() > threshold;
}

FeatureMap VarianceThreshold::transform_one(const FeatureMap& x) {
    FeatureMap kept;
    kept.reserve(x.size());
    stats_.visit(x, [&](const auto& entry, const GaussianStats* s) {
        if (keeps(s)) kept.append_unique(entry.first, entry.second);
    });
    return kept;
}

void VarianceThreshold::transform_one_inplace(FeatureMap& x) {
    dropped_.clear();
    stats_.visit(x, [&](const auto&, const GaussianStats* s) { dropped_.push_back(!keeps(s)); });
    // From the back: an erase only moves entries that come after the erased one.
    for (std::size_t i = dropped_.size(); i-- > 0;) {
        if (dropped_[i]) x.erase(x.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void VarianceThreshold::reset() { stats_.clear(); }

void VarianceThreshold::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    stats_.save_state(out);
}

void VarianceThreshold::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    stats_.load_state(in);
}

void SelectKBest::save_state(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    out.map(names_, [](StateWriter& w, const NameEntry& entry) {
        w.i32(entry.position);
        w.i32(entry.learned);
    });
    out.seq(learned_, [](StateWriter& w, const LearnedFeature& feature) {
        w.i32(feature.position);
        feature.stats.x.save_state(w);
        feature.stats.y.save_state(w);
        w.f64(feature.stats.cov);
        w.f64(feature.score);
        w.boolean(feature.selected);
    });
    out.i32(next_index_);
    out.boolean(selection_dirty_);
}

void SelectKBest::load_state(StateReader& in) {
    load_options(in, static_cast<Options&>(*this));
    in.map(names_, [](StateReader& r, NameEntry& entry) {
        entry.position = r.i32();
        entry.learned = r.i32();
    });
    in.seq(learned_, [](StateReader& r, LearnedFeature& feature) {
        feature.position = r.i32();
        feature.stats.x.load_state(r);
        feature.stats.y.load_state(r);
        feature.stats.cov = r.f64();
        feature.score = r.f64();
        feature.selected = r.boolean();
    });
    next_index_ = in.i32();
    selection_dirty_ = in.boolean();
    // Every learned feature is reached through exactly one name.
    std::vector<bool> reached(learned_.size(), false);
    for (const auto& [name, entry] : names_) {
        if (entry.learned < -1 || entry.learned >= static_cast<std::int64_t>(learned_.size()) ||
            (entry.learned >= 0 && reached[static_cast<std::size_t>(entry.learned)]))
            in.fail("SelectKBest feature reference out of range");
        if (entry.learned >= 0) reached[static_cast<std::size_t>(entry.learned)] = true;
    }
}

SelectKBest::NameEntry& SelectKBest::entry_for(const std::string& name) {
    const auto [it, inserted] = names_.try_emplace(name, NameEntry{next_index_});
    if (inserted) ++next_index_;
    return it->second;
}

void SelectKBest::learn_one(const FeatureMap& x, double y) {
    for (const auto& [name, value] : x) {
        NameEntry& entry = entry_for(name);
        if (entry.learned < 0) {
            entry.learned = static_cast<std::int32_t>(learned_.size());
            learned_.push_back(LearnedFeature{entry.position, {}});
        }
        LearnedFeature& feature = learned_[static_cast<std::size_t>(entry.learned)];
        feature.stats.update(value, y);
        const double score = feature.stats.correlation();
        feature.score = use_abs ? std::fabs(score) : score;
    }
    selection_dirty_ = true;
}

void SelectKBest::set_feature_order(const std::vector<std::string>& names) {
    for (const std::string& name : names) entry_for(name);
    selection_dirty_ = true;
}

void SelectKBest::refresh_selection() {
    selection_dirty_ = false;
    const std::size_t n = learned_.size();
    const std::size_t keep = k <= 0 ? 0 : std::min(static_cast<std::size_t>(k), n);
    for (LearnedFeature& f : learned_) f.selected = keep == n;
    if (keep == n) return;
    ranking_.resize(n);
    std::iota(ranking_.begin(), ranking_.end(), 0U);
    // Descending score, then ascending position. A NaN score (from NaN or infinite values) ranks
    // below every number, so the order stays total.
    const auto better = [this](std::uint32_t a, std::uint32_t b) {
        const LearnedFeature& fa = learned_[a];
        const LearnedFeature& fb = learned_[b];
        const bool nan_a = std::isnan(fa.score);
        const bool nan_b = std::isnan(fb.score);
        if (nan_a != nan_b) return nan_b;
        if (!nan_a && fa.score != fb.score) return fa.score > fb.score;
        return fa.position < fb.position;
    };
    std::partial_sort(ranking_.begin(), ranking_.begin() + static_cast<std::ptrdiff_t>(keep), ranking_.end(), better);
    for (std::size_t i = 0; i < keep; ++i) learned_[ranking_[i]].selected = true;
}

bool SelectKBest::keeps(const std::string& name) const {
    const auto it = names_.find(name);
    return it != names_.end() && it->second.learned >= 0 &&
           learned_[static_cast<std::size_t>(it->second.learned)].selected;
}

FeatureMap SelectKBest::transform_one(const FeatureMap& x) {
    if (selection_dirty_) refresh_selection();
    if (learned_.empty()) return x;
    FeatureMap kept;
    kept.reserve(x.size());
    for (const auto& [name, value] : x) {
        if (keeps(name)) kept.append_unique(name, value);
    }
    return kept;
}

void SelectKBest::transform_one_inplace(FeatureMap& x) {
    if (selection_dirty_) refresh_selection();
    if (learned_.empty()) return;
    for (auto it = x.begin(); it != x.end();) {
        if (keeps(it->first)) {
            ++it;
        } else {
            it = x.erase(it);
        }
    }
}

void SelectKBest::reset() {
    learned_.clear();
    for (auto& [name, entry] : names_) entry.learned = -1;
    selection_dirty_ = true;
}

}  // namespace quelb
