"""The Hoeffding tree regressor and the adaptive random forest built on it."""
import ast
import math
import pickle
import random
import statistics

import _quelb_core as q
import pytest
from quelb.expressions import signature_of


def linear_stream(n, seed=0, jump_at=None):
    """Three uniform features, y = 2a - b + noise (times 5 after jump_at), c unused, d sometimes missing."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        x = {"a": rng.random(), "b": rng.random(), "c": rng.random()}
        if i % 5:
            x["d"] = rng.gauss(0.0, 1.0)
        y = 2.0 * x["a"] - x["b"] + rng.gauss(0.0, 0.05)
        if jump_at is not None and i >= jump_at:
            y *= 5.0
        rows.append((x, y))
    return rows


def prequential(model, stream):
    answers = []
    for x, y in stream:
        answers.append(model.predict_one(x))
        model.learn_one(x, y)
    return answers


def mae(answers, stream):
    return sum(abs(p - y) for p, (_, y) in zip(answers, stream)) / len(stream)


# ---- HoeffdingTreeRegressor --------------------------------------------------------------------

def test_tree_first_answers_and_options():
    tree = q.HoeffdingTreeRegressor()
    assert isinstance(tree, q.IRegressor)
    assert tree.predict_one({"a": 1.0}) == 0.0
    assert (tree.grace_period, tree.split_confidence, tree.tie_threshold, tree.max_depth,
            tree.learning_rate, tree.leaf_prediction) == (200, 1e-07, 0.05, 20, 0.01, "adaptive")
    tree.learn_one({"a": 1.0}, 5.0)
    for mode in ("mean", "linear", "adaptive", "other"):
        tree.leaf_prediction = mode
        assert tree.leaf_prediction == mode
        assert tree.predict_one({"a": -3.0}) == 5.0


def test_tree_rejects_a_grace_period_below_one():
    for bad in (0, -1):
        with pytest.raises(ValueError, match="'grace_period' must be greater than 0."):
            q.HoeffdingTreeRegressor(grace_period=bad)
    tree = q.HoeffdingTreeRegressor(grace_period=3)
    with pytest.raises(ValueError, match="grace_period"):
        tree.grace_period = 0
    assert tree.grace_period == 3
    with pytest.raises(TypeError):
        tree.learn_one(x={"a": 1.0}, y=1.0)


def test_linear_leaf_stays_within_three_deviations_of_the_leaf_mean():
    # One leaf: its target statistics are those of the whole stream.
    tree = q.HoeffdingTreeRegressor(grace_period=10, max_depth=0, learning_rate=0.5)
    tree.leaf_prediction = "linear"
    stream = linear_stream(300, seed=1)
    ys = []
    for x, y in stream:
        tree.learn_one(x, y)
        ys.append(y)
        mean, sd = statistics.fmean(ys), statistics.stdev(ys) if len(ys) > 1 else 0.0
        for probe in ({"a": 1e6, "b": -1e6}, {"a": -1e6, "b": 1e6}, x):
            p = tree.predict_one(probe)
            assert mean - 3 * sd - 1e-9 <= p <= mean + 3 * sd + 1e-9
    assert tree.predict_one({"a": 1e6, "b": -1e6}) == pytest.approx(mean + 3 * sd, rel=1e-9)
    assert tree.predict_one({"a": -1e6, "b": 1e6}) == pytest.approx(mean - 3 * sd, rel=1e-9)


def test_leaf_modes_on_a_linear_target():
    stream = linear_stream(3000, seed=2)
    errors = {}
    for mode in ("mean", "linear", "adaptive"):
        tree = q.HoeffdingTreeRegressor(grace_period=50, max_depth=0, learning_rate=0.05)
        tree.leaf_prediction = mode
        errors[mode] = mae(prequential(tree, stream)[1000:], stream[1000:])
    # The linear model fits what the mean cannot; adaptive leaves pick it up.
    assert errors["linear"] < 0.5 * errors["mean"]
    assert errors["adaptive"] == errors["linear"]


def test_tree_is_deterministic_and_reset_starts_over():
    stream = linear_stream(2000, seed=3)
    first = prequential(q.HoeffdingTreeRegressor(grace_period=50), stream)
    tree = q.HoeffdingTreeRegressor(grace_period=50)
    assert prequential(tree, stream) == first
    tree.max_depth = 3
    tree.reset()
    assert tree.max_depth == 3 and tree.predict_one(stream[0][0]) == 0.0
    tree.max_depth = 20
    assert prequential(tree, stream) == first


@pytest.mark.parametrize("make", [lambda: q.HoeffdingTreeRegressor(grace_period=20),
                                  lambda: q.ARFRegressor(n_models=3, grace_period=20)],
                         ids=["tree", "forest"])
def test_non_finite_values_and_targets_are_not_learnt(make):
    rng = random.Random(0)
    odd = [float("nan"), float("inf"), -float("inf")]
    model, clean = make(), make()
    for x, y in linear_stream(3000, seed=8):
        if rng.random() < 0.1:
            model.learn_one(x, rng.choice(odd))  # not learnt: clean never sees it
        if rng.random() < 0.1:
            x = {**x, "b": rng.choice(odd)}  # learnt without b
        model.learn_one(x, y)
        clean.learn_one(x, y)
    modes = ("mean", "linear", "adaptive") if hasattr(model, "leaf_prediction") else ("adaptive",)
    for mode in modes:
        if hasattr(model, "leaf_prediction"):
            model.leaf_prediction = clean.leaf_prediction = mode
        for b in odd + [0.5]:
            p = model.predict_one({"a": 0.9, "b": b, "c": 0.1})
            assert math.isfinite(p)
        assert model.predict_one({"a": 0.9, "b": 0.2}) == clean.predict_one({"a": 0.9, "b": 0.2})


# ---- ARFRegressor ------------------------------------------------------------------------------

def test_forest_before_learning_and_with_no_weight():
    forest = q.ARFRegressor()
    assert isinstance(forest, q.IRegressor)
    assert forest.predict_one({"a": 1.0}) == 0.0
    idle = q.ARFRegressor(lambda_value=0.0, n_models=0)
    for x, y in linear_stream(300):
        idle.learn_one(x, y)
    assert idle.predict_one({"a": 0.5}) == 0.0


def test_forest_learns_and_adapts_to_a_jump():
    stream = linear_stream(8000, seed=4, jump_at=4000)
    forest = q.ARFRegressor(n_models=5, grace_period=50)
    answers = prequential(forest, stream)
    spread_before = statistics.pstdev(y for _, y in stream[:4000])
    spread_after = statistics.pstdev(y for _, y in stream[4000:])
    assert mae(answers[3000:4000], stream[3000:4000]) < 0.5 * spread_before
    assert mae(answers[7000:], stream[7000:]) < 0.5 * spread_after


def test_forest_is_deterministic_and_options_take_effect_at_reset():
    stream = linear_stream(1500, seed=5, jump_at=700)
    first = prequential(q.ARFRegressor(n_models=4, seed=7, grace_period=50), stream)
    forest = q.ARFRegressor(n_models=4, seed=7, grace_period=50)
    assert prequential(forest, stream) == first
    forest.reset()
    assert forest.predict_one(stream[0][0]) == 0.0
    assert prequential(forest, stream) == first
    forest.n_models, forest.seed = 2, 9
    assert (forest.n_models, forest.seed) == (2, 9)
    forest.reset()
    second = prequential(forest, stream)
    assert second != first
    assert second == prequential(q.ARFRegressor(n_models=2, seed=9, grace_period=50), stream)


def test_forest_constructor_and_checks():
    forest = q.ARFRegressor(n_models=2, seed=-3, lambda_value=1.0, drift_delta=0.01, warning_delta=0.1,
                            grace_period=10, max_depth=3, learning_rate=0.1)
    assert (forest.n_models, forest.seed) == (2, -3)
    for x, y in linear_stream(300):
        forest.learn_one(x, y)
    forest.learn_one({}, 1.0)
    assert isinstance(forest.predict_one({}), float)
    with pytest.raises(ValueError, match="grace_period"):
        q.ARFRegressor(grace_period=0)
    with pytest.raises(ValueError, match="lambda_value"):
        q.ARFRegressor(lambda_value=float("inf"))


# ---- split_criterion ---------------------------------------------------------------------------

REGRESSION_TREES = ["HoeffdingTreeRegressor", "ARFRegressor", "SRPRegressor"]


def step_stream(n, seed=0):
    """The target steps at c = 0.3; a and b do not matter."""
    rng = random.Random(seed)
    rows = [{"a": rng.random(), "b": 10.0 * rng.random(), "c": rng.random()} for _ in range(n)]
    return [(x, (5.0 if x["c"] > 0.3 else 0.0) + rng.gauss(0.0, 0.3)) for x in rows]


@pytest.mark.parametrize("name", REGRESSION_TREES)
def test_split_criterion_option(name):
    cls = getattr(q, name)
    assert cls().split_criterion == "mean_split"
    model = cls(split_criterion="variance_reduction")
    prequential(model, step_stream(300))
    assert pickle.loads(pickle.dumps(model)).split_criterion == "variance_reduction"
    for bad in ("Variance_Reduction", "", "mean"):
        with pytest.raises(ValueError, match="'split_criterion'"):
            cls(split_criterion=bad)
        with pytest.raises(ValueError, match="'split_criterion'"):
            model.split_criterion = bad
        assert model.split_criterion == "variance_reduction"
    # Keyword only: the other options' defaults are taken by position, one more is refused.
    params = [n for n, _, _ in signature_of(cls)]
    positional = signature_of(cls)[:params.index("*")] if "*" in params else signature_of(cls)
    defaults = [ast.literal_eval(d) for n, _, d in positional]
    cls(*defaults)
    with pytest.raises(TypeError):
        cls(*defaults, "variance_reduction")


@pytest.mark.parametrize("name", REGRESSION_TREES)
def test_variance_reduction_finds_what_the_target_depends_on(name):
    stream = step_stream(4000)
    errors = {c: mae(prequential(getattr(q, name)(grace_period=50, split_criterion=c), stream)[2000:], stream[2000:])
              for c in ("mean_split", "variance_reduction")}
    # The mean split cuts a at its mean, where the target does not change.
    assert errors["variance_reduction"] < 0.6 * errors["mean_split"]


@pytest.mark.parametrize("name", ["ARFRegressor", "SRPRegressor"])
def test_ensemble_criterion_reaches_the_trees_made_afterwards(name):
    stream = step_stream(1500, seed=3)
    ensemble = getattr(q, name)(n_models=3, grace_period=50)
    ensemble.split_criterion = "variance_reduction"
    ensemble.reset()
    made = getattr(q, name)(n_models=3, grace_period=50, split_criterion="variance_reduction")
    assert prequential(ensemble, stream) == prequential(made, stream)
