import math
import random

import _quelb_core as q
import pytest


def direct_scores(pairs):
    """Accuracy and macro F1 of a list of (predicted, actual) pairs, computed from scratch."""
    if not pairs:
        return 0.0, 0.0
    accuracy = sum(p == a for p, a in pairs) / len(pairs)
    labels = sorted({label for pair in pairs for label in pair if label >= 0})
    f1 = []
    for label in labels:
        tp = sum(p == a == label for p, a in pairs)
        fp = sum(p == label != a for p, a in pairs)
        fn = sum(a == label != p for p, a in pairs)
        f1.append(2 * tp / (2 * tp + fp + fn))
    return accuracy, (sum(f1) / len(f1) if f1 else 0.0)


class TestWindowMetric:
    def test_eviction_example(self):
        m = q.WindowMetric(3)
        for p, a in ((1, 1), (2, 1), (1, 1), (2, 2)):
            m.update(p, a)
        assert m.size() == 3
        assert m.accuracy() == pytest.approx(2 / 3, rel=1e-15)
        assert m.macro_f1() == pytest.approx(2 / 3, rel=1e-15)
        assert m.get() == m.accuracy() and m.get(7) == m.accuracy() and m.get(-1) == m.accuracy()
        assert m.get(1) == m.macro_f1() and m.get(metric=1) == m.macro_f1()

    def test_empty_reset_and_degenerate_sizes(self):
        fresh = q.WindowMetric()
        assert (fresh.size(), fresh.accuracy(), fresh.macro_f1(), fresh.get(1)) == (0, 0.0, 0.0, 0.0)
        m = q.WindowMetric(4)
        for p, a in ((1, 2), (3, 3), (0, 0)):
            m.update(p, a)
        m.reset()
        assert (m.size(), m.accuracy(), m.macro_f1()) == (0, 0.0, 0.0)
        m.update(5, 5)
        assert (m.size(), m.accuracy(), m.macro_f1()) == (1, 1.0, 1.0)
        for size in (0, -5):
            m = q.WindowMetric(size)
            for _ in range(3):
                m.update(1, 1)
            assert (m.size(), m.accuracy(), m.macro_f1()) == (0, 0.0, 0.0)

    def test_negative_labels_count_for_accuracy_only(self):
        m = q.WindowMetric()
        m.update(-1, -1)
        assert (m.accuracy(), m.macro_f1()) == (1.0, 0.0)
        m.update(-1, 2)  # label 2: fn 1 -> F1 0
        assert (m.accuracy(), m.macro_f1()) == (0.5, 0.0)

    def test_evicted_labels_no_longer_count(self):
        m = q.WindowMetric(2)
        m.update(7, 3)
        m.update(1, 1)
        assert m.macro_f1() == pytest.approx(1 / 3)
        m.update(1, 1)  # (7, 3) leaves the window
        assert m.macro_f1() == 1.0

    def test_huge_labels_cost_no_memory_and_score_the_same(self):
        huge = [2_000_000_000, 2**31 - 1, 4096, 4095, 70_000]
        m = q.WindowMetric(5)
        m.update(huge[0], huge[0])
        assert (m.accuracy(), m.macro_f1()) == (1.0, 1.0)
        m.update(huge[1], huge[0])
        assert m.macro_f1() == pytest.approx((2 / 3 + 0.0) / 2)
        # A long stream mixing small, large and negative labels agrees with a direct computation.
        rng = random.Random(7)
        choices = [0, 1, 2, 3, 4000, -1] + huge
        m = q.WindowMetric(50)
        pairs = []
        for i in range(2000):
            a = rng.choice(choices)
            p = a if rng.random() < 0.6 else rng.choice(choices)
            m.update(p, a)
            pairs.append((p, a))
            if i % 97 == 0 or i > 1990:
                accuracy, f1 = direct_scores(pairs[-50:])
                assert m.accuracy() == pytest.approx(accuracy, rel=1e-12)
                assert m.macro_f1() == pytest.approx(f1, rel=1e-12)

    def test_bad_arguments(self):
        m = q.WindowMetric(3)
        m.update(1, 1)
        for bad in ((1.0, 1), (1, "1"), (2**31, 0), (None, 1)):
            with pytest.raises(TypeError):
                m.update(*bad)
        for bad in (1.5, "3", 2**31):
            with pytest.raises(TypeError):
                q.WindowMetric(bad)
        with pytest.raises(TypeError):
            m.get(1.0)
        assert (m.size(), m.accuracy()) == (1, 1.0)


class TestWindowRegressionMetric:
    def test_eviction_example(self):
        m = q.WindowRegressionMetric(2)
        for t, p in ((1.0, 0.0), (0.0, 2.0), (5.0, 5.0)):
            m.update(t, p)
        assert m.size() == 2
        assert m.mae() == 1.0 and m.get() == 1.0 and m.get(3) == 1.0
        assert m.rmse() == pytest.approx(math.sqrt(2), rel=1e-15) and m.get(1) == m.rmse()

    def test_empty_reset_and_degenerate_sizes(self):
        assert (q.WindowRegressionMetric().mae(), q.WindowRegressionMetric().rmse()) == (0.0, 0.0)
        m = q.WindowRegressionMetric(3)
        m.update(4.0, 1.0)
        m.reset()
        assert (m.size(), m.mae(), m.rmse()) == (0, 0.0, 0.0)
        m.update(y_pred=1.0, y_true=3.0)
        assert (m.size(), m.mae(), m.rmse()) == (1, 2.0, 2.0)
        for size in (0, -5):
            m = q.WindowRegressionMetric(size)
            m.update(1.0, 5.0)
            assert (m.size(), m.mae(), m.rmse()) == (0, 0.0, 0.0)

    def test_long_stream_agrees_with_direct_computation(self):
        window = 100
        m = q.WindowRegressionMetric(window)
        errors = []
        rng = random.Random(11)
        for i in range(25 * window + 37):
            t, p = rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3)
            m.update(t, p)
            errors.append(t - p)
            if i % 53 == 0:
                last = errors[-window:]
                assert m.size() == len(last)
                assert m.mae() == pytest.approx(sum(map(abs, last)) / len(last), rel=1e-9)
                assert m.rmse() == pytest.approx(math.sqrt(sum(e * e for e in last) / len(last)), rel=1e-9)

    def test_large_evicted_error_never_makes_scores_negative_or_nan(self):
        m = q.WindowRegressionMetric(3)
        for t in (1e20, 0.3, 0.0, 0.0):
            m.update(t, 0.0)
        # The window holds 0.3, 0, 0 ... then 0, 0, 0: the running sums lost 0.3 to the huge error.
        m.update(0.0, 0.0)
        assert (m.mae(), m.rmse()) == (0.0, 0.0)

    def test_non_finite_errors_leave_with_the_periodic_recomputation(self):
        m = q.WindowRegressionMetric(4)
        m.update(math.inf, 0.0)
        assert m.mae() == math.inf
        for _ in range(8):
            m.update(1.0, 0.0)
        assert (m.mae(), m.rmse()) == (1.0, 1.0)

    def test_bad_arguments(self):
        m = q.WindowRegressionMetric(3)
        m.update(2.0, 1.0)
        for bad in (("1", 1.0), (1.0, None), (10**400, 1.0)):
            with pytest.raises(TypeError):
                m.update(*bad)
        assert (m.size(), m.mae()) == (1, 1.0)
