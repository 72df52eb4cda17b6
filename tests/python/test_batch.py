"""Batch methods are the one-sample loop over the rows of a table, bit for bit.

For every class of the catalog, the batch form of its methods over a drifting stream (as an
array whose NaN cells are the features a sample lacks) gives the one-sample loop's results and
leaves the object in the same state (same later predictions, same pickled bytes). Every input
form reads the same rows; refused input changes nothing; objects are safe across threads.
"""
import pickle
import threading

import numpy as np
import pytest

import _quelb_core as q
from catalog import BY_NAME, bits, present_entries
from test_determinism import drifting_stream

NAMES = [f"f{j}" for j in range(6)] + ["rare"]
LENGTH, HEAVY_LENGTH = 600, 200


def table(steps):
    X = np.full((len(steps), len(NAMES)), np.nan)
    for i, (x, *_rest) in enumerate(steps):
        for j, name in enumerate(NAMES):
            if name in x:
                X[i, j] = x[name]
    return X


def chunks(n):
    """Batches of zero rows, one row and more, covering 0..n."""
    return [(0, 0), (0, 1), (1, n // 2), (n // 2, n)]


def stream(entry):
    steps = drifting_stream(3, HEAVY_LENGTH if entry.heavy else LENGTH)
    xs = [s[0] for s in steps]
    y = np.array([s[1] for s in steps])
    y2 = np.array([s[2] for s in steps])
    t = np.array([s[3] for s in steps])
    t2 = np.array([s[4] for s in steps])
    return steps, xs, table(steps), y, y2, t, t2


def seeded(entry):
    return entry.make(**({"seed": 5} if entry.seeded else {}))


def run_both(entry):
    """(one-sample results, batch results, the two objects) over the same stream."""
    steps, xs, X, y, y2, t, t2 = stream(entry)
    loop, batch = seeded(entry), seeded(entry)
    kind = entry.kind
    if kind in ("classifier", "regressor"):
        target = y if kind == "classifier" else t
        expected = []
        for x, label in zip(xs, target.tolist()):
            expected.append(loop.predict_one(x))
            loop.learn_one(x, label)
        got = []
        for a, b in chunks(len(xs)):
            got += batch.test_then_train_many(X[a:b], target[a:b], feature_names=NAMES).tolist()
        expected.append([loop.predict_one(x) for x in xs])
        got.append(batch.predict_many(X, feature_names=NAMES).tolist())
        if kind == "classifier":
            expected.append([loop.predict_proba_one(x) for x in xs])
            got.append(batch.predict_proba_many(X, feature_names=NAMES))
    elif kind.endswith("transformer"):
        extra = (t,) if kind.startswith("supervised") else ()
        for i, x in enumerate(xs):
            loop.learn_one(x, *(float(t[i]),) if extra else ())
        batch.learn_many(X, *extra, feature_names=NAMES)
        expected = [loop.transform_one(x) for x in xs]
        got = batch.transform_many(xs)
    elif kind == "anomaly_detector":
        for x in xs:
            loop.learn_one(x)
        for a, b in chunks(len(xs)):
            batch.learn_many(X[a:b], feature_names=NAMES)
        expected, got = [loop.score_one(x) for x in xs], batch.score_many(X, feature_names=NAMES).tolist()
    elif kind.endswith("score_metric"):
        labels = np.where(y == y2, 1, y)
        for u, v in zip(labels.tolist(), t2.tolist()):
            loop.update(u, v)
        batch.update_many(labels, t2)
        expected, got = loop.get(), batch.get()
    elif kind.endswith("metric"):
        a, b = (y, y2) if "label" in kind else (t, t2)
        for u, v in zip(a.tolist(), b.tolist()):
            loop.update(u, v)
        batch.update_many(a, b)
        expected, got = loop.get(), batch.get()
    else:  # detectors
        values = t if kind in ("value_detector", "flag_detector") else y % 2
        drifts, warnings = [], []
        for i, v in enumerate(values.tolist()):
            loop.update(v)
            drifts += [i] if loop.drift_detected else []
            warnings += [i] if getattr(loop, "warning_detected", False) else []
        result = batch.update_many(values)
        expected = (drifts, warnings) if isinstance(result, tuple) else drifts
        got = tuple(r.tolist() for r in result) if isinstance(result, tuple) else result.tolist()
    return expected, got, loop, batch


@pytest.mark.parametrize("entry", present_entries(), ids=lambda e: e.id)
def test_batch_equals_the_one_sample_loop(entry):
    expected, got, loop, batch = run_both(entry)
    assert bits(got) == bits(expected)
    assert pickle.dumps(batch) == pickle.dumps(loop)


def column_forms(column):
    """A 1-D column as update_many reads it in place (contiguous int64 / float64) and converted."""
    yield column
    spread = np.zeros(2 * len(column), dtype=column.dtype)
    spread[::2] = column
    yield spread[::2]
    yield column[::-1].copy()[::-1]
    yield column.tolist()
    if column.dtype.kind == "i":
        yield column.astype(np.int32)


@pytest.mark.parametrize("name", ["Accuracy", "MacroF1", "ROCAUC", "MAE", "R2", "WindowRegressionMetric",
                                  "EDDM", "ADWIN"])
def test_update_many_reads_every_column_form_as_update_does(name):
    """NaN signs included; a label outside 32 bits, read in place or not, changes nothing."""
    rng = np.random.default_rng(1)
    labels = rng.integers(-2, 3, 300)
    specials = np.array([np.inf, -np.inf, np.nan, -np.nan, 0.0, -0.0, 1e308])
    values = np.where(rng.random(300) < 0.3, specials[rng.integers(0, 7, 300)], rng.normal(size=300))
    metric = getattr(q, name)()
    if hasattr(metric, "drift_detected"):
        columns = (labels % 2,) if name == "EDDM" else (values,)
    elif name in ("Accuracy", "MacroF1"):
        columns = (labels, np.roll(labels, 1))
    else:
        columns = (labels, values) if name == "ROCAUC" else (values, np.roll(values, 3))
    loop = getattr(q, name)()
    for row in zip(*(c.tolist() for c in columns)):
        loop.update(*row)
    for form in column_forms(columns[-1]):
        batch = getattr(q, name)()
        batch.update_many(*columns[:-1], form)
        assert pickle.dumps(batch) == pickle.dumps(loop)
        if not hasattr(batch, "drift_detected"):
            assert bits(batch.get()) == bits(loop.get())
    if columns[0].dtype.kind == "i":
        before = pickle.dumps(batch)
        wide = np.r_[columns[0][:-1], 2**31]
        for form in (wide, wide[::-1].copy()[::-1], wide.tolist()):
            with pytest.raises(ValueError, match=r"\[299\] is 2147483648"):
                batch.update_many(form, *columns[1:])
        assert pickle.dumps(batch) == before


def forms(X):
    """The same rows as every accepted input form, with the keyword naming their columns."""
    named = {"feature_names": NAMES}
    yield "C", np.ascontiguousarray(X), named
    yield "Fortran", np.asfortranarray(X), named
    wide = np.full((X.shape[0] * 2, X.shape[1] * 2), -7.0)
    wide[::2, ::2] = X
    yield "strided", wide[::2, ::2], named
    yield "reversed", np.ascontiguousarray(X[::-1, ::-1])[::-1, ::-1], named
    yield "float32", X.astype(np.float32), named
    yield "big-endian", X.astype(">f8"), named
    yield "dicts", [{n: v for n, v in zip(NAMES, row) if v == v} for row in X], {}
    pd = pytest.importorskip("pandas")
    yield "DataFrame", pd.DataFrame(X, columns=NAMES), {}
    sparse = pytest.importorskip("scipy.sparse")
    yield "CSR", sparse.csr_matrix(np.nan_to_num(X, nan=0.0)), named


@pytest.mark.parametrize("name", ["NaiveBayes", "ClassificationPipeline"])
def test_every_input_form_reads_the_same_rows(name):
    entry = BY_NAME[name]
    _steps, _xs, X, y, *_rest = stream(entry)
    X[X == 0.0] = 1e-3  # a CSR matrix cannot hold a present zero apart from an absent one
    X = X.astype(np.float32).astype(np.float64)  # exact in float32 too
    results = {}
    for form, data, kw in forms(X):
        model = entry.make()
        results[form] = (model.test_then_train_many(data, y, **kw).tolist(), pickle.dumps(model))
    reference = results.pop("C")
    assert all(r == reference for r in results.values()), [f for f, r in results.items() if r != reference]


def test_transform_many_answers_in_the_form_it_was_given():
    pd = pytest.importorskip("pandas")
    X = np.array([[1.0, 2.0], [3.0, np.nan]])
    scaler = q.StandardScaler()
    scaler.learn_many(X, feature_names=["a", "b"])
    array, names = scaler.transform_many(X, feature_names=["a", "b"], return_names=True)
    assert names == ["a", "b"] and np.isnan(array[1, 1]) and array[0, 0] == -1.0
    frame = scaler.transform_many(pd.DataFrame(X, columns=["a", "b"], index=[7, 9]))
    assert list(frame.columns) == ["a", "b"] and list(frame.index) == [7, 9]
    assert scaler.transform_many([{"a": 3.0}]) == [{"a": 1.0}]


@pytest.mark.parametrize("entry", [e for e in present_entries() if e.kind.endswith("transformer")], ids=lambda e: e.id)
def test_transformed_tables_lay_out_the_transformed_samples(entry):
    """Rows that keep one layout go straight into the result; from the first row that changes it
    (a missing cell, a dropped feature), the table is laid out by names."""
    _steps, xs, X, _y, _y2, t, _t2 = stream(entry)
    model = seeded(entry)
    for x, target in zip(xs, t.tolist()):
        model.learn_one(x, target) if entry.kind.startswith("supervised") else model.learn_one(x)
    full = np.nan_to_num(X, nan=0.5)
    for data in (full, np.vstack([full[:5], X]), X):
        got, names = model.transform_many(data, feature_names=NAMES, return_names=True)
        rows = model.transform_many([{n: v for n, v in zip(NAMES, row) if v == v} for row in data])
        assert names == list(dict.fromkeys(n for row in rows for n in row))
        assert bits(got.tolist()) == bits([[row.get(n, float("nan")) for n in names] for row in rows])


BAD = [
    ("1-D X", lambda X, y: (X[:, 0], y), ValueError),
    ("3-D X", lambda X, y: (X[None], y), ValueError),
    ("short y", lambda X, y: (X, y[:-1]), ValueError),
    ("float labels", lambda X, y: (X, y.astype(float)), TypeError),
    ("label out of range", lambda X, y: (X, np.r_[y[:-1], 2**31]), ValueError),
    ("float label in a list", lambda X, y: (X, y.tolist()[:-1] + [1.0]), TypeError),
    ("complex X", lambda X, y: (X.astype(complex), y), TypeError),
    ("object X", lambda X, y: (X.astype(object), y), TypeError),
    ("a str", lambda X, y: ("abc", y), TypeError),
    ("a dict", lambda X, y: ({"a": 1.0}, y), TypeError),
    ("last row bad", lambda X, y: ([{"a": 1.0}] * (len(y) - 1) + [{"a": "x"}], y), TypeError),
]


@pytest.mark.parametrize("case", BAD, ids=lambda c: c[0])
def test_refused_batches_change_nothing(case):
    _label, make_args, error = case
    model = q.HoeffdingTreeClassifier(grace_period=5)
    X = np.random.default_rng(0).normal(size=(40, 3))
    y = (X[:, 0] > 0).astype(np.int64)
    model.learn_many(X[:20], y[:20])
    before = pickle.dumps(model)
    with pytest.raises(error):
        model.learn_many(*make_args(X, y))
    assert pickle.dumps(model) == before


def test_refused_names_and_tables():
    pd = pytest.importorskip("pandas")
    sparse = pytest.importorskip("scipy.sparse")
    model, X, y = q.NaiveBayes(), np.zeros((2, 2)), [0, 1]
    bad = [
        (lambda: model.learn_many(X, y, feature_names=["a", "a"]), ValueError, "repeats"),
        (lambda: model.learn_many(X, y, feature_names=["a", 1]), TypeError, "feature_names[1]"),
        (lambda: model.learn_many(X, y, feature_names=["a"]), ValueError, "2 columns"),
        (lambda: model.learn_many(pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]}), y), TypeError, "'b'"),
        (lambda: model.learn_many(pd.DataFrame({0: [1.0, 2.0]}), y), TypeError, "column label"),
        (lambda: model.learn_many(sparse.csr_matrix(X).tocoo(), y), TypeError, "CSR"),
        (lambda: model.learn_many([{"a": 1.0}, {"a": 2.0}], y, feature_names=["a"]), ValueError, "feature_names"),
    ]
    broken = sparse.csr_matrix(np.eye(2))
    broken.indices[1] = 5
    bad.append((lambda: model.learn_many(broken, y), ValueError, "out of range"))
    for call, error, fragment in bad:
        with pytest.raises(error, match=None) as info:
            call()
        assert fragment in str(info.value)
    assert pickle.dumps(model) == pickle.dumps(q.NaiveBayes())


