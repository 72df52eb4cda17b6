"""Linear classifiers and regressors: first-step values, visiting orders, clipping, options."""
import math
import random

import _quelb_core as q
import pytest

CLASSIFIERS = [q.Perceptron, q.LogisticRegressionClassifier, q.PassiveAggressiveClassifier, q.SoftmaxRegression]
REGRESSORS = [q.LinearRegression, q.BayesianLinearRegression, q.PassiveAggressiveRegressor]


def score_gap(model, x, high, low):
    """score(high) - score(low), read back from the softmax probabilities."""
    proba = model.predict_proba_one(x)
    return math.log(proba[high] / proba[low])


def sigmoid(z):
    return 1.0 / (1.0 + math.exp(-z))


# ---- shared behaviour of the classifiers

@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_new_model_and_single_class(cls):
    model = cls()
    assert model.predict_one({"a": 1.0}) == 0
    assert model.predict_proba_one({"a": 1.0}) == {}
    model.learn_one({"a": 1.0}, 5)
    assert model.predict_one({"a": 1.0}) == 5
    assert model.predict_proba_one({"a": 3.0}) == {5: 1.0}


@pytest.mark.parametrize("make", [
    lambda: q.Perceptron(learning_rate=1000.0),
    lambda: q.LogisticRegressionClassifier(learning_rate=1000.0),
    lambda: q.PassiveAggressiveClassifier(),
    lambda: q.SoftmaxRegression(learning_rate=1000.0),
])
def test_huge_scores_still_give_a_proper_distribution(make):
    # Scores in the thousands: exp() of them unshifted would be inf and the ratio NaN.
    model = make()
    model.learn_one({"a": 1e3}, 1)
    model.learn_one({"a": 1e3}, 2)
    proba = model.predict_proba_one({"a": 1e7})
    assert proba == {1: 0.0, 2: 1.0}
    assert model.predict_one({"a": 1e7}) == 2


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_reset_forgets_classes_and_keeps_options(cls):
    option = "C" if cls is q.PassiveAggressiveClassifier else "learning_rate"
    model = cls(**{option: 0.5})
    model.learn_one({"a": 1.0}, 3)
    model.learn_one({"a": -1.0}, 4)
    model.reset()
    assert model.predict_one({"a": 1.0}) == 0
    assert model.predict_proba_one({"a": 1.0}) == {}
    assert getattr(model, option) == 0.5
    fresh = cls(**{option: 0.5})
    for m in (model, fresh):
        m.learn_one({"b": 1.0}, 1)
        m.learn_one({"b": 2.0}, 2)
    assert model.predict_proba_one({"b": 1.5}) == fresh.predict_proba_one({"b": 1.5})


def test_options_are_keywords_and_properties():
    p = q.Perceptron(0.5)
    p.learning_rate = 0.25
    assert p.learning_rate == 0.25
    lr = q.LogisticRegressionClassifier(learning_rate=0.1, l2=0.2)
    assert (lr.learning_rate, lr.l2) == (0.1, 0.2)
    pa = q.PassiveAggressiveClassifier(C=0.3)
    pa.C = -1.0  # not validated
    assert pa.C == -1.0
    sm = q.SoftmaxRegression(0.1, 0.2)
    sm.l2 = 0.0
    assert (sm.learning_rate, sm.l2) == (0.1, 0.0)
    with pytest.raises(TypeError):
        p.learn_one(x={"a": 1.0}, y=1)


# ---- Perceptron

def test_perceptron_mistake_moves_both_classes_by_the_learning_rate():
    model = q.Perceptron()
    model.learn_one({"a": 1.0}, 1)
    # Class 2 joins with score 0, ties with class 1 and loses: a mistake.
    model.learn_one({"a": 1.0}, 2)
    # weights: a -> +0.01 for 2, -0.01 for 1; biases +-0.01.
    assert score_gap(model, {"a": 1.0}, 2, 1) == pytest.approx(0.04, rel=1e-12)
    assert score_gap(model, {"a": 3.0}, 2, 1) == pytest.approx(0.08, rel=1e-12)
    assert score_gap(model, {}, 2, 1) == pytest.approx(0.02, rel=1e-12)
    # Now correct: nothing changes.
    before = model.predict_proba_one({"a": 2.0})
    model.learn_one({"a": 1.0}, 2)
    assert model.predict_proba_one({"a": 2.0}) == before


