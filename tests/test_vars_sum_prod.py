import sys

import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


def linear(e):
    vs, cs = e.extractLinear()
    return {v.name: c for v, c in zip(vs, cs)}


class TestVarsArrays:
    def test_counts_give_named_array_in_row_major_order(self):
        x = korvo.vars(2, 3)
        assert isinstance(x, np.ndarray) and x.dtype == korvo.npvar and x.shape == (2, 3)
        assert [v.name for v in x.ravel()] == ["x(0,0)", "x(0,1)", "x(0,2)", "x(1,0)", "x(1,1)", "x(1,2)"]
        # Identities are consecutive in the same order.
        ids = [hash(v) for v in x.ravel()]
        assert ids == list(range(ids[0], ids[0] + 6))
        assert hash(korvo.var()) == ids[-1] + 1

    def test_numpy_integer_counts(self):
        x = korvo.vars(np.int64(2), np.int32(2), name="n")
        assert x.shape == (2, 2) and x[1, 1].name == "n(1,1)"

    def test_default_names_when_prefix_empty(self):
        x = korvo.vars(3, name="")
        assert [v.name for v in x] == [f"C{hash(v)}" for v in x]

    def test_shared_bounds_type_and_threshold(self):
        x = korvo.vars(2, 2, lb=-5, ub=3.5, threshold=2, vartype=korvo.semicontinuous)
        for v in x.ravel():
            assert (v.lb, v.ub, v.threshold, v.vartype) == (-5.0, 3.5, 2.0, korvo.semicontinuous)
        plain = korvo.vars(2)
        assert (plain[1].lb, plain[1].ub, plain[1].threshold, plain[1].vartype) == (0.0, 1e20, -1e20, 0)
        free = korvo.vars(1, lb=-1e20, ub=1)
        assert (free[0].lb, free[0].ub) == (-1e20, 1.0)
        b = korvo.vars(2, vartype=korvo.binary, lb=-3, ub=7)
        assert [(v.lb, v.ub, v.vartype) for v in b] == [(0.0, 1.0, korvo.binary)] * 2

    def test_variables_are_independent(self):
        x = korvo.vars(2, lb=2.5, name="w")
        x[0].lb = 7
        x[0].name = "first"
        assert (x[1].lb, x[1].name) == (2.5, "w(1)")

    def test_no_index_gives_one_variable(self):
        v = korvo.vars(lb=1, ub=4, name="single")
        assert isinstance(v, korvo.var) and (v.lb, v.ub, v.name) == (1.0, 4.0, "single")

    def test_long_prefix_is_cut(self):
        x = korvo.vars(1, name="p" * 3000)
        assert x[0].name == "p" * 255  # the length every name keeps in a problem


class TestVarsDicts:
    def test_keys_and_names(self):
        d = korvo.vars(["a", "b"], name="y")
        assert list(d) == ["a", "b"] and d["b"].name == "y(b)"
        d = korvo.vars([0, 1], ["a", "b", "c"])
        assert list(d) == [(i, s) for i in (0, 1) for s in "abc"]
        assert d[1, "c"].name == "x(1,c)"
        # A count next to a list contributes integers.
        d = korvo.vars(2, ("u",))
        assert list(d) == [(0, "u"), (1, "u")]

    def test_element_kinds_in_names(self):
        d = korvo.vars([1.5, b"raw", (1, 2), True], name="z")
        assert [v.name for v in d.values()] == ["z(1.5)", "z(raw)", "z((1,2))", "z(1)"]
        assert list(d) == [1.5, b"raw", (1, 2), True]

    def test_sets_and_ranges(self):
        d = korvo.vars({"p", "q"}, range(2))
        assert sorted(d) == [("p", 0), ("p", 1), ("q", 0), ("q", 1)]
        assert d["q", 1].name == "x(q,1)"

    def test_errors(self):
        cases = [
            (([1, 1],), {}, "Duplicate entry in vars: <x(1)>"),
            (([1, 2], ["a", "a"]), {}, "Duplicate entry in vars"),
            ((0,), {}, "must be positive"),
            ((-2,), {}, "must be positive"),
            (([],), {}, "Invalid index: empty dimension in creation of variables"),
            ((2, set()), {}, "empty dimension"),
            ((2,), dict(lb=5, ub=1), "Variables have empty feasible set: lower bound > upper bound"),
            (({"a": 1},), {}, "must have a tuple of lists, sets, iterable objects, or integer numbers"),
            ((2.5,), {}, "must have a tuple of lists"),
        ]
        for args, kwargs, text in cases:
            with pytest.raises(korvo.ModelError, match=text.replace("(", r"\(").replace(")", r"\)")):
                korvo.vars(*args, **kwargs)
        with pytest.raises(TypeError):
            korvo.vars(2, upper=3)

    def test_failed_call_leaves_no_variables_behind(self):
        key = "shared"

        def failing():
            with pytest.raises(korvo.ModelError):
                korvo.vars([key, key], lb=3)
        assert refcount_unchanged(failing, key, repeat=50) == [0]


