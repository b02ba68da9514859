"""The nonlinear solver on classic problems with published optima, built
through the engine's C interface (linear load, quadratic parts, nonlinear
coefficients, an objective transfer row and column), and its statuses,
limits, interrupt and solution queries.

Each problem is solved from its published start point and checked against
its published optimum within REL_TOL (relative, at least absolute for
optima near 0), and the returned point is checked for feasibility. Where a
problem has several local optima, the comment says which one the start
point leads to."""
import ctypes
import math

import pytest

from krvs_binding import NLP_MESSAGE_CB, USERFUNC, NlpModel, col, func, pwl, user

REL_TOL = 1e-5
INF = 1e20
x1, x2, x3, x4, x5, x6, x7 = (col(j) for j in range(7))


def sq(e):
    return e * e


def rosenbrock():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[-1.2, 1.0])
    m.objective = 100 * sq(x2 - sq(x1)) + sq(1 - x1)
    return m, 0.0


def hs1():
    m = NlpModel([-INF, -1.5], [INF] * 2, start=[-2.0, 1.0])
    m.objective = 100 * sq(x2 - x1 ** 2) + sq(1 - x1)
    return m, 0.0


def hs3():
    m = NlpModel([-INF, 0.0], [INF] * 2, obj=[0.0, 1.0], start=[10.0, 1.0])
    m.objective = 1e-5 * sq(x2 - x1)
    return m, 0.0


def hs4():
    m = NlpModel([1.0, 0.0], [INF] * 2, obj=[0.0, 1.0], start=[1.125, 0.125])
    m.objective = (x1 + 1) ** 3 / 3
    return m, 8.0 / 3.0


def hs5():
    m = NlpModel([-1.5, -3.0], [4.0, 3.0], obj=[-1.5, 2.5], start=[0.0, 0.0])
    m.constant = 1.0
    m.objective = func("sin", x1 + x2) + sq(x1 - x2)
    return m, -math.sqrt(3) / 2 - math.pi / 3


def hs6():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[-1.2, 1.0])
    m.objective = sq(1 - x1)
    m.row("E", 0.0, {1: 10.0}, [(-1, -10.0, sq(x1))])
    return m, 0.0


def hs7():
    m = NlpModel([-INF] * 2, [INF] * 2, obj=[0.0, -1.0], start=[2.0, 2.0])
    m.objective = func("log", 1 + sq(x1))
    m.row("E", 4.0, {}, [(-1, 1.0, sq(1 + sq(x1)) + sq(x2))])
    return m, -math.sqrt(3)


def hs9():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[0.0, 0.0])
    m.objective = func("sin", math.pi * x1 / 12) * func("cos", math.pi * x2 / 16)
    m.row("E", 0.0, {0: 4.0, 1: -3.0})
    return m, -0.5


def hs10():
    m = NlpModel([-INF] * 2, [INF] * 2, obj=[1.0, -1.0], start=[-10.0, 10.0])
    m.row("G", -1.0, {}, [(-1, 1.0, -3 * sq(x1) + 2 * x1 * x2 - sq(x2))])
    return m, -1.0


def hs11():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[4.9, 0.1])
    m.constant = -25.0
    m.objective = sq(x1 - 5) + sq(x2)
    m.row("G", 0.0, {1: 1.0}, [(-1, -1.0, sq(x1))])
    return m, -8.498464223


def hs12():
    # Quadratic objective and a quadratic row passed as matrices.
    m = NlpModel([-INF] * 2, [INF] * 2, obj=[-7.0, -7.0], start=[0.0, 0.0])
    m.qobj = [(0, 0, 1.0), (1, 1, 2.0), (0, 1, -1.0)]
    r = m.row("L", 25.0)
    m.qrows[r] = [(0, 0, 4.0), (1, 1, 1.0)]
    return m, -30.0


def hs14():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[2.0, 2.0])
    m.objective = sq(x1 - 2) + sq(x2 - 1)
    m.row("E", -1.0, {0: 1.0, 1: -2.0})
    m.row("G", -1.0, {}, [(-1, -0.25, sq(x1)), (1, -1.0, x2)])
    return m, 9 - 2.875 * math.sqrt(7)


