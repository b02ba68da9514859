"""Problem methods that read the model, the solution and the basis back."""
import math

import numpy as np
import pytest

import korvo


@pytest.fixture
def lp(quiet):
    """max x + 2y  s.t.  x + y <= 5 (c1),  x - y >= -2 (c2),  0 <= x <= 4,  0 <= y <= 3.
    Optimum x = 2, y = 3: c1 tight (dual 1), c2 slack, y at its upper bound (dj 1)."""
    x = korvo.var(name="x", ub=4)
    y = korvo.var(name="y", ub=3)
    c1 = korvo.constraint(x + y <= 5, name="c1")
    c2 = korvo.constraint(x - y >= -2, name="c2")
    p = korvo.problem(x, y, c1, c2, x + 2 * y, sense=korvo.maximize)
    return p, x, y, c1, c2


def test_matrix_and_ranges_read_back(lp):
    p, x, y, c1, c2 = lp
    start, cols, coefs = [], [], []
    p.getrows(start, cols, coefs, 10, c1, c2)
    assert start == [0, 2, 4] and coefs == [1.0, 1.0, 1.0, -1.0]
    assert cols[0] is x and cols[3] is y
    # maxcoefs caps the coefficients; the starts count only what was written.
    start, cols = [], [9, 9, 9, 9, 9]
    p.getrows(start, cols, None, 3, 0, 1)
    assert start == [0, 2, 3] and len(cols) == 3
    start, rows, coefs = [], [], []
    p.getcols(start, rows, coefs, 10, "y", "y")
    assert start == [0, 2] and rows == [c1, c2] and coefs == [1.0, -1.0]
    rhs, types, obj = [], [], []
    p.getrhs(rhs, 0, 1)
    p.getrowtype(types, 0, 1)
    p.getobj(obj, x, y)
    assert rhs == [5.0, -2.0] and types == ["L", "G"] and obj == [1.0, 2.0]
    rng = [7.0]
    p.getrhsrange(rng, 1, 1)
    assert rng == [0.0]
    ct = []
    p.getcoltype(ct, 0, 1)
    assert ct == ["C", "C"]
    assert p.getcoef(c2, y) == -1.0 and p.getcoef(0, 1) == 1.0
    assert p.getnamelist(1) == ["c1", "c2"] and p.getnamelist(2, 1, 1) == ["y"]


def test_bounds_return_or_fill(lp):
    p, x, y, c1, c2 = lp
    assert p.getlb(None) == [0.0, 0.0] and p.getub(None) == [4.0, 3.0]
    out = [9.0, 9.0, 9.0]
    assert p.getub(out, 1) is None and out == [3.0]
    untouched = [1, 2]
    assert p.getlb(untouched, 1, 0) is None and untouched == [1, 2]


def test_range_errors(lp):
    p, x, y, c1, c2 = lp
    with pytest.raises(korvo.InterfaceError, match="Empty range of rows requested"):
        p.getrows([], [], [], 5, 1, 0)
    with pytest.raises(korvo.InterfaceError, match="Empty range of columns requested"):
        p.getobj([], 1, 0)
    with pytest.raises(korvo.InterfaceError, match="Empty or invalid range of columns requested"):
        p.getcoltype([], 1, 0)
    with pytest.raises(korvo.InterfaceError, match="Must provide argument: rng or rhs"):
        p.getrhs(None, 0, 1)
    with pytest.raises(korvo.SolverError):
        p.getrhs([], 0, 5)  # past the last row: the engine refuses
    with pytest.raises(korvo.InterfaceError, match="Argument type must be 1"):
        p.getnamelist(4)
    with pytest.raises(korvo.InterfaceError, match="must be such that 0 <= first <= last"):
        p.getnamelist(2, 1, 2)
    with pytest.raises(korvo.InterfaceError, match="No names for type chosen"):
        korvo.problem().getnamelist(1, 0, 0)
    with pytest.raises(korvo.InterfaceError, match="must be such that"):
        korvo.problem().getnamelist(1)
    with pytest.raises(korvo.ModelError, match="Unexpected argument to conv_arr2obj"):
        p.getobj((1, 2), 0, 1)


