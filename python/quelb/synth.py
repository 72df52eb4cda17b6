"""Seeded synthetic streams with optional concept drift, from their published definitions.

Every generator is an iterable of ``(sample, target)`` pairs with the attributes ``name``,
``description``, ``task``, ``n_samples`` and ``n_features``, like the shipped datasets. Iterating
restarts from the seed, so two passes (or two generators built with the same arguments) yield
identical streams. ``n_samples=None`` makes a stream endless.

Drift comes in two forms:

- Concept switches (SEA, Agrawal, Friedman): ``drifts`` lists the sample positions at which the
  stream moves on to its next concept (cycling through them). With ``drift_width`` 0 a switch is
  abrupt; with a width w the sample at position t comes from the new concept with probability
  ``1 / (1 + exp(-4 (t - p) / w))`` around the switch position p, so the old and new concepts mix
  over about w samples.
- Continuous drift (rotating hyperplane, random RBF): the concept moves a little after every
  sample, at the speed given by ``mag_change`` or ``change_speed``.

``ClusterAnomalies`` is a stream for anomaly detection: label 1 marks an anomaly, 0 a normal sample.

Feature names follow the published formulas: ``x1``, ``x2``, ... (Agrawal and STAGGER: the
attribute names). Attributes that the published definitions make categorical come as strings
(STAGGER always, Agrawal with ``categorical=True``): such streams need an encoder in front of
the learner (``ClassificationPipeline([OneHotEncoder()], learner)``), and have ``categorical``
set, which keeps them to the one-sample path (no ``iter_arrays``).
"""
import itertools
import math
import random

from .tables import arrays_from_pairs, numpy_for_chunks

__all__ = ["SEA", "Agrawal", "STAGGER", "Hyperplane", "RandomRBF", "Friedman", "ClusterAnomalies", "GENERATORS"]


class _DriftSchedule:
    """Which concept each sample comes from, given the switch positions and their width."""

    def __init__(self, first, n_concepts, drifts, width, seed):
        self.first, self.n_concepts = first, n_concepts
        self.drifts = sorted(int(p) for p in drifts)
        self.width = float(width)
        # Its own generator, so the sample draws are the same whatever the drift settings.
        self.rng = random.Random(f"{seed}/drift")

    def concept(self, t):
        passed = 0
        for position in self.drifts:
            if self.width <= 0.0:
                switched = t >= position
            else:
                z = -4.0 * (t - position) / self.width
                switched = self.rng.random() < (1.0 / (1.0 + math.exp(z)) if z < 700.0 else 0.0)
            if not switched:
                break
            passed += 1
        return (self.first + passed) % self.n_concepts


class _Generator:
    """Common iteration protocol: ``_start(rng)`` returns a function of the position t."""

    name = ""
    task = "binary classification"
    categorical = False  # some values are categories (str)

    def __init__(self, seed, n_samples):
        if n_samples is not None and n_samples < 0:
            raise ValueError("n_samples must be non-negative or None")
        self.seed = seed
        self.n_samples = n_samples

    def __len__(self):
        if self.n_samples is None:
            raise TypeError(f"the {self.name} stream is endless (n_samples=None)")
        return self.n_samples

    def __iter__(self):
        draw = self._start(random.Random(self.seed))
        positions = itertools.count() if self.n_samples is None else range(self.n_samples)
        for t in positions:
            yield draw(t)

    def _start(self, rng):
        raise NotImplementedError

    def iter_arrays(self, chunk_size=4096):
        """The stream as chunks ``(X, y, feature_names)`` of at most ``chunk_size`` rows (see
        ``quelb.tables``): the same rows and values as iterating it. Needs NumPy; a stream with
        categories has no arrays (TypeError)."""
        numpy_for_chunks(self, chunk_size)
        return arrays_from_pairs(iter(self), chunk_size, self.task != "regression")

    def __repr__(self):
        return f"<{self.name}: {self.n_samples} samples, {self.n_features} features, {self.task}>"


def _balanced(draw_one, balance_classes):
    """Wraps draw_one(t) -> (x, y) so that, if asked, labels alternate 0, 1, 0, 1, ...

    Balancing redraws samples until one of the wanted class comes up (rejection sampling), so
    the feature distribution within each class is unchanged.
    """
    if not balance_classes:
        return draw_one
    wanted = [0]

    def draw(t):
        while True:
            x, y = draw_one(t)
            if y == wanted[0]:
                wanted[0] = 1 - wanted[0]
                return x, y

    return draw


