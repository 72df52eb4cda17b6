"""Streams read from CSV files, lazily, as ``(sample, target)`` pairs: the real data streams
shipped with the package and, through ``csv(path, target)``, the user's own files.

Each shipped stream is a gzip-compressed CSV file inside the package: one column per feature and
the target last. Iterating a stream opens the file afresh, so it can be iterated any number of
times; nothing is kept in memory between passes.
"""
import csv as _csv
import gzip
import os
import re

from . import expressions, synth
from .errors import UnknownDataset, UsageError
from .tables import numpy_for_chunks

__all__ = ["CSVStream", "Dataset", "csv", "electricity", "weather", "penguins", "DATASETS", "load", "resolve"]

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
CLASSIFICATION, REGRESSION = "classification", "regression"


def _cell(text):
    """A feature cell: a float when it reads as a number, else the text, a category."""
    try:
        return float(text)
    except ValueError:
        return text


class CSVStream:
    """A lazy, re-iterable stream over a CSV file with a header row (``csv()`` makes one).

    Feature cells: a cell that reads as a number (Python's ``float``) is a float, any other
    non-empty cell is a string (a category, for the encoders); an empty cell, or one listed in
    ``missing``, leaves the feature out of that sample. The ``target`` column is an int label
    (``task`` "classification") or a float target ("regression"); a target that does not read so
    raises UsageError naming the file and the line. Columns in ``drop`` are left out.

    Attributes: ``name``, ``description``, ``task``, ``path``, ``n_features``, ``n_samples``
    (counted by reading the file, the first time it is asked for) and ``categorical`` (None: the
    file may hold categories, so evaluation reads it one sample at a time).
    """

    categorical = None

    def __init__(self, path, target, task=CLASSIFICATION, *, drop=(), missing=(), delimiter=",",
                 encoding="utf-8", name=None, description=""):
        if not task.endswith(CLASSIFICATION) and task != REGRESSION:
            raise UsageError(f"task must be 'classification' or 'regression', not '{task}'")
        self.path, self.target, self.task = os.fspath(path), target, task
        self.drop, self.missing = frozenset(drop), frozenset(missing) | {""}
        self.delimiter, self.encoding = delimiter, encoding
        self.name = name or os.path.basename(self.path)
        self.description = description
        header = self._header()
        if target not in header:
            raise UsageError(f"{self.path} has no column '{target}' (columns: {', '.join(header)})")
        if len(set(header)) != len(header):
            raise UsageError(f"{self.path}: a column name repeats in the header")
        self.n_features = len(self.feature_names())
        self._n_samples = None

    def _open(self):
        try:
            if self.path.endswith(".gz"):
                return gzip.open(self.path, "rt", newline="", encoding=self.encoding)
            return open(self.path, newline="", encoding=self.encoding)
        except OSError as e:
            raise UsageError(f"cannot read {self.path}: {e.strerror or e}") from None

    def _header(self):
        with self._open() as f:
            header = next(_csv.reader(f, delimiter=self.delimiter), None)
        if not header:
            raise UsageError(f"{self.path} is empty: it needs a header row naming its columns")
        return header

    def feature_names(self):
        """The feature columns, in order (the target and dropped columns excluded)."""
        return [n for n in self._header() if n != self.target and n not in self.drop]

    @property
    def n_samples(self):
        """Number of data rows (counted once, on first use)."""
        if self._n_samples is None:
            with self._open() as f:
                self._n_samples = sum(1 for _ in _csv.reader(f, delimiter=self.delimiter)) - 1
        return self._n_samples

    def __len__(self):
        return self.n_samples

    def __iter__(self):
        regression = self.task == REGRESSION
        numbers_only = self.categorical is False  # a shipped file of numbers without empty cells
        missing = self.missing
        with self._open() as f:
            reader = _csv.reader(f, delimiter=self.delimiter)
            header = next(reader)
            target = header.index(self.target)
            kept = [(j, n) for j, n in enumerate(header) if j != target and n not in self.drop]
            for row in reader:
                if len(row) > len(header):
                    raise UsageError(f"{self.path}, line {reader.line_num}: {len(row)} cells, but the "
                                     f"header names {len(header)} columns")
                if target >= len(row) or row[target].strip() in missing:
                    raise UsageError(f"{self.path}, line {reader.line_num}: no {self.target} value")
                if numbers_only:
                    x = {n: float(row[j]) for j, n in kept}
                else:
                    x = {n: _cell(row[j]) for j, n in kept if j < len(row) and row[j].strip() not in missing}
                yield x, self._target(row[target], regression, reader.line_num)

    def _target(self, text, regression, line):
        try:
            return float(text) if regression else int(text)
        except ValueError:
            what = "a number" if regression else "an integer class label"
            raise UsageError(f"{self.path}, line {line}: the {self.target} value '{text}' is not "
                             f"{what}" + ("" if regression else " (a regression task reads numbers)")) from None

    def __repr__(self):
        return (f"<{type(self).__name__} {self.name}: {self.n_features} features, {self.task}>")


