"""Solving through the engine's C interface: LP, QP and MIP answers checked by
hand, statuses, limits, interrupts, concurrent solves, warm starts and logs."""
import ctypes
import random
import threading
import time

import pytest

from krvs_binding import MESSAGE_CB, MSGHANDLER, ModelProblem, chars, dbls, int64s, ints, lib

INF = 1e20
LP_OPTIMAL, LP_INFEAS, LP_UNFINISHED, LP_UNBOUNDED, LP_NONCONVEX = 1, 2, 4, 5, 8
MIP_LP_OPTIMAL, MIP_NO_SOL, MIP_SOLUTION, MIP_INFEAS, MIP_OPTIMAL, MIP_UNBOUNDED = 2, 3, 4, 5, 6, 7
STOP_TIMELIMIT, STOP_NODELIMIT, STOP_ITERLIMIT, STOP_MIPGAP, STOP_SOLLIMIT, STOP_USER = 1, 3, 4, 5, 6, 9

for _name, _types in {
    "KRVSlpoptimize": [ctypes.c_void_p, ctypes.c_char_p],
    "KRVSmipoptimize": [ctypes.c_void_p, ctypes.c_char_p],
    "KRVSgetlpsol": [ctypes.c_void_p] * 5,
    "KRVSgetmipsol": [ctypes.c_void_p] * 3,
    "KRVSinterrupt": [ctypes.c_void_p, ctypes.c_int],
}.items():
    getattr(lib, _name).argtypes = _types


class SolveProblem(ModelProblem):
    def solve(self, kind="lp", flags=None):
        fn = "KRVSlpoptimize" if kind == "lp" else "KRVSmipoptimize"
        return self.try_call(fn, None if flags is None else flags.encode())

    def lp(self, flags=None):
        rc, err = self.solve("lp", flags)
        assert rc == 0, err

    def mip(self, flags=None):
        rc, err = self.solve("mip", flags)
        assert rc == 0, err

    def lpsol(self):
        n, m = self.cols(), self.rows()
        x, slack = (ctypes.c_double * max(n, 1))(), (ctypes.c_double * max(m, 1))()
        duals, djs = (ctypes.c_double * max(m, 1))(), (ctypes.c_double * max(n, 1))()
        self.call("KRVSgetlpsol", x, slack, duals, djs)
        return list(x)[:n], list(slack)[:m], list(duals)[:m], list(djs)[:n]

    def mipsol(self):
        n, m = self.cols(), self.rows()
        x, slack = (ctypes.c_double * max(n, 1))(), (ctypes.c_double * max(m, 1))()
        self.call("KRVSgetmipsol", x, slack)
        return list(x)[:n], list(slack)[:m]

    def set_int(self, ident, value):
        self.call("KRVSsetintcontrol64", ident, ctypes.c_int64(value))

    def set_dbl(self, ident, value):
        self.call("KRVSsetdblcontrol", ident, ctypes.c_double(value))

    def lp_status(self): return self.int_attr(1010)
    def mip_status(self): return self.int_attr(1011)
    def stop(self): return self.int_attr(1012)
    def lp_obj(self): return self.dbl_attr(2001)
    def mip_obj(self): return self.dbl_attr(2003)

    def load_global(self, coltypes, entind, limits=None, sets=(), **lp):
        """Loads an LP with discrete columns and sets [(type, cols, weights)]."""
        obj = lp["obj"]
        rowtype = lp.get("rowtype", "")
        setstart, setind, refval = [0], [], []
        for _, cols, weights in sets:
            setind += cols
            refval += weights
            setstart.append(len(setind))
        self.call("KRVSloadglobal64", b"g", len(obj), len(rowtype), chars(rowtype), dbls(lp.get("rhs", ())),
                  dbls(lp.get("rng")), dbls(obj), int64s(lp["start"]), None, ints(lp.get("rowind", ())),
                  dbls(lp.get("rowcoef", ())), dbls(lp.get("lb")), dbls(lp.get("ub")),
                  len(entind), len(sets), chars(coltypes), ints(entind), dbls(limits),
                  chars("".join(t for t, _, _ in sets)), int64s(setstart), ints(setind), dbls(refval))

    def load_qp(self, q, **lp):
        """Loads an LP plus objective triplets [(i, j, q)] (0.5 x'Qx)."""
        obj = lp["obj"]
        rowtype = lp.get("rowtype", "")
        self.call("KRVSloadqp64", b"q", len(obj), len(rowtype), chars(rowtype), dbls(lp.get("rhs", ())),
                  None, dbls(obj), int64s(lp["start"]), None, ints(lp.get("rowind", ())),
                  dbls(lp.get("rowcoef", ())), dbls(lp.get("lb")), dbls(lp.get("ub")),
                  len(q), ints([t[0] for t in q]), ints([t[1] for t in q]), dbls([t[2] for t in q]))

    def change_obj(self, cols, values):
        self.call("KRVSchgobj", len(cols), ints(cols), dbls(values))

    def change_rhs(self, rows, values):
        self.call("KRVSchgrhs", len(rows), ints(rows), dbls(values))

    def set_sense(self, sense):
        self.call("KRVSchgobjsense", sense)


