"""The nonlinear solver's formulas: evaluation of every operator and function,
exact derivatives against finite differences, user functions called through
their entry point, the coefficient store, and the reporting of bad input and
failed evaluations."""
import ctypes
import math
import random

import pytest

from krvs_binding import (USERFUNC, Expr, NlpProblem, col, func, lib, nl_dbls, nl_ints, nlp_last_error,
                          nlp_with_point, pwl, user)

x, y, z = col(0), col(1), col(2)
POINTS = [(0.3, 1.7, -0.4), (2.5, 0.2, 0.9), (-0.8, 3.1, 0.05)]


def sign(v):
    return 1.0 if v > 0 else -1.0 if v < 0 else 0.0


# Formulas and the value Python's math gives; each must agree at every point.
CASES = {
    "sum": x + y + z,
    "difference": x - y - z,
    "negation": -(x - y),
    "product": x * y * z,
    "quotient": (x + 5) / (y + 1),
    "power": (y + 1) ** (x + 2),
    "integer power of negative": (x - 3) ** 3,
    "exp": func("exp", x, fn=math.exp),
    "log": func("log", y + 1, fn=math.log),
    "log10": func("log10", y + 1, fn=math.log10),
    "sin": func("sin", x * y, fn=math.sin),
    "cos": func("cos", x + z, fn=math.cos),
    "tan": func("tan", z, fn=math.tan),
    "asin": func("asin", z / 2, fn=math.asin),
    "acos": func("acos", z / 2, fn=math.acos),
    "atan": func("atan", x * 3, fn=math.atan),
    "abs": func("abs", x - y, fn=abs),
    "sign": func("sign", x - 1, fn=sign) * y,
    "erf": func("erf", x, fn=math.erf),
    "erfc": func("erfc", x, fn=math.erfc),
    "sqrt": func("sqrt", y + 1, fn=math.sqrt),
    "min": func("min", x, y, z, fn=min),
    "max": func("max", x, y, z, 1.0, fn=max),
    "nested": func("exp", func("sin", x) * func("log", y + 1, fn=math.log), fn=math.exp) /
              (1 + func("abs", z, fn=abs)),
}
CASES["nested"].fn = lambda p: math.exp(math.sin(p[0]) * math.log(p[1] + 1)) / (1 + abs(p[2]))


@pytest.mark.parametrize("name", sorted(CASES))
def test_operators_and_functions_agree_with_python_math(name):
    e = CASES[name]
    for point in POINTS:
        p = nlp_with_point(point)
        assert p.evaluate(e.tokens) == pytest.approx(e.fn(point), rel=1e-12, abs=1e-14), point


def test_logical_functions_use_the_tolerance_and_first_deciding_operand():
    p = nlp_with_point([1.0, 4e-6, 1e-5])
    assert p.evaluate(func("and", x, y, fn=None).tokens) == 0.0
    assert p.evaluate(func("and", x, z, fn=None).tokens) == 1.0
    assert p.evaluate(func("or", y, z, fn=None).tokens) == 0.0
    assert p.evaluate(func("or", y, x, fn=None).tokens) == 1.0
    q = nlp_with_point([1 - 4e-6, 1 - 6e-6, 0.0])
    assert p.evaluate(func("or", x, fn=None).tokens) == 1.0
    assert q.evaluate(func("or", x, fn=None).tokens) == 1.0
    assert q.evaluate(func("or", y, fn=None).tokens) == 0.0
    # The min/max codes keep their own meaning.
    assert p.evaluate(func("min", x, y, fn=None).tokens) == 4e-6


@pytest.mark.parametrize("t,expected", [(0.5, 0.5), (-1.0, -1.0), (1.5, 2.0), (3.0, 5.0), (1.0, 1.0), (2.0, 3.0)])
def test_piecewise_linear_interpolates_and_extends_its_end_segments(t, expected):
    e = pwl(x, [(0, 0), (1, 1), (2, 3)], fn=None)
    p = nlp_with_point([t])
    assert p.evaluate(e.tokens) == pytest.approx(expected)
    value, grad = p.gradient(e.tokens)
    assert grad[0] == pytest.approx(1.0 if t < 1 else 2.0)


