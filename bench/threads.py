"""Ensembles on threads: test_then_train_many with n_threads=1 and 2, on electricity and on a
dense 100-feature stream.

For each run: wall-clock throughput (samples/s), process CPU time, and the CPU time of every
thread of the process read from /proc (so it holds while other processes load the cores). With
two threads the calling thread does the serial parts (weight draws, combining the votes, copying
columns, the state snapshot) plus its share of the members; the worker does only members. With
the members split evenly, serial ~= caller CPU - worker CPU, parallel = the rest; the serial share
s = serial / (serial + parallel) gives Amdahl's speed-up 1 / (s + (1 - s) / p) on p threads,
p at most the number of members (a member is never split).

Usage: PYTHONPATH=build:python python3 bench/threads.py [--only A,B] [--rows N] [--members M]
"""
import argparse
import os
import time

import numpy as np

import _quelb_core as q
from quelb import datasets

TICK = os.sysconf("SC_CLK_TCK")


def thread_cpu():
    """CPU seconds of every thread of this process, by thread id."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        out[int(tid)] = (int(fields[11]) + int(fields[12])) / TICK  # utime + stime
    return out


def streams(rows):
    clf = datasets.electricity()
    X, y, names = next(clf.iter_arrays(10**6))
    Xr, t, rnames = next(datasets.electricity(target="feat_2").iter_arrays(10**6))
    rng = np.random.default_rng(0)
    D = rng.normal(size=(rows, 100))
    w = rng.normal(size=100)
    score = D @ w + 0.5 * np.sin(3 * D[:, 0]) * D[:, 1]
    dense_names = [f"x{j}" for j in range(100)]
    return {
        "electricity": ((X, y, names), (Xr, t, rnames)),
        "dense100": ((D, (score > 0).astype(np.int64), dense_names), (D, score + rng.normal(size=rows), dense_names)),
    }


def models(members):
    return {
        "ARFClassifier": ("c", lambda n: q.ARFClassifier(n_models=members, seed=1, n_threads=n)),
        "ARFRegressor": ("r", lambda n: q.ARFRegressor(n_models=members, seed=1, n_threads=n)),
        "SRPClassifier": ("c", lambda n: q.SRPClassifier(n_models=members, seed=1, n_threads=n)),
        "SRPRegressor": ("r", lambda n: q.SRPRegressor(n_models=members, seed=1, n_threads=n)),
        "LeveragingBaggingClassifier": ("c", lambda n: q.LeveragingBaggingClassifier(n_models=members, seed=1,
                                                                                    n_threads=n)),
        "LeveragingBaggingRegressor": ("r", lambda n: q.LeveragingBaggingRegressor(n_models=members, seed=1,
                                                                                  n_threads=n)),
        "SGBRRegressor": ("r", lambda n: q.SGBRRegressor(bag_size=10, n_threads=n)),
    }


def run(make, n, data):
    X, y, names = data
    m = make(n)
    before, cpu0, wall0 = thread_cpu(), time.process_time(), time.perf_counter()
    out = m.test_then_train_many(X, y, feature_names=names)
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    after = thread_cpu()
    me = __import__("threading").get_native_id()
    caller = after.get(me, 0.0) - before.get(me, 0.0)
    workers = sum(v - before.get(tid, 0.0) for tid, v in after.items() if tid != me)
    return {"wall": wall, "cpu": cpu, "caller": caller, "workers": workers, "rows": len(y), "out": out.tobytes()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--rows", type=int, default=20000, help="rows of the dense stream")
    ap.add_argument("--members", type=int, default=10)
    args = ap.parse_args()
    only = set(filter(None, args.only.split(",")))
    print(f"load before: {os.getloadavg()}  cores: {os.cpu_count()}")
    print(f"{'model':28} {'stream':12} {'1 thr/s':>9} {'2 thr/s':>9} {'wall x':>6} {'cpu1 s':>7} {'cpu2 s':>7}"
          f" {'serial':>7} {'x8':>5} {'x32':>5}")
    for name, (kind, make) in models(args.members).items():
        if only and name not in only:
            continue
        for stream, (clf, reg) in streams(args.rows).items():
            data = clf if kind == "c" else reg
            one, two = run(make, 1, data), run(make, 2, data)
            assert one["out"] == two["out"], f"{name} differs on threads"
            serial = max(two["caller"] - two["workers"], 0.0)
            share = serial / max(two["caller"] + two["workers"], 1e-9)
            # A member is never split: at most `members` threads work (the boosters: one).
            cap = args.members if name != "SGBRRegressor" else 1
            speedup = lambda p: 1.0 / (share + (1.0 - share) / min(p, cap))
            if name == "SGBRRegressor":
                speedup = lambda p: 1.0
            print(f"{name:28} {stream:12} {one['rows'] / one['wall']:9.0f} {two['rows'] / two['wall']:9.0f}"
                  f" {one['wall'] / two['wall']:6.2f} {one['cpu']:7.2f} {two['cpu']:7.2f} {share:7.3f}"
                  f" {speedup(8):5.1f} {speedup(32):5.1f}", flush=True)
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