def approx(values, expected, tol=1e-6):
    return len(values) == len(expected) and all(abs(a - b) <= tol for a, b in zip(values, expected))


# ---- LP: answers, duals, reduced costs and slacks by hand --------------------

def three_col_lp(sense=1):
    """min 2x + 3y + 4z + 5  s.t.  r0: x + y + z >= 4,  r1: x - y <= 2,  r2: x + 2y <= 20.
    Optimum x=3, y=1, z=0 (objective 14); r0 and r1 bind. Duals (d obj / d rhs):
    u0 = 2.5, u1 = -0.5, u2 = 0; reduced costs c - A'u = (0, 0, 1.5).
    With sense -1 the same model is loaded negated: max -2x - 3y - 4z - 5."""
    p = SolveProblem()
    s = sense
    p.load(rowtype="GLL", rhs=[4, 2, 20], obj=[2 * s, 3 * s, 4 * s],
           start=[0, 3, 6, 7], rowind=[0, 1, 2, 0, 1, 2, 0], rowcoef=[1, 1, 1, 1, -1, 2, 1])
    p.call("KRVSchgobj", 1, ints([-1]), dbls([-5.0 * s]))
    p.set_sense(s)
    return p


@pytest.mark.parametrize("sense", [1, -1])
def test_lp_solution_duals_reduced_costs_and_slacks(sense):
    p = three_col_lp(sense)
    p.lp()
    assert p.lp_status() == LP_OPTIMAL and p.stop() == 0
    assert p.lp_obj() == pytest.approx(14 * sense)
    x, slack, duals, djs = p.lpsol()
    assert approx(x, [3, 1, 0])
    assert approx(slack, [0, 0, 15])  # rhs - activity
    assert approx(duals, [2.5 * sense, -0.5 * sense, 0])
    assert approx(djs, [0, 0, 1.5 * sense])
    # The duals are the objective's rate of change in each right-hand side.
    for row, rhs in ((0, 4), (1, 2)):
        q = three_col_lp(sense)
        q.change_rhs([row], [rhs + 0.01])
        q.lp()
        assert (q.lp_obj() - p.lp_obj()) / 0.01 == pytest.approx(duals[row], abs=1e-6)
    # The MIP solve of a model without discrete entities is the same LP.
    p.mip()
    assert p.mip_status() == MIP_OPTIMAL and p.mip_obj() == pytest.approx(14 * sense)
    assert approx(p.mipsol()[0], [3, 1, 0])


@pytest.mark.parametrize("flags", ["d", "p", "b", "n", None])
def test_lp_algorithms_agree(flags):
    p = three_col_lp()
    p.lp(flags)
    assert p.lp_obj() == pytest.approx(14)
    assert approx(p.lpsol()[2], [2.5, -0.5, 0], 1e-5)
    if flags == "b":
        assert p.int_attr(1014) > 0


