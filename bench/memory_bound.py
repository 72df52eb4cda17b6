"""Memory of the trees on a stream that grows a large tree: memory_usage() against the heap the
allocator reports in use (glibc's mallinfo2), and a HoeffdingTreeClassifier and an ARFClassifier
bounded by max_bytes against the unbounded ones (memory along the stream, prequential accuracy).
--models runs the named models of MODELS instead, on --model-samples samples; the regressors
learn the label plus the first feature, scored by their prequential mean absolute error.

    PYTHONPATH=build python bench/memory_bound.py [--samples 1000000] [--forest-samples 200000]
    PYTHONPATH=build python bench/memory_bound.py --models FIMTDDRegressor SGTClassifier [--model-samples 100000]

The stream (RandomRBF: 20 features, 50 centroids, 4 of them drifting) comes in chunks of NumPy
arrays, learned with test_then_train_many; the heap is read once the stream has made its first
chunk, before the model is made, and at each checkpoint.
"""
import argparse
import ctypes
import gc
import itertools
import time

import numpy as np

import _quelb_core as q
from quelb import synth


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = _Mallinfo2
CHUNK = 10_000


def heap_in_use():
    gc.collect()
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def stream(n_samples):
    generator = synth.RandomRBF(n_features=20, n_centroids=50, n_drift_centroids=4, change_speed=1e-4, seed=7,
                                n_samples=n_samples)
    return generator.iter_arrays(chunk_size=CHUNK)


def inactive_leaves(model):
    if hasattr(model, "n_inactive_leaves"):  # trees, and the boosters without copying their trees
        return model.n_inactive_leaves
    return sum(tree.n_inactive_leaves for tree in model.members() if tree is not None)


def run(make, n_samples, every):
    """Checkpoints (samples, nodes, estimate, heap growth, call ms, inactive leaves) and the
    prequential score: accuracy, or a regressor's mean absolute error."""
    chunks = stream(n_samples)
    first = next(chunks)  # the stream's own buffers are in the heap from here on
    before = heap_in_use()
    model = make()
    regressor = isinstance(model, q.IRegressor)
    seen = correct = 0
    points = []
    for X, y, names in itertools.chain([first], chunks):
        first = None
        if regressor:
            y = y + X[:, 0]
            correct += float(np.abs(model.test_then_train_many(X, y, feature_names=names) - y).sum())
        else:
            correct += int(np.count_nonzero(model.test_then_train_many(X, y, feature_names=names) == y))
        seen += len(y)
        del X, y
        if seen % every == 0 or seen == n_samples:
            grown = heap_in_use() - before
            start = time.perf_counter()
            estimate = model.memory_usage()
            call_ms = (time.perf_counter() - start) * 1e3
            points.append((seen, getattr(model, "n_nodes", 0), estimate, grown, call_ms, inactive_leaves(model)))
    return points, correct / seen


def tree(**options):
    return lambda: q.HoeffdingTreeClassifier(grace_period=50, split_confidence=0.01, max_depth=40, **options)


def forest_model(**options):
    return lambda: q.ARFClassifier(n_models=10, seed=1, **options)


# Makers of the models --models names, given their options.
MODELS = {
    "HoeffdingTreeClassifier": lambda **o: tree(**o)(),
    "ARFClassifier": lambda **o: forest_model(**o)(),
    "FIMTDDRegressor": lambda **o: q.FIMTDDRegressor(**o),
    "SGTClassifier": lambda **o: q.SGTClassifier(grace_period=50, max_depth=12, **o),
    "LeveragingBaggingRegressor": lambda **o: q.LeveragingBaggingRegressor(n_models=10, seed=1, **o),
    "SGBRRegressor": lambda **o: q.SGBRRegressor(**o),
    "SGBTClassifier": lambda **o: q.SGBTClassifier(**o),
}


def bounded_table(title, unbounded, unbounded_accuracy, make, n_samples, score="accuracy"):
    """The model bounded to shares of its unbounded final estimate: the estimate from the first
    checkpoint at which the budget was reached on, against max_bytes, and the score."""
    full = unbounded[-1][2]
    print(f"\n{title}; unbounded: {full / 1e6:.2f} MB, prequential {score} {unbounded_accuracy:.4f}")
    print(f"{'max_bytes':>12} {'share':>6} {'final MB':>9} {'min/max':>7} {'max/max':>7} {'nodes':>6} "
          f"{'inactive':>8} {score:>9} {'vs unbounded':>12}")
    for share in (0.5, 0.25, 0.1):
        limit = int(full * share)
        points, accuracy = run(make(limit), n_samples, CHUNK)
        reached = [p for p in points if p[5] > 0 or p[2] >= limit]
        first = points.index(reached[0]) if reached else len(points)
        held = [p[2] for p in points[first:]] or [points[-1][2]]
        print(f"{limit:>12} {share:>6.2f} {points[-1][2] / 1e6:>9.2f} {min(held) / limit:>7.3f} "
              f"{max(held) / limit:>7.3f} {points[-1][1] or '':>6} {points[-1][5]:>8} {accuracy:>9.4f} "
              f"{accuracy - unbounded_accuracy:>+12.4f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--forest-samples", type=int, default=200_000)
    parser.add_argument("--models", nargs="+", choices=sorted(MODELS))
    parser.add_argument("--model-samples", type=int, default=100_000)
    args = parser.parse_args()
    print("memory_usage() against the heap grown")
    print(f"{'model':28} {'samples':>9} {'nodes':>6} {'estimate MB':>12} {'heap MB':>9} {'ratio':>6} {'call ms':>8}")
    if args.models:
        for name in args.models:
            make = MODELS[name]
            points, score = run(make, args.model_samples, args.model_samples // 4)
            for seen, nodes, estimate, grown, call_ms, _ in points:
                print(f"{name:28} {seen:>9} {nodes or '':>6} {estimate / 1e6:>12.2f} {grown / 1e6:>9.2f} "
                      f"{estimate / grown:>6.3f} {call_ms:>8.3f}")
            regressor = isinstance(make(), q.IRegressor)
            bounded_table(f"{name} on {args.model_samples} samples", points, score,
                          lambda limit, make=make: lambda: make(max_bytes=limit), args.model_samples,
                          "MAE" if regressor else "accuracy")
        return

    unbounded, unbounded_accuracy = run(tree(), args.samples, args.samples // 4)
    forest, forest_accuracy = run(forest_model(), args.forest_samples, args.forest_samples // 4)
    for label, points in (("HoeffdingTreeClassifier", unbounded), ("ARFClassifier(n_models=10)", forest)):
        for seen, nodes, estimate, grown, call_ms, _ in points:
            print(f"{label:28} {seen:>9} {nodes or '':>6} {estimate / 1e6:>12.2f} {grown / 1e6:>9.2f} "
                  f"{estimate / grown:>6.3f} {call_ms:>8.3f}")

    bounded_table(f"HoeffdingTreeClassifier(grace_period=50) on {args.samples} samples", unbounded,
                  unbounded_accuracy, lambda limit: tree(max_bytes=limit), args.samples)
    bounded_table(f"ARFClassifier(n_models=10) on {args.forest_samples} samples", forest, forest_accuracy,
                  lambda limit: forest_model(max_bytes=limit), args.forest_samples)


if __name__ == "__main__":
    main()
