"""Evaluation sweeps and keyed model fleets on a Dask cluster (``pip install 'quelb[dask]'``).

Dask distributed does the scheduling, the data movement and the recovery; nothing here is a
scheduler, a queue or a protocol of its own, and the work of every task runs the batch methods.
Dask is imported on first use, so ``import quelb`` works without it.

- ``sweep(client, models, streams)``: the prequential evaluation of every (model, stream) pair
  as one task each; every stream is read where its task runs.
- ``Fleet(client, factory)``: one model per key (a sensor, a customer, a market), the keys
  spread over partitions by a stable hash. A partition's models stay on a worker between
  micro-batches as a Dask future and are written to ``checkpoint_dir`` every few batches.

How nothing is lost: a partition's state is the result of a chain of tasks, one per micro-batch,
starting at its last checkpoint (or at an empty partition). The scheduler keeps that chain with
the rows of each batch, so when a worker dies it recomputes the partitions it held from the
checkpoint and the batches since, which gives the same models bit for bit. A checkpoint starts
the chains afresh, and the scheduler lets the older batches go.

The tasks learn in place (copying every model at every batch would double the cost of a
batch). That is safe because each state is read by one later step only, and every call that
reads a state (predictions, copies, checkpoints) has finished before the next step is submitted.
"""
import os
import pickle
import uuid
import zlib
from numbers import Integral

from . import datasets, expressions
from .errors import UsageError
from .evaluate import Progress, core_classes, metric_factories, model_kind, prequential
from .tables import require

__all__ = ["sweep", "SweepError", "Fleet", "FleetError", "CheckpointError", "partition_of"]


def _dask():
    return require("distributed", "dask")


def _numpy():
    return require("numpy", "dask")


def _describe_error(error):
    return f"{type(error).__name__}: {expressions.first_line(error)}"


class _Parcel:
    """A task's arguments as one object: Dask searches the lists and dicts given to a task
    item by item for futures, which for the keys of a micro-batch costs more than the task."""

    __slots__ = ("args",)

    def __init__(self, args):
        self.args = args


def _unpack(task, first, parcel):
    return task(first, *parcel.args)


# ---------------------------------------------------------------------------------------------
# Sweeps

class SweepError(RuntimeError):
    """Some runs of a sweep failed; the others completed. ``failures`` lists
    ``(model, stream, exception)`` of each failed run; ``evaluations`` holds every pair's
    Evaluation in the sweep's order, None where its run failed."""

    def __init__(self, failures, evaluations):
        runs = "; ".join(f"{model} on {stream}: {_describe_error(error)}"
                         for model, stream, error in failures)
        super().__init__(f"{len(failures)} of {len(evaluations)} runs failed: {runs}")
        self.failures, self.evaluations = failures, evaluations


def _listed(items):
    return list(items) if isinstance(items, (list, tuple)) else [items]


def _sweep_model(model):
    """(label, what the task builds the model from, kind): an expression is checked here and
    built on the worker; an object travels as its pickled state (the caller's stays untouched)."""
    if isinstance(model, str):
        expression = expressions.parse(model, core_classes(), "model")
        expression.make()  # refuses arguments the class rejects before any task starts
        label, kind = expression.label, model_kind(expression.cls)
    else:
        label, kind = type(model).__name__, model_kind(model)
    if kind not in ("classifier", "regressor"):
        raise UsageError(f"{label} is not a classifier or regressor of this module")
    return label, model, kind


def _sweep_stream(stream):
    """(label, stream): a name or expression is checked here and read on the worker; a dataset
    or generator travels as its settings, never sample by sample."""
    if isinstance(stream, str):
        datasets.resolve(stream)
        return stream.strip(), stream
    label = getattr(stream, "name", "") or type(stream).__name__
    try:
        one_shot = iter(stream) is stream
    except TypeError:
        raise UsageError(f"the stream {label} is not an iterable of (sample, target) pairs") from None
    if one_shot:
        raise UsageError(f"the stream {label} is a one-shot iterator: give a dataset, a generator "
                         f"or an expression, which every task reads for itself")
    return label, stream


def _evaluate(label, model, stream, metrics, limit, every):
    """One run of a sweep, on a worker."""
    if isinstance(model, str):
        model = expressions.parse(model, core_classes(), "model").make()
    if isinstance(stream, str):
        stream = datasets.resolve(stream)
    return prequential({label: model}, stream, metrics, limit=limit, every=every, progress=False)


