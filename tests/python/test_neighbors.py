"""KNN classifier and regressor: the window, distances, neighbour order, votes and weights."""
import math
import random

import _quelb_core as q
import pytest


def test_new_models():
    assert q.KNNClassifier().predict_one({"a": 1.0}) == -1
    assert q.KNNClassifier().predict_proba_one({"a": 1.0}) == {}
    assert q.KNNRegressor().predict_one({"a": 1.0}) == 0.0
    assert isinstance(q.KNNClassifier(), q.IClassifier)
    assert isinstance(q.KNNRegressor(), q.IRegressor)


@pytest.mark.parametrize("cls", [q.KNNClassifier, q.KNNRegressor])
def test_options(cls):
    model = cls(3, 10, 1)
    assert (model.n_neighbors, model.p) == (3, 1)
    model = cls(n_neighbors=7, window_size=2, p=3)
    model.n_neighbors, model.p = 0, 5
    assert (model.n_neighbors, model.p) == (0, 5)
    assert not hasattr(model, "window_size")  # fixed at construction


@pytest.mark.parametrize("cls", [q.KNNClassifier, q.KNNRegressor])
def test_bad_arguments_are_rejected(cls):
    for size in (0, -5):
        with pytest.raises(ValueError, match="'window_size' must be greater or equal to 1."):
            cls(window_size=size)
    with pytest.raises(ValueError, match="'n_neighbors' must be greater or equal to 0."):
        cls(n_neighbors=-1)
    model = cls(n_neighbors=4)
    with pytest.raises(ValueError, match="'n_neighbors'"):
        model.n_neighbors = -2
    assert model.n_neighbors == 4
    with pytest.raises(TypeError):
        cls(n_neighbors=2.0)


def test_window_keeps_only_the_most_recent_entries():
    model = q.KNNClassifier(n_neighbors=1, window_size=3)
    for x, y in (({"a": 0.0}, 0), ({"a": 10.0}, 1), ({"a": 11.0}, 2), ({"a": 12.0}, 3)):
        model.learn_one(x, y)
    assert model.predict_one({"a": 0.0}) == 1  # the first entry was evicted
    model.n_neighbors = 10  # more than the window holds: every entry votes
    assert model.predict_proba_one({"a": 0.0}) == pytest.approx({1: 1 / 3, 2: 1 / 3, 3: 1 / 3})
    for v in (20.0, 21.0, 22.0):  # slides on, one entry per sample
        model.learn_one({"a": v}, 9)
    assert model.predict_proba_one({"a": 0.0}) == {9: pytest.approx(1.0)}


def test_late_features_read_as_zero_in_earlier_entries_and_unknown_query_features_are_ignored():
    model = q.KNNClassifier(n_neighbors=1)
    for i in range(4):
        model.learn_one({"a": float(i)}, i)
    model.learn_one({"a": 0.0, "b": 5.0}, 7)
    assert model.predict_one({"a": 0.0, "b": 0.0}) == 0
    assert model.predict_one({"a": 0.0}) == 0
    assert model.predict_one({"a": 0.0, "b": 4.0}) == 7
    assert model.predict_one({"a": 3.0, "zzz": -100.0}) == 3


def test_equal_votes_go_to_the_label_of_the_nearer_neighbour():
    model = q.KNNClassifier(n_neighbors=4)
    for a, label in ((1.0, 5), (2.0, 7), (3.0, 7), (4.0, 5)):
        model.learn_one({"a": a}, label)
    assert model.predict_one({"a": 0.0}) == 5
    assert model.predict_one({"a": 1.6}) == 7
    assert model.predict_proba_one({"a": 0.0}) == {5: 0.5, 7: 0.5}


@pytest.mark.parametrize("order", [((-1.0, 9), (1.0, 4)), ((1.0, 4), (-1.0, 9))])
def test_equal_distances_are_ordered_by_the_smaller_label_or_target(order):
    clf, reg = q.KNNClassifier(n_neighbors=1), q.KNNRegressor(n_neighbors=1)
    for a, y in order:
        clf.learn_one({"a": a}, y)
        reg.learn_one({"a": a}, float(y))
    assert clf.predict_one({"a": 0.0}) == 4
    assert reg.predict_one({"a": 0.0}) == 4.0


def test_regressor_weights_by_inverse_distance_and_an_exact_match_dominates():
    model = q.KNNRegressor(n_neighbors=2)
    model.learn_one({"a": 0.0}, 10.0)
    model.learn_one({"a": 3.0}, 20.0)
    assert model.predict_one({"a": 1.0}) == pytest.approx((10.0 / 1 + 20.0 / 2) / (1 / 1 + 1 / 2), rel=1e-12)
    assert model.predict_one({"a": 0.0}) == pytest.approx((1e10 * 10.0 + 20.0 / 3) / (1e10 + 1 / 3), rel=1e-12)


