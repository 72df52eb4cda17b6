"""The quelb package: re-exports, shipped datasets, prequential evaluation, plots, the command
line and its errors, and installing with pip into a fresh virtual environment."""
import io
import itertools
import math
import os
import pickle
import subprocess
import sys
import tarfile

import _quelb_core as q
import pytest

import quelb
from quelb import datasets, synth
from quelb.__main__ import main
from quelb.errors import ExpressionError, StreamError, UnknownDataset, UsageError
from quelb.evaluate import Progress, prequential

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_reexports_every_core_class():
    core = [n for n, v in vars(q).items() if isinstance(v, type)]
    assert list(quelb.CORE_CLASSES) == core
    assert all(getattr(quelb, n) is getattr(q, n) for n in core)
    assert set(core) <= set(quelb.__all__)


@pytest.mark.parametrize("make, n, d, share", [(datasets.electricity, 45312, 6, 0.42),
                                               (datasets.weather, 18159, 8, 0.31)])
def test_shipped_datasets_match_their_description(make, n, d, share):
    data = make()
    rows = list(data)
    assert len(rows) == len(data) == n and data.task == "binary classification"
    assert all(len(x) == d for x, _ in rows[:100]) and data.n_features == d
    assert {y for _, y in rows} == {0, 1}
    assert sum(y for _, y in rows) / n == pytest.approx(share, abs=0.005)
    assert list(data)[:3] == rows[:3], "a dataset can be iterated again"
    assert datasets.load(data.name).path == data.path
    with pytest.raises(UnknownDataset, match="unknown dataset 'nope'"):
        datasets.load("nope")


def hand_written_run(stream, limit):
    """Test-then-train of one NaiveBayes, first sample learned only."""
    model, accuracy, f1 = q.NaiveBayes(), q.Accuracy(), q.MacroF1()
    for i, (x, y) in enumerate(stream):
        if i == limit:
            break
        if i:
            p = model.predict_one(x)
            accuracy.update(y, p)
            f1.update(y, p)
        model.learn_one(x, y)
    return accuracy.get(), f1.get()


def test_prequential_two_models_on_a_shipped_dataset(tmp_path):
    models = {"nb": q.NaiveBayes(), "nb again": q.NaiveBayes()}
    plot = tmp_path / "curves.png"
    run = prequential(models, datasets.electricity(), ["Accuracy", "MacroF1", q.MacroRecall],
                      limit=2500, every=300, progress=False, plot=str(plot))
    assert run.n_samples == 2500
    assert run.steps == [300, 600, 900, 1200, 1500, 1800, 2100, 2400, 2500]
    assert run.metrics == ["Accuracy", "MacroF1", "MacroRecall"]
    for model in models:
        for metric in run.metrics:
            curve = run.curves[model][metric]
            assert len(curve) == len(run.steps)
            assert all(0.0 <= v <= 1.0 for v in curve)
        assert run.samples_per_second(model) > 0
    assert run.curves["nb"] == run.curves["nb again"], "same model, same stream, same curve"
    accuracy, f1 = hand_written_run(datasets.electricity(), 2500)
    assert run.results["nb"]["Accuracy"] == accuracy and run.results["nb"]["MacroF1"] == f1
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and plot.stat().st_size > 10000
    table = run.table().splitlines()
    assert table[0].split() == ["model", "Accuracy", "MacroF1", "MacroRecall", "samples/s"]
    assert table[1].startswith("nb ") and f"{accuracy:.4f}" in table[1]


def test_prequential_accepts_one_shot_streams_and_names_repeats():
    stream = (pair for pair in synth.SEA(n_samples=1000))  # no len: curve every 1000 samples
    run = prequential([q.NaiveBayes(), q.NaiveBayes()], stream, "WindowMetric(100).macro_f1"
                      if hasattr(q, "WindowMetric") else "Accuracy", every=400)
    assert run.models == ["NaiveBayes #1", "NaiveBayes #2"]
    assert run.steps == [400, 800, 1000]