class SEA(_Generator):
    """SEA concepts (Street and Kim, 2001): three features uniform in [0, 10]; the label is 1
    when x1 + x2 > theta and 0 otherwise, where theta is 8, 9, 7 or 9.5 for variants 0 to 3; x3
    is irrelevant. Each label is flipped with probability ``noise`` (10% in the original).

    Label balance without noise: P(y = 1) = 1 - theta^2 / 200, i.e. 0.68, 0.595, 0.755 and
    0.54875 for variants 0 to 3; with noise p it is P(1 - p) + (1 - P) p. With
    ``balance_classes=True`` labels alternate 0, 1, 0, 1, ... exactly.
    """

    name = "SEA"
    THRESHOLDS = (8.0, 9.0, 7.0, 9.5)

    def __init__(self, variant=0, noise=0.1, balance_classes=False, seed=42, n_samples=10000,
                 drifts=(), drift_width=0):
        super().__init__(seed, n_samples)
        if variant not in range(4):
            raise ValueError("variant must be 0, 1, 2 or 3")
        if not 0.0 <= noise <= 1.0:
            raise ValueError("noise must be within [0, 1]")
        self.variant, self.noise, self.balance_classes = variant, noise, balance_classes
        self.drifts, self.drift_width = tuple(drifts), drift_width
        self.n_features = 3
        self.description = (f"SEA concepts from variant {variant} (threshold "
                            f"{self.THRESHOLDS[variant]}), {noise:.0%} label noise"
                            + (f", switching concept at {list(self.drifts)}" if self.drifts else ""))

    def label_balance(self, variant=None):
        """The expected share of label 1 of a variant (the first by default) without balancing."""
        theta = self.THRESHOLDS[self.variant if variant is None else variant]
        p = 1.0 - theta * theta / 200.0
        return p * (1.0 - self.noise) + (1.0 - p) * self.noise

    def _start(self, rng):
        schedule = _DriftSchedule(self.variant, 4, self.drifts, self.drift_width, self.seed)
        uniform, noise = rng.random, self.noise

        def draw(t):
            x = {"x1": 10.0 * uniform(), "x2": 10.0 * uniform(), "x3": 10.0 * uniform()}
            y = int(x["x1"] + x["x2"] > self.THRESHOLDS[schedule.concept(t)])
            if uniform() < noise:
                y = 1 - y
            return x, y

        return _balanced(draw, self.balance_classes)


def _agrawal_functions():
    """The ten classification functions of Agrawal, Imielinski and Swami (1993). Each returns
    0 for group A and 1 otherwise."""

    def between(v, lo, hi):
        return lo <= v <= hi

    def f1(a):
        return 0 if a["age"] < 40 or a["age"] >= 60 else 1

    def salary_band(age, salary):
        if age < 40:
            return between(salary, 50000, 100000)
        if age < 60:
            return between(salary, 75000, 125000)
        return between(salary, 25000, 75000)

    def f2(a):
        return 0 if salary_band(a["age"], a["salary"]) else 1

    def f3(a):
        age, elevel = a["age"], a["elevel"]
        if age < 40:
            group_a = elevel in (0, 1)
        elif age < 60:
            group_a = elevel in (1, 2, 3)
        else:
            group_a = elevel in (2, 3, 4)
        return 0 if group_a else 1

    def f4(a):
        age, elevel, salary = a["age"], a["elevel"], a["salary"]
        if age < 40:
            group_a = (between(salary, 25000, 75000) if elevel in (0, 1)
                       else between(salary, 50000, 100000))
        elif age < 60:
            group_a = (between(salary, 50000, 100000) if elevel in (1, 2, 3)
                       else between(salary, 75000, 125000))
        else:
            group_a = (between(salary, 50000, 100000) if elevel in (2, 3, 4)
                       else between(salary, 25000, 75000))
        return 0 if group_a else 1

    def f5(a):
        age, salary, loan = a["age"], a["salary"], a["loan"]
        if age < 40:
            group_a = (between(loan, 100000, 300000) if between(salary, 50000, 100000)
                       else between(loan, 200000, 400000))
        elif age < 60:
            group_a = (between(loan, 200000, 400000) if between(salary, 75000, 125000)
                       else between(loan, 300000, 500000))
        else:
            group_a = (between(loan, 300000, 500000) if between(salary, 25000, 75000)
                       else between(loan, 100000, 300000))
        return 0 if group_a else 1

    def f6(a):
        return 0 if salary_band(a["age"], a["salary"] + a["commission"]) else 1

    def f7(a):
        disposable = 2.0 * (a["salary"] + a["commission"]) / 3.0 - a["loan"] / 5.0 - 20000.0
        return 0 if disposable > 0 else 1

    def f8(a):
        disposable = 2.0 * (a["salary"] + a["commission"]) / 3.0 - 5000.0 * a["elevel"] - 20000.0
        return 0 if disposable > 0 else 1

    def f9(a):
        disposable = (2.0 * (a["salary"] + a["commission"]) / 3.0 - 5000.0 * a["elevel"]
                      - a["loan"] / 5.0 - 10000.0)
        return 0 if disposable > 0 else 1

    def f10(a):
        equity = a["hvalue"] * (a["hyears"] - 20.0) / 10.0 if a["hyears"] >= 20 else 0.0
        disposable = (2.0 * (a["salary"] + a["commission"]) / 3.0 - 5000.0 * a["elevel"]
                      + equity / 5.0 - 10000.0)
        return 0 if disposable > 0 else 1

    return (f1, f2, f3, f4, f5, f6, f7, f8, f9, f10)


