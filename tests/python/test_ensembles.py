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


# ---- Every ensemble --------------------------------------------------------------------------

CLASSIFIERS = {
    "SRPClassifier": lambda **kw: q.SRPClassifier(**kw),
    "SRPClassifier(subspaces)": lambda **kw: q.SRPClassifier(training_method="subspaces", **kw),
    "SRPClassifier(resampling)": lambda **kw: q.SRPClassifier(training_method="resampling", **kw),
    "LeveragingBaggingClassifier": lambda **kw: q.LeveragingBaggingClassifier(**kw),
    "SGBTClassifier": lambda **kw: q.SGBTClassifier(**kw),
    "SGBTClassifier(n_classes=2)": lambda **kw: q.SGBTClassifier(n_classes=2, **kw),
}
REGRESSORS = {
    "SRPRegressor": lambda **kw: q.SRPRegressor(**kw),
    # Learning each sample once, trees with the default grace period of 200 improve slowly enough
    # for the detectors to take their falling error for a change, and start over.
    "SRPRegressor(subspaces)": lambda **kw: q.SRPRegressor(training_method="subspaces", grace_period=50, **kw),
    "LeveragingBaggingRegressor": lambda **kw: q.LeveragingBaggingRegressor(**kw),
    "SGBRRegressor": lambda **kw: q.SGBRRegressor(**kw),
}


