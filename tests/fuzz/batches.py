"""atheris target: the batch converters.

NumPy arrays of every dtype with arbitrary shapes, strides (negative, zero, unaligned), byte
orders and views; other buffers; lists of rows; CSR matrices with out-of-range, unsorted or
repeated indices and inconsistent indptr; DataFrames with mixed and categorical columns; labels
and targets of many forms. A call either succeeds or raises TypeError or ValueError and leaves
the object unchanged. A batch that loads must act exactly as the one-sample loop over its rows
(a row: the dict of its columns, NaN cells left out).
"""
import math
import warnings

import atheris
import numpy as np
import pandas as pd
import scipy.sparse as sp

import _quelb_core as q
from fuzz_common import call_checked, run, state

ALLOWED = (TypeError, ValueError)
DTYPES = ["?", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d", "g",
          "F", "O", "U2", "S2", "M8[s]", "m8[s]", "V8", [("a", "f8")]]
warnings.simplefilter("ignore")


def raw_array(fdp, dtype, shape):
    dtype = np.dtype(dtype)
    count = int(np.prod(shape)) if shape else 1
    if dtype.hasobject:
        values = [fdp.PickValueInList([1.0, "a", None, math.nan, 2]) for _ in range(count)]
        return np.array(values, dtype=object).reshape(shape)
    raw = fdp.ConsumeBytes(count * dtype.itemsize)
    raw += bytes(count * dtype.itemsize - len(raw))
    return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()


def array(fdp):
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    if fdp.ConsumeBool() and dtype.byteorder not in ("|",):
        dtype = dtype.newbyteorder()
    ndim = fdp.ConsumeIntInRange(0, 3) if fdp.ConsumeIntInRange(0, 7) == 0 else 2
    shape = tuple(fdp.ConsumeIntInRange(0, 5) for _ in range(ndim))
    a = raw_array(fdp, dtype, shape)
    view = fdp.ConsumeIntInRange(0, 7)
    if view == 1 and a.ndim >= 1:
        a = a[::-1]
    elif view == 2 and a.ndim == 2:
        a = a[::-1, ::fdp.PickValueInList([-2, -1, 2])]
    elif view == 3:
        a = a.T
    elif view == 4 and a.ndim == 2 and a.size:
        # Zero strides repeat a row or a column any number of times; the others keep their
        # length, so that the view stays inside the array.
        shape, strides = [], []
        for axis in range(2):
            if fdp.ConsumeBool():
                shape.append(fdp.ConsumeIntInRange(0, 6))
                strides.append(0)
            else:
                shape.append(a.shape[axis])
                strides.append(a.strides[axis])
        a = np.lib.stride_tricks.as_strided(a, tuple(shape), tuple(strides), writeable=False)
    elif view == 5 and a.ndim == 2 and not dtype.hasobject:
        buffer = np.zeros(a.nbytes + dtype.itemsize + 1, dtype=np.uint8)
        unaligned = np.ndarray(a.shape, dtype=dtype, buffer=buffer, offset=1)
        unaligned[...] = a
        a = unaligned
    elif view == 6:
        a = np.asfortranarray(a)
    elif view == 7 and a.ndim == 2:
        try:
            a = memoryview(a)
        except ValueError:  # a dtype the buffer protocol cannot describe
            pass
    return a


def csr(fdp):
    n_rows, n_cols = fdp.ConsumeIntInRange(0, 4), fdp.ConsumeIntInRange(0, 5)
    nnz = fdp.ConsumeIntInRange(0, 8)
    data = np.array([fdp.PickValueInList([1.0, -2.5, math.nan, 0.0, math.inf]) for _ in range(nnz)])
    indices = np.array([fdp.ConsumeIntInRange(-2, 6) for _ in range(nnz)], dtype=np.int32)
    indptr = np.array(sorted(fdp.ConsumeIntInRange(0, nnz) for _ in range(n_rows + 1)), dtype=np.int32)
    if n_rows + 1:
        indptr[0], indptr[-1] = 0, nnz
    matrix = sp.csr_matrix((max(n_rows, 1), max(n_cols, 1)))
    # Set the parts directly: scipy's checks would refuse the damage the converter must catch.
    matrix.data, matrix.indices, matrix.indptr = data, indices, indptr
    matrix._shape = (n_rows, n_cols)
    damage = fdp.ConsumeIntInRange(0, 5)
    if damage == 1 and len(indptr):
        matrix.indptr = indptr[::-1].copy()
    elif damage == 2:
        matrix.indptr = indptr[:-1]
    elif damage == 3:
        matrix.data = data.astype(fdp.PickValueInList(["f4", "i8", "c16", "O"]))
    elif damage == 4:
        matrix.indices = indices.astype(fdp.PickValueInList(["u8", "f8", "i2"]))
    return matrix


