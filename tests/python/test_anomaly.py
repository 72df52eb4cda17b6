"""Half-space trees, the anomaly pipeline, the ROC AUC metrics and anomaly detection runs."""
import math
import random

import _quelb_core as q
import pytest

import quelb
from quelb import synth
from quelb.errors import UsageError


def brute_force_auc(pairs):
    pos = [s for y, s in pairs if y == 1 and not math.isnan(s)]
    neg = [s for y, s in pairs if y != 1 and not math.isnan(s)]
    if not pos or not neg:
        return 0.5
    wins = sum(1.0 if p > n else 0.5 if p == n else 0.0 for p in pos for n in neg)
    return wins / (len(pos) * len(neg))


class TestROCAUC:
    PAIRS = [(1, 0.9), (0, 0.8), (1, 0.7), (0, 0.7), (7, 0.1)]

    def test_hand_checked_pairs_with_a_tie(self):
        m = q.ROCAUC()
        assert m.get() == 0.5
        for y, s in self.PAIRS:
            m.update(y, s)
        # Positives 0.9 and 0.7 against 0.8, 0.7, 0.1: 3 + (0 + 0.5 + 1) of 6 pairs.
        assert m.get() == 0.75
        m.update(1, math.nan)  # ignored
        m.update(0, -0.0)      # ties with 0.0, below both positives
        m.update(1, 0.0)
        assert m.get() == brute_force_auc(self.PAIRS + [(0, 0.0), (1, 0.0)])

    def test_window_scores_the_last_pairs(self):
        for size, expected in ((2, 0.5), (4, 0.5), (5, 0.75), (0, 0.5)):
            m = q.WindowROCAUC(size)
            for y, s in self.PAIRS:
                m.update(y, s)
            assert (m.get(), m.size()) == (expected, max(size, 0) and min(size, 5))

    def test_matches_brute_force_whenever_read(self):
        r = random.Random(3)
        cumulative, window = q.ROCAUC(), q.WindowROCAUC(50)
        pairs = []
        for i in range(400):
            pair = (r.choice([0, 1, 1, 2]), round(r.random(), 1) if i % 9 else math.inf)
            pairs.append(pair)
            cumulative.update(*pair)
            window.update(*pair)
            if r.random() < 0.2:
                assert cumulative.get() == pytest.approx(brute_force_auc(pairs), abs=1e-12)
                assert window.get() == pytest.approx(brute_force_auc(pairs[-50:]), abs=1e-12)


class TestHalfSpaceTrees:
    def test_masses_move_to_the_reference_every_window(self):
        # One tree of height 1: the root splits at s in (0, 1), so -10 and 10 lie on either side.
        d = q.HalfSpaceTrees(n_trees=1, height=1, window_size=2)
        d.learn_one({"a": -10.0})
        assert d.score_one({"a": -10.0}) == 0.0  # no reference window yet
        d.learn_one({"a": -10.0})
        # Reference: 2 at the root, 2 in the left leaf. Score 1 - log2(1 + 2 * 2) / log2(1 + 2 * 2).
        assert (d.score_one({"a": -10.0}), d.score_one({"a": 10.0})) == (0.0, 1.0)
        d.learn_one({"a": 10.0})
        assert (d.score_one({"a": -10.0}), d.score_one({"a": 10.0})) == (0.0, 1.0)
        d.learn_one({"a": 10.0})
        assert (d.score_one({"a": -10.0}), d.score_one({"a": 10.0})) == (1.0, 0.0)
        # Window of 4 with masses 3 and 1: the right leaf scores 1 - log2(1 + 2) / log2(1 + 8).
        d = q.HalfSpaceTrees(n_trees=1, height=1, window_size=4)
        for v in (-10.0, -10.0, -10.0, 10.0):
            d.learn_one({"a": v})
        assert d.score_one({"a": 10.0}) == pytest.approx(0.5, abs=1e-15)

    def test_limits_scale_features_and_the_feature_set_is_fixed_by_the_first_sample(self):
        r = random.Random(5)
        rows = [{"a": r.random(), "b": r.random()} for _ in range(300)]
        plain = q.HalfSpaceTrees(n_trees=5, height=6, window_size=50, seed=3)
        scaled = q.HalfSpaceTrees(n_trees=5, height=6, window_size=50, seed=3, limits={"b": (0.0, 2.0)})
        for x in rows:
            wide = {"b": 2.0 * x["b"], "a": x["a"], "late": r.random()}
            assert plain.score_one(x) == scaled.score_one(wide)
            plain.learn_one(x)
            scaled.learn_one(wide if x is not rows[0] else {"a": x["a"], "b": 2.0 * x["b"]})
        assert scaled.features == ["a", "b"] and scaled.limits == {"b": (0.0, 2.0)}
        assert q.HalfSpaceTrees(limits={"z": (-1, 1)}).limits == {"z": (-1.0, 1.0)}
        for bad in ([("a", (0, 1))], {"a": (0, 1, 2)}, {"a": "01"}, {1: (0, 1)}):
            with pytest.raises(TypeError, match="'limits'"):
                q.HalfSpaceTrees(limits=bad)
        with pytest.raises(ValueError, match="'limits'"):
            q.HalfSpaceTrees(limits={"a": (0.0, math.inf)})

    def test_seeds_draw_different_trees(self):
        rows = list(synth.ClusterAnomalies(n_samples=600, seed=1))

        def scores(seed):
            d = q.HalfSpaceTrees(n_trees=3, height=8, window_size=100, seed=seed)
            out = []
            for x, _ in rows:
                out.append(d.score_one(x))
                d.learn_one(x)
            return out

        assert scores(1) == scores(1) != scores(2)


