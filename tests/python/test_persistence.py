"""Saved objects continue exactly where the original left off; damaged states are refused.

Every class of the catalog is trained on part of a drifting stream, copied (pickle protocols 2 to
5, and copy.deepcopy), and then the original and each copy are fed the same remaining stream,
which changes concept again: every result must agree to the last bit. Damaged states (cut short,
a bit flipped, another class's, a newer format's, not a state at all) raise ValueError and never
hand out an object. Classes without pickle support yet are skipped.
"""
import copy
import pickle
import random
import struct

import _quelb_core as q
import pytest

from catalog import BY_ID, KINDS, bits, present_entries
from test_determinism import drifting_stream, first_difference, trace

LENGTH, HEAVY_LENGTH = 600, 200
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def picklable(entry):
    # object has a default __getstate__ since Python 3.11, but no __setstate__.
    return hasattr(entry.cls, "__setstate__")


def entries():
    return present_entries()


def require_pickle(entry):
    if not picklable(entry):
        pytest.skip(f"{entry.name} has no pickle support yet")


def stream_for(entry, seed=1):
    return drifting_stream(seed, HEAVY_LENGTH if entry.heavy else LENGTH)


def trained(entry, steps, **overrides):
    kind = KINDS[entry.kind]
    obj = entry.make(**({"seed": 5} if entry.seeded else {}), **overrides)
    for step in steps:
        kind.feed(obj, *step)
    return obj


def copies(obj):
    return [pickle.loads(pickle.dumps(obj, protocol)) for protocol in PROTOCOLS] + [copy.deepcopy(obj)]


# ---- the promise: a copy continues bit for bit

@pytest.mark.parametrize("entry", entries(), ids=lambda e: e.id)
def test_copy_continues_exactly_like_the_original(entry):
    require_pickle(entry)
    kind = KINDS[entry.kind]
    stream = stream_for(entry)
    # Copied past the first change of concept, continued through the second.
    cut = len(stream) // 2
    original = trained(entry, stream[:cut])
    duplicates = copies(original)
    for duplicate in duplicates:
        assert type(duplicate) is type(original)
        assert pickle.dumps(duplicate) == pickle.dumps(original), "a copy saves a different state"
    expected = trace(kind, original, stream[cut:])
    for duplicate in duplicates:
        assert first_difference(trace(kind, duplicate, stream[cut:]), expected) is None
        # Nothing left unsaved has drifted apart by the end.
        assert pickle.dumps(duplicate) == pickle.dumps(original)


@pytest.mark.parametrize("entry", entries(), ids=lambda e: e.id)
def test_relay_of_copies_matches_an_uninterrupted_run(entry):
    """Saved and restored every few dozen steps, through both changes of concept: each restored
    object goes on learning exactly as the object that never stopped."""
    require_pickle(entry)
    kind = KINDS[entry.kind]
    stream = stream_for(entry, seed=4)
    expected = trace(kind, trained(entry, []), stream)
    relay, observed = trained(entry, []), []
    hop = len(stream) // 7
    for start in range(0, len(stream), hop):
        relay = pickle.loads(pickle.dumps(relay))
        observed += trace(kind, relay, stream[start:start + hop])[:-1]
    observed.append(bits(kind.observe(relay, {"f0": 0.25, "f3": -1.5})))
    assert first_difference(observed, expected) is None


@pytest.mark.parametrize("entry", entries(), ids=lambda e: e.id)
def test_fresh_object_round_trips(entry):
    require_pickle(entry)
    kind = KINDS[entry.kind]
    fresh = entry.make_default()
    restored = pickle.loads(pickle.dumps(fresh))
    stream = drifting_stream(6, 60)
    assert first_difference(trace(kind, restored, stream), trace(kind, fresh, stream)) is None


# ---- damaged states

M64 = (1 << 64) - 1
MIX = (0x9E3779B97F4A7C15, 0xBF58476D1CE4E5B9, 0x94D049BB133111EB)


def _finish(h):
    h ^= h >> 31
    h = h * MIX[1] & M64
    h ^= h >> 29
    h = h * MIX[2] & M64
    return h ^ (h >> 32)


