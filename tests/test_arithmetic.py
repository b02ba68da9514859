"""Number protocol of variables, terms and expressions: result kinds, special
cases, messages, in-place amendment and agreement with a plain reference."""
import random
import sys

import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


def kind(obj):
    return type(obj).__name__


def lin(e):
    vs, cs = e.extractLinear()
    return {hash(v): c for v, c in zip(vs, cs)}


def quad(e):
    v1, v2, cs = e.extractQuadratic()
    return {(hash(a), hash(b)): c for a, b, c in zip(v1, v2, cs)}


@pytest.fixture
def xyz():
    return korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z")


def test_variable_sums(xyz):
    x, y, _ = xyz
    assert x + 0 is x and x - 0 is x
    assert x - x == 0.0 and type(x - x) is float
    assert kind(x + x) == "linterm" and str(x + x) == "2*x"
    e = 0 + x  # a number on the left always gives an expression
    assert kind(e) == "expression" and str(e) == "  x"
    assert str(5 - x) == "5 - x"
    assert str(x - y) == "  x - y"
    with pytest.raises(korvo.ModelError, match="^Invalid operands in addition$"):
        x + "a"
    with pytest.raises(korvo.ModelError, match="^Invalid object in subtraction$"):
        x - [1]


def test_linear_term_sums(xyz):
    x, y, _ = xyz
    assert (2 * x) + (-2 * x) == 0.0
    assert str(2 * x + x) == "3*x" and kind(x + 2 * x) == "linterm"
    t = 2 * x
    c = t + 0
    assert kind(c) == "linterm" and c is not t and str(c) == "2*x"
    assert str(0 - t) == "-2*x"
    assert str(2 * x + 3 * y) == " 2 x +3 y"
    assert str(1 - 2 * x) == "1 -2 x"
    with pytest.raises(korvo.ModelError, match="^Invalid operands in sum$"):
        t + "a"


def test_quadratic_term_sums(xyz):
    x, y, z = xyz
    s = x * y + y * x
    assert kind(s) == "quadterm" and str(s) == "2*x*y"
    zero = x * y - y * x
    assert kind(zero) == "quadterm" and zero.extractQuadratic()[2] == [0.0]
    assert kind(x * y + 0) == "quadterm"
    assert str(x * y + x) == "  x + x*y"
    assert str(x * y + y * z) == "  x*y + y*z"
    assert str(3 - x * y) == "3 - x*y"
    with pytest.raises(korvo.ModelError, match="^Invalid operands in sum with quadratic term$"):
        x * y + "a"


def test_expression_sums_copy_their_operands(xyz):
    x, y, z = xyz
    e = x + y
    f = e + z
    assert str(e) == "  x + y" and str(f) == "  x + y + z"
    g = e - e
    assert kind(g) == "expression" and str(g) == "0"
    assert str(2 - e) == "2 - x - y"
    assert str(e + x * y) == "  x + y + x*y"
    with pytest.raises(korvo.ModelError, match="^Invalid object in operation$"):
        e + "a"


def test_products(xyz):
    x, y, _ = xyz
    assert 0 * x == 0.0 and 1 * x is x
    assert str(x * 3) == "3*x"
    assert str(y * x) == "x*y"  # the variable created first comes first
    assert str(x * x) == "x**2"
    q = 0 * (x * y)
    assert kind(q) == "quadterm" and q.extractQuadratic()[2] == [0.0]
    assert str((2 * x) * (3 * y)) == "6*x*y"
    assert str((2 * x) * y) == "2*x*y"
    assert 0 * (2 * x) == 0.0
    with pytest.raises(korvo.ModelError, match="^Invalid operands in multiplication$"):
        x * "a"
    with pytest.raises(korvo.ModelError, match="^Invalid operands in product of linear terms$"):
        (2 * x) * "a"


