"""Prequential (test-then-train) evaluation of one or several models on a stream.

Every sample is first predicted by each model (an anomaly detector scores it), the prediction
scored by each of that model's metrics, and only then learned. The very first sample is learned without being scored: an empty
model has nothing to predict with. All models see the stream in one pass, so a generator or any
other one-shot iterable works, and their times are measured separately chunk by chunk.

>>> import quelb
>>> run = quelb.prequential([quelb.NaiveBayes(), quelb.NaiveBayes()],
...                         quelb.datasets.electricity(), limit=2000, progress=False)
>>> print(run.table())                                          # doctest: +SKIP
"""
import itertools
import math
import os
import sys
import time
from collections import Counter
from collections.abc import Mapping

import _quelb_core

from . import expressions
from .errors import StreamError, UsageError

__all__ = ["prequential", "Evaluation", "Progress", "core_classes", "model_kind",
           "metric_factories", "number_repeats"]

CLASSIFICATION_METRICS = ("Accuracy", "MacroF1")
REGRESSION_METRICS = ("MAE", "RMSE")
ANOMALY_METRICS = ("ROCAUC",)
ANOMALY = "anomaly detector"
_CHUNK = 1000  # samples per timed chunk: long enough that timer calls cost nothing
_BATCH_CHUNK = 4096  # rows per batch call when the stream gives arrays


def core_classes():
    """Every class of the core module by name."""
    return {name: value for name, value in vars(_quelb_core).items()
            if isinstance(value, type) and not name.startswith("_")}


def model_kind(obj_or_cls):
    """"classifier", "regressor", "anomaly detector", "transformer" or None (a metric, a drift
    detector, anything else)."""
    cls = obj_or_cls if isinstance(obj_or_cls, type) else type(obj_or_cls)
    for base, kind in ((_quelb_core.IClassifier, "classifier"),
                       (_quelb_core.IRegressor, "regressor"),
                       (getattr(_quelb_core, "IAnomalyDetector", ()), ANOMALY),
                       (_quelb_core.ITransformer, "transformer")):
        if issubclass(cls, base):
            return kind
    return None


class Progress:
    """A progress bar on stderr, redrawn in place at most ten times a second. Quiet unless
    enabled; by default it is enabled only when stderr is a terminal."""

    def __init__(self, total, enabled=None, stream=None):
        self.stream = stream or sys.stderr
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled, self.total = enabled, total
        self.start = self.last_draw = time.perf_counter()
        self.drawn = False

    def update(self, done):
        """Redraws the bar for `done` samples (at most every 0.1 s, and at the end)."""
        if not self.enabled:
            return
        now = time.perf_counter()
        if now - self.last_draw < 0.1 and done != self.total:
            return
        self.last_draw = now
        elapsed = now - self.start
        if self.total:
            filled = int(30 * done / self.total)
            bar = "#" * filled + "." * (30 - filled)
            text = f"[{bar}] {done:,}/{self.total:,} {100 * done // self.total:3d}% {elapsed:6.1f}s"
        else:
            text = f"{done:,} samples {elapsed:6.1f}s"
        self.stream.write("\r" + text)
        self.stream.flush()
        self.drawn = True

    def close(self):
        """Erases the bar, if one was drawn."""
        if self.drawn:
            self.stream.write("\r" + " " * 72 + "\r")
            self.stream.flush()


