"""Detection delay and false alarms of every drift detector, on seeded Bernoulli and Gaussian streams.

- Delay: RUNS streams each stay stationary for CHANGE_AT values, then change abruptly (Bernoulli
  error rate 0.2 -> 0.5; Gaussian mean 0.3 -> 0.5, standard deviation 0.1) and go on for
  HORIZON values. The delay is the number of values after the change up to and including the
  first drift signalled after it; the table gives the median delay over the runs that signalled
  one within the horizon, and how many did.
- False alarms: stationary streams (rate 0.2; N(0.3, 0.1)) of 100,000 values each, FA_RUNS of
  them; the table gives the mean number of drifts signalled per 100,000 values.

Detectors of 0/1 outcomes (DDM, EDDM) are fed the Bernoulli streams as ints and take no
Gaussian stream; the others are fed floats. Every detector has its default options; the seeded
one (KSWIN) gets the run's seed. Prints a Markdown table (the one in the README).

Usage: PYTHONPATH=build /usr/bin/python3 bench/detectors.py [--runs N] [--fa-runs N]
"""
import argparse
import random
import statistics

import _quelb_core as q

CHANGE_AT, HORIZON, FA_LENGTH = 2000, 3000, 100_000

# name -> (factory taking the run's seed, takes 0/1 outcomes as ints)
DETECTORS = {
    "ADWIN": (lambda seed: q.ADWIN(), False),
    "EDDM": (lambda seed: q.EDDM(), True),
    "DDM": (lambda seed: q.DDM(), True),
    "HDDM_A": (lambda seed: q.HDDM_A(), False),
    "HDDM_W": (lambda seed: q.HDDM_W(), False),
    "PageHinkley": (lambda seed: q.PageHinkley(), False),
    "KSWIN": (lambda seed: q.KSWIN(seed=seed), False),
}


def bernoulli(rng, rate, n):
    return [1 if rng.random() < rate else 0 for _ in range(n)]


def gaussian(rng, mean, n):
    return [rng.gauss(mean, 0.1) for _ in range(n)]


def drifts(detector, values):
    """1-based positions of the values at which a drift was signalled."""
    update, out = detector.update, []
    for i, v in enumerate(values, start=1):
        update(v)
        if detector.drift_detected:
            out.append(i)
    return out


def delay_column(make, as_int, streams):
    delays = []
    for seed, values in streams:
        values = values if as_int else [float(v) for v in values]
        after = [p - CHANGE_AT for p in drifts(make(seed), values) if p > CHANGE_AT]
        if after:
            delays.append(after[0])
    if not delays:
        return f"none of {len(streams)}"
    return f"{statistics.median(delays):.0f} ({len(delays)}/{len(streams)})"


def false_alarm_column(make, as_int, streams):
    counts = []
    for seed, values in streams:
        values = values if as_int else [float(v) for v in values]
        counts.append(len(drifts(make(seed), values)) * 100_000 / len(values))
    return f"{statistics.mean(counts):.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=50, help="change streams per kind")
    parser.add_argument("--fa-runs", type=int, default=5, help="stationary streams of 100,000 values per kind")
    args = parser.parse_args(argv)

    change = {"bernoulli": [], "gaussian": []}
    stationary = {"bernoulli": [], "gaussian": []}
    for seed in range(args.runs):
        rng = random.Random(seed)
        change["bernoulli"].append((seed, bernoulli(rng, 0.2, CHANGE_AT) + bernoulli(rng, 0.5, HORIZON)))
        change["gaussian"].append((seed, gaussian(rng, 0.3, CHANGE_AT) + gaussian(rng, 0.5, HORIZON)))
    for seed in range(args.fa_runs):
        rng = random.Random(10_000 + seed)
        stationary["bernoulli"].append((seed, bernoulli(rng, 0.2, FA_LENGTH)))
        stationary["gaussian"].append((seed, gaussian(rng, 0.3, FA_LENGTH)))

    print("| detector | delay, Bernoulli 0.2 -> 0.5 | delay, Gaussian mean 0.3 -> 0.5 "
          "| false alarms / 100k, Bernoulli 0.2 | false alarms / 100k, Gaussian |")
    print("|---|---|---|---|---|")
    for name, (make, as_int) in DETECTORS.items():
        cells = [delay_column(make, as_int, change["bernoulli"]),
                 "n/a" if as_int else delay_column(make, as_int, change["gaussian"]),
                 false_alarm_column(make, as_int, stationary["bernoulli"]),
                 "n/a" if as_int else false_alarm_column(make, as_int, stationary["gaussian"])]
        print(f"| `{name}` | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
