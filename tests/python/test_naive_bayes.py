import math

import _quelb_core as q
import pytest


def test_new_model():
    model = q.NaiveBayes()
    assert model.predict_one({"a": 1.0}) == -1
    assert model.predict_proba_one({"a": 1.0}) == {}


def test_single_sample_of_class_three():
    model = q.NaiveBayes()
    model.learn_one({"a": 1.0, "b": 2.0}, 3)
    assert model.predict_one({"z": 0.0}) == 3
    assert model.predict_proba_one({"a": 5.0}) == {3: 1.0}
    # Two shared features floor to 1e-300 each: the product form underflowed to 0; the
    # distribution is still proper.
    assert model.predict_proba_one({"a": 5.0, "b": 1.0}) == {3: 1.0}


def test_gaussian_likelihood_by_hand():
    model = q.NaiveBayes()
    for v in (1.0, 3.0):
        model.learn_one({"x": v}, 0)
    for v in (10.0, 14.0):
        model.learn_one({"x": v}, 1)
    query = 4.0

    def density(mean, var, v):
        return math.exp(-0.5 * (v - mean) ** 2 / var) / math.sqrt(6.283185307179586 * var)

    p0 = 0.5 * density(2.0, 2.0, query)
    p1 = 0.5 * density(12.0, 8.0, query)
    proba = model.predict_proba_one({"x": query})
    assert proba[0] == pytest.approx(p0 / (p0 + p1), rel=1e-12)
    assert proba[1] == pytest.approx(p1 / (p0 + p1), rel=1e-12)
    assert model.predict_one({"x": query}) == 0


def test_zero_variance_is_a_point_mass():
    model = q.NaiveBayes()
    for _ in range(3):
        model.learn_one({"x": 2.0}, 0)
        model.learn_one({"x": 5.0}, 1)
    assert model.predict_one({"x": 2.0}) == 0
    assert model.predict_one({"x": 5.0}) == 1
    assert model.predict_proba_one({"x": 2.0})[0] == pytest.approx(1.0)


def test_ties_go_to_the_first_learned_class():
    model = q.NaiveBayes()
    model.learn_one({"a": 1.0}, 7)
    model.learn_one({"b": 1.0}, 2)
    assert model.predict_one({"c": 1.0}) == 7  # priors equal, no usable statistics
    assert model.predict_one({}) == 7


def test_unknown_features_are_skipped_and_priors_decide():
    model = q.NaiveBayes()
    model.learn_one({"a": 1.0}, 1)
    model.learn_one({"a": 1.0}, 2)
    model.learn_one({"a": 1.0}, 2)
    assert model.predict_one({"zzz": 3.0}) == 2
    assert model.predict_proba_one({"zzz": 3.0}) == pytest.approx({1: 1 / 3, 2: 2 / 3})


def test_empty_sample_counts_as_a_sample():
    model = q.NaiveBayes()
    model.learn_one({}, 5)
    model.learn_one({"a": 1.0}, 6)
    model.learn_one({"a": 2.0}, 6)
    assert model.predict_proba_one({}) == pytest.approx({5: 1 / 3, 6: 2 / 3})


def test_many_features_give_a_proper_distribution_matching_predict_one():
    # A product of 200 densities underflows to 0 in linear space; log space stays exact.
    model = q.NaiveBayes()
    for label, shift in ((0, 0.0), (1, 0.3)):
        for k in range(5):
            model.learn_one({f"f{i}": shift + 0.1 * ((i * 7 + k) % 5) for i in range(200)}, label)
    query = {f"f{i}": 0.25 for i in range(200)}
    proba = model.predict_proba_one(query)
    assert sum(proba.values()) == pytest.approx(1.0)
    assert max(proba, key=proba.get) == model.predict_one(query)
    assert all(math.isfinite(p) for p in proba.values())


def test_nan_values_do_not_poison_predictions():
    model = q.NaiveBayes()
    model.learn_one({"a": float("nan")}, 1)
    model.learn_one({"a": float("nan")}, 1)
    model.learn_one({"a": 1.0}, 2)
    model.learn_one({"a": 2.0}, 2)
    proba = model.predict_proba_one({"a": 1.5})
    assert sum(proba.values()) == pytest.approx(1.0)
    assert model.predict_one({"a": 1.5}) == 2


def test_reset_behaves_like_new():
    model = q.NaiveBayes()
    model.learn_one({"a": 1.0}, 1)
    model.reset()
    assert model.predict_one({"a": 1.0}) == -1
    assert model.predict_proba_one({"a": 1.0}) == {}
    model.learn_one({"b": 1.0}, 4)
    assert model.predict_proba_one({}) == {4: 1.0}
