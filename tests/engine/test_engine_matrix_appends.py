"""The engine's constraint matrix under random interleavings of row and
column appends (unsorted, with repeated and zero coefficients), coefficient
changes, deletions and queries, checked against a dense Python copy. The
queries in between fold pending appends into the compressed form at
different moments, so every merge case meets the later effects."""
import ctypes
import random

import pytest

from krvs_binding import ModelProblem, chars, dbls, int64s, ints


class Dense:
    def __init__(self):
        self.a = []  # rows of lists
        self.ncols = 0

    def add_rows(self, rows):
        for entries in rows:
            row = [0.0] * self.ncols
            for j, v in entries:
                row[j] += v
            self.a.append(row)

    def add_cols(self, cols):
        for entries in cols:
            for row in self.a:
                row.append(0.0)
            for i, v in entries:
                self.a[i][-1] += v
            self.ncols += 1

    def delete_rows(self, gone):
        self.a = [r for i, r in enumerate(self.a) if i not in gone]

    def delete_cols(self, gone):
        self.a = [[v for j, v in enumerate(r) if j not in gone] for r in self.a]
        self.ncols -= len(gone)


def random_entries(rng, count, limit):
    """Unsorted entries with repeats and zeros; their sums are what counts."""
    out = []
    for _ in range(count):
        k = rng.randrange(limit)
        v = rng.choice([0.0, 1.0, -1.0, 2.5, 0.5])
        out.append((k, v))
        if rng.random() < 0.2:
            out.append((k, -v))  # cancels: the entry must vanish
    return out


def packed(blocks):
    start, index, value = [0], [], []
    for entries in blocks:
        for k, v in entries:
            index.append(k)
            value.append(v)
        start.append(len(index))
    return start, index, value


@pytest.mark.parametrize("seed", range(4))
def test_matrix_follows_random_appends_changes_deletions_and_queries(seed):
    rng = random.Random(seed)
    p = ModelProblem()
    ref = Dense()
    p.call("KRVSaddcols64", 4, 0, None, int64s([0] * 5), None, None, None, None)
    ref.add_cols([[]] * 4)
    for step in range(80):
        m, n = len(ref.a), ref.ncols
        op = rng.random()
        if op < 0.25:
            rows = [random_entries(rng, rng.randrange(5), n) for _ in range(rng.randrange(1, 4))]
            start, index, value = packed(rows)
            p.call("KRVSaddrows64", len(rows), len(index), chars("L" * len(rows)), dbls([0.0] * len(rows)), None,
                   int64s(start), ints(index), dbls(value))
            ref.add_rows(rows)
        elif op < 0.45 and m > 0:
            cols = [random_entries(rng, rng.randrange(5), m) for _ in range(rng.randrange(1, 4))]
            start, index, value = packed(cols)
            p.call("KRVSaddcols64", len(cols), len(index), None, int64s(start), ints(index), dbls(value), None, None)
            ref.add_cols(cols)
        elif op < 0.7 and m > 0:
            changes = [(rng.randrange(m), rng.randrange(n), rng.choice([0.0, 3.0, -7.0])) for _ in range(3)]
            p.call("KRVSchgmcoef64", len(changes), ints([c[0] for c in changes]), ints([c[1] for c in changes]),
                   dbls([c[2] for c in changes]))
            for i, j, v in changes:
                ref.a[i][j] = v
        elif op < 0.8 and m > 3:
            gone = set(rng.sample(range(m), 2))
            p.call("KRVSdelrows", 2, ints(sorted(gone)))
            ref.delete_rows(gone)
        elif op < 0.85 and n > 3:
            gone = {rng.randrange(n)}
            p.call("KRVSdelcols", 1, ints(sorted(gone)))
            ref.delete_cols(gone)
        # Queries at random moments: single coefficients through the pending
        # effects, or the whole matrix (which folds them in).
        m, n = len(ref.a), ref.ncols
        if m and rng.random() < 0.3:
            i, j = rng.randrange(m), rng.randrange(n)
            assert p.coef(i, j) == ref.a[i][j]
        if rng.random() < 0.15:
            assert p.dense() == ref.a
    assert p.dense() == ref.a and p.dense_by_rows() == ref.a
    assert p.int_attr(1020) == sum(v != 0 for row in ref.a for v in row)