def hs15():
    m = NlpModel([-INF] * 2, [0.5, INF], start=[-2.0, 1.0])
    m.objective = 100 * sq(x2 - sq(x1)) + sq(1 - x1)
    m.row("G", 1.0, {}, [(0, 1.0, x2)])
    m.row("G", 0.0, {0: 1.0}, [(1, 1.0, x2)])
    return m, 306.5


def hs18():
    m = NlpModel([2.0, 0.0], [50.0, 50.0], start=[2.0, 2.0])
    m.qobj = [(0, 0, 0.02), (1, 1, 2.0)]
    m.row("G", 25.0, {}, [(0, 1.0, x2)])
    r = m.row("G", 25.0)
    m.qrows[r] = [(0, 0, 1.0), (1, 1, 1.0)]
    return m, 5.0


def hs21():
    m = NlpModel([2.0, -50.0], [50.0, 50.0], start=[-1.0, -1.0])
    m.qobj = [(0, 0, 0.02), (1, 1, 2.0)]
    m.constant = -100.0
    m.row("G", 10.0, {0: 10.0, 1: -1.0})
    return m, -99.96


def hs22():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[2.0, 2.0])
    m.objective = sq(x1 - 2) + sq(x2 - 1)
    m.row("L", 2.0, {0: 1.0, 1: 1.0})
    m.row("G", 0.0, {1: 1.0}, [(-1, -1.0, sq(x1))])
    return m, 1.0


def hs23():
    m = NlpModel([-50.0] * 2, [50.0] * 2, start=[3.0, 1.0])
    m.objective = sq(x1) + sq(x2)
    m.row("G", 1.0, {0: 1.0, 1: 1.0})
    m.row("G", 1.0, {}, [(-1, 1.0, sq(x1) + sq(x2))])
    m.row("G", 9.0, {}, [(-1, 1.0, 9 * sq(x1) + sq(x2))])
    m.row("G", 0.0, {1: -1.0}, [(0, 1.0, x1)])
    m.row("G", 0.0, {0: -1.0}, [(1, 1.0, x2)])
    return m, 2.0


def hs26():
    m = NlpModel([-INF] * 3, [INF] * 3, start=[-2.6, 2.0, 2.0])
    m.objective = sq(x1 - x2) + (x2 - x3) ** 4
    m.row("E", 3.0, {}, [(0, 1.0, 1 + sq(x2)), (-1, 1.0, x3 ** 4)])
    return m, 0.0


def hs28():
    m = NlpModel([-INF] * 3, [INF] * 3, start=[-4.0, 1.0, 1.0])
    m.objective = sq(x1 + x2) + sq(x2 + x3)
    m.row("E", 1.0, {0: 1.0, 1: 2.0, 2: 3.0})
    return m, 0.0


def hs35():
    m = NlpModel([0.0] * 3, [INF] * 3, obj=[-8.0, -6.0, -4.0], start=[0.5] * 3)
    m.constant = 9.0
    m.qobj = [(0, 0, 4.0), (1, 1, 4.0), (2, 2, 2.0), (0, 1, 2.0), (0, 2, 2.0)]
    m.row("L", 3.0, {0: 1.0, 1: 1.0, 2: 2.0})
    return m, 1.0 / 9.0


def hs39():
    m = NlpModel([-INF] * 4, [INF] * 4, obj=[-1.0, 0, 0, 0], start=[2.0] * 4)
    m.row("E", 0.0, {1: 1.0}, [(-1, -1.0, x1 ** 3 + sq(x3))])
    m.row("E", 0.0, {1: -1.0}, [(-1, 1.0, sq(x1) - sq(x4))])
    return m, -1.0


def hs40():
    m = NlpModel([-INF] * 4, [INF] * 4, start=[0.8] * 4)
    m.objective = -(x1 * x2 * x3 * x4)
    m.row("E", 1.0, {}, [(-1, 1.0, x1 ** 3 + sq(x2))])
    m.row("E", 0.0, {2: -1.0}, [(3, 1.0, sq(x1))])
    m.row("E", 0.0, {1: -1.0}, [(-1, 1.0, sq(x4))])
    return m, -0.25