class Agrawal(_Generator):
    """Loan applications of Agrawal, Imielinski and Swami (1993): nine attributes (salary,
    commission, age, education level, car make, zip code, house value, years owned, loan) and
    one of ten functions deciding the group (``function`` 0 to 9 is the paper's F1 to F10).

    After the label is decided the numeric attributes are perturbed by uniform noise of up to
    ``perturbation`` times their range (5% in the original) and clipped to that range. The label
    balance depends on the function (for instance F1 gives about 33% of label 1); with
    ``balance_classes=True`` labels alternate 0, 1, 0, 1, ... exactly.

    The paper's categorical attributes, education level (0 to 4), car make (1 to 20) and zip code
    (0 to 8), are numbers by default; ``categorical=True`` gives them as strings ("0" to "4",
    "1" to "20", "0" to "8"), with the same draws and labels.
    """

    name = "Agrawal"
    FUNCTIONS = _agrawal_functions()
    CATEGORICAL = ("elevel", "car", "zipcode")

    def __init__(self, function=0, perturbation=0.05, balance_classes=False, seed=42,
                 n_samples=10000, drifts=(), drift_width=0, categorical=False):
        super().__init__(seed, n_samples)
        if function not in range(10):
            raise ValueError("function must be within 0 to 9")
        if not 0.0 <= perturbation <= 1.0:
            raise ValueError("perturbation must be within [0, 1]")
        self.function, self.perturbation = function, perturbation
        self.balance_classes, self.categorical = balance_classes, bool(categorical)
        self.drifts, self.drift_width = tuple(drifts), drift_width
        self.n_features = 9
        self.description = (f"Agrawal loan applications, function F{function + 1}, "
                            f"{perturbation:.0%} perturbation"
                            + (", categorical attributes as strings" if self.categorical else "")
                            + (f", switching function at {list(self.drifts)}" if self.drifts else ""))

    def _start(self, rng):
        schedule = _DriftSchedule(self.function, 10, self.drifts, self.drift_width, self.seed)
        uniform, randint, p = rng.random, rng.randint, self.perturbation

        def perturb(value, lo, hi):
            return min(hi, max(lo, value + (hi - lo) * p * (2.0 * uniform() - 1.0)))

        def draw(t):
            salary = 20000.0 + 130000.0 * uniform()
            commission = 0.0 if salary >= 75000.0 else 10000.0 + 65000.0 * uniform()
            zipcode = randint(0, 8)
            a = {
                "salary": salary,
                "commission": commission,
                "age": float(randint(20, 80)),
                "elevel": float(randint(0, 4)),
                "car": float(randint(1, 20)),
                "zipcode": float(zipcode),
                "hvalue": (9.0 - zipcode) * 100000.0 * (0.5 + uniform()),
                "hyears": float(randint(1, 30)),
                "loan": 500000.0 * uniform(),
            }
            y = self.FUNCTIONS[schedule.concept(t)](a)
            if p > 0.0:
                a["salary"] = perturb(a["salary"], 20000.0, 150000.0)
                if a["commission"] > 0.0:
                    a["commission"] = perturb(a["commission"], 10000.0, 75000.0)
                a["age"] = float(round(perturb(a["age"], 20.0, 80.0)))
                a["hvalue"] = perturb(a["hvalue"], (9.0 - zipcode) * 50000.0,
                                      (9.0 - zipcode) * 150000.0)
                a["hyears"] = float(round(perturb(a["hyears"], 1.0, 30.0)))
                a["loan"] = perturb(a["loan"], 0.0, 500000.0)
            if self.categorical:
                for name in self.CATEGORICAL:
                    a[name] = str(int(a[name]))
            return a, y

        return _balanced(draw, self.balance_classes)