def test_row_blocks_in_every_layout_give_the_same_rows_and_refusals_change_nothing():
    rows = [[(2, 1.0), (0, -2.0)], [], [(1, 3.0), (1, 1.0), (3, 0.0)]]
    start, index, value = packed(rows)
    layouts = {
        "starts from 0, closing start": (start, index, value),
        "starts from 0, no closing start": (start[:-1], index, value),
        # Entries placed after a gap: starts from 2, the first two entries unused.
        "starts from 2": ([s + 2 for s in start[:-1]], [0, 0] + index, [9.0, 9.0] + value),
    }
    expected = [[-2.0, 0.0, 1.0, 0.0], [0.0] * 4, [0.0, 4.0, 0.0, 0.0]]
    for layout, (s, i, v) in layouts.items():
        p = ModelProblem()
        p.call("KRVSaddcols64", 4, 0, None, int64s([0] * 5), None, None, None, None)
        p.call("KRVSaddrows64", 3, len(i), chars("LLL"), dbls([0, 0, 0]), None, int64s(s), ints(i), dbls(v))
        assert p.dense() == expected, layout
        assert p.int_attr(1020) == 3
        # A bad entry at the very end, then a non-finite one: nothing is added.
        for bad_index, bad_value, text in [(4, 1.0, "column index 4"), (0, float("nan"), "not a finite number")]:
            rc, err = p.try_call("KRVSaddrows64", 3, len(i) + 1, chars("LLL"), dbls([0, 0, 0]), None, int64s(s),
                                 ints(i + [bad_index]), dbls(v + [bad_value]))
            assert rc and text in err, layout
            assert p.rows() == 3 and p.dense() == expected, layout


def test_large_matrix_survives_growth_folding_and_deletion():
    # Over a million coefficients: the arrays behind them are large enough to
    # get memory of their own, which must be grown, moved and released safely.
    np = pytest.importorskip("numpy")
    m, n, per = 1200, 2000, 1000
    p = ModelProblem()
    p.call("KRVSaddcols64", n, 0, None, int64s([0] * (n + 1)), None, None, None, None)
    rng = np.random.default_rng(5)
    cols = np.sort(np.argpartition(rng.random((m, n)), per, axis=1)[:, :per], axis=1).astype(np.intc)
    vals = rng.integers(1, 9, (m, per)).astype(float)
    ptr = lambda a: a.ctypes.data_as(ctypes.c_void_p)
    for half in (slice(0, m // 2), slice(m // 2, m)):  # two batches: the pending arrays grow
        k = half.stop - half.start
        start = np.arange(0, k * per + 1, per, dtype=np.int64)
        p.call("KRVSaddrows64", k, k * per, chars("L" * k), dbls([0.0] * k), None, ptr(start),
               ptr(np.ascontiguousarray(cols[half]).ravel()), ptr(np.ascontiguousarray(vals[half]).ravel()))
    dense = np.zeros((m, n))
    np.put_along_axis(dense, cols, vals, axis=1)

    def engine_matrix():
        total = ctypes.c_int64()
        p.call("KRVSgetcols64", None, None, None, 0, ctypes.byref(total), 0, n - 1)
        start = np.zeros(n + 1, dtype=np.int64)
        ind = np.zeros(total.value, dtype=np.intc)
        val = np.zeros(total.value)
        p.call("KRVSgetcols64", ptr(start), ptr(ind), ptr(val), total.value, ctypes.byref(total), 0, n - 1)
        out = np.zeros((p.rows(), n))
        out[ind, np.repeat(np.arange(n), np.diff(start))] = val
        return out

    assert (engine_matrix() == dense).all()
    gone = list(range(0, m, 3))
    p.call("KRVSdelrows", len(gone), ints(gone))
    dense = np.delete(dense, gone, axis=0)
    assert (engine_matrix() == dense).all() and p.int_attr(1020) == np.count_nonzero(dense)
