"""The README's model prints exactly what the README says it prints."""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_readme_example_output():
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    match = re.search(r"A model in a few lines:\n\n((?:    .*\n)+)\nprints\n\n((?:    .*\n)+)", text)
    assert match, "the README's example and its output were not found"
    code = "\n".join(line[4:] for line in match.group(1).splitlines())
    expected = "\n".join(line[4:] for line in match.group(2).splitlines())
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == expected.strip()
