"""Solves with the basis matrix, the basis order and the ratio test of a pivot."""
import numpy as np
import pytest

import korvo


@pytest.fixture
def solved(quiet):
    """max x + 2y + z/2 over x + y + z <= 5, x - y + 2z >= -2, 3x + 2y + z <= 12,
    0 <= x <= 4, 0 <= y <= 3, z >= 0: optimum x = 2, y = 3, z = 0 with x, z
    and the slack of the second row basic."""
    x, y, z = korvo.var(name="x", ub=4), korvo.var(name="y", ub=3), korvo.var(name="z")
    rows = [
        korvo.constraint(x + y + z <= 5, name="c1"),
        korvo.constraint(x - y + 2 * z >= -2, name="c2"),
        korvo.constraint(3 * x + 2 * y + z <= 12, name="c3"),
    ]
    p = korvo.problem(x, y, z, rows, x + 2 * y + 0.5 * z, sense=korvo.maximize)
    p.lpoptimize()
    A = np.array([[1.0, 1, 1], [1, -1, 2], [3, 2, 1]])
    return p, [x, y, z], rows, A


def basis_matrix(p, variables, rows, A):
    """B from the pivot order: a variable's column of A, a constraint's unit column."""
    order = []
    p.getpivotorder(order)
    B = np.zeros((len(rows), len(rows)))
    for k, v in enumerate(order):
        if any(v is var for var in variables):
            B[:, k] = A[:, next(j for j, var in enumerate(variables) if var is v)]
        else:
            B[next(i for i, r in enumerate(rows) if r is v), k] = 1.0
    return order, B


def test_ftran_and_btran_solve_with_the_basis_matrix(solved):
    p, variables, rows, A = solved
    order, B = basis_matrix(p, variables, rows, A)
    assert sorted(str(v) for v in order) == ["c2", "x", "z"]
    assert abs(np.linalg.det(B)) > 1e-9
    for j in range(3):
        v = list(A[:, j])
        p.ftran(v)
        assert v == pytest.approx(list(np.linalg.solve(B, A[:, j])))
    rhs = [0.5, -1.0, 2.0]
    w = list(rhs)
    p.btran(w)
    assert w == pytest.approx(list(np.linalg.solve(B.T, rhs)))
    # The basic columns come back as unit vectors.
    for k, var in enumerate(order):
        if any(var is v for v in variables):
            v = list(A[:, next(j for j, u in enumerate(variables) if u is var)])
            p.ftran(v)
            assert v == pytest.approx(list(np.eye(3)[k]))


def test_ratio_test_of_entering_variables(solved):
    p, (x, y, z), (c1, c2, c3), A = solved
    # y leaves its upper bound 3 and reaches 0 before anything else: a bound flip.
    out, values = [], []
    assert p.getpivots(y, out, values, 5) == pytest.approx((4.25, 1))
    assert out == [y] and values == pytest.approx([0, -8.5, 0, 3.5, 0, 1.5])
    # Loosening c3 drives x down to 0: objective 7.
    out = []
    assert p.getpivots(c3, out, None, 5) == pytest.approx((7.0, 1)) and out == [x]
    # The combined index of y is rows + j = 4; maxpivots 0 lists nothing.
    out = [9, 9]
    assert p.getpivots(4, out, None, 0) == pytest.approx((4.25, 0)) and out == []
    with pytest.raises(korvo.SolverError, match="basic already"):
        p.getpivots(x, None, None, 3)


def test_basis_methods_refuse_bad_input(solved):
    p, variables, rows, A = solved
    with pytest.raises(korvo.InterfaceError, match="one value per row: expected 3, found 2"):
        p.ftran([1.0, 2.0])
    with pytest.raises(korvo.InterfaceError, match="must be a list"):
        p.btran((1.0, 0.0, 0.0))
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.getpivots(99, [], None, 3)
    with pytest.raises(korvo.InterfaceError, match="maxpivots"):
        p.getpivots(4, [], None, -1)
    for bad in (None, 1.5, "nosuch", 2**70, object(), [1, 2]):
        with pytest.raises((korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError)):
            p.getpivots(bad, [], None, 3)
        with pytest.raises((korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError)):
            p.ftran(bad)
        if bad is not None and not isinstance(bad, list):
            with pytest.raises(korvo.ModelError, match="Unexpected argument"):
                p.getpivotorder(bad)
    # Without a basis there is nothing to solve with.
    fresh = korvo.problem(korvo.var(), name="fresh")
    with pytest.raises(korvo.SolverError, match="no basis"):
        fresh.ftran([])
    xs = []
    p.getlpsol(xs)
    assert xs == pytest.approx([2, 3, 0])
