import math
import random

import _quelb_core as q
import pytest

INF = float("inf")


# ---- A plain reference tree, written straight from the algorithm, to check the fast one ----------

class RefEstimator:
    def __init__(self):
        self.count = self.mean = self.m2 = self.min = self.max = 0.0

    def update(self, x):
        if self.count <= 0:
            self.min = self.max = x
        elif x < self.min:
            self.min = x
        elif x > self.max:
            self.max = x
        self.count += 1.0
        d = x - self.mean
        self.mean += d / self.count
        self.m2 += (x - self.mean) * d

    def variance(self):
        return self.m2 / (self.count - 1.0) if self.count > 1.0 else 0.0

    def density(self, x):
        if self.count < 2.0:
            return 0.0
        var = self.variance()
        if var <= 0.0:
            return 1.0 if x == self.mean else 0.0
        d = x - self.mean
        return math.exp(-(d * d) / (2.0 * var)) / math.sqrt(6.283185307179586 * var)

    def split(self, t):
        w = self.count
        if t < self.min:
            return 0.0, w
        if t >= self.max:
            return w, 0.0
        eq = self.density(t) * w
        sd = math.sqrt(self.variance())
        if sd > 0.0:
            lt = (1.0 + math.erf((t - self.mean) / (1.4142135623730951 * sd))) * 0.5 * w - eq
        else:
            lt = w - eq if t < self.mean else 0.0
        return lt + eq, max(0.0, w - eq - lt)


class RefNode:
    def __init__(self, counts=None):
        self.counts = counts or {}
        self.w = 0.0
        for v in self.counts.values():
            self.w += v
        self.mc = self.nb = 0.0
        self.obs = {}
        self.feature = None


def total(values):
    s = 0.0
    for v in values:
        s += v
    return s


def entropy(counts, t):
    if t <= 0.0:
        return 0.0
    h = 0.0
    for c in counts.values():
        if c > 0.0:
            p = c / t
            h -= p * math.log2(p)
    return h


