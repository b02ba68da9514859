"""korvo.evaluate: result shapes, the value of every operator against Python's
math, logic tolerances, piecewise linear interpolation and extrapolation,
user functions, messages, recursion limits, and random trees evaluated both
by the module and by a plain-Python reference."""
import math
import random

import numpy as np
import pytest

import korvo


@pytest.fixture
def xyz():
    return korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z")


def test_result_shapes(xyz):
    x, y, z = xyz
    sol = {x: 1, y: 2, z: 3.5}
    assert korvo.evaluate(x, solution={x: 2.0}) == 2.0
    assert korvo.evaluate(x, y, solution=sol) == (1.0, 2.0)
    assert korvo.evaluate([x, (y,)], solution=sol) == [1.0, (2.0,)]
    assert korvo.evaluate({"a": x, 3: [y, 2 * z]}, solution=sol) == {"a": 1.0, 3: [2.0, 7.0]}
    assert korvo.evaluate(range(2), solution=sol) == [0.0, 1.0]
    value = korvo.evaluate(3, solution={})
    assert value == 3.0 and type(value) is float
    arr = np.array([[x, y], [z, 2 * x + y]], dtype=object)
    out = korvo.evaluate(arr, solution=sol)
    assert out.dtype == np.float64 and out.shape == (2, 2) and out.tolist() == [[1.0, 2.0], [3.5, 4.0]]
    assert korvo.evaluate(arr.T, solution=sol).tolist() == [[1.0, 3.5], [2.0, 4.0]]
    vs = korvo.vars(3, name="v")
    values = {v: float(i) for i, v in enumerate(vs)}
    assert korvo.evaluate(vs, solution=values).tolist() == [0.0, 1.0, 2.0]
    assert korvo.evaluate(vs * 2 + 1, solution=values).tolist() == [1.0, 3.0, 5.0]
    with pytest.raises(korvo.InterfaceError, match="NumPy arrays must be of dtype korvo.npvar, korvo.npexpr, or korvo.npconstraint."):
        korvo.evaluate(np.array([1.0, 2.0]), solution=sol)


def test_linear_and_quadratic_objects(xyz):
    x, y, z = xyz
    sol = {x: 1.5, y: -2.0, z: 3.0}
    assert korvo.evaluate(3 * x, solution=sol) == 4.5
    assert korvo.evaluate(2 * x * y, solution=sol) == -6.0
    assert korvo.evaluate(x ** 2, solution=sol) == 2.25
    assert korvo.evaluate(1 + 2 * x - y + x * y + 3 * z * z, solution=sol) == 1 + 3 + 2 - 3 + 27
    assert korvo.evaluate(korvo.expression(), solution=sol) == 0.0


BINARY = [
    (lambda a, b: a + b, lambda a, b: a + b),
    (lambda a, b: a - b, lambda a, b: a - b),
    (lambda a, b: a * b, lambda a, b: a * b),
    (lambda a, b: a / b, lambda a, b: a / b),
    (lambda a, b: a ** b, lambda a, b: a ** b),
    (lambda a, b: korvo.min(a, b, 0.7), lambda a, b: min(a, b, 0.7)),
    (lambda a, b: korvo.max(a, b, 0.7), lambda a, b: max(a, b, 0.7)),
]


def test_every_operator_matches_math(xyz):
    x, y, _ = xyz
    s, c = korvo.sin(x), korvo.cos(y)  # nonlinear operands so that nodes are built
    for xv, yv in [(0.3, 0.9), (1.2, 0.4), (0.5, 0.5)]:
        sol = {x: xv, y: yv}
        a, b = math.sin(xv), math.cos(yv)
        for build, reference in BINARY:
            assert korvo.evaluate(build(s, c), solution=sol) == pytest.approx(reference(a, b), rel=1e-12)
        assert korvo.evaluate(-s, solution=sol) == pytest.approx(-a)
        assert korvo.evaluate(abs(s - 0.6), solution=sol) == pytest.approx(abs(a - 0.6))
        for name, fn in [("exp", math.exp), ("log", math.log), ("log10", math.log10), ("sin", math.sin),
                         ("cos", math.cos), ("tan", math.tan), ("asin", math.asin), ("acos", math.acos),
                         ("atan", math.atan), ("sqrt", math.sqrt), ("erf", math.erf), ("erfc", math.erfc),
                         ("abs", math.fabs)]:
            node = getattr(korvo, name)(x * y)
            assert korvo.evaluate(node, solution=sol) == pytest.approx(fn(xv * yv), rel=1e-12), name
        assert korvo.evaluate(korvo.sign(x - 0.5), solution=sol) == (xv > 0.5) - (xv < 0.5)


