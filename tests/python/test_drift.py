import math

import _quelb_core as q
import pytest


def drift_points(detector, values):
    points = []
    for i, v in enumerate(values, start=1):
        detector.update(v)
        if detector.drift_detected:
            points.append(i)
    return points


STEP = [0.0] * 1000 + [1.0] * 1000


class TestADWIN:
    def test_fresh_and_reset_state(self):
        d = q.ADWIN()
        for _ in range(2):
            assert (d.width, d.estimation, d.variance, d.drift_detected) == (0.0, 0.0, 0.0, False)
            for v in STEP[990:1100]:
                d.update(v)
            d.reset()

    def test_window_statistics_without_cuts(self):
        d = q.ADWIN()
        for v in range(1, 7):
            d.update(v)
        assert d.width == 6.0
        assert d.estimation == 3.5
        assert d.variance == pytest.approx(35 / 12, rel=1e-15)
        values = [math.sin(i) for i in range(300)]
        d.reset()
        for v in values:
            d.update(v)
        mean = sum(values) / len(values)
        assert d.width == 300.0
        assert d.estimation == pytest.approx(mean, abs=1e-12)
        assert d.variance == pytest.approx(sum((v - mean) ** 2 for v in values) / 300, rel=1e-9)

    def test_step_is_cut_at_three_ticks(self):
        d = q.ADWIN()
        assert drift_points(d, STEP[:1024]) == [1024]
        assert d.width == 56.0
        assert d.estimation == pytest.approx(24 / 56, rel=1e-15)
        assert drift_points(d, STEP[1024:]) == [1056 - 1024, 1088 - 1024]

    def test_cuts_only_on_clock_ticks_after_grace(self):
        # An abrupt jump from the very start: checks happen only at multiples of the clock.
        points = drift_points(q.ADWIN(clock=7), [0.0] * 20 + [100.0] * 200)
        assert points and all(p % 7 == 0 for p in points)
        # Nothing before the window exceeds the grace period, even with a clock of 1.
        d = q.ADWIN(clock=1, grace_period=50, min_window_length=1)
        assert drift_points(d, [0.0] * 25 + [100.0] * 25) == []
        assert drift_points(d, [100.0]) == [1]

    def test_constant_stream_never_drifts(self):
        assert drift_points(q.ADWIN(), [0.7] * 3000) == []

    def test_delta_property_changes_later_tests_and_survives_reset(self):
        d = q.ADWIN()
        d.delta = 1e-300  # an extremely demanding confidence makes the step undetectable
        assert d.delta == 1e-300
        assert drift_points(d, STEP) == []
        d.reset()
        assert d.delta == 1e-300
        d.delta = 0.002
        assert drift_points(d, STEP) == [1024, 1056, 1088]

    def test_bad_arguments(self):
        for kwargs in ({"clock": 0}, {"clock": -1}, {"max_buckets": 1}, {"max_buckets": 0}):
            with pytest.raises(ValueError):
                q.ADWIN(**kwargs)
        with pytest.raises(TypeError):
            q.ADWIN(clock=1.5)
        d = q.ADWIN()
        d.update(1.0)
        for bad in ("1", None, [1.0]):
            with pytest.raises(TypeError):
                d.update(bad)
        with pytest.raises(AttributeError):
            d.width = 3.0
        with pytest.raises(TypeError):
            d.delta = "x"
        d.update(True)  # ints and bools are numbers
        assert d.width == 2.0
