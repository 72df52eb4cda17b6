"""Writes the constructors of python/_quelb_core.pyi from the built module: for every class the
binding gives `_options` (its constructor's (name, default, keyword-only) triples), an __init__
whose arguments differ from them is rewritten, so that defaults are written once, in C++. An
__init__ that agrees keeps its layout; a rewritten one keeps its arguments' annotations (a new
argument is annotated by its default's type) and wraps under its parenthesis.

Usage: PYTHONPATH=build python3 scripts/stub_options.py [--check]
  --check  change nothing: name the classes whose constructor differs, exit 1 if any
"""
import argparse
import ast
import os
import sys

import _quelb_core

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "_quelb_core.pyi")
WIDTH = 100
TYPE_NAMES = {bool: "bool", int: "int", float: "float", str: "str"}


def arguments(init):
    """[(name, default, keyword_only)] of a stub __init__ node, without self; Ellipsis where an
    argument has no default."""
    a = init.args
    defaults = [None] * (len(a.args) - len(a.defaults)) + a.defaults
    return [(p.arg, ast.literal_eval(d) if d else ..., False) for p, d in zip(a.args, defaults)][1:] + \
        [(p.arg, ast.literal_eval(d) if d else ..., True) for p, d in zip(a.kwonlyargs, a.kw_defaults)]


def typed(triples):
    # 1 == 1.0 == True: a default must also keep its type.
    return [(name, type(default), default, keyword_only) for name, default, keyword_only in triples]


def render(init, options):
    """The lines of an __init__ taking `options`."""
    annotations = {p.arg: ast.unparse(p.annotation) for p in init.args.args + init.args.kwonlyargs
                   if p.annotation is not None}

    def argument(name, default):
        annotation = annotations.get(name) or TYPE_NAMES.get(type(default))
        return f"{name}: {annotation} = {default!r}" if annotation else f"{name}={default!r}"

    parts = ["self"] + [argument(n, d) for n, d, keyword_only in options if not keyword_only]
    keyword = [argument(n, d) for n, d, keyword_only in options if keyword_only]
    if keyword:
        parts += ["*"] + keyword
    line = " " * init.col_offset + "def __init__("
    indent, lines = " " * len(line), []
    for i, part in enumerate(parts):
        text = part + (", " if i + 1 < len(parts) else ") -> None: ...")
        if len(line) + len(text.rstrip()) > WIDTH and line.strip():
            lines.append(line.rstrip())
            line = indent
        line += text
    return lines + [line]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="change nothing; exit 1 on a difference")
    args = parser.parse_args(argv)
    with open(STUB) as f:
        lines = f.read().splitlines()
    edits = []  # (first line, last line, new lines) of each __init__ to rewrite
    for node in ast.parse("\n".join(lines)).body:
        cls = getattr(_quelb_core, getattr(node, "name", ""), None)
        options = vars(cls).get("_options") if isinstance(node, ast.ClassDef) and isinstance(cls, type) else None
        init = next((f for f in node.body if getattr(f, "name", "") == "__init__"), None) if options else None
        if init is not None and typed(arguments(init)) != typed(options):
            edits.append((init.lineno, init.end_lineno, render(init, options)))
            print(f"{node.name}: the constructor differs from its options")
    if edits and not args.check:
        for first, last, new in reversed(edits):
            lines[first - 1:last] = new
        with open(STUB, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 1 if edits and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
