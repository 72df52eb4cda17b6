"""Every class of the module in one table, for the checks that drive all classes alike.

Adding a class is one line in CLASSES: its name, its kind (how it is fed and read), the options
used when a stream drives it, and anything its documentation allows beyond the common rules. An
option that changes how a class learns gets a line of its own too, naming it as a variant: every
check then runs with it on as well.
Classes the built module does not have are skipped, so the table may name classes that have not
landed yet; test_catalog_covers_the_module makes sure no class of the module is left out.
"""
import math
import struct
from dataclasses import dataclass, field

import _quelb_core as q

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


@dataclass(frozen=True)
class Entry:
    name: str
    kind: str  # a key of KINDS
    options: dict = field(default_factory=dict)  # used by the stream checks (small grace periods)
    build: object = None  # callable(**options) -> object, for classes built from other objects
    raises: tuple = ()  # exceptions a method may raise for well-typed arguments
    seeded: bool = False  # takes a `seed` option
    # Largest value tried for integer options whose size is work or memory by design (members,
    # split points): a huge value there asks for a huge job, not for a check.
    caps: dict = field(default_factory=dict)
    # Constructor options the class rejects with ValueError, with a fragment of the message.
    invalid: tuple = ()
    proba_finite: bool = True  # predict_proba_one values always finite, in [0, 1], summing to <= 1
    # Classifiers that answer from a fixed set of labels whatever they learned (binary ones).
    labels: tuple = None
    bounds: tuple = None  # metrics: the range of every score read
    heavy: bool = False  # many members per sample: shorter streams in the slow checks
    # reset() returns the object to a new object's state (SelectKBest keeps the tie-break
    # positions of the features it has met, and so do pipelines holding one).
    reset_is_new: bool = True
    # reset() followed by the same stream replays the first run (FIMTDDRegressor keeps its
    # generator's state through a reset, so a reset tree draws other perceptron weights).
    reset_replays: bool = True
    # Messages the documentation fixes for invalid constructor options (they need not name it).
    fixed_messages: tuple = ()
    # Options that make this line a variant of the class: on in every object the checks build.
    variant: dict = field(default_factory=dict)

    @property
    def cls(self):
        return getattr(q, self.name, None)

    @property
    def id(self):
        """The class name, with the variant's options in brackets."""
        if not self.variant:
            return self.name
        return f"{self.name}[{','.join(f'{k}={v}' for k, v in self.variant.items())}]"

    def make(self, **overrides):
        options = {**self.options, **self.variant, **overrides}
        if self.build is not None:
            return self.build(**options)
        return self.cls(**options)

    def make_default(self, **overrides):
        """The object with every other option at its default (pipelines: their usual parts)."""
        if self.build is not None:
            return self.build(**overrides)
        return self.cls(**self.variant, **overrides)

    def present(self):
        if self.cls is None:
            return False
        try:
            self.make_default()
        except AttributeError:  # a part of a composed object has not landed
            return False
        return True


def _pipeline(kind, steps, learner):
    def build(**options):
        return getattr(q, kind)([getattr(q, s)() for s in steps], getattr(q, learner)(**options))

    return build


def _anomaly_pipeline(**options):
    return q.AnomalyPipeline([q.MinMaxScaler()], q.HalfSpaceTrees(**{**SMALL_TREES, **options}))


SMALL_TREES = {"n_trees": 3, "height": 6, "window_size": 20}
UNIT = (0.0, 1.0)
NONNEGATIVE = (0.0, math.inf)
VARIANCE_REDUCTION = {"split_criterion": "variance_reduction"}

