"""Results read after a re-solve of the kept solver model: slacks, primal and
dual values and the basis agree with the problem's own data and with a fresh
problem, whatever the solver's model holds besides the user's rows (cuts,
big-M rows of indicators, the caller's scale factors), and stay those of the
last solve while the model is changed afterwards."""
import random

import pytest

import korvo
from test_live_model import fresh_copy, random_change, random_problem


def activities(p):
    """Row activities A x of the problem's own rows at its LP or MIP solution."""
    m = p.attributes.rows
    x = []
    if p.attributes.mipstatus in (4, 6):
        p.getmipsol(x)
    else:
        p.getlpsol(x)
    start, cols, coefs = [], [], []
    if m:
        p.getrows(start, cols, coefs, p.attributes.elems, 0, m - 1)
    index = [c if isinstance(c, int) else p.getIndex(c) for c in cols]
    return [sum(coefs[k] * x[index[k]] for k in range(start[i], start[i + 1])) for i in range(m)]


def lp_slacks(p):
    slack = []
    p.getlpsol(None, slack)
    return slack


def rhs_of(p):
    m = p.attributes.rows
    rhs = []
    if m:
        p.getrhs(rhs, 0, m - 1)
    return rhs


def assert_slacks_are_rhs_minus_activity(p, slack):
    want = [r - a for r, a in zip(rhs_of(p), activities(p))]
    assert slack == pytest.approx(want, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("seed", range(4))
def test_slacks_after_each_resolve_match_the_rows_and_a_fresh_problem(seed, tmp_path):
    rng = random.Random(100 + seed)
    p = random_problem(rng, 9, 7)
    p.lpoptimize()
    for _ in range(10):
        random_change(rng, p)
        q = fresh_copy(p, tmp_path)
        p.lpoptimize()
        q.lpoptimize()
        assert p.attributes.lpstatus == q.attributes.lpstatus
        if p.attributes.lpstatus != 1:
            continue
        slack = lp_slacks(p)
        assert len(slack) == p.attributes.rows
        assert_slacks_are_rhs_minus_activity(p, slack)
        assert slack == pytest.approx(lp_slacks(q), rel=1e-7, abs=1e-7)
        # Single reads and the whole vectors tell the same.
        for i in range(p.attributes.rows):
            assert p.getlpsolval(0, i)[1] == pytest.approx(slack[i], abs=1e-12)


def test_kept_basis_is_the_solvers_and_starts_a_fresh_problem_at_the_optimum(tmp_path):
    rng = random.Random(7)
    p = random_problem(rng, 12, 8)
    p.lpoptimize()
    for _ in range(4):
        random_change(rng, p)
        p.lpoptimize()
        if p.attributes.lpstatus == 1:
            break
    assert p.attributes.lpstatus == 1
    rowstat, colstat = [], []
    p.getbasis(rowstat, colstat)
    assert len(rowstat) == p.attributes.rows and len(colstat) == p.attributes.cols
    assert set(rowstat) | set(colstat) <= {0, 1, 2, 3}
    basic = sum(1 for s in rowstat + colstat if s == 1)
    assert basic == p.attributes.rows
    q = fresh_copy(p, tmp_path)
    q.loadbasis(rowstat, colstat)
    q.lpoptimize()
    assert q.attributes.simplexiter == 0
    assert q.attributes.lpobjval == pytest.approx(p.attributes.lpobjval, rel=1e-9, abs=1e-9)


def test_results_stay_those_of_the_last_solve_while_the_model_changes():
    rng = random.Random(11)
    p = random_problem(rng, 8, 6)
    p.lpoptimize()
    assert p.attributes.lpstatus == 1
    before = [], [], [], []
    p.getlpsol(*before)
    rowstat, colstat = [], []
    p.getbasis(rowstat, colstat)
    p.chgrhs([0, 1], [50.0, -50.0])
    p.chgbounds([0], "U", [0.1])
    p.chgobj([2], [3.0])
    after = [], [], [], []
    p.getlpsol(*after)
    assert after == before
    rowstat2, colstat2 = [], []
    p.getbasis(rowstat2, colstat2)
    assert (rowstat2, colstat2) == (rowstat, colstat)
    # The next solve answers for the changed model.
    p.lpoptimize()
    if p.attributes.lpstatus == 1:
        assert_slacks_are_rhs_minus_activity(p, lp_slacks(p))


def test_indicator_rows_report_their_own_slack_in_a_mip():
    """The MIP's form of an indicator row carries a big-M term; its slack is
    still that of the user's row at the solution, where the indicator is on
    (the term is not zero) and where it is off (the row may be violated)."""
    x = korvo.var(ub=10, name="x")
    y = korvo.var(ub=10, name="y")
    z_on = korvo.var(vartype=korvo.binary, name="z_on")
    z_off = korvo.var(vartype=korvo.binary, name="z_off")
    c_on = x + y <= 4
    c_off = x - y <= -3
    p = korvo.problem(x, y, z_on, z_off, c_on, c_off, x <= 8)
    p.setControl("outputlog", 0)
    p.setindicators([c_on, c_off], [z_on, z_off], [1, 1])
    # z_on = 1 pays more than x = 8 would; z_off stays 0 and c_off is violated.
    p.setObjective(2 * x - y + 10 * z_on - z_off, sense=korvo.maximize)
    for _ in range(2):  # the second solve on the kept model
        p.mipoptimize()
        assert p.attributes.mipstatus == 6
        sol = []
        slack = []
        p.getmipsol(sol, slack)
        assert sol == pytest.approx([4, 0, 1, 0], abs=1e-7)
        assert slack == pytest.approx([0, -7, 4], abs=1e-7)
        assert_slacks_are_rhs_minus_activity(p, slack)
        p.chgobj([z_off], [-2.0])


def test_cut_rows_and_caller_scale_factors_leave_user_slacks_alone():
    x = korvo.var(ub=10, name="x")
    y = korvo.var(ub=10, name="y")
    p = korvo.problem(x, y, 2 * x + y <= 9, x + 3 * y <= 12)
    p.setControl("outputlog", 0)
    p.setObjective(x + y, sense=korvo.maximize)
    p.lpoptimize()
    plain = lp_slacks(p)
    assert_slacks_are_rhs_minus_activity(p, plain)
    # A cut row after the model's rows.
    p.addcuts([0], ["L"], [6.5], [0, 2], [x, y], [1.0, 1.0])
    p.lpoptimize()
    cut = lp_slacks(p)
    assert len(cut) == 2
    assert_slacks_are_rhs_minus_activity(p, cut)
    # The solver holds scaled rows; the slacks come back in the caller's units.
    p.scale(rowscale=[-10, 6], colscale=[2, 0])
    p.lpoptimize()
    scaled = lp_slacks(p)
    assert scaled == pytest.approx(cut, rel=1e-9, abs=1e-9)
    assert_slacks_are_rhs_minus_activity(p, scaled)