class TestSum:
    def test_empty_and_constant_sums(self):
        for empty in (korvo.Sum(), korvo.Sum([]), korvo.Sum([None, None]), korvo.Sum(x for x in [])):
            assert isinstance(empty, korvo.expression) and linear(empty) == {}
        three = korvo.Sum(3)
        assert isinstance(three, korvo.expression) and str(three).strip() == "3"
        assert isinstance(korvo.Sum(np.array([1.5, 2.0])), korvo.expression)

    def test_containers(self):
        x = korvo.vars(3)
        expected = {"x(0)": 1.0, "x(1)": 1.0, "x(2)": 1.0}
        for total in (korvo.Sum(x), korvo.Sum(list(x)), korvo.Sum(*x), korvo.Sum(tuple(x)),
                      korvo.Sum(v for v in x), korvo.Sum({i: v for i, v in enumerate(x)}),
                      korvo.Sum(x.astype(object)), korvo.Sum([x[0], None, x[1], x[2]])):
            assert linear(total) == expected
        weighted = korvo.Sum(c * v for c, v in zip([1.0, 2.0, 3.0], x))
        assert linear(weighted) == {"x(0)": 1.0, "x(1)": 2.0, "x(2)": 3.0}
        grid = korvo.vars(2, 2)
        assert len(linear(korvo.Sum(grid.T))) == 4

    def test_terms_of_every_kind(self):
        x, y = korvo.vars(2)
        total = korvo.Sum([x, 2 * y, x * y, x + 1, 4, np.float64(0.5)])
        assert linear(total) == {"x(0)": 2.0, "x(1)": 2.0}
        _, _, quad = total.extractQuadratic()
        assert quad == [1.0]

    def test_inputs_are_not_modified(self):
        x, y = korvo.vars(2)
        e = x + 1
        korvo.Sum([e, y, 2 * y])
        korvo.Sum([e, e])
        assert linear(e) == {"x(0)": 1.0}
        f = x + y
        korvo.Prod([f, 3])
        assert linear(f) == {"x(0)": 1.0, "x(1)": 1.0}

    def test_numeric_arrays_and_errors(self):
        assert str(korvo.Sum(np.array([1, 2], dtype=np.int32))).strip() == "3"
        assert str(korvo.Sum(np.array([True, True]))).strip() == "2"
        with pytest.raises(korvo.ModelError, match="Incorrect objects used in Sum, Dot, Prod"):
            korvo.Sum(np.array([1, 2], dtype=np.int16))
        with pytest.raises(korvo.ModelError, match="Invalid object in Sum or Prod operators"):
            korvo.Sum(object())
        with pytest.raises(korvo.ModelError):
            korvo.Sum([korvo.var(), "text"])

    def test_large_sum_releases_its_terms(self):
        x = korvo.vars(1000)
        probe = x[5]
        before = sys.getrefcount(probe)
        total = korvo.Sum(x)
        assert sys.getrefcount(probe) == before + 1
        terms = len(total.extractLinear()[0])
        del total
        assert terms == 1000
        assert sys.getrefcount(probe) == before

    def test_reference_counts(self):
        x = korvo.vars(3)
        e = x[0] + 2
        assert refcount_unchanged(lambda: korvo.Sum([x[0], e, None, 2 * x[1]]), x[0], x[1], e) == [0, 0, 0]


class TestProd:
    def test_results(self):
        assert korvo.Prod() == 0.0 and type(korvo.Prod()) is float
        assert korvo.Prod([]) == 0.0
        assert korvo.Prod(2, 3) == 6.0
        x, y = korvo.vars(2)
        assert linear(korvo.Prod([x, 2, None, 3])) == {"x(0)": 6.0}
        xy = korvo.Prod(x, y)
        assert xy.extractQuadratic()[2] == [1.0]
        assert type(korvo.Prod(x, y, x)).__name__ == "nonlinear"
        with pytest.raises(korvo.ModelError, match="Invalid object in Sum or Prod operators"):
            korvo.Prod("abc" if False else object())
