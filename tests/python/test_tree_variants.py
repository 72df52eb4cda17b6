"""The adaptive tree (whole-tree alternates driven by two ADWIN detectors) and EFDT (a Hoeffding
tree with its own defaults)."""
import itertools
import random
from collections import Counter

import _quelb_core as q
import pytest
from quelb.datasets import electricity


def real_stream(n):
    """The first n samples of the electricity stream."""
    return list(itertools.islice(electricity(), n))


def abrupt_stream(n, change, seed=0):
    """Four uniform features; before `change` the label is a + b > 1, afterwards one of four
    classes decided by c and d. 5% of the labels are noise."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        x = {name: rng.random() for name in "abcd"}
        if i < change:
            y = int(x["a"] + x["b"] > 1.0)
        else:
            y = int(x["c"] > 0.5) + 2 * int(x["d"] > 0.7)
        if rng.random() < 0.05:
            y = rng.randrange(2)
        rows.append((x, y))
    return rows


def answers(model, stream):
    """Test-then-train: every (predict_one, predict_proba_one) before learning the sample."""
    out = []
    for x, y in stream:
        out.append((model.predict_one(x), model.predict_proba_one(x)))
        model.learn_one(x, y)
    return out


# ---- The adaptive tree --------------------------------------------------------------------------

class ReferenceAdaptiveTree:
    """The adaptive tree's life cycle written out with the module's own tree and ADWIN."""

    def __init__(self, grace_period=200, split_confidence=1e-07, tie_threshold=0.05, nb_threshold=0,
                 max_depth=20, drift_delta=0.002, warning_delta=0.02, split_criterion="info_gain"):
        self.tree_options = (grace_period, split_confidence, tie_threshold, nb_threshold, max_depth,
                             split_criterion)
        self.drift_delta, self.warning_delta = drift_delta, warning_delta
        self.tree, self.alternate = self.new_tree(), None
        self.drift, self.warning = q.ADWIN(drift_delta), q.ADWIN(warning_delta)
        self.events = Counter()

    def new_tree(self):
        return q.HoeffdingTreeClassifier(*self.tree_options)

    def learn_one(self, x, y):
        error = float(self.tree.predict_one(x) != y)
        self.tree.learn_one(x, y)
        if self.alternate is not None:
            self.alternate.learn_one(x, y)
        self.warning.update(error)
        if self.warning.drift_detected and self.alternate is None:
            self.alternate, self.warning = self.new_tree(), q.ADWIN(self.warning_delta)
            self.events["warning"] += 1
        self.drift.update(error)
        if self.drift.drift_detected:
            self.events["promoted" if self.alternate is not None else "fresh"] += 1
            self.tree = self.alternate if self.alternate is not None else self.new_tree()
            self.alternate, self.drift, self.warning = None, q.ADWIN(self.drift_delta), q.ADWIN(self.warning_delta)


@pytest.mark.parametrize("stream, options, expected_events", [
    (real_stream(20000), {}, {"warning", "promoted"}),
    (abrupt_stream(8000, 4000), dict(grace_period=50, split_criterion="gini"), {"warning", "promoted"}),
    # A warning detector that never fires: every drift installs a fresh tree.
    (abrupt_stream(8000, 4000), dict(grace_period=50, warning_delta=0.0), {"fresh"}),
], ids=["electricity", "abrupt-gini", "abrupt-no-warning"])
def test_follows_the_reference_life_cycle_exactly(stream, options, expected_events):
    model = q.HoeffdingAdaptiveTreeClassifier(**options)
    reference = ReferenceAdaptiveTree(**options)
    for x, y in stream:
        assert model.predict_one(x) == reference.tree.predict_one(x)
        assert model.predict_proba_one(x) == reference.tree.predict_proba_one(x)
        model.learn_one(x, y)
        reference.learn_one(x, y)
    assert set(reference.events) == expected_events, "the stream must exercise these transitions"


def test_recovers_after_an_abrupt_change():
    stream = abrupt_stream(10000, 5000, seed=1)
    hits = {}
    for name, model in [("adaptive", q.HoeffdingAdaptiveTreeClassifier(grace_period=50)),
                        ("plain", q.HoeffdingTreeClassifier(grace_period=50))]:
        hits[name] = [label == y for (label, _), (_, y) in zip(answers(model, stream), stream)]
    after = slice(8000, 10000)
    assert sum(hits["adaptive"][4000:5000]) / 1000 > 0.85
    assert sum(hits["adaptive"][after]) / 2000 > 0.9
    assert sum(hits["adaptive"][after]) > sum(hits["plain"][after]) + 100


def test_drift_without_warning_leaves_an_empty_tree():
    model = q.HoeffdingAdaptiveTreeClassifier(grace_period=50, warning_delta=0.0)
    probe = {"a": 0.5, "b": 0.5, "c": 0.5, "d": 0.5}
    drifts = []
    for i, (x, y) in enumerate(abrupt_stream(8000, 4000)):
        model.learn_one(x, y)
        if model.predict_proba_one(probe) == {}:
            assert model.predict_one(probe) == 0
            drifts.append(i)
    # The change at 4000 raises one; an error rate falling as the first tree learns may too.
    assert any(i >= 4000 for i in drifts)


def test_two_runs_agree_and_reset_restarts():
    stream = abrupt_stream(3000, 1500, seed=2)
    model = q.HoeffdingAdaptiveTreeClassifier(grace_period=30)
    first = answers(model, stream)
    model.reset()
    assert model.predict_proba_one(stream[0][0]) == {} and model.predict_one(stream[0][0]) == 0
    assert answers(model, stream) == first
    assert answers(q.HoeffdingAdaptiveTreeClassifier(grace_period=30), stream) == first


def test_options_and_checks():
    model = q.HoeffdingAdaptiveTreeClassifier(grace_period=10, split_confidence=0.1, tie_threshold=0.2,
                                              nb_threshold=5, max_depth=3, drift_delta=0.01, warning_delta=0.1,
                                              split_criterion="gini")
    assert isinstance(model, q.IClassifier)
    assert (model.grace_period, model.max_depth) == (10, 3)
    for name in ("grace_period", "max_depth"):
        setattr(model, name, 7)
        assert getattr(model, name) == 7
    with pytest.raises(ValueError, match="'grace_period' must be greater than 0."):
        q.HoeffdingAdaptiveTreeClassifier(grace_period=0)
    with pytest.raises(ValueError, match="grace_period"):
        model.grace_period = 0
    assert model.grace_period == 7
    with pytest.raises(TypeError):
        model.learn_one(x={"a": 1.0}, y=1)


def test_new_options_reach_only_new_trees():
    stream = abrupt_stream(600, 600)

    def n_distributions(model):
        # Majority-class leaves: one distribution everywhere means the tree is a single leaf.
        return len({tuple(sorted(model.predict_proba_one({"a": a, "b": a}).items())) for a in (0.05, 0.5, 0.95)})

    # No detector ever fires, so the first tree stays; a high tie threshold lets it split early.
    model = q.HoeffdingAdaptiveTreeClassifier(grace_period=20, tie_threshold=0.5, nb_threshold=10**9,
                                              drift_delta=0.0, warning_delta=0.0)
    answers(model, stream[:10])
    model.max_depth = 0
    answers(model, stream[10:])
    assert n_distributions(model) > 1  # the tree made before the change still grows
    model.reset()
    answers(model, stream)
    assert n_distributions(model) == 1


# ---- EFDT ---------------------------------------------------------------------------------------

def test_efdt_is_a_hoeffding_tree_with_its_own_defaults():
    tree = q.EFDTClassifier()
    assert isinstance(tree, q.HoeffdingTreeClassifier) and isinstance(tree, q.IClassifier)
    assert (tree.grace_period, tree.split_confidence, tree.tie_threshold, tree.max_depth) == (200, 1e-05, 0.05, 20)
    assert (tree.split_criterion, tree.leaf_prediction) == ("info_gain", "nba")
    with pytest.raises(TypeError):
        q.EFDTClassifier(split_criterion="gini")
    with pytest.raises(ValueError, match="grace_period"):
        q.EFDTClassifier(grace_period=0)
    tree.split_criterion = "gini"  # inherited property, still writable
    assert tree.split_criterion == "gini"
    # Usable wherever a classifier is expected.
    pipeline = q.ClassificationPipeline([q.StandardScaler()], q.EFDTClassifier())
    pipeline.learn_one({"a": 1.0}, 1)
    assert pipeline.predict_one({"a": 1.0}) == 1


@pytest.mark.parametrize("options", [{}, dict(grace_period=50, tie_threshold=0.1, nb_threshold=20, max_depth=4)])
def test_efdt_equals_the_base_tree_with_equal_options(options):
    stream = real_stream(15000)
    efdt = q.EFDTClassifier(**options)
    base = q.HoeffdingTreeClassifier(split_confidence=1e-05, split_criterion="info_gain", **options)
    efdt_answers = answers(efdt, stream)
    assert efdt_answers == answers(base, stream)
    assert len({tuple(sorted(proba.items())) for _, proba in efdt_answers}) > 100, "the tree must grow"
