"""States saved by an earlier build restore into exactly the objects this build trains.

data/saved_states.pickle.gz holds, for every line of the catalog, the state of the object after
the first steps of the drifting stream, as the build of its recording wrote it. Each must restore
into an object equal, byte for byte once saved again and answer for answer on the rest of the
stream, to one this build trains from the same steps. Record anew (for lines added since) with
`PYTHONPATH=build python3 tests/python/test_saved_states.py`: existing states are kept as they are.
"""
import gzip
import os
import pickle
import sys

import pytest

from catalog import KINDS, bits, present_entries
from test_determinism import drifting_stream

PATH = os.path.join(os.path.dirname(__file__), "data", "saved_states.pickle.gz")
SEED, TRAINED, CONTINUED = 7, 200, 100


def trained(entry, steps):
    kind = KINDS[entry.kind]
    obj = entry.make(**({"seed": SEED} if entry.seeded else {}))
    for x, y, y2, t, t2 in steps:
        kind.feed(obj, x, y, y2, t, t2)
    return obj


def load_saved():
    if not os.path.exists(PATH):
        return {}
    with gzip.open(PATH) as f:
        return pickle.load(f)


SAVED = load_saved()


@pytest.mark.parametrize("entry", present_entries(lambda e: e.id in SAVED), ids=lambda e: e.id)
def test_saved_state_restores_into_the_object_this_build_trains(entry):
    restored = pickle.loads(SAVED[entry.id])
    fresh = trained(entry, drifting_stream(3, TRAINED))
    assert pickle.dumps(restored) == pickle.dumps(fresh)
    kind = KINDS[entry.kind]
    for i, (x, y, y2, t, t2) in enumerate(drifting_stream(4, CONTINUED)):
        assert bits(kind.observe(restored, x)) == bits(kind.observe(fresh, x)), f"step {i}"
        for obj in (restored, fresh):
            kind.feed(obj, x, y, y2, t, t2)


if __name__ == "__main__":
    states = dict(SAVED)
    steps = drifting_stream(3, TRAINED)
    for entry in present_entries(lambda e: e.id not in states):
        states[entry.id] = pickle.dumps(trained(entry, steps))
    with gzip.GzipFile(PATH, "wb", mtime=0) as f:
        pickle.dump(states, f)
    print(f"{len(states)} states in {PATH}", file=sys.stderr)
