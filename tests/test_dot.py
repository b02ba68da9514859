import numpy as np
import pytest
import scipy.sparse as sp

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

    def test_numbers_times_mixed_objects_match_operator_sums(self):
        x = korvo.vars(3)
        objs = np.array([2.0, x[0] + 1, x[1] * x[1] * x[2], x[2]], dtype=object)
        a = np.array([[1.5, 0.0, 2.0, -1.0], [0.5, 3.0, 1.0, 0.0]])
        r = korvo.Dot(a, objs)
        for i in range(2):
            expected = korvo.Sum(float(a[i, k]) * objs[k] for k in range(4) if a[i, k] != 0)
            assert (type(r[i]).__name__, str(r[i])) == (type(expected).__name__, str(expected))
        left = korvo.Dot(objs.reshape(1, 4), a.T)
        assert [str(e) for e in left[0]] == [str(e) for e in r]

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


def expression_forms(r):
    """Each element of an expression array as (type name, string form), in C order."""
    return [(type(e).__name__, str(e)) for e in r.ravel()]


def uncanonical_csr():
    # Row 0: unsorted with a duplicate; row 1: empty; row 2: explicit zero and a
    # duplicate pair that cancels; row 3: already canonical.
    indptr = np.array([0, 3, 3, 7, 9])
    indices = np.array([3, 0, 3, 1, 2, 1, 0, 0, 2])
    data = np.array([1.5, 2.0, 0.5, 4.0, 0.0, -4.0, 7.0, 1.0, 3.0])
    return sp.csr_matrix((data, indices, indptr), shape=(4, 4))