def test_expression_products(xyz):
    x, y, z = xyz
    d = (x + y) * (x - y)
    assert quad(d) == {(hash(x), hash(x)): 1.0, (hash(y), hash(y)): -1.0}
    assert lin(d) == {}
    p = (x + 1) ** 2
    assert p.extractLinear()[1] == [2.0] and quad(p) == {(hash(x), hash(x)): 1.0}
    assert str(p) == "1 +2 x + x**2"
    assert str((2 * x) * (y + 3)) == " 6 x +2 x*y"
    assert kind((x * y) ** 2) == "nonlinear"
    assert kind((x ** 2 + y) * x) == "nonlinear"
    assert kind((x * y) * z) == "nonlinear"
    e = x + y
    assert str(e * 0) == "0" and kind(e * 0) == "expression"
    c = korvo.expression() + 3  # constant expression
    assert str(c * x) == "3*x" and kind(c * x) == "linterm"
    assert str(c * (x * y)) == "3*x*y"
    assert (korvo.expression() + 1) * x is x


def test_division(xyz):
    x, y, _ = xyz
    assert (2 * x) / x == 2.0 and type((2 * x) / x) is float
    assert x / x == 1.0
    assert kind(x / (2 * x)) == "nonlinear"
    assert str((3 * x * y) / y) == "3*x"
    assert str((3 * x * y) / (3 * x)) == "y"
    assert (3 * x * y) / (1.5 * x * y) == 2.0
    assert str(x / 4) == "0.25*x" and x / 1 is x
    assert 0 / x == 0.0
    assert str(2 / x) == "(2 / x)"
    assert str((x + y) / 2) == " 0.5 x +0.5 y"
    assert str((x * x) / (2 * x * y)) == "(0.5*x / y)"
    with pytest.raises(korvo.ModelError, match="^Division of variable by zero$"):
        x / 0
    with pytest.raises(korvo.ModelError, match="^Division by zero$"):
        (2 * x) / 0
    with pytest.raises(korvo.ModelError, match="^Division by zero of a bilinear term$"):
        (x * y) / 0
    with pytest.raises(korvo.ModelError, match="^Division by zero$"):
        (x + y) / korvo.expression()
    with pytest.raises(korvo.ModelError, match="^Invalid operands in division$"):
        x / "a"


def test_powers(xyz):
    x, y, _ = xyz
    assert x ** 0 == 1.0 and x ** 1 is x
    assert kind(x ** 2) == "quadterm"
    assert str(x ** 3) == "(x ** 3)"
    assert str((3 * x) ** 2) == "9*x**2"
    assert kind((x * y) ** 1) == "quadterm"
    assert str(2 ** x) == "(2 ** x)" and 1 ** x == 1.0
    assert kind(x ** y) == "nonlinear"
    assert (x + y) ** 0 == 1.0
    with pytest.raises(korvo.ModelError, match="^Cannot obtain a power with a vector as an exponent$"):
        x ** np.array([1.0, 2.0])
    with pytest.raises(korvo.ModelError, match="^Invalid operands in exponentiation$"):
        x ** "a"


def test_unary_and_logical(xyz):
    x, y, _ = xyz
    assert str(-x) == "-1*x" and str(-(2 * x)) == "-2*x" and str(-(x * y)) == "-1*x*y"
    assert str(-(x - y)) == " - x + y"
    assert str(abs(x)) == "abs (x)"
    assert str(x & y) == "and (x, y)" and str(x | y) == "or (x, y)"
    a = x
    a &= y
    assert kind(a) == "nonlinear" and kind(x) == "var"


def test_inplace_on_expressions_amends_shared_object(xyz):
    x, y, z = xyz
    e = x + y
    f = e
    e += z
    assert e is f and str(f) == "  x + y + z"
    e -= 2 * x
    assert e is f and str(f) == " - x + y + z"
    e *= 2
    assert e is f and str(f) == " -2 x +2 y +2 z"
    e /= 2
    assert e is f and str(f) == " - x + y + z"
    e += x * y
    e += 4
    assert e is f and str(f) == "4 - x + y + z + x*y"
    e **= 1
    assert e is f
    e += e
    assert e is f and str(f) == "8 -2 x +2 y +2 z +2 x*y"
    e *= 0
    assert e == 0.0 and type(e) is float
    with pytest.raises(korvo.ModelError, match="^Division by zero$"):
        f /= 0


def test_inplace_on_terms_returns_left_operand_for_neutral_values(xyz):
    x, y, _ = xyz
    t = 2 * x
    u = t
    u += 0
    assert u is t
    u *= 1
    assert u is t
    u /= 1
    assert u is t
    u **= 1
    assert u is t
    u **= 0
    assert u == 1.0
    v = x
    v += y
    assert kind(v) == "expression" and kind(x) == "var"
    with pytest.raises(korvo.ModelError, match="^Division by zero$"):
        w = x
        w /= 0