def test_perceptron_ties_go_to_the_class_learned_first():
    model = q.Perceptron(learning_rate=0.0)
    model.learn_one({"a": 1.0}, 7)
    model.learn_one({"a": 1.0}, 3)  # a frozen mistake: all scores stay 0
    assert model.predict_one({"a": 1.0}) == 7
    assert model.predict_proba_one({"a": 1.0}) == {7: 0.5, 3: 0.5}


def test_a_feature_without_a_weight_contributes_nothing_even_if_infinite():
    model = q.Perceptron()
    model.learn_one({"a": 1.0}, 1)  # correct at once: "a" never gets a weight
    model.learn_one({"b": 1.0}, 2)  # mistake: b weighted under 1 and 2
    model.learn_one({"c": 1.0}, 3)  # predicted 2: c weighted under 2 and 3
    # scores: 1 -> -0.01, 2 -> 0.0, 3 -> 0.01, whatever the value of "a"
    assert model.predict_one({"a": math.inf}) == 3
    proba = model.predict_proba_one({"a": math.inf, "unseen": math.nan})
    assert proba[3] > proba[2] > proba[1]
    assert sum(proba.values()) == pytest.approx(1.0)


# ---- LogisticRegression

def test_logistic_regression_first_steps():
    model = q.LogisticRegressionClassifier()
    model.learn_one({"a": 1.0}, 1)
    w1 = b1 = 0.01 * 0.5  # z = 0, g = 1 - 0.5
    model.learn_one({"a": 1.0}, 2)
    # Class 1 is visited too and pushed down; class 2 starts from zero weights.
    g1 = 0.0 - sigmoid(w1 * 1.0 + b1)
    w1, b1 = (1.0 * g1 - w1 * 0.0) * 0.01 + w1, 0.01 * g1 + b1
    w2 = b2 = 0.01 * 0.5
    x = {"a": 2.0}
    assert score_gap(model, x, 2, 1) == pytest.approx((w2 * 2.0 + b2) - (w1 * 2.0 + b1), rel=1e-12)
    assert model.predict_one(x) == 2


def test_logistic_regression_ties_go_to_the_smallest_label_and_rate_zero_freezes():
    model = q.LogisticRegressionClassifier()
    model.learning_rate = 0.0
    model.learn_one({"a": 1.0}, 7)
    model.learn_one({"a": 1.0}, 3)
    assert model.predict_one({"a": 1.0}) == 3
    assert model.predict_proba_one({"a": 1.0}) == {3: 0.5, 7: 0.5}


def test_logistic_regression_trains_through_scores_beyond_the_clip():
    model = q.LogisticRegressionClassifier(learning_rate=1000.0)
    model.learn_one({"a": 1.0}, 1)  # weight 500, bias 500: score 1000 for {"a": 1}
    model.learn_one({"a": 1.0}, 1)  # sigma(clip(1000)) rounds to 1: no change
    model.learn_one({"a": 1.0}, 2)
    # class 1: g = -sigma(500) = -1: weight and bias fall by 1000 to -500; class 2 gains 500 each.
    assert score_gap(model, {"a": -0.9}, 2, 1) == pytest.approx((-450.0 + 500.0) - (450.0 - 500.0), rel=1e-12)
    assert model.predict_proba_one({"a": 1.0}) == {1: 0.0, 2: 1.0}


# ---- PassiveAggressiveClassifier

def test_passive_aggressive_single_class_never_moves():
    model = q.PassiveAggressiveClassifier()
    model.learn_one({"a": 1.0}, 1)
    model.learn_one({"a": 5.0}, 1)
    model.learn_one({"b": 1.0}, 2)  # tau = min(1, 1 / (2 * 2)) against an untouched class 1
    assert score_gap(model, {"a": 1.0}, 2, 1) == pytest.approx(0.5, rel=1e-12)
    assert score_gap(model, {"b": 1.0}, 2, 1) == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("C, tau", [(1.0, 0.25), (0.1, 0.1)])
