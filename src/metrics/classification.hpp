#pragma once
// Cumulative classification scores over a stream of (true, predicted) label pairs.
#include <cstdint>
#include <unordered_map>

#include "core/state.hpp"
#include "core/types.hpp"

namespace quelb {

// Largest count a saved metric may hold: far beyond any stream, and 2 * tp + fp + fn stays exact.
inline constexpr std::int64_t kMaxSavedCount = std::int64_t{1} << 60;

class Accuracy {
public:
    void update(Label y_true, Label y_pred) {
        ++n_pairs_;
        if (y_true == y_pred) ++n_correct_;
    }
    double get() const {
        return n_pairs_ == 0 ? 0.0 : static_cast<double>(n_correct_) / static_cast<double>(n_pairs_);
    }
    void reset() { n_correct_ = n_pairs_ = 0; }

    void save_state(StateWriter& out) const {
        out.i64(n_correct_);
        out.i64(n_pairs_);
    }
    void load_state(StateReader& in) {
        n_correct_ = in.i64();
        n_pairs_ = in.i64();
        if (n_pairs_ < 0 || n_pairs_ > kMaxSavedCount || n_correct_ < 0 || n_correct_ > n_pairs_)
            in.fail("accuracy counts out of range");
    }

private:
    std::int64_t n_correct_ = 0;
    std::int64_t n_pairs_ = 0;
};

struct ClassCounts {
    std::int64_t tp = 0;
    std::int64_t fp = 0;
    std::int64_t fn = 0;

    void save_state(StateWriter& out) const {
        out.i64(tp);
        out.i64(fp);
        out.i64(fn);
    }
    void load_state(StateReader& in) {
        tp = in.i64();
        fp = in.i64();
        fn = in.i64();
        // Counts a stream can reach; larger ones would overflow the sums the scores take.
        for (std::int64_t count : {tp, fp, fn}) {
            if (count < 0 || count > kMaxSavedCount) in.fail("class counts out of range");
        }
    }
};

// Per-label confusion counts shared by the three macro averages.
class MacroCounts {
public:
    void update(Label y_true, Label y_pred);
    void reset() { clear_as_new(label_counts_); }

    // The averages sum over the map in its order: it is restored in that order.
    void save_state(StateWriter& out) const {
        out.map(label_counts_, [](StateWriter& w, const ClassCounts& c) { c.save_state(w); });
    }
    void load_state(StateReader& in) {
        in.map(label_counts_, [](StateReader& r, ClassCounts& c) { c.load_state(r); });
    }

protected:
    // Mean over every label seen of score(counts); 0.0 when nothing was seen.
    template <class Score>
    double average(Score score) const {
        if (label_counts_.empty()) return 0.0;
        double sum = 0.0;
        for (const auto& entry : label_counts_) sum += score(entry.second);
        return sum / static_cast<double>(label_counts_.size());
    }

private:
    std::unordered_map<Label, ClassCounts> label_counts_;
};

// Ratio num / den as doubles, 0.0 when den is 0.
inline double safe_ratio(std::int64_t num, std::int64_t den) {
    return den > 0 ? static_cast<double>(num) / static_cast<double>(den) : 0.0;
}

class MacroPrecision : public MacroCounts {
public:
    double get() const {
        return average([](const ClassCounts& c) { return safe_ratio(c.tp, c.tp + c.fp); });
    }
};

class MacroRecall : public MacroCounts {
public:
    double get() const {
        return average([](const ClassCounts& c) { return safe_ratio(c.tp, c.tp + c.fn); });
    }
};

class MacroF1 : public MacroCounts {
public:
    double get() const {
        return average(
            [](const ClassCounts& c) { return safe_ratio(2 * c.tp, 2 * c.tp + c.fp + c.fn); });
    }
};

}  // namespace quelb
