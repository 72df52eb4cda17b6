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


def flag_trace(detector, values):
    """(warning, drift) after each value; detectors without a warning level report False."""
    out = []
    for v in values:
        detector.update(v)
        out.append((getattr(detector, "warning_detected", False), detector.drift_detected))
    return out


def flagged(trace, which):
    return [i for i, flags in enumerate(trace, start=1) if flags[which]]


class TestDDM:
    def test_warning_then_drift_on_a_hand_checked_stream(self):
        # The minimum p + s is recorded at sample 4 (p 0.25, s 0.2165): the warning level is
        # 0.683, the drift level 0.8995; p + s passes them at samples 6 (0.704) and 15 (0.903).
        trace = flag_trace(q.DDM(warm_start=4), [0, 0, 0, 1] + [1] * 12)
        assert flagged(trace, 0) == list(range(6, 15))
        assert flagged(trace, 1) == [15]

    def test_restarts_after_a_drift_and_waits_for_the_warm_start(self):
        d = q.DDM(warm_start=4)
        flag_trace(d, [0, 0, 0, 1] + [1] * 11)
        # Fresh: the same stream flags at the same samples again.
        assert flagged(flag_trace(d, [0, 0, 0, 1] + [1] * 11), 1) == [15]
        # Equal to the minimum is no change: an error-free stream never flags.
        assert flagged(flag_trace(q.DDM(warm_start=3), [0] * 50), 1) == []
        with pytest.raises(ValueError, match="'drift_threshold' must be greater or equal to 'warning_threshold'"):
            q.DDM(warning_threshold=3.5)


STEP_UP = [0.0] * 20 + [1.0] * 10
RISE = [0.0] * 40 + [1.0] * 40


class TestHDDM:
    def test_average_test_on_a_hand_checked_step(self):
        # After 20 zeros the cut stays at 20; with j ones the mean j / (20 + j) meets the
        # warning bound sqrt(j / (20 (20 + j)) / 2 ln 200) at j = 4, the drift bound at j = 5.
        trace = flag_trace(q.HDDM_A(), STEP_UP)
        assert (flagged(trace, 0), flagged(trace, 1)) == ([24], [25])

    def test_one_sided_tests_ignore_decreases(self):
        for cls in (q.HDDM_A, q.HDDM_W):
            up = flagged(flag_trace(cls(), RISE), 1)
            assert up and flagged(flag_trace(cls(), [1.0 - v for v in RISE]), 1) == []
            # Decreases are the same test on the negated values.
            assert flagged(flag_trace(cls(two_sided_test=True), [-v for v in RISE]), 1) == up

    def test_weighted_test_waits_for_the_new_average_to_settle(self):
        # The average since the cut starts with weight 1 on its first value; its squared
        # weights fall as 0.05^2 + 0.95^2 D, below the drift bound's need after 15 ones.
        trace = flag_trace(q.HDDM_W(), [0.0] * 200 + [1.0] * 20)
        assert (flagged(trace, 0), flagged(trace, 1)) == ([212, 213, 214], [215])

    def test_confidences_are_checked(self):
        for name in ("drift_confidence", "warning_confidence"):
            d = q.HDDM_W()
            for bad in (0.0, 1.0, math.nan):
                with pytest.raises(ValueError, match=f"'{name}'"):
                    setattr(d, name, bad)
            assert getattr(d, name) in (0.001, 0.005)
        with pytest.raises(ValueError, match="'lambda_value'"):
            q.HDDM_W(lambda_value=1.5)


class TestPageHinkley:
    # Ten zeros then ones: with alpha 1 and delta 0 the upward sum grows by 1 - j / (10 + j)
    # at the j-th one: 0.909, 1.742, 2.511.
    STREAM = [0.0] * 10 + [1.0] * 10

    def test_up_down_and_both(self):
        def drifts(**options):
            return flagged(flag_trace(q.PageHinkley(warm_start=1, delta=0.0, threshold=2.0, alpha=1.0, **options),
                                      self.STREAM), 1)

        assert drifts() == drifts(mode="up") == [13]
        assert drifts(mode="down") == []
        mirrored = flag_trace(q.PageHinkley(warm_start=1, delta=0.0, threshold=2.0, alpha=1.0, mode="down"),
                              [1.0 - v for v in self.STREAM])
        assert flagged(mirrored, 1) == [13]

    def test_warm_start_and_restart(self):
        d = q.PageHinkley(warm_start=16, delta=0.0, threshold=2.0, alpha=1.0)
        assert flagged(flag_trace(d, self.STREAM[:16]), 1) == [16]
        assert d.estimation == 6 / 16
        d.update(5.0)  # the next update starts afresh
        assert (d.estimation, d.drift_detected) == (5.0, False)
        with pytest.raises(ValueError, match="'mode'"):
            d.mode = "sideways"
        assert d.mode == "both"


class TestKSWIN:
    def test_step_is_found_once_the_recent_values_differ_enough(self):
        # The window is full at sample 100, all zeros. From 101 ones enter the last 30 values
        # while the sample of the older ones stays all zeros: the distance j / 30 exceeds
        # sqrt(-ln(0.005) / 30) = 0.420 at j = 13, whatever is drawn.
        for seed in (0, 1, -5):
            d = q.KSWIN(seed=seed)
            trace = flag_trace(d, [0.0] * 100 + [1.0] * 60)
            assert flagged(trace, 1) == [113]
            assert d.width == 30 + 47  # the window kept the last 30 values only

    def test_seeded_draws_repeat_and_reset_reseeds(self):
        import random
        r = random.Random(4)
        values = [r.gauss(0.0, 1.0) for _ in range(3000)]
        a, b = q.KSWIN(alpha=0.1, seed=9), q.KSWIN(alpha=0.1, seed=9)
        first = flag_trace(a, values)
        assert flagged(first, 1), "alpha 0.1 signals on a stationary stream now and then"
        assert flag_trace(b, values) == first
        a.reset()
        assert flag_trace(a, values) == first
        assert flag_trace(q.KSWIN(alpha=0.1, seed=10), values) != first

    def test_sizes_are_checked(self):
        with pytest.raises(ValueError, match="'window_size' must be at least twice 'stat_size'"):
            q.KSWIN(window_size=59)
        with pytest.raises(ValueError, match="'alpha'"):
            q.KSWIN(alpha=1.0)
        with pytest.raises(AttributeError):
            q.KSWIN().window_size = 10
