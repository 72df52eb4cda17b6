"""Prequential (test-then-train) evaluation of every learner on the electricity stream.

Each sample is first predicted, the prediction scored, and only then learned. The very first
sample is learned without being scored: an empty model has nothing to predict with. Prints, per
learner, the accuracy, macro F1 and throughput of the whole run.
"""
import argparse
import sys
import time

import _quelb_core as q
from streams import electricity


def classifiers():
    """Every classifier the module offers, with the options the demo runs them with."""
    return [
        ("NaiveBayes", lambda: q.NaiveBayes()),
    ]


# Learners whose answers depend on the scale of the features: the demo also runs each of them
# behind a StandardScaler, as a pipeline.
SCALE_SENSITIVE = {"NaiveBayes", "Perceptron", "LogisticRegressionClassifier",
                   "PassiveAggressiveClassifier", "SoftmaxRegression", "KNNClassifier"}


def with_scaled_pipelines(learners):
    """The learners, each scale-sensitive one followed by its standard-scaled pipeline."""
    out = []
    for name, make in learners:
        out.append((name, make))
        if name in SCALE_SENSITIVE:
            out.append((f"StandardScaler | {name}",
                        lambda make=make: q.ClassificationPipeline([q.StandardScaler()], make())))
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
    accuracy, macro_f1 = q.Accuracy(), q.MacroF1()
    progress = Progress(name, len(stream))
    start = time.perf_counter()
    for i, (x, y) in enumerate(stream, 1):
        if i > 1:
            y_pred = model.predict_one(x)
            accuracy.update(y, y_pred)
            macro_f1.update(y, y_pred)
        model.learn_one(x, y)
        if i % 500 == 0 or i == len(stream):
            progress.update(i)
    elapsed = time.perf_counter() - start
    return accuracy.get(), macro_f1.get(), len(stream) / elapsed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=0, help="use only the first N samples")
    args = parser.parse_args(argv)

    stream = electricity()
    if args.limit > 0:
        stream = stream[: args.limit]
    print(f"Electricity stream: {len(stream)} samples, {len(stream[0][0])} features, binary target")
    print(f"{'learner':<36}{'accuracy':>10}{'macro F1':>10}{'samples/s':>12}")
    for name, make in with_scaled_pipelines(classifiers()):
        acc, f1, rate = run_classifier(name, make(), stream)
        print(f"{name:<36}{acc:>10.4f}{f1:>10.4f}{rate:>12,.0f}", flush=True)


if __name__ == "__main__":
    main()