def test_numpy_scalars_and_object_arrays(xyz):
    x, y, _ = xyz
    assert str(np.float64(2.5) * x) == "2.5*x"
    assert str(x * np.int64(3)) == "3*x"
    assert str(x + np.int32(0)) == "x"
    assert str(True * x) == "x"
    arr = np.array([x, y], dtype=object)
    r = x + arr
    assert [str(v) for v in r] == ["2*x", "  x + y"]
    r = x - arr
    assert r[0] == 0.0 and str(r[1]) == "  x - y"
    r = 2 * x / np.array([1.0, 4.0])
    assert [str(v) for v in r] == ["2*x", "0.5*x"]


def test_repeated_operations_keep_refcounts(xyz):
    x, y, z = xyz
    e = 2 * x + 3 * y
    ops = [
        lambda: x + y, lambda: x * y, lambda: (x + y) * (y - z), lambda: (x + 1) ** 2,
        lambda: (3 * x * y) / y, lambda: x / y, lambda: e - e, lambda: -(e + x * z),
        lambda: x * y + y * z, lambda: e * 2.5, lambda: abs(e), lambda: x / (x * y),
    ]
    for op in ops:
        assert refcount_unchanged(op, x, y, z, e) == [0, 0, 0, 0]

    acc = korvo.expression()

    def accumulate():
        nonlocal acc
        acc += 2 * x
        acc -= 2 * x
        acc += x * y
        acc -= y * x

    assert refcount_unchanged(accumulate, x, y, acc) == [0, 0, 0]
    assert str(acc) == "0"


def test_errors_leave_no_references_behind(xyz):
    x, y, _ = xyz
    e = x + y

    def failing():
        for bad in (lambda: e + "a", lambda: e * "a", lambda: x / 0, lambda: e / 0):
            try:
                bad()
            except korvo.ModelError:
                pass

    assert refcount_unchanged(failing, x, y, e) == [0, 0, 0]


# ---- agreement with a plain-Python reference -------------------------------------

def constant_of(obj):
    """Constant part: a comparison with 0 moves it to the bound, exactly."""
    if isinstance(obj, (int, float)):
        return float(obj)
    if kind(obj) != "expression":
        return 0.0
    return -(obj <= 0).ub if str(obj) != "0" else 0.0


def evaluate(obj, values):
    """Value of a number, variable, term or expression from its extracted terms."""
    if isinstance(obj, (int, float)):
        return float(obj)
    vs, cs = obj.extractLinear()
    total = sum(c * values[hash(v)] for v, c in zip(vs, cs))
    v1, v2, cs = obj.extractQuadratic()
    total += sum(c * values[hash(a)] * values[hash(b)] for a, b, c in zip(v1, v2, cs))
    return total + constant_of(obj)


def random_pair(rng, variables, depth):
    """A random linear or quadratic object and a plain function computing its value."""
    if depth == 0 or rng.random() < 0.25:
        choice = rng.random()
        if choice < 0.25:
            k = rng.choice([0, 1, -1, 2.5, rng.uniform(-5, 5)])
            return k, lambda p: k
        v = rng.choice(variables)
        if choice < 0.5:
            return v, lambda p: p[hash(v)]
        k = rng.choice([0, 1, -1, 3, rng.uniform(-5, 5)])
        if choice < 0.75:
            return k * v, lambda p: k * p[hash(v)]
        w = rng.choice(variables)
        return k * v * w, lambda p: k * p[hash(v)] * p[hash(w)]
    a, fa = random_pair(rng, variables, depth - 1)
    b, fb = random_pair(rng, variables, depth - 1)
    op = rng.choice(["+", "-", "+=", "-=", "*", "*k", "/k", "neg", "sqr"])
    if op == "+":
        return a + b, lambda p: fa(p) + fb(p)
    if op == "-":
        return a - b, lambda p: fa(p) - fb(p)
    if op == "+=":
        a += b
        return a, lambda p: fa(p) + fb(p)
    if op == "-=":
        a -= b
        return a, lambda p: fa(p) - fb(p)
    if op == "*":
        return a * b, lambda p: fa(p) * fb(p)
    if op == "*k":
        k = rng.choice([0, 1, -2, 0.5])
        return a * k, lambda p: fa(p) * k
    if op == "/k":
        k = rng.choice([1, -2, 4.0])
        return a / k, lambda p: fa(p) / k
    if op == "sqr":
        return a ** 2, lambda p: fa(p) ** 2
    return -a, lambda p: -fa(p)


