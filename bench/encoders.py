"""Category encoders: the cost of transform_one against a scaler's, and accuracy on STAGGER.

1. CPU time per call of OneHotEncoder.transform_one on samples of 6 numbers and 3 categories
   (each category feature with `--categories` known values), against StandardScaler.transform_one
   on samples of 9 numbers; both learned on the same stream first. Also OrdinalEncoder, the
   sparse one-hot form, and learn_one of each.
2. Prequential accuracy on STAGGER with strings, 30,000 samples, concept changes at 10,000 and
   20,000, of [OneHotEncoder()] followed by HoeffdingAdaptiveTreeClassifier and by
   ARFClassifier (and the sparse form, which leaves the zeros out): the default seed, then the
   mean and minimum over seeds 0 to `--seeds` - 1.

Usage: PYTHONPATH=build:python python3 bench/encoders.py [--samples N] [--categories K] [--seeds S]
"""
import argparse
import random
import statistics
import time

import _quelb_core as q
import quelb
from quelb import synth

clock = time.process_time


def streams(n, categories, seed=0):
    """The mixed samples (6 numbers, 3 categories) and the all-number samples (9 numbers)."""
    rng = random.Random(seed)
    mixed, numeric = [], []
    for _ in range(n):
        numbers = {f"n{j}": rng.gauss(0.0, 1.0) for j in range(6)}
        mixed.append({**numbers, **{f"c{j}": f"value{rng.randrange(categories)}" for j in range(3)}})
        numeric.append({**numbers, **{f"c{j}": rng.gauss(0.0, 1.0) for j in range(3)}})
    return mixed, numeric


def per_call(method, samples, chunk=1000, repeat=5):
    """Median CPU seconds per call of method(x) over chunks of the samples, best of `repeat`."""
    best = float("inf")
    for _ in range(repeat):
        times = []
        for start in range(0, len(samples) - chunk + 1, chunk):
            part = samples[start:start + chunk]
            t0 = clock()
            for x in part:
                method(x)
            times.append((clock() - t0) / len(part))
        best = min(best, statistics.median(times))
    return best


def speed(n, categories):
    mixed, numeric = streams(n, categories)
    rows = []
    scaler = q.StandardScaler()
    for x in numeric:
        scaler.learn_one(x)
    reference = per_call(scaler.transform_one, numeric)
    rows.append(("StandardScaler, 9 numbers", reference, per_call(q.StandardScaler().learn_one, numeric)))
    for label, make in (("OneHotEncoder", q.OneHotEncoder), ("OneHotEncoder(sparse=True)", lambda: q.OneHotEncoder(sparse=True)),
                        ("OrdinalEncoder", q.OrdinalEncoder)):
        encoder = make()
        for x in mixed:
            encoder.learn_one(x)
        rows.append((f"{label}, 6 numbers + 3 categories", per_call(encoder.transform_one, mixed),
                     per_call(make().learn_one, mixed)))
    print(f"transform_one and learn_one, CPU time per call ({n:,} samples, {categories} categories "
          f"per category feature; one-hot output of {6 + 3 * categories} features)")
    print(f"  {'':42s} {'transform us':>13s} {'x scaler':>9s} {'learn us':>9s}")
    for label, transform, learn in rows:
        print(f"  {label:42s} {transform * 1e6:13.3f} {transform / reference:9.2f} {learn * 1e6:9.3f}")


def accuracy(learner, seed, sparse=False):
    stream = synth.STAGGER(drifts=[10000, 20000], n_samples=30000, seed=seed)
    model = q.ClassificationPipeline([q.OneHotEncoder(sparse=sparse)], learner())
    run = quelb.prequential(model, stream, ["Accuracy"], progress=False)
    return next(iter(run.results.values()))["Accuracy"]


def stagger(n_seeds):
    print("\nSTAGGER, 30,000 samples, concept changes at 10,000 and 20,000: prequential accuracy")
    print(f"  {'':48s} {'seed 42':>8s} {f'mean of {n_seeds}':>11s} {'min':>8s}")
    for label, learner, sparse in (("[OneHotEncoder()] + HoeffdingAdaptiveTree", q.HoeffdingAdaptiveTreeClassifier, False),
                                   ("[OneHotEncoder()] + ARFClassifier", q.ARFClassifier, False),
                                   ("[OneHotEncoder(sparse=True)] + HoeffdingAdaptiveTree",
                                    q.HoeffdingAdaptiveTreeClassifier, True)):
        seeded = [accuracy(learner, seed, sparse) for seed in range(n_seeds)]
        print(f"  {label:48s} {accuracy(learner, 42, sparse):8.4f} {statistics.mean(seeded):11.4f} "
              f"{min(seeded):8.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=20000)
    parser.add_argument("--categories", type=int, default=3)
    parser.add_argument("--seeds", type=int, default=10)
    args = parser.parse_args()
    speed(args.samples, args.categories)
    stagger(args.seeds)


if __name__ == "__main__":
    main()