def hs43():
    # Rosen-Suzuki: quadratic objective and three quadratic rows.
    m = NlpModel([-INF] * 4, [INF] * 4, obj=[-5.0, -5.0, -21.0, 7.0], start=[0.0] * 4)
    m.qobj = [(0, 0, 2.0), (1, 1, 2.0), (2, 2, 4.0), (3, 3, 2.0)]
    r = m.row("L", 8.0, {0: 1.0, 1: -1.0, 2: 1.0, 3: -1.0})
    m.qrows[r] = [(j, j, 1.0) for j in range(4)]
    r = m.row("L", 10.0, {0: -1.0, 3: -1.0})
    m.qrows[r] = [(0, 0, 1.0), (1, 1, 2.0), (2, 2, 1.0), (3, 3, 2.0)]
    r = m.row("L", 5.0, {0: 2.0, 1: -1.0, 3: -1.0})
    m.qrows[r] = [(0, 0, 2.0), (1, 1, 1.0), (2, 2, 1.0)]
    return m, -44.0


def hs56():
    # Trigonometric equality constraints.
    a = math.asin(math.sqrt(1 / 4.2))
    b = math.asin(math.sqrt(5 / 7.2))
    m = NlpModel([-INF] * 7, [INF] * 7, start=[1.0, 1.0, 1.0, a, a, a, b])
    m.objective = -(x1 * x2 * x3)
    for k, s in ((0, x4), (1, x5), (2, x6)):
        m.row("E", 0.0, {k: 1.0}, [(-1, -4.2, sq(func("sin", s)))])
    m.row("E", 0.0, {0: 1.0, 1: 2.0, 2: 2.0}, [(-1, -7.2, sq(func("sin", x7)))])
    return m, -3.456


def hs60():
    m = NlpModel([-10.0] * 3, [10.0] * 3, start=[2.0] * 3)
    m.objective = sq(x1 - 1) + sq(x1 - x2) + (x2 - x3) ** 4
    m.row("E", 4 + 3 * math.sqrt(2), {}, [(0, 1.0, 1 + sq(x2)), (-1, 1.0, x3 ** 4)])
    return m, 0.03256820025


def hs65():
    m = NlpModel([-4.5, -4.5, -5.0], [4.5, 4.5, 5.0], start=[-5.0, 5.0, 0.0])
    m.objective = sq(x1 - x2) + sq(x1 + x2 - 10) / 9 + sq(x3 - 5)
    m.row("L", 48.0, {}, [(-1, 1.0, sq(x1) + sq(x2) + sq(x3))])
    return m, 0.9535288567


def hs71():
    m = NlpModel([1.0] * 4, [5.0] * 4, obj=[0, 0, 1.0, 0], start=[1.0, 5.0, 5.0, 1.0])
    m.objective = x1 * x4 * (x1 + x2 + x3)
    m.row("G", 25.0, {}, [(-1, 1.0, x1 * x2 * x3 * x4)])
    m.row("E", 40.0, {}, [(-1, 1.0, sq(x1) + sq(x2) + sq(x3) + sq(x4))])
    return m, 17.0140173


def entropy():
    # Maximum entropy on the simplex: the uniform distribution, -log(5).
    cols = [col(j) for j in range(5)]
    m = NlpModel([1e-6] * 5, [1.0] * 5, start=[0.1, 0.2, 0.3, 0.25, 0.15])
    terms = [c * func("log", c) for c in cols]
    obj = terms[0]
    for t in terms[1:]:
        obj = obj + t
    m.objective = obj
    m.row("E", 1.0, {j: 1.0 for j in range(5)})
    return m, -math.log(5)


def circle_max():
    # Maximise x + y on the unit disc (a quadratic row, sense -1).
    m = NlpModel([-INF] * 2, [INF] * 2, obj=[1.0, 1.0], start=[0.0, 0.0])
    m.sense = -1
    r = m.row("L", 1.0)
    m.qrows[r] = [(0, 0, 1.0), (1, 1, 1.0)]
    return m, math.sqrt(2)