def dataframe(fdp):
    n = fdp.ConsumeIntInRange(0, 5)
    columns = {}
    for j in range(fdp.ConsumeIntInRange(0, 4)):
        kind = fdp.ConsumeIntInRange(0, 7)
        cells = [fdp.ConsumeIntInRange(-3, 3) for _ in range(n)]
        if kind == 0:
            column = pd.Series([float(c) if c else math.nan for c in cells])
        elif kind == 1:
            column = pd.Series(cells, dtype="int64")
        elif kind == 2:
            column = pd.Series([c > 0 for c in cells])
        elif kind == 3:
            column = pd.Series([fdp.PickValueInList(["a", "b", None, 1.5, "é"]) for _ in cells], dtype=object)
        elif kind == 4:
            column = pd.Series(pd.Categorical([fdp.PickValueInList(["a", "b", None]) for _ in cells]))
        elif kind == 5:
            column = pd.Series([c if c else None for c in cells], dtype="Int64")
        elif kind == 6:
            column = pd.Series(pd.to_datetime(cells, unit="s"))
        else:
            column = pd.Series([str(c) for c in cells], dtype="string")
        name = fdp.PickValueInList([f"c{j}", f"c{j}", "c0", j, b"c"])
        columns[name] = column
    frame = pd.DataFrame(columns) if columns else pd.DataFrame(index=range(n))
    if fdp.ConsumeBool() and len(frame.columns) > 1:
        frame.columns = ["c0"] * len(frame.columns)
    if fdp.ConsumeBool() and n:
        frame = frame.iloc[::-1]
    return frame


def feature_names(fdp, n_cols):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 2 or n_cols is None:
        return None
    if kind == 3:
        return [f"n{j}" for j in range(n_cols)]
    if kind == 4:
        return [f"n{j}" for j in range(n_cols + fdp.ConsumeIntInRange(-1, 1))]
    return fdp.PickValueInList([["a", "a"], [1, 2], "ab", [b"a", "b"], ["\ud800"] * n_cols])


def target(fdp, n_rows, labels):
    kind = fdp.ConsumeIntInRange(0, 5)
    n = n_rows + (fdp.ConsumeIntInRange(-1, 1) if kind == 5 else 0)
    n = max(n, 0)
    if kind <= 1:
        return np.array([fdp.ConsumeIntInRange(-2, 2) for _ in range(n)], dtype=np.int64)
    if kind == 2:
        return [fdp.ConsumeIntInRange(-2, 2) for _ in range(n)]
    if kind == 3:
        return raw_array(fdp, fdp.PickValueInList(["f8", "i8", ">i4", "u8", "?", "O", "e"]), (n,))
    if kind == 4:
        return np.array([fdp.ConsumeIntInRange(-2, 2) for _ in range(2 * n)], dtype=np.int32)[::2]
    return np.arange(n, dtype=np.float64 if not labels else np.int64)


def batch(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 5:
        return array(fdp)
    if kind == 6:
        return csr(fdp)
    if kind == 7:
        return dataframe(fdp)
    if kind == 8:
        return [[fdp.ConsumeRegularFloat() for _ in range(fdp.ConsumeIntInRange(0, 3))]
                for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return [fdp.PickValueInList([{"a": 1.0}, {}, {"b": math.nan}, 3, None]) for _ in range(fdp.ConsumeIntInRange(0, 3))]


def rows_of(X, names):
    """The samples a numeric table stands for, or None when X is not a plain numeric one."""
    if isinstance(X, sp.csr_matrix):
        try:
            data, indices, indptr = (np.asarray(X.data, dtype="f8"), np.asarray(X.indices, dtype="i8"),
                                     np.asarray(X.indptr, dtype="i8"))
        except (TypeError, ValueError):
            return None
        if np.isnan(data).any() or len(indptr) != X.shape[0] + 1:
            return None
        names = names or [str(j) for j in range(X.shape[1])]
        return [{names[indices[k]]: float(data[k]) for k in range(indptr[i], indptr[i + 1])} for i in range(X.shape[0])]
    if isinstance(X, (np.ndarray, memoryview)):
        a = np.asarray(X)
        if a.ndim != 2 or a.dtype.kind not in "biuf":
            return None
        a = a.astype("f8")
        names = names or [str(j) for j in range(a.shape[1])]
        return [{names[j]: float(v) for j, v in enumerate(row) if not math.isnan(v)} for row in a]
    return None


def make(kind):
    return [lambda: q.NaiveBayes(), lambda: q.StandardScaler(), lambda: q.OneHotEncoder(),
            lambda: q.HalfSpaceTrees(n_trees=2, height=3, window_size=5, seed=1),
            lambda: q.LinearRegression(), lambda: q.HoeffdingTreeClassifier(grace_period=2)][kind]()


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    kind = fdp.ConsumeIntInRange(0, 5)
    obj = make(kind)
    X = batch(fdp)
    shape = getattr(X, "shape", None)
    n_rows = len(X) if shape is None else (shape[0] if len(shape) else 0)
    names = feature_names(fdp, shape[1] if shape is not None and len(shape) == 2 else None)
    labels = kind in (0, 5)
    y = target(fdp, n_rows, labels)
    if kind in (0, 4, 5):
        method, args = fdp.PickValueInList(["learn_many", "test_then_train_many"]), (X, y)
    elif kind == 3:
        method, args = fdp.PickValueInList(["learn_many", "score_many"]), (X,)
    else:
        method, args = fdp.PickValueInList(["learn_many", "transform_many"]), (X,)
    error = call_checked(obj, ALLOWED, method, *args, **({} if names is None else {"feature_names": names}))
    if error is not None or method not in ("learn_many", "test_then_train_many"):
        return
    rows = rows_of(X, names)
    if rows is None:
        return
    twin = make(kind)
    targets = list(np.asarray(y).tolist()) if y is not None and len(args) > 1 else None
    for i, row in enumerate(rows):
        if targets is None:
            twin.learn_one(row)
        else:
            twin.learn_one(row, targets[i])
    assert state(twin) == state(obj), f"{method} acted unlike the one-sample loop over its rows"


if __name__ == "__main__":
    run(test_one_input)
