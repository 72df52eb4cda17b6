#include "trees/hoeffding_tree_classifier.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/hoeffding.hpp"
#include "core/probabilities.hpp"
#include "core/state.hpp"
#include "trees/split_candidates.hpp"

namespace quelb {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Entropy in bits of class weights with the given total.
double entropy(const std::vector<double>& counts, double total) {
    if (total <= 0.0) return 0.0;
    double h = 0.0;
    for (double c : counts) {
        if (c > 0.0) {
            const double p = c / total;
            h -= p * std::log2(p);
        }
    }
    return h;
}

double sum_of(const std::vector<double>& counts) {
    double total = 0.0;
    for (double c : counts) total += c;
    return total;
}

}  // namespace

// ---- Leaf ---------------------------------------------------------------------------------------

std::size_t HoeffdingTreeClassifier::Leaf::find_class(Label y) const {
    std::size_t c = 0;
    while (c < labels.size() && labels[c] != y) ++c;
    return c;
}

std::size_t HoeffdingTreeClassifier::Leaf::add_class(Label y) {
    labels.push_back(y);
    counts.push_back(0.0);
    if (labels.size() > stride) {
        // Re-lay the estimators out with room for one more class per feature: a leaf meets few
        // classes, each once, and spare room would cost a never-read estimator per feature.
        const std::size_t new_stride = std::max<std::size_t>(2, labels.size());
        std::vector<GaussianEstimator> wider(slot_ids.size() * new_stride);
        for (std::size_t s = 0; s < slot_ids.size(); ++s) {
            std::copy_n(estimators.begin() + s * stride, stride, wider.begin() + s * new_stride);
        }
        estimators.swap(wider);
        stride = new_stride;
    }
    return labels.size() - 1;
}

std::uint32_t HoeffdingTreeClassifier::Leaf::add_slot(std::uint32_t id) {
    const auto slot = static_cast<std::uint32_t>(slot_ids.size());
    slot_ids.push_back(id);
    slot_of.insert(id, slot);
    estimators.resize(estimators.size() + stride);
    return slot;
}

// ---- Tree ---------------------------------------------------------------------------------------

ClassSplitMerit parse_class_split_merit(std::string_view text) {
    return text == "gini" ? ClassSplitMerit::gini : ClassSplitMerit::info_gain;
}

LeafMode parse_leaf_mode(std::string_view text) {
    return text == "mc" ? LeafMode::majority_class : text == "nb" ? LeafMode::naive_bayes : LeafMode::adaptive;
}

HoeffdingTreeClassifier::HoeffdingTreeClassifier(const Options& options)
    : Options(options), rng_(0) {
    check_options(static_cast<const Options&>(*this));
    reset();
}

void HoeffdingTreeClassifier::reset() {
    ++structure_version_;
    budget_.reset();
    nodes_.assign(1, Node{});
    nodes_[0].leaf = 0;
    leaves_.clear();
    leaves_.emplace_back();
    classes_seen_.clear();
}

std::vector<HoeffdingTreeClassifier::LeafCounters> HoeffdingTreeClassifier::leaf_counters() const {
    std::vector<LeafCounters> counters;
    for (const Node& node : nodes_) {
        if (!node.is_leaf()) continue;
        const Leaf& leaf = leaves_[node.leaf];
        counters.push_back({leaf.weight_seen, leaf.mc_correct, leaf.nb_correct});
    }
    return counters;
}

std::size_t HoeffdingTreeClassifier::heap_bytes() const {
    return memory::owned_all(nodes_, leaves_, classes_seen_, resolved_, terms_, terms_stamp_, estimates_,
                             estimates_stamp_, cached_resolved_, scores_, candidates_, thresholds_, weighers_, left_,
                             right_);
}

TreeDescription HoeffdingTreeClassifier::describe() const {
    return describe_tree_nodes(nodes_, features_->index(), [&](std::uint32_t index, TreeDescription::Node& out) {
        const Leaf& leaf = leaves_[index];
        out.samples_seen = leaf.weight_seen;
        out.answer_mode = answers_with_naive_bayes(leaf) ? "naive_bayes" : "majority_class";
        out.classifies = true;
        out.label = majority_class(leaf);
        for (std::size_t c = 0; c < leaf.labels.size(); ++c) out.class_counts.emplace_back(leaf.labels[c], leaf.counts[c]);
    });
}

