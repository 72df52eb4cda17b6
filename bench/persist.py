"""Size and speed of a saved forest: an ARFClassifier (10 trees, default options) trained on the
electricity stream, pickled and unpickled.

Reports the state's bytes per tree node, and the time to save (pickle.dumps) and to load
(pickle.loads) it as a share of the time its training took. The same is measured on forests
trained on growing prefixes of the stream, to show that saving and loading stay linear in the
size of the forest.

Usage: PYTHONPATH=build .venv/bin/python bench/persist.py [--samples N] [--repeats N]
"""
import argparse
import os
import pickle
import statistics
import sys
import time

import _quelb_bench as bench
import _quelb_core as q

# The package's sources, beside the tree build.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from quelb import datasets  # noqa: E402


def train(stream):
    forest = q.ARFClassifier()
    start = time.perf_counter()
    for x, y in stream:
        forest.learn_one(x, y)
    return forest, time.perf_counter() - start


def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def measure(stream, repeats):
    forest, training = train(stream)
    state = pickle.dumps(forest, protocol=pickle.HIGHEST_PROTOCOL)
    nodes = bench.arf_tree_nodes(forest.__getstate__())
    save = median_time(lambda: pickle.dumps(forest, protocol=pickle.HIGHEST_PROTOCOL), repeats)
    load = median_time(lambda: pickle.loads(state), repeats)
    # The restored forest must be the same forest.
    assert pickle.dumps(pickle.loads(state), protocol=pickle.HIGHEST_PROTOCOL) == state
    return {"samples": len(stream), "nodes": nodes, "bytes": len(state), "training": training,
            "save": save, "load": load}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=None, help="stream length (default: all)")
    parser.add_argument("--repeats", type=int, default=7, help="timed saves and loads per forest")
    args = parser.parse_args(argv)
    stream = list(datasets.electricity())[: args.samples]

    print(f"{'samples':>8} {'nodes':>7} {'bytes':>10} {'B/node':>7} {'train s':>8} "
          f"{'save ms':>8} {'load ms':>8} {'save/train':>10} {'load/train':>10} {'save ns/B':>9} {'load ns/B':>9}")
    for share in (4, 2, 1):
        r = measure(stream[: len(stream) // share], args.repeats)
        print(f"{r['samples']:>8} {r['nodes']:>7} {r['bytes']:>10} {r['bytes'] / r['nodes']:>7.0f} "
              f"{r['training']:>8.2f} {r['save'] * 1e3:>8.2f} {r['load'] * 1e3:>8.2f} "
              f"{r['save'] / r['training']:>10.5f} {r['load'] / r['training']:>10.5f} "
              f"{r['save'] / r['bytes'] * 1e9:>9.2f} {r['load'] / r['bytes'] * 1e9:>9.2f}")


if __name__ == "__main__":
    main()
