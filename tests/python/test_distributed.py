"""Sweeps and keyed fleets on a LocalCluster of worker processes: the same results as one
process, through a killed worker, a failed checkpoint, a restore in a new cluster and refused
input."""
import os
import pickle
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import _quelb_core as q
from catalog import bits
from quelb import datasets, prequential, synth
from quelb.errors import UsageError

# Where this process imports the extension and the package from, for the processes it starts.
IMPORT_PATH = os.pathsep.join(
    [os.path.dirname(q.__file__), os.path.dirname(os.path.dirname(datasets.__file__))])
NAMES = ["a", "b", "c"]


def new_cluster(n_workers):
    distributed = pytest.importorskip("distributed")
    return distributed.LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                                    dashboard_address=":0")


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    # Worker processes import the build and the package as this process does.
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = IMPORT_PATH + (os.pathsep + saved if saved else "")
    try:
        with new_cluster(2) as cluster, distributed.Client(cluster) as client:
            yield client
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def test_import_quelb_leaves_dask_alone():
    code = ("import sys, quelb\n"
            "assert 'distributed' not in sys.modules and 'dask' not in sys.modules\n"
            "sys.modules['distributed'] = None\n"
            "try:\n    quelb.distributed.sweep(None, [], [])\n"
            "except ImportError as e:\n    print(e)\n")
    env = dict(os.environ, PYTHONPATH=IMPORT_PATH)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert done.stdout == "this needs distributed: pip install 'quelb[dask]'\n", done.stderr


def test_sweep_equals_local_runs_and_names_failed_pairs(client, capsys):
    from quelb.distributed import SweepError, sweep
    models = [q.NaiveBayes(), "HoeffdingTreeClassifier(grace_period=50)"]
    streams = [synth.SEA(n_samples=3000, drifts=[1500]), "weather", datasets.electricity()]
    runs = sweep(client, models, streams, ["Accuracy", "WindowMetric(200)"], limit=2000,
                 every=300)
    assert len(runs) == 6
    for i, run in enumerate(runs):
        model = q.NaiveBayes() if i < 3 else {"HoeffdingTreeClassifier(grace_period=50)":
                                              q.HoeffdingTreeClassifier(grace_period=50)}
        stream = [streams[0], datasets.weather(), streams[2]][i % 3]
        local = prequential(model, stream, ["Accuracy", "WindowMetric(200)"], limit=2000,
                            every=300, progress=False)
        assert (run.models, run.metrics, run.steps) == (local.models, local.metrics, local.steps)
        assert bits(run.curves) == bits(local.curves) and run.results == local.results
    assert pickle.dumps(models[0]) == pickle.dumps(q.NaiveBayes()), "runs learn copies"

    with pytest.raises(SweepError) as failed:
        sweep(client, ["NaiveBayes", "LinearRegression"], "electricity(target='feat_2')",
              progress=True)
    assert str(failed.value).startswith(
        "1 of 2 runs failed: NaiveBayes on electricity(target='feat_2'): UsageError: NaiveBayes "
        "is a classifier")
    assert failed.value.evaluations[0] is None
    assert failed.value.evaluations[1].results["LinearRegression"]["MAE"] > 0
    assert "2/2 100%" in capsys.readouterr().err


def events(n, n_keys, seed):
    """Micro-batches of (keys, X, y): str and int keys, a concept that differs by key."""
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, n_keys, n)
    keys = [f"sensor-{i}" if i % 3 else int(i) for i in ids]
    X = rng.normal(size=(n, len(NAMES)))
    y = (X[:, 0] + np.where(ids % 2, 1.0, -1.0) * X[:, 1] > 0).astype(np.int64)
    return keys, X, y


def in_one_process(make, keys, X, y):
    """Every event predicted by its key's model, then learned: the fleet's reference."""
    models, predictions = {}, []
    for key, row, label in zip(keys, X, y.tolist()):
        if key not in models:
            models[key] = make()
        x = dict(zip(NAMES, row.tolist()))
        predictions.append(models[key].predict_one(x))
        models[key].learn_one(x, label)
    return np.array(predictions), models


def same_models(got, expected):
    assert list(got) == list(expected) and all(
        pickle.dumps(got[k]) == pickle.dumps(expected[k]) for k in expected)


def kill_a_worker(client):
    pid = next(iter(client.run(os.getpid).values()))
    os.kill(pid, signal.SIGKILL)


