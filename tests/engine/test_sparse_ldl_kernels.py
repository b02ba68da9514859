"""The two numeric kernels of the sparse symmetric factorisation (column by
column, and supernodes with dense block updates) on structures that make
big supernodes: residuals of plain solves (no refinement, so the factor
itself is checked), exact inertia with negative and zero pivots inside a
supernode, and repeated factorisations with new values on one structure."""
import ctypes

import numpy as np
import pytest
import scipy.sparse as sp

from krvs_binding import lib, last_error

NATURAL, COLUMNS, SUPERNODAL = 1, 2, 4
NO_LIMIT = ctypes.c_double(0.0)
KERNELS = [pytest.param(COLUMNS, id="columns"), pytest.param(SUPERNODAL, id="supernodal"),
           pytest.param(0, id="automatic")]


def series(matrix, value_sets=None, rhs=None, options=0, max_flops=0.0):
    """Factorises the symmetric `matrix` (dense or scipy; its lower triangle
    is the pattern) for each value set; returns (solutions, inertias, stats)."""
    lower = sp.csc_matrix(sp.tril(sp.csc_matrix(matrix)))
    lower.sort_indices()
    n = lower.shape[0]
    if value_sets is None:
        value_sets = [lower.data.copy()]
    sets = len(value_sets)
    st = (ctypes.c_int * (n + 1))(*lower.indptr.tolist())
    ix = (ctypes.c_int * max(lower.nnz, 1))(*lower.indices.tolist())
    vals = np.ascontiguousarray(np.concatenate(value_sets), dtype=float)
    vx = vals.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    b = None
    if rhs is not None:
        b = np.ascontiguousarray(np.tile(rhs, sets), dtype=float)
    inertia = (ctypes.c_int * (3 * max(sets, 1)))()
    stats = (ctypes.c_double * 7)()
    rc = lib.KNLSfactorsymmetricseries(n, st, ix, sets, vx, options,
                                       None if b is None else b.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                                       inertia, stats, ctypes.c_double(max_flops))
    if rc != 0:
        raise RuntimeError(last_error())
    xs = None if b is None else b.reshape(sets, n)
    return xs, [tuple(inertia[3 * k:3 * k + 3]) for k in range(sets)], list(stats)


def exact_inertia(a, tol=1e-9):
    eig = np.linalg.eigvalsh(a)
    scale = max(1.0, np.abs(eig).max())
    return (int((eig > tol * scale).sum()), int((eig < -tol * scale).sum()), int((abs(eig) <= tol * scale).sum()))


def relative_residual(a, x, b):
    return np.linalg.norm(a @ x - b) / (np.linalg.norm(a, np.inf) * np.linalg.norm(x) + np.linalg.norm(b))


def block_arrow(rng, blocks=6, size=25, border=8):
    """Dense diagonal blocks joined by a dense border: the factor is a row of
    dense supernodes feeding one big one."""
    n = blocks * size + border
    a = np.zeros((n, n))
    for k in range(blocks):
        s = slice(k * size, (k + 1) * size)
        m = rng.standard_normal((size, size))
        a[s, s] = m @ m.T / size + np.eye(size)
    a[-border:, :] = rng.standard_normal((border, n)) * 0.2
    a[:, -border:] = a[-border:, :].T
    a[-border:, -border:] = np.diag(rng.choice([-1.0, 1.0], border) * (4.0 + rng.random(border)))
    return a


def grid(k, rng):
    n = k * k
    a = np.diag(4.0 + rng.random(n))
    for r in range(k):
        for c in range(k):
            u = r * k + c
            if c + 1 < k:
                a[u, u + 1] = a[u + 1, u] = -1.0
            if r + 1 < k:
                a[u, u + k] = a[u + k, u] = -1.0
    return a