def exp_log():
    # min exp(x) - log(y) + y - x on x in [-5, 5], y > 0 with x + y <= 3:
    # unconstrained stationary point x = 0, y = 1, value 1 + 0 + 1 - 0 = 2.
    m = NlpModel([-5.0, 1e-3], [5.0, 10.0], obj=[-1.0, 1.0], start=[2.0, 2.0])
    m.objective = func("exp", x1) - func("log", x2)
    m.row("L", 3.0, {0: 1.0, 1: 1.0})
    return m, 2.0


def piecewise():
    m = NlpModel([-5.0, -INF], [5.0, INF], start=[-2.0, 0.0])
    m.objective = pwl(x1, [(-2, 4), (0, -1), (1, -1.5), (3, 2)], fn=None) + sq(x2 - 1)
    return m, -1.5


def absolute():
    # |x - 1| + |y + 2| + (x - y)^2 / 2: the best gap x - y is 1, value 2.5.
    m = NlpModel([-INF] * 2, [INF] * 2, start=[0.0, 0.0])
    m.objective = func("abs", x1 - 1) + func("abs", x2 + 2) + 0.5 * sq(x1 - x2)
    return m, 2.5


def haverly1():
    # Haverly's pooling problem 1 (bilinear): from an empty pool with sulfur
    # quality 1 the solver reaches the global optimum, profit 400.
    # Columns: crude A, crude B (to the pool), crude C to products X and Y,
    # pool to X and Y, pool quality q.
    m = NlpModel([0.0] * 6 + [1.0], [INF] * 6 + [3.0], obj=[-6, -16, -1, 5, 9, 15, 0], start=[0.0] * 6 + [1.0])
    m.sense = -1
    q = col(6)
    m.row("E", 0.0, {0: 1.0, 1: 1.0, 4: -1.0, 5: -1.0})
    m.row("E", 0.0, {0: 3.0, 1: 1.0}, [(4, -1.0, q), (5, -1.0, q)])
    m.row("L", 100.0, {4: 1.0, 2: 1.0})
    m.row("L", 200.0, {5: 1.0, 3: 1.0})
    m.row("L", 0.0, {4: -2.5, 2: -0.5}, [(4, 1.0, q)])
    m.row("L", 0.0, {5: -1.5, 3: 0.5}, [(5, 1.0, q)])
    return m, 400.0


def ex1221(start=(1.2, 1.3, 0, 1, 1)):
    # A small MINLP (Kocis and Grossmann): binaries y1..y3 and a fractional
    # power; the global optimum 7.6672 at y = (0, 1, 1) is reached from a
    # start with y1 = 0 (from 0 see the test of the local optimum below).
    m = NlpModel([0.0, 0.0, 0, 0, 0], [10.0, 10.0, 1, 1, 1], obj=[2.0, 3.0, 1.5, 2.0, -0.5],
                 start=list(start), integer=[2, 3, 4])
    m.row("E", 1.25, {2: 1.0}, [(-1, 1.0, sq(x1))])
    m.row("E", 3.0, {3: 1.5}, [(-1, 1.0, x2 ** 1.5)])
    m.row("L", 1.6, {0: 1.0, 2: 1.0})
    m.row("L", 3.0, {1: 1.333, 3: 1.0})
    m.row("L", 0.0, {2: -1.0, 3: -1.0, 4: 1.0})
    return m, 7.667180068813135, "g"


PROBLEMS = [rosenbrock, hs1, hs3, hs4, hs5, hs6, hs7, hs9, hs10, hs11, hs12, hs14, hs15, hs18, hs21, hs22, hs23,
            hs26, hs28, hs35, hs39, hs40, hs43, hs56, hs60, hs65, hs71, entropy, circle_max, exp_log,
            piecewise, absolute, haverly1, ex1221]


def max_violation(p, model):
    """Largest violation of the rows at the returned point."""
    _, slack, _, _ = p.solution()
    worst = 0.0
    for r, (rowtype, _, _, _) in enumerate(model.rows):
        s = slack[r]  # rhs - activity
        v = {"L": max(0.0, -s), "G": max(0.0, s), "E": abs(s)}.get(rowtype, 0.0)
        worst = max(worst, v)
    return worst


