"""korvo.constraint and korvo.sos: comparisons, constructor forms, names, copies."""
import gc
import sys

import numpy as np
import pytest

import korvo
from conftest import refcount_unchanged


@pytest.fixture
def xy():
    return korvo.var(name="x"), korvo.var(name="y")


def test_comparison_splits_body_and_right_hand_side(xy):
    x, y = xy
    c = x <= 4
    assert type(c.body) is korvo.expression and str(c.body) == "  x"
    assert (c.lb, c.ub) == (-1e20, 4.0)
    assert c.name == str(c) == repr(c) == "R%d" % int(c.name[1:])
    c = x + 3 == 2 * y + 5
    assert str(c.body) == "  x -2 y" and (c.lb, c.ub) == (2.0, 2.0)
    c = 3 >= x  # reflected by Python into x <= 3
    assert str(c.body) == "  x" and (c.lb, c.ub) == (-1e20, 3.0)
    c = x == y
    assert str(c.body) == "  x - y" and (c.lb, c.ub) == (0.0, 0.0)
    c = x * y >= 1
    assert str(c.body) == "  x*y" and (c.lb, c.ub) == (1.0, 1e20)
    c = 2 * x >= 0
    assert str(c.body) == "2*x" and c.lb == 0.0
    c = x / y <= 2
    assert type(c.body).__name__ == "nonlinear" and c.ub == 2.0


def test_constant_on_the_left_of_a_nonlinear_difference_becomes_a_bound(xy):
    x, y = xy
    c = 5 - x / y <= 0  # x/y >= 5
    assert str(c.body) == "(x / y)" and (c.lb, c.ub) == (5.0, 1e20)
    c = 5 - x / y >= 0
    assert (c.lb, c.ub) == (-1e20, 5.0)


@pytest.mark.parametrize("compare", [lambda x: x < 1, lambda x: x > 1, lambda x: x != 1, lambda x: x * x < x])
def test_strict_comparisons_are_refused(xy, compare):
    x, _ = xy
    with pytest.raises(korvo.ModelError, match=r"^Invalid constraint: cannot enforce f\(x\) != 0, f\(x\) > 0, or f\(x\) < 0$"):
        compare(x)


def test_comparisons_with_object_arrays_build_constraint_arrays(xy):
    x, y = xy
    cons = x <= np.array([1.0, 2.0])
    assert [(str(c.body), c.ub) for c in cons] == [("  x", 1.0), ("  x", 2.0)]
    cons = x >= np.array([y, 3], dtype=object)  # each element compares as y <= x
    assert [(str(c.body), c.lb, c.ub) for c in cons] == [(" - x + y", -1e20, 0.0), ("  x", 3.0, 1e20)]


def test_comparison_shares_its_expression_and_freezes_it(xy):
    # x + 2y <= 4 takes the expression itself as the body rather than a copy;
    # amending that expression afterwards (+=, -=, *=, /=) gives a new
    # expression and never changes the constraint, whether or not it is in a problem.
    x, y = xy
    z = korvo.var(name="z")
    p = korvo.problem()
    p.addVariable(x, y, z)
    for amend, expected in ((lambda e: e.__iadd__(z), "  x +2 y + z"), (lambda e: e.__isub__(x), " 2 y"),
                            (lambda e: e.__imul__(3), " 3 x +6 y"), (lambda e: e.__itruediv__(2), " 0.5 x + y")):
        e = x + 2 * y
        c = e <= 4
        assert c.body is e and (c.lb, c.ub) == (-1e20, 4.0)
        p.addConstraint(c)
        amended = amend(e)
        assert amended is not e and str(amended) == expected
        assert str(c.body) == str(e) == "  x +2 y" and c.ub == 4.0
    # the problem's rows are the bodies as compared
    p.setObjective(-x - y + z)
    p.solve()
    assert p.getObjVal() == pytest.approx(-4.0)   # x = 4 under x + 2y <= 4 (four times)
    # an expression never compared is still amended in place
    e = x + y
    alias = e
    e += z
    assert e is alias and str(alias) == "  x + y + z"
    # a constant in the expression is moved to the bound of a new body; the operand keeps it
    e = x + 2 * y + 1
    c = e >= 3
    assert c.body is not e and str(c.body) == "  x +2 y" and c.lb == 2.0 and str(e) == "1 + x +2 y"
    e += z
    assert str(e) == "1 + x +2 y + z"