def test_passive_aggressive_step_is_capped_by_C(C, tau):
    model = q.PassiveAggressiveClassifier(C=C)
    model.learn_one({}, 1)
    model.learn_one({"a": 1.0}, 2)
    assert score_gap(model, {"a": 1.0}, 2, 1) == pytest.approx(4 * tau, rel=1e-12)


def test_passive_aggressive_leaves_a_sample_with_margin_one_alone():
    model = q.PassiveAggressiveClassifier()
    model.learn_one({}, 1)
    model.learn_one({"a": 1.0}, 2)  # margin now exactly 1 on this sample
    before = model.predict_proba_one({"a": 2.0})
    model.learn_one({"a": 1.0}, 2)
    assert model.predict_proba_one({"a": 2.0}) == before


def test_passive_aggressive_empty_sample_moves_the_biases():
    model = q.PassiveAggressiveClassifier()
    model.learn_one({}, 1)
    model.learn_one({}, 2)  # loss 1, tau = min(1, 1 / 2)
    assert score_gap(model, {"zzz": 4.0}, 2, 1) == pytest.approx(1.0, rel=1e-12)


def test_passive_aggressive_rival_ties_go_to_the_smaller_label():
    model = q.PassiveAggressiveClassifier()
    for label in (5, 2, 9):
        model.learn_one({}, label)  # 5 alone; then 2 vs 5; then 9 vs the leader
    # After (., 2): bias 2 = +0.5, bias 5 = -0.5. Then 9's rival is 2 (score 0.5): loss 1.5,
    # tau = 0.75: bias 9 = 0.75, bias 2 = -0.25; 5 untouched.
    proba = model.predict_proba_one({})
    assert math.log(proba[9] / proba[2]) == pytest.approx(1.0, rel=1e-12)
    assert math.log(proba[2] / proba[5]) == pytest.approx(0.25, rel=1e-12)
    tie = q.PassiveAggressiveClassifier(C=0.0)  # frozen while the classes join
    for label in (5, 2):
        tie.learn_one({"a": 1.0}, label)
    assert tie.predict_one({"a": 1.0}) == 2
    tie.C = 1.0
    tie.learn_one({}, 9)  # rivals 2 and 5 tie at 0: 2 is pushed down
    proba = tie.predict_proba_one({})
    assert math.log(proba[5] / proba[2]) == pytest.approx(0.5, rel=1e-12)
    assert math.log(proba[9] / proba[5]) == pytest.approx(0.5, rel=1e-12)


# ---- SoftmaxRegression

def test_softmax_first_steps_and_new_class_joins_with_score_zero():
    model = q.SoftmaxRegression()
    model.learn_one({"a": 1.0}, 1)  # P = {1: 1}: gradient 0
    assert model.predict_proba_one({"a": 1.0}) == {1: 1.0}
    model.learn_one({"a": 1.0}, 2)  # P = {1: .5, 2: .5}: weights and biases move by 0.005
    assert score_gap(model, {"a": 1.0}, 2, 1) == pytest.approx(0.02, rel=1e-12)
    assert score_gap(model, {"a": 3.0}, 2, 1) == pytest.approx(0.04, rel=1e-12)


def reference_run(stream, rate, l2, one_vs_rest):
    """The update rules written out: returns the softmax of the raw scores of the final model."""
    w, b, classes = {}, {}, []

    def scores(x):
        return {c: sum(w[c][k] * v for k, v in x.items() if k in w[c]) + b[c] for c in classes}

    def probabilities(x):
        z = scores(x)
        top = max(z.values())
        e = {c: math.exp(z[c] - top) for c in classes}
        return {c: e[c] / sum(e.values()) for c in classes}

    for x, y in stream:
        if y not in classes:
            classes.append(y)
            classes.sort()
            w[y], b[y] = {}, 0.0
        if one_vs_rest:  # each class on its own scores, clipped, through a sigmoid
            p = {c: sigmoid(max(min(z, 500.0), -500.0)) for c, z in scores(x).items()}
        else:
            p = probabilities(x)
        for c in classes:
            g = (1.0 if c == y else 0.0) - p[c]
            for k, v in x.items():
                old = w[c].get(k, 0.0)
                w[c][k] = (v * g - old * l2) * rate + old
            b[c] = rate * g + b[c]
    return probabilities