class STAGGER(_Generator):
    """STAGGER concepts (Schlimmer and Granger, 1986): three categorical attributes drawn
    uniformly, size ("small", "medium", "large"), colour ("red", "green", "blue") and shape
    ("square", "circular", "triangular"), as strings under the names ``size``, ``color`` and
    ``shape``. The label is 1 when the concept holds: concept 0 is size = small and color = red,
    1 is color = green or shape = circular, 2 is size = medium or size = large (``function``
    picks the first; ``drifts`` switch to the next, cycling). No noise.

    Label balance: 1/9, 5/9 and 2/3 of label 1 for concepts 0 to 2; with ``balance_classes=True``
    labels alternate 0, 1, 0, 1, ... exactly.
    """

    name = "STAGGER"
    categorical = True
    SIZES = ("small", "medium", "large")
    COLORS = ("red", "green", "blue")
    SHAPES = ("square", "circular", "triangular")
    CONCEPTS = (
        lambda size, color, shape: size == "small" and color == "red",
        lambda size, color, shape: color == "green" or shape == "circular",
        lambda size, color, shape: size in ("medium", "large"),
    )

    def __init__(self, function=0, balance_classes=False, seed=42, n_samples=10000, drifts=(),
                 drift_width=0):
        super().__init__(seed, n_samples)
        if function not in range(3):
            raise ValueError("function must be 0, 1 or 2")
        self.function, self.balance_classes = function, balance_classes
        self.drifts, self.drift_width = tuple(drifts), drift_width
        self.n_features = 3
        self.description = (f"STAGGER concepts from concept {function}, categorical attributes as "
                            f"strings" + (f", switching concept at {list(self.drifts)}" if self.drifts else ""))

    def _start(self, rng):
        schedule = _DriftSchedule(self.function, 3, self.drifts, self.drift_width, self.seed)
        choice = rng.choice

        def draw(t):
            size, color, shape = choice(self.SIZES), choice(self.COLORS), choice(self.SHAPES)
            y = int(self.CONCEPTS[schedule.concept(t)](size, color, shape))
            return {"size": size, "color": color, "shape": shape}, y

        return _balanced(draw, self.balance_classes)


class Hyperplane(_Generator):
    """Rotating hyperplane (Hulten, Spencer and Domingos, 2001): features uniform in [0, 1] and
    weights w_i uniform in [0, 1]; the label is 1 when sum(w_i x_i) >= sum(w_i) / 2, so the
    classes are balanced (about 50% each). After every sample the weights of the first
    ``n_drift_features`` features move by ``mag_change`` in their current direction, and each
    direction reverses with probability ``sigma``. Each label is flipped with probability
    ``noise``.
    """

    name = "Hyperplane"

    def __init__(self, n_features=10, n_drift_features=2, mag_change=0.0, sigma=0.1, noise=0.05,
                 seed=42, n_samples=10000):
        super().__init__(seed, n_samples)
        if n_features < 1 or not 0 <= n_drift_features <= n_features:
            raise ValueError("need n_features >= 1 and 0 <= n_drift_features <= n_features")
        if not (0.0 <= sigma <= 1.0 and 0.0 <= noise <= 1.0):
            raise ValueError("sigma and noise must be within [0, 1]")
        self.n_features, self.n_drift_features = n_features, n_drift_features
        self.mag_change, self.sigma, self.noise = mag_change, sigma, noise
        self.description = (f"rotating hyperplane in {n_features} dimensions, "
                            f"{n_drift_features} drifting by {mag_change} per sample, "
                            f"{noise:.0%} label noise")

    def _start(self, rng):
        uniform = rng.random
        names = [f"x{i + 1}" for i in range(self.n_features)]
        weights = [uniform() for _ in names]
        directions = [1.0] * self.n_drift_features

        def draw(t):
            values = [uniform() for _ in names]
            total = sum(w * v for w, v in zip(weights, values))
            y = int(total >= 0.5 * sum(weights))
            if uniform() < self.noise:
                y = 1 - y
            for i in range(self.n_drift_features):
                weights[i] += directions[i] * self.mag_change
                if uniform() < self.sigma:
                    directions[i] = -directions[i]
            return dict(zip(names, values)), y

        return draw