bool HoeffdingTreeClassifier::at_grace_multiple(double weight) const {
    // A weight no int64 holds (or NaN) comes only from a damaged state: converting it is undefined.
    if (grace_period <= 0 || !(std::fabs(weight) < 0x1p63)) return false;
    const auto n = static_cast<std::int64_t>(weight);
    // A 32-bit division is much cheaper than a 64-bit one and covers every realistic weight.
    if (n >= 0 && n <= 0xFFFFFFFFLL) return static_cast<std::uint32_t>(n) % static_cast<std::uint32_t>(grace_period) == 0;
    return n % grace_period == 0;
}

void HoeffdingTreeClassifier::note_class(Label y) {
    auto it = std::lower_bound(classes_seen_.begin(), classes_seen_.end(), y);
    if (it == classes_seen_.end() || *it != y) classes_seen_.insert(it, y);
}

void HoeffdingTreeClassifier::resolve(Leaf& leaf, bool create) {
    resolved_.clear();
    if (create && leaf.slot_ids.empty()) {
        // A new leaf usually sees all of the sample's features at once.
        const std::size_t n = features_->entries().size();
        leaf.slot_of.reserve(n);
        leaf.slot_ids.reserve(n);
        leaf.estimators.reserve(n * std::max<std::size_t>(leaf.stride, 2));
    }
    for (const FeatureIndex::Entry& entry : features_->entries()) {
        std::uint32_t slot = leaf.slot_of.find(entry.column);
        if (slot == SlotTable::kNone) {
            if (!create) continue;
            slot = leaf.add_slot(entry.column);
        }
        resolved_.push_back({slot, entry.value});
    }
    const auto leaf_index = static_cast<std::size_t>(&leaf - leaves_.data());
    const auto same_feature = [](const ResolvedFeature& a, const ResolvedFeature& b) {
        return a.slot == b.slot && std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
    };
    if (cached_version_ == structure_version_ && cached_leaf_ == leaf_index &&
        std::equal(resolved_.begin(), resolved_.end(), cached_resolved_.begin(), cached_resolved_.end(),
                   same_feature)) {
        return;
    }
    cached_resolved_ = resolved_;
    cached_leaf_ = leaf_index;
    cached_version_ = structure_version_;
    // A new stamp forgets every cached column at once.
    if (++resolve_stamp_ == 0) {
        std::fill(terms_stamp_.begin(), terms_stamp_.end(), 0u);
        std::fill(estimates_stamp_.begin(), estimates_stamp_.end(), 0u);
        resolve_stamp_ = 1;
    }
}

Label HoeffdingTreeClassifier::majority_class(const Leaf& leaf) {
    if (leaf.labels.empty()) return 0;
    Label best = leaf.labels[0];
    double best_count = -1.0;
    for (std::size_t c = 0; c < leaf.labels.size(); ++c) {
        if (leaf.counts[c] > best_count) {
            best_count = leaf.counts[c];
            best = leaf.labels[c];
        }
    }
    return best;
}

bool HoeffdingTreeClassifier::answers_with_naive_bayes(const Leaf& leaf) const {
    if (leaf_prediction == LeafMode::majority_class || leaf.weight_seen < nb_threshold) return false;
    if (leaf_prediction == LeafMode::naive_bayes) return true;
    return leaf.nb_correct > leaf.mc_correct;
}

const std::vector<double>& HoeffdingTreeClassifier::log_scores(const Leaf& leaf) {
    const std::size_t n_classes = leaf.labels.size();
    const std::size_t n_features = resolved_.size();
    // Density terms only change for the class that learnt since they were computed.
    if (terms_.size() < n_classes * n_features) terms_.resize(n_classes * n_features);
    if (terms_stamp_.size() < n_classes) terms_stamp_.resize(n_classes, 0);
    for (std::size_t c = 0; c < n_classes; ++c) {
        if (terms_stamp_[c] == resolve_stamp_) continue;
        double* terms = terms_.data() + c * n_features;
        for (std::size_t f = 0; f < n_features; ++f) {
            const GaussianEstimator& e = leaf.estimator(resolved_[f].slot, c);
            // A feature never seen with this class adds nothing (adding 0.0 is exact).
            terms[f] = e.count > 0.0 ? log_floored_density(e, resolved_[f].value) : 0.0;
        }
        terms_stamp_[c] = resolve_stamp_;
    }
    if (scores_.size() != n_classes) scores_.resize(n_classes);
    for (std::size_t c = 0; c < n_classes; ++c) {
        double score = std::log(leaf.counts[c] / leaf.weight_seen);
        const double* terms = terms_.data() + c * n_features;
        for (std::size_t f = 0; f < n_features; ++f) score += terms[f];
        scores_[c] = score;
    }
    return scores_;
}