@pytest.mark.parametrize("item, message", [
    (("not a pair",), "stream item 3 is a tuple"),
    (([("a", 1.0)], 0), "stream item 3: the sample is a list"),
    (({"a": "high"}, 0), "stream item 3: feature 'a' has the value str 'high', not a number"),
    (({"a": 1.0}, 1.0), "stream item 3: the target is a float 1.0, but NaiveBayes is a classifier"),
    (({"a": 1.0}, "yes"), "stream item 3: the target is a str 'yes'"),
])
def test_wrong_stream_items_are_named(item, message):
    stream = [({"a": 1.0}, 0), ({"a": 2.0}, 1), item, ({"a": 1.0}, 0)]
    with pytest.raises(StreamError) as e:
        prequential(q.NaiveBayes(), stream, progress=False)
    assert str(e.value).startswith(message) and "\n" not in str(e.value)


def test_bad_requests_raise_usage_errors():
    with pytest.raises(UsageError, match="not a classifier or regressor"):
        prequential(q.Accuracy(), [])
    for metrics in ([q.Accuracy()], q.Accuracy()):
        with pytest.raises(UsageError, match="every model needs its own"):
            prequential(q.NaiveBayes(), [], metrics)
    with pytest.raises(UsageError, match="metric Accuracy is given twice"):
        prequential(q.NaiveBayes(), [], ["Accuracy", q.Accuracy])
    with pytest.raises(ExpressionError, match="NaiveBayes is a classifier, not a metric"):
        prequential(q.NaiveBayes(), [], ["NaiveBayes"])
    with pytest.raises(StreamError, match="not an iterable"):
        prequential(q.NaiveBayes(), 42)


def test_progress_bar_only_where_asked():
    out = io.StringIO()  # not a terminal: quiet by default
    bar = Progress(100, stream=out)
    bar.update(100)
    bar.close()
    assert out.getvalue() == ""
    bar = Progress(100, enabled=True, stream=out)
    bar.update(50)
    bar.update(100)
    assert "100/100 100%" in out.getvalue()
    bar.close()
    assert out.getvalue().endswith("\r")


def test_expressions_build_fresh_objects_and_refuse_code():
    expression = quelb.expressions.parse("NaiveBayes()", {"NaiveBayes": q.NaiveBayes})
    assert expression.make() is not expression.make()
    gen = quelb.expressions.parse("SEA(variant=1, noise=+0.5, drifts=[10, 20], seed=-3)",
                            synth.GENERATORS).make()
    assert (gen.variant, gen.noise, gen.drifts, gen.seed) == (1, 0.5, (10, 20), -3)
    for text in ("NaiveBayes().__class__", "__import__('os').system('true')", "NaiveBayes(a=1 + 2)",
                 "NaiveBayes(a=open)", "NaiveBayes(*[])", "lambda: 0"):
        with pytest.raises(ExpressionError):
            quelb.expressions.parse(text, {"NaiveBayes": q.NaiveBayes})


def run_cli(capsys, *args):
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("args, message", [
    (["NaiveBayes("], "cannot parse model expression 'NaiveBayes('"),
    (["NaiveBays()"], "unknown class 'NaiveBays' in model expression 'NaiveBays()'; did you mean NaiveBayes?"),
    (["NaiveBayes(depth=3)"], "NaiveBayes(depth=3): arguments not accepted; it takes NaiveBayes()"),
    (["Accuracy()"], "'Accuracy()': Accuracy is a metric or detector, not a model"),
    (["NaiveBayes(x=__import__('os'))"], "unknown class '__import__'"),
    (["NaiveBayes", "-d", "electricty"], "unknown dataset or generator 'electricty'"),
    (["NaiveBayes", "-d", "SEA(variant=9)"], "SEA(variant=9): variant must be 0, 1, 2 or 3"),
    (["NaiveBayes", "-d", "weather(target='rain')"],
     "weather(target='rain'): the weather dataset has no feature 'rain'"),
    (["NaiveBayes", "-d", "data.csv"], "--data data.csv: a CSV file needs --target naming its target column"),
    (["NaiveBayes", "-d", "missing.csv", "--target", "y"], "cannot read missing.csv"),
    (["NaiveBayes", "-d", "SEA", "--target", "x1"], "--target applies to a CSV file or a shipped dataset"),
    (["NaiveBayes", "-m", "Accuracy("], "cannot parse metric expression 'Accuracy('"),
    (["NaiveBayes", "-m", "NaiveBayes"], "NaiveBayes is a classifier, not a metric"),
    (["NaiveBayes", "-d", "friedman"], "NaiveBayes is a classifier but the Friedman stream has "
                                       "regression targets"),
    (["NaiveBayes", "--plot", "/nonexistent/dir/p.png", "--limit", "50"], "cannot write the plot"),
    (["NaiveBayes", "--plot", "curves.jpgx"], "cannot write a plot as '.jpgx': name a .png, .svg"),
    (["NaiveBayes", "--save", "/nonexistent/dir/m.pkl"], "cannot write the models to '/nonexistent/dir/m.pkl'"),
])
def test_cli_errors_are_one_line(capsys, args, message):
    status, out, err = run_cli(capsys, "evaluate", *args)
    assert status == 2
    assert err.startswith("quelb: error: " + message), err
    assert err.count("\n") == 1, err


