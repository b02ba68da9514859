"""Module functions that build nonlinear expressions: one-argument functions on
numbers, arrays and expressions; argument unpacking of min, max, And and Or;
user functions; piecewise linear functions with their list layout and checks."""
import math

import numpy as np
import pytest

import korvo

UNARY = [
    ("sin", math.sin), ("cos", math.cos), ("tan", math.tan), ("asin", math.asin), ("acos", math.acos),
    ("atan", math.atan), ("exp", math.exp), ("log", math.log), ("log10", math.log10), ("abs", math.fabs),
    ("sqrt", math.sqrt), ("erf", math.erf), ("erfc", math.erfc),
    ("sign", lambda v: float(v > 0) - float(v < 0)),
]


@pytest.fixture
def xyz():
    return korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z")


@pytest.mark.parametrize("name,reference", UNARY)
def test_unary_functions_on_numbers_arrays_and_expressions(name, reference, xyz):
    x, _, _ = xyz
    fn = getattr(korvo, name)
    for v in (0.25, 0.5, 0.75):
        for arg in (v, np.float64(v), np.float32(v)):
            result = fn(arg)
            assert type(result) is float and result == pytest.approx(reference(float(arg)), rel=1e-7)
    values = np.array([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]])
    out = fn(values)
    assert out.shape == (2, 3) and out.dtype == np.float64
    assert np.allclose(out, [[reference(v) for v in row] for row in values])
    fortran = np.asfortranarray(values)
    assert np.allclose(fn(fortran), out)
    node = fn(x)
    assert type(node).__name__ == "nonlinear" and str(node) == f"{name} (x)"
    mixed = fn(np.array([x, 0.5], dtype=object))
    assert str(mixed[0]) == f"{name} (x)" and mixed[1] == pytest.approx(reference(0.5))


def test_number_results_follow_the_c_library(xyz):
    assert korvo.sign(-3) == -1.0 and korvo.sign(0) == 0.0 and korvo.sign(np.int64(7)) == 1.0
    assert korvo.log10(100.0) == pytest.approx(2.0, abs=1e-15)
    assert math.copysign(1.0, korvo.abs(-0.0)) == 1.0
    assert math.isnan(korvo.sqrt(-1.0)) and math.isnan(korvo.log(-1.0)) and math.isnan(korvo.asin(2.0))
    assert korvo.log(0) == -math.inf
    x, y, _ = xyz
    assert str(korvo.sin(2 * x + 1)) == "sin (1 +2 x)"
    assert str(korvo.exp(korvo.sin(x) * y)) == "exp ((sin (x) * y))"
    vs = korvo.vars(3, name="v")
    assert [str(e) for e in korvo.cos(vs)] == ["cos (v(0))", "cos (v(1))", "cos (v(2))"]


def test_unary_function_argument_errors(xyz):
    x, _, _ = xyz
    for bad in ([x], (x,), [1.0]):
        with pytest.raises(korvo.ModelError,
                           match="Could not create a unary nonlinear expression: the argument must be a single"):
            korvo.sin(bad)
    for bad in ("x", None, {x: 1}):
        with pytest.raises(korvo.ModelError, match="^Invalid object in unary operation$"):
            korvo.exp(bad)
    with pytest.raises(korvo.ModelError, match="^Invalid object in unary operation$"):
        korvo.exp(np.array(["a"], dtype=object))


def test_min_max_and_or_argument_unpacking(xyz):
    x, y, z = xyz
    assert korvo.min(x) is x and korvo.max([y]) is y and korvo.And((z,)) is z and korvo.Or(x) is x
    assert korvo.And() == 1.0 and type(korvo.And()) is float and korvo.Or() == 0.0
    for fn in ("min", "max"):
        with pytest.raises(korvo.ModelError, match=f"^The function korvo.{fn} must have at least one argument$"):
            getattr(korvo, fn)()
        with pytest.raises(korvo.ModelError, match=f"must have at least one argument"):
            getattr(korvo, fn)([])
    assert str(korvo.min(x, y)) == "min (x, y)"
    assert str(korvo.max([x, y, z])) == str(korvo.max((x, y, z))) == "max (x, y, z)"
    assert str(korvo.And(x, y)) == "and (x, y)" and str(korvo.Or([x, y, 1])) == "or (x, y, 1)"
    assert str(korvo.min(np.array([[x, y], [z, 2.0]], dtype=object))) == "min (x, y, z, 2.0)"
    assert str(korvo.max(korvo.vars(2, name="v"))) == "max (v(0), v(1))"
    assert str(korvo.min(range(3))) == "min (0, 1, 2)"
    single = korvo.min(np.array([3.5]))
    assert single == 3.5 and type(single) is float
    assert type(korvo.max(np.array([4]))) is int
    with pytest.raises(korvo.ModelError, match="^Incorrect argument for expression$"):
        korvo.min("ab")
    with pytest.raises(korvo.ModelError, match="^Incorrect argument for expression$"):
        korvo.And(None)
    for bad in ("a", [y], None):
        with pytest.raises(korvo.ModelError, match="^Invalid object in n-ary operation$"):
            korvo.max(x, bad)


