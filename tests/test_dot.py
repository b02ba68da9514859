import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


def linear(e):
    vs, cs = e.extractLinear()
    return {v.name: c for v, c in zip(vs, cs)}


def quadratic(e):
    v1, v2, cs = e.extractQuadratic()
    return {(a.name, b.name): c for a, b, c in zip(v1, v2, cs)}


class TestNumeric:
    @pytest.mark.parametrize("sa,sb", [((3,), (3,)), ((2, 3), (3,)), ((3,), (3, 4)), ((2, 3), (3, 4)),
                                       ((2, 2, 3), (3, 4)), ((2, 3), (5, 3, 2)), ((2, 3, 4), (5, 4, 6)),
                                       ((0, 3), (3, 2)), ((2, 0), (0, 3))])
    def test_matches_numpy_shapes_and_values(self, sa, sb):
        rng = np.random.default_rng(7)
        a, b = rng.standard_normal(sa), rng.standard_normal(sb)
        r = korvo.Dot(a, b)
        expected = np.dot(a, b)
        assert isinstance(r, np.ndarray) and r.shape == expected.shape and r.dtype == np.float64
        np.testing.assert_allclose(r, expected, rtol=1e-12, atol=1e-12)

    def test_element_types(self):
        i64 = np.array([1, 2, 3], dtype=np.int64)
        r = korvo.Dot(i64, np.array([4, 5, 6], dtype=np.int64))
        assert r.shape == () and r.dtype == np.int64 and int(r) == 32
        i32 = i64.astype(np.int32)
        assert korvo.Dot(i32, i32).dtype == np.int32
        assert korvo.Dot(i32, i64).dtype == np.int64
        f32 = i64.astype(np.float32)
        assert korvo.Dot(f32, f32).dtype == np.float32
        assert korvo.Dot(f32, i64).dtype == np.float32
        assert korvo.Dot(i64, i64.astype(np.float64)).dtype == np.float64
        big = np.array([2 ** 40, 3], dtype=np.int64)
        assert int(korvo.Dot(big, big)) == 2 ** 80 % 2 ** 64 + 9

    def test_chain_and_container(self):
        a, b, c = np.ones((2, 3)), np.full((3, 4), 2.0), np.arange(4.0)
        expected = a.dot(b).dot(c)
        np.testing.assert_allclose(korvo.Dot(a, b, c), expected)
        np.testing.assert_allclose(korvo.Dot([a, b, c]), expected)

    def test_scalars(self):
        assert korvo.Dot(np.array(2.0), np.array(3)) == 6.0
        x = korvo.var(name="s")
        term = korvo.Dot(np.array(4.0), np.array(x, dtype=object))
        assert linear(term) == {"s": 4.0}