def test_division_by_zero_and_nan(xyz):
    x, y, _ = xyz
    assert math.isnan(korvo.evaluate(korvo.sqrt(x), solution={x: -1.0}))
    assert math.isnan(korvo.evaluate(korvo.log(x * y), solution={x: -1.0, y: 1.0}))
    with pytest.raises(ZeroDivisionError, match="^Division by zero in evaluation of expression containing fraction$"):
        korvo.evaluate(korvo.sin(x) / y, solution={x: 1.0, y: 0.0})
    with pytest.raises(ZeroDivisionError):
        korvo.evaluate(1 / x, solution={x: 0})
    assert korvo.evaluate(korvo.exp(x) ** 0.5, solution={x: 2.0}) == pytest.approx(math.e)


def test_and_or_use_the_mip_tolerance(xyz):
    x, y, _ = xyz
    conj, disj = korvo.And(x, y), korvo.Or(x, y)
    assert korvo.evaluate(conj, solution={x: 1.0, y: 4e-6}) == 0.0
    assert korvo.evaluate(conj, solution={x: 1.0, y: 1e-5}) == 1.0
    assert korvo.evaluate(disj, solution={x: 0.0, y: 1 - 4e-6}) == 1.0
    assert korvo.evaluate(disj, solution={x: 0.0, y: 1 - 1e-5}) == 0.0
    assert korvo.evaluate(x & y, solution={x: 1.0, y: 1.0}) == 1.0
    previous = korvo.controls.miptol
    try:
        korvo.controls.miptol = 0.01
        assert korvo.evaluate(conj, solution={x: 1.0, y: 0.005}) == 0.0
        assert korvo.evaluate(disj, solution={x: 0.0, y: 0.995}) == 1.0
    finally:
        korvo.controls.miptol = previous
    assert korvo.evaluate(conj, solution={x: 1.0, y: 0.005}) == 1.0


def pwl_reference(points, t):
    xs, ys = points[0::2], points[1::2]
    for i, xi in enumerate(xs):
        if xi > t:
            j = max(i, 1)
            break
    else:
        j = len(xs) - 1
    return ys[j - 1] + (ys[j] - ys[j - 1]) / (xs[j] - xs[j - 1]) * (t - xs[j - 1])


def test_piecewise_linear_interpolation_and_extrapolation(xyz):
    x, _, _ = xyz
    f = korvo.pwl({(0, 1): x, (1, 2): 2 * x - 1})
    for t, expected in [(0.5, 0.5), (-1, -1.0), (1.5, 2.0), (3, 5.0), (2, 3.0), (0, 0.0)]:
        assert korvo.evaluate(f, solution={x: t}) == expected
    jump = korvo.pwl({(0, 1): x, (1, 2): x + 5})
    assert korvo.evaluate(jump, solution={x: 1.0}) == 6.0  # continuous from the right
    assert korvo.evaluate(jump, solution={x: 0.999}) == pytest.approx(0.999)
    assert korvo.evaluate(jump, solution={x: 3.0}) == 8.0
    wide = korvo.pwl({(-1e20, 0): 2 * x, (0, 1e20): x})
    assert korvo.evaluate(wide, solution={x: -10.0}) == pytest.approx(-20.0)
    assert korvo.evaluate(wide, solution={x: 10.0}) == pytest.approx(10.0)
    gap = korvo.pwl({(0, 1): x, (3, 4): 1})
    points = [0.0, 0.0, 1.0, 1.0, 3.0, 1.0, 4.0, 1.0]
    for t in (-0.5, 0.5, 2.0, 3.5, 5.0):
        assert korvo.evaluate(gap, solution={x: t}) == pytest.approx(pwl_reference(points, t))
    # A jump at the last breakpoint: the value after it is kept beyond.
    last = korvo.pwl({(0, 1): x, (1, 1): 7})
    assert korvo.evaluate(last, solution={x: 1.0}) == 7.0 and korvo.evaluate(last, solution={x: 2.0}) == 7.0
    first = korvo.pwl({(0, 0): 5, (0, 1): x})
    assert korvo.evaluate(first, solution={x: 0.5}) == 0.5
    with pytest.raises(korvo.InterfaceError,
                       match=r"^Piecewise linear function has discontinuity at first breakpoint x = 0.0 and can't be evaluated at -1.0$"):
        korvo.evaluate(first, solution={x: -1.0})