@pytest.mark.parametrize("make", PROBLEMS, ids=[f.__name__ for f in PROBLEMS])
def test_classic_problem_reaches_its_published_optimum(make):
    spec = make()
    model, fstar = spec[0], spec[1]
    flags = spec[2] if len(spec) > 2 else ""
    p = model.build()
    status = p.solve(flags)
    assert status in (1, 2), status
    assert p.dbl_attr(12179) == pytest.approx(fstar, rel=REL_TOL, abs=REL_TOL)
    assert max_violation(p, model) < 1e-5
    x = p.solution()[0]
    n = len(model.lb)
    for j in range(n):
        assert model.lb[j] - 1e-9 <= x[j] <= model.ub[j] + 1e-9
    for j in model.integer:
        assert x[j] == round(x[j])


def test_minlp_from_a_degenerate_start_reaches_a_local_optimum():
    # At 0 the rows x1^2 and x2^1.5 have no slope; the solver moves the start
    # into the interior and then settles on y = (1, 1, 1), the local
    # optimum 2*0.5 + 3*x2 + 1.5 + 2 - 0.5 with x2^1.5 = 1.5.
    model, _, flags = ex1221(start=(0, 0, 0, 0, 0))
    p = model.build()
    assert p.solve(flags) == 1
    x = p.solution()[0]
    assert x[2:] == [1.0, 1.0, 1.0]
    assert x[0] == pytest.approx(0.5, abs=1e-6)
    assert p.dbl_attr(12179) == pytest.approx(1.0 + 3 * 1.5 ** (2 / 3) + 3.0, rel=1e-6)


def test_integer_columns_are_relaxed_without_the_g_flag():
    model, _, _ = ex1221()
    p = model.build()
    assert p.solve("") == 1
    # The relaxation is at least as good as the integer optimum.
    assert p.dbl_attr(12179) <= 7.667180068813135 + 1e-6


# ---- user functions in a solve ------------------------------------------------

def rosen_entry(derivatives):
    def call(inp, context, deltas, output):
        a, b = inp[0], inp[1]
        output[0] = 100 * (b - a * a) ** 2 + (1 - a) ** 2
        if derivatives and deltas:
            output[1] = -400 * a * (b - a * a) - 2 * (1 - a)
            output[2] = 200 * (b - a * a)
        return 0.0

    return USERFUNC(call)


@pytest.mark.parametrize("derivatives", [False, True])
def test_user_function_objective(derivatives):
    m = NlpModel([-INF] * 2, [INF] * 2, start=[-1.2, 1.0])
    m.objective = user(1, x1, x2, fn=None)
    p = m.build()
    p.add_user_function(rosen_entry(derivatives), "rosen", derivatives=derivatives)
    assert p.solve() == 1
    assert p.dbl_attr(12179) == pytest.approx(0.0, abs=1e-6)
    assert p.solution()[0][:2] == pytest.approx([1.0, 1.0], abs=1e-2)


def test_a_user_function_that_fails_stops_the_solve_with_an_error():
    calls = []

    def call(inp, context, deltas, output):
        calls.append(1)
        if len(calls) > 3:
            return -1.0  # fails: output[0] left unset
        output[0] = inp[0] ** 2
        return 0.0

    m = NlpModel([-INF], [INF], start=[3.0])
    m.objective = user(1, x1, fn=None)
    p = m.build()
    p.add_user_function(USERFUNC(call), "flaky")
    with pytest.raises(RuntimeError, match="flaky"):
        p.solve()
    assert p.int_attr(12044) == 0


# ---- statuses, limits, solution ------------------------------------------------

def test_solution_duals_slacks_and_reduced_costs_of_hs12():
    m, _ = hs12()
    p = m.build()
    assert p.solve() == 1
    x, slack, duals, djs = p.solution()
    assert x == pytest.approx([2.0, 3.0], abs=1e-5)
    assert slack == pytest.approx([0.0], abs=1e-6)  # 25 - 4*4 - 9
    # Stationarity: grad f = dual * grad g (g = 4x1^2 + x2^2 <= 25).
    grad_f = [x[0] - x[1] - 7, 2 * x[1] - x[0] - 7]
    grad_g = [8 * x[0], 2 * x[1]]
    assert duals[0] < 0
    assert grad_f == pytest.approx([duals[0] * g for g in grad_g], abs=1e-4)
    assert djs == pytest.approx([0.0, 0.0], abs=1e-5)
    assert p.int_attr(12070) >= 1 and p.dbl_attr(12180) >= 0.0