HoeffdingTreeClassifier::Winner HoeffdingTreeClassifier::naive_bayes_winner(const Leaf& leaf) {
    Winner winner;
    if (estimated_winner(leaf, winner)) return winner;
    // Too close to call from the estimates: the exact scores decide.
    return exact_winner(leaf);
}

const double* HoeffdingTreeClassifier::class_estimates(const Leaf& leaf, std::size_t c) {
    const std::size_t n_features = resolved_.size();
    double* estimates = estimates_.data() + c * n_features;
    if (estimates_stamp_[c] == resolve_stamp_) return estimates;
    for (std::size_t f = 0; f < n_features; ++f) {
        const GaussianEstimator& e = leaf.estimator(resolved_[f].slot, c);
        if (e.count <= 0.0) {
            estimates[f] = 0.0;
            continue;
        }
        const LogDensityEstimate t = estimate_log_floored_density(e, resolved_[f].value);
        estimates[f] = t.certain ? t.value : std::numeric_limits<double>::quiet_NaN();
    }
    estimates_stamp_[c] = resolve_stamp_;
    return estimates;
}

bool HoeffdingTreeClassifier::estimated_winner(const Leaf& leaf, Winner& top) {
    const std::size_t n_classes = leaf.labels.size();
    const std::size_t n_features = resolved_.size();
    if (estimates_.size() < n_classes * n_features) estimates_.resize(n_classes * n_features);
    if (estimates_stamp_.size() < n_classes) estimates_stamp_.resize(n_classes, 0);

    // Estimated scores with their error bounds. An estimate is within kLogDensityEstimateError
    // of its exact term, fast_log within 1e-9 of the exact prior, and the two sums differ by
    // their roundings, each below 2^-53 of the magnitude summed so far.
    double top_score = 0.0, top_bound = 0.0;
    double second_reach = -kInf;  // greatest estimate + bound among the other classes
    for (std::size_t c = 0; c < n_classes; ++c) {
        const double* estimates = class_estimates(leaf, c);
        const double ratio = leaf.counts[c] / leaf.weight_seen;
        if (!(ratio >= DBL_MIN && ratio <= DBL_MAX)) return false;
        double score = fast_log(ratio);
        double magnitude = std::fabs(score);
        for (std::size_t f = 0; f < n_features; ++f) {
            score += estimates[f];
            magnitude += std::fabs(estimates[f]);
        }
        if (std::isnan(score)) return false;
        const double bound = static_cast<double>(n_features + 1) * (kLogDensityEstimateError + 4.5e-16 * magnitude);
        top.magnitude = std::max(top.magnitude, magnitude);
        if (c == 0 || score > top_score) {
            if (c > 0) second_reach = std::max(second_reach, top_score + top_bound);
            top.index = c;
            top_score = score;
            top_bound = bound;
        } else {
            second_reach = std::max(second_reach, score + bound);
        }
    }
    if (!(top_score - top_bound > second_reach)) return false;
    top.margin = top_score - top_bound - second_reach;
    return true;
}

HoeffdingTreeClassifier::Winner HoeffdingTreeClassifier::exact_winner(const Leaf& leaf) {
    const std::size_t n_features = resolved_.size();
    const std::vector<double>& scores = log_scores(leaf);
    Winner winner;
    double best_score = -kInf;
    for (std::size_t c = 0; c < scores.size(); ++c) {
        if (scores[c] > best_score) {
            best_score = scores[c];
            winner.index = c;
        }
    }
    if (winner.index == kNoClass) return winner;
    double runner_up = -kInf;
    for (std::size_t c = 0; c < scores.size(); ++c) {
        if (c != winner.index && scores[c] > runner_up) runner_up = scores[c];
    }
    winner.margin = best_score - runner_up;
    for (std::size_t c = 0; c < scores.size(); ++c) {
        double magnitude = std::fabs(std::log(leaf.counts[c] / leaf.weight_seen));
        for (std::size_t f = 0; f < n_features; ++f) magnitude += std::fabs(terms_[c * n_features + f]);
        winner.magnitude = std::max(winner.magnitude, magnitude);
    }
    return winner;
}

