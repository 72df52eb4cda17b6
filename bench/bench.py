"""Per-sample cost of every class, as a ratio to the cost of crossing the boundary.

The floor is a do-nothing call of the benchmark-only extension that converts the same sample
(and label) exactly as the product module does. For each class and stream the benchmark runs a
prequential loop in chunks, timing predict_one (or transform_one, or update) and learn_one
separately, and reports the median time per sample over the chunks.

Usage: scripts/bench.sh [--samples N] [--only NAME] [--chunk N]
"""
import argparse
import os
import random
import statistics
import sys
import time

import _quelb_bench as floor
import _quelb_core as q

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "demo"))
from streams import electricity, regression_stream  # noqa: E402


def dense_stream(n_samples, n_features=100, seed=0, regression=False):
    """A seeded stream of dense Gaussian features with a binary target (or its float score)."""
    rng = random.Random(seed)
    names = [f"f{i:03d}" for i in range(n_features)]
    stream = []
    for _ in range(n_samples):
        x = {name: rng.gauss(0.0, 1.0) for name in names}
        score = x["f000"] + x["f001"] - x["f002"]
        stream.append((x, score if regression else int(score > 0.0)))
    return stream


# name -> (kind, factory). Kinds: "classifier", "regressor", "transformer" (learn_one(x)),
# "supervised transformer" (learn_one(x, y)), and the update-only kinds of UPDATE_KINDS.
CLASSES = {
    "NaiveBayes": ("classifier", lambda: q.NaiveBayes()),
    "Perceptron": ("classifier", lambda: q.Perceptron()),
    "LogisticRegressionClassifier": ("classifier", lambda: q.LogisticRegressionClassifier()),
    "PassiveAggressiveClassifier": ("classifier", lambda: q.PassiveAggressiveClassifier()),
    "SoftmaxRegression": ("classifier", lambda: q.SoftmaxRegression()),
    "KNNClassifier": ("classifier", lambda: q.KNNClassifier()),
    "LinearRegression": ("regressor", lambda: q.LinearRegression()),
    "BayesianLinearRegression": ("regressor", lambda: q.BayesianLinearRegression()),
    "PassiveAggressiveRegressor": ("regressor", lambda: q.PassiveAggressiveRegressor()),
    "KNNRegressor": ("regressor", lambda: q.KNNRegressor()),
    "HoeffdingTreeClassifier": ("classifier", lambda: q.HoeffdingTreeClassifier()),
    "EFDTClassifier": ("classifier", lambda: q.EFDTClassifier()),
    "HoeffdingAdaptiveTreeClassifier": ("classifier", lambda: q.HoeffdingAdaptiveTreeClassifier()),
    "ARFClassifier": ("classifier", lambda: q.ARFClassifier()),
    "SGTClassifier": ("classifier", lambda: q.SGTClassifier()),
    "HoeffdingTreeRegressor": ("regressor", lambda: q.HoeffdingTreeRegressor()),
    "ARFRegressor": ("regressor", lambda: q.ARFRegressor()),
    "FIMTDDRegressor": ("regressor", lambda: q.FIMTDDRegressor()),
    "SRPClassifier": ("classifier", lambda: q.SRPClassifier()),
    "SRPRegressor": ("regressor", lambda: q.SRPRegressor()),
    "LeveragingBaggingClassifier": ("classifier", lambda: q.LeveragingBaggingClassifier()),
    "LeveragingBaggingRegressor": ("regressor", lambda: q.LeveragingBaggingRegressor()),
    "SGBTClassifier": ("classifier", lambda: q.SGBTClassifier()),
    "SGBRRegressor": ("regressor", lambda: q.SGBRRegressor()),
    "StandardScaler": ("transformer", lambda: q.StandardScaler()),
    "MinMaxScaler": ("transformer", lambda: q.MinMaxScaler()),
    "MaxAbsScaler": ("transformer", lambda: q.MaxAbsScaler()),
    "VarianceThreshold": ("transformer", lambda: q.VarianceThreshold()),
    "SelectKBest": ("supervised transformer", lambda: q.SelectKBest(k=3)),
    "ClassificationPipeline([],NB)": ("classifier", lambda: q.ClassificationPipeline([], q.NaiveBayes())),
    "ClassificationPipeline(Std|NB)": (
        "classifier", lambda: q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes())),
    "RegressionPipeline(Std|LinReg)": (
        "regressor", lambda: q.RegressionPipeline([q.StandardScaler()], q.LinearRegression())),
    "Accuracy": ("metric", lambda: q.Accuracy()),
    "MacroF1": ("metric", lambda: q.MacroF1()),
    "MAE": ("regression_metric", lambda: q.MAE()),
    "RMSE": ("regression_metric", lambda: q.RMSE()),
    "R2": ("regression_metric", lambda: q.R2()),
    "WindowMetric": ("metric", lambda: q.WindowMetric()),
    "WindowRegressionMetric": ("regression_metric", lambda: q.WindowRegressionMetric()),
    "ADWIN": ("value_detector", lambda: q.ADWIN()),
    "EDDM": ("error_detector", lambda: q.EDDM()),
}


def _first_two_values(x):
    values = iter(x.values())
    return next(values), next(values)


