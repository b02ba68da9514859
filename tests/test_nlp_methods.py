"""The nonlinear solver's problem methods: SLP items, formulas as text,
validation, cascading and the actions on the solver's state."""
import math

import numpy as np
import pytest

import korvo
from nlp_models import circle_problem


pytestmark = pytest.mark.usefixtures("quiet")


circle_model = circle_problem


# ---------------------------------------------------------------- SLP variables


def test_vars_start_values_step_bounds_and_refusals():
    p, x, y, c1, _ = circle_model()
    p.addvars([x, y], initvalue=[1.0, 0.5], stepbound=[0.3, 0.2], seqnum=[2, 1])
    v = p.getvar(x)
    assert len(v) == 15
    assert v[5] == 1.0 and v[2] == 0.3 and v[0] == -1 and v[11] == -1
    assert p.getvar(y)[5] == 0.5
    # The current point is the start point before a solve.
    assert p.evaluatecoef(c1, -1) == pytest.approx(1.0 + 0.25 - 1.5)
    # value=None passes no value: the item stays.
    p.chgvar(x, value=7.0)
    p.chgvar(col=x, value=None, initial=2.0)
    v = p.getvar(x)
    assert v[6] == 7.0 and v[5] == 2.0
    # A batch with one bad entry changes nothing.
    with pytest.raises(korvo.SolverError):
        p.addvars([x, y], tolindex=[0, 3])
    with pytest.raises(korvo.SolverError):
        p.addvars([x, y], stepbound=[1.0, -1.0])
    assert p.getvar(x)[5] == 2.0 and p.getvar(y)[7] == 0
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in addvars"):
        p.addvars([x], bogus=[1])
    with pytest.raises(korvo.InterfaceError, match="Incorrect arguments to chgvar"):
        p.chgvar(x, nothing=1)
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.addvars([x, y], initvalue=[1.0])
    # loadvars drops the items of columns not named; delvars those named.
    p.loadvars([y], initvalue=[3.0])
    assert p.getvar(x)[5] == 0.0 and p.getvar(x)[2] == 0.0
    p.delvars([y])
    assert p.getvar(y)[5] == 0.0


def test_step_bound_caps_every_step():
    p, x, y, c1, _ = circle_model()
    p.addvars([x, y], initvalue=[1.0, 0.0], stepbound=[0.05, 0.05])
    p.controls.knls_iterlimit = 1
    p.nlpoptimize()
    sx, sy = p.getSolution(x, y)
    assert abs(sx - 1.0) <= 0.05 + 1e-9 and abs(sy) <= 0.05 + 1e-9
    # Without the cap the first step goes much further.
    p.delvars([x, y])
    p.addvars([x, y], initvalue=[1.0, 0.0])
    p.nlpoptimize()
    sx, sy = p.getSolution(x, y)
    assert max(abs(sx - 1.0), abs(sy)) > 0.2


# ------------------------------------------------------------- tolerance sets


def test_tolerance_sets_store_renumber_and_refuse():
    p, x, y, _, _ = circle_model()
    with pytest.raises(korvo.InterfaceError, match='multiple of 9 elements'):
        p.addtolsets([0.1] * 10)
    p.addtolsets([0.1] * 9 + [0.0] * 8 + [0.5])
    tols = [9.0, 9.0]
    assert p.gettolset(1, tols) == 0x1FF and tols == [0.1] * 9
    assert p.gettolset(2) == 1 << 8
    with pytest.raises(korvo.InterfaceError, match=r"Wrong number of elements in tols \(should be 9\)"):
        p.chgtolset(1, 1, [1.0] * 8)
    p.chgtolset(2, 3, [1e-3, 2e-3] + [0.0] * 7)
    tols = []
    assert p.gettolset(2, tols) == 3 and tols[:2] == [1e-3, 2e-3]
    with pytest.raises(korvo.SolverError):
        p.gettolset(3)
    with pytest.raises(korvo.SolverError):
        p.addtolsets([-1.0] + [0.0] * 8)
    # Columns follow when an earlier set goes; a deleted set is no set.
    p.addvars([x, y], tolindex=[2, 1])
    p.deltolsets([1])
    assert p.getvar(x)[7] == 1 and p.getvar(y)[7] == 0
    assert p.gettolset(1) == 3
    with pytest.raises(korvo.SolverError):
        p.loadtolsets([])  # x still uses set 1
    assert p.gettolset(1) == 3