class TestExpressions:
    def test_matrix_times_variables(self):
        x = korvo.vars(3)
        a = np.array([[1.0, 0.0, 2.0], [3.0, 4.0, 5.0]])
        r = korvo.Dot(a, x)
        assert r.dtype == korvo.npexpr and r.shape == (2,)
        assert all(isinstance(e, korvo.expression) for e in r)
        assert linear(r[0]) == {"x(0)": 1.0, "x(2)": 2.0}
        assert linear(r[1]) == {"x(0)": 3.0, "x(1)": 4.0, "x(2)": 5.0}
        # Variables on the left, integers on the right.
        left = korvo.Dot(x, np.array([[1, 2], [3, 4], [5, 6]]))
        assert [linear(e) for e in left] == [{"x(0)": 1.0, "x(1)": 3.0, "x(2)": 5.0},
                                             {"x(0)": 2.0, "x(1)": 4.0, "x(2)": 6.0}]

    def test_strided_and_transposed_operands(self):
        x = korvo.vars(6)
        a = np.arange(12.0).reshape(3, 4)
        r = korvo.Dot(a.T[:3], x[::2])
        assert [linear(e) for e in r] == [{"x(2)": 4.0, "x(4)": 8.0}, {"x(0)": 1.0, "x(2)": 5.0, "x(4)": 9.0},
                                          {"x(0)": 2.0, "x(2)": 6.0, "x(4)": 10.0}]
        cubic = x[0] * x[1] * x[2]
        assert type(cubic).__name__ == "nonlinear"
        # A zero coefficient drops a nonlinear element like any other.
        e = korvo.Dot(np.array([0.0, 1.0]), np.array([cubic, x[1]], dtype=object))[()]
        assert isinstance(e, korvo.expression) and linear(e) == {"x(1)": 1.0}

    def test_variables_times_variables(self):
        x = korvo.vars(2)
        r = korvo.Dot(x, x)
        assert r.shape == () and r.dtype == korvo.npexpr
        e = r[()]
        assert linear(e) == {} and quadratic(e) == {("x(0)", "x(0)"): 1.0, ("x(1)", "x(1)"): 1.0}
        y = korvo.vars(2, name="y")
        cross = korvo.Dot(x, y)[()]
        assert quadratic(cross) == {("x(0)", "y(0)"): 1.0, ("x(1)", "y(1)"): 1.0}
        grid = korvo.Dot(x.reshape(2, 1), y.reshape(1, 2))
        assert grid.shape == (2, 2) and quadratic(grid[1, 0]) == {("x(1)", "y(0)"): 1.0}

    def test_object_arrays_with_numbers_terms_and_nonlinear(self):
        x, y = korvo.vars(2)
        left = np.array([2.0, x + 1, 3 * y, x * y], dtype=object)
        right = np.array([5.0, 2.0, 1.0, 1.0], dtype=object)
        e = korvo.Dot(left, right)[()]
        assert isinstance(e, korvo.expression)
        assert linear(e) == {"x(0)": 2.0, "x(1)": 3.0}
        assert quadratic(e) == {("x(0)", "x(1)"): 1.0}
        assert str(e).count("12") == 1  # constant 2*5 + 1*2
        cubic = korvo.Dot(np.array([x * y], dtype=object), np.array([x], dtype=object))[()]
        assert type(cubic).__name__ == "nonlinear"

    def test_operands_unchanged(self):
        x = korvo.vars(2)
        e = np.array([x[0] + 1, x[1]], dtype=object)
        korvo.Dot(e, np.array([2.0, 3.0]))
        assert linear(e[0]) == {"x(0)": 1.0}

    def test_reference_counts(self):
        x = korvo.vars(3)
        a = np.arange(6.0).reshape(2, 3)
        assert refcount_unchanged(lambda: korvo.Dot(a, x), x[0], x[2], a) == [0, 0, 0]
        assert refcount_unchanged(lambda: korvo.Dot(x, x), x[1]) == [0]
        objs = np.array([x[0] * x[1], 1.5, x[2]], dtype=object)
        assert refcount_unchanged(lambda: korvo.Dot(objs, x), x[0], x[1], objs[1]) == [0, 0, 0]


class TestOut:
    def test_numeric_out(self):
        a, b = np.arange(6.0).reshape(2, 3), np.ones(3)
        out = np.zeros(2)
        r = korvo.Dot(a, b, out=out)
        assert r is out
        np.testing.assert_allclose(out, [3.0, 12.0])
        i = np.arange(3)
        iout = np.zeros((), dtype=np.int64)
        assert korvo.Dot(i, i, out=iout) is iout and int(iout) == 5

    def test_expression_out(self):
        x = korvo.vars(2)
        out = np.empty(2, dtype=korvo.npexpr)
        korvo.Dot(np.eye(2), x, out=out)
        assert [linear(e) for e in out] == [{"x(0)": 1.0}, {"x(1)": 1.0}]
        obj_out = np.empty(2, dtype=object)
        korvo.Dot(np.eye(2), x, out=obj_out)
        assert linear(obj_out[1]) == {"x(1)": 1.0}

    def test_wrong_out(self):
        a, b = np.ones((2, 3)), np.ones(3)
        message = "Output argument set with wrong type"
        for out in (np.zeros(2, dtype=np.int64), np.zeros(2, dtype=np.float32), [0.0, 0.0]):
            with pytest.raises(korvo.ModelError, match=message):
                korvo.Dot(a, b, out=out)
        with pytest.raises(korvo.ModelError, match=message):
            korvo.Dot(a, korvo.vars(3), out=np.zeros(2))
        with pytest.raises(korvo.ModelError, match="Could not initialize result of dot product"):
            korvo.Dot(a, b, out=np.zeros(3))


def test_reductions_and_errors():
    a = np.ones((2, 3))
    assert korvo.Dot(a) is a
    assert korvo.Dot() == 0.0 and type(korvo.Dot()) is float
    cases = [
        ((a, 2.0), "Dot product can only occur between NumPy arrays"),
        ((2.0,), "Dot product should only be on NumPy arrays"),
        ((np.ones(3), np.ones(4)), "matching sizes in the multiplying dimension"),
        ((np.ones((2, 3)), np.ones((2, 3))), "matching sizes in the multiplying dimension"),
        ((np.array(1.0), a), "first one is a scalar"),
        ((a, np.array(1.0)), "second one is a scalar"),
        ((np.ones(3, dtype=np.int16), np.ones(3)), "Dot product must be between long, double, and expressions"),
        ((np.array(["a", "b", "c"]), np.ones(3)), "Dot product must be between long, double"),
        ((np.array([korvo.var(), "text"], dtype=object), np.ones(2)), "Invalid object"),
    ]
    for args, text in cases:
        with pytest.raises(korvo.ModelError, match=text):
            korvo.Dot(*args)
