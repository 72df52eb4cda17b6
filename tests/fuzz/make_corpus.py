"""Writes the seed inputs of the state-loader fuzz target: the saved states of every catalog line,
new and trained on a few lengths of the drifting stream, and the earlier format's states the
tests keep, each as the target reads it (class byte, version byte, payload).

Usage: make_corpus.py CLASS_LIST OUT_DIR   (CLASS_LIST: the target's QUELB_FUZZ_LIST_CLASSES output)
"""
import gzip
import os
import pickle
import re
import struct
import sys

from catalog import present_entries
from test_determinism import drifting_stream
from test_saved_states import trained

HERE = os.path.dirname(os.path.abspath(__file__))
V1_STATES = os.path.join(HERE, "..", "python", "data", "format_v1_states.pickle.gz")
LENGTHS = (0, 25, 200)  # heavy lines (many members) stop at 25: large inputs slow the fuzzer


def sealed_bytes(obj):
    """The sealed state inside an object's pickle state (ensembles may pair it with n_threads)."""
    state = obj.__getstate__()
    if isinstance(state, tuple):
        state = state[0]
    return state if isinstance(state, bytes) else None


def open_envelope(sealed):
    """(class name, format version, payload) of a sealed state: magic, u32 version, name, u64
    payload length, u64 checksum, payload."""
    assert sealed[:4] == b"QLBS", "not a sealed state"
    version, name_length = struct.unpack_from("<IQ", sealed, 4)
    at = 16 + name_length
    name = sealed[16:at].decode()
    (payload_length,) = struct.unpack_from("<Q", sealed, at)
    payload = sealed[at + 16:]
    assert len(payload) == payload_length
    return name, version, payload


def main(class_list, out_dir):
    classes = {}
    with open(class_list) as f:
        for index, line in enumerate(f):
            name, _max_version = line.split()
            classes[name] = index
    os.makedirs(out_dir, exist_ok=True)

    def write(label, sealed):
        name, version, payload = open_envelope(sealed)
        if name not in classes:  # pipelines: their parts are states of their own
            return 0
        path = os.path.join(out_dir, re.sub(r"[^A-Za-z0-9_.=-]", "_", label))
        with open(path, "wb") as f:
            f.write(bytes([classes[name], version - 1]) + payload)
        return 1

    count = 0
    for entry in present_entries():
        for length in LENGTHS[:2] if entry.heavy else LENGTHS:
            sealed = sealed_bytes(trained(entry, drifting_stream(3, length)))
            if sealed is not None:
                count += write(f"{entry.id}-{length}", sealed)
    with gzip.open(V1_STATES) as f:
        for name, sealed in pickle.load(f).items():
            count += write(f"{name}-format1", sealed)
    print(f"{count} seed states in {out_dir}", file=sys.stderr)


if __name__ == "__main__":
    main(*sys.argv[1:])
