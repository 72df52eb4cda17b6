"""Keyed fleets and sweeps on Dask: throughput in one process and on LocalClusters of worker
processes, and the per-batch overheads that tell what more machines would give.

    PYTHONPATH=build:python python bench/scale_out.py [--events N] [--keys K] [--batch B]
        [--only fleet,sweep,overhead] [--repeat 3]

Needs the dask extra (pip install 'quelb[dask]'). Not run by the tests or CI.

- fleet: one HoeffdingTreeClassifier per key; events in micro-batches, test-then-train. One
  process runs a partition's own code (group by key, test_then_train_many per key) on every
  batch, without Dask; then Fleet on 1 and 2 workers (one partition per worker), and on 2
  workers with a checkpoint every 10 batches.
- sweep: 8 Hoeffding tree configurations on an Agrawal stream of 200,000 samples with a drift,
  on 1 and 2 workers.
- overhead: the client's share of a batch (checks, keys, routing), and the latency and the
  client's (with the scheduler's) CPU time of a batch of a few events over 2 to 32 partitions,
  for the estimate on more machines.

Each figure is the fastest of --repeat runs (other work on the machine only slows a run down).
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

import quelb
from quelb import distributed as qd

FEATURES = [f"x{i}" for i in range(5)]
MODEL = "HoeffdingTreeClassifier()"


def events(n, n_keys, seed=0):
    """Keys "k0".."k{K-1}" drawn uniformly; each key's label follows its own direction."""
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, n_keys, n)
    names = np.array([f"k{i}" for i in range(n_keys)])
    directions = rng.normal(size=(n_keys, len(FEATURES)))
    X = rng.normal(size=(n, len(FEATURES)))
    y = ((X * directions[ids]).sum(axis=1) + 0.3 * rng.normal(size=n) > 0).astype(np.int64)
    return names[ids], X, y


def batches(data, size):
    keys, X, y = data
    for start in range(0, len(y), size):
        yield keys[start:start + size], X[start:start + size], y[start:start + size]


def one_process(data, size):
    """The batch path without Dask: every key in one partition, run in this process."""
    part = qd._Partition(MODEL)
    names = {"feature_names": FEATURES}
    start = time.perf_counter()
    for keys, X, y in batches(data, size):
        distinct, codes, _ = qd._distinct_keys(keys, None)
        qd._learn(part, distinct, codes, X, y, names)
    return time.perf_counter() - start


def cluster(n_workers):
    from distributed import Client, LocalCluster
    local = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                         dashboard_address=":0")
    return local, Client(local)


def cpu_times(client):
    """CPU seconds used so far by each worker process, and by this process (the client and,
    on a LocalCluster, the scheduler)."""
    return sorted(client.run(time.process_time).values()), time.process_time()


def on_fleet(client, data, size, n_partitions, checkpoint_dir=None):
    """(wall seconds, the fleet, CPU seconds of the busiest worker, CPU seconds here)."""
    fleet = qd.Fleet(client, MODEL, n_partitions=n_partitions, checkpoint_dir=checkpoint_dir,
                     checkpoint_every=10)
    workers_before, here_before = cpu_times(client)
    start = time.perf_counter()
    for keys, X, y in batches(data, size):
        fleet.test_then_train(keys, X, y, feature_names=FEATURES)
    seconds = time.perf_counter() - start
    workers_after, here_after = cpu_times(client)
    busiest = max(b - a for a, b in zip(workers_before, workers_after))
    return seconds, fleet, busiest, here_after - here_before


def rate(n, seconds):
    return f"{n / seconds:12,.0f} events/s  ({seconds:6.2f} s)"


