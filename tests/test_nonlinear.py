"""Nonlinear expression trees: node shapes after each operator and in-place
operator, the single linear item of sums, copies that do not alias, string
forms, extraction of linear and quadratic parts, and reference counts."""
import math

import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


@pytest.fixture
def xyz():
    return korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z")


def is_node(obj):
    return type(obj).__name__ == "nonlinear"


def test_products_keep_the_number_last_and_simplify_units(xyz):
    x, y, _ = xyz
    s = korvo.sin(x)
    assert str(2 * s) == str(s * 2) == "(sin (x) * 2.0)"
    assert str(y * s) == str(s * y) == "(sin (x) * y)"  # the nonlinear operand first
    one = s * 1
    assert is_node(one) and one is not s and str(one) == "sin (x)"
    assert str(1 * s) == "sin (x)"
    for zero in (s * 0, 0 * s, s * 0.0, s * np.float64(0)):
        assert type(zero) is float and zero == 0.0
    assert str(s * -1) == str(-1 * s) == "- (sin (x))"
    # A constant expression multiplies like the number it holds.
    three, zero = korvo.expression() + 3, korvo.expression()
    assert str(three * s) == str(s * three) == "(sin (x) * 3.0)"
    assert (zero * s) == 0.0 and str(s * (korvo.expression() + 1)) == "sin (x)"
    # The binary product does not flatten; the in-place product does.
    assert str(3 * (s * korvo.cos(x) * 2)) == "(((sin (x) * cos (x)) * 2.0) * 3.0)"


def test_quotients_powers_and_differences(xyz):
    x, y, _ = xyz
    s = korvo.sin(x)
    assert str(s / 2) == "(sin (x) / 2)"
    assert str(2 / s) == "(2 / sin (x))"
    assert (0 / s) == 0.0 and type(0 / s) is float
    assert str(s / 1) == "sin (x)" and (s / 1) is not s
    for zero in (0, 0.0, korvo.expression()):
        with pytest.raises(korvo.ModelError, match="^Division by zero$"):
            s / zero
    assert s ** 0 == 1.0 and 1 ** s == 1.0
    assert str(s ** 1) == "sin (x)" and str(s ** 2) == "(sin (x) ** 2)" and str(2 ** s) == "(2 ** sin (x))"
    with pytest.raises(korvo.ModelError, match="Cannot obtain a power with a vector as an exponent"):
        s ** np.array([1.0, 2.0])
    assert str(s - korvo.cos(x)) == "(sin (x) - cos (x))"
    assert str(0 - s) == "- (sin (x))" and str(s - 0) == "sin (x)"
    assert str(-s) == "- (sin (x))" and str(abs(s)) == "abs (sin (x))"
    assert str(s & y) == "and (sin (x), y)" and str(s | y) == "or (sin (x), y)"
    with pytest.raises(korvo.ModelError, match="Invalid object in operation"):
        s + "a"


def test_array_operands_are_handed_to_numpy(xyz):
    x, _, _ = xyz
    s = korvo.sin(x)
    added = s + np.array([1, 2])
    assert added.shape == (2,) and [str(v) for v in added] == ["(sin (x) + 1)", "(sin (x) + 2)"]
    scaled = s * np.array([0, 2])
    assert scaled[0] == 0.0 and str(scaled[1]) == "(sin (x) * 2.0)"
    assert [str(v) for v in s - np.array([1.0])] == ["(sin (x) + -1.0)"]


def test_sums_keep_one_linear_item_at_the_end(xyz):
    x, y, z = xyz
    e = korvo.exp(x) + 3 * y
    same = e
    e += korvo.log(y)
    e -= 2 * y
    assert e is same and str(e) == "(exp (x) + log (y) + y)"
    s = korvo.exp(x) + 1
    for term in (y, korvo.sin(x), 2 * z, x * y):
        s += term
    assert str(s) == "(exp (x) + sin (x) + 1 + y +2 z + x*y)"
    assert str((korvo.exp(x) + y) + (korvo.sin(x) + z)) == "(exp (x) + sin (x) +   y + z)"
    # Linear parts that cancel leave no item behind.
    assert str((korvo.exp(x) + y) - (korvo.sin(x) + y)) == "(exp (x) + - (sin (x)))"
    assert str(y + (korvo.exp(x) + z)) == "(exp (x) +   y + z)"
    assert str((korvo.sin(x) + y) - korvo.cos(x)) == "(sin (x) + - (cos (x)) + y)"
    t = korvo.sin(x) + korvo.cos(x)
    t += t  # a sum added to itself
    assert str(t) == "(sin (x) + cos (x) + sin (x) + cos (x))"