@pytest.mark.parametrize("cls, one_vs_rest", [(q.SoftmaxRegression, False), (q.LogisticRegressionClassifier, True)])
def test_updates_match_the_rules_over_a_stream(cls, one_vs_rest):
    # Several classes met out of order, features missing from most samples, decay on.
    rng = random.Random(3)
    stream = [({f"f{rng.randrange(6)}": rng.gauss(0, 2) for _ in range(3)}, rng.choice([4, 1, 7]))
              for _ in range(200)]
    model = cls(learning_rate=0.05, l2=0.01)
    for x, y in stream:
        model.learn_one(x, y)
    reference = reference_run(stream, 0.05, 0.01, one_vs_rest)
    for x, _ in stream[:20]:
        assert model.predict_proba_one(x) == pytest.approx(reference(x), rel=1e-12)


def test_softmax_predicts_the_arg_max_with_ties_to_the_smaller_label():
    model = q.SoftmaxRegression(learning_rate=0.0)
    model.learn_one({"a": 1.0}, 8)
    model.learn_one({"a": 1.0}, 6)
    assert model.predict_one({"a": 1.0}) == 6


# ---- regressors

@pytest.mark.parametrize("cls", REGRESSORS)
def test_new_regressor_predicts_zero(cls):
    model = cls()
    assert model.predict_one({"a": 3.0}) == 0.0
    assert isinstance(model, q.IRegressor)


def test_linear_regression_first_step():
    model = q.LinearRegression()
    model.learn_one({"a": 1.0}, 1.0)
    assert model.predict_one({}) == 0.01
    assert model.predict_one({"a": 1.0}) == 0.01 + 0.01
    assert model.predict_one({"a": 2.0, "new": 9.0}) == 0.01 + 0.01 * 2.0


def test_linear_regression_clips_the_error_and_each_gradient():
    model = q.LinearRegression()
    model.learn_one({"a": 5.0, "b": 0.5}, 1000.0)  # e = 10; a: clip(50) = 10; b: 5
    assert model.predict_one({}) == pytest.approx(0.1)
    assert model.predict_one({"a": 1.0}) == pytest.approx(0.1 + 0.1)
    assert model.predict_one({"b": 1.0}) == pytest.approx(0.1 + 0.05)
    negative = q.LinearRegression()
    negative.learn_one({"a": 1.0}, -1000.0)
    assert negative.predict_one({"a": 1.0}) == pytest.approx(-0.2)


def test_linear_regression_decay_touches_only_the_sample_features():
    model = q.LinearRegression(learning_rate=0.1, l2=0.5)
    model.learn_one({"a": 1.0}, 1.0)  # w_a = 0.1, intercept 0.1
    model.learn_one({"b": 1.0}, 1.0)  # e = 0.9: w_b = 0.09, intercept 0.19; w_a kept
    assert model.predict_one({"a": 1.0}) == pytest.approx(0.19 + 0.1, rel=1e-12)
    model.learn_one({"a": 1.0}, 0.29)  # e = 0: only decay, w_a = 0.1 - 0.1 * 0.5 * 0.1
    assert model.predict_one({"a": 1.0}) == pytest.approx(0.19 + 0.095, rel=1e-12)