# name, kind, stream options, documented extras. Keep the module's class order.
CLASSES = [
    Entry("NaiveBayes", "classifier"),
    Entry("Perceptron", "classifier"),
    Entry("LogisticRegressionClassifier", "classifier"),
    Entry("PassiveAggressiveClassifier", "classifier"),
    Entry("SoftmaxRegression", "classifier"),
    Entry("KNNClassifier", "classifier", {"window_size": 50},
          invalid=(({"window_size": 0}, "'window_size'"), ({"n_neighbors": -1}, "'n_neighbors'"))),
    Entry("HoeffdingTreeClassifier", "classifier", {"grace_period": 20}, caps={"n_split_points": 64}),
    Entry("EFDTClassifier", "classifier", {"grace_period": 20}, caps={"n_split_points": 64}),
    Entry("SGTClassifier", "classifier", {"grace_period": 20}, labels=(0, 1)),
    Entry("ARFClassifier", "classifier", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True),
    Entry("SRPClassifier", "classifier", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True),
    Entry("LeveragingBaggingClassifier", "classifier", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True),
    Entry("HoeffdingAdaptiveTreeClassifier", "classifier", {"grace_period": 20}),
    Entry("LinearRegression", "regressor"),
    Entry("BayesianLinearRegression", "regressor"),
    Entry("PassiveAggressiveRegressor", "regressor"),
    Entry("KNNRegressor", "regressor", {"window_size": 50},
          invalid=(({"window_size": 0}, "'window_size'"), ({"n_neighbors": -1}, "'n_neighbors'"))),
    Entry("HoeffdingTreeRegressor", "regressor", {"grace_period": 20}),
    Entry("ARFRegressor", "regressor", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True),
    Entry("SRPRegressor", "regressor", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True),
    # A wide tie threshold: the tree splits at almost every attempt, under every kind of input.
    Entry("HoeffdingTreeRegressor", "regressor", {"grace_period": 20, "tie_threshold": 0.5}, variant=VARIANCE_REDUCTION),
    Entry("ARFRegressor", "regressor", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True, variant=VARIANCE_REDUCTION),
    Entry("SRPRegressor", "regressor", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True, variant=VARIANCE_REDUCTION),
    Entry("FIMTDDRegressor", "regressor", {"grace_period": 20}, seeded=True, reset_is_new=False,
          reset_replays=False),
    Entry("LeveragingBaggingRegressor", "regressor", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12}, heavy=True, fixed_messages=("vector too long",),
          invalid=(({"n_models": -1}, "vector too long"),)),
    Entry("SGBTClassifier", "classifier", {"n_models": 3, "grace_period": 20}, seeded=True,
          caps={"n_models": 12, "bag_size": 4, "multiply_hessian_by": 8}, heavy=True),
    Entry("SGBRRegressor", "regressor", {"n_models": 3, "bag_size": 2, "grace_period": 20}, seeded=True,
          caps={"n_models": 12, "bag_size": 4, "multiply_hessian_by": 8}, heavy=True),
    Entry("StandardScaler", "transformer"),
    Entry("MinMaxScaler", "transformer"),
    Entry("MaxAbsScaler", "transformer"),
    Entry("VarianceThreshold", "transformer"),
    Entry("SelectKBest", "supervised_transformer", {"k": 3}, reset_is_new=False),
    Entry("OneHotEncoder", "encoding_transformer"),
    Entry("OrdinalEncoder", "encoding_transformer"),
    Entry("ClassificationPipeline", "classifier",
          build=_pipeline("ClassificationPipeline", ["StandardScaler", "VarianceThreshold"], "NaiveBayes")),
    Entry("RegressionPipeline", "regressor",
          build=_pipeline("RegressionPipeline", ["MinMaxScaler", "SelectKBest"], "LinearRegression"),
          reset_is_new=False),
    Entry("Accuracy", "label_metric", bounds=UNIT),
    Entry("MacroPrecision", "label_metric", bounds=UNIT),
    Entry("MacroRecall", "label_metric", bounds=UNIT),
    Entry("MacroF1", "label_metric", bounds=UNIT),
    Entry("MAE", "value_metric", bounds=NONNEGATIVE),
    Entry("RMSE", "value_metric", bounds=NONNEGATIVE),
    Entry("WindowMetric", "window_label_metric", {"window_size": 40}, bounds=UNIT),
    Entry("WindowRegressionMetric", "window_value_metric", {"window_size": 40}, bounds=NONNEGATIVE),
    Entry("R2", "value_metric", bounds=(-math.inf, 1.0)),
    Entry("ADWIN", "value_detector", invalid=(({"clock": 0}, "'clock'"), ({"max_buckets": 1}, "'max_buckets'"))),
    Entry("EDDM", "outcome_detector", invalid=(({"alpha": 0.5, "beta": 0.9}, "'alpha' must be greater or equal to 'beta'."),)),
    Entry("DDM", "outcome_detector", {"warm_start": 10},
          invalid=(({"warning_threshold": 4.0}, "'drift_threshold' must be greater or equal to 'warning_threshold'."),)),
    Entry("HDDM_A", "flag_detector", {"two_sided_test": True},
          invalid=(({"drift_confidence": 0.0}, "'drift_confidence'"), ({"warning_confidence": 1.0}, "'warning_confidence'"))),
    Entry("HDDM_W", "flag_detector", {"two_sided_test": True, "lambda_value": 0.2},
          invalid=(({"lambda_value": 0.0}, "'lambda_value'"),)),
    Entry("PageHinkley", "flag_detector", {"warm_start": 10, "threshold": 5.0}, invalid=(({"mode": "sideways"}, "'mode'"),)),
    Entry("KSWIN", "flag_detector", {"window_size": 40, "stat_size": 10}, seeded=True,
          invalid=(({"stat_size": 0}, "'stat_size'"), ({"window_size": 59}, "'window_size' must be at least twice"))),
    Entry("ROCAUC", "score_metric", bounds=UNIT),
    Entry("WindowROCAUC", "window_score_metric", {"window_size": 40}, bounds=UNIT),
    Entry("HalfSpaceTrees", "anomaly_detector", SMALL_TREES, seeded=True, caps={"n_trees": 4, "height": 8},
          invalid=(({"height": 21}, "'height'"), ({"limits": {"a": (1.0, 1.0)}}, "'limits'"))),
    Entry("AnomalyPipeline", "anomaly_detector", build=_anomaly_pipeline),
]

