"""Hostile input for every class: extreme values, odd names, extreme labels, bad arguments.

Each randomized case drives two objects built alike with the same hostile stream (NaN, infinities,
1e308, -0.0, subnormals, empty and very wide samples, features that come and go, unicode, bytes
and very long names, labels at both ends of the 32-bit range, single-class runs, resets, extreme
property values, calls the boundary must refuse). Every call must succeed or raise what the class
documents; the two objects must agree to the last bit throughout; a refused call must leave its
object as it was. The case ends with a reset and a stream of moderate values, where the object
must match a fresh one exactly and every result must be finite.

The number of cases per class is QUELB_HOSTILE_EXAMPLES (default 20); QUELB_HOSTILE_SEED picks
another seeded sequence of cases:
    QUELB_HOSTILE_EXAMPLES=500 QUELB_HOSTILE_SEED=7 scripts/test.sh -k hostile
"""
import collections
import faulthandler
import math
import os
import random
import re
import sys

import _quelb_core as q
import numpy as np
import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import hostile_streams as hs
from catalog import BY_NAME, CLASSES, CONTRACTS, KINDS, Tracker, bits, present_entries, writable_properties

EXAMPLES = int(os.environ.get("QUELB_HOSTILE_EXAMPLES", "20"))
SEED = os.environ.get("QUELB_HOSTILE_SEED")
# A call that runs longer than this is taken for a hang: the run stops with every thread's stack.
WATCHDOG_SECONDS = 600


def seeded_cases(test):
    test = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=SEED is None,
                    suppress_health_check=list(HealthCheck), print_blob=True)(test)
    return seed(int(SEED))(test) if SEED else test


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


segments = st.tuples(
    st.sampled_from(hs.FEATURE_MODES), st.sampled_from(hs.VALUE_MODES), st.sampled_from(hs.LABEL_MODES),
    st.integers(1, 300), st.integers(0, 2**32 - 1), st.sampled_from(hs.EXTRAS),
)
recipes = st.lists(segments, min_size=1, max_size=5)

INT_EXTREMES = [0, 1, -1, 2, 2**31 - 1, -(2**31)]
FLOAT_EXTREMES = [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 1e-12]
STR_EXTREMES = ["", "\x00", "é" * 100, "gini", "info_gain", "mc", "nb", "nba", "mean", "linear", "adaptive",
                "mean_split", "variance_reduction"]


def extremes(entry, name, kind):
    """Well-typed but extreme values for an option of type kind, within the entry's caps."""
    if kind is bool:
        return [True, False]
    if kind is int:
        cap = entry.caps.get(name)
        return sorted({v if cap is None else min(v, cap) for v in INT_EXTREMES})
    if kind is float:
        return FLOAT_EXTREMES
    if kind is str:
        return STR_EXTREMES
    return []


def wrong_types(kind):
    return {
        bool: ["yes", [], {}],
        int: ["5", 1.5, None, 2**31, -(2**31) - 1],
        float: ["0.5", None, 10**400, []],
        str: [5, None, 1.5],
    }.get(kind, [])


class Raised:
    def __init__(self, error):
        self.error = error


def outcome(call, obj):
    """What call(obj) returned, or Raised(the exception); compared and judged by the caller."""
    try:
        return call(obj)
    except Exception as error:
        return Raised(error)


def outcome_bits(result):
    return ("raised", type(result.error).__name__) if isinstance(result, Raised) else bits(result)


def same_state(kind, a, b, probe):
    assert bits(kind.observe(a, probe)) == bits(kind.observe(b, probe))