def test_cli_evaluates_and_plots(capsys, tmp_path):
    plot = tmp_path / "sea.png"
    status, out, err = run_cli(capsys, "evaluate", "NaiveBayes", "NaiveBayes()", "-d",
                               "SEA(n_samples=3000, drifts=[1500])", "-m", "Accuracy",
                               "--plot", str(plot), "--no-progress")
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[0] == "SEA: 3,000 samples, 3 features, binary classification"
    assert lines[1].startswith("  SEA concepts from variant 0")
    assert lines[2].split() == ["model", "Accuracy", "samples/s"]
    assert [line.split()[0] for line in lines[3:5]] == ["NaiveBayes", "NaiveBayes()"]
    assert 0.5 < float(lines[3].split()[1]) <= 1.0
    assert plot.stat().st_size > 0
    status, out, _ = run_cli(capsys, "list")
    assert status == 0 and "  NaiveBayes()" in out and "  electricity: 45,312 samples" in out


def test_cli_writes_the_plot_format_named_and_saves_the_trained_models(capsys, tmp_path):
    plot, saved = tmp_path / "curves.svg", tmp_path / "models.pkl"
    stream = "SEA(n_samples=600)"
    status, out, err = run_cli(capsys, "evaluate", "NaiveBayes", "HoeffdingTreeClassifier", "-d", stream,
                               "--plot", str(plot), "--save", str(saved), "--no-progress")
    assert status == 0 and err == "" and out.endswith(f"models saved to {saved}\n")
    assert b"<svg" in plot.read_bytes()[:400]
    models = pickle.loads(saved.read_bytes())
    assert list(models) == ["NaiveBayes", "HoeffdingTreeClassifier"]
    trained = quelb.NaiveBayes()
    for x, y in synth.SEA(n_samples=600):
        trained.learn_one(x, y)
    assert pickle.dumps(models["NaiveBayes"]) == pickle.dumps(trained)


def test_cli_numbers_repeated_models_as_prequential_does(capsys):
    status, out, _ = run_cli(capsys, "evaluate", "NaiveBayes", "NaiveBayes", "-d", "SEA(n_samples=300)",
                             "--no-progress")
    assert status == 0
    assert [line.split()[:2] for line in out.splitlines()[3:5]] == [["NaiveBayes", "#1"], ["NaiveBayes", "#2"]]