class RandomRBF(_Generator):
    """Random radial basis functions with moving centroids (Bifet et al., 2009): ``n_centroids``
    centres uniform in [0, 1]^d, each with a random class, standard deviation and weight. A
    sample picks a centroid with probability proportional to its weight and lies in a random
    direction from its centre at a Gaussian distance scaled by the centroid's deviation. The
    first ``n_drift_centroids`` centres move by ``change_speed`` per sample along a random
    direction, bouncing off the unit cube's faces. The centroids come from ``model_seed`` (the
    stream's seed by default), the samples from ``seed``. Label balance follows the random
    centroid weights; labels are 0 to ``n_classes`` - 1.
    """

    name = "RandomRBF"

    def __init__(self, n_features=10, n_classes=2, n_centroids=50, n_drift_centroids=0,
                 change_speed=0.0, model_seed=None, seed=42, n_samples=10000):
        super().__init__(seed, n_samples)
        if n_features < 1 or n_classes < 2 or n_centroids < 1:
            raise ValueError("need n_features >= 1, n_classes >= 2 and n_centroids >= 1")
        if not 0 <= n_drift_centroids <= n_centroids:
            raise ValueError("n_drift_centroids must be within 0 to n_centroids")
        self.n_features, self.n_classes, self.n_centroids = n_features, n_classes, n_centroids
        self.n_drift_centroids, self.change_speed = n_drift_centroids, change_speed
        self.model_seed = seed if model_seed is None else model_seed
        self.task = "binary classification" if n_classes == 2 else "multiclass classification"
        self.description = (f"random RBF, {n_centroids} centroids in {n_features} dimensions, "
                            f"{n_classes} classes, {n_drift_centroids} moving by {change_speed}")

    @staticmethod
    def _unit_vector(rng, d):
        while True:
            v = [rng.gauss(0.0, 1.0) for _ in range(d)]
            norm = math.sqrt(sum(c * c for c in v))
            if norm > 0.0:
                return [c / norm for c in v]

    def _start(self, rng):
        d = self.n_features
        model = random.Random(self.model_seed)
        centres, labels, deviations, cumulative = [], [], [], []
        total = 0.0
        for _ in range(self.n_centroids):
            centres.append([model.random() for _ in range(d)])
            labels.append(model.randrange(self.n_classes))
            deviations.append(model.random())
            total += model.random()
            cumulative.append(total)
        moves = [self._unit_vector(model, d) for _ in range(self.n_drift_centroids)]
        names = [f"x{i + 1}" for i in range(d)]

        def draw(t):
            pick = rng.random() * total
            c = next((i for i, edge in enumerate(cumulative) if pick < edge), len(cumulative) - 1)
            direction = self._unit_vector(rng, d)
            distance = rng.gauss(0.0, 1.0) * deviations[c]
            x = {n: centre + v * distance for n, centre, v in zip(names, centres[c], direction)}
            for i, move in enumerate(moves):
                centre = centres[i]
                for j in range(d):
                    centre[j] += move[j] * self.change_speed
                    if centre[j] > 1.0 or centre[j] < 0.0:
                        # Bounce: reverse along this axis and step back inside.
                        move[j] = -move[j]
                        centre[j] += 2.0 * move[j] * self.change_speed
            return x, labels[c]

        return draw