def _checksum(data):
    h = _finish(len(data) ^ MIX[0])
    for i in range(0, len(data), 8):
        h = (h ^ int.from_bytes(data[i:i + 8], "little")) * MIX[1] & M64
        h = ((h << 27 | h >> 37) & M64) * MIX[0] & M64
    return _finish(h)


def split_envelope(sealed):
    """(version, class name, payload) of a sealed state: magic, u32 version, u64 name length,
    name, u64 payload length, u64 checksum, payload."""
    assert sealed[:4] == b"QLBS"
    version, name_length = struct.unpack_from("<IQ", sealed, 4)
    name = sealed[16:16 + name_length].decode()
    start = 16 + name_length + 16
    return version, name, sealed[start:]


def seal(name, version, payload):
    header = b"QLBS" + struct.pack("<IQ", version, len(name)) + name.encode() + struct.pack("<Q", len(payload))
    checksum = _finish((_checksum(header) * MIX[0] + _checksum(payload)) & M64)
    return header + struct.pack("<Q", checksum) + payload


def sealed_part(state):
    """The sealed bytes of a state (a pipeline's state is a tuple holding them first)."""
    return state[0] if isinstance(state, tuple) else state


def with_sealed(state, sealed):
    return (sealed,) + state[1:] if isinstance(state, tuple) else sealed


def restore(cls, state):
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj


def refused(cls, state, fragment):
    with pytest.raises(ValueError, match=fragment):
        cls.__new__(cls).__setstate__(state)