def test_piecewise_linear_jumps_are_continuous_from_the_right():
    e = pwl(x, [(0, 0), (1, 1), (1, 6), (2, 7)], fn=None)
    assert nlp_with_point([1.0]).evaluate(e.tokens) == pytest.approx(6.0)
    assert nlp_with_point([0.999]).evaluate(e.tokens) == pytest.approx(0.999)
    assert nlp_with_point([3.0]).evaluate(e.tokens) == pytest.approx(8.0)
    # A jump at the first breakpoint cannot be extended to the left.
    bad = pwl(x, [(0, 0), (0, 1), (2, 3)], fn=None)
    p = nlp_with_point([-1.0])
    with pytest.raises(RuntimeError, match="discontinuity"):
        p.evaluate(bad.tokens)


# ---- derivatives ---------------------------------------------------------

UNARY = [("exp", math.exp), ("sin", math.sin), ("cos", math.cos), ("atan", math.atan), ("erf", math.erf),
         ("erfc", math.erfc), ("abs", abs)]
POSITIVE = [("log", math.log), ("sqrt", math.sqrt), ("log10", math.log10)]


def random_formula(rng, depth):
    """A random smooth formula of x, y, z (positive arguments where needed)."""
    if depth == 0 or rng.random() < 0.2:
        return rng.choice([x, y, z, Expr.lift(round(rng.uniform(-2, 2), 3))])
    kind = rng.randrange(7)
    a = random_formula(rng, depth - 1)
    b = random_formula(rng, depth - 1)
    if kind == 0:
        return a + b
    if kind == 1:
        return a - b
    if kind == 2:
        return a * b
    if kind == 3:
        return a / (1.5 + func("sin", b, fn=math.sin))
    if kind == 4:
        name, fn = rng.choice(UNARY)
        return func(name, a, fn=fn)
    if kind == 5:
        name, fn = rng.choice(POSITIVE)
        return func(name, 1 + a * a, fn=fn)
    return (1 + a * a) ** Expr.lift(rng.choice([0.5, 1.5, 2.0, -1.0]))


def test_exact_derivatives_match_finite_differences_on_random_formulas():
    rng = random.Random(12345)
    checked = 0
    for _ in range(120):
        e = random_formula(rng, 4)
        point = [rng.uniform(-1.5, 1.5) for _ in range(3)]
        p = nlp_with_point(point)
        try:
            value, grad = p.gradient(e.tokens)
        except RuntimeError:
            continue  # a random formula may leave the domain (0 ** -1 and the like)
        assert value == pytest.approx(e.fn(point), rel=1e-9, abs=1e-12)
        for j in range(3):
            h = 1e-6 * max(1.0, abs(point[j]))
            up, down = list(point), list(point)
            up[j] += h
            down[j] -= h
            fd = (e.fn(up) - e.fn(down)) / (2 * h)
            # abs() has a kink at 0; skip the rare point that sits on one.
            if abs(fd - grad[j]) > 1e-4 * max(1.0, abs(fd)):
                assert "(12, 17.0)" in str(e.tokens), (e.tokens, point, j, grad[j], fd)
            checked += 1
    assert checked > 200


def test_derivatives_of_nonsmooth_functions_take_the_active_branch():
    p = nlp_with_point([0.3, 1.7, -0.4])
    assert p.gradient(func("max", x, y, z, fn=None).tokens)[1] == [0.0, 1.0, 0.0]
    assert p.gradient(func("min", x * 2, y, z, fn=None).tokens)[1] == [0.0, 0.0, 1.0]
    assert p.gradient(func("abs", z, fn=None).tokens)[1] == [0.0, 0.0, -1.0]
    assert p.gradient(func("sign", z, fn=None).tokens)[1] == [0.0, 0.0, 0.0]
    assert p.gradient(func("and", x, y, fn=None).tokens)[1] == [0.0, 0.0, 0.0]
    _, g = p.gradient((x ** y).tokens)
    assert g == pytest.approx([1.7 * 0.3 ** 0.7, 0.3 ** 1.7 * math.log(0.3), 0.0])


# ---- errors ----------------------------------------------------------------

