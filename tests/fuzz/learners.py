"""atheris target: the learners themselves, driven by a sequence of calls decoded from the input.

The first byte picks a catalog line; the object and a twin built the same way then get the same
calls: learning (one sample, or a batch of one on one side and one sample on the other),
answers, resets, option changes, and on one side only pickle and deepcopy round trips. The twins
must agree to the last bit on every answer, on every refused call, and in their final state.
"""
import copy
import math
import pickle
import warnings

import atheris

import _quelb_core as q  # noqa: F401  (the catalog reads the module)
from catalog import KINDS, bits, present_entries, writable_properties
from fuzz_common import run, state

ENTRIES = present_entries()
VALUES = [0.0, -0.0, 1.0, -2.5, 1e308, -1e308, 5e-324, math.inf, -math.inf, math.nan, 3.25, 1e-8]
warnings.simplefilter("ignore")


def outcome(call):
    """What a call gives, or the type of what it raised."""
    try:
        return bits(call())
    except Exception as error:  # compared between twins: both must fail alike
        return ("raised", type(error).__name__)


def step(fdp):
    x = {}
    for j in range(fdp.ConsumeIntInRange(0, 7)):
        name = fdp.PickValueInList(["f0", "f1", "f2", "f3", "f4", "f5", "rare", "é", ""])
        x.setdefault(name, fdp.PickValueInList(VALUES) if fdp.ConsumeBool() else fdp.ConsumeRegularFloat())
    y = fdp.ConsumeIntInRange(-3, 3)
    y2 = fdp.ConsumeIntInRange(-3, 3)
    t = fdp.PickValueInList(VALUES) if fdp.ConsumeIntInRange(0, 7) == 0 else fdp.ConsumeIntInRange(-100, 100) / 8
    return x, y, y2, t, t + fdp.ConsumeIntInRange(-8, 8) / 4


def option_value(fdp, current, cap):
    if cap is not None:  # an option whose size is work by design: a huge value is a huge job
        return fdp.ConsumeIntInRange(-1, cap)
    if isinstance(current, bool):
        return fdp.ConsumeBool()
    if isinstance(current, int):
        return fdp.PickValueInList([0, 1, 2, -1, current + 1, 2**31, 10**6])
    if isinstance(current, float):
        return fdp.PickValueInList(VALUES + [0.5, 0.01])
    if isinstance(current, str):
        return fdp.PickValueInList(["", current, "variance_reduction", "mean_split", "nope"])
    return fdp.PickValueInList([None, 1, "a", [1]])


def test_one_input(data):
    if not data:
        return
    entry = ENTRIES[data[0] % len(ENTRIES)]
    fdp = atheris.FuzzedDataProvider(data[1:])
    kind = KINDS[entry.kind]
    seed = {"seed": fdp.ConsumeIntInRange(-2, 5)} if entry.seeded else {}
    a, b = entry.make(**seed), entry.make(**seed)
    properties = writable_properties(type(a))
    for i in range(fdp.ConsumeIntInRange(1, 40)):
        op = fdp.ConsumeIntInRange(0, 15)
        if op <= 7:
            s = step(fdp)
            if op == 7:  # a batch of one against one sample
                got = [outcome(lambda: kind.feed_many(a, *s)), outcome(lambda: kind.feed(b, *s))]
            else:
                got = [outcome(lambda o=o: kind.feed(o, *s)) for o in (a, b)]
        elif op <= 10:
            x = step(fdp)[0]
            got = [outcome(lambda o=o: kind.observe(o, x)) for o in (a, b)]
        elif op == 11:  # may raise for an option set to a value the class refuses only then
            got = [outcome(o.reset) for o in (a, b)]
        elif op == 12:
            a = pickle.loads(pickle.dumps(a))
            continue
        elif op == 13:
            a = copy.deepcopy(a)
            continue
        else:
            if not properties:
                continue
            name = fdp.PickValueInList(properties)
            value = option_value(fdp, getattr(a, name), entry.caps.get(name))
            got = [outcome(lambda o=o: setattr(o, name, value)) for o in (a, b)]
        assert got[0] == got[1], f"{entry.id}: twins disagree at call {i} (op {op}): {got}"
    assert state(a) == state(b), f"{entry.id}: twins end in different states"


if __name__ == "__main__":
    run(test_one_input)
