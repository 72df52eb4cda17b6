"""Safe parsing of object expressions such as ``ARFClassifier(n_models=10, seed=1)``.

An expression is a class name, optionally called with literal arguments: numbers (with a sign),
strings, ``True``/``False``/``None``, lists, tuples and dicts of those, and nested expressions (for
instance ``ClassificationPipeline([StandardScaler()], NaiveBayes())``). A metric expression may end in
``.method`` to read that method instead of ``get`` (``WindowMetric(500).macro_f1``). Expressions are
parsed with the ``ast`` module and never evaluated: no name outside the given namespace, no
attribute access, no operators, no code.
"""
import ast
import difflib
import inspect
import re

from .errors import ExpressionError

__all__ = ["Expression", "parse", "signature_of", "first_line"]


class Expression:
    """A parsed expression: ``make()`` builds a fresh object every call; ``cls`` is the outer class,
    ``label`` the canonical text and ``reader`` the method selected with ``.method`` (or None)."""

    def __init__(self, cls, make, label, reader=None):
        self.cls, self.make, self.label, self.reader = cls, make, label, reader

    def __repr__(self):
        return f"Expression({self.label!r})"


def first_line(error):
    """The first non-empty line of an exception's message."""
    for line in str(error).splitlines():
        if line.strip():
            return line.strip()
    return type(error).__name__


def signature_of(cls):
    """The constructor parameters of a class as [(name, annotation or None, default text or None)],
    with a ("*", None, None) entry before keyword-only ones: from the ``_options`` the binding
    sets on a class built from an options struct, else from its published signature."""
    options = vars(cls).get("_options")
    if options is None:
        return _published_signature(cls)
    params = [(name, None, repr(default)) for name, default, _ in options]
    n_positional = sum(not keyword_only for _, _, keyword_only in options)
    if n_positional < len(params):
        params.insert(n_positional, ("*", None, None))
    return params


_DOC_SIGNATURE = re.compile(r"^\s*(?:\d+\.\s*)?[\w.]*__init__\((.*)\)\s*->")


def _published_signature(cls):
    """signature_of a class without ``_options``: the binding's signature line in the
    constructor's docstring for a native class (a pipeline), inspect for a Python one."""
    for line in (getattr(cls.__init__, "__doc__", None) or "").splitlines():
        match = _DOC_SIGNATURE.match(line)
        if match:
            return parse_doc_parameters(match.group(1))
    try:
        params = list(inspect.signature(cls).parameters.values())
    except (TypeError, ValueError):
        return []
    return [(p.name, None, None if p.default is p.empty else repr(p.default)) for p in params]


def _split_top_level(text):
    """Splits a parameter list at commas outside brackets and quotes."""
    parts, depth, quote, current = [], 0, None, []
    for ch in text:
        if quote:
            current.append(ch)
            if ch == quote:
                quote = None
            continue
        if ch in "'\"":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append("".join(current).strip())
            current = []
            continue
        current.append(ch)
    if "".join(current).strip():
        parts.append("".join(current).strip())
    return parts


def parse_doc_parameters(params_text):
    """[(name, annotation, default text or None)] of a binding signature's parameter list
    (the part between the parentheses of e.g. ``__init__(self: X, n: int = 10) -> None``),
    without ``self``."""
    out = []
    for part in _split_top_level(params_text):
        name_ann, _, default = part.partition("=")
        name, _, annotation = name_ann.partition(":")
        name = name.strip()
        if name == "self":
            continue
        out.append((name, annotation.strip() or None, default.strip() or None))
    return out


def describe_signature(cls):
    """``Name(a=1, b='x')``: the constructor as a user would call it."""
    args = [name if default is None else f"{name}={default}"
            for name, _, default in signature_of(cls)]
    return f"{cls.__name__}({', '.join(args)})"


def _suggest(name, namespace):
    close = difflib.get_close_matches(name, list(namespace), n=3, cutoff=0.6)
    return f"; did you mean {' or '.join(close)}?" if close else ""


