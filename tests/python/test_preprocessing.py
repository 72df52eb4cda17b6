"""Scalers and feature selectors."""
import math

import _quelb_core as q
import pytest

SCALERS = [q.StandardScaler, q.MinMaxScaler, q.MaxAbsScaler]


def learned(transformer, *samples):
    for x in samples:
        transformer.learn_one(x)
    return transformer


@pytest.mark.parametrize("make", SCALERS)
def test_unlearned_features_become_zero(make):
    assert make().transform_one({"a": 5.0}) == {"a": 0.0}


def test_standard_scaler_without_std_passes_unlearned_features():
    assert q.StandardScaler(with_std=False).transform_one({"a": 5.0}) == {"a": 5.0}
    scaler = learned(q.StandardScaler(with_std=False), {"a": 1.0}, {"a": 3.0})
    assert scaler.transform_one({"a": 4.0, "new": 7.0}) == {"a": 2.0, "new": 7.0}


def test_standard_scaler_uses_population_variance():
    scaler = learned(q.StandardScaler(), {"a": 1.0}, {"a": 3.0})  # mean 2, variance 1
    assert scaler.transform_one({"a": 4.0}) == {"a": 2.0}
    values = [0.5, 2.0, 7.25, -3.0, 4.0]
    scaler = learned(q.StandardScaler(), *({"a": v} for v in values))
    mean = sum(values) / len(values)
    sd = math.sqrt(sum((v - mean) ** 2 for v in values) / len(values))
    assert scaler.transform_one({"a": 1.0})["a"] == pytest.approx((1.0 - mean) / sd, rel=1e-12)


def test_standard_scaler_zero_variance_gives_zero():
    scaler = learned(q.StandardScaler(), {"a": 7.0})
    assert scaler.transform_one({"a": 7.0}) == {"a": 0.0}
    assert scaler.transform_one({"a": 9.0}) == {"a": 0.0}


def test_standard_scaler_variance_accumulates_only_while_with_std():
    scaler = learned(q.StandardScaler(with_std=False), {"a": 1.0}, {"a": 3.0})
    scaler.with_std = True
    assert scaler.transform_one({"a": 4.0}) == {"a": 0.0}  # no variance learned yet
    scaler.learn_one({"a": 2.0})  # n 3, mean 2, var += ((2-2)(2-2) - 0) / 3
    assert scaler.transform_one({"a": 4.0}) == {"a": 0.0}
    scaler.learn_one({"a": 6.0})  # n 4, mean 3, var = 0 + ((6-3)(6-2) - 0) / 4 = 3
    assert scaler.transform_one({"a": 6.0})["a"] == pytest.approx(3.0 / math.sqrt(3.0))


def test_min_max_scaler_is_not_clipped():
    scaler = learned(q.MinMaxScaler(), {"a": 2.0}, {"a": 6.0})
    assert [scaler.transform_one({"a": v})["a"] for v in (4.0, 10.0, 0.0)] == [0.5, 2.0, -0.5]
    assert learned(q.MinMaxScaler(), {"a": 3.0}).transform_one({"a": 3.0}) == {"a": 0.0}


def test_max_abs_scaler():
    scaler = learned(q.MaxAbsScaler(), {"a": -4.0}, {"a": 2.0})
    assert scaler.transform_one({"a": 2.0}) == {"a": 0.5}
    assert scaler.transform_one({"a": -8.0}) == {"a": -2.0}


@pytest.mark.parametrize("make", SCALERS)
def test_transform_keeps_keys_and_never_learns(make):
    scaler = learned(make(), {"a": 1.0}, {"a": 3.0})
    x = {"a": 2.0, "unseen": 5.0}
    out = scaler.transform_one(x)
    assert set(out) == {"a", "unseen"}
    assert x == {"a": 2.0, "unseen": 5.0}
    assert scaler.transform_one(x) == out


@pytest.mark.parametrize("make", SCALERS + [q.VarianceThreshold])
def test_clone_state_shares_nothing(make):
    source = learned(make(), {"a": -1.0, "b": 2.0}, {"a": 3.0, "b": 5.0}, {"a": 4.0, "b": 2.0})
    probe = {"a": 2.0, "b": 3.0}
    before = source.transform_one(probe)
    clone = source.clone_state()
    assert type(clone) is make and clone is not source
    assert clone.transform_one(probe) == before
    source.reset()
    assert clone.transform_one(probe) == before
    clone.learn_one({"a": 100.0, "b": -50.0})
    assert source.transform_one(probe) == make().transform_one(probe)


def test_clone_state_copies_options_and_reset_keeps_them():
    scaler = q.StandardScaler(with_std=False)
    assert scaler.clone_state().with_std is False
    scaler.reset()
    assert scaler.with_std is False
    selector = q.VarianceThreshold(threshold=0.25, min_samples=3)
    clone = selector.clone_state()
    assert (clone.threshold, clone.min_samples) == (0.25, 3)


def test_variance_threshold_drops_constant_features_after_min_samples():
    selector = learned(q.VarianceThreshold(), {"a": 1.0, "b": 1.0})
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0, "b": 1.0}
    selector.learn_one({"a": 2.0, "b": 1.0})  # a: sample variance 0.5, b: 0
    assert selector.transform_one({"a": 9.0, "b": 9.0, "never": 3.0}) == {"a": 9.0, "never": 3.0}
    selector.threshold = 0.5  # not above the threshold: dropped
    assert selector.transform_one({"a": 9.0, "b": 9.0}) == {}