Label HoeffdingTreeClassifier::answer(Leaf& leaf, Winner& nb_winner) {
    nb_winner = Winner{};
    const Label majority = majority_class(leaf);
    if (!answers_with_naive_bayes(leaf) || leaf.weight_seen <= 0.0) return majority;
    nb_winner = naive_bayes_winner(leaf);
    return nb_winner.index == kNoClass ? majority : leaf.labels[nb_winner.index];
}

bool HoeffdingTreeClassifier::learning_raises_score(const Leaf& leaf, std::size_t c) const {
    // In exact arithmetic, adding a value to a Gaussian estimator that has seen at least one
    // value raises its floored log density at that value, and the class's prior grows. Values
    // bounded by 1e100 keep the estimators far from overflow.
    for (const ResolvedFeature& f : resolved_) {
        if (!(std::fabs(f.value) <= 1e100) || leaf.estimator(f.slot, c).count < 1.0) return false;
    }
    return true;
}

void HoeffdingTreeClassifier::learn_one(const FeatureMap& x, Label y) {
    features_->load(x, true);
    predict_then_learn_loaded(y, 1);
}

Label HoeffdingTreeClassifier::predict_then_learn(const FeatureMap& x, Label y, int times) {
    features_->load(x, times > 0);
    return predict_then_learn_loaded(y, times);
}

Label HoeffdingTreeClassifier::predict_then_learn_loaded(Label y, int times) {
    int depth = 0;
    std::uint32_t node = sort_to_leaf(0, depth);
    // New slots start with empty estimators, which no answer reads: creating them before the
    // prediction changes nothing. An inactive leaf makes none.
    resolve(leaf_of(node), times > 0 && leaf_of(node).active);
    Winner answered;
    const Label prediction = answer(leaf_of(node), answered);
    if (times <= 0) return prediction;
    note_class(y);
    const bool scores_leaves = leaf_prediction != LeafMode::majority_class;
    // Set once y is known to stay the naive Bayes winner at this leaf for the remaining repeats.
    bool y_stays_winner = false;

    for (int i = 0; i < times; ++i) {
        Leaf& leaf = leaf_of(node);
        // Score the leaf's two answers before learning, for the adaptive mode.
        if (scores_leaves && leaf.weight_seen > 0.0) {
            if (majority_class(leaf) == y) leaf.mc_correct += 1.0;
            if (y_stays_winner) {
                leaf.nb_correct += 1.0;
            } else {
                // The answer's winner still holds before the first update.
                const Winner winner = i == 0 && answered.index != kNoClass ? answered : naive_bayes_winner(leaf);
                const Label nb_winner = winner.index == kNoClass ? 0 : leaf.labels[winner.index];
                if (nb_winner == y) {
                    leaf.nb_correct += 1.0;
                    // Each repeat raises y's score and lowers the others' (their priors shrink),
                    // so a margin wider than what the roundings of the remaining repeats can eat
                    // keeps y ahead.
                    const double remaining = static_cast<double>(times - i - 1);
                    const double slack_per_repeat =
                        64.0 * static_cast<double>(resolved_.size() + 2) * 2.3e-16 * (2.0 * winner.magnitude + 1.0);
                    y_stays_winner = remaining > 0.0 && winner.margin > remaining * slack_per_repeat + 1e-9 &&
                                     learning_raises_score(leaf, winner.index);
                }
            }
        }

        std::size_t c = leaf.find_class(y);
        if (c == leaf.labels.size()) c = leaf.add_class(y);
        leaf.counts[c] += 1.0;
        leaf.weight_seen += 1.0;
        for (const ResolvedFeature& f : resolved_) leaf.estimator(f.slot, c).update(f.value);
        if (c < terms_stamp_.size()) terms_stamp_[c] = 0;
        if (c < estimates_stamp_.size()) estimates_stamp_[c] = 0;

        if (at_grace_multiple(leaf.weight_seen) && attempt_split(node, depth) && i + 1 < times) {
            node = sort_to_leaf(node, depth);
            resolve(leaf_of(node), true);
            y_stays_winner = false;
        }
    }
    if (budget_.tick(max_bytes.has_value())) enforce_budget();
    return prediction;
}

