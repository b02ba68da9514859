"""Sensitivity ranges, duals, bases and rays checked against highspy (the
Python interface of the HiGHS build korvo's engine runs on) on the shared
instances. The engine is given highspy's optimal basis, so both answer for
the same vertex even where the optimum is degenerate."""
import os

import numpy as np
import pytest

import korvo

highspy = pytest.importorskip("highspy")

INF = 1e20
LPS = ["afiro.mps", "adlittle.mps", "blending.mps", "avgas.mps", "e226.mps"]


def engine_number(v):
    return INF if v >= highspy.kHighsInf else -INF if v <= -highspy.kHighsInf else v


def solved_by_highspy(path):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("solver", "simplex")
    h.readModel(path)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kOptimal
    return h


def engine_basis(h):
    """highspy's basis in the engine's codes: columns 0 lower, 1 basic, 2 upper, 3 free; rows by their slack."""
    lp, basis = h.getLp(), h.getBasis()
    S = highspy.HighsBasisStatus
    col_code = {S.kLower: 0, S.kBasic: 1, S.kUpper: 2, S.kZero: 3}
    cols = [col_code[s] for s in basis.col_status]
    rows = []
    for i, s in enumerate(basis.row_status):
        equality = lp.row_lower_[i] == lp.row_upper_[i]
        if s == S.kBasic:
            rows.append(1)
        elif s == S.kZero:
            rows.append(3)
        elif s == S.kUpper or equality:
            rows.append(0)  # activity at its upper side: the slack rhs - activity at its lower end
        else:
            rows.append(2)
    return rows, cols


@pytest.fixture
def at_highspy_basis(quiet, instances_dir, request):
    path = os.path.join(instances_dir, request.param)
    h = solved_by_highspy(path)
    p = korvo.problem()
    p.read(path)
    rows, cols = engine_basis(h)
    p.loadbasis(rows, cols)
    p.lpoptimize("d")
    return h, p, rows, cols


def test_engine_basis_reloads_as_it_was(quiet, instances_dir):
    """A basis read with getbasis loads back with loadbasis ('G' rows tight included) and is optimal at once."""
    p = korvo.problem()
    p.read(os.path.join(instances_dir, "adlittle.mps"))
    p.lpoptimize()
    rows, cols = [], []
    p.getbasis(rows, cols)
    assert 2 in [rows[i] for i in range(len(rows))]
    q = korvo.problem()
    q.read(os.path.join(instances_dir, "adlittle.mps"))
    q.loadbasis(rows, cols)
    q.lpoptimize("d")
    assert q.attributes.simplexiter == 0
    assert q.attributes.lpobjval == pytest.approx(p.attributes.lpobjval, rel=1e-12)


@pytest.mark.parametrize("at_highspy_basis", LPS, indirect=True)
def test_basis_duals_and_ranges_equal_highspy(at_highspy_basis):
    h, p, rows, cols = at_highspy_basis
    # The loaded basis is optimal as it stands: no pivot, the same vertex and basis.
    assert p.attributes.simplexiter == 0
    assert p.attributes.lpobjval == pytest.approx(h.getInfo().objective_function_value, rel=1e-9, abs=1e-9)
    got_rows, got_cols = [], []
    p.getbasis(got_rows, got_cols)
    assert got_rows == rows and got_cols == cols
    sol = h.getSolution()
    x, slack, duals, djs = [], [], [], []
    p.getlpsol(x, slack, duals, djs)
    assert np.allclose(x, sol.col_value, rtol=1e-7, atol=1e-7)
    assert np.allclose(duals, sol.row_dual, rtol=1e-7, atol=1e-7)
    assert np.allclose(djs, sol.col_dual, rtol=1e-7, atol=1e-7)

    ranging = h.getRanging()[1] if isinstance(h.getRanging(), tuple) else h.getRanging()
    n, m = len(cols), len(rows)
    lower, upper = [], []
    p.objsa(list(range(n)), lower, upper)
    assert np.allclose(lower, [engine_number(v) for v in ranging.col_cost_dn.value_[:n]], rtol=1e-7, atol=1e-7)
    assert np.allclose(upper, [engine_number(v) for v in ranging.col_cost_up.value_[:n]], rtol=1e-7, atol=1e-7)
    # Right-hand-side ranges of the binding one-sided and equality rows are HiGHS's row bound ranges.
    lp = h.getLp()
    one_sided = [lp.row_lower_[i] <= -highspy.kHighsInf or lp.row_upper_[i] >= highspy.kHighsInf or
                 lp.row_lower_[i] == lp.row_upper_[i] for i in range(m)]
    binding = [i for i in range(m) if rows[i] != 1 and one_sided[i]]
    assert binding, "every instance here has binding rows"
    lower, upper = [], []
    p.rhssa(binding, lower, upper)
    assert np.allclose(lower, [engine_number(ranging.row_bound_dn.value_[i]) for i in binding], rtol=1e-7, atol=1e-7)
    assert np.allclose(upper, [engine_number(ranging.row_bound_up.value_[i]) for i in binding], rtol=1e-7, atol=1e-7)


