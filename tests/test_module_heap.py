"""The module's heap, which makes every array handed to the engine: blocks
keep their contents through every resize, small and large."""
import pytest

from conftest import build_probe

MIB = 1 << 20


@pytest.fixture(scope="module")
def heap(tmp_path_factory):
    return build_probe(tmp_path_factory, "heap_probe", ["python_model/allocator.cpp"])


@pytest.mark.parametrize("sizes", [
    [100, 3 * MIB, 5 * MIB + 17, 4 * MIB, 1 * MIB, 10],   # small -> large -> larger -> shrink -> small
    [2 * MIB, 2 * MIB - 1, 2 * MIB + 1, 6 * MIB],
    [1, 2047, 4096, 1 << 16, 9 * MIB + 3],               # doubling growth as the pending rows grow
    [8 * MIB, 7 * MIB, 6 * MIB + 5],
])
def test_resizes_keep_the_contents(heap, sizes):
    heap.cycle(sizes)