def sweep(client, models, streams, metrics=None, *, limit=None, every=None, progress=None):
    """Evaluates every model on every stream, test-then-train, as Dask tasks, and returns the
    Evaluations: models in the outer order, streams in the inner, each equal (curves and
    results) to what ``quelb.prequential(model, stream, metrics)`` returns in this process.

    - ``models``: learners (each run learns its own copy) or expressions such as
      ``"ARFClassifier(n_models=10)"``, which name their run;
    - ``streams``: datasets, generators or their expressions (``"SEA(drifts=[5000])"``),
      read where the task runs;
    - ``metrics``, ``limit``, ``every``: as for ``prequential``;
    - ``progress``: a bar on stderr counting finished runs (default: when it is a terminal).

    When runs fail, the others still complete, and SweepError names each failed pair with its
    error and carries the Evaluations of the rest.
    """
    distributed = _dask()
    models = [_sweep_model(m) for m in _listed(models)]
    streams = [_sweep_stream(s) for s in _listed(streams)]
    if not models or not streams:
        raise UsageError("a sweep needs at least one model and one stream")
    for kind in {kind for _, _, kind in models}:
        metric_factories(metrics, kind)  # refuses bad metrics before any task starts
    pairs = [(m, s) for m in models for s in streams]
    tag = uuid.uuid4().hex[:12]
    futures = [client.submit(_unpack, _evaluate, label,
                             _Parcel((model, stream, metrics, limit, every)),
                             key=f"quelb-sweep-{tag}-{i}")
               for i, ((label, model, _), (_, stream)) in enumerate(pairs)]
    bar = Progress(len(futures), progress)
    try:
        for done, _ in enumerate(distributed.as_completed(futures), 1):
            bar.update(done)
    finally:
        bar.close()
    evaluations, failures = [], []
    for ((label, _, _), (stream_label, _)), future in zip(pairs, futures):
        if future.status == "finished":
            evaluations.append(future.result())
        else:
            evaluations.append(None)
            failures.append((label, stream_label, future.exception()))
    if failures:
        raise SweepError(failures, evaluations)
    return evaluations


# ---------------------------------------------------------------------------------------------
# Keyed fleets

class FleetError(RuntimeError):
    """A fleet that can no longer be trusted: a partition failed while others learned the same
    batch. Restore it from its checkpoint."""


class CheckpointError(RuntimeError):
    """A checkpoint could not be written; the previous one is whole. When it followed a learned
    batch, ``predictions`` holds that batch's predictions."""

    predictions = None


_MANIFEST = "fleet.pkl"


def partition_of(key, n_partitions):
    """The partition of a key: a CRC-32 of its type and value, the same in every process and
    every run (Python's own ``hash`` of a str changes from one process to the next)."""
    if isinstance(key, str):  # the CRC of b"s" + the UTF-8 bytes
        return zlib.crc32(key.encode("utf-8", "surrogatepass"), _CRC_S) % n_partitions
    return zlib.crc32(str(int(key)).encode(), _CRC_I) % n_partitions


_CRC_S, _CRC_I = zlib.crc32(b"s"), zlib.crc32(b"i")


def _maker(factory):
    """A zero-argument callable making one model, from an expression or a callable."""
    if isinstance(factory, str):
        return expressions.parse(factory, core_classes(), "model").make
    if callable(factory):
        return factory
    raise UsageError(f"the model factory must be a model expression or a callable, "
                     f"not a {type(factory).__name__}")


def _here():
    return _dask().get_worker().address


class _Partition:
    """The models of one partition, on a worker: key -> model in the order the keys were first
    seen; ``learned``: the predictions of its last micro-batch in the order of its rows, and
    how many keys it brought."""

    def __init__(self, factory, models=None):
        self.factory = factory
        self.models = {} if models is None else models
        self.learned = None
        self._make = None

    def make(self):
        if self._make is None:
            self._make = _maker(self.factory)
        return self._make()

    def __getstate__(self):
        # Dask copies a partition when it moves it; the maker (a closure) is rebuilt there.
        return {"factory": self.factory, "models": self.models, "learned": self.learned}

    def __setstate__(self, state):
        self.__dict__.update(state, _make=None)


