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


def eddm_flags(detector, outcomes):
    flags = []
    for x in outcomes:
        detector.update(x)
        flags.append((detector.warning_detected, detector.drift_detected))
    return flags


class TestEDDM:
    def test_constructor_checks_alpha_against_beta(self):
        with pytest.raises(ValueError, match=r"^'alpha' must be greater or equal to 'beta'\.$"):
            q.EDDM(alpha=0.8, beta=0.9)
        d = q.EDDM(alpha=0.9, beta=0.9)
        d.beta = 0.99  # properties are not checked
        assert (d.warm_start, d.alpha, d.beta) == (30, 0.9, 0.99)

    SEQUENCE = [1 if i in {10, 20, 30, 31, 32, 33, 34} else 0 for i in range(1, 35)]

    def test_warning_then_drift(self):
        flags = eddm_flags(q.EDDM(warm_start=2), self.SEQUENCE)
        assert all(f == (False, False) for f in flags[:32])  # new maximum at 31, ratio in [0.95, 1) at 32
        assert flags[32] == (True, False)  # sample 33
        assert flags[33] == (True, True)  # sample 34

    def test_update_after_drift_restarts_and_counts_as_first_sample(self):
        d = q.EDDM(warm_start=2)
        eddm_flags(d, self.SEQUENCE)
        # Errors at samples 2, 3, 4 of a fresh run (distances 2, 1, 1) drift at sample 4; with
        # the restarting update miscounted the first distance would differ and nothing would flag.
        tail = [0, 1, 1, 1]
        assert eddm_flags(d, tail) == [(False, False)] * 3 + [(False, True)]
        assert eddm_flags(q.EDDM(warm_start=2), tail) == [(False, False)] * 3 + [(False, True)]

    def test_errors_only_never_flag(self):
        d = q.EDDM()
        assert not any(w or dr for w, dr in eddm_flags(d, [1] * 500))

    def test_other_values_are_correct_predictions(self):
        stream = [1 if i % 7 == 0 or i > 300 and i % 2 == 0 else 0 for i in range(1, 600)]
        reference = eddm_flags(q.EDDM(warm_start=5), stream)
        assert any(dr for _, dr in reference)
        for other in (0, 2, -1, 2**31 - 1):
            assert eddm_flags(q.EDDM(warm_start=5), [x if x == 1 else other for x in stream]) == reference

    def test_nothing_before_the_warm_start_is_exceeded(self):
        # Sparse errors then errors at every sample: a short warm start flags early, the default
        # one only at the 31st error.
        stream = [1 if i in (10, 20, 30, 40, 50) or i > 50 else 0 for i in range(1, 120)]

        def first_flag(detector):
            for i, x in enumerate(stream, start=1):
                detector.update(x)
                if detector.warning_detected or detector.drift_detected:
                    return i, sum(stream[:i])
            return None

        assert first_flag(q.EDDM(warm_start=2)) == (55, 10)
        assert first_flag(q.EDDM()) == (76, 31)

    def test_reset_keeps_options(self):
        d = q.EDDM(warm_start=3, alpha=0.7, beta=0.6)
        d.warm_start = 4
        for x in (1, 0, 1, 1, 0, 1):
            d.update(x)
        d.reset()
        assert (d.warm_start, d.alpha, d.beta) == (4, 0.7, 0.6)
        assert (d.warning_detected, d.drift_detected) == (False, False)

    def test_bad_arguments(self):
        d = q.EDDM()
        for bad in (1.0, "1", None, 2**31):
            with pytest.raises(TypeError):
                d.update(bad)
        with pytest.raises(TypeError):
            q.EDDM(warm_start=2.5)
        with pytest.raises(AttributeError):
            d.drift_detected = True