def test_unknown_flag_and_missing_solutions_are_refused():
    p = three_col_lp()
    rc, err = p.try_call("KRVSgetlpsol", None, None, None, None)
    assert rc != 0 and "No LP solution" in err
    p.lp()
    rc, err = p.solve("lp", "dz")
    assert rc != 0 and "unknown flag 'z'" in err
    assert p.lp_status() == LP_OPTIMAL and approx(p.lpsol()[0], [3, 1, 0])  # the last solve's results stay
    rc, err = p.try_call("KRVSgetmipsol", None, None)
    assert rc != 0 and "No MIP solution" in err
    # A solution does not outlive a change of the model's size.
    p.call("KRVSaddcols64", 1, 0, dbls([1]), int64s([0, 0]), None, None, dbls([0]), dbls([1]))
    rc, err = p.try_call("KRVSgetlpsol", None, None, None, None)
    assert rc != 0 and "no longer fits" in err


def test_infeasible_and_unbounded_lps():
    p = SolveProblem()
    p.load(rowtype="LG", rhs=[1, 2], obj=[1, 1], start=[0, 2, 4], rowind=[0, 1, 0, 1], rowcoef=[1, 1, 1, 1])
    p.lp()
    assert p.lp_status() == LP_INFEAS
    rc, err = p.try_call("KRVSgetlpsol", None, None, None, None)
    assert rc != 0 and "LP status 2" in err
    p.mip()
    assert p.mip_status() == MIP_INFEAS
    rc, err = p.try_call("KRVSgetmipsol", None, None)
    assert rc != 0 and "MIP status 5" in err
    q = SolveProblem()
    q.load(rowtype="L", rhs=[1], obj=[1, 0], start=[0, 1, 2], rowind=[0, 0], rowcoef=[1, -1])
    q.set_sense(-1)
    q.lp()
    assert q.lp_status() == LP_UNBOUNDED
    q.mip()
    assert q.mip_status() == MIP_UNBOUNDED


def test_empty_models_and_bounds_only():
    p = SolveProblem()
    p.call("KRVSloadlp64", b"e", 0, 0, None, None, None, None, None, None, None, None, None, None)
    p.call("KRVSchgobj", 1, ints([-1]), dbls([-7.0]))
    p.lp()
    assert p.lp_status() == LP_OPTIMAL and p.lp_obj() == 7
    p.mip()
    assert p.mip_status() == MIP_OPTIMAL and p.mip_obj() == 7
    # Rows but no columns: activity 0 must lie within every row.
    p.load(rowtype="LG", rhs=[3, -1], obj=[], start=[0], ncols=0)
    p.lp()
    assert p.lp_status() == LP_OPTIMAL
    assert p.lpsol()[1] == [3, -1]
    p.load(rowtype="G", rhs=[1], obj=[], start=[0], ncols=0)
    p.lp()
    assert p.lp_status() == LP_INFEAS
    # Columns with bounds only.
    p.load(obj=[1, -1], start=[0, 0, 0], lb=[1, -2], ub=[3, 5])
    p.lp()
    assert p.lp_obj() == -4 and approx(p.lpsol()[0], [1, 5])
    assert approx(p.lpsol()[3], [1, -1])


# ---- MIP and its discrete entities ------------------------------------------------

def small_mip():
    """max 5x + 4y  s.t.  6x + 4y <= 24,  x + 2y <= 6,  x, y >= 0 integer.
    LP relaxation: (3, 1.5) with 21; integer optimum (4, 0) with 20."""
    p = SolveProblem()
    p.load_global("II", [0, 1], rowtype="LL", rhs=[24, 6], obj=[5, 4], start=[0, 2, 4],
                  rowind=[0, 1, 0, 1], rowcoef=[6, 1, 4, 2])
    p.set_sense(-1)
    return p


