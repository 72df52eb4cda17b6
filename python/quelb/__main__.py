"""Command line: ``python3 -m quelb evaluate MODEL... --data STREAM``, ``python3 -m quelb list`` and
``python3 -m quelb inspect MODELS.pkl``.

Models, metrics and generators are given as expressions such as ``ARFClassifier(n_models=10)`` or
``SEA(drifts=[5000], n_samples=20000)``; they are parsed, never evaluated. Problems with what was
asked for are reported in one line on stderr with exit status 2.
"""
import argparse
import os
import pickle
import sys

from . import datasets, expressions, inspection, synth
from .errors import ExpressionError, UsageError
from .evaluate import (ANOMALY, check_plot_path, check_writable, core_classes, metric_factories, model_kind,
                       number_repeats, prequential)


def resolve_models(texts):
    """{label: model} built from model expressions; raises ExpressionError for a non-model."""
    classes = core_classes()
    labels, models = [], []
    for text in texts:
        expression = expressions.parse(text, classes, "model")
        kind = model_kind(expression.cls)
        if kind not in ("classifier", "regressor", ANOMALY):
            what = kind or "metric or detector"
            raise ExpressionError(f"'{text}': {expression.cls.__name__} is a {what}, not a model"
                            + ("; put it in a ClassificationPipeline, RegressionPipeline or AnomalyPipeline"
                               if kind == "transformer" else ""))
        labels.append(expression.label)
        models.append(expression.make())
    return dict(zip(number_repeats(labels), models))


def cmd_evaluate(args):
    """`evaluate`: prequential evaluation of models on a stream; prints the table."""
    stream = datasets.resolve(args.data, args.target, args.task)
    models = resolve_models(args.models)
    # Metric expressions are checked before anything is printed, like the other expressions.
    metric_factories(args.metric or None, model_kind(next(iter(models.values()))))
    if args.plot:
        check_plot_path(args.plot)
    if args.save:
        check_writable(args.save, "models")
    n = getattr(stream, "n_samples", None)
    if args.limit is not None and n is not None:
        n = min(n, args.limit)
    print(f"{getattr(stream, 'name', args.data)}: "
          f"{f'{n:,}' if n is not None else 'endless'} samples, "
          f"{getattr(stream, 'n_features', '?')} features, {getattr(stream, 'task', '')}")
    if getattr(stream, "description", ""):
        print(f"  {stream.description}")
    sys.stdout.flush()
    run = prequential(models, stream, args.metric or None, limit=args.limit, every=args.every,
                      progress=args.progress, plot=args.plot)
    print(run.table(), flush=True)
    if args.plot:
        print(f"learning curves written to {args.plot}")
    if args.save:
        save_models(models, args.save)
        print(f"model{'s' if len(models) > 1 else ''} saved to {args.save}")
    return 0


def save_models(models, path):
    """Pickles the trained models: the model itself when there is one, else a dict of name ->
    model in the order given."""
    saved = next(iter(models.values())) if len(models) == 1 else dict(models)
    try:
        with open(path, "wb") as f:
            pickle.dump(saved, f, protocol=pickle.HIGHEST_PROTOCOL)
    except OSError as e:
        raise UsageError(f"cannot write the models to '{path}': {e.strerror or e}") from None


def cmd_inspect(args):
    """`inspect`: describes the models saved in a file (and writes a tree as dot)."""
    models = inspection.load_models(args.file)
    tree = None
    if args.dot:
        if os.path.splitext(args.dot)[1].lower() == ".png":
            raise UsageError(f"--dot {args.dot}: name the Graphviz text file (e.g. tree.dot); "
                             "the PNG is written beside it")
        tree = inspection.dot_tree(models)
        check_writable(args.dot, "Graphviz text")
    for name, model in models.items():
        lines = inspection.describe(model)
        if name is not None:
            lines[0] = f"{name}: {lines[0]}"
        print("\n".join(lines))
    if tree is not None:
        png = inspection.write_dot(tree, args.dot)
        print(f"Graphviz text of {type(tree).__name__} written to {args.dot}")
        print(f"drawing written to {png}" if png else "PNG skipped: Graphviz's dot is not on PATH")
    return 0


