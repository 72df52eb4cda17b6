"""The real data streams shipped with the project, read as (sample dict, label) pairs."""
import csv
import gzip
import os

# The streams ship inside the Python package; the demo and the benchmark read them from there.
DATA_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "quelb", "data")


def read_csv_stream(name):
    """All rows of <name>.csv.gz as a list of ({feature: float}, int target)."""
    with gzip.open(os.path.join(DATA_DIR, name + ".csv.gz"), "rt", newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        features, target = header[:-1], header[-1]
        del target
        rows = []
        for row in reader:
            rows.append(({k: float(v) for k, v in zip(features, row[:-1])}, int(row[-1])))
        return rows


def electricity():
    """45,312 samples of 6 electricity-market features with a binary target."""
    return read_csv_stream("elec")


def weather():
    """18,159 samples of 8 weather features with a binary target."""
    return read_csv_stream("weather")



# The electricity column that the regression runs predict from the others: a price in [0, 1].
REGRESSION_TARGET = "feat_2"


def regression_stream(stream):
    """The stream with REGRESSION_TARGET as the target and the other features as inputs.

    The class label is left out of the inputs: it records whether that price went up, so it would
    leak the answer.
    """
    rows = []
    for x, _ in stream:
        inputs = dict(x)
        target = inputs.pop(REGRESSION_TARGET)
        rows.append((inputs, target))
    return rows
