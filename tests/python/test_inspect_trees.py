"""Inspection of the trees: to_dict, to_dot, explain_one and the counts agree with each other and
with what the tree answers, after learning a drifting stream with missing features."""
import math

import _quelb_core as q
import pytest

from test_determinism import drifting_stream

TREES = {
    "HoeffdingTreeClassifier": (lambda: q.HoeffdingTreeClassifier(grace_period=50, split_confidence=0.01), 1),
    "HoeffdingTreeClassifier_mc": (lambda: _with(q.HoeffdingTreeClassifier(grace_period=50, split_confidence=0.01),
                                                 leaf_prediction="mc"), 1),
    "EFDTClassifier": (lambda: q.EFDTClassifier(grace_period=50, split_confidence=0.01), 1),
    "HoeffdingAdaptiveTreeClassifier": (lambda: q.HoeffdingAdaptiveTreeClassifier(grace_period=50,
                                                                                   split_confidence=0.01), 2),
    "SGTClassifier": (lambda: q.SGTClassifier(grace_period=50), 1),
    "HoeffdingTreeRegressor": (lambda: q.HoeffdingTreeRegressor(grace_period=50, split_confidence=0.01, split_criterion="variance_reduction"), 3),
    "HoeffdingTreeRegressor_mean": (lambda: _with(q.HoeffdingTreeRegressor(grace_period=50, split_confidence=0.01, split_criterion="variance_reduction"),
                                                  leaf_prediction="mean"), 3),
    "FIMTDDRegressor": (lambda: q.FIMTDDRegressor(grace_period=50, split_confidence=0.01,
                                                  page_hinckley_threshold=5.0, alternate_tree_t_min=20), 3),
}
# Answers that do not depend on the sample beyond the leaf it reaches.
LEAF_ANSWERS = {"majority_class", "mean", "score"}


def _with(model, **options):
    for name, value in options.items():
        setattr(model, name, value)
    return model


def nodes(d, alternates=True):
    """Every node dict of a tree, parents first."""
    pending = [d]
    while pending:
        node = pending.pop()
        yield node
        pending += [node[k] for k in ("right", "left") if k in node]
        if alternates and "alternate" in node:
            pending.append(node["alternate"])


def height(d):
    return 0 if "left" not in d else 1 + max(height(d["left"]), height(d["right"]))


@pytest.fixture(scope="module")
def stream():
    return drifting_stream(5, 3000)


@pytest.mark.parametrize("name", sorted(TREES))
def test_inspection_agrees_with_the_tree(name, stream):
    make, target = TREES[name]
    model = make()
    saw_alternate = False
    for i, step in enumerate(stream):
        model.learn_one(step[0], step[target])
        if i % 50 == 0:
            saw_alternate |= any("alternate" in n for n in nodes(model.to_dict()))
    tree = model.to_dict()
    main = list(nodes(tree, alternates=False))
    leaves = [n for n in main if "left" not in n]
    assert len(leaves) >= 2, "the stream should grow a tree"
    assert (model.n_nodes, model.n_leaves, model.height) == (len(main), len(leaves), height(tree))
    for node in nodes(tree):
        if "left" in node:
            assert node["samples_seen"] == node["left"]["samples_seen"] + node["right"]["samples_seen"]
        else:
            assert ("class_counts" in node) or ("mean" in node and "variance" in node) or ("score" in node)
    if name.startswith(("HoeffdingAdaptive", "FIMTDD")):
        assert saw_alternate
    all_nodes = list(nodes(tree))
    dot = model.to_dot()
    assert dot.startswith("digraph") and dot.count("->") == sum(
        2 * ("left" in n) + ("alternate" in n) for n in all_nodes)

    samples = [s[0] for s in stream[::7]] + [{}, {"f0": math.nan, "f1": math.nan, "f2": math.nan}]
    samples += [{k: (math.nan if j % 2 else v) for j, (k, v) in enumerate(s[0].items())} for s in stream[:60]]
    by_id = {n["id"]: n for n in all_nodes}
    for x in samples:
        e = model.explain_one(x)
        predicted = model.predict_one(x)
        assert e["prediction"] == predicted
        node = tree
        for test in e["path"]:
            assert test["node"] == node["id"] and test["feature"] == node["feature"]
            assert (test["routing"] == "missing, read as 0.0") == (test["feature"] not in x)
            value = x.get(test["feature"], 0.0)
            assert test["value"] == value or (math.isnan(value) and test["routing"] == "NaN goes right")
            assert test["side"] == ("left" if value <= node["threshold"] else "right")
            node = node[test["side"]]
        assert "left" not in node and e["leaf"]["id"] == node["id"] and by_id[node["id"]] is not None
        if node["answer_mode"] in LEAF_ANSWERS:
            assert node["prediction"] == predicted


def test_fresh_trees_are_one_leaf():
    for name, (make, _) in TREES.items():
        model = make()
        assert (model.n_nodes, model.n_leaves, model.height) == (1, 1, 0), name
        assert model.explain_one({"a": 1.0})["path"] == []
