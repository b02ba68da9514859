"""Exact second derivatives of formulas and of the Lagrangian: random
formulas over every operator and function against finite differences of the
exact gradient, piecewise linear functions with moving breakpoints, user
functions, the Lagrangian's assembly against finite differences of its
value, and refused calls."""
import ctypes
import math
import random

import pytest

from krvs_binding import USERFUNC, Expr, NlpModel, col, func, lib, nl_dbls, nl_ints, nlp_with_point, user

N = 4
X = [col(j) for j in range(N)]


def hessian(p, tokens, n):
    """Value, gradient and the Hessian as a dict {(row, col): value}, row >= col."""
    tokens = list(tokens) + [(0, 0.0)]
    types, values = nl_ints(t for t, _ in tokens), nl_dbls(v for _, v in tokens)
    out, count = ctypes.c_double(), ctypes.c_int()
    grad = (ctypes.c_double * n)()
    p.call("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), grad, 0, ctypes.byref(count), None,
           None, None)
    k = count.value
    rows, cols, vals = (ctypes.c_int * max(k, 1))(), (ctypes.c_int * max(k, 1))(), (ctypes.c_double * max(k, 1))()
    p.call("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), grad, k, ctypes.byref(count), rows,
           cols, vals)
    return out.value, list(grad), {(rows[e], cols[e]): vals[e] for e in range(k)}


def fd_hessian(point, gradient_at, h=1e-5):
    """Central differences of an exact gradient; symmetric, as a dense list."""
    n = len(point)
    cols = []
    for j in range(n):
        up, down = list(point), list(point)
        up[j] += h
        down[j] -= h
        gu, gd = gradient_at(up), gradient_at(down)
        cols.append([(gu[i] - gd[i]) / (2 * h) for i in range(n)])
    return [[0.5 * (cols[j][i] + cols[i][j]) for j in range(n)] for i in range(n)]


def bounded(e):
    """e squeezed into (-0.36, 0.36), keeping every function in its domain."""
    return e / (2 + e * e)


def random_formula(rng, depth):
    if depth == 0 or rng.random() < 0.15:
        return X[rng.randrange(N)] if rng.random() < 0.85 else Expr.lift(round(rng.uniform(-2, 2), 3))
    a = random_formula(rng, depth - 1)
    kind = rng.choice(["+", "-", "*", "/", "pow", "ipow", "neg", "exp", "log", "log10", "sqrt", "sin", "cos",
                       "tan", "asin", "acos", "atan", "erf", "erfc", "abs", "sign", "min", "max"])
    if kind in "+-*/" or kind in ("pow", "min", "max"):
        b = random_formula(rng, depth - 1)
    if kind == "+":
        return a + b
    if kind == "-":
        return a - b
    if kind == "*":
        return a * b
    if kind == "/":
        return a / (1.5 + bounded(b))
    if kind == "pow":
        return (1.2 + a * a) ** (1 + bounded(b))
    if kind == "ipow":
        return (1 + bounded(a)) ** rng.choice([2, 3, -2])
    if kind == "neg":
        return -a
    if kind in ("log", "log10", "sqrt"):
        return func(kind, 1 + a * a, fn=None)
    if kind in ("asin", "acos", "tan", "exp"):
        return func(kind, bounded(a), fn=None)
    if kind == "sign":
        return func("sign", a, fn=None) * a
    if kind in ("min", "max"):
        return func(kind, a, b, fn=None)
    return func(kind, a, fn=None)


