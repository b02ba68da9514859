"""Roads that large builds take: names of vars() blocks made one after the
other into the engine's buffer, batches of names that skip the numbered
names when every column has its own, and the engine's store of a batch of
names into entries that had none. Each is checked against what the objects
themselves report, in orders that break the runs the fast roads rely on."""
import ctypes
import gc
import os
import sys

import numpy as np

import korvo

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "engine"))
from krvs_binding import ModelProblem, packed_names, uint64s  # noqa: E402

NAMELENGTH = 1028  # the longest name, in units of 8 characters


def engine_names_match(p, objects):
    assert p.getnamelist(2) == [v.name for v in objects]


def test_block_names_in_any_reading_order():
    a = korvo.vars(3, 4, 5, name="a")
    b = korvo.vars(["u", "v"], 7, name="b")
    orders = [
        list(a.ravel()),                                   # one run
        list(a.ravel()[::-1]),                             # backwards
        list(a.transpose(2, 0, 1).ravel()),                # strided
        [v for pair in zip(a.ravel(), b.values()) for v in pair],  # two blocks interleaved
        list(a.ravel()[5:]) + list(a.ravel()[:5]),        # a wrap back to the start
    ]
    for objects in orders:
        p = korvo.problem()
        p.addVariable(objects)
        engine_names_match(p, objects)
    # One problem, the same block added in two calls out of order.
    p = korvo.problem()
    flat = list(a.ravel())
    p.addVariable(flat[30:], flat[:30])
    engine_names_match(p, flat[30:] + flat[:30])


def test_a_new_block_after_an_old_one_went_reads_its_own_names():
    # The old block's pattern goes with its variables; a new one of the same
    # shape (possibly at the same address) must not continue the old count.
    for round_ in range(5):
        old = korvo.vars(4, 6, name="old%d" % round_)
        p = korvo.problem()
        p.addVariable(old.ravel()[:7])
        del p, old
        gc.collect()
        new = korvo.vars(4, 6, name="new%d" % round_)
        objects = list(new.ravel()[7:]) + list(new.ravel()[:7])
        q = korvo.problem()
        q.addVariable(objects)
        engine_names_match(q, objects)
        assert objects[0].name == "new%d(1,1)" % round_


def test_named_and_default_columns_mixed_in_one_call():
    named = korvo.vars(5, name="n")
    default = korvo.vars(4, name="")
    own = korvo.var(name="mine")
    plain = korvo.var()
    for objects in ([*named, *default], [*default, *named], [own, plain, *named, plain2 := korvo.var()],
                    [*named, own], [plain, *default]):
        p = korvo.problem()
        p.addVariable(objects)
        engine_names_match(p, objects)
        assert [p.getIndexFromName(2, v.name) for v in objects] == list(range(len(objects)))
    # All named after default columns exist: the new columns take the given names.
    p = korvo.problem()
    first = korvo.vars(3, name="")
    p.addVariable(first)
    later = korvo.vars(2, 2, name="later")
    p.addVariable(later)
    engine_names_match(p, list(first) + list(later.ravel()))


def test_names_survive_deletion_and_files_after_the_fast_roads(tmp_path):
    x = korvo.vars(50, 3, name="x")
    z = korvo.vars(10, name="")
    p = korvo.problem()
    p.addVariable(x, z)
    p.addConstraint(korvo.Sum(x) + korvo.Sum(z) >= 1)
    p.setObjective(korvo.Sum(x))
    p.delVariable(x[7, 1])
    kept = [v for v in x.ravel() if v is not x[7, 1]] + list(z)
    engine_names_match(p, kept)
    path = str(tmp_path / "m.lp")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    assert q.getnamelist(2)[:3] == [v.name for v in kept[:3]]
    assert set(v.name for v in kept[:149]) <= set(q.getnamelist(2))


def test_engine_batch_into_unnamed_entries_keeps_the_longest_length():
    p = ModelProblem()
    p.call("KRVSaddcols64", 10, 0, None, None, None, None, None, None)
    # A 17-digit generated name is the longest (3 units of 8 characters).
    p.call("KRVSaddnumberednames", 2, uint64s([2 ** 52 + 1]), 3, 3)
    assert p.int_attr(NAMELENGTH) == 3
    p.call("KRVSaddnames", 2, packed_names(["c%d" % k for k in range(10)]), 0, 9)
    assert p.names(2) == ["c%d" % k for k in range(10)]
    assert p.int_attr(NAMELENGTH) == 1
    # A batch that starts on fresh entries and runs on into a named one
    # (the rest takes the entry-by-entry road), and one with an empty name.
    p.call("KRVSaddcols64", 4, 0, None, None, None, None, None, None)
    p.call("KRVSaddnames", 2, packed_names(["named_before"]), 13, 13)
    p.call("KRVSaddnames", 2, packed_names(["fresh_and_long_%d" % k for k in range(3)] + ["back"]), 10, 13)
    assert p.names(2)[10:] == ["fresh_and_long_0", "fresh_and_long_1", "fresh_and_long_2", "back"]
    assert p.int_attr(NAMELENGTH) == 2
    assert p.index(2, "back") == 13
    assert p.try_call("KRVSgetindex", 2, b"named_before", ctypes.byref(ctypes.c_int()))[0] != 0
    p.call("KRVSaddcols64", 3, 0, None, None, None, None, None, None)
    p.call("KRVSaddnames", 2, packed_names(["p", "", "q"]), 14, 16)
    assert p.names(2)[14:] == ["p", "C15", "q"]
    assert p.index(2, "C15") == 15 and p.index(2, "q") == 16


def test_large_block_names_and_numbers_reach_the_engine():
    # Large enough for the batch roads and the reserved buffers.
    x = korvo.vars(300, 70, name="big")
    y = korvo.vars(20000, name="")
    p = korvo.problem()
    p.addVariable(x, y)
    names = p.getnamelist(2)
    assert names[0] == "big(0,0)" and names[20999] == "big(299,69)" and names[12345] == x.ravel()[12345].name
    assert names[21000:] == ["C%d" % hash(v) for v in y]
    rng = np.random.default_rng(3)
    for j in rng.integers(0, len(names), 200):
        assert p.getIndexFromName(2, names[j]) == j