@pytest.mark.parametrize("kernel", KERNELS)
def test_structures_with_big_supernodes_solve_and_count_the_inertia(kernel):
    rng = np.random.default_rng(3)
    shapes = {"block arrow": block_arrow(rng), "grid": grid(14, rng),
              "dense indefinite": (lambda m: m + m.T)(rng.standard_normal((90, 90))) + np.diag(np.full(90, 0.5))}
    for name, a in shapes.items():
        b = rng.standard_normal(a.shape[0])
        xs, inertias, stats = series(a, rhs=b, options=kernel)
        assert relative_residual(a, xs[0], b) < 1e-12, name
        assert inertias[0] == exact_inertia(a), name
        if kernel == SUPERNODAL:
            assert stats[5] >= 1 and stats[6] >= 8, name  # blocks were formed
        if kernel == COLUMNS:
            assert stats[5] == 0
    # The automatic choice takes supernodes for the dense case and the
    # column kernel for a chain.
    assert series(shapes["dense indefinite"])[2][5] >= 1
    chain = sp.diags([np.full(499, -1.0), np.full(500, 3.0), np.full(499, -1.0)], [-1, 0, 1])
    assert series(chain)[2][5] == 0


@pytest.mark.parametrize("kernel", [COLUMNS, SUPERNODAL])
def test_negative_and_zero_pivots_inside_a_supernode(kernel):
    # A rank-one block v v' (entries +-1, +-2, so its Schur complements are
    # exact zeros in any order) beside a negative definite block coupled to
    # a few positive nodes: the zero pivots are counted and their
    # directions dropped, a right-hand side in the range is still solved.
    rng = np.random.default_rng(5)
    v = np.array([1.0, 2.0, -1.0, 2.0, 1.0, -2.0, 2.0, 1.0])
    k, m, p = v.size, 12, 6
    n = k + m + p
    a = np.zeros((n, n))
    a[:k, :k] = np.outer(v, v)
    a[k:k + m, k:k + m] = -(np.eye(m) * 3.0 + np.ones((m, m)))
    a[k + m:, k + m:] = np.eye(p) * 50.0
    a[k + m:, k:k + m] = rng.integers(-1, 2, (p, m)).astype(float)
    a[k:k + m, k + m:] = a[k + m:, k:k + m].T
    assert exact_inertia(a) == (1 + p, m, k - 1)
    b = a @ rng.standard_normal(n)
    for order in (NATURAL, 0):
        xs, inertias, stats = series(a, rhs=b, options=kernel | order)
        assert inertias[0] == (1 + p, m, k - 1)
        assert relative_residual(a, xs[0], b) < 1e-12
        if kernel == SUPERNODAL:
            assert stats[6] >= k


@pytest.mark.parametrize("kernel", KERNELS)
def test_repeated_factorisations_with_new_values_on_one_structure(kernel):
    # Four value sets, the last two indefinite: every set is checked on its
    # own, so state left over from the previous factorisation shows.
    rng = np.random.default_rng(9)
    n = 300
    mask = sp.random(n, n, density=8.0 / n, random_state=rng, format="csc")
    pattern = sp.csc_matrix(sp.tril(mask + mask.T + sp.eye(n)))
    pattern.sort_indices()
    rows = pattern.indices
    cols = np.repeat(np.arange(n), np.diff(pattern.indptr))
    diag = rows == cols
    sets, dense = [], []
    for k in range(4):
        values = rng.standard_normal(pattern.nnz)
        shift = np.where(rng.random(n) < 0.3 * (k >= 2), -1.0, 1.0) * (6.0 + rng.random(n))
        values[diag] = shift[rows[diag]]
        low = sp.csc_matrix((values, rows, pattern.indptr), shape=(n, n)).toarray()
        sets.append(values)
        dense.append(low + np.tril(low, -1).T)
    b = rng.standard_normal(n)
    xs, inertias, _ = series(pattern, sets, b, options=kernel)
    for k in range(4):
        assert np.allclose(xs[k], np.linalg.solve(dense[k], b), rtol=1e-9, atol=1e-11)
        assert inertias[k] == exact_inertia(dense[k])
    assert len(set(inertias)) > 1  # the sets differ in inertia