def test_a_csr_matrix_far_wider_than_its_entries_reads_without_a_slot_per_column():
    sparse = pytest.importorskip("scipy.sparse")
    width = 2**40  # a name or a slot per column would not fit in memory
    X = sparse.csr_matrix((np.array([1.5, -2.0, 3.0]), np.array([5, width - 1, 5]), np.array([0, 2, 3])),
                          shape=(2, width))
    batch, loop = q.NaiveBayes(), q.NaiveBayes()
    batch.learn_many(X, [1, 0])
    loop.learn_one({"5": 1.5, str(width - 1): -2.0}, 1)
    loop.learn_one({"5": 3.0}, 0)
    assert pickle.dumps(batch) == pickle.dumps(loop)
    repeated = sparse.csr_matrix((np.array([1.0, 2.0]), np.array([7, 7]), np.array([0, 2])), shape=(1, width))
    with pytest.raises(ValueError, match="repeats column 7"):
        batch.learn_many(repeated, [1])


def test_threads_each_with_its_own_model_match_one_thread():
    _steps, _xs, X, y, *_rest = stream(BY_NAME["HoeffdingTreeClassifier"])
    models = [q.HoeffdingTreeClassifier(grace_period=20) for _ in range(2)]
    threads = [threading.Thread(target=m.learn_many, args=(X, y)) for m in models]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    alone = q.HoeffdingTreeClassifier(grace_period=20)
    alone.learn_many(X, y)
    assert pickle.dumps(models[0]) == pickle.dumps(models[1]) == pickle.dumps(alone)


