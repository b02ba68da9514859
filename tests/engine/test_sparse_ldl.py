"""The sparse symmetric factorisation: solves of random sparse symmetric
systems, the inertia of indefinite and singular matrices, saddle-point
systems whose constraint block has no diagonal, the fill of the ordering on
a grid and on an arrow, and refused input."""
import ctypes

import numpy as np
import pytest

from krvs_binding import lib, last_error


def lower_csc(a):
    """Lower triangle of a dense symmetric matrix, compressed by columns."""
    n = a.shape[0]
    start, index, values = [0], [], []
    for j in range(n):
        for i in range(j, n):
            if a[i, j] != 0.0 or i == j:
                index.append(i)
                values.append(a[i, j])
        start.append(len(index))
    return start, index, values


def factor(a, rhs=None, natural=False, drop_zero_diagonal=False):
    start, index, values = lower_csc(a)
    if drop_zero_diagonal:  # leave zero diagonals out of the pattern
        keep = [k for k, (i, v) in enumerate(zip(index, values)) if v != 0.0 or i != _col_of(start, k)]
        cols = [_col_of(start, k) for k in keep]
        index = [index[k] for k in keep]
        values = [values[k] for k in keep]
        start = [0] + [sum(1 for c in cols if c <= j) for j in range(a.shape[0])]
    n = a.shape[0]
    st = (ctypes.c_int * (n + 1))(*start)
    ix = (ctypes.c_int * max(len(index), 1))(*index)
    vx = (ctypes.c_double * max(len(values), 1))(*values)
    inertia = (ctypes.c_int * 3)()
    fill = ctypes.c_int64()
    b = None
    if rhs is not None:
        b = (ctypes.c_double * n)(*rhs)
    rc = lib.KNLSfactorsymmetric(n, st, ix, vx, int(natural), b, inertia, ctypes.byref(fill))
    if rc != 0:
        raise RuntimeError(last_error())
    return (np.array(list(b)) if b is not None else None), tuple(inertia), fill.value


def _col_of(start, k):
    j = 0
    while start[j + 1] <= k:
        j += 1
    return j


def random_sparse_symmetric(n, density, rng, shift):
    a = np.zeros((n, n))
    mask = rng.random((n, n)) < density
    a[mask] = rng.standard_normal(mask.sum())
    a = a + a.T
    a += np.diag(shift * rng.choice([-1.0, 1.0], n) * (1.0 + rng.random(n)))
    return a


@pytest.mark.parametrize("seed", range(6))
def test_random_sparse_indefinite_systems_solve_and_report_inertia(seed):
    rng = np.random.default_rng(seed)
    n = 40 + 20 * seed
    a = random_sparse_symmetric(n, 3.0 / n, rng, shift=3.0)
    b = rng.standard_normal(n)
    x, inertia, _ = factor(a, b)
    assert np.linalg.norm(a @ x - b) <= 1e-10 * (1 + np.linalg.norm(b)) * np.linalg.norm(a, 1)
    eig = np.linalg.eigvalsh(a)
    assert inertia == (int((eig > 0).sum()), int((eig < 0).sum()), 0)


def test_saddle_point_system_with_empty_constraint_diagonal():
    # [H J'; J 0] with H positive definite and J of full row rank has
    # inertia (n, m, 0); the constraint rows carry no diagonal at all.
    rng = np.random.default_rng(7)
    n, m = 30, 12
    h = np.diag(1.0 + rng.random(n))
    j = np.zeros((m, n))
    for r in range(m):
        cols = rng.choice(n, 3, replace=False)
        j[r, cols] = rng.standard_normal(3)
    k = np.block([[h, j.T], [j, np.zeros((m, m))]])
    b = rng.standard_normal(n + m)
    x, inertia, _ = factor(k, b, drop_zero_diagonal=True)
    assert inertia == (n, m, 0)
    assert np.linalg.norm(k @ x - b) <= 1e-10 * (1 + np.linalg.norm(b))
    # A Hessian block with a negative direction inside the null space of J
    # shows up as one more negative pivot.
    h2 = h.copy()
    h2[0, 0] = -5.0
    k2 = np.block([[h2, j.T], [j, np.zeros((m, m))]])
    _, inertia2, _ = factor(k2, drop_zero_diagonal=True)
    eig = np.linalg.eigvalsh(k2)
    assert inertia2 == (int((eig > 0).sum()), int((eig < 0).sum()), 0)