def test_mip_and_its_relaxation():
    p = small_mip()
    p.lp()
    assert p.lp_status() == LP_OPTIMAL and p.lp_obj() == pytest.approx(21)
    assert p.mip_status() == MIP_LP_OPTIMAL
    assert approx(p.lpsol()[0], [3, 1.5])
    rc, err = p.try_call("KRVSgetmipsol", None, None)
    assert rc != 0 and "not been solved as a MIP" in err
    p.call("KRVSchgobj", 1, ints([-1]), dbls([-3.0]))  # objective constant 3
    p.mip()
    assert p.mip_status() == MIP_OPTIMAL and p.mip_obj() == pytest.approx(23)
    x, slack = p.mipsol()
    assert approx(x, [4, 0]) and approx(slack, [0, 2])
    assert p.int_attr(1016) >= 1
    assert p.dbl_attr(2004) == pytest.approx(23, abs=0.01)
    assert p.dbl_attr(2006) >= 0


def semi_model(coltype, limit, ub, cost):
    """max y - cost*s  s.t.  y - s <= 0,  y in [0, 1],  s semi-continuous
    (0 or in [limit, ub]). With limit 2: s = 2, y = 1 pays 1 - 2 cost."""
    p = SolveProblem()
    p.load_global(coltype, [1], [limit], rowtype="L", rhs=[0], obj=[1, -cost], start=[0, 1, 2],
                  rowind=[0, 0], rowcoef=[1, -1], lb=[0, 0], ub=[1, ub])
    p.set_sense(-1)
    return p


@pytest.mark.parametrize("ub", [10, 5e5])  # within HiGHS's own semi-variable bounds, and beyond
def test_semi_continuous(ub):
    p = semi_model("S", 2, ub, 0.4)
    p.mip()
    assert p.mip_obj() == pytest.approx(0.2)
    assert approx(p.mipsol()[0], [1, 2])
    p = semi_model("S", 2, ub, 0.6)  # switching s on costs more than it brings
    p.mip()
    assert p.mip_obj() == pytest.approx(0) and approx(p.mipsol()[0], [0, 0])
    p.lp()  # the relaxation lets s take any value in [0, ub]
    assert p.lp_obj() == pytest.approx(0.4)
    assert (p.rows(), p.cols()) == (1, 2)
    # Without a finite upper bound the column cannot be reformulated.
    p.call("KRVSchgbounds", 1, ints([1]), chars("U"), dbls([INF]))
    rc, err = p.solve("mip")
    assert rc != 0 and "semi-continuous column C1" in err


def test_semi_integer_and_partially_integer():
    # Semi-integer: 0 or an integer in [2.5, 10]; s >= 0.5 forces s = 3.
    p = SolveProblem()
    p.load_global("R", [0], [2.5], rowtype="G", rhs=[0.5], obj=[1], start=[0, 1], rowind=[0], rowcoef=[1],
                  ub=[10])
    p.mip()
    assert approx(p.mipsol()[0], [3])
    # Partially integer: integer below 5, continuous in [5, 20].
    p = SolveProblem()
    p.load_global("P", [0], [5], rowtype="G", rhs=[3.5], obj=[1], start=[0, 1], rowind=[0], rowcoef=[1],
                  ub=[20])
    for bound, best in ((3.5, 4), (4.5, 5), (5.5, 5.5), (-1, 0)):
        p.change_rhs([0], [bound])
        p.mip()
        assert p.mip_status() == MIP_OPTIMAL
        assert approx(p.mipsol()[0], [best]), bound
        assert (p.rows(), p.cols()) == (1, 1)
    # A needed bound that is infinite is named.
    p.call("KRVSchgbounds", 1, ints([0]), chars("U"), dbls([INF]))
    rc, err = p.solve("mip")
    assert rc != 0 and "partially integer column C0" in err and "infinite" in err