@pytest.mark.parametrize("entry", entries(), ids=lambda e: e.id)
def test_damaged_states_are_refused(entry):
    require_pickle(entry)
    cls = entry.cls
    obj = trained(entry, stream_for(entry)[:80])
    state = obj.__getstate__()
    sealed = sealed_part(state)
    assert pickle.dumps(restore(cls, state)) == pickle.dumps(obj)

    for cut in sorted({0, 3, 4, 10, 20, len(sealed) // 2, len(sealed) - 9, len(sealed) - 1}):
        refused(cls, with_sealed(state, sealed[:cut]), "truncated|not a saved")
    refused(cls, with_sealed(state, sealed + b"\0"), "corrupted")
    for bit in range(0, 8 * len(sealed), max(1, 8 * len(sealed) // 97)):
        flipped = bytearray(sealed)
        flipped[bit // 8] ^= 1 << (bit % 8)
        refused(cls, with_sealed(state, bytes(flipped)), cls.__name__)

    version, name, payload = split_envelope(sealed)
    assert name == cls.__name__ and version >= 1
    assert seal(name, version, payload) == sealed
    refused(cls, with_sealed(state, seal(name, version + 1, payload)),
            f"^{name} state has format version {version + 1}, newer than this build reads \\({version}\\)$")
    other = "EDDM" if name == "ADWIN" else "ADWIN"
    refused(cls, with_sealed(state, getattr(q, other)().__getstate__()), f"^state of {other} cannot restore a {name}$")
    # Well sealed, but not what the class wrote: every byte must be read, no more.
    refused(cls, with_sealed(state, seal(name, version, payload[:-1])), f"^corrupted {name} state: ")
    refused(cls, with_sealed(state, seal(name, version, payload + b"\0")), f"^corrupted {name} state: ")
    for garbage in (b"", b"garbage", 42, None, "text", (), [sealed]):
        refused(cls, garbage, f"not a saved {name} state")
    # Through pickle itself: loading fails and hands out nothing.
    damaged = bytearray(sealed)
    damaged[-1] ^= 4
    with pytest.raises(ValueError, match=f"corrupted {name} state"):
        pickle.loads(pickle.dumps(obj, 4).replace(sealed, bytes(damaged)))


# The families whose loading is checked against damage that keeps the envelope valid (a state
# forged with the checksum recomputed): the loader must refuse it or build a working object.
FORGERY_CHECKED = ["NaiveBayes", "Perceptron", "LogisticRegressionClassifier", "PassiveAggressiveClassifier",
                   "SoftmaxRegression", "KNNClassifier", "LinearRegression", "BayesianLinearRegression",
                   "PassiveAggressiveRegressor", "KNNRegressor", "StandardScaler", "MinMaxScaler", "MaxAbsScaler",
                   "VarianceThreshold", "SelectKBest", "OneHotEncoder", "OrdinalEncoder", "ClassificationPipeline", "RegressionPipeline", "Accuracy",
                   "MacroPrecision", "MacroRecall", "MacroF1", "MAE", "RMSE", "WindowMetric",
                   "WindowRegressionMetric", "R2", "ADWIN", "EDDM",
                   "HoeffdingTreeClassifier", "EFDTClassifier", "SGTClassifier", "ARFClassifier", "SRPClassifier",
                   "LeveragingBaggingClassifier", "HoeffdingAdaptiveTreeClassifier", "HoeffdingTreeRegressor",
                   "ARFRegressor", "SRPRegressor", "FIMTDDRegressor", "LeveragingBaggingRegressor", "SGBTClassifier",
                   "SGBRRegressor", "DDM", "HDDM_A", "HDDM_W", "PageHinkley", "KSWIN", "ROCAUC",
                   "WindowROCAUC", "HalfSpaceTrees", "AnomalyPipeline",
                   "HoeffdingTreeRegressor[split_criterion=variance_reduction]",
                   "ARFRegressor[split_criterion=variance_reduction]",
                   "SRPRegressor[split_criterion=variance_reduction]"]


@pytest.mark.parametrize("entry_id", FORGERY_CHECKED)
def test_forged_states_are_refused_or_work(entry_id):
    entry = BY_ID[entry_id]
    name = entry.name
    if not entry.present():
        pytest.skip(f"{name} is not in this build")
    kind = KINDS[entry.kind]
    stream = stream_for(entry)
    state = trained(entry, stream[:120]).__getstate__()
    version, _, payload = split_envelope(sealed_part(state))
    rng = random.Random(name)
    for _ in range(60):
        forged = bytearray(payload)
        for _ in range(rng.randint(1, 3)):
            forged[rng.randrange(len(forged))] ^= 1 << rng.randrange(8)
        try:
            obj = restore(entry.cls, with_sealed(state, seal(name, version, bytes(forged))))
        except ValueError as error:
            assert str(error).startswith(f"corrupted {name} state: "), error
            continue
        trace(kind, obj, stream[120:160])
        pickle.loads(pickle.dumps(obj))


@pytest.mark.parametrize("entry_id", ["EDDM", "DDM", "PageHinkley", "ADWIN", "NaiveBayes", "WindowRegressionMetric"])
def test_forged_extreme_counts_are_refused_or_work(entry_id):
    """Every 8 bytes of the payload forged to the extreme integers: counters that would overflow
    when counting on (found by the state fuzzer) must be refused."""
    entry = BY_ID[entry_id]
    name = entry.name
    kind = KINDS[entry.kind]
    stream = stream_for(entry)
    state = trained(entry, stream[:120]).__getstate__()
    version, _, payload = split_envelope(sealed_part(state))
    for offset in range(len(payload) - 7):
        for extreme in (struct.pack("<q", -2**63), struct.pack("<q", 2**63 - 1)):
            forged = payload[:offset] + extreme + payload[offset + 8:]
            try:
                obj = restore(entry.cls, with_sealed(state, seal(name, version, forged)))
            except ValueError as error:
                assert str(error).startswith(f"corrupted {name} state: "), error
                continue
            trace(kind, obj, stream[120:140])


def test_finished_families_pickle():
    """Classes without pickle support are skipped above; these must never be among them."""
    assert {e.id for e in present_entries(picklable)} >= set(FORGERY_CHECKED)


def test_boosters_made_before_an_option_changed_pickle():
    """A booster keeps the options of its creation, NaN included; a state says so and restores."""
    for model in (q.SGBRRegressor(seed=1), q.SGBTClassifier(seed=1)):
        model.learn_one({"a": 1.0}, 1)
        model.learning_rate = float("nan")
        model.n_models = 3
        copy = pickle.loads(pickle.dumps(model))
        assert pickle.dumps(copy) == pickle.dumps(model)


# ---- pipelines and their shared parts

def test_pipeline_keeps_sharing_within_one_pickle():
    scaler, selector, learner = q.StandardScaler(), q.VarianceThreshold(), q.NaiveBayes()
    pipeline = q.ClassificationPipeline([scaler, selector, scaler], learner)
    other = q.ClassificationPipeline([selector], learner)
    stream = drifting_stream(8, 400)
    for x, y, *_ in stream[:200]:
        pipeline.learn_one(x, y)
        other.learn_one(x, y)
    group = (pipeline, other, scaler, learner)
    saved = pickle.dumps(group)

    for restored in [pickle.loads(pickle.dumps(group, protocol)) for protocol in PROTOCOLS] + [copy.deepcopy(group)]:
        # Same sharing, same states: the group pickles to the same bytes.
        assert pickle.dumps(restored) == saved
        pipeline2, other2, scaler2, learner2 = restored
        reference = pickle.loads(saved)
        # The restored pipelines drive the restored parts: what they learn shows in the parts.
        for x, y, *_ in stream[200:]:
            for group_ in (reference, restored):
                group_[0].learn_one(x, y)
                group_[1].learn_one(x, y)
        probe = {"f0": 0.3, "f2": -1.0}
        assert bits(scaler2.transform_one(probe)) == bits(reference[2].transform_one(probe))
        assert bits(learner2.predict_proba_one(probe)) == bits(reference[3].predict_proba_one(probe))
        assert pickle.dumps(restored) == pickle.dumps(reference)
    # The copies share nothing with the originals.
    assert pickle.dumps(group) == saved


def test_pipeline_state_with_wrong_parts_is_refused():
    pipeline = q.RegressionPipeline([q.MinMaxScaler()], q.LinearRegression())
    sealed, step, learner = pipeline.__getstate__()
    refused(q.RegressionPipeline, (sealed, step), "corrupted RegressionPipeline state: step count")
    refused(q.RegressionPipeline, (sealed, learner, learner), "step 0 is not a transformer")
    refused(q.RegressionPipeline, (sealed, step, q.NaiveBayes()), "learner is not a regressor")
    refused(q.RegressionPipeline, (sealed, step, None), "learner is not a regressor")
    classification = q.ClassificationPipeline([], q.NaiveBayes()).__getstate__()
    refused(q.RegressionPipeline, classification, "state of ClassificationPipeline cannot restore")
    assert isinstance(restore(q.RegressionPipeline, (sealed, step, learner)), q.RegressionPipeline)


# ---- learning goes on after a drift

def test_restored_models_relearn_after_a_drift_and_detect_it_like_the_originals():
    """Saved on one concept and restored, models relearn the flipped concept exactly as the
    originals do, and restored detectors watching their errors fire at the same samples."""
    def sample(i):
        value = ((i * 7919) % 1000) / 500.0 - 1.0
        return {"a": value, "b": ((i * 104729) % 997) / 997.0}, int(value > 0)

    models = [q.LogisticRegressionClassifier(learning_rate=0.5), q.KNNClassifier(window_size=100),
              q.ClassificationPipeline([q.MinMaxScaler()], q.LogisticRegressionClassifier(learning_rate=0.5))]
    detectors = [q.ADWIN() for _ in models]
    warnings = [q.EDDM() for _ in models]
    for i in range(1000):
        x, y = sample(i)
        for model, detector, warning in zip(models, detectors, warnings):
            wrong = model.predict_one(x) != y
            detector.update(float(wrong))
            warning.update(int(wrong))
            model.learn_one(x, y)
    for parts in zip(models, detectors, warnings):
        copies_ = pickle.loads(pickle.dumps(parts))
        flags = {0: [], 1: []}
        for i in range(1000, 2500):
            x, y = sample(i)
            y = 1 - y  # the concept flips
            for side, (model, detector, warning) in enumerate((parts, copies_)):
                wrong = model.predict_one(x) != y
                detector.update(float(wrong))
                warning.update(int(wrong))
                flags[side].append((wrong, detector.drift_detected, warning.drift_detected,
                                    warning.warning_detected, bits(detector.estimation)))
                model.learn_one(x, y)
        assert flags[0] == flags[1], type(parts[0]).__name__
        late_errors = sum(wrong for wrong, *_ in flags[1][-500:])
        assert late_errors < 50, f"{type(parts[0]).__name__} did not relearn: {late_errors} errors"
        assert any(flag[1] for flag in flags[1][:300]), "the restored detector missed the drift"
