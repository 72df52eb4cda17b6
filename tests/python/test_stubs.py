"""The type stubs python/_quelb_core.pyi against the built module: every class, base, method,
property and constructor argument (name, default, simple type) must be present in both; and
mypy's stubtest finds no mismatch between them."""
import ast
import os
import re
import shutil
import subprocess
import sys

import _quelb_core as q
import pytest

from quelb.expressions import parse_doc_parameters

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "python", "_quelb_core.pyi")
SIMPLE_TYPES = {"int", "float", "bool", "str"}


# ---- the stub side, read with ast

def stub_params(fn):
    """[(name, positional_only, annotation, default text)] without self; keyword-only parameters
    follow a ("*", ...) entry, as the binding's signature lists them."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(p.arg, i < len(a.posonlyargs), p.annotation and ast.unparse(p.annotation),
            d and ast.unparse(d)) for i, (p, d) in enumerate(zip(positional, defaults))]
    if a.kwonlyargs:
        out.append(("*", False, None, None))
    out += [(p.arg, False, p.annotation and ast.unparse(p.annotation), d and ast.unparse(d))
            for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return out[1:]


def read_stub():
    tree = ast.parse(open(STUB).read())
    classes = {}
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue  # private names are for the checkers only
        info = {"bases": [ast.unparse(b) for b in node.bases], "methods": {}, "properties": {}}
        for item in node.body:
            if not isinstance(item, ast.FunctionDef):
                continue
            decorators = [ast.unparse(d) for d in item.decorator_list]
            if "property" in decorators:
                info["properties"][item.name] = {"type": ast.unparse(item.returns), "settable": False}
            elif f"{item.name}.setter" in decorators:
                info["properties"][item.name]["settable"] = True
            else:
                info["methods"][item.name] = {"params": stub_params(item),
                                              "returns": item.returns and ast.unparse(item.returns),
                                              "static": "staticmethod" in decorators}
        classes[node.name] = info
    return classes


# ---- the runtime side, read from the binding's signature lines

SIGNATURE = re.compile(r"^\s*(?:\d+\.\s*)?(\w+)\((.*)\)\s*->\s*(.*)$")
# pybind11 3 names a number argument by the protocols its conversion accepts.
NUMBER_ARGUMENTS = {"typing.SupportsInt | typing.SupportsIndex": "int",
                    "typing.SupportsFloat | typing.SupportsIndex": "float"}


def runtime_signature(fn):
    """([(name, annotation, default text)] without self, result annotation) of a bound function."""
    for line in (fn.__doc__ or "").splitlines():
        match = SIGNATURE.match(line)
        if match:
            # Names before a "/" are positional-only, like unnamed ones; a "*" stays, as in the stub.
            params, out, positional_only = parse_doc_parameters(match.group(2)), [], False
            if any(p[0] == "/" for p in params):
                positional_only = True
            for name, ann, default in params:
                ann = NUMBER_ARGUMENTS.get(ann, ann)
                if name == "/":
                    positional_only = False
                else:
                    out.append((name, ann, default, positional_only or re.fullmatch(r"arg\d+", name) is not None))
            return out, match.group(3).strip()
    raise AssertionError(f"no signature line in the docstring of {fn!r}")


def runtime_property_type(prop):
    """The getter's result type; the binding documents a getter as "(self: X) -> T"."""
    doc = (prop.fget.__doc__ or "").strip()
    match = re.match(r"^\w*\(.*\)\s*->\s*(.*)$", doc.splitlines()[0]) if doc else None
    return match.group(1).strip() if match else None


def read_runtime():
    classes = {}
    for name, cls in vars(q).items():
        if not isinstance(cls, type):
            continue
        info = {"bases": [b.__name__ for b in cls.__bases__ if b.__module__ == "_quelb_core"],
                "methods": {}, "properties": {}}
        for attr, value in vars(cls).items():
            if attr.startswith("_pybind11"):
                continue  # the binding library's own hooks, on every class
            if isinstance(value, property):
                info["properties"][attr] = {"type": runtime_property_type(value),
                                            "settable": value.fset is not None}
            elif attr == "__init__" or (not attr.startswith("__") and callable(value)) or \
                    isinstance(value, staticmethod):
                fn = value.__func__ if isinstance(value, staticmethod) else value
                if attr == "__init__" and not SIGNATURE.match(fn.__doc__ or ""):
                    continue  # a contract: the binding library's refusing constructor
                params, returns = runtime_signature(fn)
                info["methods"][attr] = {"params": params, "returns": returns,
                                         "static": isinstance(value, staticmethod)}
        classes[name] = info
    return classes


def stub_type(annotation):
    annotation = (annotation or "").replace("_quelb_core.", "")
    return {"Mapping[str, float]": "_Sample"}.get(annotation, annotation)


def skeleton(name, info):
    """Stub text for a class from what the runtime shows, to paste into the stubs."""
    lines = [f"class {name}({', '.join(info['bases']) or 'metaclass=_BindingType'}):"]
    for method, m in info["methods"].items():
        params = [] if m["static"] else ["self"]
        unnamed = [p for p in m["params"] if re.fullmatch(r"arg\d+", p[0])]
        plain = [p for p in unnamed if p[1] not in ("Mapping[str, float]", "Iterable[str]")]
        others = iter(["y_true", "y_pred"] if len(plain) == 2 else ["y", "z"])
        for pname, ann, default, _ in m["params"]:
            if re.fullmatch(r"arg\d+", pname):
                pname = {"Mapping[str, float]": "x", "Iterable[str]": "names"}.get(ann) or next(others)
            text = f"{pname}: {stub_type(ann)}" if ann else pname
            params.append(text + (f" = {default}" if default else ""))
        if unnamed:
            params.insert(len(unnamed) + (0 if m["static"] else 1), "/")
        returns = {"_Sample": "dict[str, float]"}.get(stub_type(m["returns"]), stub_type(m["returns"]))
        lines.append(f"    def {method}({', '.join(params)}) -> {returns}: ...")
    for prop, p in info["properties"].items():
        lines.append(f"    @property\n    def {prop}(self) -> {p['type']}: ...")
        if p["settable"]:
            lines.append(f"    @{prop}.setter\n    def {prop}(self, value: {p['type']}) -> None: ...")
    return "\n".join(lines)


