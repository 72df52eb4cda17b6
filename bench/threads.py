"""Ensembles on threads: test_then_train_many with n_threads=1 and 2, on electricity and on a
dense 100-feature stream.

For each run: wall-clock throughput (samples/s, best of --repeat runs), and CPU time, of the
process and of each of its threads (read from /proc, so the split holds while other processes
load the cores). With two threads the calling thread does the serial parts (weight draws,
combining the votes, copying columns, the state snapshot) and its share of the members, the
worker only its share; and every thread reloads each row into its own columns (replicated work).
With C1, C2 the CPU of the one- and two-thread runs and a, w the caller's and the worker's:
  serial S = a - w,  replicated R = C2 - C1,  parallel P = C1 - S - R,
and the expected speed-up on p threads is C1 / (S + R + P / p), p at most the number of members
(a member is never split; each thread adds one replicated share, counted once here as an
optimistic bound for the loads, which overlap the parallel work). The boosters split their steps
instead (n_models of them, 10 here), and a thread waiting for the one before it spins briefly, so
their worker's CPU includes some waiting.

Usage: PYTHONPATH=build:python python3 bench/threads.py [--only A,B] [--rows N] [--members M] [--repeat R]
"""
import argparse
import os
import threading
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
        "SGBTClassifier": ("c", lambda n: q.SGBTClassifier(n_models=members, n_threads=n)),
        "SGBRRegressor": ("r", lambda n: q.SGBRRegressor(bag_size=10, n_threads=n)),
    }


def run(make, n, data, repeat):
    X, y, names = data
    me = threading.get_native_id()
    best, cpu, caller, workers, out = float("inf"), 0.0, 0.0, 0.0, None
    for _ in range(repeat):
        m = make(n)
        before, cpu0, wall0 = thread_cpu(), time.process_time(), time.perf_counter()
        out = m.test_then_train_many(X, y, feature_names=names).tobytes()
        wall = time.perf_counter() - wall0
        cpu += time.process_time() - cpu0
        after = thread_cpu()
        del m  # joins the workers
        best = min(best, wall)
        caller += after.get(me, 0.0) - before.get(me, 0.0)
        workers += sum(v - before.get(tid, 0.0) for tid, v in after.items() if tid != me)
    return {"wall": best, "cpu": cpu, "caller": caller, "workers": workers, "rows": len(y), "out": out}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--rows", type=int, default=20000, help="rows of the dense stream")
    ap.add_argument("--members", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    only = set(filter(None, args.only.split(",")))
    print(f"load average before: {os.getloadavg()}  cores: {os.cpu_count()}")
    print(f"{'model':28} {'stream':12} {'1 thr/s':>8} {'2 thr/s':>8} {'wall x':>6} {'C1 s':>6} {'C2 s':>6}"
          f" {'S %':>5} {'R %':>5} {'x2':>5} {'x8':>5} {'x32':>5}")
    for name, (kind, make) in models(args.members).items():
        if only and name not in only:
            continue
        for stream, (clf, reg) in streams(args.rows).items():
            data = clf if kind == "c" else reg
            one, two = run(make, 1, data, args.repeat), run(make, 2, data, args.repeat)
            assert one["out"] == two["out"], f"{name} differs on threads"
            c1, c2 = one["cpu"], two["cpu"]
            if two["workers"] < 0.01 * c2:  # nothing ran on the worker: sequential
                serial, replicated = c1, 0.0
            else:
                serial = max(two["caller"] - two["workers"], 0.0)
                replicated = max(c2 - c1, 0.0)
            parallel = max(c1 - serial - replicated, 0.0)

            def speedup(p):
                return c1 / (serial + replicated + parallel / min(p, args.members))

            print(f"{name:28} {stream:12} {one['rows'] / one['wall']:8.0f} {two['rows'] / two['wall']:8.0f}"
                  f" {one['wall'] / two['wall']:6.2f} {c1:6.2f} {c2:6.2f} {100 * serial / c1:5.1f}"
                  f" {100 * replicated / c1:5.1f} {speedup(2):5.2f} {speedup(8):5.2f} {speedup(32):5.2f}", flush=True)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