def test_cli_inspects_saved_trees_and_ensembles(capsys, tmp_path, monkeypatch):
    saved, dot = tmp_path / "models.pkl", tmp_path / "tree.dot"
    status, _, err = run_cli(capsys, "evaluate", "HoeffdingTreeClassifier(grace_period=50)",
                             "ARFClassifier(n_models=3, seed=1)", "-d", "SEA(n_samples=4000)",
                             "--save", str(saved), "--no-progress")
    assert status == 0, err
    models = pickle.loads(saved.read_bytes())
    tree, forest = models.values()
    monkeypatch.setenv("PATH", str(tmp_path))  # no Graphviz
    status, out, err = run_cli(capsys, "inspect", str(saved), "--dot", str(dot))
    assert status == 0 and err == ""
    root = tree.to_dict()
    assert tree.height >= 1, "the test needs a split"
    for line in (f"HoeffdingTreeClassifier(grace_period=50): {tree!r}",
                 f"  saved state: {len(pickle.dumps(tree)):,} bytes",
                 f"  tree: {tree.n_nodes} nodes, {tree.n_leaves} leaves, height {tree.height}",
                 f"    {root['feature']} <= {root['threshold']:g} ({root['samples_seen']:g})",
                 f"ARFClassifier(n_models=3, seed=1): {forest!r}", "  members: 3",
                 f"  warnings {forest.n_warnings}, drifts {forest.n_drifts}, replacements {forest.n_replacements}",
                 "PNG skipped: Graphviz's dot is not on PATH"):
        assert line in out.splitlines(), line
    text = dot.read_text()
    assert text.startswith("digraph") and text == tree.to_dot()
    # A single saved ensemble draws its first member; dot is run on the text, without a shell.
    (tmp_path / "dot").write_text('#!/bin/sh\nprintf "%s\\n" "$@" > "$3"\n')
    (tmp_path / "dot").chmod(0o755)
    saved.write_bytes(pickle.dumps(forest))
    status, out, err = run_cli(capsys, "inspect", str(saved), "--dot", str(dot))
    assert status == 0 and out.startswith(repr(forest) + "\n"), err
    assert dot.read_text() == forest.members()[0].to_dot()
    assert (tmp_path / "tree.png").read_text().split() == ["-Tpng", "-o", str(tmp_path / "tree.png"), str(dot)]


def test_cli_inspect_errors_are_one_line(capsys, tmp_path):
    files = {"text.pkl": b"not a pickle", "list.pkl": pickle.dumps([1]),
             "metric.pkl": pickle.dumps({"a": q.Accuracy()}), "nb.pkl": pickle.dumps(q.NaiveBayes()),
             "class.pkl": pickle.dumps(q.NaiveBayes)}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    for args, message in (
            (["missing.pkl"], "cannot read 'missing.pkl': No such file"),
            (["text.pkl"], "'text.pkl' is not a pickle of quelb models: UnpicklingError"),
            (["list.pkl"], "'list.pkl' is not a pickle of quelb models: it holds an object of type list"),
            (["metric.pkl"], "'metric.pkl' is not a pickle of quelb models: under 'a' it holds an object of type Accuracy"),
            (["class.pkl"], "'class.pkl' is not a pickle of quelb models: it holds the class NaiveBayes"),
            (["nb.pkl", "--dot", "t.dot"], "--dot needs a tree or an ensemble of trees"),
            (["nb.pkl", "--dot", "t.png"], "--dot t.png: name the Graphviz text file")):
        status, out, err = run_cli(capsys, "inspect", *[str(tmp_path / a) if "." in a else a
                                                          for a in args])
        assert status == 2 and out == "" and err.count("\n") == 1, err
        assert err.replace(str(tmp_path) + "/", "").startswith("quelb: error: " + message), err
    assert not (tmp_path / "t.dot").exists()


def test_signature_from_options_is_the_published_one():
    """Arguments read from a class's `_options` are those its constructor's signature line shows."""
    from quelb.expressions import _published_signature, describe_signature, signature_of
    for cls in (c for c in vars(q).values() if isinstance(c, type) and "_options" in vars(c)):
        assert [(n, d) for n, _, d in signature_of(cls)] == [(n, d) for n, _, d in _published_signature(cls)]

    class KeywordOnly:
        _options = (("a", 1, False), ("b", "x", True), ("c", 1e-07, True))
    assert describe_signature(KeywordOnly) == "KeywordOnly(a=1, *, b='x', c=1e-07)"


def clean_env():
    """This environment without what would point Python, pip or the build elsewhere."""
    return {k: v for k, v in os.environ.items()
            if not k.startswith(("PYTHON", "SKBUILD", "VIRTUAL_ENV", "QUELB_BUILD_DIR"))}