def signal_stream(n, seed=0, regression=False):
    """Five noisy copies of one uniform signal s, so that any subset of the features carries it.
    The label is s > 0.5 (5% flipped); the regression target 3 s plus a little noise."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        s = rng.random()
        x = {name: s + 0.2 * rng.random() for name in "abcde"}
        if regression:
            rows.append((x, 3.0 * s + 0.05 * rng.random()))
        else:
            y = int(s > 0.5)
            rows.append((x, 1 - y if rng.random() < 0.05 else y))
    return rows


def prequential_regression(model, stream):
    answers, errors = [], []
    for x, y in stream:
        p = model.predict_one(x)
        answers.append(p)
        errors.append(abs(p - y))
        model.learn_one(x, y)
    return answers, errors


@pytest.mark.parametrize("name", CLASSIFIERS)
def test_classifiers_start_empty_and_learn_a_simple_concept(name):
    model = CLASSIFIERS[name]()
    assert isinstance(model, q.IClassifier)
    assert model.predict_proba_one({"a": 1.0}) == {}
    assert model.predict_one({"a": 1.0}) == 0
    stream = signal_stream(3000, seed=1)
    answers, _ = prequential(model, stream)
    hits = [label == y for (label, _), (_, y) in zip(answers, stream)]
    assert sum(hits[1000:]) / 2000 > 0.85
    for _, proba in answers[10:]:
        assert math.isclose(sum(proba.values()), 1.0)


@pytest.mark.parametrize("name", REGRESSORS)
def test_regressors_start_at_zero_and_learn_a_simple_concept(name):
    model = REGRESSORS[name]()
    assert isinstance(model, q.IRegressor)
    assert model.predict_one({"a": 1.0}) == 0.0
    stream = signal_stream(3000, seed=1, regression=True)
    _, errors = prequential_regression(model, stream)
    # Predicting the mean target errs by 0.75 on average.
    assert sum(errors[2000:]) / 1000 < 0.25


@pytest.mark.parametrize("name", [*CLASSIFIERS, *REGRESSORS])
def test_same_seed_same_answers_and_reset_starts_over(name):
    make = CLASSIFIERS.get(name) or REGRESSORS[name]
    run = prequential if name in CLASSIFIERS else prequential_regression
    stream = signal_stream(800, seed=2, regression=name in REGRESSORS)
    first = run(make(seed=5, n_models=3), stream)[0]
    assert run(make(seed=5, n_models=3), stream)[0] == first
    assert run(make(seed=6, n_models=3), stream)[0] != first
    model = make(seed=1, n_models=2)
    run(model, stream)
    model.seed, model.n_models = 5, 3
    assert (model.seed, model.n_models) == (5, 3)
    model.reset()
    assert run(model, stream)[0] == first


def test_leveraging_bagging_options_and_checks():
    model = q.LeveragingBaggingClassifier(n_models=2, seed=3, lambda_value=2.0, drift_delta=0.01, grace_period=20,
                                          max_depth=4, split_confidence=0.1)
    assert (model.n_models, model.seed) == (2, 3)
    with pytest.raises(ValueError, match="grace_period"):
        q.LeveragingBaggingClassifier(grace_period=0)
    with pytest.raises(ValueError, match="lambda_value"):
        q.LeveragingBaggingRegressor(lambda_value=float("inf"))
    regressor = q.LeveragingBaggingRegressor(n_models=2, seed=3, lambda_value=2.0, drift_delta=0.01,
                                             grace_period=20, max_depth=4, split_confidence=0.1,
                                             leaf_prediction="mean")
    with pytest.raises(ValueError, match="^vector too long$"):
        q.LeveragingBaggingRegressor(n_models=-1)
    regressor.n_models = -1
    with pytest.raises(ValueError, match="^vector too long$"):
        regressor.reset()
    empty = q.LeveragingBaggingRegressor(n_models=0)
    empty.learn_one({"a": 1.0}, 3.0)
    assert empty.predict_one({"a": 1.0}) == 0.0


def test_sgbt_single_class_and_two_class_mapping():
    model = q.SGBTClassifier(n_models=10)
    model.learn_one({"a": 0.2}, 3)
    assert model.predict_proba_one({"a": 0.9}) == {3: 1.0}
    assert model.predict_one({"a": 0.9}) == 3

    # Two-class mode: the booster's sigmoid is the probability of the smaller label. Label 9 rules
    # small values of a, label 5 large ones.
    model = q.SGBTClassifier(n_models=10, n_classes=2, grace_period=20)
    rng = random.Random(4)
    for _ in range(600):
        a = rng.random()
        model.learn_one({"a": a, "b": rng.random()}, 5 if a > 0.5 else 9)
    high, low = model.predict_proba_one({"a": 0.9, "b": 0.5}), model.predict_proba_one({"a": 0.1, "b": 0.5})
    assert set(high) == {5, 9} and math.isclose(high[5] + high[9], 1.0)
    assert high[5] > 0.8 and low[9] > 0.8
    # A third, larger label is remembered but never listed nor predicted.
    for _ in range(50):
        model.learn_one({"a": 0.9, "b": 0.5}, 11)
    assert set(model.predict_proba_one({"a": 0.9, "b": 0.5})) == {5, 9}
    assert model.predict_one({"a": 0.9, "b": 0.5}) != 11


def test_sgbt_one_vs_rest_lists_every_class_and_survives_mode_switches():
    model = q.SGBTClassifier(n_models=5)
    stream = [({"a": float(i % 3), "b": 1.0}, i % 3 + 1) for i in range(300)]
    for x, y in stream:
        model.learn_one(x, y)
    proba = model.predict_proba_one({"a": 2.0, "b": 1.0})
    assert set(proba) == {1, 2, 3} and math.isclose(sum(proba.values()), 1.0)
    assert model.predict_one({"a": 2.0, "b": 1.0}) == 3
    # Switching n_classes discards the boosters of the other mode; learning goes on.
    model.n_classes = 2
    assert model.predict_proba_one({"a": 2.0, "b": 1.0}) == {}
    for x, y in stream[:30]:
        model.learn_one(x, y)
    assert set(model.predict_proba_one({"a": 2.0, "b": 1.0})) == {1, 2}
    model.n_classes = 0
    assert model.predict_proba_one({"a": 0.0, "b": 1.0}) == pytest.approx({1: 1 / 3, 2: 1 / 3, 3: 1 / 3})
    for x, y in stream:
        model.learn_one(x, y)
    assert model.predict_one({"a": 0.0, "b": 1.0}) == 1
    model.reset()
    assert model.predict_proba_one({"a": 0.0}) == {} and model.predict_one({"a": 0.0}) == 0


def test_sgb_options():
    model = q.SGBTClassifier(n_models=4, learning_rate=0.1, percentage_of_features=50, multiply_hessian_by=3,
                             skip_training=2, use_squared_loss=True, bag_size=2, n_classes=2,
                             scale_prediction_by_lr=True, grace_period=10, split_confidence=0.1, max_depth=3,
                             leaf_prediction="adaptive", seed=7)
    assert (model.n_models, model.learning_rate, model.n_classes, model.seed) == (4, 0.1, 2, 7)
    for x, y in concept_stream(300):
        model.learn_one(x, y)
    assert set(model.predict_proba_one(x)) == {0, 1}
    regressor = q.SGBRRegressor(n_models=3, learning_rate=0.5, percentage_of_features=50, multiply_hessian_by=2,
                                skip_training=3, bag_size=2, grace_period=10, split_confidence=0.1, max_depth=3,
                                leaf_prediction="perceptron", seed=2)
    assert (regressor.n_models, regressor.learning_rate, regressor.seed) == (3, 0.5, 2)
    for x, y in signal_stream(300, regression=True):
        regressor.learn_one(x, y)
    assert math.isfinite(regressor.predict_one(x))


@pytest.mark.parametrize("make", [lambda: q.SGBTClassifier(n_models=5), lambda: q.SGBRRegressor(n_models=3)])
def test_sgb_first_sample_without_features_trains_steps_on_whole_samples(make):
    model = make()
    model.learn_one({}, 1)
    rng = random.Random(5)
    for _ in range(400):
        a = rng.random()
        model.learn_one({"a": a}, int(a > 0.5))
    assert model.predict_one({"a": 0.9}) > model.predict_one({"a": 0.1})


def test_random_patches_options_and_checks():
    model = q.SRPClassifier(n_models=2, seed=3, lambda_value=2.0, drift_delta=0.01, warning_delta=0.1,
                            grace_period=20, max_depth=4, split_confidence=0.1, subspace_fraction=0.5,
                            training_method="subspaces")
    assert (model.n_models, model.seed) == (2, 3)
    regressor = q.SRPRegressor(n_models=2, seed=3, lambda_value=2.0, drift_delta=0.01, warning_delta=0.1,
                               grace_period=20, max_depth=4, learning_rate=0.1, subspace_fraction=0.5,
                               training_method="resampling")
    assert (regressor.n_models, regressor.seed) == (2, 3)
    for make in (q.SRPClassifier, q.SRPRegressor):
        assert make(n_models=0).predict_one({"a": 1.0}) == 0
        with pytest.raises(ValueError, match="grace_period"):
            make(grace_period=0)
        with pytest.raises(ValueError, match="lambda_value"):
            make(lambda_value=float("nan"))


@pytest.mark.parametrize("make", [q.SRPClassifier, q.SRPRegressor])
def test_random_patches_first_sample_without_features_means_whole_samples(make):
    model = make(n_models=3)
    model.learn_one({}, 1)
    rng = random.Random(5)
    for _ in range(1500):
        a = rng.random()
        model.learn_one({"a": a, "b": rng.random()}, int(a > 0.5))
    assert model.predict_one({"a": 0.9, "b": 0.5}) > 0.5 > model.predict_one({"a": 0.1, "b": 0.5})
