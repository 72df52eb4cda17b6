"""Ensembles with n_threads learn on threads in their batch methods, bit for bit as with one.

Over a drifting stream with detectors sensitive enough to replace members mid-batch, every thread
count gives the one-sample loop's predictions, later predictions and sealed learned state. The
option is checked, kept by pickling and copies, and objects keep working after fork().
"""
import copy
import os
import pickle

import numpy as np
import pytest

import _quelb_core as q
from catalog import bits
from test_batch import NAMES, table
from test_determinism import drifting_stream

DRIFTY = {"n_models": 4, "grace_period": 20, "drift_delta": 0.05}
OPTIONS = {
    "ARFClassifier": {**DRIFTY, "warning_delta": 0.2},
    "SRPClassifier": {**DRIFTY, "warning_delta": 0.2},
    "LeveragingBaggingClassifier": DRIFTY,
    "ARFRegressor": {**DRIFTY, "warning_delta": 0.2},
    "SRPRegressor": {**DRIFTY, "warning_delta": 0.2},
    "LeveragingBaggingRegressor": DRIFTY,
    "SGBTClassifier": {"n_models": 3, "grace_period": 20},
    "SGBRRegressor": {"n_models": 3, "bag_size": 2, "grace_period": 20},
}
COUNTS = [1, 2, 3, 8]


def sealed(obj):
    state = obj.__getstate__()
    return state[0] if isinstance(state, tuple) else state


def make(name, n_threads=1):
    return getattr(q, name)(**OPTIONS[name], n_threads=n_threads)


def data(length=900):
    steps = drifting_stream(11, length)
    X = table(steps)
    return X, [s[0] for s in steps], np.array([s[1] for s in steps]), np.array([s[3] for s in steps])


def target(name, y, t):
    return y if "Classifier" in name else t


@pytest.mark.parametrize("name", sorted(OPTIONS))
def test_every_thread_count_gives_the_one_sample_loop(name):
    X, xs, y, t = data()
    z = target(name, y, t)
    learned, tail = 700, slice(700, None)
    loop = make(name)
    expected = []
    for x, v in zip(xs[:learned], z[:learned].tolist()):
        expected.append(loop.predict_one(x))
        loop.learn_one(x, v)
    later = [loop.predict_one(x) for x in xs[learned:]]
    probas = [loop.predict_proba_one(x) for x in xs[learned:]] if hasattr(loop, "predict_proba_one") else None
    for n in COUNTS:
        obj = make(name, n)
        got = []
        # An empty batch, one row (members not all ready), then batches spanning many blocks.
        for a, b in [(0, 0), (0, 1), (1, 300), (300, 400)]:
            got += obj.test_then_train_many(X[a:b], z[a:b], feature_names=NAMES).tolist()
        obj.n_threads = n  # setting the option keeps the object's learning
        obj.learn_many(X[400:learned], z[400:learned], feature_names=NAMES)
        assert bits(got) == bits(expected[:400]), n
        assert bits(obj.predict_many(X[tail], feature_names=NAMES).tolist()) == bits(later), n
        if probas is not None:
            assert bits(obj.predict_proba_many(X[tail], feature_names=NAMES)) == bits(probas), n
        assert sealed(obj) == sealed(loop), n
        assert obj.n_threads == n


def test_drifts_replace_members_in_these_runs():
    """The options above do replace members: without drifts the forests learn otherwise."""
    X, xs, y, t = data()
    calm = q.ARFClassifier(**{**OPTIONS["ARFClassifier"], "drift_delta": 1e-300, "warning_delta": 1e-300})
    drifty = make("ARFClassifier", 2)
    assert bits(calm.test_then_train_many(X, y).tolist()) != bits(drifty.test_then_train_many(X, y).tolist())


