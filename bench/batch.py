"""Batch methods against the one-sample Python loop and the plain C++ loop, on electricity.

For every class: CPU time per sample of `test_then_train_many` over the stream as one array
(transformers: `learn_many` then `transform_many`; metrics and detectors: `update_many`), of the
one-sample loop (`predict_one` then `learn_one`; `transform_one` then `learn_one`; `update`),
and of the plain C++ loop over samples converted beforehand (`quelb_loop_bench`, Google
Benchmark). Then the wall-clock throughput of two models trained in two Python threads
against one thread training both.

Usage: PYTHONPATH=build:python python3 bench/batch.py [--only A,B] [--repeat N]
"""
import argparse
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import _quelb_core as q
from quelb import datasets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
clock = time.process_time

PIPELINES = {
    "ClassificationPipeline": lambda: q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes()),
    "RegressionPipeline": lambda: q.RegressionPipeline([q.StandardScaler()], q.LinearRegression()),
    "AnomalyPipeline": lambda: q.AnomalyPipeline([q.MinMaxScaler()], q.HalfSpaceTrees()),
}


def kind_of(cls):
    if hasattr(cls, "score_many"):
        return "anomaly"
    for base, kind in ((q.IClassifier, "classifier"), (q.IRegressor, "regressor"), (q.ITransformer, "transformer")):
        if issubclass(cls, base):
            return kind
    if hasattr(cls, "drift_detected"):
        return "detector"
    return "metric"


def classes(only):
    out = []
    for name, cls in vars(q).items():
        if not isinstance(cls, type) or name.startswith("I") and name[1].isupper():
            continue
        if only and name not in only:
            continue
        out.append((name, PIPELINES.get(name, cls), kind_of(cls)))
    return out


def load():
    clf = datasets.electricity()
    reg = datasets.electricity(target="feat_2")
    X, y, names = next(clf.iter_arrays(10**6))
    Xr, t, rnames = next(reg.iter_arrays(10**6))
    return {"X": X, "y": y, "names": names, "xs": [x for x, _ in clf], "Xr": Xr, "t": t, "rnames": rnames,
            "xrs": [x for x, _ in reg]}


def one_sample(make, kind, d):
    m = make()
    if kind == "classifier":
        xs, ys = d["xs"], d["y"].tolist()
    elif kind == "regressor":
        xs, ys = d["xrs"], d["t"].tolist()
    start = clock()
    if kind in ("classifier", "regressor"):
        predict, learn = m.predict_one, m.learn_one
        for x, y in zip(xs, ys):
            predict(x)
            learn(x, y)
    elif kind == "transformer":
        supervised = isinstance(m, q.SelectKBest)
        for x, t in zip(d["xs"], d["t"].tolist()):
            m.transform_one(x)
            m.learn_one(x, t) if supervised else m.learn_one(x)
    elif kind == "anomaly":
        for x in d["xs"]:
            m.score_one(x)
            m.learn_one(x)
    elif kind == "metric":
        a, b = metric_columns(m, d)
        for u, v in zip(a.tolist(), b.tolist()):
            m.update(u, v)
    else:
        for v in (d["y"] if takes_outcomes(m) else d["t"]).tolist():
            m.update(v)
    return (clock() - start) / len(d["y"])


def is_value_metric(m):
    return type(m).__name__ in ("MAE", "RMSE", "R2", "WindowRegressionMetric")


def is_score_metric(m):
    return type(m).__name__ in ("ROCAUC", "WindowROCAUC")


def takes_outcomes(m):
    """Detectors of 0/1 classification outcomes (the label column here); the others take values."""
    return type(m).__name__ in ("EDDM", "DDM")


def metric_columns(m, d):
    if is_score_metric(m):
        return d["y"], d["t"]
    ys = d["t"] if is_value_metric(m) else d["y"]
    return ys, np.r_[ys[:1], ys[:-1]]


