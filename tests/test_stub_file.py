"""The stub file korvolib.pyi against the module itself, and mypy over the
examples, the typed usage file and every docstring's example."""
import ast
import os
import re
import textwrap

import pytest

import korvo
from korvo import korvolib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB = os.path.join(ROOT, "python", "korvo", "korvolib.pyi")


def _declared(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


@pytest.fixture(scope="module")
def stub():
    with open(STUB) as f:
        tree = ast.parse(f.read())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}

    def members(name):
        node = classes.get(name)
        if node is None:
            return set()
        found = _declared(node.body)
        for base in node.bases:
            if isinstance(base, ast.Name):
                found |= members(base.id)
        return found

    return _declared(tree.body), members


def test_every_module_name_is_declared(stub):
    top, _ = stub
    public = {n for n in dir(korvolib) if not n.startswith("_")}
    assert sorted(public - top) == []


@pytest.mark.parametrize("type_name", ["problem", "var", "constraint", "sos", "expression", "branchobj", "poolcut"])
def test_every_method_and_member_is_declared(stub, type_name):
    _, members = stub
    cls = getattr(korvolib, type_name)
    public = {n for n in dir(cls) if not n.startswith("_")}
    assert sorted(public - members(type_name)) == []


def _docstring_examples():
    """(name, code) for every documented example of module functions and problem methods."""
    found = []
    owners = [("korvo", korvolib, n) for n in dir(korvolib)] + [("problem", korvolib.problem, n) for n in dir(korvolib.problem)]
    for owner_name, owner, name in owners:
        if name.startswith("_"):
            continue
        obj = getattr(owner, name)
        if isinstance(obj, type) or not callable(obj) or not obj.__doc__:
            continue
        match = re.search(r"Example:\s*\n(.*?)(?:\n\s*\n|\n\s*Further information:|\Z)", obj.__doc__, re.S)
        if match:
            found.append((f"{owner_name}.{name}", textwrap.dedent(match.group(1)).strip("\n")))
    return found


def _example_module(examples):
    """One function per example; names the example leaves free become typed
    parameters: p and q problems, everything else Any."""
    lines = ["from typing import Any", "import math", "import numpy as np", "import korvo", ""]
    known = {"korvo", "math", "np", "print", "range", "len", "lambda", "True", "False", "None", "abs", "sum", "list",
             "dict", "zip", "float", "int", "str"}
    for i, (name, code) in enumerate(examples):
        lines_of_code = textwrap.dedent("\n".join(line.rstrip() for line in code.splitlines()))
        tree = ast.parse(lines_of_code)
        assigned = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Store)}
        bound = {a.arg for node in ast.walk(tree) if isinstance(node, ast.Lambda) for a in node.args.args}
        free = sorted({n.id for n in ast.walk(tree) if isinstance(n, ast.Name)} - assigned - bound - known)
        params = ", ".join(f"{v}: korvo.problem" if v in ("p", "q") else f"{v}: Any" for v in free)
        lines.append(f"# {name}")
        lines.append(f"def example_{i}({params}) -> None:")
        lines.extend("    " + line for line in lines_of_code.splitlines())
        lines.append("")
    return "\n".join(lines)


def _mypy(paths, tmp_path):
    api = pytest.importorskip("mypy.api")
    env_path = os.environ.get("MYPYPATH")
    os.environ["MYPYPATH"] = os.path.join(ROOT, "python")
    try:
        out, err, status = api.run(["--ignore-missing-imports", "--no-error-summary", "--cache-dir",
                                    str(tmp_path / "mypy_cache"), *paths])
    finally:
        if env_path is None:
            os.environ.pop("MYPYPATH")
        else:
            os.environ["MYPYPATH"] = env_path
    return status, out + err


def test_examples_and_docstring_examples_type_check(tmp_path):
    examples = _docstring_examples()
    assert len(examples) > 50
    generated = tmp_path / "docstring_examples.py"
    generated.write_text(_example_module(examples))
    paths = [str(generated), os.path.join(HERE, "typing", "usage.py")]
    paths += [os.path.join(ROOT, "examples", f) for f in sorted(os.listdir(os.path.join(ROOT, "examples")))
              if f.endswith(".py")]
    # Examples fill fresh lists ("x = []; p.getlpsol(x)"), which need no annotation.
    status, report = _mypy(["--disable-error-code", "var-annotated", *paths], tmp_path)
    assert status == 0, report + "\n" + generated.read_text()


def test_type_checker_catches_a_misused_method(tmp_path):
    # The check above must be able to fail: a wrong argument type is reported.
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import korvo\np = korvo.problem()\np.setObjective('x')\nn: str = p.getObjVal()\n")
    status, report = _mypy([str(wrong)], tmp_path)
    assert status != 0 and "setObjective" in report and "getObjVal" in report or "incompatible" in report
