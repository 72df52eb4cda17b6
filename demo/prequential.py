"""Prequential (test-then-train) evaluation of every learner on the electricity stream.

Each sample is first predicted, the prediction scored, and only then learned. The very first
sample is learned without being scored: an empty model has nothing to predict with. Prints, per
classifier, the accuracy and macro F1 of the whole run, the accuracy over the last WINDOW scored
samples (how well the model fits the stream's current concept) and the throughput.

The regression run uses the same stream with a continuous column as the target: feat_2 (the
second column, a price scaled to [0, 1]) predicted from the other five features. The class label
is left out of the inputs: it records whether that price went up, so it would leak the answer.
Prints, per regressor, MAE, RMSE and R2 of the whole run, MAE over the last WINDOW scored samples
and the throughput.
"""
import argparse
import sys
import time

import _quelb_core as q
from streams import electricity

# Samples in the sliding window of the recent accuracy (and MAE).
WINDOW = 1000
# The column the regression run predicts from the others.
REGRESSION_TARGET = "feat_2"


def classifiers():
    """Every classifier the module offers, with the options the demo runs them with."""
    return [
        ("NaiveBayes", lambda: q.NaiveBayes()),
        ("Perceptron", lambda: q.Perceptron()),
        ("LogisticRegressionClassifier", lambda: q.LogisticRegressionClassifier()),
        ("PassiveAggressiveClassifier", lambda: q.PassiveAggressiveClassifier()),
        ("SoftmaxRegression", lambda: q.SoftmaxRegression()),
        ("KNNClassifier", lambda: q.KNNClassifier()),
    ]


def regressors():
    """Every regressor the module offers, with the options the demo runs them with."""
    return [
        ("LinearRegression", lambda: q.LinearRegression()),
        ("BayesianLinearRegression", lambda: q.BayesianLinearRegression()),
        # The target lives in [0, 1]: the default epsilon of 0.1 would ignore most errors.
        ("PassiveAggressiveRegressor(epsilon=0.01)", lambda: q.PassiveAggressiveRegressor(epsilon=0.01)),
        ("KNNRegressor", lambda: q.KNNRegressor()),
    ]


# Learners whose answers depend on the scale of the features: the demo also runs each of them
# behind a StandardScaler, as a pipeline.
SCALE_SENSITIVE = {"NaiveBayes", "Perceptron", "LogisticRegressionClassifier",
                   "PassiveAggressiveClassifier", "SoftmaxRegression", "KNNClassifier",
                   "LinearRegression", "BayesianLinearRegression", "PassiveAggressiveRegressor",
                   "KNNRegressor"}


def with_scaled_pipelines(learners, pipeline):
    """The learners, each scale-sensitive one followed by its standard-scaled pipeline."""
    out = []
    for name, make in learners:
        out.append((name, make))
        if name.split("(")[0] in SCALE_SENSITIVE:
            out.append((f"StandardScaler | {name}",
                        lambda make=make: pipeline([q.StandardScaler()], make())))
    return out


class Progress:
    """A progress line on stderr: redrawn in place on a terminal, a few lines otherwise."""

    def __init__(self, label, total):
        self.label, self.total = label, total
        self.tty = sys.stderr.isatty()
        self.next_report = 0

    def update(self, done):
        if done < self.next_report and done != self.total:
            return
        pct = 100 * done // self.total
        if self.tty:
            sys.stderr.write(f"\r  {self.label:<34} {done:>7}/{self.total} ({pct:3d}%)")
            self.next_report = done + max(1, self.total // 100)
        else:
            sys.stderr.write(f"  {self.label}: {pct}%\n")
            self.next_report = done + max(1, self.total // 4)
        if done == self.total and self.tty:
            sys.stderr.write("\r" + " " * 70 + "\r")
        sys.stderr.flush()


def run_classifier(name, model, stream):
    accuracy, macro_f1, recent = q.Accuracy(), q.MacroF1(), q.WindowMetric(WINDOW)
    progress = Progress(name, len(stream))
    start = time.perf_counter()
    for i, (x, y) in enumerate(stream, 1):
        if i > 1:
            y_pred = model.predict_one(x)
            accuracy.update(y, y_pred)
            macro_f1.update(y, y_pred)
            recent.update(y_pred, y)
        model.learn_one(x, y)
        if i % 500 == 0 or i == len(stream):
            progress.update(i)
    elapsed = time.perf_counter() - start
    return accuracy.get(), macro_f1.get(), recent.accuracy(), len(stream) / elapsed


def regression_stream(stream):
    """The stream with REGRESSION_TARGET as the target and the other features as inputs."""
    rows = []
    for x, _ in stream:
        inputs = dict(x)
        target = inputs.pop(REGRESSION_TARGET)
        rows.append((inputs, target))
    return rows


def run_regressor(name, model, stream):
    mae, rmse, r2, recent = q.MAE(), q.RMSE(), q.R2(), q.WindowRegressionMetric(WINDOW)
    progress = Progress(name, len(stream))
    start = time.perf_counter()
    for i, (x, y) in enumerate(stream, 1):
        if i > 1:
            y_pred = model.predict_one(x)
            mae.update(y, y_pred)
            rmse.update(y, y_pred)
            r2.update(y, y_pred)
            recent.update(y, y_pred)
        model.learn_one(x, y)
        if i % 500 == 0 or i == len(stream):
            progress.update(i)
    elapsed = time.perf_counter() - start
    return mae.get(), rmse.get(), r2.get(), recent.mae(), len(stream) / elapsed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=0, help="use only the first N samples")
    args = parser.parse_args(argv)

    stream = electricity()
    if args.limit > 0:
        stream = stream[: args.limit]
    print(f"Electricity stream: {len(stream)} samples, {len(stream[0][0])} features, binary target")
    learners = with_scaled_pipelines(classifiers(), q.ClassificationPipeline)
    width = max(42, 2 + max(len(name) for name, _ in learners))
    recent_header = f"acc last {WINDOW}"
    print(f"{'learner':<{width}}{'accuracy':>10}{'macro F1':>10}{recent_header:>15}{'samples/s':>12}")
    for name, make in learners:
        acc, f1, recent_acc, rate = run_classifier(name, make(), stream)
        print(f"{name:<{width}}{acc:>10.4f}{f1:>10.4f}{recent_acc:>15.4f}{rate:>12,.0f}", flush=True)

    reg_stream = regression_stream(stream)
    print(f"\nRegression: {REGRESSION_TARGET} predicted from the other {len(reg_stream[0][0])} features")
    learners = with_scaled_pipelines(regressors(), q.RegressionPipeline)
    width = max(42, 2 + max(len(name) for name, _ in learners))
    recent_header = f"MAE last {WINDOW}"
    print(f"{'learner':<{width}}{'MAE':>10}{'RMSE':>10}{'R2':>10}{recent_header:>15}{'samples/s':>12}")
    for name, make in learners:
        mae, rmse, r2, recent_mae, rate = run_regressor(name, make(), reg_stream)
        print(f"{name:<{width}}{mae:>10.4f}{rmse:>10.4f}{r2:>10.4f}{recent_mae:>15.4f}{rate:>12,.0f}", flush=True)


if __name__ == "__main__":
    main()