@pytest.mark.parametrize("p, distance", [
    (1, lambda d: sum(abs(v) for v in d)),
    (2, lambda d: math.sqrt(sum(v * v for v in d))),
    (3, lambda d: sum(abs(v) ** 3 for v in d) ** (1 / 3)),
])
def test_minkowski_distances(p, distance):
    model = q.KNNRegressor(n_neighbors=2, p=p)
    model.learn_one({"a": 0.0, "b": 0.0}, 0.0)
    model.learn_one({"a": 3.0, "b": -4.0}, 1.0)
    da, db = distance([1.0, 1.0]), distance([2.0, -5.0])
    assert model.predict_one({"a": 1.0, "b": 1.0}) == pytest.approx((1.0 / db) / (1.0 / da + 1.0 / db), rel=1e-12)


def test_zero_neighbours_give_the_empty_answers():
    clf, reg = q.KNNClassifier(n_neighbors=0), q.KNNRegressor(n_neighbors=0)
    clf.learn_one({"a": 1.0}, 1)
    reg.learn_one({"a": 1.0}, 1.0)
    assert clf.predict_one({"a": 1.0}) == -1
    assert clf.predict_proba_one({"a": 1.0}) == {}
    assert reg.predict_one({"a": 1.0}) == 0.0
    clf.n_neighbors = 1
    assert clf.predict_one({"a": 1.0}) == 1


def test_nan_distances_rank_after_every_number():
    clf = q.KNNClassifier(n_neighbors=1)
    clf.learn_one({"a": math.nan}, 1)
    clf.learn_one({"a": 100.0}, 2)
    clf.learn_one({"a": math.nan}, 0)
    assert clf.predict_one({"a": 0.0}) == 2
    clf.n_neighbors = 3
    assert clf.predict_proba_one({"a": math.nan}) == pytest.approx({0: 1 / 3, 1: 1 / 3, 2: 1 / 3})


@pytest.mark.parametrize("cls", [q.KNNClassifier, q.KNNRegressor])
def test_reset_empties_the_window_and_keeps_options(cls):
    model = cls(n_neighbors=1, window_size=2, p=1)
    model.learn_one({"a": 1.0}, 1)
    model.reset()
    assert model.predict_one({"a": 1.0}) == (-1 if cls is q.KNNClassifier else 0.0)
    assert (model.n_neighbors, model.p) == (1, 1)
    for v, y in ((1.0, 1), (2.0, 2), (3.0, 3)):
        model.learn_one({"b": v}, y)
    assert model.predict_one({"b": 1.0, "a": 50.0}) == 2  # the window of 2 still slides


def reference_predictions(stream, queries, k, window_size, p):
    """Brute force over a Python window: (label vote, probabilities, weighted target) per query."""
    columns, window, out = [], [], []
    for x, y in stream:
        for name in x:
            if name not in columns:
                columns.append(name)
        window.append((dict(x), y))
        del window[:-window_size]
    for query in queries:
        pairs = []
        for x, y in window:
            d = [query.get(c, 0.0) - x.get(c, 0.0) for c in columns]
            if p == 2:
                dist = math.sqrt(sum(v * v for v in d))
            elif p == 1:
                dist = sum(abs(v) for v in d)
            else:
                dist = sum(abs(v) ** p for v in d) ** (1.0 / p)
            pairs.append((dist, y))
        nearest = sorted(pairs)[:k]
        votes = {}
        for _, y in nearest:
            votes[y] = votes.get(y, 0) + 1
        label = max(votes, key=lambda c: (votes[c], -[y for _, y in nearest].index(c)))
        proba = {}
        for _, y in nearest:
            proba[y] = proba.get(y, 0.0) + 1.0 / len(nearest)
        weights = [1.0 / d if d > 1e-10 else 1e10 for d, _ in nearest]
        target = sum(w * y for w, (_, y) in zip(weights, nearest)) / sum(weights)
        out.append((label, proba, target))
    return out


@pytest.mark.parametrize("p", [1, 2, 3])
def test_matches_brute_force_over_a_stream_with_new_features(p):
    rng = random.Random(p)
    stream = []
    for i in range(120):
        names = [f"f{rng.randrange(2 + i // 10)}" for _ in range(3)]  # names keep appearing
        stream.append(({n: float(rng.randrange(-3, 4)) for n in names}, rng.randrange(4)))
    queries = [{f"f{rng.randrange(15)}": float(rng.randrange(-3, 4)) for _ in range(4)} for _ in range(30)]
    clf = q.KNNClassifier(n_neighbors=5, window_size=17, p=p)
    reg = q.KNNRegressor(n_neighbors=5, window_size=17, p=p)
    for x, y in stream:
        clf.learn_one(x, y)
        reg.learn_one(x, float(y))
    for query, (label, proba, target) in zip(queries, reference_predictions(stream, queries, 5, 17, p)):
        assert clf.predict_one(query) == label
        assert clf.predict_proba_one(query) == pytest.approx(proba, rel=1e-12)
        assert reg.predict_one(query) == pytest.approx(target, rel=1e-12)