BY_NAME = {entry.name: entry for entry in CLASSES if not entry.variant}
BY_ID = {entry.id: entry for entry in CLASSES}
CONTRACTS = ("IClassifier", "IRegressor", "ITransformer", "IAnomalyDetector")


def present_entries(predicate=lambda entry: True):
    return [entry for entry in CLASSES if predicate(entry) and entry.present()]


# ---- comparing results bit for bit ----

def bits(value):
    """A canonical, hashable form of a result in which equal means identical to the last bit."""
    if isinstance(value, float):
        return ("f", struct.pack("<d", value))
    if isinstance(value, dict):
        return ("d", tuple(sorted((bits(k), bits(v)) for k, v in value.items())))
    if isinstance(value, (tuple, list)):
        return ("t", tuple(bits(v) for v in value))
    if isinstance(value, BaseException):  # the text may quote object addresses
        return ("e", type(value).__name__)
    return ("v", type(value).__name__, value)


def writable_properties(cls):
    """Names of the read-write properties of a class, its bases' included."""
    names = []
    for klass in cls.__mro__:
        for name, attr in vars(klass).items():
            if isinstance(attr, property) and attr.fset is not None and name not in names:
                names.append(name)
    return names


# ---- how each kind is fed and read ----
#
# A stream step is (x, y, y2, t, t2): a sample, two labels and two targets. `feed` trains on one
# step (learners learn x with y or t; metrics score the two labels or the two targets); `observe`
# returns everything readable about x, as plain Python values.

def _finite(v):
    return isinstance(v, float) and math.isfinite(v)


class Kind:
    labels = False  # feeds labels (checks the range of predicted labels)

    def feed(self, obj, x, y, y2, t, t2):
        raise NotImplementedError

    def feed_many(self, obj, x, y, y2, t, t2):
        """The same step through the batch methods, as a batch of one."""
        raise NotImplementedError

    def observe(self, obj, x):
        raise NotImplementedError

    def rejected_calls(self, obj, x):
        """Calls the conversion must refuse with TypeError, leaving obj unchanged."""
        return []

    def all_rejected_calls(self, obj, x):
        calls = self.rejected_calls(obj, x)
        if hasattr(obj, "set_feature_order"):
            calls += [lambda b=b: obj.set_feature_order(b) for b in ("ab", b"ab", None, [1, 2], ["a", None], {"a": 1})]
        return calls

    def check(self, entry, out, state):
        """Assert the documented invariants of one observation; state is a Tracker."""

    def all_finite(self, out):
        return all(math.isfinite(v) for v in _floats(out))


