#pragma once
// Scores over the most recent pairs of a stream: a ring of the last `window_size` pairs, with
// running counts or sums updated as pairs enter and leave the ring.
#include <cstdint>
#include <map>
#include <vector>

#include "core/options.hpp"
#include "core/types.hpp"
#include "metrics/classification.hpp"

namespace quelb {

// The option of the windowed metrics. A negative window size is taken as 0: such a window ignores
// every update.
struct WindowOptions {
    std::int32_t window_size = 1000;

    static constexpr auto fields() {
        return std::make_tuple(option("window_size", &WindowOptions::window_size, kArgument,
                                      "number of latest pairs scored (0 or less ignores updates)"));
    }
};

// A windowed metric made with the option its saved state begins with.
template <class Metric>
Metric with_saved_options(StateReader& in) {
    WindowOptions options;
    load_options(in, options);
    return Metric(options);
}

// Accuracy and macro F1 over the last window_size (predicted, actual) label pairs.
class WindowMetric : public WindowOptions {
public:
    using Options = WindowOptions;
    explicit WindowMetric(const Options& options = {});

    void update(Label predicted, Label actual);
    // metric 1 selects macro F1; any other code accuracy.
    double get(std::int32_t metric = 0) const { return metric == 1 ? macro_f1() : accuracy(); }
    double accuracy() const;
    // Mean F1 over the non-negative labels occurring in the window, as true or predicted label.
    double macro_f1() const;
    void reset();
    std::int32_t size() const { return filled_; }

    // The window of pairs; the counts are integers, rebuilt from it exactly on loading.
    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    struct Pair {
        Label predicted;
        Label actual;
        void save_state(StateWriter& out) const {
            out.i32(predicted);
            out.i32(actual);
        }
        void load_state(StateReader& in) {
            predicted = in.i32();
            actual = in.i32();
        }
    };
    // Labels below this are counted in a dense array; larger ones in an ordered map whose entries
    // are removed once they leave the window, so memory follows the labels present rather than
    // the largest label value.
    static constexpr Label kDenseLabels = 4096;

    void count(const Pair& pair, std::int64_t step);
    void count_label(Label label, std::int64_t ClassCounts::*field, std::int64_t step);

    std::vector<Pair> ring_;  // grows to window_size as pairs arrive, then is overwritten in place
    std::vector<ClassCounts> dense_counts_;
    std::map<Label, ClassCounts> sparse_counts_;
    std::int32_t pos_ = 0;
    std::int32_t filled_ = 0;
    std::int64_t n_correct_ = 0;
};

// MAE and RMSE over the last window_size (true, predicted) value pairs.
class WindowRegressionMetric : public WindowOptions {
public:
    using Options = WindowOptions;
    explicit WindowRegressionMetric(const Options& options = {});

    void update(double y_true, double y_pred);
    // metric 1 selects RMSE; any other code MAE.
    double get(std::int32_t metric = 0) const { return metric == 1 ? rmse() : mae(); }
    double mae() const { return filled_ == 0 ? 0.0 : sum_abs_ / filled_; }
    double rmse() const;
    void reset();
    std::int32_t size() const { return filled_; }

    void save_state(StateWriter& out) const;
    void load_state(StateReader& in);

private:
    struct Errors {
        double abs;
        double sq;
        void save_state(StateWriter& out) const {
            out.f64(abs);
            out.f64(sq);
        }
        void load_state(StateReader& in) {
            abs = in.f64();
            sq = in.f64();
        }
    };
    void resum();

    std::vector<Errors> ring_;  // grows to window_size as pairs arrive, then is overwritten in place
    double sum_abs_ = 0.0;
    double sum_sq_ = 0.0;
    std::int32_t pos_ = 0;
    std::int32_t filled_ = 0;
    std::int64_t updates_since_resum_ = 0;
};

}  // namespace quelb
