"""Single quadratic coefficients, quadratic row removal, loaded bases and
starting points, message codes and the log file, through the C interface."""
import ctypes

import pytest

from krvs_binding import ModelProblem, dbls, ints

D = ctypes.c_double


def qobj(p):
    """The quadratic objective as {(i, j): q}, upper triangle."""
    n = p.cols()
    count = ctypes.c_int64()
    p.call("KRVSgetmqobj64", None, None, None, 0, ctypes.byref(count), 0, n - 1)
    start = (ctypes.c_int64 * (n + 1))()
    cols = (ctypes.c_int * max(count.value, 1))()
    vals = (ctypes.c_double * max(count.value, 1))()
    p.call("KRVSgetmqobj64", start, cols, vals, count.value, ctypes.byref(count), 0, n - 1)
    return {(j, cols[k]): vals[k] for j in range(n) for k in range(start[j], start[j + 1])}


def qrow(p, row):
    count = ctypes.c_int64()
    c1, c2, q = (ctypes.c_int * 16)(), (ctypes.c_int * 16)(), (ctypes.c_double * 16)()
    p.call("KRVSgetqrowqmatrixtriplets", row, ctypes.byref(count), c1, c2, q)
    return {(min(c1[k], c2[k]), max(c1[k], c2[k])): q[k] for k in range(count.value)}


def three_columns():
    p = ModelProblem()
    p.load("LL", [4, 6], None, [1, 1, 1], [0, 2, 4, 4], [0, 1, 0, 1], [1, 1, 1, 3], [0, 0, 0], [10, 10, 10])
    return p


def test_single_quadratic_objective_entries_replace_and_remove():
    p = three_columns()
    for i, j, q in [(2, 0, 1.5), (1, 1, 2.0), (0, 0, 4.0), (0, 2, -1.0), (1, 2, 0.5)]:
        p.call("KRVSchgqobj", i, j, D(q))
    assert qobj(p) == {(0, 0): 4.0, (0, 2): -1.0, (1, 1): 2.0, (1, 2): 0.5}
    p.call("KRVSchgqobj", 1, 1, D(0.0))
    p.call("KRVSchgqobj", 2, 2, D(0.0))  # removing an absent entry changes nothing
    assert qobj(p) == {(0, 0): 4.0, (0, 2): -1.0, (1, 2): 0.5}
    rc, text = p.try_call("KRVSchgqobj", 0, 3, D(1.0))
    assert rc and "out of range" in text
    rc, text = p.try_call("KRVSchgqobj", 0, 1, D(float("inf")))
    assert rc and "finite" in text
    assert qobj(p) == {(0, 0): 4.0, (0, 2): -1.0, (1, 2): 0.5}


def test_quadratic_row_entries_and_removal():
    p = three_columns()
    p.call("KRVSchgqrowcoeff", 1, 0, 2, D(1.0))
    p.call("KRVSchgqrowcoeff", 1, 2, 2, D(3.0))
    p.call("KRVSaddqmatrix64", 1, 1, ints([2]), ints([0]), dbls([1.0]))
    assert qrow(p, 1) == {(0, 2): 2.0, (2, 2): 3.0}
    p.call("KRVSchgqrowcoeff", 1, 2, 0, D(0.0))
    assert qrow(p, 1) == {(2, 2): 3.0}
    assert qrow(p, 0) == {}
    rc, text = p.try_call("KRVSchgqrowcoeff", 2, 0, 0, D(1.0))
    assert rc and "row index 2 out of range" in text
    rc, _ = p.try_call("KRVSdelqmatrix", -1)
    assert rc
    p.call("KRVSdelqmatrix", 1)
    p.call("KRVSdelqmatrix", 0)  # a row without quadratic part
    assert qrow(p, 1) == {}


def test_loaded_basis_checks():
    p = three_columns()
    rc, text = p.try_call("KRVSloadbasis", ints([1, 0]), ints([1, 1, 0]))
    assert rc and "3 basic" in text
    rc, text = p.try_call("KRVSloadbasis", ints([0, 4]), ints([1, 0, 0]))
    assert rc and "invalid status 4 of row 1" in text
    rc, text = p.try_call("KRVSloadbasis", None, ints([1, 1, 0]))
    assert rc and "null array" in text
    p.call("KRVSloadbasis", ints([0, 0]), ints([1, 1, 0]))
    rc, text = p.try_call("KRVSloadlpsol", dbls([1, 2, 3]), None, dbls([0, 0]), None, None)
    assert rc and "together" in text
    status = ctypes.c_int(7)
    p.call("KRVSloadlpsol", dbls([1, 2, 3]), None, None, None, ctypes.byref(status))
    assert status.value == 0


def test_message_codes_and_scaling():
    p = three_columns()
    status = ctypes.c_int()
    p.call("KRVSgetmessagestatus", 201, ctypes.byref(status))
    assert status.value == 1
    p.call("KRVSsetmessagestatus", 201, 0)
    p.call("KRVSgetmessagestatus", 201, ctypes.byref(status))
    assert status.value == 0
    p.call("KRVSsetmessagestatus", 201, 5)
    p.call("KRVSgetmessagestatus", 201, ctypes.byref(status))
    assert status.value == 1
    rc, text = p.try_call("KRVSsetmessagestatus", 7, 0)
    assert rc and "unknown message code 7" in text
    rc, text = p.try_call("KRVSscale", ints([0, 99]), None)
    assert rc and "scale exponent 99 of row 1 out of range" in text
    p.call("KRVSscale", ints([0, 3]), ints([1, 0, -2]))
    p.call("KRVSscale", None, None)