def test_user_functions_get_floats_and_may_return_tuples(xyz):
    x, y, _ = xyz
    seen = []

    def f(*args):
        seen.append(args)
        return sum(args)

    assert korvo.evaluate(korvo.user(f, x, 2, y * y), solution={x: 1, y: 3}) == 12.0
    assert seen == [(1.0, 2.0, 9.0)] and all(type(a) is float for a in seen[0])
    g = korvo.user(lambda a: (a * a, 2 * a), x, derivatives=True)
    assert korvo.evaluate(g, solution={x: 3.0}) == 9.0
    with pytest.raises(ValueError, match="boom"):
        korvo.evaluate(korvo.user(lambda a: (_ for _ in ()).throw(ValueError("boom")), x), solution={x: 1.0})
    with pytest.raises(TypeError):
        korvo.evaluate(korvo.user(lambda a: "text", x), solution={x: 1.0})


def test_argument_and_object_errors(xyz):
    x, y, _ = xyz
    with pytest.raises(korvo.InterfaceError, match='requires at least of the two arguments "solution" and "problem"'):
        korvo.evaluate(x)
    with pytest.raises(korvo.InterfaceError, match='^Argument "problem" must be an korvo.problem object$'):
        korvo.evaluate(x, problem="p", solution={x: 1})
    with pytest.raises(korvo.InterfaceError, match='^Argument "problem" is necessary when passing a list or NumPy array'):
        korvo.evaluate(x, solution=[1.0])
    p = korvo.problem()
    with pytest.raises(korvo.InterfaceError, match='^Argument "solution" must be a dictionary, a list, or a one-dimensional'):
        korvo.evaluate(x, problem=p, solution=3)
    with pytest.raises(korvo.InterfaceError):
        korvo.evaluate(solution={x: 1})
    with pytest.raises(TypeError):
        korvo.evaluate(x, solution={x: 1}, values={})
    with pytest.raises(KeyError):
        korvo.evaluate(x + y, solution={x: 1})
    for bad in ("abc", None, object(), (i for i in [x])):
        with pytest.raises(korvo.ModelError, match="^Evaluation of object of incorrect type$"):
            korvo.evaluate(bad, solution={x: 1})
    # A problem's columns: a variable outside the problem is refused.
    assert korvo.evaluate(2.5, [1, 2], problem=p, solution=[]) == (2.5, [1.0, 2.0])
    with pytest.raises(korvo.ModelError, match="^Object does not belong to problem or cannot be identified within expression$"):
        korvo.evaluate(x, problem=p, solution=np.array([1.0]))


def test_recursion_limits(xyz):
    x, _, _ = xyz
    deep = x
    for _ in range(64):
        deep = korvo.sin(deep)
    expected = 0.5
    for _ in range(64):
        expected = math.sin(expected)
    assert korvo.evaluate(deep, solution={x: 0.5}) == pytest.approx(expected)
    with pytest.raises(RuntimeError, match="^Evaluation of expression exceeded recursion depth limit$"):
        korvo.evaluate(korvo.sin(deep), solution={x: 0.5})
    nested = x
    for _ in range(70):
        nested = [nested]
    with pytest.raises(RuntimeError, match="exceeded recursion depth limit"):
        korvo.evaluate(nested, solution={x: 0.5})


# ---- random trees against a plain-Python reference ----------------------------------

UNARY_SAFE = [
    ("sin", math.sin), ("cos", math.cos), ("atan", math.atan), ("erf", math.erf), ("erfc", math.erfc),
    ("abs", abs), ("sign", lambda v: float(v > 0) - float(v < 0)),
]


def exp_or_inf(t):
    return math.exp(t) if t < 700 else math.inf  # the C library's overflow, where math raises


def square(t):
    return t * t