def test_mid_size_random_system_matches_the_dense_solve():
    rng = np.random.default_rng(21)
    n = 800
    a = sp.random(n, n, density=6.0 / n, random_state=rng, format="csc")
    a = (a + a.T).toarray() + np.diag(rng.choice([-1.0, 1.0], n) * (5.0 + rng.random(n)))
    b = rng.standard_normal(n)
    expected = np.linalg.solve(a, b)
    for kernel in (COLUMNS, SUPERNODAL):
        xs, inertias, stats = series(a, rhs=b, options=kernel)
        assert np.allclose(xs[0], expected, rtol=1e-9, atol=1e-10)
        assert inertias[0] == exact_inertia(a)
        assert stats[3] < n * (n - 1) / 2  # the ordering kept fill below dense


def test_saddle_point_system_with_dense_rows_and_no_constraint_diagonal():
    # [H J'; J 0] whose constraint rows touch many columns (big supernodes
    # at the end) and carry no diagonal in the pattern: inertia (n, m, 0).
    rng = np.random.default_rng(13)
    n, m = 120, 40
    h = np.diag(1.0 + rng.random(n))
    j = np.where(rng.random((m, n)) < 0.15, rng.standard_normal((m, n)), 0.0)
    k = np.block([[h, j.T], [j, np.zeros((m, m))]])
    b = rng.standard_normal(n + m)
    for kernel in (COLUMNS, SUPERNODAL):
        xs, inertias, stats = series(k, rhs=b, options=kernel)
        assert inertias[0] == (n, m, 0)
        assert relative_residual(k, xs[0], b) < 1e-11


def test_refused_options_and_structures():
    st = (ctypes.c_int * 3)(0, 1, 2)
    ix = (ctypes.c_int * 2)(0, 1)
    vx = (ctypes.c_double * 2)(1.0, 2.0)
    assert lib.KNLSfactorsymmetricseries(2, st, ix, 1, vx, COLUMNS | SUPERNODAL, None, None, None, NO_LIMIT) != 0
    assert "options" in last_error()
    assert lib.KNLSfactorsymmetricseries(2, st, ix, 1, vx, 64, None, None, None, NO_LIMIT) != 0
    bad = (ctypes.c_int * 3)(0, 2, 1)
    assert lib.KNLSfactorsymmetricseries(2, bad, ix, 1, vx, 0, None, None, None, NO_LIMIT) != 0
    assert "column starts" in last_error()
    nan = (ctypes.c_double * 4)(1.0, 2.0, 1.0, float("nan"))
    assert lib.KNLSfactorsymmetricseries(2, st, ix, 2, nan, 0, None, None, None, NO_LIMIT) != 0
    assert "finite" in last_error()
    # An empty matrix and no value sets are fine.
    empty = (ctypes.c_int * 1)(0)
    assert lib.KNLSfactorsymmetricseries(0, empty, None, 1, None, 0, None, None, None, NO_LIMIT) == 0
    assert lib.KNLSfactorsymmetricseries(2, st, ix, 0, None, 0, None, None, None, NO_LIMIT) == 0


def test_a_factor_beyond_the_flop_limit_is_refused_before_any_numeric_work():
    rng = np.random.default_rng(17)
    a = block_arrow(rng)
    _, _, stats = series(a)
    flops = stats[4]
    assert flops > 5e4
    with pytest.raises(RuntimeError, match="floating-point operations"):
        series(a, max_flops=flops / 2)
    # At the limit it goes through, and the same structure still factorises.
    b = rng.standard_normal(a.shape[0])
    xs, inertias, _ = series(a, rhs=b, max_flops=flops)
    assert relative_residual(a, xs[0], b) < 1e-12 and inertias[0] == exact_inertia(a)
    st = (ctypes.c_int * 2)(0, 1)
    ix = (ctypes.c_int * 1)(0)
    vx = (ctypes.c_double * 1)(1.0)
    assert lib.KNLSfactorsymmetricseries(1, st, ix, 1, vx, 0, None, None, None, ctypes.c_double(-1.0)) != 0
    assert "limit" in last_error()
