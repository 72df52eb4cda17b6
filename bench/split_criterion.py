"""Prequential R2 and cost of the regression trees' two split criteria.

Runs HoeffdingTreeRegressor, ARFRegressor and SRPRegressor test-then-train with
split_criterion="mean_split" (the default) and "variance_reduction", every other option at its
default, on Friedman #1 (50,000 samples, noise 1) and on the electricity stream with feat_2 as the
target, and prints R2 and the CPU time per sample (predict_one plus learn_one), with the ratio of
the two criteria's times. FIMTDDRegressor is listed for comparison.

Usage: PYTHONPATH=build:python /usr/bin/python3 bench/split_criterion.py [--samples N]
    [--models HoeffdingTreeRegressor,ARFRegressor] [--streams friedman,electricity]
    [--option name=value ...] (options added to every model with the variance_reduction criterion)
"""
import argparse
import ast
import time

import _quelb_core as q
from quelb.datasets import electricity
from quelb.synth import Friedman

MODELS = ["HoeffdingTreeRegressor", "ARFRegressor", "SRPRegressor"]
CRITERIA = ["mean_split", "variance_reduction"]


def streams(samples):
    return {
        "friedman": lambda: list(Friedman(noise_std=1.0, n_samples=samples or 50_000)),
        "electricity": lambda: list(electricity(target="feat_2"))[:samples],
    }


def run(model, stream):
    """(R2, CPU seconds per sample) of a test-then-train pass."""
    metric = q.R2()
    start = time.process_time()
    for x, y in stream:
        metric.update(y, model.predict_one(x))
        model.learn_one(x, y)
    return metric.get(), (time.process_time() - start) / len(stream)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=None, help="stream length (default: 50,000 / all)")
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--streams", default="friedman,electricity")
    parser.add_argument("--option", action="append", default=[], help="name=value for the new criterion's runs")
    args = parser.parse_args(argv)
    extra = {}
    for item in args.option:
        name, _, value = item.partition("=")
        extra[name] = ast.literal_eval(value)

    makers = streams(args.samples)
    print(f"{'stream':<12} {'model':<24} {'criterion':<20} {'R2':>8} {'us/sample':>10} {'cost ratio':>10}")
    for stream_name in args.streams.split(","):
        stream = makers[stream_name]()
        for name in args.models.split(","):
            cls = getattr(q, name)
            base_time = None
            criteria = CRITERIA if name in MODELS else [None]
            for criterion in criteria:
                options = {} if criterion is None else {"split_criterion": criterion}
                if criterion == "variance_reduction":
                    options.update(extra)
                r2, cost = run(cls(**options), stream)
                if criterion == "mean_split":
                    base_time = cost
                ratio = f"{cost / base_time:.2f}" if base_time and criterion != "mean_split" else ""
                print(f"{stream_name:<12} {name:<24} {criterion or '-':<20} {r2:8.4f} {cost * 1e6:10.1f} "
                      f"{ratio:>10}", flush=True)


if __name__ == "__main__":
    main()
