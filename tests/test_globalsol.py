"""globalsol: spatial branch and bound that proves the global optimum of
small non-convex models where the local SLP stops in a worse point."""
import numpy as np
import pytest

import korvo


@pytest.fixture(autouse=True)
def quiet():
    korvo.setOutputEnabled(False)
    yield
    korvo.setOutputEnabled(True)


def one_dimensional(objective, lb, ub, start):
    x = korvo.var(name="x", lb=lb, ub=ub)
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(objective(x))
    p.addvars([x], initvalue=[start])
    return p, x


@pytest.mark.parametrize("objective, value, lb, ub, start", [
    (lambda x: x ** 4 - 3 * x ** 2 + x, lambda t: t ** 4 - 3 * t ** 2 + t, -2.0, 2.0, 1.0),
    (lambda x: korvo.sin(3 * x) + 0.1 * x ** 2, lambda t: np.sin(3 * t) + 0.1 * t ** 2, -5.0, 5.0, 1.5),
    (lambda x: korvo.exp(-x / 3) * korvo.cos(3 * x) + 0.02 * x ** 2,
     lambda t: np.exp(-t / 3) * np.cos(3 * t) + 0.02 * t ** 2, 0.0, 6.0, 3.2),
])
def test_multimodal_function_global_minimum(objective, value, lb, ub, start):
    grid = np.linspace(lb, ub, 400001)
    best = float(np.min(value(grid)))
    p, x = one_dimensional(objective, lb, ub, start)
    p.nlpoptimize()
    local = p.attributes.knls_objval
    assert local > best + 1e-2  # the local solve stays in a worse well
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_globally_optimal
    assert p.attributes.knls_objval == pytest.approx(best, abs=1e-5)
    assert float(value(p.getSolution(x))) == pytest.approx(best, abs=1e-5)
    assert p.attributes.knls_globalbound <= best + 1e-5
    assert p.attributes.knls_globalnodes >= 1


def test_nonconvex_qp():
    """min -(x - 0.3)^2 - 2 (y - 0.6)^2 + x y  over x + y <= 1.5 in [0, 1]^2."""
    x = korvo.var(name="x", lb=0, ub=1)
    y = korvo.var(name="y", lb=0, ub=1)
    p = korvo.problem()
    p.addVariable(x, y)
    p.addConstraint(x + y <= 1.5)
    p.setObjective(-(x - 0.3) ** 2 - 2 * (y - 0.6) ** 2 + x * y)
    p.addvars([x, y], initvalue=[0.35, 0.55])

    def f(a, b):
        return -(a - 0.3) ** 2 - 2 * (b - 0.6) ** 2 + a * b

    t = np.linspace(0, 1, 2001)
    a, b = np.meshgrid(t, t)
    values = np.where(a + b <= 1.5, f(a, b), np.inf)
    best = float(values.min())
    p.nlpoptimize()
    assert p.attributes.knls_objval > best + 1e-2
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_globally_optimal
    assert p.attributes.knls_objval == pytest.approx(best, abs=1e-5)
    sx, sy = p.getSolution(x, y)
    assert sx + sy <= 1.5 + 1e-6 and f(sx, sy) == pytest.approx(best, abs=1e-5)


def test_bilinear_pooling():
    """Three crudes, one pool and two products (a classic pooling model):
    the best profit is 400, with the pool taking only the low-sulphur
    crude; local solves from a start that sends the high-sulphur crude
    through the pool stay worse."""
    a = korvo.var(name="a", lb=0, ub=300)
    b = korvo.var(name="b", lb=0, ub=300)
    c = korvo.var(name="c", lb=0, ub=300)
    px = korvo.var(name="px", lb=0, ub=100)
    py = korvo.var(name="py", lb=0, ub=200)
    cx = korvo.var(name="cx", lb=0, ub=100)
    cy = korvo.var(name="cy", lb=0, ub=200)
    q = korvo.var(name="q", lb=1, ub=3)
    p = korvo.problem()
    p.addVariable(a, b, c, px, py, cx, cy, q)
    p.addConstraint(a + b == px + py, c == cx + cy, px + cx <= 100, py + cy <= 200,
                    q * px + q * py == 3 * a + b,
                    q * px + 2 * cx <= 2.5 * (px + cx),
                    q * py + 2 * cy <= 1.5 * (py + cy))
    p.setObjective(9 * (px + cx) + 15 * (py + cy) - 6 * a - 16 * b - 10 * c, sense=korvo.maximize)
    p.addvars([a, b, px, py, q, cx], initvalue=[50.0, 50.0, 100.0, 0.0, 2.0, 0.0])
    p.nlpoptimize()
    local = p.attributes.knls_objval
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_globally_optimal
    assert p.attributes.knls_objval == pytest.approx(400.0, abs=1e-3)
    assert local < 400.0 - 1.0
    sol = dict(zip("a b c px py cx cy q".split(), p.getSolution([a, b, c, px, py, cx, cy, q])))
    assert sol["a"] + sol["b"] == pytest.approx(sol["px"] + sol["py"], abs=1e-5)
    assert sol["q"] * (sol["px"] + sol["py"]) == pytest.approx(3 * sol["a"] + sol["b"], abs=1e-3)


def test_mixed_integer_nonconvex():
    """min -(y - 1.2)^2 + 0.5 n  with y <= 0.4 n + 0.2, n integer in 0..4,
    y in [0, 3]: grid of n and y gives the answer."""
    n = korvo.var(name="n", lb=0, ub=4, vartype=korvo.integer)
    y = korvo.var(name="y", lb=0, ub=3)
    p = korvo.problem()
    p.addVariable(n, y)
    p.addConstraint(y <= 0.4 * n + 0.2)
    p.setObjective(-(y - 1.2) ** 2 + 0.5 * n)
    p.addvars([n, y], initvalue=[2.0, 1.0])
    best = min(-(yy - 1.2) ** 2 + 0.5 * nn for nn in range(5) for yy in np.linspace(0, min(3, 0.4 * nn + 0.2), 3001))
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_globally_optimal
    assert p.attributes.knls_objval == pytest.approx(best, abs=1e-5)
    sn, sy = p.getSolution(n, y)
    assert sn == round(sn)


