"""Seeded hostile streams: a short recipe of segments expands into samples, labels and targets.

A recipe is a list of segments (feature mode, value mode, label mode, length, seed, extra). The
expansion is a pure function of the recipe, so a failing recipe reproduces exactly, and the
randomized search only has to draw (and shrink) a handful of small numbers.
"""
import math
import random
import sys

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

SPECIAL_VALUES = [
    math.nan, math.inf, -math.inf, 1e308, -1e308, sys.float_info.max, -sys.float_info.max, -0.0, 0.0,
    5e-324, -5e-324, 1e-310, sys.float_info.min / 2, 1e300, -1e300, 1.0, -1.0,
]
HUGE_VALUES = [1e308, -1e308, sys.float_info.max, -sys.float_info.max, 1e300, -1e300, 1e200]
TINY_VALUES = [5e-324, -5e-324, 1e-310, -0.0, 0.0, sys.float_info.min, sys.float_info.min / 2]

ASCII_NAMES = [f"f{i}" for i in range(12)]
UNICODE_NAMES = ["é", "名前", "🙂", "a\u0301", "\u200b", "Ωmega", "\x00", "", " ", "\u202etxt", "f1\x00"]
# b"f1" and "é" in UTF-8 name the same features as their str forms; b"\xff\xfe" is not UTF-8.
BYTES_NAMES = [b"raw", b"\xff\xfe", b"\x00\x01", b"f1", "é".encode(), bytes(range(1, 40))]
LONG_NAMES = ["L" * 10_000, "long_" + "x" * 300, "é" * 2000, "🙂" * 500]
NAME_POOL = ASCII_NAMES + UNICODE_NAMES + BYTES_NAMES + LONG_NAMES
WIDE_NAMES = [f"w{i}" for i in range(5000)]

EXTREME_LABELS = [INT32_MAX, INT32_MIN, -1, 0, -5, INT32_MAX - 1, INT32_MIN + 1]

FEATURE_MODES = ["fixed", "vanish", "empty", "names", "wide", "mixed"]
VALUE_MODES = ["normal", "special", "mixed", "huge", "tiny", "int", "nan"]
LABEL_MODES = ["few", "binary", "extreme", "run", "many", "cycle"]
EXTRAS = [None, None, None, "reset", "property", "rejected", "weird", "clone"]
MODERATE_VALUE_MODES = ["normal", "scaled", "int"]


class Expander:
    def __init__(self, seed, moderate=False):
        self.rng = random.Random(seed)
        self.moderate = moderate

    def value(self, mode):
        r = self.rng
        if mode == "normal":
            return r.gauss(0.0, 1.0)
        if mode == "scaled":
            return r.gauss(0.0, 1.0) * r.choice([1e-3, 1.0, 1e3])
        if mode == "special":
            return r.choice(SPECIAL_VALUES)
        if mode == "mixed":
            return r.choice(SPECIAL_VALUES) if r.random() < 0.2 else r.gauss(0.0, 10.0)
        if mode == "huge":
            return r.choice(HUGE_VALUES) if r.random() < 0.7 else r.gauss(0.0, 1.0)
        if mode == "tiny":
            return r.choice(TINY_VALUES)
        if mode == "int":
            # Python ints and bools: the boundary converts them.
            return r.choice([0, 1, -3, 7, True, False, 12 if self.moderate else 10**15])
        if mode == "nan":
            return math.nan if r.random() < 0.5 else r.gauss(0.0, 1.0)
        raise ValueError(mode)

    def names(self, mode, width):
        r = self.rng
        if mode == "mixed":
            mode = r.choice(["fixed", "vanish", "empty", "names"])
        if mode == "fixed":
            return ASCII_NAMES[:width]
        if mode == "vanish":
            return [n for n in ASCII_NAMES if r.random() < 0.5]
        if mode == "empty":
            return []
        if mode == "names":
            return r.sample(NAME_POOL, r.randint(1, 8))
        if mode == "wide":
            return WIDE_NAMES[: r.randint(1000, 5000)]
        raise ValueError(mode)

    def label(self, mode, run_label):
        r = self.rng
        if mode == "few":
            return r.randint(0, 2)
        if mode == "binary":
            return r.randint(0, 1)
        if mode == "extreme":
            return r.choice(EXTREME_LABELS)
        if mode == "run":
            return run_label
        if mode == "many":
            return r.randint(-1000, 1000)
        if mode == "cycle":
            return r.choice([3, -3, 1_000_000, INT32_MAX])
        raise ValueError(mode)

    def target(self, mode, label):
        r = self.rng
        if mode in ("huge", "special", "nan", "tiny") and r.random() < 0.5:
            return float(self.value(mode))
        # Otherwise tied to the label, so learners have something to learn.
        return float(label % 7) + r.gauss(0.0, 0.1)

    def segment(self, feature_mode, value_mode, label_mode, length):
        r = self.rng
        if feature_mode == "wide":
            length = min(length, 3)
        width = r.randint(1, len(ASCII_NAMES))
        run_label = r.choice(EXTREME_LABELS + [0, 1, 2])
        steps = []
        for _ in range(length):
            x = {name: self.value(value_mode) for name in self.names(feature_mode, width)}
            y = self.label(label_mode, run_label)
            y2 = self.label(label_mode, run_label) if r.random() < 0.5 else y
            t = self.target(value_mode, y)
            t2 = self.target(value_mode, y2) if r.random() < 0.7 else t
            steps.append(("step", x, y, y2, t, t2))
        return steps


def expand(recipe, moderate=False):
    """The operations of a recipe: ("step", x, y, y2, t, t2) and the extras ("reset",), ..."""
    ops = []
    for feature_mode, value_mode, label_mode, length, seed, extra in recipe:
        expander = Expander(seed, moderate)
        if extra is not None:
            ops.append((extra, seed))
        ops.extend(expander.segment(feature_mode, value_mode, label_mode, length))
    return ops


def moderate_recipe(seed, segments=4, length=60):
    """Hostile in shape (names, widths, labels) but with values of moderate size only."""
    r = random.Random(seed)
    recipe = []
    for _ in range(segments):
        feature_mode = r.choice(["fixed", "vanish", "empty", "names", "mixed", "fixed"])
        recipe.append((feature_mode, r.choice(MODERATE_VALUE_MODES), r.choice(LABEL_MODES),
                       r.randint(length // 2, length), r.getrandbits(32), None))
    return recipe
