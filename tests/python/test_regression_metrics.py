import math

import _quelb_core as q
import pytest

ALL = [q.MAE, q.RMSE, q.R2]


def fed(cls, pairs):
    metric = cls()
    for t, p in pairs:
        metric.update(t, p)
    return metric


@pytest.mark.parametrize("cls", ALL)
def test_empty_and_reset(cls):
    metric = fed(cls, [(1.0, 5.0), (2.0, -1.0), (7.0, 0.0)])
    assert metric.get() != 0.0
    metric.reset()
    assert metric.get() == 0.0
    assert cls().get() == 0.0
    # Nothing of the earlier stream survives the reset.
    metric.update(3.0, 1.0)
    metric.update(1.0, 2.0)
    assert metric.get() == fed(cls, [(3.0, 1.0), (1.0, 2.0)]).get()


def test_mae_and_rmse_of_the_two_pair_example():
    pairs = [(3.0, 1.0), (1.0, 2.0)]
    assert fed(q.MAE, pairs).get() == 1.5
    assert fed(q.RMSE, pairs).get() == pytest.approx(math.sqrt(2.5), rel=1e-15)
    swapped = [(p, t) for t, p in pairs]
    assert fed(q.MAE, swapped).get() == 1.5
    assert fed(q.RMSE, swapped).get() == fed(q.RMSE, pairs).get()


def test_r2_examples():
    truth = [1.0, 2.0, 3.0]
    assert fed(q.R2, [(5.0, -100.0)]).get() == 0.0
    assert fed(q.R2, zip(truth, truth)).get() == 1.0
    assert fed(q.R2, zip(truth, [2.0] * 3)).get() == pytest.approx(0.0, abs=1e-15)
    assert fed(q.R2, zip(truth, [3.0, 2.0, 1.0])).get() == pytest.approx(-3.0, rel=1e-15)
    # Constant truth: no spread to explain, whatever the predictions.
    assert fed(q.R2, [(4.0, 0.0), (4.0, 9.0), (4.0, 4.0)]).get() == 0.0
    # Not symmetric: the spread is measured on the true values.
    assert fed(q.R2, zip([3.0, 2.0, 1.0], truth)).get() == pytest.approx(-3.0)
    assert fed(q.R2, [(1.0, 0.0), (1.0, 1.0), (2.0, 2.0)]).get() != fed(q.R2, [(0.0, 1.0), (1.0, 1.0), (2.0, 2.0)]).get()


def test_long_streams_agree_with_direct_computation():
    truth = [math.sin(i) * 10 + i % 7 for i in range(5000)]
    preds = [t + math.cos(3 * i) for i, t in enumerate(truth)]
    errors = [t - p for t, p in zip(truth, preds)]
    mean = sum(truth) / len(truth)
    sst = sum((t - mean) ** 2 for t in truth)
    pairs = list(zip(truth, preds))
    assert fed(q.MAE, pairs).get() == pytest.approx(sum(map(abs, errors)) / len(errors), rel=1e-12)
    assert fed(q.RMSE, pairs).get() == pytest.approx(math.sqrt(sum(e * e for e in errors) / len(errors)), rel=1e-12)
    assert fed(q.R2, pairs).get() == pytest.approx(1 - sum(e * e for e in errors) / sst, rel=1e-12)


@pytest.mark.parametrize("cls", ALL)
def test_bad_arguments_leave_the_metric_unchanged(cls):
    metric = fed(cls, [(1.0, 2.0), (3.0, 1.0)])
    before = metric.get()
    for bad in (("1", 1.0), (1.0, None), (1.0, [2.0]), (10**400, 1.0)):
        with pytest.raises(TypeError):
            metric.update(*bad)
    with pytest.raises(TypeError):
        metric.update(1.0)
    assert metric.get() == before
    metric.update(2, True)  # ints and bools are numbers
    assert metric.get() != before


def test_non_finite_values_propagate():
    assert math.isnan(fed(q.MAE, [(float("nan"), 1.0)]).get())
    assert fed(q.RMSE, [(float("inf"), 1.0)]).get() == math.inf
    assert math.isnan(fed(q.R2, [(float("nan"), 1.0), (2.0, 1.0)]).get())
