"""Names of rows and columns under long sequences of adds, renames, deletions
and lookups, checked against a plain Python model of the rules: an entry
without a name reads as its prefix and position, or as its prefix and the
number it was given (kept through deletions), a lookup gives the first entry
with the name, and names survive MPS and LP files."""
import ctypes
import random

import pytest

from krvs_binding import ModelProblem, dbls, int64s, ints, packed_names, uint64s

PREFIX = {1: "R", 2: "C"}
LEAVE = 2 ** 64 - 1  # a number that leaves the entry's name as it is


class Reference:
    """The names the engine should report: None stands for no name given."""

    def __init__(self, kind):
        self.prefix = PREFIX[kind]
        self.stored = []

    def name(self, i):
        stored = self.stored[i]
        if isinstance(stored, int):
            return f"{self.prefix}{stored}"
        return stored or f"{self.prefix}{i}"

    def all(self):
        return [self.name(i) for i in range(len(self.stored))]

    def first_index(self, name):
        for i in range(len(self.stored)):
            if self.name(i) == name:
                return i
        return None


def add_items(p, kind, count):
    if kind == 2:
        p.call("KRVSaddcols64", count, 0, dbls([0.0] * count), int64s([0] * (count + 1)), None, None,
               dbls([0.0] * count), dbls([10.0] * count))
    else:
        p.call("KRVSaddrows64", count, 0, ("L" * count).encode(), dbls([1.0] * count), None,
               int64s([0] * (count + 1)), None, None)


def delete_items(p, kind, indices):
    p.call("KRVSdelcols" if kind == 2 else "KRVSdelrows", len(indices), ints(indices))


def lookup(p, kind, name):
    """The engine's index for a name, or None when it reports no such name."""
    v = ctypes.c_int()
    rc, err = p.try_call("KRVSgetindex", kind, name.encode(), ctypes.byref(v))
    if rc:
        assert "named" in err
        return None
    return v.value