def test_in_place_operators_never_make_a_tree_hold_itself(xyz):
    x, y, _ = xyz
    values = {x: 0.3, y: 0.7}
    s = korvo.exp(x) + y
    s += korvo.sin(s)
    assert str(s) == "(exp (x) + sin ((exp (x) + y)) + y)"
    inner = korvo.exp(0.3) + 0.7
    assert korvo.evaluate(s, solution=values) == pytest.approx(inner + math.sin(inner))
    s -= s
    assert korvo.evaluate(s, solution=values) == pytest.approx(0.0, abs=1e-12)
    p = korvo.sin(x) * y
    p *= korvo.cos(p)
    assert str(p) == "((sin (x) * y) * cos ((sin (x) * y)))"
    p *= p
    assert korvo.evaluate(p, solution=values) == pytest.approx((math.sin(0.3) * 0.7 * math.cos(math.sin(0.3) * 0.7)) ** 2)
    d = korvo.sin(x) / y
    d /= korvo.exp(d)
    assert str(d) == "((sin (x) / y) / exp ((sin (x) / y)))"
    w = korvo.sin(x) ** y
    w **= w
    assert str(w) == "((sin (x) ** y) ** (sin (x) ** y))"
    assert korvo.evaluate(w, solution=values) == pytest.approx((math.sin(0.3) ** 0.7) ** (math.sin(0.3) ** 0.7))


def test_in_place_sums_never_amend_other_objects(xyz):
    x, y, z = xyz
    s = korvo.exp(x) + y
    t = 0 + s
    t += z
    assert str(s) == "(exp (x) + y)" and str(t) == "(exp (x) +   y + z)"
    # A linear part taken over from another sum is copied before it is amended.
    b = korvo.cos(x) + (y + z)
    a = korvo.exp(x) + korvo.sin(x)
    a += b
    a += x
    assert str(b) == "(cos (x) +   y + z)"
    assert str(a) == "(exp (x) + sin (x) + cos (x) +   x + y + z)"
    e = y + z
    u = korvo.sin(x) + e
    u += x
    assert str(e) == "  y + z"
    n = korvo.sin(x)
    v = n + y
    v += z
    assert str(n) == "sin (x)"


def test_in_place_products_quotients_and_powers(xyz):
    x, y, z = xyz
    p = korvo.sin(x) * y
    same = p
    p *= 3
    assert p is same and str(p) == "(sin (x) * y * 3.0)"
    p *= 2
    assert str(p) == "(sin (x) * y * 6.0)"
    p *= 1 / 6
    assert str(p) == "(sin (x) * y)"  # a constant 1 is dropped
    p *= z
    assert str(p) == "(sin (x) * y * z)"
    p *= 5
    p *= korvo.cos(x) * 4
    assert str(p) == "(sin (x) * y * z * cos (x) * 20.0)"
    assert (p * 1) is not p
    p *= 0
    assert p == 0.0 and type(p) is float
    q = korvo.sin(x) * y
    q *= korvo.cos(x) * z * 2
    assert str(q) == "(sin (x) * y * (cos (x) * z) * 2.0)"
    r = korvo.sin(x) * 2
    r *= korvo.cos(x) * 0.5
    assert str(r) == "(sin (x) * cos (x))"
    n = korvo.sin(x)
    n *= 3
    assert str(n) == "(sin (x) * 3.0)"

    d = korvo.sin(x) / y
    same = d
    d /= z
    assert d is same and str(d) == "(sin (x) / (y*z))"
    den = korvo.cos(x) * y
    d2 = korvo.sin(x) / den
    d2 /= z
    assert str(d2) == "(sin (x) / (cos (x) * y * z))" and str(den) == "(cos (x) * y)"
    assert (d2.__itruediv__(1)) is d2
    with pytest.raises(korvo.ModelError, match="^Division by zero$"):
        d2 /= 0
    d /= 2
    assert str(d) == "((sin (x) / (y*z)) * 0.5)"

    w = korvo.sin(x) ** 2
    same = w
    w **= 3
    assert w is same and str(w) == "(sin (x) ** 6.0)"
    w **= 1
    assert w is same
    w **= 0
    assert w == 1.0
    with pytest.raises(korvo.ModelError, match="Cannot obtain a power with a vector"):
        v = korvo.sin(x)
        v **= np.array([2.0])


