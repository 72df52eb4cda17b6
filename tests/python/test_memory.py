"""memory_usage() against the allocator: the estimate explains the heap a learner grows."""
import ctypes
import gc
import pickle

import _quelb_core as q
import pytest

from quelb import synth

from catalog import CONTRACTS, KINDS, present_entries
from test_determinism import drifting_stream


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_reader():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _Mallinfo2

    def in_use():
        gc.collect()
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # small blocks, and large ones mapped on their own

    # Another allocator in front of the C library's (a sanitizer's) leaves its statistics still.
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_void_p]
    before = in_use()
    block = libc.malloc(1 << 20)
    grown = in_use() - before
    libc.free(block)
    return in_use if grown >= 1 << 20 else None


heap_in_use = _heap_reader()
needs_mallinfo2 = pytest.mark.skipif(heap_in_use is None,
                                     reason="no mallinfo2, or it does not see the allocator in use")

STREAM = list(synth.RandomRBF(n_features=12, n_centroids=40, seed=5, n_samples=6000))
# Many names and classes: enough statistics for the heap to show them above its noise.
WIDE = [({f"w{(7 * t + j) % 400}": float(j + t % 5) for j in range(30)}, t % 20) for t in range(3000)]


def _grows_tree(model):
    for x, y in STREAM:
        model.learn_one(x, y)


def _wide(model):
    for x, y in WIDE:
        model.learn_one(x, y)


def _regress(model):
    for x, y in STREAM:
        model.learn_one(x, float(y) + x["x1"])


# Loose split settings grow trees large enough (about a megabyte) for the heap's noise not to matter.
LOOSE = {"grace_period": 10, "split_confidence": 0.5, "tie_threshold": 0.5}

CASES = {
    "tree": (lambda: q.HoeffdingTreeClassifier(**LOOSE, max_depth=30), _grows_tree),
    "forest": (lambda: q.ARFClassifier(n_models=5, seed=1), _grows_tree),
    "neighbours": (lambda: q.KNNClassifier(window_size=2000), _grows_tree),
    "naive_bayes": (lambda: q.NaiveBayes(), _wide),
    "model_tree": (lambda: q.FIMTDDRegressor(grace_period=50), _regress),
    "pipeline": (lambda: q.RegressionPipeline([q.StandardScaler()], q.HoeffdingTreeRegressor(**LOOSE)), _regress),
}


@needs_mallinfo2
@pytest.mark.parametrize("case", sorted(CASES))
def test_the_estimate_explains_the_heap_the_learner_grew(case):
    make, train = CASES[case]
    before = heap_in_use()
    model = make()
    train(model)
    grown = heap_in_use() - before
    assert grown > 0
    assert abs(model.memory_usage() - grown) <= 0.2 * grown, (model.memory_usage(), grown)


def test_a_pipeline_counts_its_parts():
    scaler, tree = q.StandardScaler(), q.HoeffdingTreeClassifier(grace_period=20)
    pipeline = q.ClassificationPipeline([scaler], tree)
    _grows_tree(pipeline)
    assert pipeline.memory_usage() > scaler.memory_usage() + tree.memory_usage()


LEARNERS = present_entries(lambda entry: any(isinstance(entry.cls, type) and issubclass(entry.cls, getattr(q, c))
                                             for c in CONTRACTS))


@pytest.mark.parametrize("entry", LEARNERS, ids=lambda entry: entry.id)
def test_every_learner_measures_itself_and_learning_shows(entry):
    model = entry.make()
    kind = KINDS[entry.kind]
    empty = model.memory_usage()
    assert empty > 0
    for sample in drifting_stream(3, 400):
        kind.feed(model, *sample)
    assert model.memory_usage() > empty


TREES = {
    "classifier": (lambda **options: q.HoeffdingTreeClassifier(**LOOSE, **options), _grows_tree),
    "regressor": (lambda **options: q.HoeffdingTreeRegressor(**LOOSE, **options), _regress),
    "model_tree": (lambda **options: q.FIMTDDRegressor(grace_period=50, split_confidence=0.5, **options), _regress),
    "boosting_tree": (lambda **options: q.SGTClassifier(grace_period=20, max_depth=12, **options), _grows_tree),
}


def _unbounded_bytes(make, train):
    tree = make()
    train(tree)
    return tree.memory_usage()


