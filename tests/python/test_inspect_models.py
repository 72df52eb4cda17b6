"""Inspection of the linear models, naive Bayes and the ensembles: what they show is what they
answer from."""
import functools

import _quelb_core as q
import pytest

from test_determinism import drifting_stream

STREAM = drifting_stream(11, 600)


def in_order(intercept, weights, x):
    """intercept + Σ weight · value in x's order, rounded as the models sum."""
    return functools.reduce(lambda s, kv: s + weights[kv[0]] * kv[1] if kv[0] in weights else s, x.items(), intercept)


@pytest.mark.parametrize("make", [q.LinearRegression, q.BayesianLinearRegression, q.PassiveAggressiveRegressor])
def test_a_linear_regressor_answers_from_its_weights(make):
    model = make()
    for x, _, _, t, _ in STREAM:
        model.learn_one(x, t)
    assert set(model.weights) == {f"f{j}" for j in range(6)} | {"rare"}
    for x, *_ in STREAM[:50] + [({"f0": 1.0, "unseen": 2.0},)]:
        assert model.predict_one(x) == in_order(model.intercept, model.weights, x)


@pytest.mark.parametrize("make", [q.Perceptron, q.LogisticRegressionClassifier, q.PassiveAggressiveClassifier,
                                  q.SoftmaxRegression])
def test_a_linear_classifier_shows_a_weight_vector_per_class(make):
    model = make()
    for x, y, *_ in STREAM:
        model.learn_one(x, y)
    labels = {y for _, y, *_ in STREAM}
    assert set(model.weights) == set(model.intercept) == labels
    if make is not q.SoftmaxRegression:  # it answers by probability, the others by score
        for x, *_ in STREAM[:50]:
            scores = {c: in_order(0.0, w, x) + model.intercept[c] for c, w in model.weights.items()}
            assert scores[model.predict_one(x)] == max(scores.values())


def test_naive_bayes_counts_the_classes():
    model = q.NaiveBayes()
    assert model.class_counts == {}
    for x, y, *_ in STREAM:
        model.learn_one(x, y)
    expected = {}
    for _, y, *_ in STREAM:
        expected[y] = expected.get(y, 0) + 1
    assert model.class_counts == expected