class Evaluation:
    """The outcome of a prequential run.

    - ``models`` and ``metrics``: the names, in the order given;
    - ``steps``: the sample counts at which the metrics were recorded (every ``every`` samples
      and at the end);
    - ``curves[model][metric]``: the metric's value at each step (the learning curve);
    - ``results[model][metric]``: the final values; ``seconds[model]``: time spent in the model
      and its metrics; ``n_samples``: samples seen.
    """

    def __init__(self, models, metrics, stream_name=""):
        self.models, self.metrics, self.stream_name = list(models), list(metrics), stream_name
        self.steps = []
        self.curves = {m: {k: [] for k in self.metrics} for m in self.models}
        self.seconds = {m: 0.0 for m in self.models}
        self.n_samples = 0

    @property
    def results(self):
        """{model: {metric: final value}} (0.0 where nothing was recorded)."""
        return {m: {k: (v[-1] if v else 0.0) for k, v in c.items()} for m, c in self.curves.items()}

    def samples_per_second(self, model):
        """Samples per second spent in `model` and its metrics."""
        seconds = self.seconds[model]
        return self.n_samples / seconds if seconds > 0 else float("inf")

    def table(self):
        """The final metrics and throughput of every model, as aligned text."""
        width = max([len("model")] + [len(m) for m in self.models]) + 2
        cols = [max(10, len(k) + 2) for k in self.metrics]
        lines = ["model".ljust(width) + "".join(k.rjust(c) for k, c in zip(self.metrics, cols))
                 + "samples/s".rjust(12)]
        for model, values in self.results.items():
            cells = "".join(f"{values[k]:.4f}".rjust(c) for k, c in zip(self.metrics, cols))
            lines.append(model.ljust(width) + cells
                         + f"{self.samples_per_second(model):,.0f}".rjust(12))
        return "\n".join(lines)

    def plot(self, path, title=None):
        """Writes the learning curves in the format the path's extension names (PNG without one;
        see PLOT_FORMATS): one panel per metric, one line per model. Needs matplotlib (the `plot`
        extra), imported only here."""
        plot_format = check_plot_path(path)
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        figure = Figure(figsize=(9, 2.8 * len(self.metrics) + 0.8), dpi=100)
        FigureCanvasAgg(figure)
        axes = figure.subplots(len(self.metrics), 1, sharex=True, squeeze=False)[:, 0]
        for ax, metric in zip(axes, self.metrics):
            for model in self.models:
                ax.plot(self.steps, self.curves[model][metric], label=model, linewidth=1.2)
            ax.set_ylabel(metric)
            ax.grid(True, alpha=0.3)
        axes[0].legend(fontsize="small", loc="best")
        axes[-1].set_xlabel("samples")
        figure.suptitle(title or f"Prequential evaluation{' on ' + self.stream_name if self.stream_name else ''}")
        figure.tight_layout()
        try:
            figure.savefig(path, format=plot_format)
        except OSError as e:
            raise UsageError(f"cannot write the plot to '{path}': {e.strerror or e}") from None
        return path


# The formats a plot is written in, by the path's extension.
PLOT_FORMATS = ("png", "svg", "pdf", "ps", "eps")


def check_writable(path, what):
    """Raises UsageError unless a file can be written at ``path`` (its folder exists and is
    writable, and so is the file if it exists): checked before a run, not after it."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        problem = "it is a folder"
    elif not os.path.isdir(folder):
        problem = "no such folder"
    elif not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        problem = "permission denied"
    else:
        return
    raise UsageError(f"cannot write the {what} to '{path}': {problem}")


def check_plot_path(path):
    """The format of a plot written to ``path`` (its extension), after checking that the file
    can be written and that matplotlib is there; UsageError otherwise."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    plot_format = extension or "png"
    if plot_format not in PLOT_FORMATS:
        raise UsageError(f"cannot write a plot as '.{extension}': name a "
                         f"{', '.join('.' + f for f in PLOT_FORMATS)} file")
    check_writable(path, "plot")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("writing a plot needs matplotlib: pip install 'quelb[plot]'") from None
    return plot_format


def _name_models(models):
    """[(name, model)] from a model, a list of models, or a dict of name -> model."""
    if isinstance(models, Mapping):
        pairs = list(models.items())
    elif isinstance(models, (list, tuple)):
        pairs = [(None, m) for m in models]
    else:
        pairs = [(None, models)]
    if not pairs:
        raise UsageError("no model to evaluate")
    kinds = []
    for _, model in pairs:
        kind = model_kind(model)
        if kind not in ("classifier", "regressor", ANOMALY):
            raise UsageError(f"{type(model).__name__} is not a classifier or regressor of this "
                             f"module, nor an anomaly detector"
                             + ("; put transformers in a pipeline" if kind else ""))
        kinds.append(kind)
    if len(set(kinds)) > 1:
        raise UsageError("classifiers, regressors and anomaly detectors cannot be evaluated "
                         "together: their predictions need different metrics")
    names = number_repeats([str(name) if name is not None else type(model).__name__
                            for name, model in pairs])
    return list(zip(names, (model for _, model in pairs), kinds))