def test_loose_tolerance_set_stops_the_iterations_sooner():
    def iterations(with_set):
        p, x, y, _, _ = circle_model()
        p.addvars([x, y], initvalue=[1.0, 0.5])
        if with_set:
            p.addtolsets([0.5] + [0.0] * 8)  # any step of at most 0.5 counts as converged
            p.addvars([x, y], tolindex=[1, 1])
        p.nlpoptimize()
        return p.attributes.knls_iterations, p.getSolution(y)

    tight, y_tight = iterations(False)
    loose, _ = iterations(True)
    assert y_tight == pytest.approx((1 + math.sqrt(7)) / 2, abs=1e-6)
    assert loose < tight


# ------------------------------------------------------- delta factors, rows


def test_delta_factors_types_and_limits():
    p, x, y, c1, c2 = circle_model()
    p.adddfs([x, y], [c1, c2], [0.5, 0.25])
    assert p.getdf(x, c1) == 0.5 and p.getdf(y, c2) == 0.25
    assert p.chgdf(x, c1, 2.0) == 0.5 and p.getdf(x, c1) == 2.0
    assert p.chgdf(y, c1, 1.0) == 0.0
    with pytest.raises(korvo.SolverError):
        p.getdf(x, c2)
    with pytest.raises(korvo.SolverError):
        p.adddfs([x, y], [c1, 5], [1.0, 1.0])
    assert p.getdf(x, c1) == 2.0
    p.loaddfs([y], [c2], [3.0])
    with pytest.raises(korvo.SolverError):
        p.getdf(x, c1)
    # Deleting a row renumbers the factors of later rows and drops its own.
    p.adddfs([x], [c1], [4.0])
    p.delConstraint(c1)
    assert p.getdf(y, c2) == 3.0
    with pytest.raises(korvo.SolverError):
        p.chgdf(x, 1, 1.0)
    p.chgdeltatype([x, y], [1, 0], [1e-6, 1e-4])
    assert p.getvar(x)[11] == 1 and p.getvar(y)[11] == 0
    with pytest.raises(korvo.SolverError):
        p.chgdeltatype([x], [2], [1.0])
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in chgdeltatypes"):
        p.chgdeltatype([x])
    p.chgcascadenlimit(x, 5)
    assert p.getcolinfo(6, x) == 5 and p.getcolinfo(6, y) == 20
    with pytest.raises(korvo.SolverError):
        p.chgcascadenlimit(x, -1)


def test_row_weights_steer_an_infeasible_compromise():
    """Two rows x^3 = 1 and x^3 = 8 cannot both hold: the SLP's penalty puts
    x where the heavier row holds."""
    def solve(w1, w2):
        x = korvo.var(lb=0, ub=5)
        p = korvo.problem()
        p.addVariable(x)
        r1 = korvo.constraint(x ** 3 == 1)
        r2 = korvo.constraint(x ** 3 == 8)
        p.addConstraint(r1, r2)
        p.setObjective(0 * x)
        p.chgrowwt(r1, w1)
        p.chgrowwt(r2, w2)
        assert p.getrowwt(r1) == w1 and p.getrowinfo(2, r2) == w2
        p.addvars([x], initvalue=[1.5])
        p.nlpoptimize()
        return p.getSolution(x)

    assert solve(10.0, 1.0) == pytest.approx(1.0, abs=1e-3)
    assert solve(1.0, 10.0) == pytest.approx(2.0, abs=1e-3)


def test_row_status_weight_and_info_refusals():
    p, x, y, c1, c2 = circle_model()
    p.chgrowstatus(c2, 4)
    assert p.getrowstatus(c2) == 4 and p.getrowinfo(3, c2) == 4
    p.chgrowstatus(c2, 0)
    assert p.getrowstatus(c2) == 0
    for bad in (0.0, -1.0, float("nan")):
        with pytest.raises(korvo.SolverError):
            p.chgrowwt(c1, bad)
    assert p.getrowwt(c1) == 1.0
    with pytest.raises(korvo.InterfaceError, match="Incorrect call to chgrowwt"):
        p.chgrowwt(c1)
    assert p.getrowinfo(1, c1) == 1 and p.getrowinfo(1, c2) == 0
    assert p.getcolinfo(1, x) == 1
    with pytest.raises(korvo.SolverError):
        p.getrowinfo(99, c1)
    with pytest.raises(korvo.SolverError):
        p.getrowinfo(5, c1)  # nothing validated yet
    with pytest.raises(korvo.InterfaceError, match="Incorrect argument to getcolinfo"):
        p.getcolinfo(1)