class TreeMaker:
    """Builds a korvo object and the Python function computing its value side by side."""

    def __init__(self, rng, variables):
        self.rng = rng
        self.vars = variables
        self.built = []

    def leaf(self):
        r = self.rng.random()
        if r < 0.6:
            i = self.rng.randrange(len(self.vars))
            return self.vars[i], lambda v, i=i: v[i]
        if r < 0.8:
            c = self.rng.choice([0, 1, -1, 2, 0.5, -3.25])
            return c, lambda v, c=c: c
        i, j = self.rng.randrange(len(self.vars)), self.rng.randrange(len(self.vars))
        k = self.rng.choice([2.0, -1.0, 0.5])
        return k * self.vars[i] * self.vars[j], lambda v, i=i, j=j, k=k: k * v[i] * v[j]

    def make(self, depth):
        if depth == 0:
            return self.leaf()
        rng = self.rng
        a, fa = self.make(depth - 1)
        kind = rng.randrange(15)
        if kind == 0:
            name, fn = rng.choice(UNARY_SAFE)
            obj, ref = getattr(korvo, name)(a), lambda v: fn(fa(v))
        elif kind == 1:
            obj, ref = korvo.exp(korvo.sin(a)), lambda v: math.exp(math.sin(fa(v)))
        elif kind == 2:
            obj, ref = korvo.sqrt(a * a + 1), lambda v: math.sqrt(fa(v) * fa(v) + 1)
        elif kind == 3:
            obj, ref = -a, lambda v: -fa(v)
        elif kind in (4, 5, 6, 7):
            b, fb = self.make(depth - 1)
            op = rng.randrange(5)
            if op == 0:
                obj, ref = a + b, lambda v: fa(v) + fb(v)
            elif op == 1:
                obj, ref = a - b, lambda v: fa(v) - fb(v)
            elif op == 2:
                obj, ref = a * b, lambda v: fa(v) * fb(v)
            elif op == 3:
                obj, ref = a / (b * b + 1), lambda v: fa(v) / (fb(v) * fb(v) + 1)
            else:
                obj, ref = korvo.max(a, b), lambda v: max(fa(v), fb(v))
        elif kind == 8:
            b, fb = self.make(depth - 1)
            obj, ref = korvo.min([a, b, 0.25]), lambda v: min(fa(v), fb(v), 0.25)
        elif kind == 9:
            # In-place operators on a node made here and held by nothing else.
            b, fb = self.make(depth - 1)
            c, fc = self.make(depth - 1)
            obj = korvo.sin(a) + b
            obj += c
            obj -= 2 * self.vars[0]
            obj *= korvo.cos(b)
            obj *= 3
            ref = lambda v: (math.sin(fa(v)) + fb(v) + fc(v) - 2 * v[0]) * math.cos(fb(v)) * 3
        elif kind == 10:
            b, fb = self.make(depth - 1)
            obj = korvo.exp(a) / 2
            obj /= (b * b + 1)
            obj **= 2
            ref = lambda v: square(exp_or_inf(fa(v)) / 2 / (fb(v) * fb(v) + 1))
        elif kind == 11:
            b, fb = self.make(depth - 1)
            obj = korvo.user(lambda p, q: p * q - q, a, b) + korvo.user(max, a, b, derivatives=True)
            ref = lambda v: fa(v) * fb(v) - fb(v) + max(fa(v), fb(v))
        elif kind == 12:
            b, fb = self.make(depth - 1)
            tol = 5e-6
            obj = korvo.And(a, b) + 2 * korvo.Or(a, b, 0) + 4 * (self.vars[2] & a)
            ref = lambda v: (float(fa(v) > tol and fb(v) > tol) + 2 * float(fa(v) > 1 - tol or fb(v) > 1 - tol)
                             + 4 * float(v[2] > tol and fa(v) > tol))
        elif kind == 13:
            # In-place operators whose right operand holds the left node.
            b, fb = self.make(depth - 1)
            obj = korvo.sin(a) + b
            obj += korvo.cos(obj)
            obj *= korvo.atan(obj)
            ref = lambda v: ((math.sin(fa(v)) + fb(v) + math.cos(math.sin(fa(v)) + fb(v)))
                             * math.atan(math.sin(fa(v)) + fb(v) + math.cos(math.sin(fa(v)) + fb(v))))
        else:
            f = korvo.pwl({(-1, 0): -2 * self.vars[1] + 1, (0, 1): self.vars[1] + 1, (1, 3): 2})
            obj = a + f
            ref = lambda v: fa(v) + pwl_reference([-1.0, 3.0, 0.0, 1.0, 1.0, 2.0, 3.0, 2.0], v[1])
        self.built.append((obj, ref))
        return obj, ref