def test_pipeline_scores_what_its_steps_make_and_refuses_supervised_steps():
    rows = list(synth.ClusterAnomalies(n_samples=400, seed=2))
    scaler, alone = q.MinMaxScaler(), q.HalfSpaceTrees(n_trees=4, height=8, window_size=50)
    pipeline = q.AnomalyPipeline([q.MinMaxScaler()], q.HalfSpaceTrees(n_trees=4, height=8, window_size=50))
    for x, _ in rows:
        assert pipeline.score_one(x) == alone.score_one(scaler.transform_one(x))
        pipeline.learn_one(x)
        scaler.learn_one(x)
        alone.learn_one(scaler.transform_one(x))
    with pytest.raises(ValueError, match="supervised"):
        q.AnomalyPipeline([q.SelectKBest(k=2)], q.HalfSpaceTrees())
    with pytest.raises(TypeError, match="'learner' must be an anomaly detector"):
        q.AnomalyPipeline([], q.NaiveBayes())


def test_prequential_scores_anomaly_detectors_with_roc_auc():
    stream = synth.ClusterAnomalies(n_samples=5000, seed=7)
    labels = [y for _, y in stream]
    assert 0 < sum(labels) < 150
    run = quelb.prequential({"hst": q.HalfSpaceTrees(seed=1)}, stream, progress=False)
    assert run.metrics == ["ROCAUC"]
    assert run.results["hst"]["ROCAUC"] >= 0.9
    with pytest.raises(UsageError, match="cannot be evaluated together"):
        quelb.prequential([q.HalfSpaceTrees(), q.NaiveBayes()], stream)
    with pytest.raises(UsageError, match="anomaly detector and needs int labels"):
        quelb.prequential(q.HalfSpaceTrees(), [({"a": 1.0}, 0), ({"a": 1.0}, 0.5)])


def test_command_line_evaluates_anomaly_detectors(capsys):
    from quelb.__main__ import main

    status = main(["evaluate", "HalfSpaceTrees(n_trees=3, height=6)", "-d", "ClusterAnomalies(n_samples=600)",
                   "--no-progress"])
    lines = capsys.readouterr().out.splitlines()
    assert status == 0
    assert lines[0] == "ClusterAnomalies: 600 samples, 4 features, anomaly detection"
    assert lines[2].split() == ["model", "ROCAUC", "samples/s"]
    assert main(["list"]) == 0 and "anomaly detectors:\n  HalfSpaceTrees(" in capsys.readouterr().out


def test_cluster_anomalies_lie_away_from_the_clusters():
    def make():
        return synth.ClusterAnomalies(n_features=2, n_clusters=1, anomaly_rate=0.2, n_samples=2000, seed=4)

    stream = make()
    assert list(stream) == list(make())
    normal = [x for x, y in stream if y == 0]
    anomalies = [x for x, y in stream if y == 1]
    assert 330 < len(anomalies) < 470
    # One cluster: its centre is about the normal samples' mean; anomalies keep 4 std (0.2) away.
    centre = {k: sum(x[k] for x in normal) / len(normal) for k in ("x1", "x2")}
    assert all(max(abs(a[k] - centre[k]) for k in centre) > 0.19 for a in anomalies)
    assert all(0.0 <= a[k] <= 1.0 for a in anomalies for k in a)
    with pytest.raises(ValueError, match="cluster_std"):
        synth.ClusterAnomalies(cluster_std=0.2)