def _rows(X, index):
    """The rows of a table at an index array or a slice, in the table's own form."""
    if isinstance(X, list):
        return X[index] if isinstance(index, slice) else [X[i] for i in index]
    if hasattr(X, "iloc"):
        return X.iloc[index]
    return X[index]


def _by_key(keys, codes, X, y, call):
    """Calls ``call(key, its rows of X, its targets)`` for every key, the rows of a key in
    their order, and returns the answers in the order of the rows."""
    np = _numpy()
    order = np.argsort(codes, kind="stable")
    ends = np.cumsum(np.bincount(codes, minlength=len(keys))).tolist()
    X, y = _rows(X, order), (None if y is None else y[order])
    view = X.iloc if hasattr(X, "iloc") else X  # then a slice reads rows of every form
    pieces, start = [], 0
    for key, end in zip(keys, ends):
        part = slice(start, end)
        pieces.append(call(key, view[part], None if y is None else y[part]))
        start = end
    answers = np.concatenate(pieces)
    out = np.empty_like(answers)
    out[order] = answers
    return out


def _fresh(factory):
    return _Partition(factory)


def _admit(part, keys):
    """Tries the factory when the batch brings keys this partition has not seen, so that a
    factory failing on the workers fails before any partition learns: its error, or None."""
    try:
        if any(key not in part.models for key in keys):
            part.make()
    except Exception as error:
        return _describe_error(error)
    return None


def _learn(part, keys, codes, X, y, names):
    models = part.models
    new = {key: part.make() for key in keys if key not in models}
    models.update(new)  # only once every new model exists
    predictions = _by_key(
        keys, codes, X, y, lambda key, Xk, yk: models[key].test_then_train_many(Xk, yk, **names))
    part.learned = (predictions, len(new))
    return part


def _learned(part):
    """(the predictions of the partition's last micro-batch, its number of new keys, this
    worker)."""
    return part.learned + (_here(),)


def _predict(part, keys, codes, X, names):
    unseen = []  # one new model answers for every key not seen yet

    def call(key, Xk, _):
        model = part.models.get(key)
        if model is None:
            if not unseen:
                unseen.append(part.make())
            model = unseen[0]
        return model.predict_many(Xk, **names)

    return _by_key(keys, codes, X, None, call)


def _copies(part, keys):
    if keys is None:
        return dict(part.models)
    return {key: part.models[key] for key in keys if key in part.models}


def _write_atomically(path, data):
    """Writes a file whole or not at all: a crash leaves the old file (or none) in place."""
    directory = os.path.dirname(path)
    os.makedirs(directory, exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)  # the rename itself survives a power cut
    finally:
        os.close(fd)


# The partitions this process saved last, by partition file (less the batch count): the chain
# resuming from a file here takes the partition itself rather than reading back what was just
# written; in another process it reads the file. One entry a partition, whatever happens.
_SAVED = {}


def _save(part, path):
    _write_atomically(path, pickle.dumps(part.models, protocol=pickle.HIGHEST_PROTOCOL))
    _SAVED[path.rpartition("-batch-")[0]] = (path, part)
    return _here(), len(part.models)


def _resume(path, factory):
    saved_path, part = _SAVED.pop(path.rpartition("-batch-")[0], (None, None))
    if saved_path != path:
        with open(path, "rb") as f:
            part = _Partition(factory, pickle.load(f))
    return part


def _commit(directory, manifest):
    """Makes a checkpoint current by replacing the manifest, then removes the files of older
    (or unfinished) checkpoints."""
    cloudpickle = require("cloudpickle", "dask")  # the factory may be a lambda
    _write_atomically(os.path.join(directory, _MANIFEST), cloudpickle.dumps(manifest))
    keep = set(manifest["files"])
    for name in os.listdir(directory):
        if name.startswith("partition-") and name not in keep:
            os.remove(os.path.join(directory, name))


def _read_manifest(directory):
    try:
        with open(os.path.join(directory, _MANIFEST), "rb") as f:
            return pickle.load(f)
    except FileNotFoundError:
        return None