def check_names(p, refs, rng):
    for kind, ref in refs.items():
        assert p.names(kind, len(ref.stored)) == ref.all()
        if not ref.stored:
            continue
        candidates = [ref.name(rng.randrange(len(ref.stored))) for _ in range(20)]
        candidates += [f"{ref.prefix}{rng.randrange(len(ref.stored) + 5)}" for _ in range(10)]
        candidates += ["absent", ref.prefix, ""]
        for name in candidates:
            assert lookup(p, kind, name) == ref.first_index(name), (kind, name)
    # Fixed-width reads: every slot is as wide as the longest name of any kind
    # (rounded up to 8 characters) plus a terminator.
    longest = max((len(n) for ref in refs.values() for n in ref.all()), default=1)
    slot = 8 * max(1, (longest + 7) // 8) + 1
    for kind, ref in refs.items():
        if not ref.stored:
            continue
        first = rng.randrange(len(ref.stored))
        last = min(len(ref.stored) - 1, first + rng.randrange(300))
        buf = ctypes.create_string_buffer(slot * (last - first + 1))
        p.call("KRVSgetnames", kind, buf, first, last)
        got = [buf.raw[k * slot:(k + 1) * slot] for k in range(last - first + 1)]
        assert [g.rstrip(b"\0").decode() for g in got] == ref.all()[first:last + 1]
        assert all(g[-1:] == b"\0" for g in got)


def random_name(rng, taken_prefix):
    kind = rng.random()
    if kind < 0.1:
        return ""                                    # back to the generated name
    if kind < 0.2:
        return f"{taken_prefix}{rng.randrange(3000)}"  # looks like a generated name
    if kind < 0.3:
        return rng.choice(["dup", "dup2", "same"])  # shared by several entries
    length = rng.choice([1, 3, 8, 9, 17, 40])
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz_0123456789") for _ in range(length))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_names_follow_mixed_adds_renames_deletes_and_lookups(seed):
    rng = random.Random(seed)
    p = ModelProblem()
    refs = {1: Reference(1), 2: Reference(2)}
    for step in range(60):
        kind = rng.choice([1, 2])
        ref = refs[kind]
        op = rng.random()
        if op < 0.3 or len(ref.stored) < 10:
            # Small and large batches: large ones drop the lookup table, small
            # ones keep it up to date entry by entry.
            count = rng.choice([1, 7, 50, 2000])
            add_items(p, kind, count)
            ref.stored += [None] * count
        elif op < 0.7:
            count = rng.choice([1, 5, 100, 1500])
            first = rng.randrange(len(ref.stored))
            last = min(len(ref.stored) - 1, first + count - 1)
            names = [random_name(rng, ref.prefix) for _ in range(last - first + 1)]
            p.call("KRVSaddnames", kind, packed_names(names), first, last)
            for k, name in enumerate(names):
                ref.stored[first + k] = name or None
        elif op < 0.78:
            # Numbered generated names (up to 16 digits), some entries left alone.
            count = rng.choice([1, 5, 100, 1500])
            first = rng.randrange(len(ref.stored))
            last = min(len(ref.stored) - 1, first + count - 1)
            numbers = [LEAVE if rng.random() < 0.2 else rng.choice([rng.randrange(3000), rng.randrange(2 ** 52)])
                       for _ in range(last - first + 1)]
            p.call("KRVSaddnumberednames", kind, uint64s(numbers), first, last)
            for k, number in enumerate(numbers):
                if number != LEAVE:
                    ref.stored[first + k] = number
        elif op < 0.9:
            gone = sorted(rng.sample(range(len(ref.stored)), rng.randrange(1, max(2, len(ref.stored) // 5))))
            delete_items(p, kind, gone)
            gone = set(gone)
            ref.stored = [s for i, s in enumerate(ref.stored) if i not in gone]
        if step % 3 == 0:
            check_names(p, refs, rng)
    check_names(p, refs, rng)


def test_lookup_gives_the_first_entry_through_renames():
    p = ModelProblem()
    add_items(p, 2, 8)
    p.set_names(2, ["dup"], first=5)
    assert lookup(p, 2, "dup") == 5                 # builds the lookup
    p.set_names(2, ["dup"], first=2)
    assert lookup(p, 2, "dup") == 2                 # an earlier entry takes over
    p.set_names(2, ["other"], first=2)
    assert lookup(p, 2, "dup") == 5                 # and gives it back when renamed
    p.set_names(2, ["x"], first=5)
    assert lookup(p, 2, "dup") is None and lookup(p, 2, "C5") is None
    # An explicit name shadows a later generated one, and clearing it unshadows.
    p.set_names(2, ["C3"], first=0)
    assert lookup(p, 2, "C3") == 0 and lookup(p, 2, "C0") is None
    p.set_names(2, [""], first=0)
    assert lookup(p, 2, "C3") == 3 and lookup(p, 2, "C0") == 0
    # Generated names follow positions after a deletion.
    delete_items(p, 2, [1])
    assert lookup(p, 2, "C7") is None and lookup(p, 2, "C6") == 6 and lookup(p, 2, "x") == 4
    assert p.names(2) == ["C0", "other", "C2", "C3", "x", "C5", "C6"]
    # Many renames of the same entries (old characters are reclaimed on the way).
    for round_ in range(300):
        p.set_names(2, [f"{'long' * (round_ % 7 + 1)}_{round_}_{k}" for k in range(7)])
    assert p.names(2) == [f"{'long' * (299 % 7 + 1)}_299_{k}" for k in range(7)]
    assert lookup(p, 2, f"{'long' * (299 % 7 + 1)}_299_6") == 6 and lookup(p, 2, "long_0_0") is None


@pytest.mark.parametrize("ext", ["mps", "lp"])
def test_names_round_trip_through_files(tmp_path, ext):
    rng = random.Random(7)
    p = ModelProblem()
    n, m = 3000, 1200
    add_items(p, 2, n)
    # Every row uses two columns, so the file lists each row and column.
    start = list(range(0, 2 * m + 1, 2))
    colind = [c for i in range(m) for c in (i, (i * 7 + 1) % n)]
    p.call("KRVSaddrows64", m, 2 * m, b"L" * m, dbls([1.0] * m), None, int64s(start), ints(colind),
           dbls([1.0] * (2 * m)))
    p.call("KRVSchgobj", n, ints(list(range(n))), dbls([1.0] * n))
    # Unique names on most entries, renamed after a lookup, some cleared.
    cols = [f"x_{k}_{rng.randrange(10**6)}" for k in range(n)]
    rows = [f"row{k}" for k in range(m)]
    p.set_names(2, cols)
    p.set_names(1, rows)
    assert lookup(p, 2, cols[10]) == 10
    p.set_names(2, ["renamed_ten"], first=10)
    p.set_names(2, [""] * 5, first=100)
    p.set_names(1, ["first_row_is_longer_than_the_others"])
    # Numbered generated names, one of them the longest name of the model.
    p.call("KRVSaddnumberednames", 2, uint64s([7, 2 ** 52 + 12345, LEAVE]), 200, 202)
    p.call("KRVSaddnumberednames", 1, uint64s([99]), 5, 5)
    delete_items(p, 2, [n - 1, 0])
    path = tmp_path / f"names.{ext}"
    p.call("KRVSwriteprob", str(path).encode(), b"")
    q = ModelProblem()
    q.call("KRVSreadprob", str(path).encode(), b"")
    assert q.names(2) == p.names(2) and q.names(1) == p.names(1)
    assert q.names(2)[9] == "renamed_ten" and q.names(2)[99:104] == [f"C{k}" for k in range(99, 104)]
    assert q.names(2)[199:202] == ["C7", f"C{2 ** 52 + 12345}", cols[202]] and q.names(1)[5] == "R99"
    assert lookup(q, 2, "renamed_ten") == 9 and lookup(q, 1, "first_row_is_longer_than_the_others") == 0


def test_numbered_names_refuse_bad_input_and_keep_the_old_names():
    p = ModelProblem()
    add_items(p, 1, 3)
    p.set_names(1, ["a", "b", "c"])
    for args, message in (((4, uint64s([1]), 0, 0), "invalid name type 4"),
                          ((1, uint64s([1, 2]), 2, 3), "range"),
                          ((1, None, 0, 0), "null number array")):
        rc, err = p.try_call("KRVSaddnumberednames", *args)
        assert rc != 0 and "KRVSaddnumberednames" in err and message in err
    assert p.names(1) == ["a", "b", "c"]
    p.call("KRVSaddnumberednames", 1, uint64s([LEAVE, 41, 0]), 0, 2)
    assert p.names(1) == ["a", "R41", "R0"] and lookup(p, 1, "R41") == 1 and lookup(p, 1, "b") is None
    delete_items(p, 1, [0])
    assert p.names(1) == ["R41", "R0"] and lookup(p, 1, "R1") is None
