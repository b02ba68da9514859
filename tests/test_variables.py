"""korvo.var: packed bounds, side tables, names, identity and attribute rules."""
import gc
import sys

import pytest

import korvo
from conftest import refcount_unchanged


def test_defaults_and_default_name_follow_identity():
    x = korvo.var()
    assert (x.lb, x.ub, x.threshold, x.vartype) == (0.0, 1e20, -1e20, 0)
    assert type(x.lb) is float and type(x.vartype) is int
    assert x.name == "C%d" % hash(x) == str(x) == repr(x)
    y = korvo.var()
    assert hash(y) == hash(x) + 1


def test_infinite_bounds_are_clamped_to_infinity():
    x = korvo.var(lb=-5e20, ub=3e20)
    assert x.lb == -1e20 and x.ub == 1e20


@pytest.mark.parametrize("lb,ub", [(0.5, 7.25), (-3.5, -1.0), (1, 1 + 5e-7), (2.0, 1.0 + 1.0 + 1e-7)])
def test_stored_bounds_round_trip(lb, ub):
    x = korvo.var(lb=lb, ub=ub)
    assert (x.lb, x.ub) == (lb, ub)


def test_empty_feasible_set_is_refused():
    with pytest.raises(korvo.ModelError, match="^Variable has empty feasible set: lower bound > upper bound$"):
        korvo.var(lb=1, ub=0.999)


def test_binary_bounds_are_clamped_at_construction_only():
    b = korvo.var(lb=-3, ub=7, vartype=korvo.binary)
    assert (b.lb, b.ub, b.vartype) == (0.0, 1.0, 1)
    b.ub = 5
    assert b.ub == 5.0


def test_positional_arguments_and_types():
    x = korvo.var("x", -1, 4, 2.5, korvo.semicontinuous)
    assert (x.name, x.lb, x.ub, x.threshold, x.vartype) == ("x", -1.0, 4.0, 2.5, 3)
    assert korvo.var(name=b"raw").name == b"raw"
    with pytest.raises(korvo.ModelError, match=r"^Invalid variable name \(must be a string\)$"):
        korvo.var(name=5)
    with pytest.raises(TypeError):
        korvo.var(lb="a")


def test_bound_changes_move_between_codes_and_map():
    x = korvo.var()
    for value in (2.5, 0, 1, -1e21, -7.0, 0):
        x.lb = value
        assert x.lb == max(float(value), -1e20)
    for value in (3.5, 1, 0, 2e20, -2.0):
        x.ub = value
        assert x.ub == min(float(value), 1e20)


def test_threshold_minus_infinity_keeps_existing_value():
    x = korvo.var()
    x.threshold = 3
    x.threshold = -1e20
    assert x.threshold == 3.0


def test_vartype_assignment_only_touches_type_bits():
    x = korvo.var(lb=-2.5, ub=9.5, name="v")
    ident = hash(x)
    x.vartype = korvo.partiallyinteger
    assert x.vartype == 5
    with pytest.raises(korvo.ModelError, match="Invalid variable type 9"):
        x.vartype = 9  # out of range: refused, nothing changes
    assert (hash(x), x.lb, x.ub, x.name, x.vartype) == (ident, -2.5, 9.5, "v", 5)


def test_attribute_rules():
    x = korvo.var()
    with pytest.raises(korvo.InterfaceError, match="^Incorrect member name of type korvo.var$"):
        x.foo = 1
    with pytest.raises(korvo.InterfaceError):
        del x.lb
    assert x.lb == 0.0
    x.name = 42  # assignment stores without a type check
    assert x.name == 42 and str(x) == "42"
    assert x.__class__ is korvo.var
    assert x.__dict__ == dict.fromkeys(["lb", "ub", "threshold", "vartype", "name"])


def test_identity_is_by_id_not_value():
    x, y = korvo.var(name="same"), korvo.var(name="same")
    d = {x: 1, y: 2}
    assert len(d) == 2 and d[x] == 1
    assert hash(x) != hash(y)


def test_reinitialising_gives_new_identity_and_clean_tables():
    x = korvo.var(lb=-4.5, name="old")
    old = hash(x)
    x.__init__()
    assert hash(x) > old
    assert (x.lb, x.name) == (0.0, "C%d" % hash(x))


def test_extraction():
    x = korvo.var()
    vars_, coefs = x.extractLinear()
    assert vars_[0] is x and coefs == [1.0]
    assert x.extractQuadratic() == ([], [], [])


def test_names_are_released_with_the_variable():
    name = "a-name-only-used-here"
    before = sys.getrefcount(name)
    x = korvo.var(name=name)
    assert sys.getrefcount(name) == before + 1
    x.name = "other"
    assert sys.getrefcount(name) == before
    x.name = name
    del x
    gc.collect()
    assert sys.getrefcount(name) == before


def test_construction_and_attribute_churn_leaves_refcounts_unchanged():
    name = "churn-name"

    def churn():
        v = korvo.var(name=name, lb=-3.5, ub=8.25, threshold=1.5)
        v.lb = 0
        v.ub = 2.5
        v.name = name

    assert refcount_unchanged(churn, name) == [0]


def test_identities_start_at_one_in_a_fresh_interpreter():
    import subprocess

    code = (
        "import korvo; x = korvo.var(); y = korvo.var(); c = x <= 1; s = korvo.sos([x], [1]);"
        "print(x.name, y.name, c.name, s.name)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["C1", "C2", "R1", "sos1"]