class Fleet:
    """One model per key over a Dask cluster, each made by ``factory`` when its key is first
    seen; the keys are spread over ``n_partitions`` partitions by ``partition_of``.

    - ``client``: a ``distributed.Client`` (``Client("tcp://scheduler:8786")`` for a cluster);
    - ``factory``: a model expression (``"HoeffdingTreeClassifier(grace_period=100)"``) or a
      picklable zero-argument callable;
    - ``n_partitions``: fixed for the fleet's life (default: the cluster's worker threads);
    - ``checkpoint_dir``: a directory every worker and the restoring client's workers can
      reach (a shared filesystem on a real cluster); every ``checkpoint_every`` micro-batches
      each partition's models are written there with the batch count.

    Without ``checkpoint_dir`` the scheduler keeps every batch since the start, to recompute a
    partition lost with its worker: give one for long streams.
    """

    def __init__(self, client, factory, n_partitions=None, checkpoint_dir=None,
                 checkpoint_every=10):
        self._setup(client, factory, n_partitions, checkpoint_dir, checkpoint_every)
        if checkpoint_dir is not None:
            old = self._run(_read_manifest, self._dir)
            if old is not None:
                raise UsageError(f"{checkpoint_dir} holds the checkpoint of a fleet at batch "
                                 f"{old['n_batches']}: resume it with Fleet.restore(client, "
                                 f"{checkpoint_dir!r}), or give another directory")
        self._start(_fresh, [(self._factory,)] * self._n)

    @classmethod
    def restore(cls, client, checkpoint_dir, checkpoint_every=None):
        """The fleet saved in ``checkpoint_dir``, as it was at its last checkpoint: ``n_batches``
        tells how many micro-batches it had learned, so the caller resumes its source there."""
        distributed = _dask()
        directory = os.path.abspath(os.fspath(checkpoint_dir))
        manifest = client.submit(_read_manifest, directory, pure=False).result()
        if manifest is None:
            raise UsageError(f"no fleet checkpoint in {checkpoint_dir}")
        fleet = cls.__new__(cls)
        fleet._setup(client, manifest["factory"], manifest["n_partitions"], directory,
                     checkpoint_every or manifest["checkpoint_every"])
        fleet._n_batches = fleet._checkpointed = manifest["n_batches"]
        fleet._n_keys = manifest["n_keys"]
        fleet._start(_resume, [(os.path.join(directory, name), fleet._factory)
                               for name in manifest["files"]])
        distributed.wait(fleet._states)
        for future in fleet._states:
            if future.status != "finished":
                raise UsageError(f"cannot read the checkpoint in {checkpoint_dir}: "
                                 f"{_describe_error(future.exception())}")
        return fleet

    def _setup(self, client, factory, n_partitions, checkpoint_dir, checkpoint_every):
        _dask()
        self._client = client
        make = _maker(factory)
        try:
            probe = make()
        except UsageError:
            raise
        except Exception as error:
            raise UsageError(f"the model factory raised {_describe_error(error)}") from None
        kind = model_kind(probe)
        if kind not in ("classifier", "regressor"):
            raise UsageError(f"the model factory made a {type(probe).__name__}, not a classifier "
                             f"or regressor of this module")
        try:
            require("cloudpickle", "dask").dumps(factory)
        except Exception as error:
            raise UsageError(f"the model factory cannot be sent to the workers: "
                             f"{_describe_error(error)}") from None
        if n_partitions is None:
            n_partitions = max(1, sum(client.nthreads().values()))
        if not isinstance(n_partitions, Integral) or n_partitions < 1:
            raise UsageError("n_partitions must be a positive integer")
        if not isinstance(checkpoint_every, Integral) or checkpoint_every < 1:
            raise UsageError("checkpoint_every must be a positive integer")
        self._factory, self._probe, self._kind = factory, probe, kind
        # An expression makes the same model on every machine with this package; a callable
        # may fail on a worker alone, so there it is tried before any partition learns.
        self._admit_first = not isinstance(factory, str)
        self._n, self._every = int(n_partitions), int(checkpoint_every)
        self._dir = None if checkpoint_dir is None else os.path.abspath(os.fspath(checkpoint_dir))
        self._n_batches = self._n_keys = 0
        self._checkpointed = None
        self._broken = None

    def _start(self, task, arguments):
        """Starts every partition's chain with a task without dependencies, spread over the
        workers in turn."""
        workers = sorted(self._client.scheduler_info()["workers"]) or [None]
        self._homes = [workers[p % len(workers)] for p in range(self._n)]
        self._states = [self._submit(task, p, *args) for p, args in enumerate(arguments)]

    def _submit(self, task, p, first, *rest):
        """Submits ``task(first, *rest)`` (first: the partition's state, or what makes it) to
        the worker holding partition p; elsewhere only if that worker is gone."""
        home = self._homes[p]
        where = {} if home is None else {"workers": [home], "allow_other_workers": True}
        return self._client.submit(_unpack, task, first, _Parcel(rest),
                                   key=f"quelb-{task.__name__.strip('_')}-{uuid.uuid4().hex}",
                                   **where)

    def _run(self, task, *args):
        return self._client.submit(task, *args, pure=False).result()

    @property
    def n_keys(self):
        """Keys seen so far, one model each."""
        return self._n_keys

    @property
    def n_batches(self):
        """Micro-batches learned so far (a restored fleet counts from its checkpoint)."""
        return self._n_batches

    @property
    def n_partitions(self):
        """Number of partitions the keys are spread over."""
        return self._n

    @property
    def checkpoint_dir(self):
        """Directory the checkpoints are written to, or None."""
        return self._dir

    def __repr__(self):
        return (f"<Fleet of {self._n_keys:,} keys in {self._n} partitions, "
                f"{self._n_batches:,} micro-batches learned>")

    # -- the client's side of a micro-batch: checked whole before anything is sent

    def _targets(self, y):
        np = _numpy()
        y = np.asarray(y)
        if y.ndim != 1:
            raise UsageError(f"y must be one-dimensional, not of shape {y.shape}")
        if not len(y):  # an empty list reads as float64
            y = y.astype(np.int64)
        if self._kind == "regressor":
            if y.dtype.kind not in "biuf":
                raise UsageError(f"regression targets must be numbers, not {y.dtype}")
            return y.astype(np.float64)
        if y.dtype.kind == "b":
            y = y.astype(np.int64)
        if y.dtype.kind not in "iu":
            raise UsageError(f"class labels must be integers, not {y.dtype}")
        if len(y) and (y.min() < -2**31 or y.max() >= 2**31):
            raise UsageError("class labels must lie within the signed 32-bit range")
        return y

    def _route(self, keys, X):
        """Checks the keys and finds their partitions: (a _Batch, X without a key column)."""
        np = _numpy()
        distinct, codes, X = _distinct_keys(keys, X)
        home = np.fromiter((partition_of(key, self._n) for key in distinct), dtype=np.intp,
                           count=len(distinct))
        local = np.empty(len(distinct), dtype=np.intp)
        groups = []
        for p in np.unique(home).tolist():
            members = np.flatnonzero(home == p)
            local[members] = np.arange(len(members))
            groups.append((p, [distinct[i] for i in members.tolist()]))
        return _Batch(home[codes], local[codes], groups), X

    def _split(self, batch, X, y, feature_names):
        """Checks the rows and targets of a routed batch and splits them by partition; returns
        the keyword naming the columns."""
        np = _numpy()
        X = _table(X)
        y = None if y is None else self._targets(y)
        n = _n_rows(X)
        if batch.n != n or (y is not None and len(y) != n):
            counts = f"{batch.n} keys, {n} rows of X" + ("" if y is None else f", {len(y)} targets")
            raise UsageError(f"keys, X{'' if y is None else ' and y'} need one entry per event: "
                             f"{counts}")
        names = {} if feature_names is None else {"feature_names": list(feature_names)}
        # The new model of any key reads X as the workers will; a numeric array can only be
        # wrong in its shape, dtype or names, which its first row shows.
        sample = _rows(X, slice(0, 1)) if isinstance(X, np.ndarray) or hasattr(X, "iloc") else X
        self._probe.predict_many(sample, **names)
        batch.parts = []
        for p, part_keys in batch.groups:
            rows = np.flatnonzero(batch.row_home == p)
            batch.parts.append((p, rows, part_keys, batch.row_code[rows], _rows(X, rows),
                                None if y is None else y[rows]))
        return names

    def _answers(self, batch, pieces):
        np = _numpy()
        if not pieces:
            return np.empty(0, dtype=np.int64 if self._kind == "classifier" else np.float64)
        out = np.empty(batch.n, dtype=pieces[0].dtype)
        for (_, rows, *_rest), answers in zip(batch.parts, pieces):
            out[rows] = answers
        return out

    def _check(self):
        if self._broken:
            raise FleetError(self._broken)

    # -- the calls

    def test_then_train(self, keys, X, y, *, feature_names=None):
        """Predicts every event with its key's model, then learns it, and returns the
        predictions as a 1-D array in the batch's order, each made before its event was
        learned. Events of one key are learned in their order.

        ``keys``: a sequence or 1-D array of str or int keys, one per event, or the name of a
        column of X (a DataFrame or dicts) holding them; ``X``: anything ``learn_many`` takes,
        one row per event (``feature_names`` names an array's columns); ``y``: the targets.
        Input that cannot be learned raises before any partition learns, leaving the fleet as
        it was.
        """
        self._check()
        batch, X = self._route(keys, X)
        client = self._client
        if self._admit_first:  # the workers try the factory while the rows are checked here
            admitted = [self._submit(_admit, p, self._states[p], part_keys)
                        for p, part_keys in batch.groups]
        names = self._split(batch, X, y, feature_names)
        if self._admit_first:
            for problem in client.gather(admitted):
                if problem:
                    raise UsageError(f"the model factory raised {problem} on a worker; nothing "
                                     f"was learned")
        pending = []
        for p, _, part_keys, codes, part_X, part_y in batch.parts:
            self._states[p] = self._submit(_learn, p, self._states[p], part_keys, codes, part_X,
                                           part_y, names)
            pending.append(self._submit(_learned, p, self._states[p]))
        # Counted as learned from here: the workers learn it even if this call is interrupted.
        self._n_batches += 1
        try:
            learned = client.gather(pending)
        except Exception as error:
            self._broken = (f"a partition failed while learning micro-batch {self._n_batches} "
                            f"({_describe_error(error)}), others may have learned it: restore "
                            f"the fleet from its checkpoint")
            raise FleetError(self._broken) from error
        pieces = []
        for (p, *_rest), (answers, new, home) in zip(batch.parts, learned):
            pieces.append(answers)
            self._n_keys += new
            self._homes[p] = home
        predictions = self._answers(batch, pieces)
        if self._dir is not None and self._n_batches % self._every == 0:
            try:
                self.checkpoint()
            except CheckpointError as error:
                error.predictions = predictions
                raise
        return predictions

    def predict(self, keys, X, *, feature_names=None):
        """The predictions of the keys' models for the rows of X, in the batch's order; a key
        not seen yet is answered by a new model. Nothing is learned."""
        self._check()
        batch, X = self._route(keys, X)
        names = self._split(batch, X, None, feature_names)
        pending = [self._submit(_predict, p, self._states[p], part_keys, codes, part_X, names)
                   for p, _, part_keys, codes, part_X, _ in batch.parts]
        return self._answers(batch, self._client.gather(pending))

    def models(self, keys=None):
        """Copies of the models of ``keys`` (every key when None) as a dict in the order given;
        keys not seen yet are left out."""
        self._check()
        if keys is None:
            groups = dict.fromkeys(range(self._n))
        elif isinstance(keys, str):
            raise UsageError("give the keys as a sequence, not a str")
        else:
            distinct, _, _ = _distinct_keys(keys, None)
            groups = {}
            for key in distinct:
                groups.setdefault(partition_of(key, self._n), []).append(key)
        pending = [self._submit(_copies, p, self._states[p], group) for p, group in groups.items()]
        found = {}
        for copies in self._client.gather(pending):
            found.update(copies)
        return found if keys is None else {key: found[key] for key in distinct if key in found}

    def checkpoint(self):
        """Writes every partition's models and the batch count to ``checkpoint_dir`` now (done
        by itself every ``checkpoint_every`` batches). The files are replaced atomically: a
        crash while writing leaves the previous checkpoint whole."""
        self._check()
        if self._dir is None:
            raise UsageError("this fleet has no checkpoint_dir")
        if self._checkpointed == self._n_batches:
            return
        files = [f"partition-{p:05d}-batch-{self._n_batches:012d}.pkl" for p in range(self._n)]
        paths = [os.path.join(self._dir, name) for name in files]
        try:
            saved = self._client.gather([self._submit(_save, p, self._states[p], path)
                                         for p, path in enumerate(paths)])
            n_keys = sum(count for _, count in saved)  # exact, even after an interrupted call
            self._run(_commit, self._dir, {
                "format": 1, "n_batches": self._n_batches, "n_keys": n_keys,
                "n_partitions": self._n, "checkpoint_every": self._every,
                "factory": self._factory, "files": files})
        except Exception as error:
            previous = ("" if self._checkpointed is None
                        else f" (batch {self._checkpointed})")
            raise CheckpointError(f"the checkpoint of batch {self._n_batches} could not be "
                                  f"written: {_describe_error(error)}; the previous "
                                  f"checkpoint{previous} is whole") from error
        # The chains start again from the files: the scheduler lets the batches before go.
        self._n_keys = n_keys
        self._homes = [home for home, _ in saved]
        self._states = [self._submit(_resume, p, path, self._factory)
                        for p, path in enumerate(paths)]
        self._checkpointed = self._n_batches