Label HoeffdingTreeClassifier::predict_one(const FeatureMap& x) {
    features_->load(x, false);
    int depth = 0;
    Leaf& leaf = leaf_of(sort_to_leaf(0, depth));
    resolve(leaf, false);
    Winner nb_winner;
    return answer(leaf, nb_winner);
}

void HoeffdingTreeClassifier::predict_proba_into(const FeatureMap& x, std::vector<std::pair<Label, double>>& out) {
    features_->load(x, false);
    predict_proba_loaded(out);
}

void HoeffdingTreeClassifier::predict_proba_loaded(std::vector<std::pair<Label, double>>& out) {
    out.clear();
    int depth = 0;
    Leaf& leaf = leaf_of(sort_to_leaf(0, depth));
    if (leaf.weight_seen <= 0.0) {
        for (Label label : classes_seen_) out.emplace_back(label, 1.0 / static_cast<double>(classes_seen_.size()));
        return;
    }
    if (answers_with_naive_bayes(leaf)) {
        // Normalised in log space: the product of densities underflows to 0 for every class
        // with many features or values far from the means.
        resolve(leaf, false);
        log_scores(leaf);
        normalize_log_scores(scores_);
        for (std::size_t c = 0; c < leaf.labels.size(); ++c) out.emplace_back(leaf.labels[c], scores_[c]);
    } else {
        for (std::size_t c = 0; c < leaf.labels.size(); ++c) {
            out.emplace_back(leaf.labels[c], leaf.counts[c] / leaf.weight_seen);
        }
    }
    for (Label label : classes_seen_) {
        if (leaf.find_class(label) == leaf.labels.size()) out.emplace_back(label, 0.0);
    }
}

ClassProbabilities HoeffdingTreeClassifier::predict_proba_one(const FeatureMap& x) {
    std::vector<std::pair<Label, double>> entries;
    predict_proba_into(x, entries);
    ClassProbabilities result;
    result.reserve(entries.size());
    for (const auto& [label, p] : entries) result.emplace(label, p);
    return result;
}

// ---- Split attempt ------------------------------------------------------------------------------

void HoeffdingTreeClassifier::prepare_split(const Leaf& leaf, std::uint32_t slot) {
    const std::size_t n_classes = leaf.labels.size();
    weighers_.resize(n_classes);
    left_.resize(n_classes);
    right_.resize(n_classes);
    for (std::size_t c = 0; c < n_classes; ++c) weighers_[c] = leaf.estimator(slot, c).split_weigher();
}

void HoeffdingTreeClassifier::split_branches(double threshold) {
    for (std::size_t c = 0; c < weighers_.size(); ++c) {
        // Classes that never saw the feature have no weight on either side.
        if (weighers_[c].weight <= 0.0) {
            left_[c] = right_[c] = 0.0;
            continue;
        }
        const auto [l, r] = weighers_[c](threshold);
        left_[c] = l;
        right_[c] = r;
    }
}

double HoeffdingTreeClassifier::merit(bool gini, double pre_entropy, const std::vector<double>* const* branches,
                                      std::size_t n_branches) const {
    double totals[2];
    double sum = 0.0;
    for (std::size_t b = 0; b < n_branches; ++b) {
        totals[b] = sum_of(*branches[b]);
        sum += totals[b];
    }
    if (gini) {
        if (n_branches == 0 || sum <= 0.0) return 0.0;
        double impurity = 0.0;
        for (std::size_t b = 0; b < n_branches; ++b) {
            double g = 0.0;
            if (totals[b] > 0.0) {
                double squares = 0.0;
                for (double c : *branches[b]) {
                    const double p = c / totals[b];
                    squares += p * p;
                }
                g = 1.0 - squares;
            }
            impurity += totals[b] / sum * g;
        }
        return 1.0 - impurity;
    }
    if (n_branches == 0 || sum <= 0.0) return -kInf;
    int carrying = 0;
    for (std::size_t b = 0; b < n_branches; ++b) carrying += totals[b] / sum > 0.01;
    if (carrying < 2) return -kInf;
    double weighted = 0.0;
    for (std::size_t b = 0; b < n_branches; ++b) weighted += totals[b] * entropy(*branches[b], totals[b]);
    return pre_entropy - weighted / sum;
}