class RefTree:
    def __init__(self, grace_period=200, split_confidence=1e-07, tie_threshold=0.05, nb_threshold=0,
                 max_depth=20, split_criterion="info_gain", leaf_prediction="nba", no_pre_prune=False):
        self.__dict__.update(locals())
        self.n_split_points = 10
        self.root, self.seen = RefNode(), set()

    def sort(self, x):
        node, depth = self.root, 0
        while node.feature is not None:
            node = node.left if x.get(node.feature, 0.0) <= node.threshold else node.right
            depth += 1
        return node, depth

    @staticmethod
    def majority(node):
        best, bv = (next(iter(node.counts)) if node.counts else 0), -1.0
        for c, v in node.counts.items():
            if v > bv:
                best, bv = c, v
        return best

    @staticmethod
    def log_scores(node, x):
        scores = {}
        for c, cnt in node.counts.items():
            s = math.log(cnt / node.w)
            obs = node.obs.get(c, {})
            for name, v in x.items():
                if name in obs:
                    s += math.log(max(obs[name].density(v), 1e-300))
            scores[c] = s
        return scores

    def uses_nb(self, node):
        if self.leaf_prediction == "mc" or node.w < self.nb_threshold:
            return False
        return self.leaf_prediction == "nb" or node.nb > node.mc

    def predict_one(self, x):
        node, _ = self.sort(x)
        best = self.majority(node)
        if self.uses_nb(node) and node.w > 0:
            bs = -INF
            for c, s in self.log_scores(node, x).items():
                if s > bs:
                    best, bs = c, s
        return best

    def predict_proba_one(self, x):
        node, _ = self.sort(x)
        if node.w <= 0:
            return {c: 1.0 / len(self.seen) for c in self.seen}
        if self.uses_nb(node):
            scores = self.log_scores(node, x)
            top = max(scores.values())
            out = {c: math.exp(s - top) for c, s in scores.items()}
            z = total(out.values())
            out = {c: v / z for c, v in out.items()}
        else:
            out = {c: v / node.w for c, v in node.counts.items()}
        for c in self.seen:
            out.setdefault(c, 0.0)
        return out

    def learn_one(self, x, y):
        self.seen.add(y)
        node, depth = self.sort(x)
        if self.leaf_prediction != "mc" and node.w > 0:
            node.mc += self.majority(node) == y
            win, bs = 0, -INF
            for c, s in self.log_scores(node, x).items():
                if s > bs:
                    win, bs = c, s
            node.nb += win == y
        node.counts[y] = node.counts.get(y, 0.0) + 1.0
        node.w += 1.0
        obs = node.obs.setdefault(y, {}) if x else {}
        for name, v in x.items():
            obs.setdefault(name, RefEstimator()).update(v)
        if int(node.w) % self.grace_period == 0:
            self.attempt(node, depth)

    def merit(self, node, branches):
        totals = [total(b.values()) for b in branches]
        s = total(totals)
        if self.split_criterion == "gini":
            if not branches or s <= 0.0:
                return 0.0
            imp = 0.0
            for b, t in zip(branches, totals):
                g = 0.0
                if t > 0.0:
                    sq = 0.0
                    for c in b.values():
                        p = c / t
                        sq += p * p
                    g = 1.0 - sq
                imp += t / s * g
            return 1.0 - imp
        if not branches or s <= 0.0 or sum(t / s > 0.01 for t in totals) < 2:
            return -INF
        weighted = 0.0
        for b, t in zip(branches, totals):
            weighted += t * entropy(b, t)
        return entropy(node.counts, node.w) - weighted / s

    def attempt(self, node, depth):
        if depth >= self.max_depth or node.w < 2 or len(self.seen) < 2:
            return
        names = sorted(set().union(*[o.keys() for o in node.obs.values()]))
        if not names:
            return
        r = 1.0 if self.split_criterion == "gini" else math.log2(len(self.seen))
        eps = math.sqrt(r * r * math.log(1.0 / self.split_confidence) / (2.0 * node.w))
        cands = [] if self.no_pre_prune else [(self.merit(node, [node.counts]), None, 0.0)]
        for f in names:
            ests = [(c, node.obs[c][f]) for c in node.counts if f in node.obs.get(c, {})]
            lo, hi = min(e.min for _, e in ests), max(e.max for _, e in ests)
            if not lo < hi:
                continue
            ts = sorted({t for t in ((hi - lo) / (self.n_split_points + 1) * i + lo
                                     for i in range(1, self.n_split_points + 1)) if lo < t < hi})
            if not ts:
                continue
            best = (-INF, f, 0.0)
            for t in ts:
                parts = {c: e.split(t) for c, e in ests}
                m = self.merit(node, [{c: p[0] for c, p in parts.items()}, {c: p[1] for c, p in parts.items()}])
                if m > best[0]:
                    best = (m, f, t)
            cands.append(best)
        if not cands:
            return
        bi = 0
        for i in range(1, len(cands)):
            if cands[i][0] > cands[bi][0]:
                bi = i
        second = max([c[0] for i, c in enumerate(cands) if i != bi], default=-INF)
        best = cands[bi]
        if best[0] == -INF or best[1] is None:
            return
        if not (len(cands) < 2 or best[0] - second > eps or eps < self.tie_threshold):
            return
        f, t = best[1], best[2]
        parts = [(c, node.obs[c][f].split(t)) for c in node.counts if f in node.obs.get(c, {})]
        node.left = RefNode({c: p[0] for c, p in parts if p[0] > 0.0})
        node.right = RefNode({c: p[1] for c, p in parts if p[1] > 0.0})
        node.feature, node.threshold, node.obs, node.counts, node.w = f, t, {}, {}, 0.0


def noisy_stream(n, seed=0, n_classes=3):
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        x = {"a": rng.random(), "b": rng.gauss(0.0, 1.0), "c": rng.random() * 10.0, "d": float(rng.randint(0, 3))}
        y = 0 if x["a"] < 0.35 else (1 if x["b"] > 0.2 else 2) % n_classes
        if rng.random() < 0.1:
            y = rng.randrange(n_classes)
        if i % 5 == 0:
            del x["c"]  # sometimes missing
        rows.append((x, y))
    return rows