def test_random_linear_and_quadratic_expressions_match_reference():
    rng = random.Random(20261208)
    variables = [korvo.var() for _ in range(5)]
    checked = 0
    for _ in range(600):
        obj, reference = random_pair(rng, variables, 4)
        if kind(obj) == "nonlinear":
            continue
        for _ in range(3):
            point = {hash(v): rng.uniform(-3, 3) for v in variables}
            assert evaluate(obj, point) == pytest.approx(reference(point), rel=1e-9, abs=1e-9), str(obj)
        checked += 1
        # the quadratic part never holds a pair twice, and never a zero coefficient
        v1, v2, cs = obj.extractQuadratic() if not isinstance(obj, (int, float)) else ([], [], [])
        if kind(obj) == "expression":
            assert len({(hash(a), hash(b)) for a, b in zip(v1, v2)}) == len(cs)
            assert all(hash(a) <= hash(b) for a, b in zip(v1, v2)) and 0.0 not in cs
            assert 0.0 not in obj.extractLinear()[1]
    assert checked > 300


def test_deep_nonlinear_trees_fail_cleanly(xyz):
    x, y, _ = xyz
    p = x * y
    for _ in range(20000):
        p = p * y  # each product nests the previous one
    with pytest.raises(RecursionError):
        p + 1  # the sum copies its left operand
    assert "[MAX RECURS LEV]" in str(p)
    del p  # releasing the tree must not exhaust the stack either


def test_nonlinear_results_keep_linear_parts_extractable(xyz):
    x, y, _ = xyz
    n = x / y
    s = n + 2 * x
    assert str(s) == "((x / y) + 2*x)"
    assert s.extractLinear()[1] == [2.0] and ((s * 3).extractLinear()[1]) == [6.0]
    assert ((n - x * y).extractQuadratic()[2]) == [-1.0]
    assert (n * x).extractLinear() == ([], [])
    d = (3 * x + n) - (x + n)
    assert d.extractLinear()[1] == [2.0]
    t = n + x
    u = t
    t += y  # a nonlinear sum is amended in place with one linear part
    assert t is u and str(t) == "((x / y) +   x + y)"
    assert str(n) == "(x / y)"  # the operand of the sum was copied, not amended


# ---- exact coefficients of sums, scalings and comparisons --------------------------
# A plain model of an operand: (constant, {id: coefficient}). Coefficients are
# compared exactly: a sum is a + f*b per variable, a scaling multiplies every
# coefficient, and nothing that reaches 0 is kept.

def model_of(obj):
    if isinstance(obj, (int, float, np.floating, np.integer)):
        return float(obj), {}
    vs, cs = obj.extractLinear()
    return constant_of(obj), {hash(v): c for v, c in zip(vs, cs)}


def model_sum(a, b, f):
    (ca, la), (cb, lb) = a, b
    terms = dict(la)
    for k, c in lb.items():
        terms[k] = terms[k] + f * c if k in terms else f * c
    return ca + f * cb, {k: c for k, c in terms.items() if c != 0.0}


def random_linear_operand(rng, variables):
    """A number, variable, linear term or expression (with or without a
    constant, sometimes with cancelled entries) over a random subset."""
    choice = rng.random()
    if choice < 0.15:
        return rng.choice([0, 1, -3, 2.5, np.float64(0.25), np.int64(4), rng.uniform(-9, 9)])
    v = rng.choice(variables)
    if choice < 0.3:
        return v
    if choice < 0.45:
        return rng.choice([-1, 2, 0.5, rng.uniform(-9, 9)]) * v
    e = korvo.expression() + rng.choice([0, 0, 1.5, -2])
    for w in rng.sample(variables, rng.randint(1, len(variables))):
        e = e + rng.choice([1, -1, 3, rng.uniform(-9, 9)]) * w
    if rng.random() < 0.2:
        e = e - rng.choice(variables)  # may cancel an entry
    return e


