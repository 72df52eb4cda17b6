"""The real data streams shipped with the package, read lazily as ``(sample, label)`` pairs.

Each stream is a gzip-compressed CSV file inside the package: one column per feature and the
target last. Iterating a dataset opens the file afresh, so a dataset can be iterated any number
of times; nothing is kept in memory between passes.
"""
import csv
import gzip
import os
import re

from . import expressions, synth
from .errors import UnknownDataset, UsageError
from .tables import require

__all__ = ["Dataset", "electricity", "weather", "DATASETS", "load", "resolve"]

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class Dataset:
    """A stream read from a CSV file shipped with the package.

    Attributes: ``name``, ``description``, ``task`` ("binary classification", "multiclass
    classification" or "regression"), ``n_samples``, ``n_features`` and ``path``.

    With ``target`` naming a feature column, the stream becomes a regression stream: that column
    is the target and the other features the inputs. The original label is left out of the
    inputs, since in these datasets it is derived from the features (it would leak the answer).
    """

    def __init__(self, name, filename, description, task, n_samples, n_features, target=None):
        self.name = name
        self.path = os.path.join(DATA_DIR, filename)
        self.description = description
        self.task = task
        self.n_samples = n_samples
        self.n_features = n_features
        self.target = target
        if target is not None:
            features = self.feature_names()
            if target not in features:
                raise UsageError(f"the {name} dataset has no feature '{target}' "
                                 f"(features: {', '.join(features)})")
            self.task = "regression"
            self.n_features = n_features - 1
            self.description = (f"{description} Here as regression: {target} predicted from the "
                                f"other features, the label left out.")

    def feature_names(self):
        """The feature columns of the file, in order (the label column excluded)."""
        with gzip.open(self.path, "rt", newline="") as f:
            return next(csv.reader(f))[:-1]

    def __len__(self):
        return self.n_samples

    def __iter__(self):
        with gzip.open(self.path, "rt", newline="") as f:
            reader = csv.reader(f)
            names = next(reader)[:-1]
            if self.target is None:
                regression = self.task == "regression"
                for row in reader:
                    x = {name: float(value) for name, value in zip(names, row)}
                    yield x, float(row[-1]) if regression else int(row[-1])
                return
            for row in reader:
                x = {name: float(value) for name, value in zip(names, row)}
                yield x, x.pop(self.target)

    def iter_arrays(self, chunk_size=4096):
        """The stream as chunks ``(X, y, feature_names)`` of at most ``chunk_size`` rows (see
        ``quelb.tables``): the same rows and values as iterating it. Needs NumPy."""
        np = require("numpy", "arrays")
        if chunk_size < 1:
            raise ValueError("chunk_size must be at least 1")
        with gzip.open(self.path, "rt", newline="") as f:
            reader = csv.reader(f)
            names = next(reader)[:-1]
            column = names.index(self.target) if self.target is not None else None
            kept = [n for n in names if n != self.target]
            while True:
                block = [row for _, row in zip(range(chunk_size), reader)]
                if not block:
                    return
                table = np.array(block, dtype=np.float64)
                if column is None:
                    X, y = table[:, :-1], table[:, -1]
                    if self.task != "regression":
                        y = y.astype(np.int64)
                else:
                    X = np.delete(table[:, :-1], column, axis=1)
                    y = table[:, column]
                yield np.ascontiguousarray(X), y, kept

    def __reduce__(self):
        # A shipped stream travels by name, so a process elsewhere (a Dask worker) reads its own
        # copy of the file rather than a path of this machine.
        if self.name in DATASETS:
            return DATASETS[self.name], (self.target,)
        return super().__reduce__()

    def __repr__(self):
        return (f"<Dataset {self.name}: {self.n_samples} samples, {self.n_features} features, "
                f"{self.task}>")


def electricity(target=None):
    """The electricity market stream: will the price go up (1) or down (0)? With ``target``
    (e.g. "feat_2", a price scaled to [0, 1]) a regression stream of that column."""
    return Dataset(
        "electricity", "elec.csv.gz",
        "Electricity market prices and demand of a regional market, every half hour; "
        "the target is whether the price rises (1) or falls (0) relative to its recent average. "
        "42% of the labels are 1.",
        "binary classification", 45312, 6, target)


def weather(target=None):
    """The weather stream: will it rain tomorrow (1) or not (0)? With ``target`` a regression
    stream of that column."""
    return Dataset(
        "weather", "weather.csv.gz",
        "Daily weather measurements of one station (temperatures, pressure, visibility, wind); "
        "the target is whether it rains on the next day (1) or not (0). 31% of the labels are 1.",
        "binary classification", 18159, 8, target)


# name -> factory; "elec" is kept as a short alias of the electricity stream.
DATASETS = {"electricity": electricity, "elec": electricity, "weather": weather}


def load(name):
    """The shipped dataset called ``name``; UnknownDataset naming the known ones otherwise."""
    try:
        return DATASETS[name]()
    except KeyError:
        raise UnknownDataset(f"unknown dataset '{name}' (known: {', '.join(DATASETS)})") from None


def resolve(text):
    """A shipped dataset or a generator, by name or by expression such as
    ``electricity(target='feat_2')`` or ``SEA(drifts=[5000])``; names match in any case."""
    namespace = {**DATASETS, **synth.GENERATORS}
    key = text.strip()
    by_lower = {name.lower(): name for name in namespace}
    if key.lower() in by_lower:
        key = by_lower[key.lower()]
    known = f"datasets: {', '.join(DATASETS)}; generators: {', '.join(synth.GENERATORS)}"
    head = re.match(r"\s*(\w+)\s*(\(|$)", key)
    if not head or head.group(1) not in namespace:
        raise UnknownDataset(f"unknown dataset or generator '{text}' ({known})")
    return expressions.parse(key, namespace, "stream").make()
