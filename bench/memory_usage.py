"""memory_usage() on a stream that grows a large tree: the estimate against the heap the allocator
reports in use (glibc's mallinfo2), and what one call of it costs.

    PYTHONPATH=build python bench/memory_usage.py [--samples 1000000] [--forest-samples 200000]

The stream (RandomRBF, 20 features, 50 centroids) is built in chunks of NumPy arrays and learned
with learn_many; the heap is read before the model is made and at each checkpoint, after the
chunk arrays are freed.
"""
import argparse
import ctypes
import gc
import time

import _quelb_core as q
from quelb import synth


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = _Mallinfo2


def heap_in_use():
    gc.collect()
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def run(label, make, n_samples, checkpoints):
    stream = synth.RandomRBF(n_features=20, n_centroids=50, seed=7, n_samples=n_samples)
    before = heap_in_use()
    model = make()
    seen = 0
    rows = []
    for X, y, names in stream.iter_arrays(chunk_size=10000):
        model.learn_many(X, y, feature_names=names)
        seen += len(y)
        del X, y
        if seen in checkpoints:
            grown = heap_in_use() - before
            start = time.perf_counter()
            estimate = model.memory_usage()
            call_ms = (time.perf_counter() - start) * 1e3
            nodes = getattr(model, "n_nodes", "")
            rows.append((label, seen, nodes, estimate, grown, call_ms))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--forest-samples", type=int, default=200_000)
    args = parser.parse_args()
    tree_points = {n for n in (10_000, 100_000, 250_000, 500_000, 1_000_000) if n <= args.samples} | {args.samples}
    forest_points = {n for n in (10_000, 50_000, 100_000, 200_000) if n <= args.forest_samples}
    forest_points |= {args.forest_samples}
    rows = run("HoeffdingTreeClassifier(grace_period=50)",
               lambda: q.HoeffdingTreeClassifier(grace_period=50, split_confidence=0.01, max_depth=40),
               args.samples, tree_points)
    rows += run("ARFClassifier(n_models=10)", lambda: q.ARFClassifier(n_models=10, seed=1), args.forest_samples,
                forest_points)
    print(f"{'model':42} {'samples':>9} {'nodes':>6} {'estimate MB':>12} {'heap MB':>9} {'ratio':>6} {'call ms':>8}")
    for label, seen, nodes, estimate, grown, call_ms in rows:
        print(f"{label:42} {seen:>9} {nodes!s:>6} {estimate / 1e6:>12.2f} {grown / 1e6:>9.2f} "
              f"{estimate / grown:>6.3f} {call_ms:>8.3f}")


if __name__ == "__main__":
    main()