def test_special_ordered_sets():
    # max 3x + y + 3z  s.t.  x + y + z <= 2, all in [0, 1].  Without sets: 6.
    def model(sets):
        p = SolveProblem()
        p.load_global("", [], sets=sets, rowtype="L", rhs=[2], obj=[3, 1, 3], start=[0, 1, 2, 3],
                      rowind=[0, 0, 0], rowcoef=[1, 1, 1], ub=[1, 1, 1])
        p.set_sense(-1)
        p.mip()
        return p.mip_obj(), p.mipsol()[0]

    assert model([])[0] == pytest.approx(6)
    obj, x = model([("1", [0, 1, 2], [1, 2, 3])])
    assert obj == pytest.approx(3) and sum(v > 1e-6 for v in x) == 1
    obj, x = model([("2", [0, 1, 2], [1, 2, 3])])  # neighbours x-y or y-z
    assert obj == pytest.approx(4) and x[1] == pytest.approx(1)
    obj, x = model([("2", [0, 1, 2], [1, 3, 2])])  # weight order x, z, y: x and z are neighbours
    assert obj == pytest.approx(6) and approx(x, [1, 0, 1])
    # A member without a finite bound cannot be reformulated.
    p = SolveProblem()
    p.load_global("", [], sets=[("1", [0, 1], [1, 2])], obj=[1, 1], start=[0, 0, 0], ub=[1, INF])
    rc, err = p.solve("mip")
    assert rc != 0 and "special ordered set" in err and "C1" in err


def indicator_model(complement, cost, rowtype="L", ub_x=10):
    """min -x + cost*b  with row  x <= 2  holding when b == 1 (complement 1) or
    b == 0 (complement -1); x in [0, 10], b binary."""
    p = SolveProblem()
    p.load_global("B", [1], rowtype=rowtype, rhs=[2], obj=[-1, cost], start=[0, 1, 1],
                  rowind=[0], rowcoef=[1], ub=[ub_x, 1])
    p.call("KRVSsetindicators", 1, ints([0]), ints([1]), ints([complement]))
    p.set_names(1, ["cap"])
    return p


@pytest.mark.parametrize("complement, cost, obj, x", [
    (1, -5, -10, [10, 0]),   # b = 1 would cap x at 2: -7 > -10
    (1, -9, -11, [2, 1]),    # now b = 1 pays: -2 - 9
    (-1, 5, -5, [10, 1]),    # the cap holds at b = 0; escaping it costs 5
    (-1, 9, -2, [2, 0]),
])
def test_indicators_with_both_complements(complement, cost, obj, x):
    p = indicator_model(complement, cost)
    p.mip()
    assert p.mip_obj() == pytest.approx(obj)
    xs, slack = p.mipsol()
    assert approx(xs, x) and approx(slack, [2 - x[0]])
    # The user's model is untouched by the reformulation.
    assert (p.rows(), p.cols(), p.dense()) == (1, 2, [[1, 0]])
    assert p.indicators() == {0: (1, complement)}
    # The relaxation drops the indicator row: x goes to its bound.
    p.lp()
    assert p.lpsol()[0][0] == pytest.approx(10)


def test_indicator_equality_row_and_infinite_bound_error():
    # x = 2 when b = 1; min -x - 9b: b = 1 gives -11, b = 0 gives -10.
    p = indicator_model(1, -9, rowtype="E")
    p.mip()
    assert p.mip_obj() == pytest.approx(-11) and approx(p.mipsol()[0], [2, 1])
    p = indicator_model(1, -9, ub_x=INF)
    rc, err = p.solve("mip")
    assert rc != 0 and "indicator constraint cap" in err and "C0" in err


# ---- quadratic objectives and rows -------------------------------------------------