# --------------------------------------------------------------- formulas


FORMULAS = [
    "x ^ 2 + EXP(y) * 2 - -3 / (x - y)",
    "-(x + y) ^ 2",
    "(-x) ^ 2 - x / (y * 3) / 2",
    "2 ^ -1 * LN(x + 4) + MAX(x, y, 0.5) - MIN(1, y)",
    "SQRT(ABS(x - 0.1)) + SIN(y) * COS(x) + ARCTAN(x) + LOG10(y + 5)",
    "x - (y - 1) - 1e+20 * 0 + 0.1",
]


def test_text_formulas_round_trip_and_evaluate():
    p, x, y, c1, _ = circle_model()
    p.addvars([x, y], initvalue=[0.7, 1.3])
    env = {"x": 0.7, "y": 1.3}
    pyfun = {"EXP": math.exp, "LN": math.log, "SQRT": math.sqrt, "ABS": abs, "SIN": math.sin, "COS": math.cos,
             "ARCTAN": math.atan, "LOG10": math.log10, "MAX": max, "MIN": min}
    for text in FORMULAS:
        p.chgccoef(c1, -1, 2.0, text)
        factor, printed = p.getccoef(c1, -1, 1000)
        assert factor == 2.0
        _, n1, types1, values1 = p.getcoefformula(c1, -1, 1, 1000)
        p.chgccoef(c1, -1, 2.0, printed)
        assert p.getccoef(c1, -1, 1000)[1] == printed
        _, n2, types2, values2 = p.getcoefformula(c1, -1, 1, 1000)
        assert (n1, types1, values1) == (n2, types2, values2)
        expected = eval(text.replace("^", "**"), dict(pyfun), dict(env))
        assert p.evaluatecoef(c1, -1) == pytest.approx(2.0 * expected, rel=1e-12)
    # Constants keep every bit through the text.
    p.chgccoef(c1, x, None, "0.1 * 3 + 1 / 3")
    _, _, _, values = p.getcoefformula(c1, x, 1, 100)
    assert values[:2] == [0.1, 3.0]
    assert p.getccoef(c1, x, 100) == (1.0, "0.1 * 3 + 1 / 3")


def test_text_formula_errors_change_nothing():
    p, x, y, c1, _ = circle_model()
    before = p.getccoef(c1, -1, 1000)
    for bad in ("x +", "x ** 2", "FOO(x)", "z + 1", "(x", "SIN(x, y)", "", '"x'):
        with pytest.raises(korvo.SolverError):
            p.chgccoef(c1, -1, 1.0, bad)
        assert p.getccoef(c1, -1, 1000) == before
    with pytest.raises(korvo.SolverError):
        p.getccoef(c1, -1, 5)  # too long for 5 bytes
    with pytest.raises(korvo.InterfaceError, match="excessive formula length"):
        p.getccoef(c1, -1, 0)
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in chgccoef"):
        p.chgccoef(c1, -1, 1.0, 5)
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in chgccoef"):
        p.chgccoef(c1, -1, "one", "x")


def test_quoted_column_names_round_trip():
    a = korvo.var(name="flow[1]", lb=1, ub=3)
    b = korvo.var(name="EXP", lb=1, ub=3)
    p = korvo.problem()
    p.addVariable(a, b)
    c = korvo.constraint(a + b <= 10)
    p.addConstraint(c)
    p.chgccoef(c, -1, None, '"flow[1]" * "EXP" + EXP(1)')
    _, text = p.getccoef(c, -1, 200)
    assert text == '"flow[1]" * "EXP" + EXP(1)'
    p.addvars([a, b], initvalue=[2.0, 3.0])
    assert p.evaluatecoef(c, -1) == pytest.approx(6 + math.e)


