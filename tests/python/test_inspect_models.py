"""Inspection of the linear models, naive Bayes and the ensembles: what they show is what they
answer from."""
import functools
import pickle

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


ENSEMBLES = [(q.ARFClassifier, 1, q.HoeffdingTreeClassifier), (q.SRPClassifier, 1, q.HoeffdingTreeClassifier),
             (q.LeveragingBaggingClassifier, 1, q.HoeffdingTreeClassifier), (q.SGBTClassifier, 1, q.FIMTDDRegressor),
             (q.ARFRegressor, 3, q.HoeffdingTreeRegressor), (q.SRPRegressor, 3, q.HoeffdingTreeRegressor),
             (q.LeveragingBaggingRegressor, 3, q.FIMTDDRegressor), (q.SGBRRegressor, 3, q.FIMTDDRegressor)]


@pytest.mark.parametrize("make,target,tree", ENSEMBLES, ids=lambda v: getattr(v, "__name__", ""))
def test_ensemble_members_are_independent_copies(make, target, tree):
    model = make(n_models=4, seed=3)
    stream = drifting_stream(2, 1500)
    for step in stream:
        model.learn_one(step[0], step[target])
    members = model.members()
    assert all(type(m) is tree for m in members) and len(members) >= model.n_models
    assert model.n_drifts >= model.n_replacements >= 0 and (model.n_drifts > 0 or make is q.SGBRRegressor)
    before = pickle.dumps(model)
    cast = int if tree is q.HoeffdingTreeClassifier else float
    for member in members:
        for step in stream[:300]:
            member.learn_one(dict(step[0], novel=1.0), cast(step[target]))
    assert pickle.dumps(model) == before
    model.reset()
    assert (model.n_warnings, model.n_drifts, model.n_replacements) == (0, 0, 0)


def test_forest_votes_are_the_members_weighted_by_their_accuracy():
    model = q.ARFClassifier(n_models=5, seed=1)
    for x, y, *_ in drifting_stream(2, 1500):
        model.learn_one(x, y)
    members, weights = model.members(), model.member_weights()
    assert model.n_warnings > 0 and len(weights) == 5 and all(0.0 <= w <= 1.0 for w in weights)
    for x, *_ in STREAM[:30]:
        vote = {}
        for member, w in zip(members, weights):
            for c, p in member.predict_proba_one(x).items():
                vote[c] = vote.get(c, 0.0) + w * p
        total = sum(vote.values())
        assert model.predict_proba_one(x) == pytest.approx({c: v / total for c, v in vote.items()}, abs=1e-12)