@pytest.mark.parametrize("name", sorted(OPTIONS))
def test_option_is_checked_and_kept(name):
    cls = getattr(q, name)
    assert cls().n_threads == 1
    for bad, error in [(1.5, TypeError), ("2", TypeError), (True, TypeError), (None, TypeError),
                       (2**31, TypeError), (-1, ValueError)]:
        with pytest.raises(error, match="'n_threads'"):
            cls(n_threads=bad)
        obj = cls()
        with pytest.raises(error, match="'n_threads'"):
            obj.n_threads = bad
        assert obj.n_threads == 1
    X, _, y, t = data(200)
    obj = make(name, 0)  # one per core
    obj.learn_many(X, target(name, y, t), feature_names=NAMES)
    restored = pickle.loads(pickle.dumps(obj))
    assert restored.n_threads == 0 and sealed(restored) == sealed(obj)
    assert copy.deepcopy(obj).n_threads == 0
    # One thread pickles as before: the sealed bytes alone.
    obj.n_threads = 1
    assert isinstance(obj.__getstate__(), bytes)


@pytest.mark.skipif(bool(os.environ.get("QUELB_UNDER_TSAN")), reason="ThreadSanitizer does not follow fork()")
@pytest.mark.parametrize("name", ["ARFClassifier", "LeveragingBaggingRegressor"])
def test_copies_and_forked_children_learn(name):
    X, _, y, t = data(600)
    z = target(name, y, t)
    obj = make(name, 2)
    obj.learn_many(X[:300], z[:300], feature_names=NAMES)  # the pool exists now
    twin = copy.deepcopy(obj)
    reference = make(name)
    reference.learn_many(X, z, feature_names=NAMES)
    pid = os.fork()
    if pid == 0:  # the child: the parent's workers do not exist here
        try:
            obj.learn_many(X[300:], z[300:], feature_names=NAMES)
            os._exit(0 if sealed(obj) == sealed(reference) else 1)
        except BaseException:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    for learner in (obj, twin):
        learner.learn_many(X[300:], z[300:], feature_names=NAMES)
        assert sealed(learner) == sealed(reference)


def test_refused_batch_changes_nothing():
    X, _, y, _ = data(300)
    obj = make("ARFClassifier", 2)
    obj.learn_many(X[:100], y[:100], feature_names=NAMES)
    before = sealed(obj)
    bad = y[100:].astype(float)
    bad[150] = 0.5
    with pytest.raises(TypeError):
        obj.learn_many(X[100:], bad, feature_names=NAMES)
    with pytest.raises(ValueError):
        obj.test_then_train_many(X[100:], y[100:150], feature_names=NAMES)
    assert sealed(obj) == before


@pytest.mark.parametrize("options", [{"n_models": 5}, {"n_models": 5, "n_classes": 2, "skip_training": 2, "bag_size": 2},
                                     {"n_models": 4, "leaf_prediction": "adaptive", "scale_prediction_by_lr": True}])
def test_boosters_on_threads_follow_classes_that_appear_mid_batch(options):
    """The gradient-boosted classifier's threads pass rows step range to step range; a row with a
    new class (a new booster) runs on the calling thread in between."""
    X, xs, y, _ = data(600)
    y = y + 3 * (np.arange(len(y)) >= 350)  # two more classes from row 350
    loop = q.SGBTClassifier(**options)
    expected = []
    for x, v in zip(xs, y.tolist()):
        expected.append(loop.predict_one(x))
        loop.learn_one(x, v)
    probas = [loop.predict_proba_one(x) for x in xs[:100]]
    for n in (2, 3):
        obj = q.SGBTClassifier(**options, n_threads=n)
        got = []
        for a, b in [(0, 1), (1, 100), (100, 600)]:
            got += obj.test_then_train_many(X[a:b], y[a:b], feature_names=NAMES).tolist()
        assert got == expected, n
        assert bits(obj.predict_proba_many(X[:100], feature_names=NAMES)) == bits(probas), n
        assert sealed(obj) == sealed(loop), n