def _floats(value):
    if isinstance(value, float):
        yield value
    elif isinstance(value, dict):
        for v in value.values():
            yield from _floats(v)
    elif isinstance(value, (tuple, list)):
        for v in value:
            yield from _floats(v)


BAD_SAMPLES = [
    [("a", 1.0)], None, "ab", ("a", 1.0), {"a": "1.0"}, {1: 1.0}, {"\ud800": 1.0}, {"a": 10**400},
    {"a": None}, {("a",): 1.0},
]
BAD_LABELS = [2**31, -(2**31) - 1, 1.0, "1", None, 10**30]
BAD_TARGETS = ["1.0", None, 10**400, [1.0]]


class Classifier(Kind):
    labels = True

    def feed(self, obj, x, y, y2, t, t2):
        obj.learn_one(x, y)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.learn_many([x], [y])

    def observe(self, obj, x):
        return obj.predict_one(x), obj.predict_proba_one(x)

    def rejected_calls(self, obj, x):
        calls = [lambda b=b: obj.learn_one(b, 1) for b in BAD_SAMPLES]
        calls += [lambda b=b: obj.learn_one(x, b) for b in BAD_LABELS]
        calls += [lambda: obj.learn_one(x=x, y=1), lambda: obj.predict_one(None),
                  lambda: obj.predict_proba_one([("a", 1.0)]), lambda: obj.learn_one(x)]
        return calls

    def check(self, entry, out, state):
        label, proba = out
        assert type(label) is int and INT32_MIN <= label <= INT32_MAX
        # A classifier answers with a label it learned, or with its fixed answer of no knowledge.
        known = state.labels if entry.labels is None else set(entry.labels)
        assert label in known or label in (-1, 0), f"predicted {label}, never learned"
        assert type(proba) is dict
        assert all(type(k) is int for k in proba)
        assert set(proba) <= known, f"probabilities for unknown labels {set(proba) - known}"
        if entry.proba_finite and not state.extreme_options:
            values = list(proba.values())
            assert all(_finite(v) and 0.0 <= v <= 1.0 for v in values), proba
            assert math.fsum(values) <= 1.0 + 1e-9, proba


