"""Soak: a long stream through each ensemble, with its peak memory and its memory after reset.

Every class runs in a process of its own, built with its defaults, and learns a stream of
--samples samples (10 numeric features, three classes or a continuous target, four concepts with
abrupt changes between them, so members warn, drift and get replaced); every tenth sample is also
predicted. The figures:
  peak heap   largest heap in use by the object while streaming (malloc's count, sampled)
  peak RSS    the process's peak resident size minus its size before the object existed
  fresh       heap in use by a newly built object
  reset       heap in use after reset(), and again after a second, shorter stream and reset
A class fails when memory after a reset exceeds a fresh object's by more than --tolerance-kib:
whatever a stream built (trees, members, detectors, windows) must go with reset.

Usage: soak.py [--samples N] [--classes ensembles|all|Name,Name] [--tolerance-kib K]
Ensembles are the learners with an `n_models` option; "all" is every classifier and regressor that
can be built without arguments.
"""
import argparse
import ctypes
import gc
import itertools
import json
import os
import subprocess
import sys
import time

import numpy as np

import _quelb_core as q


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use():
    """Bytes malloc has handed out and not yet got back (small and large blocks)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def settle():
    gc.collect()
    _libc.malloc_trim(0)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def learner_classes(which):
    learners = []
    for name, cls in vars(q).items():
        if not isinstance(cls, type) or name.startswith("I") and name in ("IClassifier", "IRegressor"):
            continue
        if issubclass(cls, (q.IClassifier, q.IRegressor)):
            try:
                obj = cls()
            except TypeError:  # needs arguments (pipelines)
                continue
            learners.append((name, hasattr(obj, "n_models")))
    if which == "all":
        return [name for name, _ in learners]
    if which == "ensembles":
        return [name for name, ensemble in learners if ensemble]
    names = [n.strip() for n in which.split(",") if n.strip()]
    unknown = [n for n in names if not hasattr(q, n)]
    if unknown:
        sys.exit(f"not in the module: {', '.join(unknown)}")
    return names


def stream(n, regression, seed=0, n_features=10, block=2_000):
    rng = np.random.default_rng(seed)
    names = [f"f{i}" for i in range(n_features)]
    concepts = rng.normal(size=(4, n_features))
    for start in range(0, n, block):
        size = min(block, n - start)
        X = rng.normal(size=(size, n_features))
        scores = X @ concepts[start * 4 // n]
        ys = (scores + rng.normal(scale=0.1, size=size)).tolist() if regression else np.digitize(scores, [-0.5, 0.5]).tolist()
        for row, y in zip(X.tolist(), ys):
            yield dict(zip(names, row)), y


def run_one(name, samples):
    cls = getattr(q, name)
    regression = issubclass(cls, q.IRegressor)
    settle()
    base_heap, base_rss = heap_in_use(), status_kib("VmRSS")
    model = cls()
    settle()
    fresh = heap_in_use() - base_heap
    # The stream holds one block of samples at a time: start it first and count its block as
    # part of the baseline while streaming, so that the figures are the object's alone.
    first = stream(samples, regression, seed=0)
    pending = next(first)
    settle()
    streaming_base = heap_in_use() - fresh

    def soak(samples_iter, n):
        peak, score, scored = 0, 0.0, 0
        every = max(n // 500, 1)
        start = time.perf_counter()
        for i, (x, y) in enumerate(samples_iter):
            if i % 10 == 0:
                p = model.predict_one(x)
                score += abs(p - y) if regression else float(p == y)
                scored += 1
            model.learn_one(x, y)
            if i % every == 0:
                peak = max(peak, heap_in_use() - streaming_base)
        seconds = time.perf_counter() - start
        return max(peak, heap_in_use() - streaming_base), seconds, score / max(scored, 1)

    peak, seconds, score = soak(itertools.chain([pending], first), samples)
    peak_rss = status_kib("VmHWM") - base_rss
    del first, pending
    model.reset()
    settle()
    after_reset = heap_in_use() - base_heap
    second = max(samples // 10, 1)
    soak(stream(second, regression, seed=1), second)
    model.reset()
    settle()
    after_second_reset = heap_in_use() - base_heap
    return {
        "class": name, "samples": samples, "seconds": seconds, "score": score,
        "metric": "MAE" if regression else "accuracy", "fresh": fresh, "peak_heap": peak,
        "peak_rss_kib": peak_rss, "after_reset": after_reset, "after_second_reset": after_second_reset,
    }


def mib(n):
    return f"{n / 2**20:9.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--classes", default="ensembles")
    parser.add_argument("--tolerance-kib", type=int, default=1024)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(run_one(args.child, args.samples)))
        return 0

    names = learner_classes(args.classes)
    if not names:
        print(f"no class to soak for --classes {args.classes} (try --classes all)")
        return 0
    print(f"{args.samples:,} samples per class; memory in MiB, fresh and reset in KiB")
    print(f"{'class':34} {'samples/s':>10} {'score':>9} {'peak heap':>9} {'peak RSS':>9} "
          f"{'fresh':>9} {'reset':>9} {'reset 2':>9}  verdict")
    failed = []
    for name in names:
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", name, "--samples", str(args.samples)],
                               capture_output=True, text=True)
        if child.returncode != 0:
            print(f"{name:34} crashed (status {child.returncode})\n{child.stderr}")
            failed.append(name)
            continue
        r = json.loads(child.stdout.strip().splitlines()[-1])
        limit = r["fresh"] + args.tolerance_kib * 1024
        ok = r["after_reset"] <= limit and r["after_second_reset"] <= limit
        if not ok:
            failed.append(name)
        print(f"{name:34} {r['samples'] / r['seconds']:10,.0f} {r['score']:9.4f} {mib(r['peak_heap'])} "
              f"{r['peak_rss_kib'] / 1024:9.2f} {r['fresh'] / 1024:9.1f} {r['after_reset'] / 1024:9.1f} "
              f"{r['after_second_reset'] / 1024:9.1f}  {'ok' if ok else 'KEEPS MEMORY AFTER RESET'}", flush=True)
    if failed:
        print(f"failed: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
