"""Pickling trees and tree ensembles: what the checks common to every class do not reach.

The trees of an ensemble share one index of feature names, so a restored ensemble must share
its restored index too: features and classes first met after restoring must reach every tree
alike. Options changed after construction, some of which wait for the next reset, must survive.
"""
import copy
import gzip
import os
import pickle
import random

import pytest

import _quelb_core as q
from catalog import bits
from test_determinism import drifting_stream

CLASSIFIERS = {
    "HoeffdingTreeClassifier": {"grace_period": 20},
    "EFDTClassifier": {"grace_period": 20},
    "HoeffdingAdaptiveTreeClassifier": {"grace_period": 20},
    "SGTClassifier": {"grace_period": 20},
    "ARFClassifier": {"n_models": 4, "grace_period": 20, "seed": 5},
    "SRPClassifier": {"n_models": 4, "grace_period": 20, "seed": 5},
    "LeveragingBaggingClassifier": {"n_models": 4, "grace_period": 20, "seed": 5},
    "SGBTClassifier": {"n_models": 4, "grace_period": 20, "seed": 5},
}
REGRESSORS = {
    "HoeffdingTreeRegressor": {"grace_period": 20},
    "FIMTDDRegressor": {"grace_period": 20, "seed": 5},
    "ARFRegressor": {"n_models": 4, "grace_period": 20, "seed": 5},
    "SRPRegressor": {"n_models": 4, "grace_period": 20, "seed": 5},
    "LeveragingBaggingRegressor": {"n_models": 4, "grace_period": 20, "seed": 5},
    "SGBRRegressor": {"n_models": 4, "bag_size": 2, "grace_period": 20, "seed": 5},
}


