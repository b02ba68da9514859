"""The user guide: every Python code block runs (the blocks of one page in
order, sharing their names), and the guide builds with Sphinx without
warnings when Sphinx is installed."""
import glob
import os
import re
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(os.path.dirname(HERE), "docs")
PAGES = sorted(glob.glob(os.path.join(DOCS, "*.rst")))


def code_blocks(path):
    """The bodies of the page's '.. code-block:: python' directives, dedented."""
    with open(path) as f:
        lines = f.read().splitlines()
    blocks, i = [], 0
    while i < len(lines):
        if re.match(r"\s*\.\. code-block:: python\s*$", lines[i]):
            indent = len(lines[i]) - len(lines[i].lstrip()) + 3
            i += 1
            body = []
            while i < len(lines) and (not lines[i].strip() or len(lines[i]) - len(lines[i].lstrip()) >= indent):
                body.append(lines[i][indent:])
                i += 1
            blocks.append("\n".join(body).strip("\n") + "\n")
        else:
            i += 1
    return blocks


def test_every_page_is_in_the_table_of_contents():
    with open(os.path.join(DOCS, "index.rst")) as f:
        index = f.read()
    for page in PAGES:
        name = os.path.splitext(os.path.basename(page))[0]
        assert name == "index" or f"   {name}\n" in index, name


@pytest.mark.parametrize("page", [os.path.basename(p) for p in PAGES])
def test_code_examples_run(page, tmp_path, monkeypatch, capsys):
    blocks = code_blocks(os.path.join(DOCS, page))
    if page not in ("index.rst", "api.rst"):
        assert blocks, f"{page} has no examples"
    monkeypatch.chdir(tmp_path)  # examples that write files write them here
    namespace = {"__name__": "__docs__"}
    try:
        for number, block in enumerate(blocks, 1):
            code = compile(block, f"{page} example {number}", "exec")
            exec(code, namespace)
    finally:
        import korvo

        korvo.setOutputEnabled(True)


def test_sphinx_builds_without_warnings(tmp_path):
    pytest.importorskip("sphinx")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-q", "-b", "html", DOCS, str(tmp_path / "html")],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "html" / "api.html") as f:
        assert "solve_many" in f.read()