def test_fleet_matches_one_process_through_a_killed_worker_and_a_restore(client, tmp_path):
    from quelb.distributed import Fleet, partition_of
    import distributed
    assert [partition_of(k, 8) for k in ("sensor-1", "", 42, -7)] == [4, 3, 2, 5], \
        "a key's partition never changes: checkpoints depend on it"
    expression = "HoeffdingTreeClassifier(grace_period=20)"
    keys, X, y = events(2400, 40, seed=3)
    expected, models = in_one_process(lambda: q.HoeffdingTreeClassifier(grace_period=20), keys, X, y)
    fleet = Fleet(client, expression, n_partitions=3, checkpoint_dir=tmp_path, checkpoint_every=3)
    got = []
    for b in range(8):
        if b == 4:  # dies while the batch runs, or just after: either way its partitions are lost
            threading.Timer(0.05, kill_a_worker, [client]).start()
        rows = slice(300 * b, 300 * (b + 1))
        got.append(fleet.test_then_train(keys[rows], X[rows], y[rows], feature_names=NAMES))
    assert np.array_equal(np.concatenate(got), expected)
    assert (fleet.n_batches, fleet.n_keys) == (8, len(models))
    same_models(dict(sorted(fleet.models().items(), key=lambda kv: str(kv[0]))),
                dict(sorted(models.items(), key=lambda kv: str(kv[0]))))
    assert list(fleet.models(["sensor-1", "nobody", 3])) == ["sensor-1", 3]
    probe = np.array([[0.5, -1.0, 0.0]] * 2)
    assert fleet.predict(["sensor-2", "nobody"], probe, feature_names=NAMES).tolist() == [
        models["sensor-2"].predict_one(dict(zip(NAMES, probe[0]))),
        q.HoeffdingTreeClassifier().predict_one({})]
    with pytest.raises(UsageError, match="holds the checkpoint of a fleet at batch 6"):
        Fleet(client, expression, checkpoint_dir=tmp_path)

    with new_cluster(1) as cluster, distributed.Client(cluster) as other:
        resumed = Fleet.restore(other, tmp_path)
        assert (resumed.n_batches, resumed.n_partitions) == (6, 3)
        tail = resumed.test_then_train(keys[1800:], X[1800:], y[1800:], feature_names=NAMES)
        assert np.array_equal(tail, expected[1800:])
        same_models(resumed.models(list(models)), models)


def test_a_failed_checkpoint_leaves_the_previous_one_whole(client, tmp_path):
    from quelb.distributed import CheckpointError, Fleet
    keys, X, y = events(400, 10, seed=4)

    def factory():  # travels by value, in the checkpoint too
        return q.NaiveBayes()

    fleet = Fleet(client, factory, n_partitions=2, checkpoint_dir=tmp_path, checkpoint_every=2)
    for b in range(2):
        fleet.test_then_train(keys[100 * b:100 * (b + 1)], X[100 * b:100 * (b + 1)], y[100 * b:100 * (b + 1)])
    at_two = {k: pickle.dumps(m) for k, m in fleet.models().items()}
    (tmp_path / "partition-00001-batch-000000000004.pkl.tmp").mkdir()  # that write fails
    fleet.test_then_train(keys[200:300], X[200:300], y[200:300])
    with pytest.raises(CheckpointError, match="checkpoint of batch 4 could not be written.*"
                                              "previous checkpoint \\(batch 2\\) is whole") as e:
        fleet.test_then_train(keys[300:], X[300:], y[300:])
    assert len(e.value.predictions) == 100 and fleet.n_batches == 4
    resumed = Fleet.restore(client, tmp_path)
    assert resumed.n_batches == 2
    assert {k: pickle.dumps(m) for k, m in resumed.models().items()} == at_two


def test_refused_batches_leave_the_fleet_as_it_was(client, tmp_path):
    from quelb.distributed import Fleet
    broken = str(tmp_path / "broken")

    def factory():  # fails on the workers once the file exists
        if os.path.exists(broken):
            raise RuntimeError("no more models")
        return q.NaiveBayes()

    keys, X, y = events(300, 12, seed=5)
    rows = [dict(zip(NAMES, r), sensor=k) for k, r in zip(keys, X.tolist())]
    fleet = Fleet(client, factory, n_partitions=2)
    fleet.test_then_train("sensor", rows[:100], y[:100])

    def state():
        return fleet.n_batches, fleet.n_keys, {k: pickle.dumps(m) for k, m in fleet.models().items()}

    before = state()
    new_key = [{"a": 1.0, "sensor": "newcomer"}]
    bad = [
        (("station", rows[100:200], y[100:200]), UsageError, "event 0 has no key column 'station'"),
        (([["x"]] + keys[101:200], X[100:200], y[100:200]), UsageError, "key 0 is a list"),
        ((keys[100:199] + [1.5], X[100:200], y[100:200]), UsageError, "key 99 is a float"),
        ((keys[100:200], X[100:200], y[100:199]), UsageError, "100 keys, 100 rows of X, 99 targets"),
        ((keys[100:200], X[100:200], y[100:200] + 0.5), UsageError, "class labels must be integers"),
        (("sensor", rows[100:199] + [{"a": "high", "sensor": 1}], y[100:200]), TypeError, r"X\[99\]"),
        (("sensor", rows[100:200] + new_key, np.r_[y[100:200], 1]), UsageError,
         "the model factory raised RuntimeError: no more models on a worker; nothing was learned"),
    ]
    for args, error, message in bad:
        if "factory" in message:
            open(broken, "w").close()
        with pytest.raises(error, match=message):
            fleet.test_then_train(*args)
        assert state() == before
    os.remove(broken)
    fleet.test_then_train("sensor", rows[100:200] + new_key, np.r_[y[100:200], 1])
    assert (fleet.n_batches, fleet.n_keys) == (2, len(set(keys[:200])) + 1)