@pytest.mark.parametrize("sense", [1, -1])
def test_convex_qp(sense):
    """min x^2 + y^2 - 2x - 4y  s.t.  x + y <= 2: x = 0.5, y = 1.5, objective -4.5;
    the row's multiplier is 1, so d obj / d rhs = -1. Maximising the negation
    gives the same point with signs flipped."""
    p = SolveProblem()
    p.load_qp([(0, 0, 2 * sense), (1, 1, 2 * sense)], rowtype="L", rhs=[2], obj=[-2 * sense, -4 * sense],
              start=[0, 1, 2], rowind=[0, 0], rowcoef=[1, 1], lb=[-INF, -INF])
    p.set_sense(sense)
    p.lp()
    assert p.lp_status() == LP_OPTIMAL and p.lp_obj() == pytest.approx(-4.5 * sense)
    x, slack, duals, djs = p.lpsol()
    assert approx(x, [0.5, 1.5], 1e-5) and approx(slack, [0], 1e-5)
    assert approx(duals, [-sense], 1e-5) and approx(djs, [0, 0], 1e-5)


def test_nonconvex_quadratics_are_refused_and_convex_miqp_is_solved():
    p = SolveProblem()
    p.load_qp([(0, 1, 1)], obj=[0, 0], start=[0, 0, 0], ub=[1, 1])  # min x*y
    rc, err = p.solve("lp")
    assert rc != 0 and p.lp_status() == LP_NONCONVEX and "not convex" in err
    p.set_sense(-1)  # max x*y is not concave either
    rc, err = p.solve("lp")
    assert rc != 0 and p.lp_status() == LP_NONCONVEX
    q = SolveProblem()
    q.load_qp([(0, 0, 2)], obj=[0], start=[0, 0], ub=[1])
    q.set_sense(-1)  # max x^2
    rc, err = q.solve("lp")
    assert rc != 0 and q.lp_status() == LP_NONCONVEX and "not concave" in err
    q.call("KRVSchgcoltype", 1, ints([0]), chars("I"))
    rc, err = q.solve("mip")  # non-convex with integers: status 8 for the MIP too
    assert rc != 0 and "not concave" in err and q.lp_status() == LP_NONCONVEX
    q.set_sense(1)  # min x^2 over an integer x is convex: the engine's own search solves it
    rc, err = q.solve("mip")
    assert rc == 0, err
    assert q.mip_status() == MIP_OPTIMAL and q.mip_obj() == pytest.approx(0)


# Convex quadratic rows are solved (tests/engine/test_nlp_solve.py); non-convex ones are refused.
@pytest.mark.parametrize("rowtype, q, words", [("G", 1, "is not convex"), ("L", -1, "is not convex")])
def test_quadratic_rows_give_status_8(rowtype, q, words):
    p = SolveProblem()
    p.load(rowtype=rowtype, rhs=[4], obj=[1, 1], start=[0, 1, 2], rowind=[0, 0], rowcoef=[1, 1])
    p.call("KRVSaddqmatrix64", 0, 2, ints([0, 1]), ints([0, 1]), dbls([q, q]))
    rc, err = p.solve("lp")
    assert rc != 0 and p.lp_status() == LP_NONCONVEX and words in err


# ---- limits, interrupts, threads ----------------------------------------------------