# Kinds timed by update alone: kind -> (arguments of update for the i-th row (x, y), floor call
# taking the same arguments). A prediction is wrong on every third sample.
UPDATE_KINDS = {
    "metric": (lambda i, x, y: (y, y if i % 3 else 1 - y), floor.labels),
    "regression_metric": (lambda i, x, y: _first_two_values(x), floor.values),
    "value_detector": (lambda i, x, y: (float(i % 3 == 0),), floor.value),
    "error_detector": (lambda i, x, y: (int(i % 3 == 0),), floor.label),
}


def median_per_sample(chunks):
    return statistics.median(chunks)


def time_chunks(stream, chunk, body):
    """Median seconds per sample of body(chunk_rows) over consecutive chunks."""
    per_sample = []
    for start in range(0, len(stream) - chunk + 1, chunk):
        rows = stream[start:start + chunk]
        t0 = time.perf_counter()
        body(rows)
        per_sample.append((time.perf_counter() - t0) / len(rows))
    return statistics.median(per_sample)


def measure_floor(stream, chunk, regression=False):
    """Seconds per sample of converting the sample alone, and with its label (or float target)."""
    convert = floor.convert
    convert_labelled = floor.convert_targeted if regression else floor.convert_labelled

    def one(rows):
        for x, _ in rows:
            convert(x)

    def two(rows):
        for x, y in rows:
            convert_labelled(x, y)

    return time_chunks(stream, chunk, one), time_chunks(stream, chunk, two)


def measure_update(kind, model, stream, chunk):
    """(update seconds/sample, floor seconds/sample) with the same precomputed arguments."""
    make_args, floor_call = UPDATE_KINDS[kind]
    args = [make_args(i, x, y) for i, (x, y) in enumerate(stream)]

    def timed(call):
        def body(rows):
            for a in rows:
                call(*a)

        return time_chunks(args, chunk, body)

    return timed(model.update), timed(floor_call)


def measure(kind, model, stream, chunk):
    """(learn seconds/sample, predict seconds/sample) of a prequential run in chunks."""
    learn_times, predict_times = [], []
    for start in range(0, len(stream) - chunk + 1, chunk):
        rows = stream[start:start + chunk]
        t0 = time.perf_counter()
        if kind == "classifier" or kind == "regressor":
            predict = model.predict_one
            for x, _ in rows:
                predict(x)
        elif kind.endswith("transformer"):
            transform = model.transform_one
            for x, _ in rows:
                transform(x)
        t1 = time.perf_counter()
        if kind in ("classifier", "regressor"):
            learn = model.learn_one
            for x, y in rows:
                learn(x, y)
        elif kind == "transformer":
            learn = model.learn_one
            for x, _ in rows:
                learn(x)
        elif kind == "supervised transformer":
            learn = model.learn_one
            for x, y in rows:
                learn(x, y)
        t2 = time.perf_counter()
        predict_times.append((t1 - t0) / len(rows))
        learn_times.append((t2 - t1) / len(rows))
    return statistics.median(learn_times), statistics.median(predict_times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=20000, help="samples per stream")
    parser.add_argument("--chunk", type=int, default=250, help="samples per timed chunk")
    parser.add_argument("--only", default="", help="comma-separated class names")
    args = parser.parse_args(argv)

    names = [n for n in CLASSES if not args.only or n in args.only.split(",")
             or n.split("(")[0] in args.only.split(",")]
    # Regressors run on the regression streams, every other kind on the classification streams.
    elec = electricity()[: args.samples]
    streams = {
        "elec (6 features)": (False, elec),
        "dense (100 features)": (False, dense_stream(min(args.samples, 5000))),
        "elec regression (feat_2 from 5 features)": (True, regression_stream(elec)),
        "dense regression (100 features)": (True, dense_stream(min(args.samples, 5000), regression=True)),
    }
    for stream_name, (regression, stream) in streams.items():
        stream_names = [n for n in names if (CLASSES[n][0] == "regressor") == regression]
        if not stream_names:
            continue
        floor_one, floor_two = measure_floor(stream, args.chunk, regression)
        print(f"\n{stream_name}: floor {floor_one * 1e6:.3f} us (sample), "
              f"{floor_two * 1e6:.3f} us (sample + {'target' if regression else 'label'})")
        print(f"{'class':<34}{'learn us':>10}{'x floor':>9}{'predict us':>12}{'x floor':>9}"
              f"{'both x floor':>14}")
        updaters = []
        for name in stream_names:
            kind, make = CLASSES[name]
            if kind in UPDATE_KINDS:
                updaters.append((name, kind, make))
                continue
            learn, predict = measure(kind, make(), stream, args.chunk)
            learn_floor = floor_one if kind == "transformer" else floor_two  # no target to convert
            both = (learn + predict) / (floor_one + learn_floor)
            print(f"{name:<34}{learn * 1e6:>10.3f}{learn / learn_floor:>9.2f}{predict * 1e6:>12.3f}"
                  f"{predict / floor_one:>9.2f}{both:>14.2f}", flush=True)
        if updaters:
            # Metrics and detectors take no sample: their floor is a do-nothing call with the
            # same arguments as their update.
            print(f"{'class (update only)':<34}{'update us':>10}{'floor us':>10}{'x floor':>9}")
            for name, kind, make in updaters:
                update, update_floor = measure_update(kind, make(), stream, args.chunk)
                print(f"{name:<34}{update * 1e6:>10.3f}{update_floor * 1e6:>10.3f}"
                      f"{update / update_floor:>9.2f}", flush=True)


if __name__ == "__main__":
    main()
