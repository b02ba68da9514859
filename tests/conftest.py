import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
INSTANCES = os.path.abspath(os.path.join(HERE, "..", "..", "shared", "instances"))


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