def check_formula(p, e, point):
    value, grad, hess = hessian(p, e.tokens, N)

    def exact_gradient(at):
        p.set_point(at)
        return p.gradient(e.tokens)[1]

    fd = fd_hessian(point, exact_gradient)
    p.set_point(point)
    scale = 1.0 + max(abs(v) for row in fd for v in row)
    for i in range(N):
        for j in range(i + 1):
            got = hess.get((i, j))
            if got is None:  # outside the pattern: structurally zero
                assert abs(fd[i][j]) <= 1e-5 * scale, (i, j, fd[i][j])
            else:
                assert got == pytest.approx(fd[i][j], rel=2e-5, abs=2e-5 * scale), (i, j)
    # The Hessian's evaluation gives the tape's value and gradient.
    v2, g2 = p.gradient(e.tokens)
    assert value == pytest.approx(v2, rel=1e-13, abs=1e-13)
    assert grad == pytest.approx(g2, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("seed", range(12))
def test_random_formulas_agree_with_differences_of_the_gradient(seed):
    rng = random.Random(seed)
    point = [rng.uniform(-1.5, 1.5) for _ in range(N)]
    p = nlp_with_point(point)
    for _ in range(6):
        e = random_formula(rng, 4)
        check_formula(p, e, point)


def test_each_operator_and_function_alone():
    point = [0.7, -0.4, 1.3, 0.25]
    p = nlp_with_point(point)
    x, y, z, w = X
    cases = [x * y, x / (y + 2), (z + 1) ** (x + 1), y ** 3, x ** 2, -(x * z), z - x * y,
             func("exp", x * y), func("log", z), func("log10", z * x), func("sqrt", z + x),
             func("sin", x * z), func("cos", x + y), func("tan", x * y), func("asin", x * y),
             func("acos", y * z / 2), func("atan", x * z), func("erf", x * y), func("erfc", x + y),
             func("abs", y) * x, func("sign", y) * x * x, func("min", x * x, y * z, w),
             func("max", x * y, z * w, 1.0), func("and", x, z) * x * x, func("or", x, y) + x * z]
    for e in cases:
        check_formula(p, e, point)
    # Exact values of a product: only the off-diagonal entry.
    _, _, hess = hessian(p, (x * y).tokens, N)
    assert hess == {(1, 0): pytest.approx(1.0)}
    # A sum of separable terms keeps a diagonal pattern.
    e = func("exp", x) + func("sin", y) + z * z * 3 + w
    _, _, hess = hessian(p, e.tokens, N)
    assert sorted(hess) == [(0, 0), (1, 1), (2, 2)]
    assert hess[(2, 2)] == pytest.approx(6.0)


def test_piecewise_linear_with_moving_breakpoints():
    """Breakpoints that are formulas of the columns make the function curved
    in them; the segment in use decides which ones count."""
    x, y, z, w = X
    points = [(Expr.lift(-1.0), Expr.lift(0.0)), (y * 0.5, z * z), (y + 2, x * z + 1), (Expr.lift(5.0), w)]
    tokens = [(22, 0.0)]
    flat = []
    for px, py in points:
        flat += [px, py]
    for e in reversed(flat):
        tokens += e.tokens
    tokens += (x * 1.0).tokens
    tokens.append((12, 35.0))
    pw = Expr(tokens, None)
    for t in (-0.3, 0.9, 2.8, 6.0):  # first, second, third segment and beyond the last point
        point = [t, 1.1, 0.8, 0.3]
        p = nlp_with_point(point)
        check_formula(p, pw * 1.0 + x * y, point)


def entry_point(fn, with_derivatives):
    def call(inp, context, deltas, output):
        n, want_value, want_derivs, index = ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        if lib.KNLSgetfuncinfo(ctypes.c_void_p(context), ctypes.byref(n), ctypes.byref(want_value),
                               ctypes.byref(want_derivs), ctypes.byref(index)) != 0:
            return -1.0
        args = [inp[i] for i in range(n.value)]
        value = fn(*args)
        if want_value.value:
            output[0] = value
        if with_derivatives and want_derivs.value and deltas:
            a, b = args
            grad = [math.exp(b) * math.cos(a), math.exp(b) * math.sin(a) + 2 * b]
            for i in range(n.value):
                if deltas[i]:
                    output[i + 1] = grad[i]
        return 0.0 if want_value.value else value

    return USERFUNC(call)


@pytest.mark.parametrize("with_derivatives", [True, False])
def test_user_function_second_derivatives_by_differences_of_its_gradient(with_derivatives):
    point = [0.6, 0.4, 0.0, 0.0]
    p = nlp_with_point(point)
    fn = lambda a, b: math.exp(b) * math.sin(a) + b * b  # noqa: E731
    p.add_user_function(entry_point(fn, with_derivatives), "f", derivatives=with_derivatives)
    x, y = X[0], X[1]
    # Arguments (x*y, y): f(a, b) with a = x*y, b = y.
    e = user(1, x * y, y, fn=None)
    _, _, hess = hessian(p, e.tokens, N)
    a, b = 0.24, 0.4
    faa, fab, fbb = -math.exp(b) * math.sin(a), math.exp(b) * math.cos(a), math.exp(b) * math.sin(a) + 2
    fa = math.exp(b) * math.cos(a)
    expected = {(0, 0): faa * b * b, (1, 0): faa * b * 0.6 + fab * b + fa, (1, 1): faa * 0.36 + 2 * fab * 0.6 + fbb}
    tol = 1e-6 if with_derivatives else 1e-4
    assert set(hess) == set(expected)
    for k, v in expected.items():
        assert hess[k] == pytest.approx(v, rel=tol, abs=tol), k


def test_lagrangian_hessian_against_differences_of_its_value():
    x, y, z, w = X
    m = NlpModel(lb=[-10] * 4, ub=[10] * 4, start=[0.4, -0.7, 1.2, 0.9])
    terms = {
        0: [(1, 2.0, func("exp", x, fn=math.exp) * z)],                       # 2 * y * exp(x) * z: the column multiplies
        1: [],                                                   # quadratic only
        2: [(-1, 1.0, x * y / (1 + z * z)), (0, -0.5, func("sin", x, fn=math.sin) * w)],  # x * sin(x) * w: column in the formula
        3: [(3, 1.0, y * y)],                                    # w * y^2, linear row weight zero below
    }
    for r in range(4):
        m.row("L", 5.0, {0: 1.0}, terms[r])
    m.qrows = {1: [(0, 2, 1.5), (1, 1, -2.0)], 2: [(3, 3, 0.25)]}
    m.qobj = [(0, 0, 3.0), (1, 3, -1.0)]
    p = m.build()
    weights, sigma = [0.5, -1.5, 2.0, 0.0], 1.3

    def lagrangian(v):
        value = 0.0
        for r in range(4):
            h = sum(f * (v[c] if c >= 0 else 1.0) * e.fn(v) for c, f, e in terms[r])
            for i, j, q in m.qrows.get(r, []):
                h += q * v[i] * v[i] if i == j else 2 * q * v[i] * v[j]
            value += weights[r] * h
        for i, j, q in m.qobj:
            value += sigma * (0.5 * q * v[i] * v[i] if i == j else q * v[i] * v[j])
        return value

    count = ctypes.c_int()
    args = (nl_dbls(weights), ctypes.c_double(sigma))
    p.call("KNLSevaluatelagrangianhessian", *args, 0, ctypes.byref(count), None, None, None)
    k = count.value
    rows, cols, vals = (ctypes.c_int * k)(), (ctypes.c_int * k)(), (ctypes.c_double * k)()
    # Arrays that are too short are refused and left alone.
    vals[0] = 123.0
    assert p.rc("KNLSevaluatelagrangianhessian", *args, k - 1, ctypes.byref(count), rows, cols, vals) != 0
    assert vals[0] == 123.0
    p.call("KNLSevaluatelagrangianhessian", *args, k, ctypes.byref(count), rows, cols, vals)
    got = {(rows[e], cols[e]): vals[e] for e in range(k)}
    assert all(i >= j for i, j in got)
    point, h = [0.4, -0.7, 1.2, 0.9], 1e-4
    for i in range(4):
        for j in range(i + 1):
            def at(di, dj):
                v = list(point)
                v[i] += di
                v[j] += dj
                return lagrangian(v)
            fd = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4 * h * h)
            assert got.get((i, j), 0.0) == pytest.approx(fd, rel=1e-5, abs=1e-5), (i, j)