def test_one_object_from_two_threads_is_never_corrupted():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(20000, 8))
    y = (X[:, 0] > 0).astype(np.int64)
    scaler = q.StandardScaler()
    model = q.ClassificationPipeline([scaler], q.ARFClassifier(n_models=3, seed=2))
    completed, refused = [], []

    def batch():
        try:
            model.learn_many(X, y)
            completed.append("batch")
        except RuntimeError:
            refused.append("batch")

    def singles():
        for i in range(2000):
            for call in (lambda: model.learn_one({"f": 1.0}, 1), lambda: scaler.learn_one({"f": 1.0}),
                         lambda: setattr(scaler, "with_std", True), lambda: pickle.dumps(scaler)):
                try:
                    call()
                except RuntimeError as error:
                    assert "another thread" in str(error)
                    refused.append(i)

    threads = [threading.Thread(target=batch), threading.Thread(target=batch), threading.Thread(target=singles)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(completed) >= 1 and len(completed) + refused.count("batch") == 2
    # Still one consistent object: it pickles, restores and keeps learning.
    restored = pickle.loads(pickle.dumps(model))
    restored.learn_many(X[:100], y[:100])


@pytest.mark.parametrize("stream, models, metrics", [
    ("electricity", lambda: [q.NaiveBayes(), q.HoeffdingTreeClassifier()], ["Accuracy", "WindowMetric(300)"]),
    ("electricity_regression", lambda: [q.LinearRegression()], ["MAE", "R2"]),
    ("sea", lambda: [q.NaiveBayes()], None),
])
def test_prequential_batches_give_the_one_sample_curves(monkeypatch, stream, models, metrics):
    import quelb
    import quelb.evaluate as evaluate
    data = {"electricity": quelb.datasets.electricity(),
            "electricity_regression": quelb.datasets.electricity(target="feat_2"),
            "sea": quelb.synth.SEA(drifts=[1500], n_samples=4000)}[stream]
    batched = quelb.prequential(models(), data, metrics, limit=4000, every=333, progress=False)
    monkeypatch.setattr(evaluate, "_can_batch", lambda *args: False)
    single = quelb.prequential(models(), data, metrics, limit=4000, every=333, progress=False)
    assert batched.steps == single.steps and bits(batched.curves) == bits(single.curves)
