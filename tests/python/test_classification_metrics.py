import random

import _quelb_core as q
import pytest

ALL = [q.Accuracy, q.MacroPrecision, q.MacroRecall, q.MacroF1]


@pytest.mark.parametrize("cls", ALL)
def test_empty_and_reset(cls):
    metric = cls()
    assert metric.get() == 0.0
    metric.update(0, 1)
    metric.update(3, 2)
    metric.reset()
    assert metric.get() == 0.0
    metric.update(5, 5)
    assert metric.get() == 1.0


def test_accuracy():
    metric = q.Accuracy()
    for t, p in ((1, 1), (1, 2), (3, 3)):
        metric.update(t, p)
    assert metric.get() == pytest.approx(2 / 3)


def test_macro_scores_of_the_two_pair_example():
    pairs = ((0, 1), (1, 1))
    expected = {q.MacroPrecision: 0.25, q.MacroRecall: 0.5, q.MacroF1: 1 / 3, q.Accuracy: 0.5}
    for cls, value in expected.items():
        metric = cls()
        for t, p in pairs:
            metric.update(t, p)
        assert metric.get() == pytest.approx(value, abs=1e-15)


@pytest.mark.parametrize("cls", ALL)
def test_perfect_stream_scores_one(cls):
    metric = cls()
    for label in (-3, 0, 7, 7, 2**31 - 1, -(2**31)):
        metric.update(label, label)
    assert metric.get() == 1.0


def test_label_only_ever_predicted_lowers_recall_and_precision():
    recall, precision = q.MacroRecall(), q.MacroPrecision()
    for metric in (recall, precision):
        metric.update(1, 1)
        metric.update(1, 9)  # 9 is never true
    assert recall.get() == pytest.approx((0.5 + 0.0) / 2)
    assert precision.get() == pytest.approx((1.0 + 0.0) / 2)


def test_negative_labels_count_like_any_other():
    metric = q.MacroF1()
    metric.update(-1, -1)
    metric.update(-1, -2)
    # label -1: tp 1, fn 1 -> 2/3; label -2: fp 1 -> 0
    assert metric.get() == pytest.approx((2 / 3) / 2)


@pytest.mark.parametrize("cls", ALL)
def test_bad_arguments_leave_the_metric_unchanged(cls):
    metric = cls()
    metric.update(1, 1)
    for bad in ((1.0, 1), (1, "1"), (2**31, 0), (None, 1)):
        with pytest.raises(TypeError):
            metric.update(*bad)
    with pytest.raises(TypeError):
        metric.update(1)
    assert metric.get() == 1.0


@pytest.mark.parametrize("cls", [q.MacroPrecision, q.MacroRecall, q.MacroF1])
def test_reset_scores_like_a_new_metric_to_the_last_bit(cls):
    # The average is summed in the order the per-label counts are stored; a reset after many
    # labels must not leave them stored in another order than a new metric's.
    rng = random.Random(0)
    used, fresh = cls(), cls()
    for _ in range(3000):
        used.update(rng.randint(-1000, 1000), rng.randint(-1000, 1000))
    used.reset()
    for _ in range(200):
        pair = rng.randint(-3, 3) * rng.choice([1, 1000, 2**20]), rng.randint(-3, 3)
        for metric in (used, fresh):
            metric.update(*pair)
        assert used.get().hex() == fresh.get().hex()