class Friedman(_Generator):
    """Friedman #1 regression (Friedman, 1991): ten features uniform in [0, 1] and
    y = 10 sin(pi x1 x2) + 20 (x3 - 0.5)^2 + 10 x4 + 5 x5 + e, e ~ N(0, ``noise_std``^2);
    x6 to x10 are irrelevant. Its drifting form (Ikonomovska et al., 2011, global abrupt drift)
    switches at each position in ``drifts`` between that concept and
    y = 10 sin(pi x4 x5) + 20 (x2 - 0.5)^2 + 10 x1 + 5 x3 + e.
    """

    name = "Friedman"
    task = "regression"

    def __init__(self, noise_std=1.0, seed=42, n_samples=10000, drifts=(), drift_width=0):
        super().__init__(seed, n_samples)
        self.noise_std = noise_std
        self.drifts, self.drift_width = tuple(drifts), drift_width
        self.n_features = 10
        self.description = ("Friedman #1 regression" +
                            (f", relevant features switching at {list(self.drifts)}"
                             if self.drifts else ""))

    def _start(self, rng):
        schedule = _DriftSchedule(0, 2, self.drifts, self.drift_width, self.seed)
        names = [f"x{i + 1}" for i in range(10)]
        sin, pi = math.sin, math.pi

        def draw(t):
            v = [rng.random() for _ in names]
            if schedule.concept(t) == 0:
                y = 10.0 * sin(pi * v[0] * v[1]) + 20.0 * (v[2] - 0.5) ** 2 + 10.0 * v[3] + 5.0 * v[4]
            else:
                y = 10.0 * sin(pi * v[3] * v[4]) + 20.0 * (v[1] - 0.5) ** 2 + 10.0 * v[0] + 5.0 * v[2]
            return dict(zip(names, v)), y + rng.gauss(0.0, self.noise_std)

        return draw


class ClusterAnomalies(_Generator):
    """Point anomalies among Gaussian clusters, for anomaly detection. ``n_clusters`` centres are
    drawn uniformly in [0.25, 0.75]^d. Each sample is, with probability ``anomaly_rate``, an
    anomaly (label 1): a point uniform in [0, 1]^d, redrawn until it lies farther than
    4 ``cluster_std`` from every centre in some coordinate. Otherwise it is normal (label 0): a
    uniformly chosen centre plus independent N(0, ``cluster_std``^2) noise per coordinate, so
    it may stray slightly outside [0, 1]. The share of anomalies is ``anomaly_rate`` in
    expectation (1% by default). ``cluster_std`` is at most 0.05, which always leaves room for
    anomalies near the corners of the cube.
    """

    name = "ClusterAnomalies"
    task = "anomaly detection"

    def __init__(self, n_features=4, n_clusters=3, cluster_std=0.05, anomaly_rate=0.01, seed=42,
                 n_samples=10000):
        super().__init__(seed, n_samples)
        if n_features < 1 or n_clusters < 1:
            raise ValueError("n_features and n_clusters must be at least 1")
        if not 0.0 < cluster_std <= 0.05:
            raise ValueError("cluster_std must be within (0, 0.05]")
        if not 0.0 <= anomaly_rate <= 1.0:
            raise ValueError("anomaly_rate must be within [0, 1]")
        self.n_features, self.n_clusters = n_features, n_clusters
        self.cluster_std, self.anomaly_rate = cluster_std, anomaly_rate
        self.description = (f"{n_clusters} Gaussian clusters (std {cluster_std}), "
                            f"{anomaly_rate:.1%} point anomalies")

    def _start(self, rng):
        names = [f"x{i + 1}" for i in range(self.n_features)]
        centres = [[rng.uniform(0.25, 0.75) for _ in names] for _ in range(self.n_clusters)]
        std, reach, uniform = self.cluster_std, 4.0 * self.cluster_std, rng.random

        def draw(t):
            if uniform() < self.anomaly_rate:
                while True:
                    v = [uniform() for _ in names]
                    if all(max(abs(a - c) for a, c in zip(v, centre)) > reach for centre in centres):
                        return dict(zip(names, v)), 1
            centre = centres[rng.randrange(self.n_clusters)]
            return {n: rng.gauss(c, std) for n, c in zip(names, centre)}, 0

        return draw


# Generator classes by name, for the command line.
GENERATORS = {cls.name: cls for cls in (SEA, Agrawal, STAGGER, Hyperplane, RandomRBF, Friedman, ClusterAnomalies)}