def test_node_callbacks_and_limits():
    p, x = one_dimensional(lambda x: x ** 4 - 3 * x ** 2 + x, -2.0, 2.0, 1.0)
    counts = {"prenode": 0, "optnode": 0, "slpnode": 0, "intsol": 0}

    def count(kind):
        def fn(problem, data):
            counts[kind] += 1
        return fn

    for kind in counts:
        getattr(p, "setcb" + kind)(count(kind))
    p.globalsol()
    nodes = p.attributes.knls_globalnodes
    assert counts["prenode"] == counts["optnode"] == nodes
    assert counts["slpnode"] >= 2 and counts["intsol"] >= 2  # a first local solution, then the global one
    # A node limit stops the search with the best solution found, not proven.
    p.controls.knls_globalnodelimit = 1
    p.globalsol()
    assert p.attributes.knls_globalnodes == 1
    assert p.attributes.knls_status == korvo.nlp_locally_optimal
    assert p.attributes.knls_globalbound < p.attributes.knls_objval - 1e-3
    # An exception in a node callback stops the search and is raised.
    p.controls.knls_globalnodelimit = 100000
    p.setcboptnode(lambda problem, data: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        p.globalsol()


def test_what_cannot_be_bounded_is_refused():
    x = korvo.var(name="x", lb=0, ub=2)
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(korvo.user(lambda t: t * t - t, x) + x)
    with pytest.raises(korvo.SolverError, match="user functions"):
        p.globalsol()
    # A column of a nonlinear term without finite bounds.
    z = korvo.var(name="z", lb=-korvo.infinity, ub=korvo.infinity)
    q = korvo.problem()
    q.addVariable(z)
    q.setObjective(z ** 4 - z)
    with pytest.raises(korvo.SolverError, match="finite bounds"):
        q.globalsol()
    # The problem is unchanged and solves locally as before.
    q.nlpoptimize()
    assert q.getSolution(z) == pytest.approx(0.25 ** (1 / 3), abs=1e-4)


@pytest.mark.parametrize("objective, value, lb, ub", [
    (lambda x: x / (1 + x ** 2) + 0.1 * x, lambda t: t / (1 + t ** 2) + 0.1 * t, -3.0, 3.0),
    (lambda x: -korvo.sqrt(x) * korvo.cos(x), lambda t: -np.sqrt(t) * np.cos(t), 0.0, 8.0),
    (lambda x: korvo.log(x) * korvo.sin(x), lambda t: np.log(t) * np.sin(t), 0.5, 9.0),
    (lambda x: korvo.abs(x - 1) - 0.5 * x ** 3 + x ** 2, lambda t: np.abs(t - 1) - 0.5 * t ** 3 + t ** 2, -2.0, 2.0),
    (lambda x: korvo.atan(x) * korvo.cos(x) + korvo.erf(x - 1), lambda t: np.arctan(t) * np.cos(t) + _erf(t - 1),
     -4.0, 4.0),
    (lambda x: x ** 1.5 - 2 * x + korvo.exp(-x) * 0.5, lambda t: t ** 1.5 - 2 * t + np.exp(-t) * 0.5, 0.0, 3.0),
    (lambda x: x ** -1 + korvo.sin(2 * x), lambda t: 1 / t + np.sin(2 * t), 0.3, 6.0),
    (lambda x: korvo.max(x ** 2 - 1, korvo.sin(2 * x)), lambda t: np.maximum(t ** 2 - 1, np.sin(2 * t)), -2.0, 2.0),
])
def test_operators_are_bounded_soundly(objective, value, lb, ub):
    """The relaxation of each operator holds over every box: the proven
    optimum is the grid's minimum, never below it."""
    grid = np.linspace(lb, ub, 400001)
    best = float(np.min(value(grid)))
    p, x = one_dimensional(objective, lb, ub, 0.5 * (lb + ub))
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_globally_optimal
    assert p.attributes.knls_objval == pytest.approx(best, abs=2e-5)
    assert p.attributes.knls_globalbound <= best + 1e-5


def _erf(t):
    from math import erf
    return np.vectorize(erf)(t)


def test_infeasibility_is_proven():
    """x^2 + y^2 <= 1 and x y >= 0.6 cannot both hold (x y <= 1/2 on the
    disc); the local solve only says it is locally infeasible."""
    x = korvo.var(name="x", lb=-2, ub=2)
    y = korvo.var(name="y", lb=-2, ub=2)
    p = korvo.problem()
    p.addVariable(x, y)
    p.addConstraint(x * x + y * y <= 1, x * y >= 0.6)
    p.setObjective(x + y)
    p.globalsol()
    assert p.attributes.knls_status == korvo.nlp_infeasible
    # Loosen the second row: feasible again, optimum by symmetry at x = y = -1/sqrt(2).
    q = korvo.problem()
    x = korvo.var(name="x", lb=-2, ub=2)
    y = korvo.var(name="y", lb=-2, ub=2)
    q.addVariable(x, y)
    q.addConstraint(x * x + y * y <= 1, x * y >= 0.4)
    q.setObjective(x + y)
    q.globalsol()
    assert q.attributes.knls_status == korvo.nlp_globally_optimal
    assert q.attributes.knls_objval == pytest.approx(-2 ** 0.5, abs=1e-5)
