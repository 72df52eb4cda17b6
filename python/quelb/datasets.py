"""The real data streams shipped with the package, read lazily as ``(sample, label)`` pairs.

Each stream is a gzip-compressed CSV file inside the package: one column per feature and the
target last. Iterating a dataset opens the file afresh, so a dataset can be iterated any number
of times; nothing is kept in memory between passes.
"""
import csv
import gzip
import os

from .errors import UnknownDataset

__all__ = ["Dataset", "electricity", "weather", "DATASETS", "load"]

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class Dataset:
    """A stream read from a CSV file shipped with the package.

    Attributes: ``name``, ``description``, ``task`` ("binary classification", "multiclass
    classification" or "regression"), ``n_samples``, ``n_features`` and ``path``.
    """

    def __init__(self, name, filename, description, task, n_samples, n_features):
        self.name = name
        self.path = os.path.join(DATA_DIR, filename)
        self.description = description
        self.task = task
        self.n_samples = n_samples
        self.n_features = n_features

    def __len__(self):
        return self.n_samples

    def __iter__(self):
        regression = self.task == "regression"
        with gzip.open(self.path, "rt", newline="") as f:
            reader = csv.reader(f)
            names = next(reader)[:-1]
            for row in reader:
                x = {name: float(value) for name, value in zip(names, row)}
                yield x, float(row[-1]) if regression else int(row[-1])

    def __repr__(self):
        return (f"<Dataset {self.name}: {self.n_samples} samples, {self.n_features} features, "
                f"{self.task}>")


def electricity():
    """The electricity market stream: will the price go up (1) or down (0)?"""
    return Dataset(
        "electricity", "elec.csv.gz",
        "Electricity market prices and demand of a regional market, every half hour; "
        "the target is whether the price rises (1) or falls (0) relative to its recent average. "
        "42% of the labels are 1.",
        "binary classification", 45312, 6)


def weather():
    """The weather stream: will it rain tomorrow (1) or not (0)?"""
    return Dataset(
        "weather", "weather.csv.gz",
        "Daily weather measurements of one station (temperatures, pressure, visibility, wind); "
        "the target is whether it rains on the next day (1) or not (0). 31% of the labels are 1.",
        "binary classification", 18159, 8)


# name -> factory; "elec" is kept as a short alias of the electricity stream.
DATASETS = {"electricity": electricity, "elec": electricity, "weather": weather}


def load(name):
    """The shipped dataset called ``name``; UnknownDataset naming the known ones otherwise."""
    try:
        return DATASETS[name]()
    except KeyError:
        raise UnknownDataset(f"unknown dataset '{name}' (known: {', '.join(DATASETS)})") from None