def csv(path, target, task=CLASSIFICATION, **options):
    """The stream of the CSV file at ``path`` (``.gz`` files are read compressed) with the column
    ``target`` as the target: ``task`` "classification" (int labels, the default) or
    "regression" (float targets). Options: ``drop`` (columns to leave out), ``missing`` (cell
    texts that also mean an absent value, e.g. ``["NA"]``), ``delimiter``, ``encoding``,
    ``name`` and ``description``. See CSVStream for how cells are read."""
    return CSVStream(path, target, task, **options)


class Dataset(CSVStream):
    """A stream read from a CSV file shipped with the package.

    Attributes: ``name``, ``description``, ``task`` ("binary classification", "multiclass
    classification" or "regression"), ``n_samples``, ``n_features`` and ``path``.

    With ``target`` naming a feature column, the stream becomes a regression stream: that column
    is the target and the other features the inputs. The original label is left out of the
    inputs, since in these datasets it is derived from the features (it would leak the answer).
    """

    def __init__(self, name, filename, description, task, n_samples, target=None, categorical=False):
        path = os.path.join(DATA_DIR, filename)
        self.categorical = categorical
        with gzip.open(path, "rt", newline="") as f:
            *features, label = next(_csv.reader(f))
        self.target_feature = target
        if target is None:
            super().__init__(path, label, task, name=name, description=description)
        elif target not in features:
            raise UsageError(f"the {name} dataset has no feature '{target}' (features: {', '.join(features)})")
        else:
            super().__init__(path, target, REGRESSION, drop=[label], name=name,
                             description=f"{description} Here as regression: {target} predicted "
                                         f"from the other features, the label left out.")
        self._n_samples = n_samples

    def iter_arrays(self, chunk_size=4096):
        """The stream as chunks ``(X, y, feature_names)`` of at most ``chunk_size`` rows (see
        ``quelb.tables``): the same rows and values as iterating it. Needs NumPy; a dataset with
        categories has no arrays (TypeError)."""
        np = numpy_for_chunks(self, chunk_size)
        with gzip.open(self.path, "rt", newline="") as f:
            reader = _csv.reader(f)
            names = next(reader)[:-1]
            column = names.index(self.target_feature) if self.target_feature is not None else None
            kept = [n for n in names if n != self.target_feature]
            while True:
                block = [row for _, row in zip(range(chunk_size), reader)]
                if not block:
                    return
                table = np.array(block, dtype=np.float64)
                if column is None:
                    X, y = table[:, :-1], table[:, -1]
                    if self.task != REGRESSION:
                        y = y.astype(np.int64)
                else:
                    X = np.delete(table[:, :-1], column, axis=1)
                    y = table[:, column]
                yield np.ascontiguousarray(X), y, kept

    def __reduce__(self):
        # A shipped stream travels by name, so a process elsewhere (a Dask worker) reads its own
        # copy of the file rather than a path of this machine.
        if self.name in DATASETS:
            return DATASETS[self.name], (self.target_feature,)
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
        "binary classification", 45312, target)