namespace {

// The candidates of a split attempt in the order offered: the first greatest merit and the
// runner-up.
struct SplitRace {
    double best_merit = -kInf, second_merit = -kInf;
    bool have_best = false, best_is_null = false;
    std::size_t n_candidates = 0;
    std::uint32_t best_slot = 0;
    double best_threshold = 0.0;

    void offer(double m, bool is_null, std::uint32_t slot, double threshold) {
        ++n_candidates;
        if (!have_best) {
            have_best = true;
            best_merit = m;
        } else if (m > best_merit) {
            if (best_merit > second_merit) second_merit = best_merit;
            best_merit = m;
        } else {
            if (m > second_merit) second_merit = m;
            return;
        }
        best_is_null = is_null;
        best_slot = slot;
        best_threshold = threshold;
    }

    // Whether the best is a split that the Hoeffding bound epsilon (or a tie) lets through.
    bool splits(double epsilon, double tie_threshold) const {
        if (!have_best || best_merit == -kInf || best_is_null) return false;
        // NaN merits never win a comparison: a NaN runner-up counts as none.
        return n_candidates < 2 || best_merit - second_merit > epsilon || epsilon < tie_threshold;
    }
};

}  // namespace

void HoeffdingTreeClassifier::choose_candidates(const Leaf& leaf) {
    slots_by_name(candidates_, leaf.slot_ids, features_->index());
    if (subspace_size > 0 && static_cast<std::size_t>(subspace_size) < candidates_.size()) {
        rng_.shuffle(candidates_);
        candidates_.resize(static_cast<std::size_t>(subspace_size));
    }
}

bool HoeffdingTreeClassifier::candidate_thresholds(const Leaf& leaf, std::uint32_t slot) {
    double lo = kInf, hi = -kInf;
    for (std::size_t c = 0; c < leaf.labels.size(); ++c) {
        const GaussianEstimator& e = leaf.estimator(slot, c);
        if (e.count <= 0.0) continue;
        if (e.min < lo) lo = e.min;
        if (e.max > hi) hi = e.max;
    }
    if (!(lo < hi)) return false;
    const double n_points = static_cast<double>(n_split_points) + 1.0;
    thresholds_.clear();
    for (std::int64_t i = 1; i <= n_split_points; ++i) {
        const double t = (hi - lo) / n_points * static_cast<double>(i) + lo;
        if (lo < t && t < hi) thresholds_.push_back(t);
    }
    // Rounding keeps step * i + lo non-decreasing in i: the list is ascending already and
    // equal thresholds are neighbours.
    thresholds_.erase(std::unique(thresholds_.begin(), thresholds_.end()), thresholds_.end());
    return !thresholds_.empty();
}

double HoeffdingTreeClassifier::best_threshold(const Leaf& leaf, std::uint32_t slot, bool gini, double pre_entropy,
                                               double& threshold) {
    const std::vector<double>* branches[2] = {&left_, &right_};
    double best = -kInf;
    threshold = 0.0;
    prepare_split(leaf, slot);
    for (double t : thresholds_) {
        split_branches(t);
        const double m = merit(gini, pre_entropy, branches, 2);
        if (m > best) {
            best = m;
            threshold = t;
        }
    }
    return best;
}

bool HoeffdingTreeClassifier::attempt_split(std::uint32_t node, int depth) {
    const Leaf& leaf = leaf_of(node);
    if (depth >= max_depth || leaf.weight_seen < 2.0 || classes_seen_.size() < 2) return false;
    if (leaf.slot_ids.empty()) return false;
    choose_candidates(leaf);

    const bool gini = split_criterion == ClassSplitMerit::gini;
    const double pre_entropy = gini ? 0.0 : entropy(leaf.counts, leaf.weight_seen);
    const double range = gini ? 1.0 : std::log2(static_cast<double>(classes_seen_.size()));
    const double epsilon = hoeffding_bound(range, split_confidence, leaf.weight_seen);

    // The do-not-split candidate first (unless pre-pruning is off), then the best threshold of
    // each considered feature.
    SplitRace race;
    if (!no_pre_prune) {
        const std::vector<double>* single[1] = {&leaf.counts};
        race.offer(merit(gini, pre_entropy, single, 1), true, 0, 0.0);
    }
    for (std::uint32_t slot : candidates_) {
        if (!candidate_thresholds(leaf, slot)) continue;
        double threshold;
        const double m = best_threshold(leaf, slot, gini, pre_entropy, threshold);
        race.offer(m, false, slot, threshold);
    }
    if (!race.splits(epsilon, tie_threshold)) return false;
    apply_split(node, race.best_slot, race.best_threshold);
    return true;
}