def assert_matches(obj, expected):
    constant, terms = expected
    got_constant, got_terms = model_of(obj)
    assert got_constant == constant and got_terms == terms, str(obj)
    if not isinstance(obj, (int, float)):
        ids = [hash(v) for v in obj.extractLinear()[0]]
        assert ids == sorted(ids), str(obj)


def test_sums_and_scalings_give_exact_coefficients_in_variable_order():
    rng = random.Random(7)
    # created in shuffled name order so that identities and names disagree
    variables = [korvo.var(name=f"v{i}") for i in rng.sample(range(8), 8)]
    for _ in range(1500):
        a, b = random_linear_operand(rng, variables), random_linear_operand(rng, variables)
        if isinstance(a, (int, float, np.number)) and isinstance(b, (int, float, np.number)):
            continue
        ma, mb = model_of(a), model_of(b)
        assert_matches(a + b, model_sum(ma, mb, 1.0))
        assert_matches(a - b, model_sum(ma, mb, -1.0))
        assert_matches(b - a, model_sum(mb, ma, -1.0))
        if kind(a) == "expression":
            k = rng.choice([2.0, -0.5, 3.0, 1.0])
            scaled = (ma[0] * k, {v: c * k for v, c in ma[1].items()})
            assert_matches(a * k, scaled)
            assert_matches(k * a, scaled)
            if k != 1.0:
                assert_matches(a / k, (ma[0] * (1 / k), {v: c * (1 / k) for v, c in ma[1].items()}))
        # a comparison moves the constant of the difference to the bound (a
        # number on the left is reflected: 3 >= x is x <= 3)
        c = a >= b
        reflected = isinstance(a, (int, float, np.number))
        diff = model_sum(mb, ma, -1.0) if reflected else model_sum(ma, mb, -1.0)
        body = model_of(c.body)
        assert body[1] == diff[1] and body[0] == 0.0
        assert (c.ub, c.lb) == (-diff[0], -korvo.infinity) if reflected else (c.lb, c.ub) == (-diff[0], korvo.infinity)
    # the operands were copied, never amended
    assert all(sys.getrefcount(v) < 100 for v in variables)


def test_sum_results_keep_null_and_empty_linear_parts_apart(xyz):
    # An expression whose linear entries all cancelled is not a constant
    # expression: multiplying it by a variable stays an expression, while a
    # constant-only expression scales the variable to a linear term.
    x, y, z = xyz
    e = x + 2 * y
    empty = e - e
    assert str(empty) == "0" and kind(empty * z) == "expression" and str(empty * z) == "0"
    three = korvo.expression() + 3
    assert kind(three * z) == "linterm" and str(three * z) == "3*z"
    assert kind((three + three) * z) == "linterm" and str((three + three) * z) == "6*z"
    assert kind((empty + three) * z) == "expression"
    assert kind((three + empty) * z) == "linterm"
    assert kind((three - e + e) * z) == "expression"


def test_sums_of_interleaved_expressions(xyz):
    v = [korvo.var(name=f"v{i}") for i in range(6)]
    a = v[0] + 2 * v[2] + 3 * v[4] + 1
    b = v[1] - 2 * v[2] + v[3] + 5 * v[5] - 1
    assert str(a + b) == "  v0 + v1 + v3 +3 v4 +5 v5"
    assert str(a - b) == "2 + v0 - v1 +4 v2 - v3 +3 v4 -5 v5"
    assert str(b - a) == "-2 - v0 + v1 -4 v2 + v3 -3 v4 +5 v5"
    assert str(a + a) == "2 +2 v0 +4 v2 +6 v4"
    assert str(a) == "1 + v0 +2 v2 +3 v4" and str(b) == "-1 + v1 -2 v2 + v3 +5 v5"
    # quadratic parts travel with the linear merge
    x, y, z = xyz
    q = (x * y + z) - (2 * x * y - z + y * z)
    assert str(q) == " 2 z - x*y - y*z"
    assert str(q + q) == " 4 z -2 x*y -2 y*z"
    assert str((x + z) - (z + x * x)) == "  x - x**2"
