import math
import random

import _quelb_core as q
import pytest


def concept_stream(n, seed=0, flip_at=None):
    """Four uniform features; the label is a > 0.5 xor b > 0.7 (flipped after flip_at), 5% noise."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        x = {name: rng.random() for name in "abcd"}
        y = int((x["a"] > 0.5) != (x["b"] > 0.7))
        if flip_at is not None and i >= flip_at:
            y = 1 - y
        if rng.random() < 0.05:
            y = 1 - y
        rows.append((x, y))
    return rows


def prequential(model, stream):
    answers, correct = [], 0
    for x, y in stream:
        proba = model.predict_proba_one(x)
        label = model.predict_one(x)
        answers.append((label, proba))
        correct += label == y
        model.learn_one(x, y)
    return answers, correct / len(stream)


def test_empty_forest():
    forest = q.ARFClassifier()
    assert isinstance(forest, q.IClassifier)
    assert forest.predict_proba_one({"a": 1.0}) == {}
    assert forest.predict_one({"a": 1.0}) == 0


def test_learns_a_simple_concept_and_recovers_from_a_flip():
    stream = concept_stream(6000, seed=1, flip_at=3000)
    forest = q.ARFClassifier()
    answers, _ = prequential(forest, stream)
    hits = [label == y for (label, _), (_, y) in zip(answers, stream)]
    assert sum(hits[1000:3000]) / 2000 > 0.85
    assert sum(hits[5000:]) / 1000 > 0.85  # adapted to the flipped concept
    for _, proba in answers[10:]:
        assert math.isclose(sum(proba.values()), 1.0)


def test_same_seed_same_answers_bit_for_bit():
    stream = concept_stream(1500, seed=2, flip_at=700)
    first, _ = prequential(q.ARFClassifier(seed=5, n_models=4), stream)
    second, _ = prequential(q.ARFClassifier(seed=5, n_models=4), stream)
    assert first == second
    other, _ = prequential(q.ARFClassifier(seed=6, n_models=4), stream)
    assert other != first


def test_options_take_effect_at_reset():
    stream = concept_stream(400, seed=3)
    forest = q.ARFClassifier(n_models=3, seed=1)
    prequential(forest, stream)
    forest.n_models, forest.seed = 2, 9
    assert (forest.n_models, forest.seed) == (2, 9)
    forest.reset()
    assert forest.predict_proba_one(stream[0][0]) == {}
    assert prequential(forest, stream)[0] == prequential(q.ARFClassifier(n_models=2, seed=9), stream)[0]


def test_constructor_arguments_and_checks():
    forest = q.ARFClassifier(n_models=2, seed=-3, lambda_value=1.0, drift_delta=0.01, warning_delta=0.1,
                             grace_period=10, max_depth=3, split_confidence=0.1, subspace_size=2)
    assert (forest.n_models, forest.seed) == (2, -3)
    for x, y in concept_stream(300):
        forest.learn_one(x, y)
    with pytest.raises(ValueError, match="grace_period"):
        q.ARFClassifier(grace_period=0)
    with pytest.raises(ValueError, match="lambda_value"):
        q.ARFClassifier(lambda_value=float("nan"))
    with pytest.raises(TypeError):
        forest.learn_one(x={"a": 1.0}, y=1)


def test_zero_lambda_never_learns():
    forest = q.ARFClassifier(lambda_value=0.0)
    for x, y in concept_stream(200):
        forest.learn_one(x, y)
    assert forest.predict_proba_one({"a": 0.9}) == {}
    assert forest.predict_one({"a": 0.9}) == 0


def test_missing_features_and_empty_samples():
    forest = q.ARFClassifier(n_models=3)
    for x, y in concept_stream(500):
        del x["c"]
        forest.learn_one(x, y)
    forest.learn_one({}, 1)
    proba = forest.predict_proba_one({})
    assert set(proba) == {0, 1} and math.isclose(sum(proba.values()), 1.0)