@pytest.mark.parametrize("formula,point,message", [
    (func("log", x, fn=None), [-1.0], "Logarithm"),
    (func("log10", x, fn=None), [0.0], "Logarithm"),
    (func("sqrt", x, fn=None), [-1.0], "Square root"),
    (x / (x - 1), [1.0], "Division by zero"),
    (x ** 0.5, [-2.0], "fractional power"),
    (x ** -1.0, [0.0], "negative power"),
    (func("asin", x, fn=None), [1.5], "outside"),
    (func("exp", x, fn=None), [1000.0], "finite"),
])
def test_domain_errors_are_reported_not_crashes(formula, point, message):
    p = nlp_with_point(point)
    with pytest.raises(RuntimeError, match=message):
        p.evaluate(formula.tokens)


@pytest.mark.parametrize("tokens,message", [
    ([(10, 0), (31, 5)], "Missing operand"),
    ([(10, 0), (10, 0)], "single value"),
    ([(22, 0), (12, 33)], "Missing arguments"),
    ([(10, 0), (12, 99)], "Unknown function"),
    ([(10, 0), (31, 9)], "Unknown operator"),
    ([(7, 0)], "Unknown token type"),
    ([(10, 5)], "does not exist"),
    ([(10, -1)], "Invalid column"),
    ([], "Empty formula"),
    ([(22, 0), (1, 1), (1, 1), (10, 0), (12, 35)], "two points"),
])
def test_malformed_formulas_are_refused(tokens, message):
    p = nlp_with_point([1.0])
    with pytest.raises(RuntimeError, match=message):
        p.evaluate(tokens)


# ---- coefficient store -------------------------------------------------------

def store_problem():
    """Three columns, two rows, start point (2, 3, 4)."""
    p = NlpProblem()
    p.opt.call("KRVSloadlp64", b"s", 3, 2, ctypes.create_string_buffer(b"LG"), nl_dbls([1.0, 0.0]), None,
               nl_dbls([0, 0, 0]), (ctypes.c_int64 * 4)(0, 0, 0, 0), None, None, None, nl_dbls([-10] * 3),
               nl_dbls([10] * 3))
    p.set_point([2.0, 3.0, 4.0])
    return p


def test_coefficients_multiply_their_column_and_factor_and_add_up():
    p = store_problem()
    p.add_coefs([(0, 1, 2.0, func("sin", x, fn=None).tokens),   # 2 * x1 * sin(x0)
                 (0, -1, 1.5, (x * z).tokens),                   # 1.5 * x0 * x2
                 (0, -1, -1.0, z.tokens),                        # -x2
                 (1, 2, 1.0, y.tokens)])                         # x2 * x1
    assert p.int_attr(12016) == 4
    assert p.int_attr(12026) == 2
    assert p.int_attr(12013) == -1
    assert p.int_attr(12000) == p.opt.int_attr(1214) == 3
    assert p.int_attr(11999) == p.opt.int_attr(1124) == 2
    out = ctypes.c_double()
    p.call("KNLSevaluatecoef", 0, 1, ctypes.byref(out))
    assert out.value == pytest.approx(2 * 3 * math.sin(2))
    p.call("KNLSevaluatecoef", 0, -1, ctypes.byref(out))
    assert out.value == pytest.approx(1.5 * 2 * 4 - 4)
    p.call("KNLSevaluatecoef", 1, 2, ctypes.byref(out))
    assert out.value == pytest.approx(12.0)

    n = ctypes.c_int()
    p.call("KNLSgetcoefs", ctypes.byref(n), None, None)
    rows, cols = (ctypes.c_int * n.value)(), (ctypes.c_int * n.value)()
    p.call("KNLSgetcoefs", ctypes.byref(n), rows, cols)
    assert list(zip(rows, cols)) == [(0, 1), (0, -1), (0, -1), (1, 2)]

    # The stored formula comes back token for token.
    factor, count = ctypes.c_double(), ctypes.c_int()
    types, values = (ctypes.c_int * 10)(), (ctypes.c_double * 10)()
    p.call("KNLSgetcoefformula", 0, 1, ctypes.byref(factor), 1, 10, ctypes.byref(count), types, values)
    assert factor.value == 2.0 and count.value == 4
    assert list(zip(types[:4], values[:4])) == [(22, 0.0), (10, 0.0), (12, 27.0), (0, 0.0)]
    assert p.rc("KNLSgetcoefformula", 0, 1, ctypes.byref(factor), 1, 2, ctypes.byref(count), types, values) != 0

    # Deleting a (row, column) pair removes every coefficient there.
    p.call("KNLSdelcoefs", 1, nl_ints([0]), nl_ints([-1]))
    assert p.int_attr(12016) == 2
    assert p.rc("KNLSevaluatecoef", 0, -1, ctypes.byref(out)) != 0
    # Loading replaces everything.
    p.add_coefs([(1, -1, 1.0, x.tokens)], loader="KNLSloadcoefs")
    p.call("KNLSgetcoefs", ctypes.byref(n), rows, cols)
    assert n.value == 1 and (rows[0], cols[0]) == (1, -1)