def batched(make, kind, d):
    m = make()
    # Columns made before the clock starts, as the C++ loop's are.
    columns = metric_columns(m, d) if kind == "metric" else None
    start = clock()
    if kind == "classifier":
        m.test_then_train_many(d["X"], d["y"], feature_names=d["names"])
    elif kind == "regressor":
        m.test_then_train_many(d["Xr"], d["t"], feature_names=d["rnames"])
    elif kind == "transformer":
        # Row by row like the loop above would be one-sample calls again: learn the stream, then
        # transform it (the same work, in two passes).
        if isinstance(m, q.SelectKBest):
            m.learn_many(d["X"], d["t"], feature_names=d["names"])
        else:
            m.learn_many(d["X"], feature_names=d["names"])
        m.transform_many(d["X"], feature_names=d["names"])
    elif kind == "anomaly":
        # Scores of the whole stream, then learning it: the same calls, in two passes.
        m.score_many(d["X"], feature_names=d["names"])
        m.learn_many(d["X"], feature_names=d["names"])
    elif kind == "metric":
        m.update_many(*columns)
    else:
        m.update_many(d["y"] if takes_outcomes(m) else d["t"])
    return (clock() - start) / len(d["y"])


def native_loop(names):
    binary = os.path.join(ROOT, "build", "quelb_loop_bench")
    if not os.path.exists(binary):
        return {}
    with tempfile.TemporaryDirectory() as tmp:
        csv = os.path.join(tmp, "elec.csv")
        with gzip.open(datasets.electricity().path, "rb") as src, open(csv, "wb") as dst:
            shutil.copyfileobj(src, dst)
        pattern = "^(" + "|".join(names) + ")$"
        out = subprocess.run([binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                              "--benchmark_min_time=0.5s"], env={**os.environ, "QUELB_BENCH_CSV": csv},
                             capture_output=True, text=True, check=True).stdout
    if not out.strip():  # none of the classes asked for is in the C++ loop
        return {}
    n = 45312
    return {b["name"]: b["cpu_time"] * 1e-6 / n for b in json.loads(out)["benchmarks"]}


def threads(make, d, n_models=2, passes=30):
    """Wall-clock samples per second: each model in its own thread, against one thread for all.
    Each model learns the stream `passes` times: one pass (3 to 12 ms) would time the threads'
    start and the numeric library's idle worker threads more than the learning."""
    def train(m):
        for _ in range(passes):
            m.learn_many(d["X"], d["y"], feature_names=d["names"])

    models = [make() for _ in range(n_models)]
    start = time.perf_counter()
    for m in models:
        train(m)
    alone = time.perf_counter() - start
    models = [make() for _ in range(n_models)]
    workers = [threading.Thread(target=train, args=(m,)) for m in models]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    together = time.perf_counter() - start
    return alone / together


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))
    d = load()
    chosen = classes(only)
    native = native_loop([name for name, _, _ in chosen])
    print(f"{'class':34s}{'one-sample us':>14s}{'batch us':>10s}{'C++ us':>9s}{'batch/C++':>10s}{'speed-up':>10s}")
    for name, make, kind in chosen:
        loop = min(one_sample(make, kind, d) for _ in range(args.repeat))
        batch = min(batched(make, kind, d) for _ in range(args.repeat))
        cpp = native.get(name)  # classes the C++ loop does not list show "-"
        ratio = f"{batch / cpp:10.2f}" if cpp else f"{'-':>10s}"
        cpp_text = f"{cpp * 1e6:9.3f}" if cpp else f"{'-':>9s}"
        print(f"{name:34s}{loop * 1e6:14.3f}{batch * 1e6:10.3f}{cpp_text}{ratio}{loop / batch:10.1f}")
        sys.stdout.flush()
    for name in ("NaiveBayes", "HoeffdingTreeClassifier"):
        if not only or name in only:
            print(f"two threads, two {name}: {threads(getattr(q, name), d):.2f}x one thread")


if __name__ == "__main__":
    main()