def test_variance_threshold_single_sample_with_min_samples_one():
    selector = learned(q.VarianceThreshold(min_samples=1), {"a": 1.0, "b": 2.0})
    assert selector.transform_one({"a": 1.0, "b": 2.0, "c": 3.0}) == {"c": 3.0}


def test_variance_threshold_takes_a_feature_back_when_it_varies():
    selector = learned(q.VarianceThreshold(), {"a": 1.0}, {"a": 1.0})
    assert selector.transform_one({"a": 1.0}) == {}
    selector.learn_one({"a": 4.0})
    assert selector.transform_one({"a": 1.0}) == {"a": 1.0}


def feed(selector, rows):
    for x, y in rows:
        selector.learn_one(x, y)
    return selector


CORRELATED = [({"a": 1.0, "b": 5.0}, 1.0), ({"a": 2.0, "b": 3.0}, 2.0), ({"a": 3.0, "b": 4.0}, 3.0)]


@pytest.mark.parametrize("use_abs", [False, True])
def test_select_k_best_keeps_the_most_correlated(use_abs):
    selector = feed(q.SelectKBest(k=1, use_abs=use_abs), CORRELATED)  # a: 1, b: -0.5
    assert selector.transform_one({"a": 7.0, "b": 8.0}) == {"a": 7.0}
    selector.k = 2  # takes effect only after the next learning
    assert selector.transform_one({"a": 7.0, "b": 8.0}) == {"a": 7.0}
    selector.learn_one({}, 0.0)
    assert selector.transform_one({"a": 7.0, "b": 8.0}) == {"a": 7.0, "b": 8.0}


def test_select_k_best_absolute_correlation_changes_the_ranking():
    rows = [({"a": float(i % 2), "b": -2.0 * i}, float(i)) for i in range(6)]
    assert set(feed(q.SelectKBest(k=1), rows).transform_one({"a": 1.0, "b": 1.0})) == {"a"}
    assert set(feed(q.SelectKBest(k=1, use_abs=True), rows).transform_one({"a": 1.0, "b": 1.0})) == {"b"}


def test_select_k_best_passes_everything_before_learning_and_drops_unlearned_after():
    selector = q.SelectKBest(k=1)
    assert selector.transform_one({"a": 1.0, "z": 2.0}) == {"a": 1.0, "z": 2.0}
    feed(selector, CORRELATED)
    assert selector.transform_one({"z": 2.0}) == {}
    selector.k = 0
    selector.learn_one({"a": 4.0}, 4.0)
    assert selector.transform_one({"a": 1.0, "b": 2.0}) == {}
    selector.k = -3
    selector.learn_one({}, 0.0)
    assert selector.transform_one({"a": 1.0}) == {}


def test_select_k_best_ties_go_to_the_lower_position():
    rows = [({"a": v, "b": v}, v) for v in (1.0, 2.0, 4.0)]
    # without an order, positions follow the order in which learning meets the names
    assert feed(q.SelectKBest(k=1), rows).transform_one({"a": 1.0, "b": 1.0}) == {"a": 1.0}
    ordered = q.SelectKBest(k=1)
    ordered.set_feature_order(["b", "a"])
    assert feed(ordered, rows).transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}
    ordered.set_feature_order(["a"])  # already positioned: no change
    assert ordered.transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_select_k_best_constant_feature_scores_zero():
    rows = [({"up": v, "flat": 5.0, "down": -v}, v) for v in (1.0, 2.0, 3.0)]
    assert set(feed(q.SelectKBest(k=2), rows).transform_one(rows[0][0])) == {"up", "flat"}
    assert set(feed(q.SelectKBest(k=2, use_abs=True), rows).transform_one(rows[0][0])) == {"up", "down"}


def test_select_k_best_reset_keeps_positions_and_options():
    tied = [({"a": v, "b": v}, v) for v in (1.0, 3.0, 4.0)]  # a is met before b
    selector = feed(q.SelectKBest(k=1, use_abs=True), [({"b": 1.0}, 1.0), ({"a": 2.0}, 2.0)])
    selector.reset()
    assert (selector.k, selector.use_abs) == (1, True)
    assert selector.transform_one({"a": 1.0, "q": 2.0}) == {"a": 1.0, "q": 2.0}  # nothing learned
    assert feed(selector, tied).transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}
    ordered = q.SelectKBest(k=1)
    ordered.set_feature_order(["b"])
    ordered.reset()
    assert feed(ordered, tied).transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_select_k_best_nan_scores_rank_last():
    selector = q.SelectKBest(k=2)
    rows = [({"nan": math.nan, "neg": -v, "pos": v}, v) for v in (1.0, 2.0, 3.0)]
    assert set(feed(selector, rows).transform_one(rows[0][0])) == {"pos", "neg"}


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


def test_learn_one_arity():
    with pytest.raises(TypeError):
        q.SelectKBest().learn_one({"a": 1.0})
    with pytest.raises(TypeError):
        q.StandardScaler().learn_one({"a": 1.0}, 1.0)
    assert not hasattr(q.StandardScaler(), "set_feature_order")
    assert not hasattr(q.VarianceThreshold(), "set_feature_order")


def test_bad_samples_leave_the_transformer_unchanged():
    scaler = learned(q.StandardScaler(), {"a": 1.0}, {"a": 3.0})
    with pytest.raises(TypeError):
        scaler.learn_one({"a": 100.0, "b": "x"})
    with pytest.raises(TypeError):
        scaler.learn_one([("a", 1.0)])
    assert scaler.transform_one({"a": 4.0}) == {"a": 2.0}
