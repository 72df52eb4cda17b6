"""repr, get_params and clone of every class: the repr is the constructor call that rebuilds the
object's options, and a clone is a fresh object with them that shares nothing with the original."""
import pickle

import _quelb_core as q
import pytest

from catalog import KINDS, bits, present_entries
from quelb.expressions import parse
from test_determinism import drifting_stream

CLASSES = {name: cls for name, cls in vars(q).items() if isinstance(cls, type)}
ENTRIES = present_entries()


def plain(value):
    """get_params with every object of the module replaced by (class name, its plain params)."""
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    if hasattr(value, "get_params"):
        return (type(value).__name__, plain(value.get_params()))
    return bits(value)


def changed(value):
    """Another value of an option that every check accepts more often than not."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value + 1
    if isinstance(value, float):
        return value / 2 if value else 0.25
    return None


def with_a_changed_property(obj):
    """obj with its first settable option changed, where the option takes the new value."""
    params = obj.get_params()
    for name in params:
        prop = getattr(type(obj), name, None)
        new = changed(params[name])
        if isinstance(prop, property) and prop.fset is not None and new is not None:
            try:
                setattr(obj, name, new)
                return obj
            except ValueError:
                continue
    return obj


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.id)
def test_repr_rebuilds_the_options(entry):
    obj = with_a_changed_property(entry.make())
    text = repr(obj)
    params = obj.get_params()
    options = vars(type(obj)).get("_options")
    if options is not None:
        assert list(params) == [name for name, _, _ in options]
    rebuilt = parse(text, CLASSES).make()
    assert type(rebuilt) is type(obj)
    assert plain(rebuilt.get_params()) == plain(params)
    assert repr(rebuilt) == text


def test_repr_texts():
    assert repr(q.HoeffdingTreeClassifier()) == (
        "HoeffdingTreeClassifier(grace_period=200, split_confidence=1e-07, tie_threshold=0.05, "
        "nb_threshold=0, max_depth=20, split_criterion='info_gain')")
    assert repr(q.NaiveBayes()) == "NaiveBayes()"
    assert repr(q.HoeffdingTreeRegressor(split_criterion="variance_reduction")).endswith(
        ", split_criterion='variance_reduction')")
    assert repr(q.ARFClassifier(n_threads=2)).endswith(", n_threads=2)")
    pipeline = q.ClassificationPipeline([q.StandardScaler(), q.OneHotEncoder(["a"])], q.NaiveBayes())
    assert repr(pipeline) == ("ClassificationPipeline([StandardScaler(with_std=True), OneHotEncoder(features=['a'], "
                              "sparse=False, drop_numeric=False)], NaiveBayes())")
    limited = q.HalfSpaceTrees(limits={"a": (0.0, 2.0)})
    assert repr(limited).endswith(", seed=0, limits={'a': (0.0, 2.0)})")
    assert q.HalfSpaceTrees().get_params()["limits"] is None
    # A pipeline's get_params holds its own parts.
    assert pipeline.get_params()["learner"] is pipeline.get_params()["learner"]


def observations(entry, obj, stream):
    kind = KINDS[entry.kind]
    out = []
    for x, y, y2, t, t2 in stream:
        out.append(bits(kind.observe(obj, x)))
        kind.feed(obj, x, y, y2, t, t2)
    return out


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.id)
def test_clone_is_a_fresh_object_sharing_nothing(entry):
    seed = {"seed": 7} if entry.seeded else {}
    stream = drifting_stream(3, 60 if entry.heavy else 200)
    original = entry.make(**seed)
    observations(entry, original, stream)
    clone = original.clone()
    assert type(clone) is type(original) and clone is not original
    assert plain(clone.get_params()) == plain(original.get_params())
    if "steps" in clone.get_params():
        parts = lambda p: p.get_params()["steps"] + [p.get_params()["learner"]]
        assert all(a is not b for a, b in zip(parts(clone), parts(original)))
    before = pickle.dumps(original)
    assert observations(entry, clone, stream) == observations(entry, entry.make(**seed), stream)
    assert pickle.dumps(original) == before  # training the clone left the original as it was
