import math
import random

import _quelb_core as q
import pytest


# ---- A plain reference tree, written straight from the algorithm --------------------------------

class Stats:
    def __init__(self, n=0.0, mean=0.0, m2=0.0):
        self.n, self.mean, self.m2 = n, mean, m2

    def update(self, v, w):
        self.n += w
        d = v - self.mean
        self.mean += w * d / self.n
        self.m2 += w * d * (v - self.mean)

    def share_below(self, t):
        sd = math.sqrt(self.m2 / (self.n - 1)) if self.n > 1 else 0.0
        share = 0.5 if self.n == 0 or sd == 0 else (1 + math.erf((t - self.mean) / (1.4142135623730951 * sd))) * 0.5
        return min(max(share, 0.01), 0.99)

    def scaled(self, f):
        return Stats(f * self.n, self.mean, f * self.m2)


class RefLeaf:
    def __init__(self, value=0.0, G=0.0, H=0.0, Gp=0.0, Gn=0.0, seen=0, stats=None):
        self.value, self.G, self.H, self.Gp, self.Gn, self.seen = value, G, H, Gp, Gn, seen
        self.stats = stats or {}  # name -> [positive, negative, hessian]


class RefSGT:
    def __init__(self, lr=0.1, lam=0.1, grace=200, max_depth=6):
        self.lr, self.lam, self.grace, self.max_depth = lr, lam, grace, max_depth
        self.root = RefLeaf()

    def sort(self, x):
        node, depth = self.root, 0
        while not isinstance(node, RefLeaf):
            node, depth = (node[2] if x.get(node[0], 0.0) <= node[1] else node[3]), depth + 1
        return node, depth

    def proba(self, x):
        return 1 / (1 + math.exp(-self.sort(x)[0].value))

    def learn(self, x, y):
        leaf, depth = self.sort(x)
        p = 1 / (1 + math.exp(-leaf.value))
        g, h = p - (1 if y > 0 else 0), max(p * (1 - p), 1e-06)
        leaf.G, leaf.H, leaf.seen = leaf.G + g, leaf.H + h, leaf.seen + 1
        if g > 0:
            leaf.Gp += g
        else:
            leaf.Gn -= g
        for f, v in x.items():
            s = leaf.stats.setdefault(f, [Stats(), Stats(), Stats()])
            s[0 if g > 0 else 1].update(v, abs(g) + 1e-10)
            s[2].update(v, h + 1e-10)
        if leaf.H + self.lam > 0:
            leaf.value -= self.lr * leaf.G / (leaf.H + self.lam)
        if leaf.seen % self.grace == 0 and depth < self.max_depth and leaf.seen >= self.grace:
            self.split(leaf)

    def split(self, leaf):
        G, H, lam, best, gain_best = leaf.G, leaf.H, self.lam, None, 0.0
        for f, (pos, neg, hess) in leaf.stats.items():
            n = pos.n + neg.n
            if not n > 0:
                continue
            t = (pos.n * pos.mean + neg.n * neg.mean) / n
            sp, sn = pos.share_below(t), neg.share_below(t)
            GL, HL = leaf.Gp * sp - leaf.Gn * sn, H * hess.share_below(t)
            GR, HR = G - GL, H - HL
            gain = 0.5 * (GR * GR / (lam + HR) + GL * GL / (lam + HL) - (GL + GR) * (GL + GR) / (HL + HR + lam))
            if gain > gain_best:
                gain_best, best = gain, (f, t, GL, HL, GR, HR, sp, sn)
        if best is None:
            return
        f, t, GL, HL, GR, HR, sp, sn = best
        qq = HL / H if H > 0 else 0.5
        children = []
        for Gs, Hs, share, gp, gn in ((GL, HL, qq, sp, sn), (GR, HR, 1 - qq, 1 - sp, 1 - sn)):
            stats = {k: [s.scaled(share) for s in v] for k, v in leaf.stats.items()}
            value = -Gs / (Hs + lam) if Hs + lam > 0 else 0.0
            children.append(RefLeaf(value, Gs, Hs, leaf.Gp * gp, leaf.Gn * gn, int(share * leaf.seen), stats))
        self.replace(leaf, [f, t, children[0], children[1]])

    def replace(self, leaf, test):
        if self.root is leaf:
            self.root = test
            return
        stack = [self.root]
        while stack:
            node = stack.pop()
            for i in (2, 3):
                if node[i] is leaf:
                    node[i] = test
                elif not isinstance(node[i], RefLeaf):
                    stack.append(node[i])


