"""atheris target: samples (and labels) converted from arbitrary Python objects.

Dicts, subclasses, other mappings and non-mappings, with keys and values of many types, values
whose conversion runs Python code (which may raise, or change the very dict being read), labels
of many types. A call either succeeds or raises TypeError (labels: also ValueError or
OverflowError) and leaves the object unchanged. A sample of str names and plain numbers must
act exactly as the plain dict of its names, the first value of a repeated name winning.
"""
import collections
import decimal
import fractions
import math
import types
from collections.abc import Mapping

import atheris
import numpy as np

import _quelb_core as q
from fuzz_common import Refused, call_checked, run, state

ALLOWED = (TypeError,)
LABEL_ALLOWED = (TypeError, ValueError, OverflowError)


class IdentityStr(str):
    """Equal text, distinct keys: a dict can hold the same name twice."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


class Floaty:
    def __init__(self, action, value, target):
        self.action, self.value, self.target = action, value, target

    def __float__(self):
        if self.action == 0:
            return self.value
        if self.action == 1:
            raise Refused("no float")
        if self.action == 2:
            self.target.clear()
            return self.value
        if self.action == 3:
            self.target["grown"] = 1.0
            return self.value
        if self.action == 4:
            self.target.pop(next(iter(self.target)), None)
            return self.value
        return "not a float"


class Indexy:
    def __init__(self, value, fails):
        self.value, self.fails = value, fails

    def __index__(self):
        if self.fails:
            raise Refused("no index")
        return self.value


class OddMapping(Mapping):
    def __init__(self, pairs, mode):
        self.pairs, self.mode = pairs, mode

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(dict(self.pairs))

    def __len__(self):
        return len(self.pairs)

    def items(self):
        if self.mode == 0:
            return list(self.pairs)
        if self.mode == 1:
            raise Refused("no items")
        if self.mode == 2:
            return [list(p) for p in self.pairs] + [(1, 2, 3)]
        if self.mode == 3:
            return (p for p in self.pairs)
        return 42


def key(fdp, plain):
    kind = fdp.ConsumeIntInRange(0, 10)
    if plain or kind < 3:
        return fdp.PickValueInList(["f0", "f1", "f2", "a", "", "é", "x" * 300])
    if kind == 3:
        return fdp.ConsumeUnicode(8)
    if kind == 4:
        return fdp.ConsumeBytes(6)
    if kind == 5:
        return bytearray(fdp.ConsumeBytes(6))
    if kind == 6:
        return IdentityStr(fdp.PickValueInList(["f0", "a", "é"]))
    if kind == 7:
        return "\ud800" + fdp.ConsumeUnicode(2)
    if kind == 8:
        return fdp.ConsumeInt(2)
    if kind == 9:
        return None
    return ("f0",)


def value(fdp, target, plain):
    kind = fdp.ConsumeIntInRange(0, 14)
    if plain or kind < 3:
        return fdp.PickValueInList([fdp.ConsumeRegularFloat(), fdp.ConsumeInt(2), True, -0.0])
    if kind == 3:
        return fdp.PickValueInList([math.nan, math.inf, -math.inf, 5e-324, 1e308])
    if kind == 4:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 200))  # may not fit a double
    if kind == 5:
        return decimal.Decimal(fdp.PickValueInList(["1.5", "NaN", "-Infinity", "1e999999"]))
    if kind == 6:
        return fractions.Fraction(fdp.ConsumeInt(2), fdp.ConsumeIntInRange(1, 9))
    if kind == 7:
        dtype = fdp.PickValueInList([np.float16, np.float32, np.float64, np.int8, np.uint64, np.bool_, np.longdouble])
        return dtype(fdp.ConsumeIntInRange(0, 100))
    if kind == 8:
        return fdp.PickValueInList(["1.0", b"1", None, [1.0], 1j, object()])
    return Floaty(fdp.ConsumeIntInRange(0, 5), fdp.ConsumeRegularFloat(), target)


def sample(fdp):
    """(the object passed, the plain dict it should equal or None when the rules are not simple)."""
    plain = fdp.ConsumeBool()
    n = fdp.ConsumeIntInRange(0, 8)
    pairs, target = [], {}
    for _ in range(n):
        pairs.append((key(fdp, plain), value(fdp, target, plain)))
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind <= 2:
        obj = {}
        for k, v in pairs:
            try:
                obj.setdefault(k, v)
            except TypeError:  # unhashable
                pass
        target.update(obj)
        obj = target  # Floaty values act on the dict that is read
    elif kind == 3:
        obj = collections.OrderedDict((k, v) for k, v in pairs if not isinstance(k, bytearray))
    elif kind == 4:
        obj = OddMapping(pairs, fdp.ConsumeIntInRange(0, 4))
    elif kind == 5:
        obj = types.MappingProxyType(dict((k, v) for k, v in pairs if not isinstance(k, bytearray)))
    else:
        obj = fdp.PickValueInList([pairs, None, "f0", 1.0, set()])
    return obj, plain_equivalent(obj)


def plain_equivalent(obj):
    """The plain dict a dict of str names and plain numbers stands for, else None."""
    if not isinstance(obj, dict):
        return None
    expected = {}
    for k, v in obj.items():
        if not isinstance(k, str) or type(v) not in (float, int, bool) or abs(v) > 2**53:
            return None
        try:
            k.encode()
        except UnicodeEncodeError:
            return None
        expected.setdefault(str(k), float(v))
    return expected


def label(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind < 3:
        return fdp.ConsumeIntInRange(-3, 3)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if kind == 4:
        return fdp.PickValueInList([True, np.int64(2), np.uint8(1), np.int64(2**40)])
    if kind == 5:
        return Indexy(fdp.ConsumeInt(5), fdp.ConsumeBool())
    return fdp.PickValueInList([1.0, "1", None, 1j, b"\x01"])


def make(kind):
    if kind == 0:
        return q.NaiveBayes()
    if kind == 1:
        return q.StandardScaler()
    if kind == 2:
        return q.OneHotEncoder()
    if kind == 3:
        return q.HalfSpaceTrees(n_trees=2, height=3, window_size=5, seed=1)
    if kind == 4:
        return q.ClassificationPipeline([q.StandardScaler()], q.NaiveBayes())
    return q.LinearRegression()


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    kind = fdp.ConsumeIntInRange(0, 5)
    obj, twin = make(kind), make(kind)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        x, expected = sample(fdp)
        if twin is None:
            expected = None
        if kind in (0, 4):
            y = label(fdp)
            error = call_checked(obj, LABEL_ALLOWED, "learn_one", x, y)
            if error is None and twin is not None and expected is not None:
                twin.learn_one(expected, y)
            call_checked(obj, ALLOWED, "predict_proba_one", x)
        elif kind == 5:
            error = call_checked(obj, ALLOWED, "learn_one", x, 0.5)
            if error is None and twin is not None and expected is not None:
                twin.learn_one(expected, 0.5)
        else:
            error = call_checked(obj, ALLOWED, "learn_one", x)
            if error is None and twin is not None and expected is not None:
                twin.learn_one(expected)
            # A result dict cannot hold a name that is not UTF-8.
            call_checked(obj, ALLOWED if kind == 3 else ALLOWED + (UnicodeDecodeError,),
                         "score_one" if kind == 3 else "transform_one", x)
        if error is None and expected is None:
            twin = None  # no plain twin to follow from here
        if twin is not None:
            assert state(obj) == state(twin), "a sample acted unlike the plain dict of its names"


if __name__ == "__main__":
    run(test_one_input)