def test_user_function_nodes(xyz):
    x, y, _ = xyz
    calls = []

    def f(a, b):
        calls.append((a, b))
        return a + b

    node = korvo.user(f, x, 2 * y)
    assert str(node) == "user (user, x, 2*y)"
    assert str(korvo.user(f, x, y, derivatives=True)) == "user (user, x, y)"
    copied = node * 1  # a copy shares the callable
    assert korvo.evaluate(copied, solution={x: 1.0, y: 2.0}) == 5.0 and calls == [(1.0, 4.0)]
    assert str(korvo.user(f)) == "user (user)"
    with pytest.raises(korvo.ModelError, match="^Insufficient number of arguments declared for operator$"):
        korvo.user()
    for bad in ((3, x), (x, y), (f, "a"), (f, [x])):
        with pytest.raises(korvo.ModelError, match="^Invalid object in n-ary operation$"):
            korvo.user(*bad)
    with pytest.raises(TypeError):
        korvo.user(f, x, derivative=True)


def pwl_list(node):
    text = str(node)
    assert text.startswith("pwl (") and text.endswith(")")
    return text[5:-1].split(", ")


def test_pwl_lists_with_jumps_gaps_and_unbounded_ends(xyz):
    x, _, _ = xyz
    assert str(korvo.pwl({(0, 1): x, (1, 2): 2 * x - 1})) == "pwl (x, 0.0, 0.0, 1.0, 1.0, 2.0, 3.0)"
    # Insertion order does not matter; a jump keeps both values at the breakpoint.
    assert str(korvo.pwl({(1, 2): x + 5, (0, 1): x})) == "pwl (x, 0.0, 0.0, 1.0, 1.0, 1.0, 6.0, 2.0, 7.0)"
    assert pwl_list(korvo.pwl({(0, 1): x, (2, 3): 3})) == ["x", "0.0", "0.0", "1.0", "1.0", "2.0", "3.0", "3.0", "3.0"]
    assert pwl_list(korvo.pwl({None: x, (0, 1): 1, (1, 2): 3})) == [
        "x", "0.0", "1.0", "1.0", "1.0", "1.0", "3.0", "2.0", "3.0"]
    assert pwl_list(korvo.pwl({(-1e20, 0): 2 * x, (0, 1e20): x})) == [
        "x", "-0.88", "-1.76", "0.0", "0.0", "0.88", "0.88"]
    assert pwl_list(korvo.pwl({(0, 1): 0.5 * x + 2, (1, 1): 7})) == [
        "x", "0.0", "2.0", "1.0", "2.5", "1.0", "7.0", "1.0", "7.0"]
    # Differences within 1e-6 are not jumps.
    assert len(pwl_list(korvo.pwl({(0, 1): x, (1 + 1e-7, 2): x}))) == 7


def test_pwl_argument_checks(xyz):
    x, y, _ = xyz
    with pytest.raises(korvo.ModelError, match="Function korvo.pwl only accepts a dictionary"):
        korvo.pwl([((0, 1), x)])
    with pytest.raises(korvo.ModelError, match=r"Tuple \(None, Obj\) must have an korvo.var\(\) object as Obj, found <2\*x>"):
        korvo.pwl({None: 2 * x, (0, 1): 1})
    with pytest.raises(korvo.ModelError, match=r"must be two-tuples; <\(0, 1, 2\)> is not"):
        korvo.pwl({(0, 1, 2): x})
    with pytest.raises(korvo.ModelError, match=r"must be two-tuples; <3> is not"):
        korvo.pwl({3: x})
    for key in ((2, 1), ("a", 1), (0, x)):
        with pytest.raises(korvo.ModelError, match=r"two constant numbers: \[a,b\] such that a<b; <"):
            korvo.pwl({key: x})
    with pytest.raises(korvo.ModelError, match="not suitable for a piecewise linear function; it must contain one variable only"):
        korvo.pwl({(0, 1): x + y})
    for value in (x * y, korvo.sin(x), x * x + x, "a"):
        with pytest.raises(korvo.ModelError, match="it must be a constant or a linear function"):
            korvo.pwl({(0, 1): value})
    with pytest.raises(korvo.ModelError, match=r"^Expression in \[1,2\] interval contains variable y while another"):
        korvo.pwl({(0, 1): x, (1, 2): y})
    with pytest.raises(korvo.ModelError, match="contains variable y while another"):
        korvo.pwl({None: x, (0, 1): 2 * y})
    with pytest.raises(korvo.ModelError, match="No variable specified for this piecewise linear function"):
        korvo.pwl({(0, 1): 1, (1, 2): 2})
    with pytest.raises(korvo.ModelError, match=r"^Interval \[0.0,2.0\] overlaps with \[1.0,3.0\] in piecewise linear function$"):
        korvo.pwl({(1, 3): x, (0, 2): x})