def same_default(stub_text, runtime_text):
    if stub_text is None or runtime_text is None:
        return stub_text == runtime_text
    try:
        a, b = ast.literal_eval(stub_text), ast.literal_eval(runtime_text)
    except (ValueError, SyntaxError):
        return stub_text == runtime_text
    return type(a) is type(b) and a == b


STUB_CLASSES = read_stub()
RUNTIME_CLASSES = read_runtime()


def test_every_class_is_in_both():
    missing = [n for n in RUNTIME_CLASSES if n not in STUB_CLASSES]
    assert not missing, "classes missing from the stubs; suggested:\n\n" + "\n\n".join(
        skeleton(n, RUNTIME_CLASSES[n]) for n in missing)
    extra = [n for n in STUB_CLASSES if n not in RUNTIME_CLASSES]
    assert not extra, f"stub classes the module does not have: {extra}"


@pytest.mark.parametrize("name", sorted(set(RUNTIME_CLASSES) & set(STUB_CLASSES)))
def test_class_agrees(name):
    stub, runtime = STUB_CLASSES[name], RUNTIME_CLASSES[name]
    hint = f"\nruntime view of {name}:\n{skeleton(name, runtime)}"
    assert stub["bases"] == runtime["bases"], "bases differ" + hint
    assert sorted(stub["methods"]) == sorted(runtime["methods"]), "methods differ" + hint
    assert {p: v["settable"] for p, v in stub["properties"].items()} == \
        {p: v["settable"] for p, v in runtime["properties"].items()}, \
        "properties (or whether they can be set) differ" + hint
    for prop, r in runtime["properties"].items():
        if r["type"] in SIMPLE_TYPES:
            assert stub["properties"][prop]["type"] == r["type"], f"type of property {prop}" + hint

    for method, r in runtime["methods"].items():
        s = stub["methods"][method]
        assert s["static"] == r["static"], f"{method}: static or not" + hint
        assert len(s["params"]) == len(r["params"]), f"{method}: number of parameters" + hint
        if r["returns"] in SIMPLE_TYPES | {"None"}:
            assert s["returns"] == r["returns"], f"{method}: result type" + hint
        for (sname, posonly, sann, sdef), (rname, rann, rdef, rposonly) in zip(s["params"], r["params"]):
            unnamed = re.fullmatch(r"arg\d+", rname) is not None
            assert posonly == rposonly, \
                f"{method}({sname}): positional-only in the stub exactly when at runtime" + hint
            if not unnamed:
                assert sname == rname, f"{method}: parameter {sname} is {rname} at runtime" + hint
            assert same_default(sdef, rdef), \
                f"{method}({sname}): default {sdef} in the stub, {rdef} at runtime" + hint
            if rann in SIMPLE_TYPES:
                assert sann == rann, f"{method}({sname}): type {sann}, runtime {rann}" + hint


@pytest.mark.parametrize("name", sorted(n for n, c in vars(q).items() if isinstance(c, type) and "_options" in vars(c)))
def test_stub_constructor_is_the_options(name):
    """A class built from an options struct: the stub's __init__ takes its `_options`, with the
    same names in order, defaults of the same type and value, and keyword-only markers
    (scripts/stub_options.py writes them)."""
    stub, keyword_only = [], False
    for pname, _, _, default in STUB_CLASSES[name]["methods"]["__init__"]["params"]:
        if pname == "*":
            keyword_only = True
        else:
            value = ast.literal_eval(default or "...")
            stub.append((pname, type(value), value, keyword_only))
    assert stub == [(n, type(d), d, k) for n, d, k in getattr(q, name)._options]


def test_stub_checker_sees_differences():
    """The comparison itself: a wrong default or a missing setter is noticed."""
    assert same_default("10", "10") and same_default("0.5", "0.5") and same_default("'gini'", "'gini'")
    assert not same_default("1", "1.0") and not same_default("True", "1")
    assert not same_default("10", None)
    params = parse_doc_parameters("self: X, grace_period: int = 200, criterion: str = 'a, b'")
    assert params == [("grace_period", "int", "200"), ("criterion", "str", "'a, b'")]
    # Keyword-only parameters line up on both sides behind the "*" the binding lists.
    stub = ast.parse("def f(self, a: int = 1, *, b: str = 'x') -> None: ...").body[0]
    runtime = parse_doc_parameters("self: X, a: int = 1, *, b: str = 'x'")
    assert [p[0] for p in stub_params(stub)] == [p[0] for p in runtime] == ["a", "*", "b"]


def test_stubtest_finds_no_mismatch(tmp_path):
    """mypy's stubtest on the module this run imported, against a copy of the stub file alone
    (so that mypy reads nothing else of the tree). The allowlist names what pybind11 itself
    decides, with the reason."""
    shutil.copy(STUB, tmp_path)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")  # none of the machine's settings
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = os.path.dirname(q.__file__)
    env["MYPYPATH"] = str(tmp_path)
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quelb_core", "--mypy-config-file", "mypy.ini",
         "--allowlist", os.path.join(os.path.dirname(__file__), "stubtest_allowlist.txt")],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-6000:] + done.stderr[-3000:]