void HoeffdingTreeClassifier::apply_split(std::uint32_t node, std::uint32_t slot, double threshold) {
    ++structure_version_;
    Leaf children[2];
    const std::uint32_t parent_leaf = nodes_[node].leaf;
    {
        const Leaf& leaf = leaves_[parent_leaf];
        prepare_split(leaf, slot);
        split_branches(threshold);
        const std::vector<double>* branches[2] = {&left_, &right_};
        for (int side = 0; side < 2; ++side) {
            Leaf& child = children[side];
            for (std::size_t c = 0; c < leaf.labels.size(); ++c) {
                const double w = (*branches[side])[c];
                if (w > 0.0) {
                    child.labels.push_back(leaf.labels[c]);
                    child.counts.push_back(w);
                    child.weight_seen += w;
                }
            }
            child.stride = std::max<std::size_t>(2, child.labels.size());
        }
    }
    Node test;
    test.split_column = leaves_[parent_leaf].slot_ids[slot];
    test.split_threshold = threshold;
    test.left = static_cast<std::uint32_t>(nodes_.size());
    test.right = test.left + 1;
    // The left child takes over the former leaf's record.
    leaves_[parent_leaf] = std::move(children[0]);
    Node left, right;
    left.leaf = parent_leaf;
    right.leaf = static_cast<std::uint32_t>(leaves_.size());
    leaves_.push_back(std::move(children[1]));
    nodes_[node] = test;
    nodes_.push_back(left);
    nodes_.push_back(right);
}

// ---- Memory budget ------------------------------------------------------------------------------

std::size_t HoeffdingTreeClassifier::estimator_bytes(std::size_t slots, std::size_t estimators) {
    return SlotTable::bytes_for(slots) + memory::block(slots * sizeof(std::uint32_t)) +
           memory::block(estimators * sizeof(GaussianEstimator));
}

std::size_t HoeffdingTreeClassifier::estimator_bytes(const Leaf& leaf) {
    return estimator_bytes(leaf.slot_ids.size(), leaf.estimators.size());
}

std::size_t HoeffdingTreeClassifier::budget_bytes() const {
    std::size_t bytes = sizeof(*this) + memory::block(grown_capacity(nodes_.size()) * sizeof(Node)) +
                        memory::block(grown_capacity(leaves_.size()) * sizeof(Leaf));
    for (const Leaf& leaf : leaves_) {
        bytes += memory::block(leaf.labels.size() * sizeof(Label)) + memory::block(leaf.counts.size() * sizeof(double)) +
                 estimator_bytes(leaf);
    }
    return bytes;
}

void HoeffdingTreeClassifier::enforce_budget() {
    const std::size_t n_columns = features_->index().size();
    // The weight its majority class misses.
    const auto promise = [](const Leaf& leaf) {
        return leaf.weight_seen - (leaf.counts.empty() ? 0.0 : *std::max_element(leaf.counts.begin(), leaf.counts.end()));
    };
    const auto drop = [](Leaf& leaf) {
        const std::size_t freed = estimator_bytes(leaf);
        leaf.slot_of = SlotTable{};
        std::vector<std::uint32_t>().swap(leaf.slot_ids);
        std::vector<GaussianEstimator>().swap(leaf.estimators);
        return freed;
    };
    const auto wake = [n_columns](const Leaf& leaf) {
        return estimator_bytes(n_columns, n_columns * std::max<std::size_t>(2, leaf.labels.size()));
    };
    // Cached density terms may belong to a leaf that changed.
    if (budget_.enforce(leaves_, max_bytes, budget_bytes(), promise, drop, wake)) ++structure_version_;
}

// ---- Persistence --------------------------------------------------------------------------------