def separable_stream(n, seed=1, noise=0.05):
    """Feature a decides the class (with a little label noise); b is noise; c is sometimes missing."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        x = {"a": rng.random(), "b": rng.random()}
        if i % 4:
            x["c"] = rng.gauss(0, 1)
        y = int(x["a"] > 0.6)
        rows.append((x, 1 - y if rng.random() < noise else y))
    return rows


def test_matches_the_reference_tree_bit_for_bit():
    tree, ref = q.SGTClassifier(grace_period=100, max_depth=3), RefSGT(grace=100, max_depth=3)
    probes = [{"a": a / 10, "b": 0.5, "c": 0.1} for a in range(11)]
    for i, (x, y) in enumerate(separable_stream(5000)):
        tree.learn_one(x, y)
        ref.learn(x, y)
        if i % 50 == 0:
            assert [tree.predict_proba_one(p)[1] for p in probes] == [ref.proba(p) for p in probes], i
    assert not isinstance(ref.root, RefLeaf)


# ---- Behaviour -----------------------------------------------------------------------------------

def test_fresh_and_reset_tree_predict_one_with_even_odds():
    tree = q.SGTClassifier()
    assert tree.predict_one({"a": 1.0}) == 1
    assert tree.predict_proba_one({"a": 1.0}) == {1: 0.5, 0: 0.5}
    for x, y in separable_stream(500):
        tree.learn_one(x, y)
    tree.reset()
    assert tree.predict_proba_one({}) == {1: 0.5, 0: 0.5}
    assert (tree.learning_rate, tree.lambda_, tree.grace_period, tree.max_depth) == (0.1, 0.1, 200, 6)


def test_labels_above_zero_are_positive_and_predictions_stay_binary():
    plain, folded = q.SGTClassifier(grace_period=50), q.SGTClassifier(grace_period=50)
    for i, (x, y) in enumerate(separable_stream(2000)):
        plain.learn_one(x, y)
        folded.learn_one(x, (2 if i % 2 else 7) if y else (0 if i % 3 else -4))
    probes = [{"a": a / 10, "b": 0.3} for a in range(11)]
    assert [plain.predict_proba_one(p) for p in probes] == [folded.predict_proba_one(p) for p in probes]
    assert {folded.predict_one(p) for p in probes} == {0, 1}


def test_splits_on_a_separating_feature_and_beats_a_single_leaf():
    rows = separable_stream(6000)
    tree, leaf = q.SGTClassifier(), q.SGTClassifier(max_depth=0)
    correct = {id(tree): 0, id(leaf): 0}
    for i, (x, y) in enumerate(rows):
        for m in (tree, leaf):
            if i >= 3000:
                correct[id(m)] += m.predict_one(x) == y
            m.learn_one(x, y)
    assert correct[id(tree)] / 3000 > 0.9
    assert correct[id(tree)] > correct[id(leaf)] + 600


def test_no_split_before_grace_period_samples():
    tree = q.SGTClassifier(grace_period=300)
    rows = separable_stream(600)
    low, high = {"a": 0.1}, {"a": 0.9}
    for x, y in rows[:299]:
        tree.learn_one(x, y)
    assert tree.predict_proba_one(low) == tree.predict_proba_one(high)
    for x, y in rows[299:]:
        tree.learn_one(x, y)
    assert tree.predict_proba_one(low)[1] < 0.5 < tree.predict_proba_one(high)[1]


def test_grace_period_must_be_positive():
    with pytest.raises(ValueError, match="'grace_period' must be greater than 0."):
        q.SGTClassifier(grace_period=0)
    tree = q.SGTClassifier(0.5, 0.2, 10, 3)
    with pytest.raises(ValueError, match="'grace_period' must be greater than 0."):
        tree.grace_period = -1
    tree.grace_period, tree.lambda_, tree.learning_rate, tree.max_depth = 7, 1.0, 0.3, 2
    assert (tree.grace_period, tree.lambda_, tree.learning_rate, tree.max_depth) == (7, 1.0, 0.3, 2)
    assert isinstance(tree, q.IClassifier)