def test_refused_calls_leave_the_outputs_alone():
    p = nlp_with_point([1.0, 2.0])
    x, y = X[0], X[1]
    tokens = list((x * y + func("log", x)).tokens) + [(0, 0.0)]
    types, values = nl_ints(t for t, _ in tokens), nl_dbls(v for _, v in tokens)
    out, count = ctypes.c_double(7.0), ctypes.c_int(-3)
    rows, cols, vals = (ctypes.c_int * 4)(), (ctypes.c_int * 4)(), (ctypes.c_double * 4)()
    # Some arrays given, others not.
    assert p.rc("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), None, 4, ctypes.byref(count), rows,
                None, vals) != 0
    # Too short.
    assert p.rc("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), None, 1, ctypes.byref(count), rows,
                cols, vals) != 0
    assert (out.value, count.value) == (7.0, -3)
    # A point outside the domain.
    p.set_point([-1.0, 2.0])
    assert p.rc("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), None, 4, ctypes.byref(count), rows,
                cols, vals) != 0
    assert "Logarithm" in __import__("krvs_binding").nlp_last_error(p.handle)
    # A formula that does not reduce to one value.
    bad = nl_ints([10, 10, 0])
    assert p.rc("KNLSevaluateformulahessian", 1, bad, nl_dbls([0.0, 1.0, 0.0]), ctypes.byref(out), None, 4,
                ctypes.byref(count), rows, cols, vals) != 0
    p.set_point([1.0, 2.0])
    p.call("KNLSevaluateformulahessian", 1, types, values, ctypes.byref(out), None, 4, ctypes.byref(count), rows, cols,
           vals)
    assert count.value == 2 and out.value == pytest.approx(2.0)
    assert {(rows[e], cols[e]): vals[e] for e in range(2)} == {(0, 0): pytest.approx(-1.0), (1, 0): pytest.approx(1.0)}