def test_array_comparison_shares_elements_and_keeps_bounds(xy):
    x, y = xy
    z = korvo.var(name="z")
    v = korvo.vars(3, name="v")
    e = v + np.array([x + y, x - 2 * y, 3 * x + z], dtype=object)
    tracked = [x, y, z] + list(v)
    for op, bounds in ((lambda a: a == 0, (0.0, 0.0)), (lambda a: a <= 1.5, (-1e20, 1.5)), (lambda a: a >= -2, (-2.0, 1e20))):
        cons = op(e)
        assert all(c.body is b for c, b in zip(cons, e)) and {(c.lb, c.ub) for c in cons} == {bounds}
    cons = e == 0
    e[1] += z                                 # a new element; the constraint keeps the old one
    assert str(cons[1].body) == "  x -2 y + v(1)" and str(e[1]) == "  x -2 y + z + v(1)"
    del cons
    # comparisons made and dropped give back every reference, shared bodies included
    assert refcount_unchanged(lambda: (e == 0, e * 2.0 <= 1), *tracked) == [0] * len(tracked)


def test_constructor_forms(xy):
    x, y = xy
    c = korvo.constraint(body=x, sense=korvo.eq, rhs=2)
    assert (c.lb, c.ub) == (2.0, 2.0) and c.body is x
    c = korvo.constraint(body=x + y, sense=korvo.geq, rhs=1.5, name="low")
    assert (c.lb, c.ub, c.name) == (1.5, 1e20, "low")
    c = korvo.constraint(body=x, lb=1)
    assert (c.lb, c.ub) == (1.0, 1e20)
    c = korvo.constraint(body=x, sense=korvo.range, rhs=4)
    assert (c.lb, c.ub) == (-1e20, 1e20)
    assert korvo.constraint(body=x, lb=3, ub=2.9999995).ub == 2.9999995
    d = korvo.constraint(constraint=c, name="again")
    assert d.body is c.body and (d.lb, d.ub, d.name) == (c.lb, c.ub, "again")
    num = korvo.constraint(body=np.array([[x * 2, y], [y, x]], dtype=object), ub=1)
    assert str(num.body) == "2*x"
    # A two-sided constraint: the body given first, by position.
    two_sided = korvo.constraint(x + y, lb=1, ub=3)
    assert (two_sided.lb, two_sided.ub, str(two_sided.body).strip()) == (1.0, 3.0, "x + y")
    p = korvo.problem(x, y, two_sided, x + y)
    p.setControl("outputlog", 0)
    p.solve()
    assert p.getObjVal() == pytest.approx(1.0)
    with pytest.raises(korvo.ModelError, match="^Arguments required"):
        korvo.constraint(x + y)


def test_constructor_messages(xy):
    x, _ = xy
    with pytest.raises(korvo.ModelError, match=r"^Cannot create constraint by specifying both rhs AND lb/ub\.$"):
        korvo.constraint(body=x, sense=korvo.eq, rhs=2, lb=0)
    with pytest.raises(korvo.ModelError, match=r"^Arguments required for korvo.constraint\(\): constraint OR \{body, lb and/or ub\} OR \{body,sense,rhs\}\.$"):
        korvo.constraint(body=x)
    with pytest.raises(korvo.ModelError, match="^Constraint defined infeasible: lower bound > upper bound$"):
        korvo.constraint(body=x, lb=3, ub=2.99)
    with pytest.raises(korvo.ModelError, match="^Invalid expression passed as body of constraint$"):
        korvo.constraint(body="x", lb=0)
    with pytest.raises(korvo.ModelError, match=r"^Attempt to generate an empty constraint failed\. Consider using korvo\.constraint\(body=\.\.\., sense=\.\.\., rhs=\.\.\.\) instead\.$"):
        korvo.constraint(constraint=x)