def test_module_entry_runs_as_a_process():
    env = clean_env()
    # Where this run found both halves: site-packages, or a tree build and the sources.
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(q.__file__),
                                         os.path.dirname(os.path.dirname(quelb.__file__))])
    done = subprocess.run([sys.executable, "-m", "quelb", "evaluate", "Nope()"], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == "quelb: error: unknown class 'Nope' in model expression 'Nope()'\n"


INSTALL_CHECK = r"""
import os, sys, _quelb_core, quelb
site = sys.argv[1]
assert os.path.dirname(quelb.__file__) == os.path.join(site, "quelb"), quelb.__file__
assert os.path.dirname(_quelb_core.__file__) == site, _quelb_core.__file__
assert all(getattr(quelb, n) is v for n, v in vars(_quelb_core).items() if isinstance(v, type))
for f in ("_quelb_core.pyi", "quelb/py.typed", "quelb/data/elec.csv.gz", "quelb/data/weather.csv.gz"):
    assert os.path.isfile(os.path.join(site, f)), f
run = quelb.prequential(quelb.NaiveBayes(), quelb.datasets.weather(), limit=500, progress=False)
assert 0.5 < run.results["NaiveBayes"]["Accuracy"] <= 1.0
print("ok")
"""


def run_ok(args, **kwargs):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{args}:\n{done.stdout[-3000:]}{done.stderr[-3000:]}"
    return done


@pytest.mark.skipif(os.environ.get("QUELB_SKIP_INSTALL_TEST") == "1",
                    reason="QUELB_SKIP_INSTALL_TEST=1")
def test_sdist_builds_a_wheel_that_installs_into_a_fresh_venv(tmp_path):
    """The standard route from the source tree: an sdist; a wheel that pip builds from it in an
    isolated build environment; that wheel installed, with no build step, into a new virtual
    environment of this interpreter, and used from a directory outside the tree."""
    env = clean_env()
    dist = tmp_path / "dist"
    run_ok([sys.executable, "-m", "build", "--sdist", "--outdir", dist, ROOT], env=env)
    sdist, = dist.glob("*.tar.gz")
    assert sdist.name == f"quelb-{quelb.__version__}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
    assert {"pyproject.toml", "CMakeLists.txt", "python/_quelb_core.pyi",
            "python/quelb/data/elec.csv.gz", "src/bindings/casters.cpp"} <= names
    assert not any(n.startswith(("build", ".venv")) for n in names), "local build trees packed"

    run_ok([sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", dist, sdist], env=env)
    wheel, = dist.glob("*.whl")
    assert wheel.name.startswith(f"quelb-{quelb.__version__}-")

    venv = tmp_path / "venv"
    run_ok([sys.executable, "-m", "venv", venv], env=env)
    run_ok([venv / "bin" / "python", "-m", "pip", "install", "--no-index", "--only-binary", ":all:",
            "--quiet", wheel], env=env)
    site = run_ok([venv / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                  env=env).stdout.strip()
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    check = run_ok([venv / "bin" / "python", "-c", INSTALL_CHECK, site], cwd=elsewhere, env=env)
    assert check.stdout == "ok\n"
    cli = [venv / "bin" / "quelb", "evaluate", "NaiveBayes", "-d", "weather", "--limit", "300"]
    assert "NaiveBayes" in run_ok(cli, cwd=elsewhere, env=env).stdout
    # No extra installed: a plot names the extra that brings matplotlib.
    plot = subprocess.run([str(a) for a in cli + ["--plot", "p.png"]], cwd=elsewhere, env=env,
                          capture_output=True, text=True)
    assert plot.returncode == 2 and "pip install 'quelb[plot]'" in plot.stderr, plot.stderr


REGRESSORS = [cls for cls in vars(q).values() if isinstance(cls, type)
              and issubclass(cls, q.IRegressor) and cls is not q.IRegressor]


@pytest.mark.skipif(not REGRESSORS, reason="no regressor in this build")
def test_prequential_regression_on_friedman():
    metrics = [m for m in ("MAE", "RMSE", "R2") if hasattr(q, m)]
    if not metrics:
        pytest.skip("no regression metric in this build")
    run = prequential(REGRESSORS[0](), synth.Friedman(n_samples=1000), metrics, every=250,
                      progress=False)
    assert run.steps == [250, 500, 750, 1000]
    assert all(len(c) == 4 for c in run.curves[REGRESSORS[0].__name__].values())
    with pytest.raises(StreamError, match="stream item 2: the target is a str"):
        prequential(REGRESSORS[0](), [({"a": 1.0}, 1.0), ({"a": 1.0}, "x")], metrics)


def test_dataset_column_as_regression_target():
    data = datasets.electricity(target="feat_2")
    assert (data.task, data.n_features) == ("regression", 5)
    plain = list(itertools.islice(datasets.electricity(), 3))
    for (x, y), (px, _) in zip(data, plain):
        assert y == px["feat_2"] and x == {k: v for k, v in px.items() if k != "feat_2"}
    with pytest.raises(UsageError, match="the weather dataset has no feature 'rain'"):
        datasets.weather(target="rain")


def test_csv_stream_reads_numbers_categories_and_gaps(tmp_path):
    path = tmp_path / "cities.csv"
    path.write_text("city,temp,rain,label\nParis,12.5,,1\n\"New York, NY\",3,NA,0\n Oslo ,1e2,-inf,1\n")
    stream = datasets.csv(path, "label", missing=["NA"])
    rows = list(stream)
    assert rows[0] == ({"city": "Paris", "temp": 12.5}, 1)
    assert rows[1] == ({"city": "New York, NY", "temp": 3.0}, 0)
    assert rows[2] == ({"city": " Oslo ", "temp": 100.0, "rain": -math.inf}, 1)
    assert list(stream) == rows and len(stream) == 3 and stream.n_features == 3
    regression = datasets.csv(path, "temp", task="regression", drop=["label"])
    assert [y for _, y in regression] == [12.5, 3.0, 100.0] and regression.feature_names() == ["city", "rain"]
    model = q.ClassificationPipeline([q.OneHotEncoder()], q.NaiveBayes())
    assert prequential(model, stream, progress=False).n_samples == 3
    path.write_text("a,label\n1,0\n2,1.5\n")
    with pytest.raises(UsageError, match=r"cities.csv, line 3: the label value '1.5' is not an integer"):
        list(datasets.csv(path, "label"))
    with pytest.raises(UsageError, match="has no column 'y'"):
        datasets.csv(path, "y")


def test_penguins_and_the_cli_on_a_csv_file(capsys, tmp_path):
    data = datasets.penguins()
    rows = list(data)
    assert len(rows) == 344 and data.task == "multiclass classification" and data.categorical
    assert {x["island"] for x, _ in rows} == {"Biscoe", "Dream", "Torgersen"}
    assert sum("sex" not in x for x, _ in rows) == 11 and {y for _, y in rows} == {0, 1, 2}
    path = tmp_path / "birds.csv.gz"
    import gzip
    with gzip.open(path, "wt") as f:
        f.write("island,mass,species\n" + "".join(f"{x['island']},{x.get('body_mass_g', '')},{y}\n" for x, y in rows))
    status, out, err = run_cli(capsys, "evaluate", "ClassificationPipeline([OneHotEncoder()], NaiveBayes())",
                               "--data", str(path), "--target", "species", "--no-progress")
    assert status == 0 and out.startswith("birds.csv.gz: 344 samples, 2 features, classification"), err
    status, _, err = run_cli(capsys, "evaluate", "NaiveBayes", "--data", str(path), "--target", "species")
    assert status == 2 and "put an encoder first" in err



def test_shipped_datasets_pickle_by_name():
    import pickle
    for stream in (quelb.datasets.electricity(), quelb.datasets.electricity(target="feat_2")):
        copy = pickle.loads(pickle.dumps(stream))
        assert (copy.name, copy.task, copy.feature_names()) == (stream.name, stream.task, stream.feature_names())
        assert next(iter(copy)) == next(iter(stream))