def test_token_coefficients_add_load_change():
    p, x, y, c1, c2 = circle_model()
    # x * y (reverse Polish: x y *) at c2, and 2 * x * (y) at (c2, x).
    p.addcoefs([c2, c2], [-1, x], [1.0, 2.0], [0, 4, 6], True, [10, 10, 31, 0, 10, 0], [0, 1, 3, 0, 1, 0])
    p.addvars([x, y], initvalue=[1.5, 2.0])
    assert p.evaluatecoef(c2, -1) == pytest.approx(3.0)
    assert p.evaluatecoef(c2, x) == pytest.approx(2 * 1.5 * 2.0)
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in addcoefs"):
        p.addcoefs([c2], [-1], None, [0, 2], 1, [10, 0], [0, 0])
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in loadcoefs"):
        p.loadcoefs([c2], [-1], None, [0, 2], None, [10, 0], [0, 0])
    with pytest.raises(korvo.ModelError):
        p.addcoefs([c2], [-1], None, [0, 9], True, [10, 0], [0, 0])  # offsets beyond the tokens
    with pytest.raises(korvo.ModelError):
        p.addcoefs([c2], [-1], None, [0], True, [10, 0], [0, 0])
    with pytest.raises(korvo.SolverError):
        p.addcoefs([c2], [-1], None, [0, 2], True, [31, 0], [3, 0])  # no operands
    rows, cols = [], []
    p.getcoefs(rows, cols)
    assert len(rows) == 3
    # loadcoefs replaces them all; the end token may be left out.
    p.loadcoefs([c2], [y], None, [0, 1], True, [10], [0])
    rows, cols = [], []
    p.getcoefs(rows, cols)
    assert rows == [1] and cols == [1]
    assert p.evaluatecoef(c2, y) == pytest.approx(2.0 * 1.5)
    p.chgnlcoef(c2, y, None, True, [10, 1, 31], [1, 3.0, 3])
    assert p.getccoef(c2, y, 100) == (1.0, "y * 3")
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in chgnlcoef"):
        p.chgnlcoef(c2, y, None, 2, [10], [1])
    assert p.evaluateformula(1, [10, 10, 31], [0, 1, 4]) == pytest.approx(1.5 / 2.0)
    with pytest.raises(korvo.SolverError):
        p.evaluateformula(1, [10, 31], [0, 4])


# ------------------------------------------------------------- validation


def test_validatevector_against_own_computation():
    p, x, y, c1, c2 = circle_model()
    for px, py in [(1.0, 0.5), (3.0, -4.0), (-11.0, 0.0), (0.2, 0.3)]:
        row1 = px * px + py * py  # <= 4
        row2 = px + py  # >= 1
        bounds = max(0.0, abs(px) - 10) + max(0.0, abs(py) - 10)
        viols = [max(0.0, row1 - 4), max(0.0, 1 - row2), bounds]
        s, m, f = p.validatevector(np.array([px, py]))
        assert s == pytest.approx(sum(viols)) and m == pytest.approx(max(viols)) and f == pytest.approx(px - 2 * py)
    with pytest.raises(korvo.InterfaceError, match="Wrong vector size in validatevector"):
        p.validatevector([1.0])
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in validatevector"):
        p.validatevector()
    p.addvars([x, y], initvalue=[3.0, -4.0])
    p.validaterow(c1)
    assert p.getrowinfo(5, c1) == pytest.approx(21.0)
    p.validate()
    assert p.getrowinfo(5, c2) == pytest.approx(2.0)
    assert p.getrowinfo(4, c1) == pytest.approx(25.0)
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in validaterow"):
        p.validaterow()


