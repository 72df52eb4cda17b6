"""What ``quelb inspect`` shows of saved models: their options, sizes, tree tops and ensemble
counts, and a tree as Graphviz text (and a PNG when Graphviz is installed).

Unpickling runs code the file names: inspect only files you trust.
"""
import os
import pickle
import shutil
import subprocess

from .errors import UsageError
from .evaluate import ANOMALY, model_kind

TOP_LEVELS = 3  # tree levels printed: enough to see the first splits without flooding a terminal


def load_models(path):
    """The models saved by ``quelb evaluate --save``, as a dict of name -> model (name None for a
    file holding a single model); UsageError when the file is not such a pickle."""
    try:
        with open(path, "rb") as f:
            saved = pickle.load(f)
    except OSError as e:
        raise UsageError(f"cannot read '{path}': {e.strerror or e}") from None
    except Exception as e:  # a pickle can fail in any way its contents choose
        reason = (str(e).splitlines() or [""])[0]
        raise UsageError(f"'{path}' is not a pickle of quelb models: {type(e).__name__}"
                         + (f": {reason}" if reason else "")) from None
    models = saved if isinstance(saved, dict) and saved else {None: saved}
    for name, model in models.items():
        if isinstance(model, type) or model_kind(model) not in ("classifier", "regressor", ANOMALY):
            where = f"under '{name}' " if name is not None else ""
            what = (f"the class {model.__name__}" if isinstance(model, type)
                    else f"an object of type {type(model).__name__}")
            raise UsageError(f"'{path}' is not a pickle of quelb models: {where}it holds {what}")
    return models


def _number(value):
    return f"{value:g}" if isinstance(value, float) else repr(value)


def tree_lines(node, levels=TOP_LEVELS, indent="    "):
    """The first ``levels`` levels of a ``to_dict()`` tree, one node per line, children indented
    under their test; a test whose children are cut off ends in "...". Alternate subtrees are
    left out, as they are of the counts."""
    lines = []

    def walk(node, depth):
        pad = indent + "  " * depth
        if "feature" not in node:
            lines.append(f"{pad}leaf: {_number(node['prediction'])} ({_number(node['samples_seen'])})")
            return
        cut = depth + 1 >= levels
        lines.append(f"{pad}{node['feature']} <= {_number(node['threshold'])} "
                     f"({_number(node['samples_seen'])}){' ...' if cut else ''}")
        if not cut:
            walk(node["left"], depth + 1)
            walk(node["right"], depth + 1)

    walk(node, 0)
    return lines


def is_tree(model):
    """Whether the model offers the tree inspection methods (to_dict, n_nodes, ...)."""
    return all(hasattr(model, a) for a in ("to_dict", "n_nodes", "n_leaves", "height"))


def describe(model):
    """Lines describing one model, its repr first."""
    lines = [repr(model), f"  saved state: {len(pickle.dumps(model)):,} bytes"]
    if hasattr(model, "memory_usage"):
        lines.append(f"  memory: {model.memory_usage():,} bytes")
    if is_tree(model):
        lines.append(f"  tree: {model.n_nodes} nodes, {model.n_leaves} leaves, height {model.height}")
        lines += tree_lines(model.to_dict())
    if hasattr(model, "members"):
        lines.append(f"  members: {len(model.members())}")
        counts = [f"{a[2:]} {getattr(model, a)}" for a in ("n_warnings", "n_drifts", "n_replacements")
                  if hasattr(model, a)]
        if counts:
            lines.append(f"  {', '.join(counts)}")
        if hasattr(model, "member_weights"):
            lines.append(f"  member weights: {', '.join(f'{w:.4g}' for w in model.member_weights())}")
    return lines


def dot_tree(models):
    """The first model that is a tree, or the first member of the first ensemble; UsageError
    when there is none."""
    for model in models.values():
        if hasattr(model, "to_dot"):
            return model
        if hasattr(model, "members"):
            first = next(iter(model.members()), None)
            if first is not None and hasattr(first, "to_dot"):
                return first
    raise UsageError("--dot needs a tree or an ensemble of trees that has grown one; "
                     f"the file holds {', '.join(type(m).__name__ for m in models.values())}")


def write_dot(tree, path):
    """Writes the tree's Graphviz text to ``path`` and, when Graphviz's ``dot`` is on PATH, its
    drawing to ``path`` with the extension .png; returns the PNG's path or None."""
    with open(path, "w") as f:
        f.write(tree.to_dot())
    dot = shutil.which("dot")
    if dot is None:
        return None
    png = os.path.splitext(path)[0] + ".png"
    done = subprocess.run([dot, "-Tpng", "-o", png, path], capture_output=True, text=True)
    if done.returncode != 0:
        message = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[0]
        raise UsageError(f"dot could not draw '{path}': {message}")
    return png