def test_string_forms_and_depth_limit(xyz):
    x, y, _ = xyz
    assert str(korvo.exp(x) + y) == "(exp (x) + y)"
    assert repr(korvo.sin(x)) == "sin (x)"
    assert str(korvo.user(len, x, y)) == "user (user, x, y)"
    assert str(korvo.max(x, y, 3)) == "max (x, y, 3)"
    assert str(korvo.sin(2 * x + 1)) == "sin (1 +2 x)"
    deep = x
    for _ in range(64):
        deep = korvo.sin(deep)
    text = str(deep)
    assert "[MAX RECURS LEV]" not in text and text.count("sin (") == 64
    deeper = korvo.sin(deep)
    text = str(deeper)
    assert text.count("sin (") == 64 and text.count("[MAX RECURS LEV]") == 1


def test_string_forms_bracket_linear_operands_where_precedence_requires(xyz):
    x, y, _ = xyz
    s = korvo.sin(x)
    assert str(s * (x + y)) == "(sin (x) * (  x + y))"
    assert str(s - (x + y)) == "(sin (x) - (  x + y))" and str((x + y) - s) == "(  x + y - sin (x))"
    assert str(s - 2 * x) == "(sin (x) - 2*x)"
    assert str((x + y) / s) == "((  x + y) / sin (x))"
    assert str(s / (2 * x)) == "(sin (x) / (2*x))" and str((2 * x) / s) == "(2*x / sin (x))"
    assert str((x * y) ** 2) == "((x*y) ** 2)" and str(x ** (2 * y)) == "(x ** (2*y))"
    assert str((2 * x) ** s) == "((2*x) ** sin (x))" and str((-s) ** 2) == "((- (sin (x))) ** 2)"
    assert str(s ** -2) == "(sin (x) ** -2)" and str((-2) ** s) == "((-2) ** sin (x))"
    assert str(s + (x + y)) == "(sin (x) +   x + y)"  # a sum needs none


def test_extraction_of_additive_linear_and_quadratic_terms(xyz):
    x, y, z = xyz
    t = (korvo.exp(x) + 2 * y + x * y) * 3
    assert t.extractLinear() == ([y], [6.0])
    assert t.extractQuadratic() == ([x], [y], [3.0])
    assert (-(korvo.exp(x) + y)).extractLinear() == ([y], [-1.0])
    assert ((korvo.exp(x) + y) / 4).extractLinear() == ([y], [0.25])
    assert (korvo.exp(x) - (y + z)).extractLinear() == ([y, z], [-1.0, -1.0])
    assert (korvo.exp(x) + 5).extractLinear() == ([], [])  # constants are not terms
    # Terms inside functions or multiplied by non-constants are not additive.
    assert ((korvo.exp(x) + y) * korvo.sin(x)).extractLinear() == ([], [])
    assert korvo.sin(x + y).extractLinear() == ([], [])
    assert ((korvo.exp(x) + y) / z).extractLinear() == ([], [])
    assert (korvo.exp(x) + x * x - 2 * x * x).extractQuadratic() == ([x], [x], [-1.0])
    nested = korvo.exp(x) + y
    for _ in range(40):
        nested = -nested
    assert nested.extractLinear() == ([y], [1.0])
    for _ in range(30):
        nested = -nested
    with pytest.raises(RuntimeError, match="exceeded recursion depth limit"):
        nested.extractLinear()


def test_nodes_are_not_created_directly_and_compare_into_constraints(xyz):
    x, _, _ = xyz
    with pytest.raises(TypeError):
        type(korvo.sin(x))()
    c = korvo.sin(x) <= 1
    assert type(c).__name__ == "constraint"


def test_operations_release_their_references(xyz):
    x, y, z = xyz
    s = korvo.exp(x) + y

    def work():
        t = (s + z) * 3 - korvo.sin(y) / (x + 1)
        t += korvo.cos(x) * z
        t *= 2
        u = korvo.pwl({(0, 1): x, (1, 2): 2 * x - 1}) ** 2
        u **= 2
        v = korvo.sin(x) / y
        v /= z
        str(t), t.extractLinear(), korvo.min(x, y, u), korvo.user(len, x, v)
        korvo.evaluate(t, u, solution={x: 0.5, y: 1.0, z: 2.0})

    assert refcount_unchanged(work, x, y, z, s, len) == [0, 0, 0, 0, 0]
