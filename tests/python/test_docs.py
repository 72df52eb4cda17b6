"""Help text: every class, method and property of the module explains itself, and each class's
Parameters section lists its constructor's arguments with the defaults the constructor has."""
import ast
import pathlib
import pydoc

import _quelb_core as q
import pytest

CLASSES = [getattr(q, name) for name in vars(q) if isinstance(getattr(q, name), type)]


def text_after_signature(function):
    # The binding library puts the signature line first; the help text follows it.
    return function.__doc__.split("\n", 1)[1].strip() if "\n" in function.__doc__ else ""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_method_and_property_docstrings(cls):
    doc = cls.__doc__
    assert doc and not doc.startswith(("Parameters", "Methods", "Properties")), "summary first"
    for name in dir(cls):
        if name.startswith("_"):
            continue
        member = getattr(cls, name)
        text = member.__doc__ if isinstance(member, property) else text_after_signature(member)
        assert text, f"{cls.__name__}.{name} has no help text"
        assert name in doc, f"{cls.__name__}'s docstring does not list {name}"


@pytest.mark.parametrize("cls", [c for c in CLASSES if "_options" in vars(c)], ids=lambda c: c.__name__)
def test_parameters_section_matches_the_constructor(cls):
    section = cls.__doc__.split("Parameters\n----------\n", 1)[1].split("\n\n", 1)[0]
    lines = section.split("\n")
    entries = [line for line in lines if not line.startswith(" ")]
    expected = [f"{name}={default!r}" + ("  (keyword-only)" if keyword_only else "")
                for name, default, keyword_only in cls._options]
    assert entries == expected
    # Every argument has its line of help.
    assert len(lines) == 2 * len(entries) and all(line.startswith("    ") and line.strip() for line in lines[1::2])


def test_literal_help():
    doc = pydoc.render_doc(q.HoeffdingTreeClassifier, renderer=pydoc.plaintext)
    assert "Domingos & Hulten 2000" in doc
    assert "grace_period=200\n |      samples a leaf sees between split attempts (at least 1)" in doc
    assert "split_criterion='info_gain'\n" in q.HoeffdingTreeClassifier.__doc__
    assert "n_threads=1  (keyword-only)\n    threads the batch methods use" in q.ARFClassifier.__doc__
    assert "Gomes et al. 2017" in q.ARFClassifier.__doc__ and "Page 1954" in q.PageHinkley.__doc__
    # Constructors bound by hand around their options list the extra arguments too.
    assert "\nlimits=None\n" in q.HalfSpaceTrees.__doc__ and "\nn_trees=25\n" in q.HalfSpaceTrees.__doc__
    assert "Parameters\n----------\nfeatures=None\n" in q.OneHotEncoder.__doc__
    assert "\nsteps\n" in q.ClassificationPipeline.__doc__
    # A property made from an option carries the option's help; methods say what they raise.
    assert q.HoeffdingTreeClassifier.max_depth.__doc__ == "depth at which leaves stop splitting"
    assert "RuntimeError" in q.NaiveBayes.learn_one.__doc__ and "y: int" in q.NaiveBayes.learn_one.__doc__
    assert "y: float" in q.LinearRegression.learn_one.__doc__


PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "python" / "quelb"


@pytest.mark.parametrize("path", sorted(PACKAGE.glob("*.py")), ids=lambda p: p.name)
def test_package_public_functions_and_classes_have_docstrings(path):
    tree = ast.parse(path.read_text())
    missing = []
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
            members = [node] + [m for m in getattr(node, "body", []) if isinstance(m, ast.FunctionDef)
                                and not m.name.startswith("_") and isinstance(node, ast.ClassDef)]
            missing += [m.name for m in members if not ast.get_docstring(m)]
    assert not missing