class Run:
    """Two objects built alike and fed alike; every outcome must agree to the last bit."""

    def __init__(self, entry):
        self.entry, self.kind = entry, KINDS[entry.kind]
        self.a, self.b = entry.make(), entry.make()
        self.tracker = Tracker()
        self.properties = writable_properties(type(self.a))
        self.original = {p: getattr(self.a, p) for p in self.properties}
        self.probe = {"f0": 0.5, "f1": -1.0}

    def both(self, call, allowed=()):
        """call on each twin: the outcomes must agree; an exception not allowed is raised."""
        ra, rb = outcome(call, self.a), outcome(call, self.b)
        assert outcome_bits(ra) == outcome_bits(rb), f"twins disagree: {ra!r} vs {rb!r}"
        if isinstance(ra, Raised):
            if not isinstance(ra.error, allowed):
                raise ra.error
            return ra.error
        return ra

    def step(self, x, y, y2, t, t2):
        out = self.both(lambda o: self.kind.observe(o, x))
        self.tracker.observed(x)
        self.kind.check(self.entry, out, self.tracker)
        # The twin learns through the batch methods (a batch of one): the same outcome, bit for bit.
        ra = outcome(lambda o: self.kind.feed(o, x, y, y2, t, t2), self.a)
        rb = outcome(lambda o: self.kind.feed_many(o, x, y, y2, t, t2), self.b)
        assert outcome_bits(ra) == outcome_bits(rb), f"one sample and batch disagree: {ra!r} vs {rb!r}"
        if isinstance(ra, Raised) and not isinstance(ra.error, self.entry.raises):
            raise ra.error
        self.tracker.fed_step(x, y, y2, t, t2)
        self.probe = x

    def extra(self, what, seed_value):
        r = random.Random(seed_value)
        if what == "reset":
            result = self.both(lambda o: o.reset(), ValueError)
            if isinstance(result, ValueError):  # documented, and the object stays as it was
                assert str(result) in self.entry.fixed_messages, f"reset refused: {result}"
            else:
                self.tracker.reset()
        elif what == "property" and self.properties:
            name = r.choice(self.properties)
            value = r.choice(extremes(self.entry, name, type(self.original[name])) or [self.original[name]])
            result = self.both(lambda o: setattr(o, name, value), ValueError)
            if isinstance(result, ValueError):
                assert f"'{name}'" in str(result), f"unclear message for {name}={value!r}: {result}"
            else:
                assert bits(getattr(self.a, name)) == bits(value)
                self.tracker.extreme_options = True
        elif what == "rejected":
            for call in self.kind.all_rejected_calls(self.a, self.probe):
                with pytest.raises(TypeError):
                    call()
            same_state(self.kind, self.a, self.b, self.probe)
        elif what == "weird":
            for make in weird_samples(r):
                # Each object gets its own copy: some of these samples change while being read.
                ra = outcome(lambda o: self.kind.feed(o, make(), 1, 1, 1.0, 1.0), self.a)
                rb = outcome(lambda o: self.kind.feed(o, make(), 1, 1, 1.0, 1.0), self.b)
                assert outcome_bits(ra) == outcome_bits(rb)
                assert ra is None or isinstance(ra, Raised) and isinstance(ra.error, TypeError), ra
                if ra is None:
                    self.tracker.fed_step({}, 1, 1, 1.0, 1.0)
            if hasattr(self.a, "set_feature_order"):
                # Odd names, repeats and a one-shot iterable: taken, or refused by the conversion.
                order = ["f3", b"f1", "é", "", "\x00", "f3", "L" * 10_000, bytearray(b"\xff")]
                for make in (lambda: list(order), lambda: iter(order), lambda: (n for n in order), lambda: set(order[:4])):
                    self.both(lambda o: o.set_feature_order(make()), TypeError)
            same_state(self.kind, self.a, self.b, self.probe)
        elif what == "clone" and hasattr(self.a, "clone_state"):
            clone = self.a.clone_state()
            assert type(clone) is type(self.a)
            same_state(self.kind, clone, self.a, self.probe)
            for _ in range(3):
                self.kind.feed(clone, {"f0": 1e6, "clone_only": 2.0}, 1, 1, 1.0, 1.0)
            same_state(self.kind, self.a, self.b, self.probe)  # the original did not move

    def restore_options(self):
        for name, value in self.original.items():
            setattr(self.a, name, value)
            setattr(self.b, name, value)


class ShrinkingFloat(float):
    """A float subclass whose float protocol lies; the boundary takes a float subclass as it is."""

    def __float__(self):
        raise RuntimeError("never called")


def weird_samples(r):
    class Clearing:
        """A value that empties the sample it is being read from."""

        def __init__(self, sample):
            self.sample = sample

        def __float__(self):
            self.sample.clear()
            return 1.0

    def clearing():
        sample = {f"k{i}": float(i) for i in range(20)}
        sample["k3"] = Clearing(sample)
        return sample

    class FailingItems(collections.abc.Mapping):
        def __getitem__(self, key):
            return 1.0

        def __iter__(self):
            return iter(["a", "b"])

        def __len__(self):
            return 2

        def items(self):
            yield "a", 1.0
            raise RuntimeError("items() fails half way")

    class EmptiesItsPair:
        def __init__(self, pair):
            self.pair = pair

        def __float__(self):
            self.pair.clear()
            return 2.0

    class ListPairs(collections.abc.Mapping):
        """Hands out its items as lists; one value empties its own list while converting."""

        def __getitem__(self, key):
            return 1.0

        def __iter__(self):
            return iter(["a", "b"])

        def __len__(self):
            return 2

        def items(self):
            second = ["b", None]
            second[1] = EmptiesItsPair(second)
            return [["a", 1.0], second]

    class Key(str):
        pass

    value, huge = r.random(), r.choice([10**300, -(10**300)])
    return [
        clearing,
        FailingItems,
        ListPairs,
        lambda: {"a": np.float64(value), "b": np.int64(3), "c": np.float32(math.nan)},
        lambda: {Key("a"): 1.0, "b": ShrinkingFloat(2.5)},
        lambda: {"a": huge},
        lambda: collections.OrderedDict([("a", 1.0), (b"a", 2.0)]),
    ]