def cmd_list(_args):
    """`list`: the classes of the module, grouped by kind."""
    groups = {"classifier": [], "regressor": [], ANOMALY: [], "transformer": [], None: []}
    for name, cls in core_classes().items():
        if name in ("IClassifier", "IRegressor", "ITransformer", "IAnomalyDetector"):
            continue
        groups[model_kind(cls)].append(expressions.describe_signature(cls))
    for title, key in (("classifiers", "classifier"), ("regressors", "regressor"),
                       ("anomaly detectors", ANOMALY), ("transformers", "transformer"),
                       ("metrics and drift detectors", None)):
        if groups[key]:
            print(f"{title}:")
            for line in groups[key]:
                print(f"  {line}")
    print("datasets:")
    for name, make in datasets.DATASETS.items():
        d = make()
        if d.name == name:
            print(f"  {name}: {d.n_samples:,} samples, {d.n_features} features, {d.task}")
    print("generators:")
    for cls in synth.GENERATORS.values():
        print(f"  {expressions.describe_signature(cls)}")
    return 0


def build_parser():
    """The command-line parser, one sub-command per cmd_ function."""
    parser = argparse.ArgumentParser(prog="python3 -m quelb",
                                     description="Streaming learners of quelb from the shell.")
    sub = parser.add_subparsers(dest="command", required=True)
    ev = sub.add_parser("evaluate", help="prequential evaluation of models on a stream",
                        description="Evaluates models test-then-train on a dataset or generator "
                                    "and prints their final metrics and throughput.")
    ev.add_argument("models", nargs="+", metavar="MODEL",
                    help="a model expression, e.g. NaiveBayes or 'ARFClassifier(n_models=10)'")
    ev.add_argument("-d", "--data", default="electricity",
                    help="a dataset (electricity, weather, penguins), a generator, by name or "
                         "expression such as 'SEA(drifts=[5000])', or a CSV file with a header row "
                         "(needs --target) (default: electricity)")
    ev.add_argument("--target", metavar="COLUMN",
                    help="the target column of a CSV file; with a dataset, a feature column to "
                         "predict (regression)")
    ev.add_argument("--task", choices=("classification", "regression"),
                    help="how a CSV file's target column reads: int class labels "
                         "(classification, the default) or numbers (regression)")
    ev.add_argument("-m", "--metric", action="append", metavar="METRIC",
                    help="a metric name or expression, repeatable (default: Accuracy and MacroF1 "
                         "for classifiers, MAE and RMSE for regressors, ROCAUC for anomaly "
                         "detectors)")
    ev.add_argument("--limit", type=int, metavar="N", help="use only the first N samples")
    ev.add_argument("--every", type=int, metavar="N", help="record the curve every N samples")
    ev.add_argument("--plot", metavar="FILE", help="write the learning curves to FILE, in the format its "
                    "extension names (.png, .svg, .pdf, .ps, .eps; PNG without one)")
    ev.add_argument("--save", metavar="FILE.pkl", help="pickle the trained models to FILE after the run "
                    "(the model itself, or a dict of name -> model when there are several)")
    ev.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                    help="draw a progress bar on stderr (default: when stderr is a terminal)")
    ev.set_defaults(run=cmd_evaluate)
    ls = sub.add_parser("list", help="list the classes, datasets and generators")
    ls.set_defaults(run=cmd_list)
    ins = sub.add_parser("inspect", help="describe models saved by evaluate --save (trusted files only)",
                         description="Prints each model saved by 'evaluate --save': its options, "
                                     "the size of its saved state, the top of a tree, the counts "
                                     "of an ensemble. Loading unpickles the file, which runs code "
                                     "it names: inspect only files you trust.")
    ins.add_argument("file", metavar="FILE.pkl", help="a file written by evaluate --save (trusted)")
    ins.add_argument("--dot", metavar="FILE", help="write the first tree (an ensemble's first member) "
                     "as Graphviz text to FILE, and its drawing to FILE with the extension .png "
                     "when Graphviz's dot program is on PATH")
    ins.set_defaults(run=cmd_inspect)
    return parser


def main(argv=None):
    """Runs the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as e:
        print(f"quelb: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quelb: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 1


if __name__ == "__main__":
    sys.exit(main())