def test_random_trees_match_a_plain_python_reference():
    rng = random.Random(20261208)
    variables = [korvo.var(name=f"v{i}") for i in range(4)]
    maker = TreeMaker(rng, variables)
    for _ in range(300):
        maker.make(rng.randrange(1, 5))
    assert len(maker.built) > 300
    for _ in range(5):
        values = [rng.uniform(-1.5, 1.5) for _ in variables]
        solution = dict(zip(variables, values))
        # Every object built so far is evaluated again, so that an in-place
        # operation that changed a shared operand shows up here.
        results = korvo.evaluate([obj for obj, _ in maker.built], solution=solution)
        for (obj, ref), got in zip(maker.built, results):
            want = ref(values)
            assert got == pytest.approx(want, rel=1e-9, abs=1e-9, nan_ok=True), str(obj)


def test_values_by_the_columns_of_a_problem(quiet):
    x, y, z = korvo.var(name="x", lb=1, ub=3), korvo.var(name="y", lb=2, ub=5), korvo.var(name="z")
    p = korvo.problem()
    p.addVariable(x, y)
    e = korvo.exp(x) + y * x
    assert korvo.evaluate(e, problem=p, solution=[0.0, 2.0]) == 1.0
    assert korvo.evaluate([x, y], problem=p, solution=np.array([1.5, 2.5])) == [1.5, 2.5]
    # The dictionary wins over the problem's columns.
    assert korvo.evaluate(y, problem=p, solution={y: 7.0}) == 7.0
    for values in ([1.0, 2.0], [1.0]):  # z is not in the problem; y lies beyond a short list
        with pytest.raises(korvo.ModelError, match="^Object does not belong to problem"):
            korvo.evaluate(z if len(values) == 2 else y, problem=p, solution=values)
    p.setObjective(x + y)
    p.solve()
    assert korvo.evaluate(e, x, problem=p) == (pytest.approx(math.e + 2.0), 1.0)
    assert korvo.evaluate(np.array([e, y], dtype=object), problem=p).tolist() == pytest.approx([math.e + 2.0, 2.0])
    # A nonlinear objective: the values come from the nonlinear solver.
    q = korvo.problem()
    q.addVariable(x, y)
    q.setObjective(korvo.exp(x) + y)
    q.solve()
    assert korvo.evaluate(korvo.exp(x) + y, problem=q) == pytest.approx(math.e + 2.0, rel=1e-6)
    assert korvo.evaluate(x * y, problem=q, solution=q.getSolution()) == pytest.approx(2.0, rel=1e-6)


def test_solution_values_by_index_name_and_index_array(quiet):
    x, y = korvo.var(name="x", lb=1, ub=3), korvo.var(name="y", lb=2, ub=5)
    p = korvo.problem()
    p.addVariable(x, y)
    p.setObjective(x + y)
    p.solve()
    assert p.getSolution({"e": korvo.exp(x) + y, "i": [1, ("x", b"y")]}) == {
        "e": pytest.approx(math.e + 2.0), "i": [2.0, (1.0, 2.0)]}
    assert p.getSolution(np.array([[1, 0]])).tolist() == [[2.0, 1.0]]
    with pytest.raises(korvo.ModelError, match="^Call to korvo.problem.getSolution\\(\\) contains an out-of-range index$"):
        p.getSolution([0, 2])
    with pytest.raises(korvo.ModelError, match="out-of-range index"):
        p.getSolution(np.array([-1]))


def test_objects_amended_during_evaluation_do_not_break_it(xyz):
    x, y, z = xyz
    s = korvo.exp(x) + korvo.sin(y)
    extra = [korvo.cos(z)] * 50

    def grow(v):
        global_sum[0] += extra.pop()  # amends the sum being evaluated
        return v

    global_sum = [s]
    s += korvo.user(grow, x)
    assert isinstance(korvo.evaluate(s, solution={x: 0.1, y: 0.2, z: 0.3}), float)
    def shrink(v):
        items.clear()  # empties the list being evaluated
        return v

    items = [korvo.user(shrink, x), y, {"z": y}]
    assert korvo.evaluate(items, solution={x: 1.0, y: 2.0}) == [1.0, 2.0, {"z": 2.0}]
    e = x + 2 * y + 3 * z

    class Amending(dict):
        def __getitem__(self, key):
            e.__isub__(key)  # changes the expression while its terms are read
            return dict.__getitem__(self, key)

    assert korvo.evaluate(e, solution=Amending({x: 1.0, y: 1.0, z: 1.0})) == 6.0