def stream(seed, length, names, labels):
    """A concept over `names` that changes halfway, with noise."""
    rng = random.Random(seed)
    weights = [[rng.gauss(0.0, 1.0) for _ in names] for _ in range(2)]
    for i in range(length):
        x = {name: rng.gauss(0.0, 1.0) for name in names if rng.random() > 0.05}
        w = weights[2 * i // length]
        score = sum(wi * x.get(name, 0.0) for wi, name in zip(w, names))
        y = labels[min(int((score + 1.5) / 3.0 * len(labels)), len(labels) - 1)] if score > -1.5 else labels[0]
        yield x, y, 2.0 * score + rng.gauss(0.0, 0.1)


def answers(model, x, classifier):
    if classifier:
        return bits((model.predict_one(x), model.predict_proba_one(x)))
    return bits(model.predict_one(x))


def run_side_by_side(models, data, classifier):
    for i, (x, y, t) in enumerate(data):
        seen = [answers(m, x, classifier) for m in models]
        assert all(s == seen[0] for s in seen), f"step {i}"
        for m in models:
            m.learn_one(x, y if classifier else t)


@pytest.mark.parametrize("name,options", [*CLASSIFIERS.items(), *REGRESSORS.items()])
def test_restored_model_meets_new_features_and_classes_like_the_original(name, options):
    classifier = name in CLASSIFIERS
    model = getattr(q, name)(**options)
    for x, y, t in stream(1, 1200, ["a", "b", "c", "d"], [0, 1]):
        model.learn_one(x, y if classifier else t)
    state = pickle.dumps(model)
    restored, duplicate = pickle.loads(state), copy.deepcopy(model)
    assert pickle.dumps(restored) == state
    # New names and a new class after restoring: each restored tree must see them exactly as the
    # original's trees do, through one shared index.
    later = list(stream(2, 1200, ["e", "b", "a", "f", "c"], [0, 1, 7]))
    run_side_by_side([model, restored, duplicate], later, classifier)
    assert pickle.dumps(restored) == pickle.dumps(model) == pickle.dumps(duplicate)


def test_options_set_after_construction_survive_including_those_read_at_reset():
    tree = q.HoeffdingTreeClassifier(grace_period=20)
    tree.leaf_prediction, tree.n_split_points, tree.no_pre_prune = "mc", 3, True
    forest = q.ARFClassifier(n_models=2, grace_period=20, seed=1)
    forest.n_models, forest.seed = 5, 9  # both wait for the next reset
    model_tree = q.FIMTDDRegressor(grace_period=20)
    model_tree.leaf_prediction = "perceptron"
    data = list(stream(3, 600, ["a", "b", "c"], [0, 1]))
    for x, y, t in data[:300]:
        tree.learn_one(x, y)
        forest.learn_one(x, y)
        model_tree.learn_one(x, t)
    copies = [pickle.loads(pickle.dumps(m)) for m in (tree, forest, model_tree)]
    assert (copies[0].leaf_prediction, copies[0].n_split_points, copies[0].no_pre_prune) == ("mc", 3, True)
    assert (copies[1].n_models, copies[1].seed) == (5, 9)
    assert copies[2].leaf_prediction == "perceptron"
    forest.reset()
    copies[1].reset()
    run_side_by_side([tree, copies[0]], data[300:], True)
    run_side_by_side([forest, copies[1]], data[300:], True)
    run_side_by_side([model_tree, copies[2]], data[300:], False)


def test_boosting_classifier_restored_mid_stream_follows_a_change_of_mode():
    model = q.SGBTClassifier(n_models=3, grace_period=20, seed=2)
    data = list(stream(4, 1500, ["a", "b", "c"], [3, 5, 9]))
    for x, y, _ in data[:500]:
        model.learn_one(x, y)
    restored = pickle.loads(pickle.dumps(model))
    run_side_by_side([model, restored], data[500:900], True)
    # Two-class mode discards the one-vs-rest boosters and builds one anew, in both.
    model.n_classes = restored.n_classes = 2
    run_side_by_side([model, restored], data[900:], True)
    assert pickle.dumps(model) == pickle.dumps(restored)


def test_restored_states_that_do_not_fit_are_refused():
    model = q.HoeffdingAdaptiveTreeClassifier(grace_period=20)
    for x, y, _ in stream(6, 300, ["a", "b"], [0, 1]):
        model.learn_one(x, y)
    state = model.__getstate__()
    with pytest.raises(ValueError, match="HoeffdingAdaptiveTreeClassifier"):
        q.HoeffdingTreeClassifier.__new__(q.HoeffdingTreeClassifier).__setstate__(state)
    # EFDT shares the tree's code, not its name: one cannot pose as the other.
    efdt = q.EFDTClassifier(grace_period=20)
    with pytest.raises(ValueError, match="cannot restore"):
        q.HoeffdingTreeClassifier.__new__(q.HoeffdingTreeClassifier).__setstate__(efdt.__getstate__())
    assert type(pickle.loads(pickle.dumps(efdt))) is q.EFDTClassifier


def test_states_saved_before_the_split_criterion_load_as_mean_split_models():
    """States of format version 1 (saved by the build before split_criterion existed, from the
    steps of drifting_stream(1, 120) with targets scaled by 0.01) restore into exactly the
    models this build trains from the same steps."""
    with gzip.open(os.path.join(os.path.dirname(__file__), "data", "format_v1_states.pickle.gz")) as f:
        saved = pickle.load(f)
    options = {"HoeffdingTreeRegressor": {"grace_period": 20},
               "ARFRegressor": {"n_models": 2, "grace_period": 20, "seed": 5},
               "SRPRegressor": {"n_models": 2, "grace_period": 20, "seed": 5}}
    steps = [(x, t * 0.01) for seed, n in ((1, 120), (2, 300)) for x, _, _, t, _ in drifting_stream(seed, n)]
    assert set(saved) == set(options)
    for name, state in saved.items():
        assert state[4] == 1  # the envelope's format version
        cls = getattr(q, name)
        restored = cls.__new__(cls)
        restored.__setstate__(state)
        assert restored.split_criterion == "mean_split"
        trained = cls(**options[name])
        for x, t in steps[:120]:
            trained.learn_one(x, t)
        assert pickle.dumps(restored) == pickle.dumps(trained), name
        run_side_by_side([trained, restored], [(x, None, t) for x, t in steps[120:]], False)