def number_repeats(names):
    """The names with each repeated one numbered in order: NaiveBayes #1, NaiveBayes #2."""
    total, seen, out = Counter(names), Counter(), []
    for name in names:
        if total[name] > 1:
            seen[name] += 1
            name = f"{name} #{seen[name]}"
        out.append(name)
    return out


def metric_factories(metrics, kind):
    """[(name, factory, reader name)] from metric names/expressions, classes or zero-argument callables."""
    if metrics is None:
        metrics = {"classifier": CLASSIFICATION_METRICS, ANOMALY: ANOMALY_METRICS}.get(kind, REGRESSION_METRICS)
    elif not isinstance(metrics, (list, tuple)):
        metrics = [metrics]
    classes = core_classes()
    out = []
    for metric in metrics:
        if isinstance(metric, str):
            expression = expressions.parse(metric, classes, "metric", allow_reader=True)
            if model_kind(expression.cls) is not None:
                raise expressions.ExpressionError(f"{expression.cls.__name__} is a {model_kind(expression.cls)}, "
                                      f"not a metric")
            if not (callable(getattr(expression.cls, "update", None)) and
                    callable(getattr(expression.cls, expression.reader or "get", None))):
                raise expressions.ExpressionError(f"{expression.cls.__name__} is not a metric (a metric has "
                                      f"update and {expression.reader or 'get'} methods)")
            out.append((expression.label, expression.make, expression.reader or "get"))
        elif callable(metric) and not hasattr(metric, "update"):
            out.append((getattr(metric, "__name__", repr(metric)), metric, "get"))
        elif isinstance(metric, type):
            if model_kind(metric) is not None or not (hasattr(metric, "update") and
                                                      hasattr(metric, "get")):
                raise UsageError(f"{metric.__name__} is not a metric")
            out.append((metric.__name__, metric, "get"))
        else:
            raise UsageError(f"give a metric as a name, a class or a factory, not a "
                             f"{type(metric).__name__} instance: every model needs its own")
    if not out:
        raise UsageError("no metric to compute")
    names = [name for name, _, _ in out]
    for name in names:
        if names.count(name) > 1:
            raise UsageError(f"metric {name} is given twice")
    return out


def _describe(value):
    text = repr(value)
    return f"{type(value).__name__} {text if len(text) <= 40 else text[:37] + '...'}"


def _diagnose(item, index, model_name, kind):
    """One line saying what is wrong with a stream item, or None if nothing obvious is."""
    where = f"stream item {index}"
    if not isinstance(item, (tuple, list)) or len(item) != 2:
        return f"{where} is a {_describe(item)}, not a (sample, target) pair"
    x, y = item
    if not isinstance(x, Mapping):
        return f"{where}: the sample is a {_describe(x)}, not a dict of feature name to number"
    for key, value in x.items():
        if not isinstance(key, (str, bytes, bytearray)):
            return f"{where}: feature name {_describe(key)} is not a str"
        if isinstance(value, (str, bytes)):
            return (f"{where}: feature '{key}' has the value {_describe(value)}, not a number; "
                    f"for {model_name} to take categories, put an encoder first, as in "
                    f"ClassificationPipeline([OneHotEncoder()], learner)")
        if not _is_number(value):
            return f"{where}: feature '{key}' has the value {_describe(value)}, not a number"
    if kind in ("classifier", ANOMALY):
        if isinstance(y, float) or not _is_integer(y):
            return (f"{where}: the target is a {_describe(y)}, but {model_name} is a{'n' if kind == ANOMALY else ''} "
                    f"{kind} and needs int labels")
    elif isinstance(y, (str, bytes)) or not _is_number(y):
        return (f"{where}: the target is a {_describe(y)}, but {model_name} is a regressor "
                f"and needs a number")
    return None