CONFIGS = [
    dict(leaf_prediction="nba", split_criterion="info_gain"),
    dict(leaf_prediction="nb", split_criterion="info_gain"),
    dict(leaf_prediction="mc", split_criterion="gini"),
    dict(leaf_prediction="nba", split_criterion="gini", no_pre_prune=True),
    dict(leaf_prediction="nba", split_criterion="info_gain", nb_threshold=40, max_depth=3),
]


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: "-".join(str(v) for v in c.values()))
def test_matches_the_reference_tree_exactly(config):
    options = dict(grace_period=20, split_confidence=1e-3, tie_threshold=0.2)
    native_options = {k: v for k, v in config.items() if k not in ("leaf_prediction", "no_pre_prune")}
    tree = q.HoeffdingTreeClassifier(**options, **native_options)
    tree.leaf_prediction = config["leaf_prediction"]
    tree.no_pre_prune = config.get("no_pre_prune", False)
    ref = RefTree(**options, **config)
    for x, y in noisy_stream(2500, seed=3):
        assert tree.predict_one(x) == ref.predict_one(x)
        expected = ref.predict_proba_one(x)
        assert tree.predict_proba_one(x) == pytest.approx(expected, rel=1e-13, abs=1e-300)
        tree.learn_one(x, y)
        ref.learn_one(x, y)

    def n_nodes(node):
        return 1 if node.feature is None else 1 + n_nodes(node.left) + n_nodes(node.right)

    assert n_nodes(ref.root) >= 15, "the stream must grow the tree"


# ---- Behaviour ----------------------------------------------------------------------------------

def test_fresh_and_single_label():
    tree = q.HoeffdingTreeClassifier()
    assert tree.predict_one({"a": 1.0}) == 0
    assert tree.predict_proba_one({"a": 1.0}) == {}
    tree.learn_one({"a": 1.0}, 3)
    assert tree.predict_proba_one({"z": 2.0}) == {3: 1.0}
    assert tree.predict_one({}) == 3


def test_single_feature_splits_at_first_finite_merit_and_missing_reads_zero():
    tree = q.HoeffdingTreeClassifier(grace_period=1)
    tree.learn_one({"x": -2.0}, 0)
    tree.learn_one({"x": -1.0}, 1)
    # Split at the lowest candidate threshold, -2 + 1/11.
    assert tree.predict_one({"x": -1.95}) == 0
    assert tree.predict_one({"x": -1.9}) == 1
    # A sample without the test feature reads 0.0, which lies right of the threshold.
    assert tree.predict_one({}) == 1
    assert tree.predict_proba_one({"other": 5.0}) == {0: 0.0, 1: 1.0}


@pytest.mark.parametrize("option", [dict(max_depth=0), dict(n_split_points=0)])
def test_no_split_without_depth_or_candidates(option):
    tree = q.HoeffdingTreeClassifier(grace_period=1, max_depth=option.get("max_depth", 20))
    if "n_split_points" in option:
        tree.n_split_points = 0
    tree.learn_one({"x": -2.0}, 0)
    tree.learn_one({"x": -1.0}, 1)
    tree.learn_one({"x": -1.0}, 1)
    # Still one leaf: the majority class wins wherever the sample falls.
    assert tree.predict_proba_one({"x": -2.0}) == pytest.approx({0: 1 / 3, 1: 2 / 3})


@pytest.mark.parametrize("nb_threshold, expected", [(1000, 0), (0, 1)])
def test_nb_threshold_keeps_young_leaves_on_majority_class(nb_threshold, expected):
    tree = q.HoeffdingTreeClassifier(nb_threshold=nb_threshold)
    tree.leaf_prediction = "nb"
    for _ in range(3):
        tree.learn_one({"x": 0.0}, 0)
    tree.learn_one({"x": 10.0}, 1)
    tree.learn_one({"x": 10.1}, 1)
    assert tree.predict_one({"x": 10.05}) == expected


