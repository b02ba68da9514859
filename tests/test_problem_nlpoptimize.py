"""Problems the optimizer refuses as non-convex, solved with nlpoptimize()."""
import math

import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def test_nonconvex_quadratic_row_is_refused_then_solved_by_slp():
    x = korvo.var(lb=-5, ub=5)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem(x, y, x * y >= 3, x + y >= 0, x + y)
    with pytest.raises(korvo.SolverError, match="Call nlpoptimize"):
        p.solve()
    assert p.getProbStatusString() == "lp_nonconvex"
    p.nlpoptimize()
    # min x + y subject to xy >= 3 in the positive quadrant: x = y = sqrt(3).
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getProbStatusString() == "nlp_solution"
    assert p.getObjVal() == pytest.approx(2 * math.sqrt(3), rel=1e-6)
    assert p.getSolution(x) == pytest.approx(math.sqrt(3), rel=1e-4)
    assert p.getSlack(p.getConstraint(0)) == pytest.approx(0.0, abs=1e-5)


def test_nonconvex_objective_maximised():
    x = korvo.var(lb=0, ub=2)
    y = korvo.var(lb=0, ub=2)
    # Maximising a convex function is non-convex: the optimum is at a vertex,
    # here (1, 2), where the slope from the start point leads.
    p = korvo.problem(x, y, x + y <= 3, x * x + y * y + x + 2 * y, sense=korvo.maximize)
    with pytest.raises(korvo.SolverError, match="nonconvex"):
        p.solve()
    p.nlpoptimize()
    assert p.getObjVal() == pytest.approx(10.0, rel=1e-6)
    assert p.getSolution([x, y]) == pytest.approx([1.0, 2.0], abs=1e-5)


def test_integer_columns_stay_integer():
    x = korvo.var(lb=0, ub=5)
    z = korvo.var(vartype=korvo.integer, lb=0, ub=5)
    p = korvo.problem(x, z, x * z >= 3, x + 2 * z)
    with pytest.raises(korvo.SolverError, match="Call nlpoptimize"):
        p.solve()
    assert p.getProbStatusString() == "mip_unknown"  # the MIP status is 8 too
    p.nlpoptimize()
    zval = p.getSolution(z)
    assert zval == pytest.approx(round(zval), abs=1e-6)
    xval = p.getSolution(x)
    assert xval * zval >= 3 - 1e-5


def test_flags_must_be_text():
    p = korvo.problem()
    with pytest.raises(TypeError):
        p.nlpoptimize(5)


def test_nonconvex_objective_of_a_mip_is_reported_as_nonconvex():
    x = korvo.var(lb=0, ub=3)
    z = korvo.var(vartype=korvo.integer, lb=0, ub=3)
    p = korvo.problem(x, z, x + z <= 4, x * z + x + z, sense=korvo.maximize)
    with pytest.raises(korvo.SolverError, match="determined to be nonconvex"):
        p.solve()
    p.nlpoptimize()
    assert p.getSolution(z) == pytest.approx(round(p.getSolution(z)), abs=1e-6)
    assert p.getObjVal() == pytest.approx(8.0, rel=1e-6)  # x = z = 2
