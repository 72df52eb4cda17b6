"""Scalers and feature selectors."""
import math

import _quelb_core as q
import pytest

SCALERS = [q.StandardScaler, q.MinMaxScaler, q.MaxAbsScaler]


def learned(transformer, *samples):
    for x in samples:
        transformer.learn_one(x)
    return transformer


def feed(selector, rows):
    for x, y in rows:
        selector.learn_one(x, y)
    return selector


@pytest.mark.parametrize("make", SCALERS)
def test_unlearned_features_become_zero_and_transform_never_learns(make):
    assert make().transform_one({"a": 5.0}) == {"a": 0.0}
    scaler = learned(make(), {"a": 1.0}, {"a": 3.0})
    x = {"a": 2.0, "unseen": 5.0}
    out = scaler.transform_one(x)
    assert out["unseen"] == 0.0 and set(out) == {"a", "unseen"}
    assert scaler.transform_one(x) == out and x == {"a": 2.0, "unseen": 5.0}


def test_standard_scaler():
    scaler = learned(q.StandardScaler(), {"a": 1.0}, {"a": 3.0})  # mean 2, population variance 1
    assert scaler.transform_one({"a": 4.0}) == {"a": 2.0}
    single = learned(q.StandardScaler(), {"a": 7.0})  # variance 0
    assert single.transform_one({"a": 7.0}) == single.transform_one({"a": 9.0}) == {"a": 0.0}
    centred = learned(q.StandardScaler(with_std=False), {"a": 1.0}, {"a": 3.0})
    assert centred.transform_one({"a": 4.0, "new": 7.0}) == {"a": 2.0, "new": 7.0}


def test_standard_scaler_variance_accumulates_only_while_with_std():
    scaler = learned(q.StandardScaler(with_std=False), {"a": 1.0}, {"a": 3.0})
    scaler.with_std = True
    assert scaler.transform_one({"a": 4.0}) == {"a": 0.0}  # no variance learned yet
    learned(scaler, {"a": 2.0}, {"a": 6.0})  # n 4, mean 3; var: 0, then (6-3)(6-2)/4 = 3
    assert scaler.transform_one({"a": 6.0})["a"] == pytest.approx(3.0 / math.sqrt(3.0))


def test_min_max_and_max_abs_are_not_clipped():
    scaler = learned(q.MinMaxScaler(), {"a": 2.0}, {"a": 6.0})
    assert [scaler.transform_one({"a": v})["a"] for v in (4.0, 10.0, 0.0)] == [0.5, 2.0, -0.5]
    scaler = learned(q.MaxAbsScaler(), {"a": -4.0}, {"a": 2.0})
    assert [scaler.transform_one({"a": v})["a"] for v in (2.0, -8.0)] == [0.5, -2.0]


@pytest.mark.parametrize("make", SCALERS + [q.VarianceThreshold, lambda: q.StandardScaler(with_std=False)])
def test_clone_state_shares_nothing(make):
    source = learned(make(), {"a": -1.0, "b": 2.0}, {"a": 3.0, "b": 5.0}, {"a": 4.0, "b": 2.0})
    probe = {"a": 2.0, "b": 3.0}
    before = source.transform_one(probe)
    clone = source.clone_state()
    assert type(clone) is type(source) and clone is not source
    source.reset()
    assert clone.transform_one(probe) == before
    clone.learn_one({"a": 100.0, "b": -50.0})
    assert source.transform_one(probe) == make().transform_one(probe)
    if isinstance(source, q.StandardScaler):
        assert clone.with_std == source.with_std  # and reset kept it


def test_variance_threshold():
    selector = learned(q.VarianceThreshold(), {"a": 1.0, "b": 1.0})
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0, "b": 1.0}  # below min_samples
    selector.learn_one({"a": 2.0, "b": 1.0})  # a: sample variance 0.5, b: 0
    assert selector.transform_one({"a": 9.0, "b": 9.0, "never": 3.0}) == {"a": 9.0, "never": 3.0}
    selector.threshold = 0.5  # not above the threshold: dropped
    assert selector.transform_one({"a": 9.0, "b": 9.0}) == {}
    selector.learn_one({"a": 4.0, "b": 1.0})  # a varies more again: taken back
    assert selector.transform_one({"a": 9.0}) == {"a": 9.0}
    single = learned(q.VarianceThreshold(min_samples=1), {"a": 1.0, "b": 2.0})
    assert single.transform_one({"a": 1.0, "b": 2.0, "c": 3.0}) == {"c": 3.0}