def test_naive_bayes_probabilities_do_not_underflow():
    tree = q.HoeffdingTreeClassifier()
    tree.leaf_prediction = "nb"
    names = [f"f{i}" for i in range(300)]
    for k in range(4):
        tree.learn_one({n: 0.1 * ((i + k) % 3) for i, n in enumerate(names)}, 0)
        tree.learn_one({n: 5.0 + 0.1 * ((i + k) % 3) for i, n in enumerate(names)}, 1)
    # Each density is tiny: their product is 0.0 in linear space for both classes.
    query = {n: 4.5 for n in names}
    proba = tree.predict_proba_one(query)
    assert proba == pytest.approx({0: 0.0, 1: 1.0})
    assert tree.predict_one(query) == 1


def test_grace_period_must_be_positive():
    with pytest.raises(ValueError, match="grace_period"):
        q.HoeffdingTreeClassifier(grace_period=0)
    tree = q.HoeffdingTreeClassifier()
    with pytest.raises(ValueError, match="grace_period"):
        tree.grace_period = -1
    assert tree.grace_period == 200


def test_properties_and_reset():
    tree = q.HoeffdingTreeClassifier(grace_period=10, split_confidence=0.1, tie_threshold=0.2, max_depth=4,
                                     split_criterion="gini")
    assert isinstance(tree, q.IClassifier)
    assert (tree.grace_period, tree.split_confidence, tree.tie_threshold, tree.max_depth) == (10, 0.1, 0.2, 4)
    assert (tree.split_criterion, tree.leaf_prediction, tree.n_split_points, tree.no_pre_prune) == \
        ("gini", "nba", 10, False)
    tree.leaf_prediction, tree.n_split_points, tree.no_pre_prune = "mc", 3, True
    for x, y in noisy_stream(200):
        tree.learn_one(x, y)
    tree.reset()
    assert tree.predict_proba_one({"a": 0.5}) == {}
    assert (tree.grace_period, tree.leaf_prediction, tree.n_split_points, tree.no_pre_prune) == (10, "mc", 3, True)
    with pytest.raises(TypeError):
        tree.learn_one(x=({"a": 1.0}), y=1)


@pytest.mark.parametrize("make", [lambda: q.HoeffdingTreeClassifier(grace_period=10),
                                  lambda: q.ARFClassifier(n_models=3, grace_period=10)],
                         ids=["tree", "forest"])
def test_non_finite_and_huge_values_keep_answers_proper(make):
    rng = random.Random(0)
    model = make()
    odd = [float("nan"), float("inf"), -float("inf"), 1e300, -1e300]
    for _ in range(3000):
        x = {"a": rng.random(), "b": rng.choice(odd + [rng.random()]), "c": rng.gauss(0.0, 1.0)}
        model.predict_one(x)
        model.learn_one(x, int(x["a"] > 0.5))
    for b in odd:
        proba = model.predict_proba_one({"a": 0.9, "b": b})
        assert all(math.isfinite(p) for p in proba.values())
        assert sum(proba.values()) == pytest.approx(1.0)
    assert model.predict_one({"a": 0.9}) == 1


@pytest.mark.parametrize("make", [q.HoeffdingTreeClassifier, q.HoeffdingAdaptiveTreeClassifier])
def test_answers_do_not_depend_on_what_was_asked_before(make):
    """A tree that is asked about each sample before and after learning it, and about repeated
    samples, answers exactly as one that only ever hears other questions in between."""
    rng = random.Random(5)
    stream = noisy_stream(700, seed=3)
    probe = {"a": 0.3, "b": -1.0}
    plain, asking = make(grace_period=20), make(grace_period=20)
    for i, (x, y) in enumerate(stream):
        repeats = 3 if rng.random() < 0.1 else 1  # the same sample learnt several times in a row
        before = asking.predict_proba_one(x), asking.predict_one(x)
        plain.predict_proba_one(probe)
        assert before == (plain.predict_proba_one(x), plain.predict_one(x))
        for _ in range(repeats):
            asking.learn_one(x, y)
            plain.learn_one(x, y)
            plain.predict_one(probe)
            assert asking.predict_proba_one(x) == plain.predict_proba_one(x)
        if i == 400:
            asking.reset()
            plain.reset()
