import csv
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
INSTANCES = os.path.abspath(os.path.join(HERE, "..", "..", "shared", "instances"))


@pytest.fixture
def quiet():
    """The engine's log silenced for one test."""
    import korvo

    korvo.setOutputEnabled(False)
    yield
    korvo.setOutputEnabled(True)


@pytest.fixture(scope="session")
def instances_dir():
    if not os.path.isdir(INSTANCES):
        pytest.skip("benchmark instances not present")
    return INSTANCES


def refcount_unchanged(fn, *objects, repeat=200):
    """Runs fn repeatedly and returns the change of each object's reference count."""
    fn()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(repeat):
        fn()
    # Measure before pairing with zip: zip's result tuple would hold one more reference.
    after = [sys.getrefcount(o) for o in objects]
    return [a - b for a, b in zip(after, before)]


def optima():
    """Rows of the shared instances' table of published optima (empty without the instances)."""
    path = os.path.join(INSTANCES, "optima.csv")
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def tolerance(note):
    """(relative, absolute) tolerance of an instance: 1e-6 relative unless its note says otherwise."""
    absolute = re.search(r"absolute (\d[\d.e+-]*)", note)
    if absolute:
        return 0.0, float(absolute.group(1))
    relative = re.search(r"tolerance (\d[\d.e+-]*)", note)
    return (float(relative.group(1)) if relative else 1e-6), 0.0


def build_probe(tmp_path_factory, name, sources=()):
    """Compiles the test-only extension tests/<name>.cpp (which includes the
    module sources it drives) plus any further sources, and imports it."""
    compiler = shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip(f"no C++ compiler to build {name}")
    target = tmp_path_factory.mktemp("probe") / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
               "-I", sysconfig.get_paths()["include"], "-I", os.path.join(HERE, "..", "Src"),
               os.path.join(HERE, name + ".cpp"), *[os.path.join(HERE, "..", "Src", s) for s in sources],
               "-o", str(target)]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        pytest.fail(f"building {name} failed:\n" + built.stderr)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
