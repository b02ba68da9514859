import os
import sys

import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


def variables(n, prefix="x"):
    return np.array([korvo.var(name=f"{prefix}{i}") for i in range(n)], dtype=korvo.npvar)


def linear(e):
    """The linear part of any modelling object as {name: coefficient}."""
    vs, cs = e.extractLinear()
    return {v.name: c for v, c in zip(vs, cs)}


def test_registered_types():
    for dtype, scalar_type, char, field in [
        (korvo.npvar, korvo.var, "v", "variable"),
        (korvo.npexpr, korvo.expression, "e", "expression"),
        (korvo.npconstraint, korvo.constraint, "c", "constraint"),
    ]:
        assert dtype.type is scalar_type
        assert dtype.char == char
        assert dtype.names == (field,)
        assert dtype.itemsize == np.dtype(object).itemsize
    assert len({korvo.npvar.num, korvo.npexpr.num, korvo.npconstraint.num}) == 3


class TestArithmeticLoops:
    def test_scalar_number_on_either_side(self):
        x = variables(3)
        for result in (x + 1, 1 + x, x + 1.5, x - 2, 3 - x):
            assert result.dtype == korvo.npexpr
            assert result.shape == (3,)
        assert [linear(e) for e in x + 1] == [{"x0": 1.0}, {"x1": 1.0}, {"x2": 1.0}]
        assert [linear(e) for e in 3 - x] == [{"x0": -1.0}, {"x1": -1.0}, {"x2": -1.0}]

    def test_products_give_terms_and_zeros(self):
        x = variables(3)
        twice = 2 * x
        assert twice.dtype == korvo.npexpr
        assert [type(e).__name__ for e in twice] == ["linterm"] * 3
        assert [linear(e) for e in x * 2.5] == [{"x0": 2.5}, {"x1": 2.5}, {"x2": 2.5}]
        zeros = x * 0
        assert zeros.dtype == korvo.npexpr
        assert all(type(e) is float and e == 0.0 for e in zeros)

    def test_elementwise_pairs_and_broadcasting(self):
        x, y = variables(3, "x"), variables(3, "y")
        d = x - y
        assert [linear(e) for e in d] == [{"x0": 1.0, "y0": -1.0}, {"x1": 1.0, "y1": -1.0},
                                          {"x2": 1.0, "y2": -1.0}]
        grid = variables(6).reshape(2, 3)
        shifted = grid + np.array([1.0, 2.0, 3.0])
        assert shifted.shape == (2, 3) and shifted.dtype == korvo.npexpr
        # The float constant of each column reaches every row.
        assert [[korvo.Sum([e]).extractLinear()[1] for e in row] for row in shifted] == [[[1.0]] * 3] * 2
        scaled = grid * np.array([[1.0], [3.0]])
        assert linear(scaled[1, 2]) == {"x5": 3.0}
        # Float constants that change along the array are not confused by reuse of boxed floats.
        ramp = x * np.array([1.0, 1.0, 2.0])
        assert [linear(e) for e in ramp] == [{"x0": 1.0}, {"x1": 1.0}, {"x2": 2.0}]
        signed = x * np.array([0.0, -0.0, 1.0])
        assert [e for e in signed[:2]] == [0.0, 0.0]

    def test_negative_square_power_and_division(self):
        x = variables(2)
        neg = -x
        assert neg.dtype == korvo.npexpr
        assert [linear(e) for e in neg] == [{"x0": -1.0}, {"x1": -1.0}]
        for squares in (np.square(x), x ** 2):
            assert squares.dtype == korvo.npexpr
            assert [type(e).__name__ for e in squares] == ["quadterm"] * 2
            vs1, vs2, cs = squares[1].extractQuadratic()
            assert [v.name for v in vs1] == ["x1"] and [v.name for v in vs2] == ["x1"] and cs == [1.0]
        assert [linear(e) for e in x / 4] == [{"x0": 0.25}, {"x1": 0.25}]
        assert all(type(e).__name__ == "nonlinear" for e in 2 / x)
        assert all(type(e).__name__ == "nonlinear" for e in (x & x))
        assert all(type(e).__name__ == "nonlinear" for e in (x | 1.0))

    def test_expression_arrays_combine_with_variable_arrays(self):
        x = variables(2)
        e = (x + 1).astype(korvo.npexpr)
        total = e + x
        assert total.dtype == korvo.npexpr
        assert [linear(t) for t in total] == [{"x0": 2.0}, {"x1": 2.0}]
        # The operands are left as they were.
        assert [linear(t) for t in e] == [{"x0": 1.0}, {"x1": 1.0}]

    def test_single_modelling_object_with_array(self):
        x = variables(2)
        v = korvo.var(name="v")
        for result in (x + v, v + x, x * v):
            assert result.dtype == korvo.npexpr
        assert [linear(t) for t in x + v] == [{"x0": 1.0, "v": 1.0}, {"x1": 1.0, "v": 1.0}]

    def test_failing_element_raises_and_releases(self):
        x = variables(3)
        with pytest.raises(korvo.ModelError):
            x / 0
        bad = np.array([x[0], "text", x[2]], dtype=object)
        with pytest.raises(korvo.ModelError):
            np.add(x, bad)

        def failing():
            with pytest.raises(korvo.ModelError):
                np.add(x, bad)
        assert refcount_unchanged(failing, x[0], x[2], bad[1]) == [0, 0, 0]