CORRELATED = [({"a": 1.0, "b": 5.0}, 1.0), ({"a": 2.0, "b": 3.0}, 2.0), ({"a": 3.0, "b": 4.0}, 3.0)]


@pytest.mark.parametrize("use_abs", [False, True])
def test_select_k_best_keeps_the_most_correlated_lazily(use_abs):
    selector = feed(q.SelectKBest(k=1, use_abs=use_abs), CORRELATED)  # a: 1, b: -0.5
    assert selector.transform_one({"a": 7.0, "b": 8.0, "never": 1.0}) == {"a": 7.0}
    selector.k = 2  # takes effect only after the next learning
    assert selector.transform_one({"a": 7.0, "b": 8.0}) == {"a": 7.0}
    selector.learn_one({}, 0.0)
    assert selector.transform_one({"a": 7.0, "b": 8.0}) == {"a": 7.0, "b": 8.0}


def test_select_k_best_ranking_of_signs_and_constants():
    rows = [({"up": v, "flat": 5.0, "down": -2.0 * v}, v) for v in (1.0, 2.0, 3.0)]
    assert set(feed(q.SelectKBest(k=2), rows).transform_one(rows[0][0])) == {"up", "flat"}
    assert set(feed(q.SelectKBest(k=2, use_abs=True), rows).transform_one(rows[0][0])) == {"up", "down"}
    nan_rows = [({"nan": math.nan, "neg": -v, "pos": v}, v) for v in (1.0, 2.0, 3.0)]
    assert set(feed(q.SelectKBest(k=2), nan_rows).transform_one(nan_rows[0][0])) == {"pos", "neg"}


def test_select_k_best_passes_everything_until_it_has_learned():
    selector = q.SelectKBest(k=1)
    assert selector.transform_one({"a": 1.0, "z": 2.0}) == {"a": 1.0, "z": 2.0}
    for k in (0, -3):
        selector.k = k
        selector.learn_one({"a": 4.0}, 4.0)
        assert selector.transform_one({"a": 1.0}) == {}


def test_select_k_best_ties_go_to_the_lower_position_which_survives_reset():
    tied = [({"a": v, "b": v}, v) for v in (1.0, 2.0, 4.0)]  # a is met before b
    assert feed(q.SelectKBest(k=1), tied).transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0}
    ordered = q.SelectKBest(k=1)
    ordered.set_feature_order(["b", "a"])
    assert feed(ordered, tied).transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}
    learned_first = feed(q.SelectKBest(k=1, use_abs=True), [({"b": 1.0}, 1.0), ({"a": 2.0}, 2.0)])
    learned_first.reset()
    assert (learned_first.k, learned_first.use_abs) == (1, True)
    assert learned_first.transform_one({"a": 1.0, "q": 2.0}) == {"a": 1.0, "q": 2.0}
    assert feed(learned_first, tied).transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_select_k_best_clone_state_copies_everything():
    selector = q.SelectKBest(k=1)
    selector.set_feature_order(["b", "a"])
    feed(selector, [({"a": v, "b": v}, v) for v in (1.0, 2.0)])
    clone = selector.clone_state()
    selector.reset()
    selector.k = 5
    assert clone.k == 1
    assert clone.transform_one({"a": 1.0, "b": 1.0, "c": 1.0}) == {"b": 1.0}
    feed(clone, [({"c": v}, v) for v in (1.0, 5.0)])
    assert selector.transform_one({"c": 1.0}) == {"c": 1.0}  # the source learned nothing


def test_learn_one_takes_a_target_only_when_supervised():
    with pytest.raises(TypeError):
        q.SelectKBest().learn_one({"a": 1.0})
    with pytest.raises(TypeError):
        q.StandardScaler().learn_one({"a": 1.0}, 1.0)