def test_linear_problem_is_solved_exactly_and_reported_globally_optimal():
    m = NlpModel([0.0, 0.0], [INF, INF], obj=[-1.0, -2.0])
    m.row("L", 4.0, {0: 1.0, 1: 1.0})
    m.row("L", 6.0, {0: 1.0, 1: 3.0})
    p = m.build()
    assert p.solve() == 2
    assert p.dbl_attr(12179) == pytest.approx(-5.0)
    assert p.solution()[0] == pytest.approx([3.0, 1.0])


def test_infeasible_linear_part_gives_nlp_infeasible():
    m = NlpModel([0.0, 0.0], [1.0, 1.0], start=[0.5, 0.5])
    m.objective = sq(x1) + sq(x2)
    m.row("G", 3.0, {0: 1.0, 1: 1.0})
    assert m.build().solve() == 4


def test_unreachable_nonlinear_row_gives_locally_infeasible():
    m = NlpModel([-INF] * 2, [INF] * 2, start=[1.0, 1.0])
    m.objective = x1 + x2
    m.row("L", -1.0, {}, [(-1, 1.0, sq(x1) + sq(x2))])
    p = m.build()
    assert p.solve() == 3
    # It stops where the violation x1^2 + x2^2 + 1 is least.
    assert p.solution()[0][:2] == pytest.approx([0.0, 0.0], abs=1e-3)


def test_unbounded_problem():
    # x3 can grow without end through the linear row x3 <= x4, x4 free.
    m = NlpModel([-INF] * 4, [INF] * 4, obj=[0.0, 0.0, -1.0, 0.0], start=[0.0, 0.0, 0.0, 0.0])
    m.objective = sq(x1 - 1) + sq(x2)
    m.row("L", 0.0, {2: 1.0, 3: -1.0})
    m.row("L", 5.0, {}, [(-1, 1.0, sq(x2))])
    assert m.build().solve() == 5


def test_iteration_limit_leaves_the_solve_unfinished_with_a_point():
    m, _ = rosenbrock()
    p = m.build()
    p.set_int(12402, 3)
    assert p.solve() == 6
    assert p.int_attr(12070) == 3
    f = p.dbl_attr(12179)
    assert 0.0 < f < 24.2 + 1e-9  # no worse than the start point
    p.set_int(12402, 1000)
    assert p.solve() == 1


def test_interrupt_from_the_message_callback_stops_the_solve():
    m, _ = rosenbrock()
    p = m.build()
    p.set_int(12403, 1)
    lines = []

    def on_message(prob, data, msg, length, msgtype):
        lines.append(msg.decode())
        if len(lines) == 2:
            from krvs_binding import lib
            lib.KNLSinterrupt(ctypes.c_void_p(prob), 9)

    cb = NLP_MESSAGE_CB(on_message)
    p.call("KNLSsetcbmessage", cb, None)
    assert p.solve() == 6
    assert lines[0].startswith("SLP")
    assert p.int_attr(12070) == 2  # the iteration that logged line 2 was the last
    assert "unfinished" in lines[-1]
    # The next solve starts afresh.
    assert p.solve() == 1


def test_objective_sense_control_and_state_flags():
    m = NlpModel([0.0, 0.0], [2.0, 2.0], start=[0.5, 0.5])
    m.objective = func("sin", x1) + func("sin", x2)
    p = m.build()
    assert p.int_attr(12062) == 0
    p.set_dbl(12146, -1.0)
    assert p.solve() == 1
    assert p.dbl_attr(12179) == pytest.approx(2.0, rel=1e-6)
    assert p.int_attr(12062) & 0x1
    p.call("KNLSunconstruct")
    p.call("KNLSpresolve")
    assert p.int_attr(12062) == 0x20000000
    p.call("KNLSpostsolve")
    assert p.int_attr(12062) == 0
    p.set_dbl(12146, 1.0)
    assert p.solve() == 1
    assert p.dbl_attr(12179) == pytest.approx(0.0, abs=1e-6)


