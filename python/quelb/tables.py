"""Streams read as arrays, for the batch methods: chunks of ``(X, y, feature_names)``.

A chunk holds the same rows, in the same order and with the same values, as the stream's
``(sample, target)`` pairs: ``model.test_then_train_many(X, y, feature_names=names)`` over the
chunks gives what the one-sample loop over the pairs gives. NumPy is needed here (the
``arrays`` extra) and imported only when a chunk is asked for.
"""
import importlib

__all__ = ["require", "numpy_for_chunks", "arrays_from_pairs"]


def require(module, extra):
    """Imports an optional dependency, or raises ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"this needs {module}: pip install 'quelb[{extra}]'") from None


def numpy_for_chunks(stream, chunk_size):
    """NumPy, once the stream may give chunks of that size: a stream with categories (str values)
    has no arrays of numbers (TypeError), a chunk holds at least one row (ValueError)."""
    if getattr(stream, "categorical", False):
        raise TypeError(f"the {stream.name} stream holds categories (str values), which arrays of "
                        f"numbers cannot: iterate its (sample, target) pairs")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    return require("numpy", "arrays")


def arrays_from_pairs(pairs, chunk_size, integer_labels):
    """Chunks of a stream whose samples all name the same features in the same order (the
    generators' streams, checked with numpy_for_chunks first); a sample that does not raises
    ValueError."""
    import numpy as np
    names, rows, targets = None, [], []
    for x, y in pairs:
        if names is None:
            names = list(x)
        elif len(x) != len(names) or any(a != b for a, b in zip(x, names)):
            raise ValueError("the stream's samples do not all name the same features")
        rows.append(list(x.values()))
        targets.append(y)
        if len(rows) == chunk_size:
            yield _chunk(np, rows, targets, integer_labels, names)
            rows, targets = [], []
    if rows:
        yield _chunk(np, rows, targets, integer_labels, names)


def _chunk(np, rows, targets, integer_labels, names):
    return (np.array(rows, dtype=np.float64).reshape(len(rows), len(names)),
            np.array(targets, dtype=np.int64 if integer_labels else np.float64), names)