@pytest.mark.parametrize("kind", sorted(TREES))
def test_a_bounded_tree_stays_near_its_budget_with_some_leaves_inactive(kind):
    make, train = TREES[kind]
    limit = _unbounded_bytes(make, train) // 3
    tree = make(max_bytes=limit)
    assert tree.max_bytes == limit and f"max_bytes={limit}" in repr(tree)
    train(tree)
    assert tree.n_inactive_leaves > 0
    assert 0.8 * limit <= tree.memory_usage() <= 1.1 * limit
    tree.max_bytes = None  # memory frees: every leaf collects again
    train(tree)
    assert tree.n_inactive_leaves == 0


@pytest.mark.parametrize("kind", sorted(TREES))
def test_a_bounded_tree_pickled_mid_stream_continues_bit_for_bit(kind):
    make, train = TREES[kind]
    tree = make(max_bytes=_unbounded_bytes(make, train) // 4)
    half = len(STREAM) // 2
    for x, y in STREAM[:half]:
        tree.learn_one(x, y)
    assert tree.n_inactive_leaves > 0
    restored = pickle.loads(pickle.dumps(tree))
    assert restored.n_inactive_leaves == tree.n_inactive_leaves and restored.max_bytes == tree.max_bytes
    for x, y in STREAM[half:]:
        assert restored.predict_one(x) == tree.predict_one(x)
        tree.learn_one(x, y)
        restored.learn_one(x, y)
    assert pickle.dumps(restored) == pickle.dumps(tree)


@pytest.mark.parametrize("kind", sorted(TREES))
def test_max_bytes_none_is_no_option_and_batches_equal_the_loop(kind):
    make, train = TREES[kind]
    plain, unlimited = make(), make(max_bytes=None)
    train(plain)
    train(unlimited)
    assert pickle.dumps(plain) == pickle.dumps(unlimited) and repr(plain) == repr(unlimited)
    np = pytest.importorskip("numpy")
    names = sorted(STREAM[0][0])
    X = np.array([[x[n] for n in names] for x, _ in STREAM])
    y = np.array([label for _, label in STREAM], dtype=float if isinstance(plain, q.IRegressor) else int)
    looped, batched = make(max_bytes=plain.memory_usage() // 3), make(max_bytes=plain.memory_usage() // 3)
    for row, target in zip(X, y.tolist()):
        looped.learn_one(dict(zip(names, row.tolist())), target)
    batched.learn_many(X, y, feature_names=names)
    assert looped.n_inactive_leaves > 0
    assert pickle.dumps(batched) == pickle.dumps(looped)


def test_a_bounded_model_tree_keeps_count_of_inactive_leaves_its_alternates_take_away():
    # Quick alarms and short-lived alternates: subtrees with inactive leaves are replaced and dropped.
    tree = q.FIMTDDRegressor(grace_period=30, split_confidence=0.5, page_hinckley_threshold=1.0,
                             alternate_tree_t_min=50, alternate_tree_time=300, max_bytes=30000)
    for i, (x, _, _, target, _) in enumerate(drifting_stream(2, 12000)):
        tree.learn_one(x, target)
        if i % 2000 == 1999:
            assert tree.n_inactive_leaves > 0
            restored = pickle.loads(pickle.dumps(tree))
            assert pickle.dumps(restored) == pickle.dumps(tree)


def test_max_bytes_refuses_what_is_no_budget():
    with pytest.raises(ValueError, match="max_bytes"):
        q.HoeffdingTreeClassifier(max_bytes=0)
    with pytest.raises(TypeError):
        q.HoeffdingTreeRegressor(max_bytes=1.5)


LOOSE_BOOSTER = {"grace_period": 20, "split_confidence": 0.5}
# Models that share max_bytes among trees (an ensemble's members, the adaptive tree's tree and
# alternate); the classifiers learn STREAM, the regressors a target drawn from it.
ENSEMBLES = {
    "HoeffdingAdaptiveTreeClassifier": (lambda **o: q.HoeffdingAdaptiveTreeClassifier(**LOOSE, max_depth=30, **o),
                                        _grows_tree),
    "ARFClassifier": (lambda **o: q.ARFClassifier(n_models=3, seed=1, grace_period=10, **o), _grows_tree),
    "ARFRegressor": (lambda **o: q.ARFRegressor(n_models=3, seed=1, grace_period=20, **o), _regress),
    "SRPClassifier": (lambda **o: q.SRPClassifier(n_models=3, seed=1, grace_period=10, **o), _grows_tree),
    "SRPRegressor": (lambda **o: q.SRPRegressor(n_models=3, seed=1, grace_period=20, **o), _regress),
    "LeveragingBaggingClassifier": (lambda **o: q.LeveragingBaggingClassifier(n_models=3, seed=1, grace_period=10,
                                                                               **o), _grows_tree),
    "LeveragingBaggingRegressor": (lambda **o: q.LeveragingBaggingRegressor(n_models=3, seed=1, grace_period=20,
                                                                             **o), _regress),
    "SGBRRegressor": (lambda **o: q.SGBRRegressor(n_models=3, bag_size=2, **LOOSE_BOOSTER, **o), _regress),
    "SGBTClassifier": (lambda **o: q.SGBTClassifier(n_models=3, **LOOSE_BOOSTER, **o), _grows_tree),
}


def _inactive(model):
    if hasattr(model, "n_inactive_leaves"):  # the adaptive tree's tree and alternate, the boosters' trees
        return model.n_inactive_leaves
    return sum(tree.n_inactive_leaves for tree in model.members() if tree is not None)


# The trees grow large enough here (some hundred kB each) for the budget's coarse checks and the
# members' detectors not to matter.
@pytest.mark.parametrize("name", ["ARFClassifier", "HoeffdingAdaptiveTreeClassifier", "LeveragingBaggingRegressor",
                                  "SGBRRegressor", "SGBTClassifier", "SRPClassifier"])
def test_a_bounded_forest_stays_near_its_budget(name):
    make, train = ENSEMBLES[name]
    limit = _unbounded_bytes(make, train) // 3
    model = make(max_bytes=limit)
    assert model.max_bytes == limit and f"max_bytes={limit}" in repr(model)
    assert model.get_params()["max_bytes"] == limit
    train(model)
    assert _inactive(model) > 0
    assert 0.8 * limit <= model.memory_usage() <= 1.1 * limit
    model.max_bytes = None  # shared again: every leaf collects again
    train(model)
    assert _inactive(model) == 0


@pytest.mark.parametrize("name", sorted(ENSEMBLES))
def test_a_bounded_ensemble_pickled_mid_stream_continues_bit_for_bit(name):
    make, train = ENSEMBLES[name]
    model = make(max_bytes=_unbounded_bytes(make, train) // 3)
    train(model)
    assert _inactive(model) > 0
    # Inactive leaves, budget clocks and the members' counters included.
    restored = pickle.loads(pickle.dumps(model))
    assert restored.max_bytes == model.max_bytes and _inactive(restored) == _inactive(model)
    train(model)
    train(restored)
    assert pickle.dumps(restored) == pickle.dumps(model)


@pytest.mark.parametrize("name", ["ARFClassifier", "ARFRegressor", "LeveragingBaggingRegressor", "SGBRRegressor",
                                  "SGBTClassifier"])
def test_a_bounded_ensemble_learns_the_same_bits_on_two_threads(name):
    np = pytest.importorskip("numpy")
    make, train = ENSEMBLES[name]
    limit = _unbounded_bytes(make, train) // 3
    names = sorted(STREAM[0][0])
    X = np.array([[x[n] for n in names] for x, _ in STREAM])
    y = np.array([label for _, label in STREAM], dtype=int)
    if name.endswith("Regressor"):
        y = y + X[:, names.index("x1")]
    one, two = make(), make(n_threads=2)
    third = len(y) // 3
    for model in (one, two):
        model.test_then_train_many(X[:third], y[:third], feature_names=names)
        model.max_bytes = limit  # set between two batches: in force for the second one's first row
        model.test_then_train_many(X[third:], y[third:], feature_names=names)
    assert _inactive(one) > 0
    two.n_threads = 1  # pickled beside the state otherwise
    assert pickle.dumps(two) == pickle.dumps(one)


@pytest.mark.parametrize("make", [q.ARFClassifier, q.SRPRegressor, q.LeveragingBaggingRegressor], ids=str)
def test_the_drift_counters_survive_pickling(make):
    model = make(n_models=3, seed=1, grace_period=20)
    regressor = isinstance(model, q.IRegressor)
    for x, y, _, t, _ in drifting_stream(2, 3000):
        model.learn_one(x, t if regressor else y)
    def counts(m):
        return m.n_warnings, m.n_drifts, m.n_replacements

    assert counts(model)[1] > 0
    assert counts(pickle.loads(pickle.dumps(model))) == counts(model)