class TestSparse:
    FORMATS = [sp.csr_matrix, sp.csc_matrix, sp.coo_matrix, sp.csr_array, sp.coo_array, sp.lil_matrix]

    @pytest.mark.parametrize("fmt", FORMATS)
    def test_matches_dense_product(self, fmt):
        dense = np.array([[0.0, 2.0, 0.0, 1.5], [0.0, 0.0, 0.0, 0.0], [3.0, 0.0, -1.0, 0.0]])
        a = fmt(dense)
        x = korvo.vars(4)
        r = korvo.Dot(a, x)
        assert r.dtype == korvo.npexpr and r.shape == (3,)
        assert expression_forms(r) == expression_forms(korvo.Dot(dense, x))
        assert linear(r[0]) == {"x(1)": 2.0, "x(3)": 1.5} and linear(r[1]) == {}
        # Variables on the left meet the matrix's columns.
        y = korvo.vars(3, name="y")
        assert expression_forms(korvo.Dot(y, a)) == expression_forms(korvo.Dot(y, dense))
        # A 2-D right operand gives one expression per (row, column).
        grid = korvo.vars(4, 2, name="g")
        r2 = korvo.Dot(a, grid)
        assert r2.shape == (3, 2) and expression_forms(r2) == expression_forms(korvo.Dot(dense, grid))
        stack = korvo.vars(2, 4, 2, name="s")
        r3 = korvo.Dot(a, stack)
        assert r3.shape == (3, 2, 2) and expression_forms(r3) == expression_forms(korvo.Dot(dense, stack))
        left = korvo.vars(2, 3, name="h")
        assert expression_forms(korvo.Dot(left, a)) == expression_forms(korvo.Dot(left, dense))

    def test_expression_and_object_operands(self):
        dense = np.array([[1.0, 0.0, 2.0], [0.0, 0.0, 0.0], [0.0, -3.0, 0.5]])
        a = sp.csr_matrix(dense)
        x = korvo.vars(3)
        exprs = np.array([x[0] + 1, 2 * x[1], x[0] * x[2]], dtype=korvo.npexpr)
        objs = np.array([4.0, x[1] * x[1] * x[2], x[2] - 2], dtype=object)
        for operand in (exprs, objs):
            r = korvo.Dot(a, operand)
            assert expression_forms(r) == expression_forms(korvo.Dot(dense, operand))
            assert expression_forms(korvo.Dot(operand, a)) == expression_forms(korvo.Dot(operand, dense))
        assert quadratic(korvo.Dot(a, exprs)[0]) == {("x(0)", "x(2)"): 2.0}
        assert type(korvo.Dot(a, objs)[2]).__name__ == "nonlinear"
        # The operands are left as they were.
        assert linear(exprs[0]) == {"x(0)": 1.0}

    def test_explicit_zeros_duplicates_and_unsorted_rows(self):
        a = uncanonical_csr()
        assert not a.has_canonical_format
        dense = a.toarray()
        x = korvo.vars(4)
        r = korvo.Dot(a, x)
        assert [linear(e) for e in r] == [{"x(0)": 2.0, "x(3)": 2.0}, {}, {"x(0)": 7.0},
                                          {"x(0)": 1.0, "x(2)": 3.0}]
        assert expression_forms(r) == expression_forms(korvo.Dot(dense, x))
        assert expression_forms(korvo.Dot(x, a)) == expression_forms(korvo.Dot(x, dense))
        # Duplicates in coordinate form sum as well; a duplicate summing to zero leaves no term.
        coo = sp.coo_matrix(([1.0, 2.0, 5.0, -5.0], ([0, 0, 1, 1], [1, 1, 0, 0])), shape=(2, 2))
        assert [linear(e) for e in korvo.Dot(coo, korvo.vars(2, name="c"))] == [{"c(1)": 3.0}, {}]
        # The same variable twice in the operand sums into one term.
        v = korvo.var(name="v")
        twice = np.array([v, v], dtype=korvo.npvar)
        assert linear(korvo.Dot(sp.csr_matrix([[1.0, 2.0], [1.0, -1.0]]), twice)[0]) == {"v": 3.0}
        assert linear(korvo.Dot(sp.csr_matrix([[1.0, 2.0], [1.0, -1.0]]), twice)[1]) == {}

    @pytest.mark.parametrize("index_type", [np.int32, np.int64, np.uint16])
    @pytest.mark.parametrize("value_type", [np.int32, np.int64, np.float32, np.float64, np.bool_, np.uint8])
    def test_index_and_value_types(self, index_type, value_type):
        a = uncanonical_csr()
        a = sp.csr_matrix((a.data.astype(value_type), a.indices.astype(index_type), a.indptr.astype(index_type)),
                          shape=a.shape)
        x = korvo.vars(4)
        expected = korvo.Dot(a.astype(np.float64).toarray(), x)
        assert expression_forms(korvo.Dot(a, x)) == expression_forms(expected)

    def test_numeric_operands(self):
        rng = np.random.default_rng(3)
        dense = rng.standard_normal((5, 4)) * (rng.random((5, 4)) < 0.5)
        a = sp.csr_matrix(dense)
        for b in (rng.standard_normal(4), rng.standard_normal((4, 3)), rng.standard_normal((2, 4, 3))):
            r = korvo.Dot(a, b)
            assert isinstance(r, np.ndarray) and r.dtype == np.float64
            np.testing.assert_allclose(r, np.dot(dense, b), rtol=1e-12, atol=1e-12)
        for b in (rng.standard_normal(5), rng.standard_normal((2, 5))):
            np.testing.assert_allclose(korvo.Dot(b, a), np.dot(b, dense), rtol=1e-12, atol=1e-12)
        # Element types follow the dense rule; integers wrap as NumPy's do.
        ints = sp.csr_matrix(np.array([[2 ** 40, 0, 3], [0, 0, 0]], dtype=np.int64))
        v = np.array([2 ** 40, 5, 1], dtype=np.int64)
        assert korvo.Dot(ints, v).dtype == np.int64
        assert korvo.Dot(ints, v).tolist() == korvo.Dot(ints.toarray(), v).tolist()
        assert korvo.Dot(v[:2], ints).tolist() == korvo.Dot(v[:2], ints.toarray()).tolist()
        assert korvo.Dot(ints, v.astype(np.float32)).dtype == np.float32
        assert korvo.Dot(sp.csr_matrix(np.ones((2, 3), dtype=np.int32)), np.ones(3, dtype=np.int32)).dtype == np.int32

    def test_out(self):
        a = sp.csr_matrix(np.array([[1.0, 0.0], [0.0, 2.0], [0.0, 0.0]]))
        out = np.zeros(3)
        assert korvo.Dot(a, np.array([3.0, 4.0]), out=out) is out
        assert out.tolist() == [3.0, 8.0, 0.0]
        x = korvo.vars(2)
        eout = np.empty(3, dtype=korvo.npexpr)
        assert korvo.Dot(a, x, out=eout) is eout
        assert [linear(e) for e in eout] == [{"x(0)": 1.0}, {"x(1)": 2.0}, {}]
        with pytest.raises(korvo.ModelError, match="Output argument set with wrong type"):
            korvo.Dot(a, x, out=np.zeros(3))
        with pytest.raises(korvo.ModelError, match="Could not initialize result of dot product"):
            korvo.Dot(a, x, out=np.empty(2, dtype=korvo.npexpr))

    def test_reductions(self):
        a = sp.csr_matrix(np.eye(3))
        assert korvo.Dot(a) is a
        x = korvo.vars(3)
        chained = korvo.Dot(np.ones((1, 3)), a, x)
        assert chained.shape == (1,) and linear(chained[0]) == {"x(0)": 1.0, "x(1)": 1.0, "x(2)": 1.0}
        assert expression_forms(korvo.Dot([a, x])) == expression_forms(korvo.Dot(np.eye(3), x))

    def test_errors(self):
        a = sp.csr_matrix(np.ones((2, 3)))
        x = korvo.vars(3)
        cases = [
            ((a, korvo.vars(2)), "matching sizes in the multiplying dimension"),
            ((korvo.vars(3), a), "matching sizes in the multiplying dimension"),
            ((a, korvo.vars(2, 2)), "matching sizes in the multiplying dimension"),
            ((a, a.T), "two sparse matrices"),
            ((a, 2.0), "Dot product can only occur between NumPy arrays"),
            ((a, np.array(1.0)), "second one is a scalar"),
            ((np.array(1.0), a), "first one is a scalar"),
            ((a, np.ones(3, dtype=np.int16)), "Dot product must be between long, double"),
            ((sp.csr_matrix(np.ones((2, 3), dtype=np.complex128)), x), "Dot product must be between long, double"),
            ((sp.csr_matrix(np.ones((2, 3), dtype=np.uint8)), np.ones(3)), "Dot product must be between long"),
            ((sp.coo_array(np.ones(3)), x), "must have two dimensions"),
            ((a, np.array([x[0], "text", x[2]], dtype=object)), "Invalid object"),
        ]
        for args, text in cases:
            with pytest.raises(korvo.ModelError, match=text):
                korvo.Dot(*args)

    def test_malformed_structure_is_refused(self):
        class Rows:
            """An object that offers the sparse interface with chosen arrays."""

            def __init__(self, indptr, indices, data, shape):
                self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape
                self.nnz = len(data)

            def tocsr(self):
                return self

        x = korvo.vars(3)
        ok = Rows(np.array([0, 1, 2]), np.array([2, 0]), np.array([1.0, 2.0]), (2, 3))
        assert [linear(e) for e in korvo.Dot(ok, x)] == [{"x(2)": 1.0}, {"x(0)": 2.0}]
        bad = [
            Rows(np.array([0, 1, 2]), np.array([3, 0]), np.array([1.0, 2.0]), (2, 3)),   # column past the end
            Rows(np.array([0, 1, 2]), np.array([-1, 0]), np.array([1.0, 2.0]), (2, 3)),  # negative column
            Rows(np.array([0, 2, 1]), np.array([0, 1]), np.array([1.0, 2.0]), (2, 3)),   # decreasing pointers
            Rows(np.array([0, 1, 3]), np.array([0, 1]), np.array([1.0, 2.0]), (2, 3)),   # past the entries
            Rows(np.array([0, 1]), np.array([0, 1]), np.array([1.0, 2.0]), (2, 3)),      # too few pointers
            Rows(np.array([0.0, 1.0, 2.0]), np.array([0, 1]), np.array([1.0, 2.0]), (2, 3)),  # float pointers
            Rows(np.array([0, 1, 2]), np.array([0, 1]), np.array([1.0]), (2, 3)),        # too few values
            Rows(np.array([0, 1, 2]), np.array([0, 1]), np.array([[1.0, 2.0]]), (2, 3)),  # values not a vector
        ]
        for rows in bad:
            for args in ((rows, x), (korvo.vars(2, name="y"), rows)):
                with pytest.raises(korvo.ModelError, match="invalid structure"):
                    korvo.Dot(*args)

    def test_reference_counts(self):
        a = uncanonical_csr()
        x = korvo.vars(4)
        objs = np.array([x[0] * x[1], 1.5, x[2] + 1, x[3]], dtype=object)
        assert refcount_unchanged(lambda: korvo.Dot(a, x), x[0], x[3], a) == [0, 0, 0]
        assert refcount_unchanged(lambda: korvo.Dot(x, a), x[0], x[3], a) == [0, 0, 0]
        assert refcount_unchanged(lambda: korvo.Dot(a, objs), objs[0], objs[1], objs[2], x[3]) == [0, 0, 0, 0]
        assert refcount_unchanged(lambda: korvo.Dot(a, np.ones(4)), a) == [0]
        bad = np.array([x[0], "text", x[2], x[3]], dtype=object)

        def refused():
            with pytest.raises(korvo.ModelError):
                korvo.Dot(a, bad)

        assert refcount_unchanged(refused, x[0], bad[1], a) == [0, 0, 0]
