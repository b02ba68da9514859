"""The engine's MIP starts, secure rows and columns, model cuts and delayed
rows, and directives following deletions, through the C interface."""
import ctypes

import pytest

from krvs_binding import I, P, S, ModelProblem, chars, dbls, ints, lib

for _name, _types in {
    "KRVSaddmipsol": [P, I, P, P, S], "KRVSloadmipsol": [P, P, P], "KRVSgetmipsolstatus": [P, I, P, P, I],
    "KRVSmipoptimize": [P, S], "KRVSloadsecurevecs": [P, I, I, P, P], "KRVSgetsecurevecs": [P, P, P, P, P],
    "KRVSloadmodelcuts": [P, I, P], "KRVSloaddelayedrows": [P, I, P], "KRVSgetmodelcuts": [P, P, I, P, I],
    "KRVSloaddirs": [P, I, P, P, P, P, P], "KRVSgetdirs": [P, P, P, P, P, P, P],
}.items():
    getattr(lib, _name).argtypes = _types

FEASIBLE, COMPLETED, INFEASIBLE = 1, 2, 3


def knapsack():
    """max 3a + 4b + 5.5c, 2a + 3b + 4c <= 17, integers in [0, 10]: optimum 25 (a = 7, b = 1)."""
    p = ModelProblem()
    p.load("L", [17], obj=[-3, -4, -5.5], start=[0, 1, 2, 3], rowind=[0, 0, 0], rowcoef=[2, 3, 4], ub=[10] * 3)
    p.call("KRVSchgcoltype", 3, ints([0, 1, 2]), chars("III"))
    return p


def start_statuses(p):
    out = []
    for k in range(p.int_attr(1433)):
        status, name = ctypes.c_int(), ctypes.create_string_buffer(64)
        p.call("KRVSgetmipsolstatus", k, ctypes.byref(status), name, 64)
        out.append((name.value.decode(), status.value))
    return out


def test_mip_starts_are_completed_used_or_rejected():
    p = knapsack()
    p.call("KRVSaddmipsol", 3, dbls([7, 1, 0]), None, b"best")
    p.call("KRVSaddmipsol", 1, dbls([2]), ints([2]), b"partial")     # c = 2, a and b solved for
    p.call("KRVSaddmipsol", 2, dbls([9, 9]), ints([0, 1]), b"over")   # 45 > 17
    p.call("KRVSaddmipsol", 1, dbls([11]), ints([0]), None)           # beyond the bound
    assert start_statuses(p) == [("best", 0), ("partial", 0), ("over", 0), ("", 0)]
    p.call("KRVSmipoptimize", b"")
    assert start_statuses(p) == [("best", FEASIBLE), ("partial", COMPLETED), ("over", INFEASIBLE), ("", INFEASIBLE)]
    assert p.dbl_attr(2003) == pytest.approx(-25)
    # A start is offered once: a second solve leaves the outcomes as they are.
    p.call("KRVSmipoptimize", b"")
    assert [s for _, s in start_statuses(p)] == [FEASIBLE, COMPLETED, INFEASIBLE, INFEASIBLE]


def test_loadmipsol_checks_at_once_and_refuses_bad_input():
    p = knapsack()
    status = ctypes.c_int()
    for values, expected in (([7, 1, 0], FEASIBLE), ([6.6, 1, 0], COMPLETED), ([9, 9, 9], INFEASIBLE)):
        p.call("KRVSloadmipsol", dbls(values), ctypes.byref(status))
        assert status.value == expected
    assert p.int_attr(1433) == 2  # the infeasible one is not kept
    for args in ((3, dbls([1, 2, float("nan")]), None, None), (2, dbls([1, 2]), None, None),
                 (2, dbls([1, 2]), ints([0, 0]), None), (1, dbls([1]), ints([3]), None)):
        rc, text = p.try_call("KRVSaddmipsol", *args)
        assert rc != 0 and text
    assert p.int_attr(1433) == 2


def test_marks_follow_row_and_column_deletions():
    p = ModelProblem()
    p.load("LLL", [1, 2, 3], obj=[1, 1, 1], start=[0, 1, 2, 3], rowind=[0, 1, 2], rowcoef=[1, 1, 1])
    p.call("KRVSloadsecurevecs", 2, 2, ints([0, 2]), ints([1, 2]))
    p.call("KRVSloadmodelcuts", 1, ints([2]))
    p.call("KRVSloaddelayedrows", 1, ints([1]))
    p.call("KRVSloaddirs", 2, ints([0, 2]), ints([3, 4]), chars("UD"), None, None)
    p.call("KRVSdelrows", 1, ints([0]))
    p.call("KRVSdelcols", 1, ints([1]))
    nr, nc = ctypes.c_int(), ctypes.c_int()
    rows, cols = (ctypes.c_int * 4)(), (ctypes.c_int * 4)()
    p.call("KRVSgetsecurevecs", ctypes.byref(nr), ctypes.byref(nc), rows, cols)
    assert (list(rows[:nr.value]), list(cols[:nc.value])) == ([1], [1])
    for delayed, expected in ((0, [1]), (1, [0])):
        p.call("KRVSgetmodelcuts", ctypes.byref(nr), 4, rows, delayed)
        assert list(rows[:nr.value]) == expected
    nd, prio, dirs = ctypes.c_int(), (ctypes.c_int * 4)(), ctypes.create_string_buffer(4)
    p.call("KRVSgetdirs", ctypes.byref(nd), cols, prio, dirs, None, None)
    assert (list(cols[:nd.value]), list(prio[:nd.value]), dirs.raw[:nd.value]) == ([0, 1], [3, 4], b"UD")
    rc, text = p.try_call("KRVSloadmodelcuts", 1, ints([5]))
    assert rc != 0 and "out of range" in text