class TestComparisonLoops:
    def test_bound_on_each_element(self):
        x = variables(3)
        cons = x <= 5
        assert cons.dtype == korvo.npconstraint and cons.shape == (3,)
        assert all(isinstance(c, korvo.constraint) for c in cons)
        assert [c.ub for c in cons] == [5.0] * 3
        assert [c.lb for c in cons] == [-1e20] * 3
        ge = x >= np.array([1.0, 2.0, 3.0])
        assert [c.lb for c in ge] == [1.0, 2.0, 3.0]
        eq = 4 == x
        assert eq.dtype == korvo.npconstraint
        assert [(c.lb, c.ub) for c in eq] == [(4.0, 4.0)] * 3

    def test_pairs_of_arrays(self):
        x, y = variables(2, "x"), variables(2, "y")
        cons = x == y
        assert cons.dtype == korvo.npconstraint
        assert [linear(c.body) for c in cons] == [{"x0": 1.0, "y0": -1.0}, {"x1": 1.0, "y1": -1.0}]
        assert [(c.lb, c.ub) for c in cons] == [(0.0, 0.0)] * 2

    def test_single_variable_against_array_gives_constraints(self):
        x = variables(2)
        v = korvo.var(name="v")
        cons = x <= v
        assert cons.dtype == korvo.npconstraint
        assert [linear(c.body) for c in cons] == [{"x0": 1.0, "v": -1.0}, {"x1": 1.0, "v": -1.0}]


class TestNonzero:
    def test_expressions_by_content(self):
        empties = np.array([korvo.expression() for _ in range(3)], dtype=object).astype(korvo.npexpr)
        assert empties.dtype == korvo.npexpr
        assert len(empties.nonzero()[0]) == 0
        assert not bool(empties[:1])
        x = korvo.var()
        cancelled = korvo.Sum([x, 1.0]) - x - 1.0
        assert isinstance(cancelled, korvo.expression)
        mixed = np.array([korvo.expression(), korvo.Sum(2.0), cancelled, x + 0.0], dtype=object).astype(korvo.npexpr)
        assert list(mixed.nonzero()[0]) == [1, 3]

    def test_variables_and_constraints_always_true(self):
        x = variables(3)
        assert list(x.nonzero()[0]) == [0, 1, 2]
        assert list((x <= 0).nonzero()[0]) == [0, 1, 2]


class TestCasts:
    def test_elements_are_the_same_objects(self):
        x = variables(3)
        for dtype in (korvo.npexpr, object):
            cast = x.astype(dtype)
            assert cast.dtype == dtype
            assert all(a is b for a, b in zip(cast, x))
        back = x.astype(object).astype(korvo.npvar)
        assert back.dtype == korvo.npvar and all(a is b for a, b in zip(back, x))
        via_expr = x.astype(korvo.npexpr).astype(korvo.npvar)
        assert all(a is b for a, b in zip(via_expr, x))

    def test_list_to_typed_array(self):
        vs = [korvo.var() for _ in range(4)]
        arr = np.array(vs, dtype=korvo.npvar).reshape(2, 2)
        assert arr[1, 0] is vs[2]
        arr[1, 0] = vs[0]
        assert arr[1, 0] is vs[0]


def test_reference_counts_around_loops_and_copies():
    x = variables(4)
    y = variables(4, "y")
    v = korvo.var()

    def work():
        a = x + 1.0
        b = 2.0 * x - y
        c = x <= 3
        d = x == y
        e = x.astype(korvo.npexpr).astype(object).copy()
        f = -x
        g = x + v
        h = np.square(y)
        x[1:3].copy()
        del a, b, c, d, e, f, g, h
    assert refcount_unchanged(work, x[0], x[3], y[2], v) == [0, 0, 0, 0]
    # Arrays release their elements when they die.
    probe = korvo.var()
    before = sys.getrefcount(probe)
    arr = np.array([probe] * 5, dtype=korvo.npvar)
    assert sys.getrefcount(probe) == before + 5
    del arr
    assert sys.getrefcount(probe) == before


