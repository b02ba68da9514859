"""Rows built as one sparse product (korvo.Dot with a SciPy matrix) reach
the engine with the same rows, columns, coefficients, right-hand sides and
names as the same rows written term by term, on random matrices: long and
empty rows, unsorted and repeated entries, explicit zeros, operands of
several variable arrays."""
import numpy as np
import pytest

import korvo

sp = pytest.importorskip("scipy.sparse")


def matrix_of(p):
    rows = p.attributes.rows
    start, cols, coefs = [], [], []
    p.getrows(start, cols, coefs, max(1, p.attributes.elems), 0, rows - 1)
    out = {}
    for r in range(rows):
        for k in range(start[r], start[r + 1]):
            out[(r, cols[k].name if hasattr(cols[k], "name") else cols[k])] = coefs[k]
    rhs, types = [], []
    p.getrhs(rhs, 0, rows - 1)
    p.getrowtype(types, 0, rows - 1)
    return out, rhs, types


def elementwise_rows(a, x, b):
    a = a.tocsr()
    rows = []
    for r in range(a.shape[0]):
        expr = korvo.Sum(float(v) * x[int(j)] for j, v in zip(a.indices[a.indptr[r]:a.indptr[r + 1]],
                                                               a.data[a.indptr[r]:a.indptr[r + 1]]))
        rows.append(expr >= b[r])
    return rows


def random_matrix(rng, rows, cols):
    counts = rng.choice([0, 1, 3, 10, 70, 200], size=rows)
    r = np.repeat(np.arange(rows), counts)
    c = rng.integers(0, cols, size=len(r))
    v = rng.choice([0.0, -1.5, 2.0, 0.25, 3.0], size=len(r))
    # COO keeps repeated and zero entries; the CSR view keeps the order given
    m = sp.csr_matrix((v, (r, c)), shape=(rows, cols))
    m.has_canonical_format = False
    perm = rng.permutation(len(r))
    unsorted = sp.csr_matrix(sp.coo_matrix((v[perm], (r[perm], c[perm])), shape=(rows, cols)))
    return m if rng.random() < 0.5 else unsorted


@pytest.mark.parametrize("seed", range(6))
def test_sparse_product_rows_match_the_elementwise_rows(seed):
    rng = np.random.default_rng(seed)
    rows, cols = int(rng.integers(1, 60)), int(rng.integers(1, 400))
    a = random_matrix(rng, rows, cols)
    b = rng.normal(size=rows)
    x = korvo.vars(cols, name="x")
    # columns added out of their identity order, so positions and identities differ
    order = rng.permutation(cols)
    p, q = korvo.problem(), korvo.problem()
    p.addVariable([x[int(j)] for j in order])
    q.addVariable([x[int(j)] for j in order])
    p.addConstraint(korvo.Dot(a, x) >= b)
    q.addConstraint(elementwise_rows(a, x, b))
    got, want = matrix_of(p), matrix_of(q)
    assert got[0] == pytest.approx(want[0], rel=1e-12, abs=0)
    assert got[1] == pytest.approx(want[1]) and got[2] == want[2]
    assert p.getnamelist(2) == q.getnamelist(2)


def test_sparse_product_of_a_stacked_operand_matches():
    rng = np.random.default_rng(11)
    a = random_matrix(rng, 40, 300)
    x, y = korvo.vars(200, name="x"), korvo.vars(100, name="y")
    z = np.concatenate([x, y])
    p, q = korvo.problem(), korvo.problem()
    for r in (p, q):
        r.addVariable(y, x)
    p.addConstraint(korvo.Dot(a, z) >= 1)
    q.addConstraint(elementwise_rows(a, z, np.ones(40)))
    assert matrix_of(p) == matrix_of(q)
