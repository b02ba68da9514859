"""The module's heap, which makes every array handed to the engine: blocks
keep their contents through every resize, whether they live in malloc's
memory or (from 2 MiB on) in a mapping of their own on huge pages."""
import sys

import pytest

from conftest import build_probe

MIB = 1 << 20


@pytest.fixture(scope="module")
def heap(tmp_path_factory):
    return build_probe(tmp_path_factory, "heap_probe",
                       ["python_model/allocator.cpp", "python_model/huge_pages.cpp"])


@pytest.mark.parametrize("sizes", [
    [100, 3 * MIB, 5 * MIB + 17, 4 * MIB, 1 * MIB, 10],   # small -> own mapping -> larger -> shrink -> small
    [2 * MIB, 2 * MIB - 1, 2 * MIB + 1, 6 * MIB],         # around the threshold and a whole huge page
    [1, 2047, 4096, 1 << 16, 9 * MIB + 3],               # doubling growth as the pending rows grow
    [8 * MIB, 7 * MIB, 6 * MIB + 5],                     # shrinking within the pages mapped for it
])
def test_resizes_keep_the_contents(heap, sizes):
    heap.cycle(sizes)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="huge-page mappings are made on Linux only")
def test_large_blocks_are_aligned_to_a_huge_page_and_shrink_in_place(heap):
    addresses = heap.cycle([3 * MIB, 4 * MIB - 8, 1000])
    assert addresses[0] % (2 * MIB) == 0
    assert addresses[1] == addresses[0]  # 4 MiB of pages were mapped for 3 MiB