def test_chgcoef_replaces_and_deletes_one_pair():
    p = store_problem()
    p.add_coefs([(0, 0, 1.0, y.tokens), (0, 0, 1.0, z.tokens)])
    toks = (y * y).tokens + [(0, 0.0)]
    p.call("KNLSchgcoef", 0, 0, ctypes.byref(ctypes.c_double(0.5)), 1, nl_ints(t for t, _ in toks),
           nl_dbls(v for _, v in toks))
    out = ctypes.c_double()
    p.call("KNLSevaluatecoef", 0, 0, ctypes.byref(out))
    assert out.value == pytest.approx(0.5 * 2 * 9)
    p.call("KNLSchgcoef", 0, 0, None, 1, None, None)
    assert p.int_attr(12016) == 0


@pytest.mark.parametrize("row,col,tokens,parsed,message", [
    (2, 0, [(10, 0)], 1, "Row index 2 out of range"),
    (-1, 0, [(10, 0)], 1, "Row index -1"),
    (0, 3, [(10, 0)], 1, "Column index 3 out of range"),
    (0, -2, [(10, 0)], 1, "Column index -2"),
    (0, 0, [(10, 7)], 1, "does not exist"),
    (0, 0, [(10, 0), (31, 3)], 1, "Missing operand"),
    (0, 0, [(10, 0)], 0, "parsed"),
])
def test_bad_coefficients_are_refused_and_the_batch_is_not_stored(row, col, tokens, parsed, message):
    p = store_problem()
    good = [(22, 0.0), (10, 0.0), (12, 16.0), (0, 0.0)]
    bad = list(tokens) + [(0, 0.0)]
    types, values = nl_ints(t for t, _ in good + bad), nl_dbls(v for _, v in good + bad)
    rc = p.rc("KNLSaddcoefs", 2, nl_ints([0, row]), nl_ints([0, col]), None, nl_ints([0, 4, 4 + len(bad)]),
              parsed, types, values)
    assert rc != 0
    assert message in nlp_last_error(p.handle)
    assert p.int_attr(12016) == 0