def test_validatekkt_residuals_match_own_computation():
    p, x, y, c1, c2 = circle_model()
    with pytest.raises(korvo.SolverError):
        p.validatekkt(0, 0, 0, 1e-6)  # no solution yet
    p.nlpoptimize()
    sx, sy = p.getSolution(x, y)
    # Where the circle meets x + y = 1.
    assert [sx, sy] == pytest.approx([(1 - math.sqrt(7)) / 2, (1 + math.sqrt(7)) / 2], abs=1e-6)
    duals = p.getDual([c1, c2])
    djs = p.getRCost([x, y])
    # Lagrangian gradient: c - y1 * grad(g1) - y2 * grad(g2).
    lag = np.array([1.0, -2.0]) - duals[0] * np.array([2 * sx, 2 * sy]) - duals[1] * np.array([1.0, 1.0])
    p.validatekkt(0, 0, 0, 1e-6)
    own = np.abs(lag - np.array(djs))
    assert [p.getcolinfo(5, x), p.getcolinfo(5, y)] == pytest.approx(list(own), abs=1e-9)
    assert max(own) < 1e-5  # a KKT point
    slack1 = 4 - (sx * sx + sy * sy)
    assert p.getrowinfo(6, c1) == pytest.approx(abs(duals[0]) * abs(slack1), abs=1e-12)
    # Recomputed reduced costs leave no stationarity residual; updatemult keeps them.
    p.validatekkt(1, 0, 1, 1e-6)
    assert p.getcolinfo(5, x) == 0.0
    assert p.getRCost([x, y]) == pytest.approx(list(lag), abs=1e-12)
    with pytest.raises(korvo.SolverError):
        p.validatekkt(2, 0, 0, 1e-6)
    with pytest.raises(korvo.InterfaceError, match="Wrong arguments in validatekkt"):
        p.validatekkt(0, 0)


# ----------------------------------------------------------------- cascading


def test_cascade_recomputes_determined_columns_in_order():
    x = korvo.var(name="x", lb=-100, ub=100)
    y = korvo.var(name="y", lb=-100, ub=100)
    z = korvo.var(name="z", lb=-100, ub=100)
    p = korvo.problem()
    p.addVariable(x, y, z)
    rx = korvo.constraint(x - y * y == 0)  # x determined by y
    rz = korvo.constraint(z - x == 1)       # z determined by x
    p.addConstraint(rx, rz)
    p.setObjective(x + y + z)
    # z gets the lower sequence number, but it reads x: x goes first.
    p.addvars([x, z, y], detrow=[rx, rz, -1], seqnum=[2, 1, 0], initvalue=[0.0, 0.0, 3.0])
    p.cascadeorder()
    assert p.getcolinfo(4, x) == 0 and p.getcolinfo(4, z) == 1 and p.getcolinfo(4, y) == -1
    p.cascade()
    assert p.getcolinfo(2, x) == pytest.approx(9.0) and p.getcolinfo(2, z) == pytest.approx(10.0)
    assert p.getvar(z)[5] == pytest.approx(10.0)
    # A limit of no steps leaves a column where it is.
    p.chgvar(y, initial=4.0)
    p.chgcascadenlimit(x, 0)
    p.cascade()
    assert p.getcolinfo(2, x) == pytest.approx(9.0)
    # Bounds hold: x cannot go beyond 100 even for y = 20.
    p.chgcascadenlimit(x, 20)
    p.chgvar(y, initial=20.0)
    p.cascade()
    assert p.getcolinfo(2, x) == 100.0


# --------------------------------------------------------------- actions


def test_actions_on_the_solver_state(capfd):
    p, x, y, c1, c2 = circle_model()
    assert p.fixpenalties() == 1
    p.nlpoptimize()
    sol = p.getSolution(x, y)
    assert p.fixpenalties() == 0
    assert p.controls.knls_penalty >= 10.0
    p.setcurrentiv()
    assert [p.getvar(x)[5], p.getvar(y)[5]] == list(sol)
    p.reinitialize()
    assert p.attributes.knls_status == 0
    assert p.getcolinfo(2, x) == sol[0]  # start values are the old solution
    p.scaling()
    assert p.getrowinfo(7, c2) == pytest.approx(1.0)
    assert p.getrowinfo(7, c1) == pytest.approx(1.0 / (2 * max(abs(sol[0]), abs(sol[1]))))
    p.updatelinearization()
    p.construct()
    assert p.attributes.knls_state & 1
    p.unconstruct()
    assert not p.attributes.knls_state & 1
    p.presolve()
    assert p.attributes.knls_state & 0x20000000
    korvo.setOutputEnabled(True)
    p.printevalinfo()
    p.printmemory()
    out = capfd.readouterr().out
    assert "1 nonlinear coefficients" in out and "Memory: formulas" in out
    # A point where a formula cannot be evaluated is reported.
    p.chgccoef(c1, -1, 1.0, "LN(x - 20)")
    with pytest.raises(korvo.SolverError):
        p.updatelinearization()
