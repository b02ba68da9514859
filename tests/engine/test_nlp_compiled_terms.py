"""Small formulas inside the Lagrangian (at most four columns, arithmetic
and one-argument functions) are evaluated in a compiled form of their own:
its second derivatives must be those of the formula's own evaluation, over
random formulas and every operator alone, with the same refusals at points
where a formula cannot be evaluated."""
import ctypes
import random

import pytest

from krvs_binding import NlpModel, func, nl_dbls
from test_nlp_hessian import N, X, hessian, random_formula


def lagrangian_entries(p, weights, sigma=0.0):
    count = ctypes.c_int()
    args = (nl_dbls(weights), ctypes.c_double(sigma))
    p.call("KNLSevaluatelagrangianhessian", *args, 0, ctypes.byref(count), None, None, None)
    k = max(count.value, 1)
    rows, cols, vals = (ctypes.c_int * k)(), (ctypes.c_int * k)(), (ctypes.c_double * k)()
    p.call("KNLSevaluatelagrangianhessian", *args, k, ctypes.byref(count), rows, cols, vals)
    return {(rows[e], cols[e]): vals[e] for e in range(count.value)}


def one_row_model(point, terms):
    m = NlpModel(lb=[-10] * N, ub=[10] * N, start=point)
    m.row("L", 5.0, {0: 1.0}, terms)
    return m.build()


def assert_same_hessian(e, point, weight=1.7):
    p = one_row_model(point, [(-1, 0.5, e)])
    _, _, own = hessian(p, e.tokens, N)
    got = lagrangian_entries(p, [weight])
    assert set(got) == set(own)
    for key, v in own.items():
        assert got[key] == pytest.approx(0.5 * weight * v, rel=1e-11, abs=1e-11 * (1 + abs(v))), key


@pytest.mark.parametrize("seed", range(8))
def test_random_small_formulas_match_their_own_second_derivatives(seed):
    rng = random.Random(100 + seed)
    point = [rng.uniform(-1.5, 1.5) for _ in range(N)]
    for _ in range(8):
        assert_same_hessian(random_formula(rng, 3), point)


def test_each_operator_and_function_alone():
    point = [0.7, -0.4, 1.3, 0.25]
    x, y, z, w = X
    cases = [x * y, x / (y + 2), y ** 3, x ** 2, (z + 1) ** -2, (z + 1) ** 0.5, (x + 1) ** 1, y ** 0, -(x * z),
             z - x * y, (x * y - z) * (x * y - z) * w, func("exp", x * y), func("log", z), func("log10", z * x),
             func("sqrt", z + x), func("sin", x * z), func("cos", x + y), func("tan", x * y), func("asin", x * y),
             func("acos", y * z / 2), func("atan", x * z), func("erf", x * y), func("erfc", x + y),
             func("abs", y) * x, func("sign", y) * x * x, x * 3.0 / (w * w + 1)]
    for e in cases:
        assert_same_hessian(e, point)
    # Square and its conventions at 0: 2 on the diagonal whatever the point.
    assert_same_hessian(X[0] ** 2, [0.0, 0.0, 0.0, 0.0])


@pytest.mark.parametrize("make, point, message", [
    (lambda x, y: func("log", x - 1), [0.5, 1.0], "Logarithm"),
    (lambda x, y: x / (y - y), [0.5, 1.0], "Division by zero"),
    (lambda x, y: (x - 1) ** 0.5, [0.5, 1.0], "fractional power"),
    (lambda x, y: x ** -1, [0.0, 1.0], "Zero raised to a negative power"),
    (lambda x, y: func("sqrt", x - 2), [0.5, 1.0], "Square root"),
])
def test_points_outside_a_formulas_domain_are_refused_alike(make, point, message):
    e = make(X[0], X[1])
    p = one_row_model(point + [0.0, 0.0], [(-1, 1.0, e)])
    with pytest.raises(RuntimeError, match=message):
        hessian(p, e.tokens, N)
    with pytest.raises(RuntimeError, match=message):
        lagrangian_entries(p, [1.0])