def test_attributes_and_body_rules(xy):
    x, y = xy
    c = x + y <= 1
    c.lb, c.ub, c.name = -2, 7.5, "cap"
    assert (c.lb, c.ub, c.name, str(c)) == (-2.0, 7.5, "cap", "cap")
    c.body = x
    assert c.body is x
    assert c.__dict__ == dict.fromkeys(["lb", "ub", "name", "body", "copy"])
    assert c.__class__ is korvo.constraint
    with pytest.raises(korvo.InterfaceError):
        del c.lb
    del c.body
    with pytest.raises(AttributeError):
        c.body
    assert korvo.constraint.body.__doc__ == "Constraint body"


def test_copy_naming_and_independence(xy):
    x, y = xy
    c = x + y <= 4
    ident = int(c.name[1:])
    d = c.copy()
    assert d.name == "R%d_copy_R%d" % (ident, ident)
    assert int(korvo.constraint(body=x, lb=0).name[1:]) > ident + 1
    assert d.body is not c.body and str(d.body) == str(c.body) and (d.lb, d.ub) == (c.lb, c.ub)
    c.name = "cap"
    assert c.copy().name == "R%d_copy_cap" % ident


def test_constraint_side_tables_and_references(xy):
    x, y = xy
    name = "unique-constraint-name"

    def churn():
        c = korvo.constraint(body=x + y, lb=-3.5, ub=2.25, name=name)
        c.copy()
        x * y + x <= 2.5

    assert refcount_unchanged(churn, x, y, name) == [0, 0, 0]


def test_sos(xy):
    x, y = xy
    s = korvo.sos([x, y], [1, 2])
    assert s.name == str(s) == "sos%d" % int(s.name[3:])
    t = korvo.sos([x, y], [1, 2], 2, "s2")
    assert str(t) == "s2"
    c = t.copy()
    assert c.name == "sos%d_copy_s2" % int(str(s)[3:]) or c.name.endswith("_copy_s2")
    with pytest.raises(korvo.ModelError, match="^SOS type must be 1 or 2$"):
        korvo.sos([x], [1], 3)
    with pytest.raises(korvo.ModelError, match="^SOS weights must be passed as a list$"):
        korvo.sos([x], (1,))
    with pytest.raises(korvo.ModelError, match="^SOS indices must be passed as a list$"):
        korvo.sos((x,), [1])
    s.name = "renamed"
    assert str(s) == "renamed"
    assert korvo.sos.name.__doc__ == "SOS's name"


def test_sos_holds_lists_and_releases_them(xy):
    x, y = xy
    idx, w = [x, y], [1.0, 2.0]
    bi = sys.getrefcount(idx)
    s = korvo.sos(idx, w)
    assert sys.getrefcount(idx) == bi + 1
    del s
    gc.collect()
    assert sys.getrefcount(idx) == bi
    assert refcount_unchanged(lambda: korvo.sos(idx, w, name="n").copy(), x, y, idx, w) == [0, 0, 0, 0]


def test_nonlinear_bodies(xy):
    x, y = xy
    c = x / y == 0
    assert str(c.body) == "(x / y)" and (c.lb, c.ub) == (0.0, 0.0)
    c = x / y + 3 <= 5
    assert (c.lb, c.ub) == (-1e20, 2.0)
    assert "3" not in str(c.body)
    c = x * y * x >= 1
    assert type(c.body).__name__ == "nonlinear" and c.lb == 1.0