class _Batch:
    """A micro-batch routed by key: each row's partition and index into the keys of that
    partition, the keys of every partition with events (in order of first appearance), and,
    once split, per partition: the positions of its rows, its keys, their indices, its rows of
    X and y."""

    def __init__(self, row_home, row_code, groups):
        self.row_home, self.row_code, self.groups = row_home, row_code, groups
        self.n, self.parts = len(row_home), None


def _hashable(value):
    try:
        hash(value)
        return True
    except TypeError:
        return False


def _distinct_keys(keys, X):
    """(the batch's distinct keys in order of first appearance, each row's index into
    them, X without a key column)."""
    np = _numpy()
    if isinstance(keys, str):
        keys, X = _key_column(keys, X)
    elif isinstance(keys, np.ndarray):
        if keys.ndim != 1:
            raise UsageError(f"keys must be one-dimensional, not of shape {keys.shape}")
        keys = keys.tolist()
    elif hasattr(keys, "tolist"):
        keys = keys.tolist()
    elif not hasattr(keys, "__len__"):
        raise UsageError(f"keys must be a sequence or 1-D array of str or int keys, or the "
                         f"name of a key column of X, not a {type(keys).__name__}")
    try:
        index = dict.fromkeys(keys)  # the loops over every event run in C
    except TypeError:
        position, key = next((i, k) for i, k in enumerate(keys) if not _hashable(k))
        raise UsageError(f"key {position} is a {type(key).__name__}: keys must be str or "
                         f"int") from None
    distinct = []
    for key in index:
        index[key] = len(distinct)
        if type(key) is str or type(key) is int:
            distinct.append(key)
        elif isinstance(key, str):
            distinct.append(str(key))
        elif isinstance(key, Integral):
            distinct.append(int(key))
        else:
            position = next(i for i, k in enumerate(keys) if k is key)
            raise UsageError(f"key {position} is a {type(key).__name__} ({key!r}): keys must "
                             f"be str or int")
    codes = np.fromiter(map(index.__getitem__, keys), dtype=np.intp, count=len(keys))
    return distinct, codes, X