class TestLoopsAgreeWithScalarOperations:
    """Every element of an array operation equals the scalar operation on the
    elements: same kind, same string, same coefficients in the same order."""

    @staticmethod
    def same(a, b):
        assert type(a) is type(b), (a, b)
        if isinstance(a, korvo.constraint):
            assert (a.lb, a.ub) == (b.lb, b.ub)
            a, b = a.body, b.body
            assert type(a) is type(b)
        assert str(a) == str(b)
        if not isinstance(a, float):
            assert a.extractLinear() == b.extractLinear()
            assert a.extractQuadratic() == b.extractQuadratic()

    @staticmethod
    def mixed(rng, vs, n):
        def one():
            r = rng.random()
            v, w = vs[rng.randrange(len(vs))], vs[rng.randrange(len(vs))]
            if r < 0.1:
                return rng.choice([0.0, 1.0, -2.5])
            if r < 0.3:
                return v
            if r < 0.5:
                return rng.choice([-1.0, 3.0, 0.5]) * v
            if r < 0.6:
                return 2.0 * v * w
            return v - 2 * w + rng.choice([0.0, 1.5])
        return np.array([one() for _ in range(n)], dtype=object).astype(korvo.npexpr)

    def test_random_elements(self):
        import random
        rng = random.Random(11)
        vs = [korvo.var(name=f"v{i}") for i in range(6)]
        a, b = self.mixed(rng, vs, 60), self.mixed(rng, vs, 60)
        numbers = np.array([rng.choice([0.0, 1.0, -3.0, 0.25]) for _ in range(60)])
        import operator
        for ufunc, op in ((np.add, operator.add), (np.subtract, operator.sub), (np.multiply, operator.mul),
                          (np.less_equal, operator.le), (np.equal, operator.eq), (np.greater_equal, operator.ge)):
            for left, right in ((a, b), (a, numbers), (numbers, b), (a, a)):
                result = ufunc(left, right)
                for i in range(60):
                    x, y = left[i], right[i]
                    if isinstance(x, float) and (isinstance(y, float) or ufunc in (np.less_equal, np.equal,
                                                                                   np.greater_equal)):
                        # Python reflects a comparison with a number on the left (the loop
                        # does not), and two numbers give a constant constraint
                        continue
                    self.same(result[i], op(x, float(y) if isinstance(y, np.floating) else y))
        for k in (1.0, 4.0, -0.5):
            scaled = [e for e in a if not isinstance(e, float)]
            for x, y in zip(np.array(scaled, dtype=object).astype(korvo.npexpr) / k, scaled):
                self.same(x, y / k)

    def test_chained_difference_scheme(self):
        # y[i+1, j] - y[i, j] over a grid with neighbours, as in a discretised PDE
        y = np.array([[korvo.var(name=f"y{i}_{j}") for j in range(5)] for i in range(3)], dtype=korvo.npvar)
        inner, up = y[:-1, 1:-1], y[1:, 1:-1]
        cons = (up - inner) / 0.5 - 0.5 * (y[:-1, :-2] - 2 * inner + y[:-1, 2:]) / 0.25 == 1
        assert cons.dtype == korvo.npconstraint and cons.shape == (2, 3)
        for i in range(2):
            for j in range(3):
                c = cons[i, j]
                assert (c.lb, c.ub) == (1.0, 1.0)
                vs, cs = c.body.extractLinear()
                names = [v.name for v in vs]
                assert names == [f"y{i}_{j}", f"y{i}_{j + 1}", f"y{i}_{j + 2}", f"y{i + 1}_{j + 1}"]
                assert cs == [-2.0, -2.0 + 4.0, -2.0, 2.0]

    def test_reference_counts_of_mixed_elements(self):
        import random
        rng = random.Random(3)
        vs = [korvo.var() for _ in range(4)]
        a, b = self.mixed(rng, vs, 20), self.mixed(rng, vs, 20)

        def work():
            for r in (a + b, a - b, a * 2.0, a / 4.0, b - a, a >= b, a == 0.0, -a, a - a):
                del r
        assert refcount_unchanged(work, *vs) == [0] * 4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer keeps freed memory in quarantine")
def test_memory_of_dropped_temporaries_is_reused_and_bounded():
    # Array operations keep a bounded stock of the object arenas their
    # dropped temporaries leave behind: repeating an operation reuses them,
    # and dropping a large result gives all but that stock back.

    def resident_mib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    x = korvo.vars(800, 800)
    base = resident_mib()
    rounds = []
    for _ in range(3):
        e = (x - 2.0 * x.T) + 1.0  # over 200 MiB of objects per round, half of them temporaries
        assert e.shape == (800, 800) and str(e[1, 2]) == "1 + x(1,2) -2 x(2,1)"
        rounds.append(resident_mib())
        del e
    after = resident_mib()
    assert rounds[2] - rounds[0] < 30, rounds   # no growth from round to round
    assert after - base < 64 + 30, (base, rounds, after)  # the stock is bounded