def test_quadratic_parts(quiet):
    x, y = korvo.var(name="x"), korvo.var(name="y")
    q = korvo.constraint(x * x + 3 * x * y + 2 * y * y <= 10, name="q")
    p = korvo.problem(x, y, q, korvo.constraint(x + y >= 1), x * x + x * y + y)
    assert p.getqobj(x, x) == 2.0 and p.getqobj(y, x) == 1.0 and p.getqobj(y, y) == 0.0
    assert p.getqrowcoeff(q, x, y) == 1.5 and p.getqrowcoeff(q, y, y) == 2.0
    rows = []
    p.getqrows(rows)
    assert rows == [q]
    c1, c2, coef = [], [], []
    p.getqrowqmatrixtriplets(q, c1, c2, coef)
    entries = {(a.name, b.name): v for a, b, v in zip(c1, c2, coef)}
    assert entries == {("x", "x"): 1.0, ("x", "y"): 1.5, ("y", "y"): 2.0}
    start, cols, vals = [], [], []
    assert p.getqrowqmatrix(q, start, cols, vals, 10, x, y) == 3
    assert start == [0, 2, 3] and vals == [1.0, 1.5, 2.0] and cols == [x, y, y]
    start, cols, vals = [], [], []
    assert p.getmqobj(start, cols, vals, 10, 0, 1) == 2
    assert start == [0, 2, 2] and vals == [2.0, 1.0]


def test_discrete_entities_and_sets(quiet):
    b = korvo.var(vartype=korvo.binary, name="b")
    i = korvo.var(vartype=korvo.integer, ub=9, name="i")
    z = korvo.var(name="z")
    s = korvo.sos([z, i], [1, 2], type=1)
    p = korvo.problem(b, i, z, s)
    types, cols, limits, settype, start, members, weights = [], [], [], [], [], [], []
    p.getglobal(types, cols, limits, settype, start, members, weights)
    assert types == ["B", "I"] and cols == [0, 1] and settype == ["1"]
    assert start == [0, 2] and members == [z, i] and weights == [1.0, 2.0]


def test_lp_solution_and_values(lp):
    p, x, y, c1, c2 = lp
    p.lpoptimize()
    xs, sl, du, dj = [], [], [], []
    p.getlpsol(xs, sl, du, dj)
    assert xs == pytest.approx([2, 3]) and sl == pytest.approx([0, -1])
    assert du == pytest.approx([1, 0]) and dj == pytest.approx([0, 1])
    assert p.getlpsolval(y, c2) == pytest.approx((3, -1, 0, 1))
    assert p.getlpsolval(None, None) == (-1e20, -1e20, -1e20, -1e20)
    with pytest.raises(korvo.InterfaceError, match="Invalid row or column index"):
        p.getlpsolval(2, None)
    with pytest.raises(korvo.InterfaceError, match="Invalid row or column index"):
        p.getlpsolval(None, -3)
    with pytest.raises(korvo.SolverError):
        p.getmipsol([])  # no MIP solve yet
    p.mipoptimize()
    mx, ms = [], []
    p.getmipsol(mx, ms)
    assert mx == pytest.approx([2, 3]) and p.getmipsolval(x, c1) == pytest.approx((2, 0))


def test_basis_statuses(lp):
    p, x, y, c1, c2 = lp
    with pytest.raises(korvo.SolverError, match="no basis"):
        p.getbasis([], [])
    p.lpoptimize()
    rs, cs = [], []
    p.getbasis(rs, cs)
    # c1 tight (slack at 0), c2 basic; x basic, y at its upper bound.
    assert rs == [0, 1] and cs == [1, 2]
    assert p.getbasisval(c2, None) == (1, 0) and p.getbasisval(None, y) == (0, 2)


def test_computations_match_the_solution(lp):
    p, x, y, c1, c2 = lp
    p.lpoptimize()
    xs, sl, du, dj = [], [], [], []
    p.getlpsol(xs, sl, du, dj)
    assert p.calcobjective(xs) == pytest.approx(8.0)
    slacks, djs = [], []
    p.calcslacks(np.array([1.0, 1.0]), slacks)
    assert slacks == [3.0, -2.0]
    p.calcreducedcosts(du, None, djs)
    assert djs == pytest.approx(dj)
    assert p.calcsolinfo(xs, du, 2) == 0.0 and p.calcsolinfo(xs, None, 0) == 0.0
    # x = 6, y = 0 breaks x <= 4 by 2 and c1 by 1.
    assert p.calcsolinfo([6, 0], None, 0) == 2.0
    assert p.calcsolinfo([6, 0], None, 1) == pytest.approx(2 / 7)
    # A wrong-signed dual on the <= row of a maximisation (0.5), which also
    # gives x, strictly between its bounds, the reduced cost 1 + 0.5.
    assert p.calcsolinfo(xs, [-0.5, 0], 2) == pytest.approx(1.5)
    assert p.calcsolinfo(xs, [1, 0], 2) == 0.0
    with pytest.raises(korvo.InterfaceError, match="one value per column: expected 2, found 3"):
        p.calcobjective([1, 2, 3])
    with pytest.raises(korvo.SolverError, match="unknown property"):
        p.calcsolinfo(xs, du, 7)
    with pytest.raises(korvo.SolverError, match="duals"):
        p.calcsolinfo(xs, None, 2)