def test_row_status_and_slp_column_settings_round_trip():
    p = store_problem()
    status = ctypes.c_int()
    p.call("KNLSgetrowstatus", 1, ctypes.byref(status))
    assert status.value == 0
    p.call("KNLSchgrowstatus", 1, ctypes.byref(ctypes.c_int(0x800)))
    p.call("KNLSgetrowstatus", 1, ctypes.byref(status))
    assert status.value == 0x800
    assert p.rc("KNLSchgrowstatus", 5, ctypes.byref(ctypes.c_int(1))) != 0

    p.call("KNLSchgvar", 2, ctypes.byref(ctypes.c_int(1)), None, ctypes.byref(ctypes.c_double(0.5)), None, None,
           None, None, None, None, None, None)
    outs = [ctypes.c_int(), ctypes.c_double(), ctypes.c_double(), ctypes.c_double(), ctypes.c_double(),
            ctypes.c_double(), ctypes.c_double(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int(),
            ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_double()]
    p.call("KNLSgetvar", 2, *[ctypes.byref(o) for o in outs])
    assert outs[0].value == 1 and outs[2].value == 0.5 and outs[5].value == 4.0
    # Null pointers leave items alone.
    p.call("KNLSchgvar", 2, None, None, None, None, None, None, None, None, None, None, None)
    p.call("KNLSgetvar", 2, *[ctypes.byref(o) for o in outs])
    assert outs[0].value == 1 and outs[2].value == 0.5
    p.call("KNLSdelvars", 1, nl_ints([2]))
    p.call("KNLSgetvar", 2, *[ctypes.byref(o) for o in outs])
    assert outs[0].value == -1
    assert p.rc("KNLSchgvar", 9, None, None, None, None, None, None, None, None, None, None, None) != 0


# ---- user functions ---------------------------------------------------------

def entry_point(fn, seen=None):
    """A ctypes entry point following the module's protocol: the value goes
    to output[0] when asked, derivatives to output[1..] when asked, and a
    Python exception leaves the output untouched and returns -1."""

    def call(inp, context, deltas, output):
        n, want_value, want_derivs, index = ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        context = ctypes.c_void_p(context)
        if lib.KNLSgetfuncinfo(context, ctypes.byref(n), ctypes.byref(want_value), ctypes.byref(want_derivs),
                               ctypes.byref(index)) != 0:
            return -1.0
        nlprob = ctypes.c_void_p()
        if lib.KNLSgetfuncobject(context, 12602, ctypes.byref(nlprob)) != 0:
            return -1.0
        if seen is not None:
            seen.append((n.value, want_value.value, want_derivs.value, index.value, nlprob.value))
        try:
            result = fn(*[inp[i] for i in range(n.value)])
        except Exception:
            return -1.0
        value = result[0] if isinstance(result, tuple) else result
        if want_value.value:
            output[0] = float(value)
        if want_derivs.value and deltas and isinstance(result, tuple):
            for i in range(n.value):
                if deltas[i]:
                    output[i + 1] = float(result[i + 1])
        return 0.0 if isinstance(result, tuple) else float(value)

    return USERFUNC(call)


def test_user_function_values_and_derivatives_through_the_entry_point():
    p = nlp_with_point([0.7, 1.3])
    seen = []
    plain = p.add_user_function(entry_point(lambda a, b: a * math.exp(b) - b, seen), "plain")
    with_d = p.add_user_function(entry_point(lambda a, b: (a * a * b, 2 * a * b, a * a)), "withd", derivatives=True)
    assert (plain, with_d) == (1, 2)
    obj = ctypes.c_void_p()
    p.call("KNLSsetuserfuncobject", 2, ctypes.c_void_p(1234))
    p.call("KNLSgetuserfuncobject", 2, ctypes.byref(obj))
    assert obj.value == 1234

    # Arguments come in order: user(f, a, b) calls f(a, b).
    e = user(1, x, y * 2, fn=lambda a, b: a * math.exp(b) - b)
    value, grad = p.gradient(e.tokens)
    assert value == pytest.approx(0.7 * math.exp(2.6) - 2.6)
    # Central differences for a function without derivatives.
    assert grad == pytest.approx([math.exp(2.6), 2 * (0.7 * math.exp(2.6) - 1)], rel=1e-6)
    assert seen[0][:4] == (2, 1, 0, 1) and seen[0][4] == p.handle.value

    e2 = user(2, x, y, fn=None) + x
    value, grad = p.gradient(e2.tokens)
    assert value == pytest.approx(0.49 * 1.3 + 0.7)
    assert grad == pytest.approx([2 * 0.7 * 1.3 + 1, 0.49], rel=1e-12)  # exact: from the function


def test_failing_or_missing_user_functions_are_reported():
    p = nlp_with_point([0.5])

    def boom(a):
        raise ValueError("no")

    p.add_user_function(entry_point(boom), "boom")
    with pytest.raises(RuntimeError, match="User function 'boom' failed"):
        p.evaluate(user(1, x, fn=None).tokens)
    with pytest.raises(RuntimeError, match="Unknown user function 3"):
        p.evaluate(user(3, x, fn=None).tokens)
    assert p.rc("KNLSchguserfuncaddress", 7, None) != 0
    bad = ctypes.c_int()
    assert p.rc("KNLSadduserfuncs", 1, nl_ints([5, 0]), nl_dbls([99.0, 0.0])) != 0  # unknown string index
    p.call("KNLSsetstring", ctypes.byref(bad), b"noaddress")
    p.call("KNLSadduserfuncs", 1, nl_ints([5, 0]), nl_dbls([float(bad.value), 0.0]))
    with pytest.raises(RuntimeError, match="has no address"):
        p.evaluate(user(2, x, fn=None).tokens)


def test_deleting_rows_and_columns_renumbers_the_nonlinear_part():
    p = NlpProblem()
    # Four columns, three rows; formulas on rows 0 and 2 reading columns 1..3.
    p.opt.call("KRVSloadlp64", b"d", 4, 3, ctypes.create_string_buffer(b"LLL"), nl_dbls([1, 1, 1]), None,
               nl_dbls([0] * 4), (ctypes.c_int64 * 5)(0, 0, 0, 0, 0), None, None, None, nl_dbls([-10] * 4),
               nl_dbls([10] * 4))
    w = col(3)
    p.add_coefs([(0, 3, 1.0, func("exp", z, fn=None).tokens),   # x3 * exp(x2)
                 (2, -1, 1.0, (w * y).tokens),                   # x3 * x1
                 (2, 0, 1.0, x.tokens)])                         # x0 * x0
    p.call("KNLSchgrowstatus", 2, ctypes.byref(ctypes.c_int(0x800)))
    p.call("KNLSchgvar", 3, ctypes.byref(ctypes.c_int(2)), *[None] * 10)
    p.opt.call("KRVSdelrows", 1, nl_ints([1]))
    n = ctypes.c_int()
    rows, cols = (ctypes.c_int * 4)(), (ctypes.c_int * 4)()
    p.call("KNLSgetcoefs", ctypes.byref(n), rows, cols)
    assert list(zip(rows[:n.value], cols[:n.value])) == [(0, 3), (1, -1), (1, 0)]
    status = ctypes.c_int()
    p.call("KNLSgetrowstatus", 1, ctypes.byref(status))
    assert status.value == 0x800
    detrow = ctypes.c_int()
    p.call("KNLSgetvar", 3, ctypes.byref(detrow), *[None] * 15)
    assert detrow.value == 1

    # Deleting column 1 drops the formula that reads it and shifts the rest.
    p.opt.call("KRVSdelcols", 1, nl_ints([1]))
    p.call("KNLSgetcoefs", ctypes.byref(n), rows, cols)
    assert list(zip(rows[:n.value], cols[:n.value])) == [(0, 2), (1, 0)]
    factor, count = ctypes.c_double(), ctypes.c_int()
    types, values = (ctypes.c_int * 8)(), (ctypes.c_double * 8)()
    p.call("KNLSgetcoefformula", 0, 2, ctypes.byref(factor), 1, 8, ctypes.byref(count), types, values)
    assert list(zip(types[:4], values[:4])) == [(22, 0.0), (10, 1.0), (12, 16.0), (0, 0.0)]
    p.call("KNLSgetvar", 2, ctypes.byref(detrow), *[None] * 15)
    assert detrow.value == 1


def test_copyprob_copies_the_nonlinear_part():
    src = store_problem()
    src.add_coefs([(0, 1, 2.0, func("sin", x, fn=None).tokens)])
    src.call("KNLSchgrowstatus", 1, ctypes.byref(ctypes.c_int(0x800)))
    dst = NlpProblem()
    dst.opt.call("KRVScopyprob", src.opt.handle, b"copy")
    dst.call("KNLScopyprob", src.handle, b"copy")
    out = ctypes.c_double()
    dst.call("KNLSevaluatecoef", 0, 1, ctypes.byref(out))
    assert out.value == pytest.approx(2 * 3 * math.sin(2))
    status = ctypes.c_int()
    dst.call("KNLSgetrowstatus", 1, ctypes.byref(status))
    assert status.value == 0x800
    # The copy is independent.
    src.call("KNLSdelcoefs", 1, nl_ints([0]), nl_ints([1]))
    assert dst.int_attr(12016) == 1


def test_slopes_at_zero_of_powers_and_square_root():
    p = nlp_with_point([0.0])
    assert p.gradient((x ** 1.0).tokens)[1] == [1.0]
    assert p.gradient((x ** 2.5).tokens)[1] == [0.0]
    # Unbounded slopes are reported as a large finite number, so that a
    # linearisation at 0 still sees that the function grows.
    assert p.gradient((x ** 0.5).tokens)[1][0] >= 1e6
    assert p.gradient(func("sqrt", x, fn=None).tokens)[1][0] >= 1e6