def weather(target=None):
    """The weather stream: will it rain tomorrow (1) or not (0)? With ``target`` a regression
    stream of that column."""
    return Dataset(
        "weather", "weather.csv.gz",
        "Daily weather measurements of one station (temperatures, pressure, visibility, wind); "
        "the target is whether it rains on the next day (1) or not (0). 31% of the labels are 1.",
        "binary classification", 18159, target)


# Source: Debian's r-cran-palmerpenguins 0.1.1-1 (source package r-cran-palmerpenguins, licence
# CC0), extdata/penguins.csv: its rows put in the order of their egg dates (the "Date Egg"
# column of extdata/penguins_raw.csv, which lists the same birds in the same order), "NA" cells
# left empty, the species coded 0 Adelie, 1 Chinstrap, 2 Gentoo and moved last.
PENGUIN_SPECIES = ("Adelie", "Chinstrap", "Gentoo")


def penguins(target=None):
    """Penguins of the Palmer Archipelago, 2007 to 2009, in the order their nests were found:
    which species (0 Adelie, 1 Chinstrap, 2 Gentoo)? Two categorical features (island, sex) as
    strings, so models need an encoder in front (``ClassificationPipeline([OneHotEncoder()],
    ...)``). With ``target`` (e.g. "body_mass_g") a regression stream of that column."""
    return Dataset(
        "penguins", "penguins.csv.gz",
        "Size measurements, island and sex of 344 penguins of three species on three islands of "
        "the Palmer Archipelago (Antarctica), nests in the order found; the target is the species "
        "(44% Adelie 0, 20% Chinstrap 1, 36% Gentoo 2). Island and sex are categories (str); "
        "empty cells (11 sexes, 2 birds unmeasured) are left out of the samples.",
        "multiclass classification", 344, target, categorical=True)


# name -> factory; "elec" is kept as a short alias of the electricity stream.
DATASETS = {"electricity": electricity, "elec": electricity, "weather": weather, "penguins": penguins}


def load(name):
    """The shipped dataset called ``name``; UnknownDataset naming the known ones otherwise."""
    try:
        return DATASETS[name]()
    except KeyError:
        raise UnknownDataset(f"unknown dataset '{name}' (known: {', '.join(DATASETS)})") from None


def _is_csv_path(text):
    return text.lower().endswith((".csv", ".csv.gz")) or os.path.isfile(text)


def resolve(text, target=None, task=None):
    """A CSV file (with ``target`` naming its target column and ``task`` "classification" or
    "regression"), a shipped dataset or a generator, by name or by expression such as
    ``electricity(target='feat_2')`` or ``SEA(drifts=[5000])``; names match in any case. A
    ``target`` given with a dataset's name makes a regression stream of that column."""
    namespace = {**DATASETS, **synth.GENERATORS}
    key = text.strip()
    if key.lower() not in {name.lower() for name in namespace} and _is_csv_path(key):
        if target is None:
            raise UsageError(f"--data {text}: a CSV file needs --target naming its target column")
        return csv(key, target, task or CLASSIFICATION)
    if task is not None:
        raise UsageError("--task applies to a CSV file given with --data")
    if target is not None:
        found = next((n for n in DATASETS if n.lower() == key.lower()), None)
        if found is None:
            raise UsageError(f"--target applies to a CSV file or a shipped dataset ({', '.join(DATASETS)}), "
                             f"not '{text}'")
        return DATASETS[found](target=target)
    by_lower = {name.lower(): name for name in namespace}
    if key.lower() in by_lower:
        key = by_lower[key.lower()]
    known = f"datasets: {', '.join(DATASETS)}; generators: {', '.join(synth.GENERATORS)}"
    head = re.match(r"\s*(\w+)\s*(\(|$)", key)
    if not head or head.group(1) not in namespace:
        raise UnknownDataset(f"unknown dataset or generator '{text}' ({known})")
    return expressions.parse(key, namespace, "stream").make()