@pytest.mark.parametrize("entry", present_entries(), ids=lambda e: e.id)
@seeded_cases
@given(recipe=recipes, final_seed=st.integers(0, 2**32 - 1))
def test_hostile_stream(entry, recipe, final_seed):
    run = Run(entry)
    for op in hs.expand(recipe):
        if op[0] == "step":
            run.step(*op[1:])
        else:
            run.extra(*op)
    # Afterwards: reset, then moderate values. The object must match a fresh one exactly (or,
    # where a reset keeps something by design, its twin), and every result must be finite.
    run.restore_options()
    run.a.reset()
    run.b.reset()
    other = entry.make() if entry.reset_is_new else run.b
    kind = run.kind
    tracker = Tracker()
    for op in hs.expand(hs.moderate_recipe(final_seed), moderate=True):
        _, x, y, y2, t, t2 = op
        out = kind.observe(run.a, x)
        assert bits(out) == bits(kind.observe(other, x)), "reset object differs from a fresh one"
        assert kind.all_finite(out), f"non-finite result {out!r} from moderate input"
        tracker.observed(x)
        kind.check(entry, out, tracker)
        kind.feed(run.a, x, y, y2, t, t2)
        kind.feed(other, x, y, y2, t, t2)
        tracker.fed_step(x, y, y2, t, t2)


def constructor_options(entry):
    """(name, type) of each constructor option, read from the signature the binding publishes."""
    if entry.build is not None:
        return []
    signature = entry.cls.__init__.__doc__ or ""
    types = {"int": int, "float": float, "str": str, "bool": bool}
    return [(name, types[kind]) for name, kind in re.findall(r"(\w+): (\w+) = ", signature) if kind in types]


SHORT = hs.expand([("mixed", "special", "extreme", 40, 1, None), ("fixed", "normal", "few", 60, 2, None)])


def drive_briefly(entry, obj):
    kind = KINDS[entry.kind]
    tracker = Tracker(extreme_options=True)
    for _, x, y, y2, t, t2 in SHORT:
        tracker.observed(x)
        kind.check(entry, kind.observe(obj, x), tracker)
        try:
            kind.feed(obj, x, y, y2, t, t2)
        except entry.raises:
            pass
        tracker.fed_step(x, y, y2, t, t2)
    try:
        obj.reset()
    except ValueError as error:  # a documented refusal (a negative size read at reset)
        assert str(error) in entry.fixed_messages, f"reset refused: {error}"


@pytest.mark.parametrize("entry", present_entries(lambda e: e.build is None and not e.variant), ids=lambda e: e.id)
def test_constructor_arguments(entry):
    """Wrong types are refused with TypeError; extreme values are taken, or refused with a
    ValueError that names the option; an object built from extreme values survives a stream."""
    for name, kind in constructor_options(entry):
        for bad in wrong_types(kind):
            with pytest.raises(TypeError, match=name):
                entry.cls(**{name: bad})
        for value in extremes(entry, name, kind):
            try:
                obj = entry.cls(**{name: value})
            except ValueError as error:
                clear = f"'{name}'" in str(error) or str(error) in entry.fixed_messages
                assert clear, f"unclear message for {name}={value!r}: {error}"
                continue
            drive_briefly(entry, obj)
    for options, message in entry.invalid:
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            entry.cls(**options)


@pytest.mark.parametrize("entry", present_entries(), ids=lambda e: e.id)
def test_property_arguments(entry):
    """Wrong types are refused with TypeError and change nothing; extreme values are stored as
    given or refused with a ValueError naming the property; the object then survives a stream."""
    obj = entry.make()
    for name in writable_properties(type(obj)):
        default = getattr(obj, name)
        for bad in wrong_types(type(default)):
            with pytest.raises(TypeError):
                setattr(obj, name, bad)
            assert bits(getattr(obj, name)) == bits(default)
        for value in extremes(entry, name, type(default)):
            probe = entry.make()
            try:
                setattr(probe, name, value)
            except ValueError as error:
                assert f"'{name}'" in str(error), f"unclear message for {name}={value!r}: {error}"
                assert bits(getattr(probe, name)) == bits(default)
                continue
            assert bits(getattr(probe, name)) == bits(value)
            drive_briefly(entry, probe)


def test_catalog_covers_the_module():
    """Every class of the module is driven by these checks: a new class needs its line in the table."""
    public = [name for name, obj in vars(q).items() if isinstance(obj, type) and not name.startswith("_")]
    missing = [name for name in public if name not in BY_NAME and name not in CONTRACTS]
    assert not missing, f"add {missing} to tests/python/catalog.py"