def _key_column(column, X):
    """(the keys in X's column ``column``, X without it), for a DataFrame or dicts."""
    if hasattr(X, "columns") and hasattr(X, "iloc"):
        if column not in X.columns:
            raise UsageError(f"X has no key column '{column}' (columns: "
                             f"{', '.join(map(str, X.columns))})")
        return X[column].tolist(), X.drop(columns=[column])
    np = _numpy()
    if isinstance(X, np.ndarray) or hasattr(X, "tocsr"):
        raise UsageError(f"a key column ('{column}') needs X as a DataFrame or dicts; give the "
                         f"keys of an array as a sequence")
    rows = list(X)
    keys = []
    for i, row in enumerate(rows):
        try:
            keys.append(row[column])
        except (KeyError, TypeError, IndexError):
            raise UsageError(f"event {i} has no key column '{column}'") from None
    return keys, [{name: value for name, value in row.items() if name != column} for row in rows]


def _table(X):
    """X as something rows can be taken from: arrays, DataFrames and CSR matrices as they are,
    any other iterable of samples as a list."""
    np = _numpy()
    if isinstance(X, (np.ndarray, list)) or hasattr(X, "iloc") or hasattr(X, "tocsr"):
        return X
    if isinstance(X, (str, bytes)) or not hasattr(X, "__iter__"):
        raise UsageError(f"X must be an array, a DataFrame, a CSR matrix or an iterable of "
                         f"samples, not a {type(X).__name__}")
    return list(X)


def _n_rows(X):
    if isinstance(X, list) or hasattr(X, "iloc"):
        return len(X)
    if X.ndim != 2:
        raise UsageError(f"X must have one row per event, not the shape {X.shape}")
    return X.shape[0]