def test_singular_matrix_reports_zero_pivots():
    a = np.diag([2.0, -1.0, 0.0, 4.0])
    a[3, 0] = a[0, 3] = 1.0
    _, inertia, _ = factor(a)
    assert inertia == (2, 1, 1)
    # Two equal rows: rank one short.
    b = np.array([[1.0, 1.0, 0.0], [1.0, 1.0, 0.0], [0.0, 0.0, -3.0]])
    _, inertia, _ = factor(b, natural=True)
    assert inertia == (1, 1, 1)


def grid_laplacian(k):
    n = k * k
    a = np.zeros((n, n))
    for r in range(k):
        for c in range(k):
            u = r * k + c
            a[u, u] = 4.0
            if c + 1 < k:
                a[u, u + 1] = a[u + 1, u] = -1.0
            if r + 1 < k:
                a[u, u + k] = a[u + k, u] = -1.0
    return a


def test_ordering_cuts_fill_on_a_grid_and_an_arrow():
    a = grid_laplacian(30)
    b = np.ones(a.shape[0])
    x, inertia, fill = factor(a, b)
    _, _, natural_fill = factor(a, natural=True)
    assert inertia == (900, 0, 0)
    assert np.linalg.norm(a @ x - b) <= 1e-10 * np.linalg.norm(b)
    assert fill < 0.5 * natural_fill
    # An arrow whose dense row comes first: the natural order fills the
    # whole matrix, the ordering puts the dense node last and fills nothing.
    n = 300
    arrow = np.diag(np.full(n, 4.0))
    arrow[0, 1:] = arrow[1:, 0] = 0.1
    x, inertia, fill = factor(arrow, np.ones(n))
    assert fill == n - 1
    assert factor(arrow, natural=True)[2] == n * (n - 1) // 2
    assert np.allclose(arrow @ x, 1.0, atol=1e-12)


def test_refused_input_leaves_an_error():
    st = (ctypes.c_int * 3)(0, 1, 2)
    ix = (ctypes.c_int * 2)(1, 0)  # second column holds row 0: above the diagonal
    vx = (ctypes.c_double * 2)(1.0, 1.0)
    assert lib.KNLSfactorsymmetric(2, st, ix, vx, 0, None, None, None) != 0
    assert "lower triangle" in last_error()
    assert lib.KNLSfactorsymmetric(-1, st, ix, vx, 0, None, None, None) != 0
    ix2 = (ctypes.c_int * 2)(0, 1)
    vx2 = (ctypes.c_double * 2)(1.0, float("nan"))
    assert lib.KNLSfactorsymmetric(2, st, ix2, vx2, 0, None, None, None) != 0
    assert "finite" in last_error()


def factor_sparse(lower, rhs):
    """Factorises the symmetric matrix whose lower triangle is the scipy
    matrix `lower`; returns (solution, inertia, fill)."""
    csc = lower.tocsc()
    csc.sort_indices()
    n = csc.shape[0]
    st = (ctypes.c_int * (n + 1))(*csc.indptr.tolist())
    ix = (ctypes.c_int * max(csc.nnz, 1))(*csc.indices.tolist())
    vx = (ctypes.c_double * max(csc.nnz, 1))(*csc.data.tolist())
    inertia = (ctypes.c_int * 3)()
    fill = ctypes.c_int64()
    b = (ctypes.c_double * n)(*rhs)
    if lib.KNLSfactorsymmetric(n, st, ix, vx, 0, b, inertia, ctypes.byref(fill)) != 0:
        raise RuntimeError(last_error())
    return np.array(list(b)), tuple(inertia), fill.value


def test_large_random_quasi_definite_systems():
    # [D1 A'; A -D2] with positive diagonals has inertia (n1, n2, 0)
    # whatever A; random rows give the ordering's element absorption and
    # degree updates plenty to do.
    import scipy.sparse as sp

    rng = np.random.default_rng(11)
    n1, n2 = 2500, 1200
    rows = np.repeat(np.arange(n2), 4)
    cols = rng.integers(0, n1, rows.size)
    a = sp.coo_matrix((rng.standard_normal(rows.size), (rows, cols)), shape=(n2, n1)).tocsr()
    a.sum_duplicates()
    k = sp.bmat([[sp.diags(1.0 + rng.random(n1)), None], [a, -sp.diags(0.1 + rng.random(n2))]]).tocsc()
    b = rng.standard_normal(n1 + n2)
    x, inertia, fill = factor_sparse(sp.tril(k), b)
    full = k + sp.tril(k, -1).T
    assert inertia == (n1, n2, 0)
    assert np.linalg.norm(full @ x - b) <= 1e-10 * np.linalg.norm(b)
    assert fill < (n1 + n2) ** 2 / 4