def test_solution_queries_before_a_solve_or_after_the_model_changed_fail():
    m, _ = hs6()
    p = m.build()
    x = (ctypes.c_double * 4)()
    assert p.rc("KNLSgetslpsol", x, None, None, None) != 0
    p.solve()
    p.call("KNLSgetslpsol", x, None, None, None)
    p.opt.call("KRVSaddcols64", 1, 0, (ctypes.c_double * 1)(0.0), (ctypes.c_int64 * 2)(0, 0), None, None,
               (ctypes.c_double * 1)(0.0), (ctypes.c_double * 1)(1.0))
    assert p.rc("KNLSgetslpsol", x, None, None, None) != 0


# ---- convex quadratic rows in the optimizer's own solve ---------------------------

def optimizer_solve(p, fn):
    p.opt.call(fn, b"")
    return p.opt.int_attr(1010), p.opt.int_attr(1011)


def test_optimizer_solves_convex_quadratic_rows():
    # max x + y on the unit disc, then with x integer; and HS43 (three convex
    # quadratic rows, convex quadratic objective) through KRVSlpoptimize.
    m, fstar = circle_max()
    p = m.build()
    lp, _ = optimizer_solve(p, "KRVSlpoptimize")
    assert lp == 1
    assert p.opt.dbl_attr(2001) == pytest.approx(fstar, rel=1e-6)
    x = (ctypes.c_double * 2)()
    slack = (ctypes.c_double * 1)()
    p.opt.call("KRVSgetlpsol", x, slack, None, None)
    assert list(x) == pytest.approx([fstar / 2, fstar / 2], abs=1e-5)
    assert slack[0] == pytest.approx(0.0, abs=1e-6)

    p.opt.call("KRVSchgcoltype", 1, (ctypes.c_int * 1)(0), ctypes.create_string_buffer(b"I"))
    _, mip = optimizer_solve(p, "KRVSmipoptimize")
    assert mip == 4  # a solution (local to the linearisations, here the optimum)
    assert p.opt.dbl_attr(2003) == pytest.approx(1.0, abs=1e-6)

    m, fstar = hs43()
    q = m.build()
    assert optimizer_solve(q, "KRVSlpoptimize")[0] == 1
    assert q.opt.dbl_attr(2001) == pytest.approx(fstar, rel=1e-6)


def test_optimizer_still_refuses_nonconvex_quadratic_rows():
    m = NlpModel([-1.0] * 2, [1.0] * 2, obj=[1.0, 1.0])
    r = m.row("G", 0.5)
    m.qrows[r] = [(0, 0, 1.0), (1, 1, 1.0)]  # x^2 + y^2 >= 0.5: not convex
    p = m.build()
    from krvs_binding import lib
    assert lib.KRVSlpoptimize(p.opt.handle, b"") != 0
    assert p.opt.int_attr(1010) == 8
    # The nonlinear solver takes it.
    assert p.solve() == 1
    assert p.dbl_attr(12179) == pytest.approx(-2.0, abs=1e-6)


def test_write_and_read_back_a_nonlinear_problem(tmp_path):
    m, fstar = hs71()
    p = m.build()
    name = str(tmp_path / "hs71")
    p.call("KNLSwriteprob", name.encode(), b"")
    assert (tmp_path / "hs71.mps").exists() and (tmp_path / "hs71.knl").exists()
    from krvs_binding import NlpProblem
    q = NlpProblem()
    q.call("KNLSreadprob", name.encode(), b"")
    q.set_int(12403, 0)
    assert q.int_attr(12016) == p.int_attr(12016)
    assert q.solve() == 1
    assert q.dbl_attr(12179) == pytest.approx(fstar, rel=REL_TOL)
    # A damaged companion file is refused with its name in the message.
    (tmp_path / "hs71.knl").write_text("KNLS-NONLINEAR 1\nCOEF 0 0 1.0 2 10\n")
    with pytest.raises(RuntimeError, match="hs71.knl"):
        q.call("KNLSreadprob", name.encode(), b"")