def _is_number(value):
    try:
        float(value)
        return True
    except (TypeError, ValueError, OverflowError):
        return False


def _is_integer(value):
    try:
        return -2**31 <= value.__index__() < 2**31
    except (AttributeError, TypeError):
        return False


def prequential(models, stream, metrics=None, *, limit=None, every=None, progress=None,
                plot=None, title=None):
    """Evaluates ``models`` test-then-train on ``stream`` and returns an Evaluation.

    - ``models``: a learner of the module, a list of them, or a dict of name -> learner. Names
      default to the class names (numbered when repeated). Classifiers, regressors and anomaly
      detectors cannot be mixed in one run. An anomaly detector's ``score_one`` is scored against
      the stream's int labels (1 = anomaly), then it learns the sample without its label.
    - ``stream``: any iterable of ``(sample dict, target)``; a dataset, a generator or a list.
    - ``metrics``: names or expressions of the module's metrics (``"MacroF1"``, ``"R2"``,
      ``"WindowMetric(500).macro_f1"``), classes, or zero-argument factories; each model gets
      its own instances. Defaults: Accuracy and MacroF1 for classifiers, MAE and RMSE for
      regressors, ROCAUC for anomaly detectors.
    - ``limit``: use at most this many samples; ``every``: record the learning curve every this
      many samples (by default about 100 points when the length is known, else every 1000).
    - ``progress``: draw a progress bar on stderr (default: only when stderr is a terminal).
    - ``plot``: a path to write the learning curves to, in the format its extension names
      (``.png``, ``.svg``, ``.pdf``, ``.ps``, ``.eps``); checked before the run starts.

    A stream item that is not a (sample, target) pair of the right types raises StreamError
    naming the item and the problem.
    """
    named = _name_models(models)
    kind = named[0][2]
    factories = metric_factories(metrics, kind)
    if kind in ("classifier", ANOMALY) and getattr(stream, "task", None) == "regression":
        raise UsageError(f"{named[0][0]} is a{'n' if kind == ANOMALY else ''} {kind} but the "
                         f"{getattr(stream, 'name', '')} stream has regression targets")
    if limit is not None and limit < 0:
        raise UsageError("limit must be non-negative")
    total = None
    try:
        total = len(stream)
    except TypeError:
        pass
    if limit is not None:
        total = limit if total is None else min(total, limit)
    if every is None:
        every = max(1, math.ceil(total / 100)) if total else 1000
    if every < 1:
        raise UsageError("every must be at least 1")
    if plot:
        check_plot_path(plot)

    run = Evaluation([n for n, _, _ in named], [n for n, _, _ in factories],
                     getattr(stream, "name", ""))
    # Per model: its metrics' update and read methods, and its own timer.
    lanes = []
    for name, model, _ in named:
        instances = [make() for _, make, _ in factories]
        lanes.append((name, model, [m.update for m in instances],
                      [getattr(m, reader) for m, (_, _, reader) in zip(instances, factories)]))

    bar = Progress(total, progress)
    try:
        if _can_batch(stream, lanes):
            seen = _run_batches(run, lanes, stream, limit, every, bar)
        else:
            seen = _run_samples(run, lanes, stream, limit, every, bar, kind)
    finally:
        bar.close()
    if seen and (not run.steps or run.steps[-1] != seen):
        _record(run, lanes, seen)
    if plot:
        run.plot(plot, title)
    return run


def _can_batch(stream, lanes):
    """Whether the run can use the batch methods: the stream gives arrays (and NumPy is there:
    not a stream that has or may have categories), every model has test_then_train_many and
    every metric update_many."""
    if not callable(getattr(stream, "iter_arrays", None)) or getattr(stream, "categorical", False) is not False:
        return False
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return all(hasattr(model, "test_then_train_many") and
               all(hasattr(getattr(update, "__self__", None), "update_many") for update in updates)
               for _, model, updates, _ in lanes)