def test_infeasibility_lists(lp):
    p, x, y, c1, c2 = lp
    p.lpoptimize()
    lists = [[9], [9], [9], [9]]
    p.getinfeas(*lists)
    assert lists == [[], [], [], []]
    p.getscaledinfeas(*lists)
    assert lists == [[], [], [], []]
    if not hasattr(p, "chgbounds"):
        pytest.skip("chgbounds not available")
    # Tightening a bound below the solution makes the old solution break it.
    p.chgbounds([x], ["U"], [1.0])
    p.getinfeas(*lists)
    assert lists[0] == [x]


def test_controls_and_attributes_by_name(lp):
    p = lp[0]
    assert p.getcontrolinfo("FeasTol") == (7004, 3)
    assert p.getcontrolinfo("threads") == (8001, 1)
    assert p.getattribinfo("lpobjval") == (2001, 3)
    assert p.getattribinfo("probname") == (3001, 4)
    with pytest.raises(korvo.SolverError, match="no control is named"):
        p.getcontrolinfo("nosuchcontrol")
    assert "no control is named" in p.getlasterror()


def test_dumpcontrols_lists_changed_controls(lp):
    p = lp[0]
    lines = []

    def handler(obj, data, opaque, message, msgtype, code):
        lines.append(message)

    korvo.setOutputEnabled(True)
    korvo.addcbmsghandler(handler, None, 0)
    try:
        p.dumpcontrols()
        assert lines == ["Controls that differ from their defaults: none"]
        p.controls.feastol = 1e-7
        p.controls.threads = 2
        del lines[:]
        p.dumpcontrols()
    finally:
        korvo.removecbmsghandler(handler, None)
    assert lines[1:] == ["  threads = 2", "  feastol = 1e-07"]


def test_solve_methods(lp):
    p, x, y, c1, c2 = lp
    p.lpoptimize("p")
    assert p.attributes.lpstatus == 1 and p.attributes.lpobjval == pytest.approx(8.0)
    with pytest.raises(korvo.SolverError, match="unknown flag"):
        p.lpoptimize("q")
    with pytest.raises(korvo.ModelError, match="must be a string"):
        p.mipoptimize(3)
    p.interrupt(korvo.stop_user)  # before a solve: forgotten when it starts
    p.mipoptimize()
    assert p.attributes.mipstatus == 6


HOSTILE = [None, 1.5, "nosuch", 2**70, -5, object(), [1, 2, 3], {"a": 1}]


def test_hostile_arguments_raise_and_change_nothing(lp):
    p, x, y, c1, c2 = lp
    p.lpoptimize()
    calls = [
        lambda a: p.getrows([], [], [], 5, a, 1),
        lambda a: p.getrows([], [], [], a, 0, 1),
        lambda a: p.getcols(a, [], [], 5, 0, 1),
        lambda a: p.getobj([], 0, a),
        lambda a: p.getrhs(a, 0, 1),
        lambda a: p.getlb(a),
        lambda a: p.getub([], a),
        lambda a: p.getcoef(a, 0),
        lambda a: p.getqobj(0, a),
        lambda a: p.getqrowcoeff(a, 0, 0),
        lambda a: p.getqrowqmatrix(0, [], [], [], a, 0, 1),
        lambda a: p.getqrowqmatrixtriplets(a, [], [], []),
        lambda a: p.getqrows(a),
        lambda a: p.getmqobj([], [], [], 5, a, 1),
        lambda a: p.getglobal(a),
        lambda a: p.getnamelist(a),
        lambda a: p.getnamelist(1, a),
        lambda a: p.getlpsol(a),
        lambda a: p.getmipsol(a),
        lambda a: p.getlpsolval(a, None),
        lambda a: p.getmipsolval(None, a),
        lambda a: p.getinfeas(a, [], [], []),
        lambda a: p.getscaledinfeas([], [], [], a),
        lambda a: p.getbasis(a, None),
        lambda a: p.getbasisval(a, None),
        lambda a: p.calcobjective(a),
        lambda a: p.calcslacks([1, 1], a),
        lambda a: p.calcreducedcosts(a, None, []),
        lambda a: p.calcsolinfo([1, 1], None, a),
        lambda a: p.interrupt(a),
        lambda a: p.getcontrolinfo(a),
        lambda a: p.getattribinfo(a),
        lambda a: p.lpoptimize(a),
    ]
    errors = (korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError, OverflowError)
    for k, call in enumerate(calls):
        for a in HOSTILE:
            try:
                call(a)
            except errors:
                pass
    # The model and its solution are as they were.
    xs = []
    p.lpoptimize()
    p.getlpsol(xs)
    assert xs == pytest.approx([2, 3]) and p.getub(None) == [4.0, 3.0]
    assert p.getnamelist(1) == ["c1", "c2"] and not math.isnan(p.calcobjective(xs))