def test_start_point_outside_a_formulas_domain_is_moved_inside():
    # log(x) with x >= 0 starts at x = 0, where log is undefined.
    m = NlpModel([0.0], [10.0], obj=[1.0])
    m.objective = -func("log", x1)
    p = m.build()
    assert p.solve() == 1
    # min x - log x at x = 1 (the objective converges; x to about its square root)
    assert p.solution()[0][0] == pytest.approx(1.0, abs=1e-3)
    assert p.dbl_attr(12179) == pytest.approx(1.0, abs=1e-8)
    # A formula that fails everywhere is an error, not a crash.
    m = NlpModel([-INF], [INF], start=[1.0])
    m.objective = func("log", -1 - sq(x1))
    with pytest.raises(RuntimeError, match="Logarithm"):
        m.build().solve()


def test_solve_callbacks_run_in_order_and_can_stop_the_solve():
    from krvs_binding import lib
    CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    m, _ = rosenbrock()
    p = m.build()
    events = []

    def make(name, stop_at=None):
        def fn(prob, data):
            events.append(name)
            opt = ctypes.c_void_p()
            lib.KNLSgetptrattrib(ctypes.c_void_p(prob), 12601, ctypes.byref(opt))
            assert opt.value == p.opt.handle.value
            return 1 if stop_at is not None and events.count(name) >= stop_at else 0
        return CB(fn)

    cbs = {"slpstart": make("slpstart"), "iterstart": make("iterstart"), "iterend": make("iterend", stop_at=3),
           "slpend": make("slpend")}
    for name, cb in cbs.items():
        p.call("KNLSsetcb" + name, cb, None)
    assert p.solve() == 6
    assert events[0] == "slpstart" and events[-1] == "slpend"
    assert events.count("iterend") == 3 and events.count("slpend") == 1
    assert events[1:3] == ["iterstart", "iterend"]

    # Removing the iteration-end callback lets the solve finish; a start
    # callback that says stop prevents any iteration.
    p.call("KNLSsetcbiterend", None, None)
    assert p.solve() == 1
    stop = make("stopper", stop_at=1)
    p.call("KNLSsetcbslpstart", stop, None)
    assert p.solve() == 6
    assert p.int_attr(12070) == 0


def test_problems_without_columns():
    from krvs_binding import NlpProblem, lib
    p = NlpProblem()
    assert p.solve() == 2
    assert p.dbl_attr(12179) == 0.0
    p.opt.call("KRVSaddrows64", 1, 0, ctypes.create_string_buffer(b"G"), (ctypes.c_double * 1)(1.0), None,
               (ctypes.c_int64 * 2)(0, 0), None, None)
    assert p.solve() == 4
    assert lib.KNLSnlpoptimize(None, b"") != 0


def test_interrupt_from_another_thread_stops_a_long_mip_subproblem():
    # A market-split MIP (hard for branch and bound) with one nonlinear
    # column: the first subproblem runs long until the interrupt arrives.
    import random
    import threading

    from krvs_binding import lib
    rng = random.Random(7)
    rows, cols = 4, 30
    a = [[rng.randint(0, 99) for _ in range(cols)] for _ in range(rows)]
    n = cols + 2 * rows + 1
    obj = [0.0] * cols + [1.0] * (2 * rows) + [0.0]
    m = NlpModel([0.0] * (n - 1) + [-10.0], [1.0] * cols + [INF] * (2 * rows) + [10.0], obj=obj,
                 integer=list(range(cols)))
    for i in range(rows):
        lin = {j: float(a[i][j]) for j in range(cols)}
        lin[cols + 2 * i] = 1.0
        lin[cols + 2 * i + 1] = -1.0
        m.row("E", float(sum(a[i]) // 2), lin)
    m.objective = sq(col(n - 1) - 1)
    p = m.build()
    timer = threading.Timer(1.0, lambda: lib.KNLSinterrupt(p.handle, 9))
    timer.start()
    try:
        assert p.solve("g") == 6
    finally:
        timer.cancel()