def _run_samples(run, lanes, stream, limit, every, bar, kind):
    """The test-then-train loop over the stream's samples, in chunks that end at every recording
    step; returns the number of samples seen."""
    try:
        iterator = iter(stream)
    except TypeError:
        raise StreamError(f"the stream is a {type(stream).__name__}, not an iterable of "
                          f"(sample, target) pairs") from None
    if limit is not None:
        iterator = itertools.islice(iterator, limit)
    seen = 0
    while True:
        rows = list(itertools.islice(iterator, min(_CHUNK, every - seen % every)))
        if not rows:
            return seen

        def learn(name, model, updates):
            _run_chunk(rows, seen, name, model, updates, kind)
        seen = _step(run, lanes, seen, len(rows), every, bar, learn)


def _run_batches(run, lanes, stream, limit, every, bar):
    """The test-then-train loop over the stream's array chunks, cut at every recording step:
    the same predictions, scores and curves as the one-sample loop, with far fewer calls."""
    seen = 0
    for X, y, names in stream.iter_arrays(_BATCH_CHUNK):
        start = 0
        while start < len(y) and (limit is None or seen < limit):
            size = min(len(y) - start, every - seen % every)
            if limit is not None:
                size = min(size, limit - seen)
            Xc, yc = X[start:start + size], y[start:start + size]
            skip = 1 if seen == 0 else 0  # the first sample of the stream is only learned

            def learn(_name, model, updates):
                predictions = model.test_then_train_many(Xc, yc, feature_names=names)
                for update in updates:
                    update.__self__.update_many(yc[skip:], predictions[skip:])
            seen = _step(run, lanes, seen, size, every, bar, learn)
            start += size
        if limit is not None and seen >= limit:
            break
    return seen


def _step(run, lanes, seen, size, every, bar, learn):
    """One step of either loop over the `size` samples after `seen`: learn(name, model, updates)
    for each model, timed as that model's, then the curve at a recording step and the progress
    bar; returns the new count of samples seen."""
    for name, model, updates, _ in lanes:
        t0 = time.perf_counter()
        learn(name, model, updates)
        run.seconds[name] += time.perf_counter() - t0
    seen += size
    run.n_samples = seen
    if seen % every == 0:
        _record(run, lanes, seen)
    bar.update(seen)
    return seen


def _record(run, lanes, seen):
    run.steps.append(seen)
    for name, _, _, reads in lanes:
        for metric, read in zip(run.metrics, reads):
            run.curves[name][metric].append(read())


def _run_chunk(rows, offset, name, model, updates, kind):
    """Test-then-train over rows; offset is the number of samples seen before them."""
    if kind == ANOMALY:
        predict, learn_x = model.score_one, model.learn_one

        def learn(x, _label):
            learn_x(x)
    else:
        predict, learn = model.predict_one, model.learn_one
    i = offset
    try:
        for item in rows:
            x, y = item
            if i:  # the first sample of the stream is only learned
                y_pred = predict(x)
                try:
                    for update in updates:
                        update(y, y_pred)
                except TypeError:
                    if _diagnose(item, i + 1, name, kind) is not None:
                        raise
                    raise StreamError(
                        f"stream item {i + 1}: a metric cannot score the target {_describe(y)} "
                        f"against {name}'s prediction {_describe(y_pred)}") from None
            learn(x, y)
            i += 1
    except StreamError:
        raise
    except (TypeError, ValueError) as e:
        item = rows[i - offset]
        problem = _diagnose(item, i + 1, name, kind)
        if problem is None and isinstance(e, TypeError):
            problem = (f"stream item {i + 1}: {name} or its metrics rejected it "
                       f"({expressions.first_line(e)})")
        if problem is None:
            raise
        raise StreamError(problem) from None
