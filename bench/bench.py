"""Per-sample cost of every class, as a ratio to the cost of crossing the boundary.

The floor is a do-nothing method of a benchmark-only object that receives the same arguments as
the class's method: the stock floor converts the sample with the binding library's stock map
conversion, "ours" with the module's own conversion. For each class and stream the benchmark runs
a prequential loop in chunks, timing predict_one (or transform_one) and learn_one, and reports the
median CPU time per sample over the chunks; metrics and detectors are timed by update alone.
Where scikit-learn is installed, classes with a counterpart there are compared with its
per-sample partial_fit plus predict (or transform) on one-row arrays.

Usage: scripts/bench.sh [--samples N] [--only NAME,...] [--chunk N] [--no-sklearn]
"""
import argparse
import warnings
import os
import random
import statistics
import subprocess
import sys
import time

import _quelb_bench as floor_module
import _quelb_core as q

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))  # the package's sources, beside the tree build
from quelb import datasets  # noqa: E402

clock = time.process_time
warnings.filterwarnings("ignore")  # scikit-learn warns about its own one-row fits


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


def image_stream(n_samples, seed=0):
    """Sparse 28x28 images: 150 to 400 lit pixels of 784 per row, named "p<index>", in [0, 1].

    Each of ten classes lights a blob of its own around a class centre, so that the label can be
    learned; only lit pixels are in the sample, in ascending pixel order.
    """
    rng = random.Random(seed)
    centres = [(7 + 14 * (k % 2), 4 + 5 * (k // 2)) for k in range(10)]
    stream = []
    for _ in range(n_samples):
        label = rng.randrange(10)
        cr, cc = centres[label]
        lit = rng.randint(150, 400)
        pixels = set()
        while len(pixels) < lit:
            r = min(27, max(0, int(rng.gauss(cr, 6.0))))
            c = min(27, max(0, int(rng.gauss(cc, 6.0))))
            pixels.add(r * 28 + c)
        stream.append(({f"p{p}": rng.randint(1, 255) / 255.0 for p in sorted(pixels)}, label))
    return stream


# name -> (kind, factory, heavy). Kinds: "classifier", "regressor", "transformer" (learn_one(x)),
# "supervised transformer" (learn_one(x, y)), "anomaly" (score_one(x) then learn_one(x)), and the
# update-only kinds of UPDATE_KINDS. Heavy
# classes run shorter streams and skip the image stream.
CLASSES = {
    "NaiveBayes": ("classifier", lambda: q.NaiveBayes(), False),
    "Perceptron": ("classifier", lambda: q.Perceptron(), False),
    "LogisticRegressionClassifier": ("classifier", lambda: q.LogisticRegressionClassifier(), False),
    "PassiveAggressiveClassifier": ("classifier", lambda: q.PassiveAggressiveClassifier(), False),
    "SoftmaxRegression": ("classifier", lambda: q.SoftmaxRegression(), False),
    "KNNClassifier": ("classifier", lambda: q.KNNClassifier(), True),
    "HoeffdingTreeClassifier": ("classifier", lambda: q.HoeffdingTreeClassifier(), False),
    "EFDTClassifier": ("classifier", lambda: q.EFDTClassifier(), False),
    "SGTClassifier": ("classifier", lambda: q.SGTClassifier(), False),
    "ARFClassifier": ("classifier", lambda: q.ARFClassifier(), True),
    "SRPClassifier": ("classifier", lambda: q.SRPClassifier(), True),
    "LeveragingBaggingClassifier": ("classifier", lambda: q.LeveragingBaggingClassifier(), True),
    "HoeffdingAdaptiveTreeClassifier": ("classifier", lambda: q.HoeffdingAdaptiveTreeClassifier(), False),
    "LinearRegression": ("regressor", lambda: q.LinearRegression(), False),
    "BayesianLinearRegression": ("regressor", lambda: q.BayesianLinearRegression(), False),
    "PassiveAggressiveRegressor": ("regressor", lambda: q.PassiveAggressiveRegressor(), False),
    "KNNRegressor": ("regressor", lambda: q.KNNRegressor(), True),
    "HoeffdingTreeRegressor": ("regressor", lambda: q.HoeffdingTreeRegressor(), False),
    "ARFRegressor": ("regressor", lambda: q.ARFRegressor(), True),
    "SRPRegressor": ("regressor", lambda: q.SRPRegressor(), True),
    "FIMTDDRegressor": ("regressor", lambda: q.FIMTDDRegressor(), False),
    "LeveragingBaggingRegressor": ("regressor", lambda: q.LeveragingBaggingRegressor(), True),
    "SGBTClassifier": ("classifier", lambda: q.SGBTClassifier(), True),
    "SGBRRegressor": ("regressor", lambda: q.SGBRRegressor(), True),
    "StandardScaler": ("transformer", lambda: q.StandardScaler(), False),
    "MinMaxScaler": ("transformer", lambda: q.MinMaxScaler(), False),
    "MaxAbsScaler": ("transformer", lambda: q.MaxAbsScaler(), False),
    "VarianceThreshold": ("transformer", lambda: q.VarianceThreshold(), False),
    "SelectKBest": ("supervised transformer", lambda: q.SelectKBest(k=3), False),
    "ClassificationPipeline(Std|NB)": (
        "classifier", lambda: q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes()), False),
    "RegressionPipeline(Std|LinReg)": (
        "regressor", lambda: q.RegressionPipeline([q.StandardScaler()], q.LinearRegression()), False),
    "Accuracy": ("metric", lambda: q.Accuracy(), False),
    "MacroPrecision": ("metric", lambda: q.MacroPrecision(), False),
    "MacroRecall": ("metric", lambda: q.MacroRecall(), False),
    "MacroF1": ("metric", lambda: q.MacroF1(), False),
    "MAE": ("regression_metric", lambda: q.MAE(), False),
    "RMSE": ("regression_metric", lambda: q.RMSE(), False),
    "R2": ("regression_metric", lambda: q.R2(), False),
    "WindowMetric": ("metric", lambda: q.WindowMetric(), False),
    "WindowRegressionMetric": ("regression_metric", lambda: q.WindowRegressionMetric(), False),
    "ADWIN": ("value_detector", lambda: q.ADWIN(), False),
    "EDDM": ("error_detector", lambda: q.EDDM(), False),
    "DDM": ("error_detector", lambda: q.DDM(), False),
    "HDDM_A": ("value_detector", lambda: q.HDDM_A(), False),
    "HDDM_W": ("value_detector", lambda: q.HDDM_W(), False),
    "PageHinkley": ("value_detector", lambda: q.PageHinkley(), False),
    "KSWIN": ("value_detector", lambda: q.KSWIN(), False),
    "ROCAUC": ("score_metric", lambda: q.ROCAUC(), False),
    "WindowROCAUC": ("score_metric", lambda: q.WindowROCAUC(), False),
    "HalfSpaceTrees": ("anomaly", lambda: q.HalfSpaceTrees(), False),
    "AnomalyPipeline(MinMax|HST)": ("anomaly", lambda: q.AnomalyPipeline([q.MinMaxScaler()], q.HalfSpaceTrees()),
                                    False),
}


def _first_two_values(x):
    values = iter(x.values())
    return next(values), next(values)


# Kinds timed by update alone: kind -> (arguments of update for the i-th row (x, y), name of the
# floor method taking the same arguments). A prediction is wrong on every third sample.
UPDATE_KINDS = {
    "metric": (lambda i, x, y: (y, y if i % 3 else 1 - y), "labels"),
    "regression_metric": (lambda i, x, y: _first_two_values(x), "values"),
    "value_detector": (lambda i, x, y: (float(i % 3 == 0),), "value"),
    "error_detector": (lambda i, x, y: (int(i % 3 == 0),), "label"),
    "score_metric": (lambda i, x, y: (y, _first_two_values(x)[0]), "label_value"),
}


def sklearn_counterparts():
    """name -> (factory, kind) of scikit-learn's per-sample counterpart; empty without sklearn."""
    try:
        from sklearn import linear_model, naive_bayes, preprocessing
    except ImportError:
        return {}
    return {
        "NaiveBayes": (naive_bayes.GaussianNB, "classifier"),
        "Perceptron": (linear_model.Perceptron, "classifier"),
        "LogisticRegressionClassifier": (lambda: linear_model.SGDClassifier(loss="log_loss"), "classifier"),
        "PassiveAggressiveClassifier": (linear_model.PassiveAggressiveClassifier, "classifier"),
        "SoftmaxRegression": (lambda: linear_model.SGDClassifier(loss="log_loss"), "classifier"),
        "LinearRegression": (linear_model.SGDRegressor, "regressor"),
        "PassiveAggressiveRegressor": (linear_model.PassiveAggressiveRegressor, "regressor"),
        "StandardScaler": (preprocessing.StandardScaler, "transformer"),
        "MinMaxScaler": (preprocessing.MinMaxScaler, "transformer"),
        "MaxAbsScaler": (preprocessing.MaxAbsScaler, "transformer"),
    }


def time_chunks(rows, chunk, body):
    """Median CPU seconds per row of body(chunk_rows) over consecutive chunks."""
    per_row = []
    for start in range(0, len(rows) - chunk + 1, chunk):
        part = rows[start:start + chunk]
        t0 = clock()
        body(part)
        per_row.append((clock() - t0) / len(part))
    return statistics.median(per_row)


# The floor's learn-like call for each kind of class timed on samples.
FLOOR_LEARN = {"classifier": "convert_labelled", "regressor": "convert_targeted", "anomaly": "convert"}


def measure_floor(floor, stream, chunk, mode):
    """CPU seconds per sample of a predict-like call plus a learn-like call on the floor object."""
    convert = floor.convert
    learn = getattr(floor, FLOOR_LEARN[mode])
    if mode == "anomaly":
        def body(rows):
            for x, _ in rows:
                convert(x)
                learn(x)
    else:
        def body(rows):
            for x, y in rows:
                convert(x)
                learn(x, y)

    return time_chunks(stream, chunk, body)


def measure(kind, model, stream, chunk):
    """CPU seconds per sample of predict (or transform) plus learn, run prequentially."""
    if kind in ("classifier", "regressor"):
        predict, learn = model.predict_one, model.learn_one

        def body(rows):
            for x, y in rows:
                predict(x)
                learn(x, y)
    elif kind == "anomaly":
        score, learn = model.score_one, model.learn_one

        def body(rows):
            for x, _ in rows:
                score(x)
                learn(x)
    elif kind == "transformer":
        transform, learn = model.transform_one, model.learn_one

        def body(rows):
            for x, _ in rows:
                transform(x)
                learn(x)
    else:  # supervised transformer
        transform, learn = model.transform_one, model.learn_one

        def body(rows):
            for x, y in rows:
                transform(x)
                learn(x, y)

    return time_chunks(stream, chunk, body)


def measure_update(kind, model, floor, stream, chunk):
    """(update seconds/sample, floor seconds/sample) with the same precomputed arguments."""
    make_args, floor_name = UPDATE_KINDS[kind]
    args = [make_args(i, x, y) for i, (x, y) in enumerate(stream)]

    def timed(call):
        def body(rows):
            for a in rows:
                call(*a)

        return time_chunks(args, chunk, body)

    return timed(model.update), timed(getattr(floor, floor_name))


def measure_sklearn(factory, kind, stream, n_rows):
    """CPU seconds per sample of partial_fit plus predict (or transform) on one-row arrays."""
    import numpy as np

    names = sorted(stream[0][0])
    rows = [(np.array([[x.get(n, 0.0) for n in names]]), np.array([y])) for x, y in stream[:n_rows]]
    classes = np.array(sorted({y for _, y in stream}))
    model = factory()
    x0, y0 = rows[0]
    if kind == "classifier":
        model.partial_fit(x0, y0, classes=classes)
    elif kind == "regressor":
        model.partial_fit(x0, y0)
    else:
        model.partial_fit(x0)
    rows = rows[1:]
    t0 = clock()
    if kind == "transformer":
        for x, _ in rows:
            model.transform(x)
            model.partial_fit(x)
    else:
        for x, y in rows:
            model.predict(x)
            model.partial_fit(x, y)
    return (clock() - t0) / len(rows)


def anomaly_stream_line(chunk, n_samples=20000):
    """HalfSpaceTrees with default options (25 trees of height 15) on the synthetic anomaly
    stream: score_one + learn_one per sample against the floor, and the ROC AUC reached."""
    sys.path.insert(0, os.path.join(ROOT, "python"))
    from quelb.synth import ClusterAnomalies

    stream = list(ClusterAnomalies(n_samples=n_samples, seed=1))
    model, auc = q.HalfSpaceTrees(seed=1), q.ROCAUC()
    for x, y in stream:
        auc.update(y, model.score_one(x))
        model.learn_one(x)
    ours = floor_module.Floor()
    floors = [measure_floor(ours, stream, chunk, "anomaly") for _ in range(2)]
    t = measure("anomaly", q.HalfSpaceTrees(seed=1), stream, chunk)
    f = statistics.median(floors)
    return (f"HalfSpaceTrees on ClusterAnomalies ({n_samples:,} samples, 4 features): "
            f"{t * 1e6:.2f} us per sample, {t / f:.2f}x the floor ({f * 1e6:.3f} us); ROC AUC {auc.get():.4f}")


def boundary_table(streams, chunk, reps=5):
    """Per-call cost of converting a sample: stock conversion against ours, by width."""
    stock, ours = floor_module.StockFloor(), floor_module.Floor()
    lines = [f"{'sample':<30}{'stock us':>10}{'ours us':>10}{'speed-up':>10}"]
    for name, stream in streams:
        xs = [x for x, _ in stream]

        def timed(call):
            def body(rows):
                for x in rows:
                    call(x)

            return statistics.median(time_chunks(xs, chunk, body) for _ in range(reps))

        s, o = timed(stock.convert), timed(ours.convert)
        lines.append(f"{name:<30}{s * 1e6:>10.3f}{o * 1e6:>10.3f}{s / o:>9.2f}x")
    return lines


def leaf_bytes_lines():
    build = os.environ.get("QUELB_BUILD_DIR", os.path.join(ROOT, "build"))
    tool = os.path.join(build, "quelb_leaf_bytes")
    if not os.path.exists(tool):
        return ["(quelb_leaf_bytes not built)"]
    return subprocess.run([tool], check=True, capture_output=True, text=True).stdout.rstrip().splitlines()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=20000, help="samples of the electricity streams")
    parser.add_argument("--chunk", type=int, default=200, help="samples per timed chunk")
    parser.add_argument("--only", default="", help="comma-separated class names")
    parser.add_argument("--no-sklearn", action="store_true", help="skip the scikit-learn column")
    args = parser.parse_args(argv)

    wanted = args.only.split(",") if args.only else None
    names = [n for n in CLASSES if wanted is None or n in wanted or n.split("(")[0] in wanted]
    elec = list(datasets.electricity())[: args.samples]
    wide_n = max(args.chunk * 5, min(args.samples, 4000))
    image_n = max(args.chunk * 5, min(args.samples, 2000))
    heavy_n = args.chunk * 5
    # (column title, classification stream, regression stream or None)
    streams = [
        ("elec (6)", elec, list(datasets.electricity(target="feat_2"))[: args.samples]),
        ("dense (100)", dense_stream(wide_n), dense_stream(wide_n, regression=True)),
        ("image (784 sparse)", image_stream(image_n), None),
    ]
    stock, ours = floor_module.StockFloor(), floor_module.Floor()
    sklearn = {} if args.no_sklearn else sklearn_counterparts()

    print("Boundary: one method call converting a sample (CPU time per call)")
    boundary_streams = [("elec (6 features)", elec[:5000]), ("dense (10 features)", dense_stream(5000, 10)),
                        ("dense (100 features)", streams[1][1]), ("image (784 sparse, ~275 lit)", streams[2][1])]
    for line in boundary_table(boundary_streams, args.chunk):
        print("  " + line)
    print()

    # Floors per stream: measured before and after the classes, the median of both kept.
    floors = {}

    def measure_floors():
        for title, cls_stream, reg_stream in streams:
            for mode, stream in (("classifier", cls_stream), ("regressor", reg_stream), ("anomaly", cls_stream)):
                if stream is None:
                    continue
                for which, obj in (("stock", stock), ("ours", ours)):
                    floors.setdefault((title, mode, which), []).append(
                        measure_floor(obj, stream, args.chunk, mode))

    measure_floors()
    results = {}
    update_floors = {}
    for name in names:
        kind, make, heavy = CLASSES[name]
        for title, cls_stream, reg_stream in streams:
            stream = reg_stream if kind == "regressor" else cls_stream
            if stream is None or (heavy and title.startswith("image")):
                continue
            if heavy:
                stream = stream[: heavy_n * (4 if title.startswith("elec") else 1)]
            if kind in UPDATE_KINDS:
                if not title.startswith("elec"):
                    continue
                update, floor_time = measure_update(kind, make(), ours, stream, args.chunk)
                results[(name, title)] = update
                update_floors[name] = floor_time
            else:
                if kind.endswith("transformer"):
                    stream = [(x, float(y)) for x, y in stream] if kind.startswith("supervised") else stream
                results[(name, title)] = measure(kind, make(), stream, args.chunk)
    measure_floors()
    floor = {key: statistics.median(v) for key, v in floors.items()}

    sk_times = {}
    for name in names:
        if name in sklearn:
            factory, kind = sklearn[name]
            stream = streams[0][2] if kind == "regressor" else streams[0][1]
            sk_times[name] = measure_sklearn(factory, kind, stream, 600)

    print("Per sample: predict_one (or transform_one) + learn_one, CPU time; metrics and detectors: update")
    header = f"{'class':<32}"
    for title, _, _ in streams:
        header += f"| {title:<26}"
    header += "| sklearn"
    print(header)
    sub = f"{'':<32}" + "| {:>7} {:>8} {:>8} ".format("us", "x stock", "x ours") * len(streams) + "| speed-up"
    print(sub)
    for name in names:
        kind = CLASSES[name][0]
        mode = kind if kind in FLOOR_LEARN else "classifier"
        line = f"{name:<32}"
        for title, _, _ in streams:
            t = results.get((name, title))
            if t is None:
                line += "| " + " " * 25
                continue
            if kind in UPDATE_KINDS:
                # No sample crosses: the floor is the same do-nothing call with update's arguments.
                f_stock = f_ours = update_floors[name]
            else:
                f_stock = floor[(title, mode, "stock")]
                f_ours = floor[(title, mode, "ours")]
            line += f"| {t * 1e6:>7.2f} {t / f_stock:>8.2f} {t / f_ours:>8.2f} "
        if name in sk_times:
            line += f"| {sk_times[name] / results[(name, streams[0][0])]:>7.0f}x"
        else:
            line += "|"
        print(line, flush=True)
    if wanted is None or any(CLASSES[n][0] == "anomaly" for n in names):
        print()
        print(anomaly_stream_line(args.chunk))
    print()
    print("Floors (us per sample, predict-like + learn-like call):")
    for (title, mode, which), t in sorted(floor.items()):
        print(f"  {title:<22}{mode:<16}{which:<7}{t * 1e6:8.3f}")
    if not sklearn and not args.no_sklearn:
        print("(scikit-learn not installed: no comparison column)")
    print()
    print("Heap bytes per tree leaf (whole trained tree / leaves):")
    for line in leaf_bytes_lines():
        print("  " + line)


if __name__ == "__main__":
    main()