def parse(text, namespace, what="model", allow_reader=False):
    """Parses ``text`` against ``namespace`` (name -> class) into a Expression.

    Raises ExpressionError, with one line naming the problem, when the text does not parse, names a
    class not in the namespace, or uses anything but literals and nested expressions.
    """
    if not isinstance(text, str) or not text.strip():
        raise ExpressionError(f"empty {what} expression")
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except SyntaxError as e:
        raise ExpressionError(f"cannot parse {what} expression '{text}': {e.msg}") from None
    node, reader = tree.body, None
    if allow_reader and isinstance(node, ast.Attribute):
        node, reader = node.value, node.attr
    builder = _Builder(text, namespace, what)
    cls, make = builder.object(node)
    if reader is not None and not callable(getattr(cls, reader, None)):
        raise ExpressionError(f"{what} expression '{text}': {cls.__name__} has no method '{reader}'")
    return Expression(cls, make, ast.unparse(tree.body), reader)


class _Builder:
    """Turns the nodes of a parsed expression into factories, refusing anything that is not data."""

    def __init__(self, text, namespace, what):
        self.text, self.namespace, self.what = text, namespace, what

    def fail(self, message):
        raise ExpressionError(f"{self.what} expression '{self.text}': {message}")

    def object(self, node):
        """(class, factory) of a class name or a call of one."""
        if isinstance(node, ast.Name):
            call_args, call_kwargs, name_node = [], [], node
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
            name_node = node.func
            if any(isinstance(a, ast.Starred) for a in node.args) or any(
                    k.arg is None for k in node.keywords):
                self.fail("* and ** arguments are not allowed")
            call_args = [self.value(a) for a in node.args]
            call_kwargs = [(k.arg, self.value(k.value)) for k in node.keywords]
        else:
            self.fail(f"expected a class name or a call such as Name(option=value), "
                      f"not '{ast.unparse(node)}'")
        name = name_node.id
        cls = self.namespace.get(name)
        if cls is None:
            raise ExpressionError(f"unknown class '{name}' in {self.what} expression '{self.text}'"
                            + _suggest(name, self.namespace))
        label = ast.unparse(node)

        def make():
            args = [build() for build in call_args]
            kwargs = {key: build() for key, build in call_kwargs}
            try:
                return cls(*args, **kwargs)
            except (TypeError, ValueError) as e:
                detail = first_line(e)
                if isinstance(e, TypeError) and "incompatible constructor arguments" in detail:
                    detail = "arguments not accepted"
                raise ExpressionError(f"{label}: {detail}; it takes {describe_signature(cls)}") from None

        return cls, make

    def value(self, node):
        """A factory of an argument value: a literal, a container of values or a nested expression."""
        if isinstance(node, ast.Constant):
            if not isinstance(node.value, (int, float, str, bool, type(None))):
                self.fail(f"unsupported literal '{ast.unparse(node)}'")
            value = node.value
            return lambda: value
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)) and \
                isinstance(node.operand, ast.Constant) and \
                isinstance(node.operand.value, (int, float)) and \
                not isinstance(node.operand.value, bool):
            value = -node.operand.value if isinstance(node.op, ast.USub) else node.operand.value
            return lambda: value
        if isinstance(node, (ast.List, ast.Tuple)):
            items = [self.value(e) for e in node.elts]
            kind = list if isinstance(node, ast.List) else tuple
            return lambda: kind(build() for build in items)
        if isinstance(node, ast.Dict):
            if any(k is None for k in node.keys):
                self.fail("** in a dict is not allowed")
            pairs = [(self.value(k), self.value(v)) for k, v in zip(node.keys, node.values)]
            return lambda: {k(): v() for k, v in pairs}
        if isinstance(node, (ast.Name, ast.Call)):
            if isinstance(node, ast.Name) and node.id in ("inf", "nan"):
                value = float(node.id)
                return lambda: value
            return self.object(node)[1]
        self.fail(f"only literals and class expressions may be arguments, not '{ast.unparse(node)}'")