def test_bayesian_linear_regression_first_steps():
    model = q.BayesianLinearRegression()
    model.learn_one({"a": 1.0}, 1.0)  # intercept mean 1, mean_a 0.5, precision_a 2
    assert model.predict_one({}) == 1.0
    assert model.predict_one({"a": 1.0}) == 1.5
    model.learn_one({"a": 1.0}, 3.5)  # e = 2: intercept precision 2 -> mean 2; step 2/3
    assert model.predict_one({}) == 2.0
    assert model.predict_one({"a": 1.0}) == pytest.approx(2.0 + 0.5 + 2.0 / 3.0, rel=1e-12)
    model.learn_one({"a": 1.0}, 2.0 + 0.5 + 2.0 / 3.0 + 1.0)  # e = 1; precision_a 3: step 1/4
    assert model.predict_one({"a": 0.0}) == pytest.approx(2.0 + 1.0 / 3.0, rel=1e-12)
    assert model.predict_one({"a": 1.0}) == pytest.approx(2.0 + 1.0 / 3.0 + 0.5 + 2.0 / 3.0 + 0.25, rel=1e-12)


def test_bayesian_unseen_feature_starts_at_the_prior_precision_and_clips():
    model = q.BayesianLinearRegression(alpha=2.0, beta=1.0)
    model.learn_one({"a": 1.0}, 1.0)
    assert model.predict_one({"a": 1.0}) == pytest.approx(1.0 + 1.0 / 3.0, rel=1e-12)
    big = q.BayesianLinearRegression(alpha=1e-6)
    big.learn_one({"a": 1e-3}, 100.0)  # e clipped to 10; step 10e-3 / (1e-6 + 1e-6) clipped
    assert big.predict_one({}) == 10.0
    assert big.predict_one({"a": 1.0}) == 20.0


def test_empty_sample_updates_the_intercepts():
    bayes = q.BayesianLinearRegression()
    bayes.learn_one({}, 1.0)
    bayes.learn_one({}, 3.0)  # intercept precision 2: moves by half of e = 2
    assert bayes.predict_one({}) == 2.0
    linear = q.LinearRegression()
    linear.learn_one({}, 2.0)
    assert linear.predict_one({"a": 1.0}) == 0.02
    pa = q.PassiveAggressiveRegressor()
    pa.learn_one({}, 2.0)  # loss 1.9, tau = min(1.9 / 1, 1)
    assert pa.predict_one({}) == 1.0


def test_passive_aggressive_regressor_steps():
    model = q.PassiveAggressiveRegressor()
    model.learn_one({"a": 1.0}, 1.0)  # loss 0.9, tau = 0.45
    assert model.predict_one({}) == 0.45
    assert model.predict_one({"a": 1.0}) == 0.9
    model.learn_one({"a": 1.0}, 0.95)  # within epsilon: ignored
    assert model.predict_one({"a": 1.0}) == 0.9
    down = q.PassiveAggressiveRegressor(C=0.1)
    down.learn_one({"a": 2.0}, -5.0)  # capped step, downwards
    assert down.predict_one({}) == -0.1
    assert down.predict_one({"a": 1.0}) == pytest.approx(-0.3)


@pytest.mark.parametrize("cls, options", [
    (q.LinearRegression, {"learning_rate": 0.1, "l2": 0.01}),
    (q.BayesianLinearRegression, {"alpha": 2.0, "beta": 0.5}),
    (q.PassiveAggressiveRegressor, {"C": 0.2, "epsilon": 0.0}),
])
def test_regressor_reset_keeps_options_and_behaves_like_new(cls, options):
    model = cls(**options)
    for k, v in options.items():
        assert getattr(model, k) == v
    model.learn_one({"a": 1.0, "b": -2.0}, 3.0)
    model.reset()
    assert model.predict_one({"a": 1.0, "b": -2.0}) == 0.0
    fresh = cls(**options)
    for m in (model, fresh):
        m.learn_one({"b": 1.0}, 2.0)
        m.learn_one({"c": 0.5}, -1.0)
    assert model.predict_one({"b": 1.0, "c": 1.0}) == fresh.predict_one({"b": 1.0, "c": 1.0})


def test_regressor_properties_take_effect_at_the_next_update():
    model = q.LinearRegression()
    model.learning_rate = 0.5
    model.learn_one({"a": 1.0}, 1.0)
    assert model.predict_one({"a": 1.0}) == 1.0
    pa = q.PassiveAggressiveRegressor()
    pa.epsilon = 2.0
    pa.learn_one({"a": 1.0}, 1.5)
    assert pa.predict_one({"a": 1.0}) == 0.0