def test_optimal_lps_have_no_rays_in_either(quiet, instances_dir):
    path = os.path.join(instances_dir, "afiro.mps")
    h = solved_by_highspy(path)
    p = korvo.problem()
    p.read(path)
    p.lpoptimize()
    assert p.hasprimalray() == h.getPrimalRay()[1] == False  # noqa: E712
    assert p.hasdualray() == h.getDualRay()[1] == False  # noqa: E712


@pytest.mark.parametrize("name", ["klein1.mps", "woodinfe.mps", "forest6.mps"])
def test_infeasible_lp_dual_ray_agrees_with_highspy(quiet, instances_dir, name):
    path = os.path.join(instances_dir, name)
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("presolve", "off")
    h.readModel(path)
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kInfeasible
    status, has_ray, theirs = h.getDualRay()
    p = korvo.problem()
    p.read(path)
    p.lpoptimize()
    assert p.attributes.lpstatus == 2
    assert p.hasdualray() and has_ray
    ours = []
    p.getdualray(ours)
    # Rays are directions: the same one up to a positive factor when both come from the same final basis,
    # and in any case each is a Farkas proof, checked here on HiGHS's data.
    lp = h.getLp()
    A = np.zeros((lp.num_row_, lp.num_col_))
    a = lp.a_matrix_
    for j in range(lp.num_col_):
        for k in range(a.start_[j], a.start_[j + 1]):
            A[a.index_[k], j] = a.value_[k]
    for y in (np.array(ours), np.array(theirs)):
        # Either sign convention: y or -y must prove infeasibility.
        assert max(farkas_gap(A, lp, y), farkas_gap(A, lp, -y)) > 1e-7


def farkas_gap(A, lp, y):
    """min over the rows' ranges of y'r minus max over the column bounds of (y'A)x (positive: a proof)."""
    big = highspy.kHighsInf
    lo_r, up_r = np.array(lp.row_lower_), np.array(lp.row_upper_)
    lo_c, up_c = np.array(lp.col_lower_), np.array(lp.col_upper_)
    y = np.where(np.abs(y) < 1e-12, 0.0, y)
    row_side = np.where(y > 0, lo_r, np.where(y < 0, up_r, 0.0))
    if np.any(np.abs(row_side[y != 0]) >= big):
        return -np.inf
    z = A.T @ y
    z = np.where(np.abs(z) < 1e-9, 0.0, z)
    col_side = np.where(z > 0, up_c, np.where(z < 0, lo_c, 0.0))
    if np.any(np.abs(col_side[z != 0]) >= big):
        return -np.inf
    return float(y @ row_side - z @ col_side)


def test_unbounded_lp_primal_ray_equals_highspy(quiet):
    """min -x - y over x - y <= 1, x, y >= 0: unbounded along directions with d_x <= d_y."""
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("presolve", "off")
    inf = highspy.kHighsInf
    h.addVars(2, np.array([0.0, 0.0]), np.array([inf, inf]))
    h.changeColsCost(2, np.array([0, 1], dtype=np.int32), np.array([-1.0, -1.0]))
    h.addRow(-inf, 1.0, 2, np.array([0, 1], dtype=np.int32), np.array([1.0, -1.0]))
    h.run()
    assert h.getModelStatus() == highspy.HighsModelStatus.kUnbounded
    _, has_ray, theirs = h.getPrimalRay()
    x, y = korvo.var(name="x"), korvo.var(name="y")
    p = korvo.problem(x, y, korvo.constraint(x - y <= 1), -x - y)
    p.controls.presolve = 0
    p.lpoptimize()
    assert p.attributes.lpstatus == 5 and p.hasprimalray() and has_ray
    ours = []
    p.getprimalray(ours)
    for d in (np.array(ours), np.array(theirs)):
        assert d.min() >= -1e-12 and d[0] - d[1] <= 1e-12 and -d.sum() < 0