class Regressor(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.learn_one(x, t)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.learn_many([x], [t])

    def observe(self, obj, x):
        return obj.predict_one(x)

    def rejected_calls(self, obj, x):
        calls = [lambda b=b: obj.learn_one(b, 1.0) for b in BAD_SAMPLES]
        calls += [lambda b=b: obj.learn_one(x, b) for b in BAD_TARGETS]
        calls += [lambda: obj.learn_one(x=x, y=1.0), lambda: obj.predict_one("ab")]
        return calls

    def check(self, entry, out, state):
        assert type(out) is float


def _utf8_names(x):
    names = set()
    for key in x:
        if isinstance(key, str):
            names.add(key)
        else:
            try:
                names.add(bytes(key).decode("utf-8"))
            except UnicodeDecodeError:
                pass
    return names


def _has_undecodable_name(x):
    for key in x:
        if isinstance(key, (bytes, bytearray)):
            try:
                bytes(key).decode("utf-8")
            except UnicodeDecodeError:
                return True
    return False


class Transformer(Kind):
    supervised = False

    def feed(self, obj, x, y, y2, t, t2):
        if self.supervised:
            obj.learn_one(x, t)
        else:
            obj.learn_one(x)

    def feed_many(self, obj, x, y, y2, t, t2):
        if self.supervised:
            obj.learn_many([x], [t])
        else:
            obj.learn_many([x])

    def observe(self, obj, x):
        try:
            return obj.transform_one(x)
        except UnicodeDecodeError as error:
            # A result dict cannot hold a name that is not UTF-8; anything else must convert.
            assert _has_undecodable_name(x), error
            return error

    def rejected_calls(self, obj, x):
        extra = (1.0,) if self.supervised else ()
        calls = [lambda b=b: obj.learn_one(b, *extra) for b in BAD_SAMPLES]
        calls += [lambda: obj.transform_one(None), lambda: obj.transform_one([("a", 1.0)])]
        if self.supervised:
            calls += [lambda b=b: obj.learn_one(x, b) for b in BAD_TARGETS]
        return calls

    def check(self, entry, out, state):
        if isinstance(out, BaseException):
            return
        assert type(out) is dict and all(type(v) is float for v in out.values())
        assert set(out) <= state.last_names, f"names {set(out) - state.last_names} not in the sample"


class SupervisedTransformer(Transformer):
    supervised = True


def categorized(x):
    """x with every other float value turned into a category (the value to one decimal, as text),
    so that the streams driving every class also grow the encoders' vocabularies. Other mappings
    are left for the boundary to read (some of them fail or change while read)."""
    if type(x) is not dict:
        return x
    return {k: f"c{v:.1f}" if i % 2 == 0 and type(v) is float else v for i, (k, v) in enumerate(x.items())}


# Samples an encoder must refuse: a str value is a category for it, None an absent feature.
ENCODER_BAD_SAMPLES = [s for s in BAD_SAMPLES if s not in ({"a": "1.0"}, {"a": None})] + [{"a": [1.0]}, {"a": 1j}]


class EncodingTransformer(Transformer):
    def feed(self, obj, x, y, y2, t, t2):
        obj.learn_one(categorized(x))

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.learn_many([categorized(x)])

    def observe(self, obj, x):
        return super().observe(obj, categorized(x))

    def rejected_calls(self, obj, x):
        calls = [lambda b=b: obj.learn_one(b) for b in ENCODER_BAD_SAMPLES]
        return calls + [lambda: obj.transform_one(None), lambda: obj.transform_one([("a", 1.0)])]

    def check(self, entry, out, state):
        if isinstance(out, BaseException):
            return
        assert type(out) is dict and all(type(v) is float for v in out.values())
        # A name of the sample, or "name=category" for one of its categories.
        def named(k):
            return k in state.last_names or any(k[:i] in state.last_names for i, c in enumerate(k) if c == "=")
        assert all(named(k) for k in out), [k for k in out if not named(k)]


class LabelMetric(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.update(y, y2)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([y], [y2])

    def observe(self, obj, x):
        return obj.get()

    def rejected_calls(self, obj, x):
        return [lambda b=b: obj.update(b, 1) for b in BAD_LABELS] + [lambda: obj.update(1)]

    def check(self, entry, out, state):
        for value in _floats(out):
            lo, hi = entry.bounds
            assert lo <= value <= hi, f"{value} outside {entry.bounds}"


class ValueMetric(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.update(t, t2)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([t], [t2])

    def observe(self, obj, x):
        return obj.get()

    def rejected_calls(self, obj, x):
        return [lambda b=b: obj.update(b, 1.0) for b in BAD_TARGETS] + [lambda: obj.update(1.0)]

    def check(self, entry, out, state):
        lo, hi = entry.bounds
        for value in _floats(out):
            if math.isnan(value):
                # NaN comes from NaN or overflowing inputs, and only from them.
                assert not state.clean_errors or state.extreme_options, "NaN score from moderate inputs"
            else:
                assert lo <= value <= hi, f"{value} outside {entry.bounds}"


class WindowLabelMetric(LabelMetric):
    def observe(self, obj, x):
        return obj.get(), obj.get(1), obj.accuracy(), obj.macro_f1(), obj.size()

    def check(self, entry, out, state):
        get0, get1, accuracy, macro_f1, size = out
        assert bits(get0) == bits(accuracy) and bits(get1) == bits(macro_f1)
        assert 0 <= size <= state.fed
        super().check(entry, (accuracy, macro_f1), state)


class WindowValueMetric(ValueMetric):
    def observe(self, obj, x):
        return obj.get(), obj.get(1), obj.mae(), obj.rmse(), obj.size()

    def check(self, entry, out, state):
        get0, get1, mae, rmse, size = out
        assert bits(get0) == bits(mae) and bits(get1) == bits(rmse)
        assert 0 <= size <= state.fed
        super().check(entry, (mae, rmse), state)


class ValueDetector(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.update(t)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([t])

    def observe(self, obj, x):
        return obj.drift_detected, obj.estimation, obj.width, obj.variance

    def rejected_calls(self, obj, x):
        return [lambda b=b: obj.update(b) for b in BAD_TARGETS]

    def check(self, entry, out, state):
        drift, estimation, width, variance = out
        assert type(drift) is bool
        assert width >= 0 and width == int(width)
        assert width <= state.fed


class OutcomeDetector(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.update(y)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([y])

    def observe(self, obj, x):
        return obj.drift_detected, obj.warning_detected

    def rejected_calls(self, obj, x):
        return [lambda b=b: obj.update(b) for b in BAD_LABELS]

    def check(self, entry, out, state):
        assert all(type(flag) is bool for flag in out)


class FlagDetector(Kind):
    """A detector of numeric values that signals with flags only."""

    def feed(self, obj, x, y, y2, t, t2):
        obj.update(t)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([t])

    def observe(self, obj, x):
        return obj.drift_detected, getattr(obj, "warning_detected", False)

    def rejected_calls(self, obj, x):
        return [lambda b=b: obj.update(b) for b in BAD_TARGETS]

    def check(self, entry, out, state):
        assert all(type(flag) is bool for flag in out)


class ScoreMetric(Kind):
    """update(label, score): a positive (label 1) when the two labels agree."""

    def feed(self, obj, x, y, y2, t, t2):
        obj.update(1 if y == y2 else y, t2)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.update_many([1 if y == y2 else y], [t2])

    def observe(self, obj, x):
        return obj.get()

    def rejected_calls(self, obj, x):
        return ([lambda b=b: obj.update(b, 0.5) for b in BAD_LABELS]
                + [lambda b=b: obj.update(1, b) for b in BAD_TARGETS] + [lambda: obj.update(1)])

    def check(self, entry, out, state):
        lo, hi = entry.bounds
        assert type(out) is float and lo <= out <= hi, out


class WindowScoreMetric(ScoreMetric):
    def observe(self, obj, x):
        return obj.get(), obj.size()

    def check(self, entry, out, state):
        assert 0 <= out[1] <= state.fed
        super().check(entry, out[0], state)


class AnomalyDetector(Kind):
    def feed(self, obj, x, y, y2, t, t2):
        obj.learn_one(x)

    def feed_many(self, obj, x, y, y2, t, t2):
        obj.learn_many([x])

    def observe(self, obj, x):
        return obj.score_one(x)

    def rejected_calls(self, obj, x):
        calls = [lambda b=b: obj.learn_one(b) for b in BAD_SAMPLES]
        calls += [lambda b=b: obj.score_one(b) for b in BAD_SAMPLES]
        calls += [lambda: obj.learn_one(x, 1), lambda: obj.learn_one(x=x), lambda: obj.score_one()]
        return calls

    def check(self, entry, out, state):
        assert type(out) is float and 0.0 <= out <= 1.0, out


KINDS = {
    "classifier": Classifier(),
    "regressor": Regressor(),
    "transformer": Transformer(),
    "supervised_transformer": SupervisedTransformer(),
    "encoding_transformer": EncodingTransformer(),
    "label_metric": LabelMetric(),
    "value_metric": ValueMetric(),
    "window_label_metric": WindowLabelMetric(),
    "window_value_metric": WindowValueMetric(),
    "value_detector": ValueDetector(),
    "outcome_detector": OutcomeDetector(),
    "flag_detector": FlagDetector(),
    "score_metric": ScoreMetric(),
    "window_score_metric": WindowScoreMetric(),
    "anomaly_detector": AnomalyDetector(),
}


class Tracker:
    """What an object has been fed since construction or its last reset."""

    def __init__(self, extreme_options=False):
        # Built from extreme option values (a NaN rate, say): results need not be finite.
        self.extreme_options = extreme_options
        self.reset()

    def reset(self):
        self.labels = set()
        self.fed = 0
        self.clean_errors = True  # every target so far was a number of moderate size
        self.last_names = set()

    def fed_step(self, x, y, y2, t, t2):
        self.labels.add(y)
        self.fed += 1
        # Below 1e100, squares and sums of squares of errors cannot overflow.
        if not (abs(t) <= 1e100 and abs(t2) <= 1e100):
            self.clean_errors = False

    def observed(self, x):
        self.last_names = _utf8_names(x)