def bench_fleet(args):
    data = events(args.events, args.keys)
    n = len(data[2])
    print(f"fleet: {args.keys:,} keys, {n:,} events, micro-batches of {args.batch:,}, {MODEL}")
    print("  (CPU: seconds of the busiest worker process, and of the client with the scheduler)")
    runs = []
    for _ in range(args.repeat):
        cpu = time.process_time()
        runs.append((one_process(data, args.batch), time.process_time() - cpu))
    single, cpu = min(runs)
    print(f"  one process, no Dask        {rate(n, single)}  CPU {cpu:.2f} s")
    results = {"single": single}
    for workers in (1, 2):
        local, client = cluster(workers)
        try:
            seconds, fleet, busiest, here = min(
                (on_fleet(client, data, args.batch, workers) for _ in range(args.repeat)),
                key=lambda run: run[0])
            results[workers] = seconds
            print(f"  {workers} worker{'s' if workers > 1 else ' '}                   "
                  f"{rate(n, seconds)}  CPU {busiest:.2f} s, {here:.2f} s  keys={fleet.n_keys:,}")
            if workers == 2:
                with tempfile.TemporaryDirectory() as directory:
                    seconds, _, busiest, here = on_fleet(client, data, args.batch, workers,
                                                         directory)
                    print(f"  2 workers, checkpoint /10   {rate(n, seconds)}  CPU {busiest:.2f} s, "
                          f"{here:.2f} s")
        finally:
            client.close()
            local.close()
    print(f"  2 workers / 1 worker: {results[1] / results[2]:.2f}x;  "
          f"1 worker / one process: {results[1] / results['single']:.2f}x the time")
    return results


def bench_sweep(args):
    configurations = [f"HoeffdingTreeClassifier(grace_period={g}, split_confidence={c}, "
                      f"tie_threshold={t})"
                      for g in (50, 200) for c in (1e-7, 1e-3) for t in (0.05, 0.1)]
    stream = "Agrawal(function=2, n_samples=200000, drifts=[100000])"
    print(f"sweep: {len(configurations)} configurations on {stream}")
    times = {}
    for workers in (1, 2):
        local, client = cluster(workers)
        try:
            runs = []
            for _ in range(args.repeat):
                workers_before, _ = cpu_times(client)
                start = time.perf_counter()
                qd.sweep(client, configurations, stream, progress=False)
                seconds = time.perf_counter() - start
                workers_after, _ = cpu_times(client)
                runs.append((seconds, max(b - a for a, b in zip(workers_before, workers_after))))
            times[workers], busiest = min(runs)
            print(f"  {workers} worker{'s' if workers > 1 else ' '}  {times[workers]:6.2f} s  "
                  f"CPU of the busiest worker {busiest:.2f} s")
        finally:
            client.close()
            local.close()
    print(f"  2 workers / 1 worker: {times[1] / times[2]:.2f}x")


def bench_overhead(args):
    data = events(args.batch, args.keys, seed=1)
    local, client = cluster(2)
    try:
        fleet = qd.Fleet(client, MODEL, n_partitions=2)
        keys, X, y = data
        start = time.perf_counter()
        for _ in range(5):
            batch, rows = fleet._route(keys, X)
            fleet._split(batch, rows, y, FEATURES)
        client_side = (time.perf_counter() - start) / 5
        print(f"overhead: client's checks and routing of a batch of {len(y):,}: "
              f"{client_side * 1e3:.1f} ms ({client_side / len(y) * 1e9:.0f} ns/event)")
        for n_partitions in (2, 8, 32):
            fleet = qd.Fleet(client, MODEL, n_partitions=n_partitions)
            tiny = (keys[:4 * n_partitions], X[:4 * n_partitions], y[:4 * n_partitions])
            fleet.test_then_train(*tiny, feature_names=FEATURES)
            start, cpu = time.perf_counter(), time.process_time()
            for _ in range(20):
                fleet.test_then_train(*tiny, feature_names=FEATURES)
            latency = (time.perf_counter() - start) / 20
            cpu = (time.process_time() - cpu) / 20
            print(f"  batch of {len(tiny[2])} events over {n_partitions} partitions: "
                  f"{latency * 1e3:.1f} ms, CPU of the client with the scheduler {cpu * 1e3:.1f} ms")
    finally:
        client.close()
        local.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--keys", type=int, default=10_000)
    parser.add_argument("--batch", type=int, default=50_000)
    parser.add_argument("--only", default="fleet,sweep,overhead")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of each measurement, the fastest reported (default 3)")
    args = parser.parse_args()
    print(f"quelb {quelb.__version__}, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f} at the start", flush=True)
    for part in args.only.split(","):
        {"fleet": bench_fleet, "sweep": bench_sweep, "overhead": bench_overhead}[part](args)
        print(f"(load average {os.getloadavg()[0]:.1f})", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