def market_split(prob, rows=4, cols=30, seed=7):
    """A market-split model with slack columns: min sum of |row deviation|,
    sum_j a_ij x_j + p_i - n_i = b_i with x binary. Any x is feasible (the
    slacks absorb it), the LP bound is 0 and an exact split hardly exists, so
    branch and bound runs long."""
    rng = random.Random(seed)
    a = [[rng.randint(0, 99) for _ in range(cols)] for _ in range(rows)]
    b = [sum(r) // 2 for r in a]
    start, rowind, rowcoef = [0], [], []
    for j in range(cols):
        for i in range(rows):
            rowind.append(i)
            rowcoef.append(a[i][j])
        start.append(len(rowind))
    for i in range(rows):
        for sign in (1, -1):
            rowind.append(i)
            rowcoef.append(sign)
            start.append(len(rowind))
    obj = [0] * cols + [1] * (2 * rows)
    prob.load_global("B" * cols, list(range(cols)), rowtype="E" * rows, rhs=b, obj=obj, start=start,
                     rowind=rowind, rowcoef=rowcoef, ub=[1] * cols + [INF] * (2 * rows))
    prob.set_int(8001, 1)


def test_node_limit_keeps_the_best_solution():
    p = SolveProblem()
    market_split(p)
    p.set_int(8005, 5)
    p.mip()
    assert p.stop() == STOP_NODELIMIT
    assert p.mip_status() == MIP_SOLUTION
    x, slack = p.mipsol()
    assert p.mip_obj() == pytest.approx(sum(x[30:]))
    assert all(abs(s) < 1e-6 for s in slack)  # the equality rows hold
    assert p.int_attr(1015) >= 5


def test_solution_limit_and_gap_stop_reasons():
    p = SolveProblem()
    market_split(p, rows=5, cols=40)
    p.set_int(8007, 2)
    p.mip()
    assert p.stop() == STOP_SOLLIMIT and p.mip_status() == MIP_SOLUTION
    assert p.int_attr(1016) >= 2
    assert p.mip_obj() == pytest.approx(sum(p.mipsol()[0][40:]))
    # An absolute gap of 3 ends the search early with the gap as the reason.
    p = SolveProblem()
    market_split(p, rows=3, cols=20)
    p.set_dbl(7003, 3.0)
    p.set_dbl(7002, 0.0)
    p.mip()
    assert p.mip_status() == MIP_OPTIMAL and p.stop() == STOP_MIPGAP
    assert p.mip_obj() - p.dbl_attr(2004) <= 3 + 1e-6


def test_time_limit_stops_the_search():
    p = SolveProblem()
    market_split(p, rows=5, cols=40)
    p.set_dbl(7001, 0.3)
    p.mip()
    assert p.stop() == STOP_TIMELIMIT
    assert p.mip_status() in (MIP_NO_SOL, MIP_SOLUTION)
    if p.mip_status() == MIP_SOLUTION:
        p.mipsol()


def test_iteration_limit_leaves_the_lp_unfinished():
    rng = random.Random(3)
    n = m = 25
    start, rowind, rowcoef = [0], [], []
    for j in range(n):
        for i in range(m):
            rowind.append(i)
            rowcoef.append(rng.uniform(1, 10))
        start.append(len(rowind))
    p = SolveProblem()
    p.load(rowtype="L" * m, rhs=[rng.uniform(50, 100) for _ in range(m)], obj=[rng.uniform(1, 5) for _ in range(n)],
           start=start, rowind=rowind, rowcoef=rowcoef)
    p.set_sense(-1)
    p.set_int(8002, 0)
    p.set_int(8004, 2)
    p.lp()
    assert p.lp_status() == LP_UNFINISHED and p.stop() == STOP_ITERLIMIT
    p.set_int(8004, 1000000)
    p.lp()
    assert p.lp_status() == LP_OPTIMAL and p.stop() == 0


def test_interrupt_from_another_thread():
    p = SolveProblem()
    market_split(p, rows=5, cols=40)
    done = threading.Event()

    def interrupter():
        while not done.wait(0.1):
            lib.KRVSinterrupt(p.handle, 0)  # 0 stands for a user interrupt

    t = threading.Thread(target=interrupter)
    t.start()
    try:
        p.mip()
    finally:
        done.set()
        t.join()
    assert p.stop() == STOP_USER
    assert p.mip_status() in (MIP_NO_SOL, MIP_SOLUTION)
    # The next solve is not stopped by the old interrupt.
    q = small_mip()
    q.mip()
    assert q.stop() == 0


def test_interrupt_from_a_message_callback():
    p = SolveProblem()
    market_split(p, rows=5, cols=40)

    @MESSAGE_CB
    def on_message(prob, data, msg, length, msgtype):
        lib.KRVSinterrupt(prob, 9)

    p.call("KRVSaddcbmessage", on_message, None, 0)
    p.mip()
    assert p.stop() == STOP_USER


def test_two_problems_solved_at_once():
    # The two threads also ask HiGHS's shared scheduler for different thread counts.
    threads = {1: 1, 2: 2}
    expected = {}
    for seed in (1, 2):
        p = SolveProblem()
        market_split(p, rows=3, cols=14, seed=seed)
        p.set_int(8001, threads[seed])
        p.mip()
        expected[seed] = p.mip_obj()
    results, errors = {}, []

    def work(seed):
        try:
            for _ in range(2):
                p = SolveProblem()
                market_split(p, rows=3, cols=14, seed=seed)
                p.set_int(8001, threads[seed])
                p.mip()
                results.setdefault(seed, []).append((p.mip_status(), p.mip_obj()))
        except Exception as e:  # reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(s,)) for s in (1, 2)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert not errors
    for seed in (1, 2):
        assert results[seed] == [(MIP_OPTIMAL, pytest.approx(expected[seed]))] * 2


# ---- warm start and messages --------------------------------------------------------

def test_warm_start_after_cost_and_rhs_changes():
    rng = random.Random(5)
    n, m = 30, 20
    start, rowind, rowcoef = [0], [], []
    for j in range(n):
        for i in range(m):
            if rng.random() < 0.5:
                rowind.append(i)
                rowcoef.append(rng.uniform(1, 10))
        start.append(len(rowind))
    p = SolveProblem()
    p.load(rowtype="L" * m, rhs=[rng.uniform(50, 100) for _ in range(m)],
           obj=[rng.uniform(1, 5) for _ in range(n)], start=start, rowind=rowind, rowcoef=rowcoef)
    p.set_sense(-1)
    p.lp()
    cold = p.int_attr(1013)
    first = p.lp_obj()
    assert cold > 3
    obj = p.obj()
    p.change_obj(list(range(n)), [c * 1.0001 for c in obj])  # keeps the same basis optimal
    p.lp()
    assert p.int_attr(1013) <= 1
    assert p.lp_obj() == pytest.approx(first * 1.0001)
    rhs = p.rhs()
    p.change_rhs(list(range(m)), [r * 1.0001 for r in rhs])  # the basis stays optimal here too
    p.lp()
    assert p.int_attr(1013) <= 1
    assert p.lp_obj() == pytest.approx(first * 1.0001 * 1.0001)
    # keepbasis 0 starts from scratch again.
    p.set_int(8010, 0)
    p.lp()
    assert p.int_attr(1013) > 3


def test_log_lines_reach_callbacks_and_outputlog_silences_them():
    lines, global_lines = [], []

    @MESSAGE_CB
    def on_message(prob, data, msg, length, msgtype):
        lines.append(msg.decode())

    @MSGHANDLER
    def on_global(sender, data, opaque, msg, length, msgtype):
        global_lines.append((sender, msg.decode()))
        return 0

    p = small_mip()
    p.call("KRVSaddcbmessage", on_message, None, 0)
    assert lib.KRVS_ge_addcbmsghandler(on_global, None, 0) == 0
    try:
        p.mip()
    finally:
        lib.KRVS_ge_removecbmsghandler(on_global, None)
    assert any(line.startswith("Solve finished") for line in lines)
    assert any("MIP" in line for line in lines[1:-1])  # HiGHS's own log came through
    assert all("\n" not in line for line in lines)
    mine = [line for sender, line in global_lines if sender == p.handle.value]
    assert mine == lines
    lines.clear()
    p.set_int(8035, 0)
    p.mip()
    assert lines == []
    # Silent or not, a model HiGHS refuses is refused with its reason.
    q = SolveProblem()
    q.load(rowtype="L", rhs=[1], obj=[1], start=[0, 1], rowind=[0], rowcoef=[1e30])
    q.set_int(8035, 0)
    rc, err = q.solve("lp")
    assert rc != 0 and "refused the model: " in err and "1e+30" in err
    # A failing solve says why in the log too.
    p.set_int(8035, 1)
    p.call("KRVSchgmqobj", 1, ints([0]), ints([0]), dbls([1.0]))
    rc, _ = p.solve("mip")
    assert rc != 0 and any(line.startswith("Solve failed: ") for line in lines)