void HoeffdingTreeClassifier::Leaf::save_state(StateWriter& out) const {
    out.seq(labels, [&](StateWriter&, Label label) { out.i32(label); });
    for (double count : counts) out.f64(count);
    out.f64(weight_seen);
    out.f64(mc_correct);
    out.f64(nb_correct);
    out.u64(stride);
    out.seq(slot_ids, [&](StateWriter&, std::uint32_t column) { out.u32(column); });
    for (std::size_t s = 0; s < slot_ids.size(); ++s) {
        for (std::size_t c = 0; c < labels.size(); ++c) estimators[s * stride + c].save_state(out);
    }
}

void HoeffdingTreeClassifier::Leaf::load_state(StateReader& in, std::uint32_t n_columns) {
    in.seq(labels, [&](StateReader&, Label& label) { label = in.i32(); });
    for (std::size_t c = 0; c < labels.size(); ++c) {
        for (std::size_t d = 0; d < c; ++d) {
            if (labels[d] == labels[c]) in.fail("a tree leaf lists a class twice");
        }
    }
    counts.resize(labels.size());
    for (double& count : counts) count = in.f64();
    weight_seen = in.f64();
    mc_correct = in.f64();
    nb_correct = in.f64();
    const std::uint64_t saved_stride = in.u64();
    // add_class and apply_split keep labels <= stride <= max(2, 2 * labels).
    if (saved_stride < labels.size() || saved_stride > std::max<std::size_t>(2, 2 * labels.size())) {
        in.fail("a tree leaf's estimator layout does not fit its classes");
    }
    stride = static_cast<std::size_t>(saved_stride);
    in.seq(slot_ids, [&](StateReader&, std::uint32_t& column) { column = in.u32(); });
    slot_of = SlotTable{};
    slot_of.reserve(slot_ids.size());
    for (std::uint32_t s = 0; s < slot_ids.size(); ++s) {
        if (slot_ids[s] >= n_columns) in.fail("a tree leaf names a feature column that does not exist");
        if (slot_of.find(slot_ids[s]) != SlotTable::kNone) in.fail("a tree leaf names a feature twice");
        slot_of.insert(slot_ids[s], s);
    }
    // Grown slot by slot: a state too short for its counts fails before much is allocated.
    estimators.clear();
    for (std::size_t s = 0; s < slot_ids.size(); ++s) {
        estimators.resize(estimators.size() + stride);
        for (std::size_t c = 0; c < labels.size(); ++c) estimators[s * stride + c].load_state(in);
    }
}

void HoeffdingTreeClassifier::save_budget(StateWriter& out) const { budget_.save_state(out, max_bytes, leaves_); }

void HoeffdingTreeClassifier::load_budget(StateReader& in) {
    budget_.load_state(in, max_bytes, leaves_, [](const Leaf& leaf) { return leaf.slot_ids.empty(); });
}

void HoeffdingTreeClassifier::save_tree(StateWriter& out) const {
    save_options(out, static_cast<const Options&>(*this));
    save_tree_nodes(out, nodes_);
    out.seq(leaves_, [&](StateWriter&, const Leaf& leaf) { leaf.save_state(out); });
    out.seq(classes_seen_, [&](StateWriter&, Label label) { out.i32(label); });
    out.rng(rng_);
}

void HoeffdingTreeClassifier::load_tree(StateReader& in, std::shared_ptr<SampleColumns> columns) {
    ++structure_version_;  // density terms cached for the tree this one replaces are stale
    const std::uint32_t n_columns = columns->index().size();
    load_options(in, static_cast<Options&>(*this));

    load_tree_nodes(in, nodes_, n_columns);
    // A saved leaf takes at least its three counters, its stride and two counts: a damaged count
    // of leaves cannot make room for many more leaves than the bytes left describe.
    leaves_.clear();
    leaves_.resize(in.size(48));
    for (Leaf& leaf : leaves_) leaf.load_state(in, n_columns);
    check_leaf_records(in, nodes_, leaves_.size());
    in.seq(classes_seen_, [&](StateReader&, Label& label) { label = in.i32(); });
    for (std::size_t i = 1; i < classes_seen_.size(); ++i) {
        if (!(classes_seen_[i - 1] < classes_seen_[i])) in.fail("a tree's classes are out of order");
    }
    in.rng(rng_);
    features_ = std::move(columns);
}

}  // namespace quelb
