"""Analysis functions of the engine on the shared infeasible and unbounded
instances: every infeasible model gets an infeasible set that is checked
irreducible member by member (on the set written out and read back), LPs a
dual ray checked as a Farkas proof, the unbounded one a primal ray checked
as a direction of unbounded improvement."""
import csv
import ctypes
import math
import os

import pytest

from krvs_binding import ModelProblem, lib

D = ctypes.c_double
I = ctypes.c_int
P = ctypes.c_void_p
lib.KRVSlpoptimize.argtypes = [P, ctypes.c_char_p]
lib.KRVSmipoptimize.argtypes = [P, ctypes.c_char_p]
lib.KRVSiisfirst.argtypes = [P, I, P]
lib.KRVSiisnext.argtypes = [P, P]
lib.KRVSiisstatus.argtypes = [P, P, P, P, P, P]
lib.KRVSgetiisdata.argtypes = [P, I, P, P, P, P, P, P, P, P, P, P]
lib.KRVSiiswrite.argtypes = [P, I, ctypes.c_char_p, I, ctypes.c_char_p]
lib.KRVSgetdualray.argtypes = [P, P, P]
lib.KRVSgetprimalray.argtypes = [P, P, P]
lib.KRVSchgbounds.argtypes = [P, I, P, P, P]
lib.KRVSchgrowtype.argtypes = [P, I, P, P]
lib.KRVSchgrhs.argtypes = [P, I, P, P]
lib.KRVSchgrhsrange.argtypes = [P, I, P, P]
lib.KRVSgetlpsol.argtypes = [P, P, P, P, P]
C = ctypes.c_char
lib.KRVSrepairinfeas.argtypes = [P, P, C, C, C, D, D, D, D, D]

INF = 1e20
LP_OPTIMAL, LP_INFEAS, LP_UNBOUNDED = 1, 2, 5
MIP_SOLUTION, MIP_INFEAS, MIP_OPTIMAL, MIP_UNBOUNDED = 4, 5, 6, 7


def cases():
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "..", "..", "shared", "instances", "infeasible.csv")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return list(csv.DictReader(f))


def read(path, discrete=None):
    p = ModelProblem()
    p.call("KRVSsetintcontrol64", 8035, ctypes.c_int64(0))
    p.call("KRVSreadprob", path.encode(), b"")
    return p


def is_discrete(p):
    return any(p.int_attr(ident) for ident in (1032, 1004))


def solve(p, mip):
    """True when the model is feasible (an unbounded one is)."""
    p.call("KRVSmipoptimize" if mip else "KRVSlpoptimize", None)
    if mip:
        status = p.int_attr(1011)
        assert status in (MIP_SOLUTION, MIP_INFEAS, MIP_OPTIMAL, MIP_UNBOUNDED), status
        return status != MIP_INFEAS
    status = p.int_attr(1010)
    assert status in (LP_OPTIMAL, LP_INFEAS, LP_UNBOUNDED), status
    return status != LP_INFEAS


def matrix_by_rows(p):
    m, n = p.rows(), p.cols()
    total = ctypes.c_int64()
    p.call("KRVSgetrows64", None, None, None, 0, ctypes.byref(total), 0, m - 1)
    start = (ctypes.c_int64 * (m + 1))()
    ind = (ctypes.c_int * max(total.value, 1))()
    val = (ctypes.c_double * max(total.value, 1))()
    p.call("KRVSgetrows64", start, ind, val, total.value, ctypes.byref(total), 0, m - 1)
    return [[(ind[k], val[k]) for k in range(start[i], start[i + 1])] for i in range(m)]


def row_sides(p):
    out = []
    for t, r, g in zip(p.rowtypes(), p.rhs(), p.ranges()):
        lo = {"L": -math.inf, "G": r, "E": r, "R": r - abs(g), "N": -math.inf}[t]
        hi = {"L": r, "G": math.inf, "E": r, "R": r, "N": math.inf}[t]
        out.append((-math.inf if lo <= -INF else lo, math.inf if hi >= INF else hi))
    return out


def check_irreducible(p, tmp_path, mip):
    """The first set of p, written as a model and read back, is infeasible and
    becomes feasible when any one member is relaxed."""
    nrows, ncols = I(), I()
    p.call("KRVSgetiisdata", 1, ctypes.byref(nrows), ctypes.byref(ncols), *([None] * 8))
    path = str(tmp_path / "set.mps")
    p.call("KRVSiiswrite", 1, path.encode(), 1, b"")
    q = read(path)
    assert (q.rows(), q.cols() >= 1) == (nrows.value, True)
    assert not solve(q, mip), "the set is feasible"
    members = 0
    for i, t in enumerate(q.rowtypes()):
        q.call("KRVSchgrowtype", 1, (I * 1)(i), ctypes.create_string_buffer(b"N", 1))
        assert solve(q, mip), f"row {i} is not needed"
        q.call("KRVSchgrowtype", 1, (I * 1)(i), ctypes.create_string_buffer(t.encode(), 1))
        members += 1
    for j, (lo, hi) in enumerate(zip(q.lb(), q.ub())):
        for side, value, free in (("L", lo, -INF), ("U", hi, INF)):
            if abs(value) >= INF:
                continue
            q.call("KRVSchgbounds", 1, (I * 1)(j), ctypes.create_string_buffer(side.encode(), 1), (D * 1)(free))
            assert solve(q, mip), f"bound {side} of column {j} is not needed"
            q.call("KRVSchgbounds", 1, (I * 1)(j), ctypes.create_string_buffer(side.encode(), 1), (D * 1)(value))
            members += 1
    assert members == nrows.value + ncols.value
    assert not solve(q, mip)


def check_farkas(p):
    has = I()
    y = (D * p.rows())()
    p.call("KRVSgetdualray", y, ctypes.byref(has))
    assert has.value == 1
    rows = matrix_by_rows(p)
    r = [0.0] * p.cols()
    mag = [0.0] * p.cols()
    for yi, row in zip(y, rows):
        for j, a in row:
            r[j] += yi * a
            mag[j] += abs(yi * a)
    rows_min = 0.0
    for yi, (lo, hi) in zip(y, row_sides(p)):
        if yi != 0:
            side = lo if yi > 0 else hi
            assert math.isfinite(side)
            rows_min += yi * side
    box_max = 0.0
    for rj, mj, lb, ub in zip(r, mag, p.lb(), p.ub()):
        if abs(rj) <= 1e-9 * mj:
            continue
        bound = ub if rj > 0 else lb
        assert abs(bound) < INF
        box_max += rj * bound
    assert rows_min - box_max > 1e-9 * max(abs(v) for v in y)


@pytest.mark.parametrize("row", [r for r in cases() if r["status"] == "infeasible"], ids=lambda r: r["file"])
def test_infeasible_instance_has_an_irreducible_set(row, instances_dir, tmp_path):
    p = read(os.path.join(instances_dir, row["file"]))
    mip = is_discrete(p)
    assert not solve(p, mip)
    status = I(-1)
    p.call("KRVSiisfirst", 0, ctypes.byref(status))
    assert status.value == 0
    count = I()
    p.call("KRVSiisstatus", ctypes.byref(count), None, None, None, None)
    assert count.value == 1
    check_irreducible(p, tmp_path, mip)
    if row["kind"] != "MIP":
        check_farkas(p)


@pytest.mark.parametrize("row", cases(), ids=lambda r: r["file"])
def test_repair_makes_a_feasible_relaxed_model(row, instances_dir):
    """The repaired point's violations, applied to the rows and bounds, give a
    model that the solver finds feasible."""
    p = read(os.path.join(instances_dir, row["file"]))
    mip = is_discrete(p)
    status = I(-1)
    p.call("KRVSrepairinfeas", ctypes.byref(status), b"l", b"n", b"g", 1.0, 1.0, 1.0, 1.0, 0.0)
    assert status.value == 0
    m, n = p.rows(), p.cols()
    x = (D * max(n, 1))()
    slack = (D * max(m, 1))()
    p.call("KRVSgetlpsol", x, slack, None, None)
    violated = 0
    for i, (t, rhs, rng) in enumerate(zip(p.rowtypes(), p.rhs(), p.ranges()) if m else ()):
        activity = rhs - slack[i]
        tol = 1e-9 * max(1.0, abs(rhs))
        if t in "LER" and activity > rhs + tol:
            p.call("KRVSchgrhs", 1, (I * 1)(i), (D * 1)(activity))
            violated += 1
        elif t in "GE" and activity < rhs - tol:
            p.call("KRVSchgrhs", 1, (I * 1)(i), (D * 1)(activity))
            violated += 1
        elif t == "R" and activity < rhs - abs(rng) - tol:
            p.call("KRVSchgrhsrange", 1, (I * 1)(i), (D * 1)(rhs - activity))
            violated += 1
    for j, (lb, ub) in enumerate(zip(p.lb(), p.ub())):
        for side, bound, out in (("L", lb, x[j] < lb - 1e-9 * max(1, abs(lb))), ("U", ub, x[j] > ub + 1e-9 * max(1, abs(ub)))):
            if out:
                p.call("KRVSchgbounds", 1, (I * 1)(j), ctypes.create_string_buffer(side.encode(), 1), (D * 1)(x[j]))
                violated += 1
    assert violated > 0 or row["status"] != "infeasible"
    assert solve(p, mip)


def test_unbounded_instance_has_a_checked_ray(instances_dir):
    row = next(r for r in cases() if r["status"] == "unbounded")
    p = read(os.path.join(instances_dir, row["file"]))
    p.call("KRVSlpoptimize", None)
    assert p.int_attr(1010) == 5
    has = I()
    d = (D * p.cols())()
    p.call("KRVSgetprimalray", d, ctypes.byref(has))
    assert has.value == 1
    # Bounds and rows keep their sides along d; the quadratic part is flat;
    # the objective improves.
    for dj, lb, ub in zip(d, p.lb(), p.ub()):
        assert not (dj < -1e-9 and lb > -INF) and not (dj > 1e-9 and ub < INF)
    for row_entries, (lo, hi) in zip(matrix_by_rows(p), row_sides(p)) if p.rows() else ():
        v = sum(a * d[j] for j, a in row_entries)
        assert not (v < -1e-9 and math.isfinite(lo)) and not (v > 1e-9 and math.isfinite(hi))
    total = ctypes.c_int64()
    n = p.cols()
    p.call("KRVSgetmqobj64", None, None, None, 0, ctypes.byref(total), 0, n - 1)
    start = (ctypes.c_int64 * (n + 1))()
    ind = (ctypes.c_int * max(total.value, 1))()
    val = (ctypes.c_double * max(total.value, 1))()
    p.call("KRVSgetmqobj64", start, ind, val, total.value, ctypes.byref(total), 0, n - 1)
    qd = [0.0] * n
    for j in range(n):
        for k in range(start[j], start[j + 1]):
            qd[j] += val[k] * d[ind[k]]
            if ind[k] != j:
                qd[ind[k]] += val[k] * d[j]
    assert all(abs(v) < 1e-9 for v in qd)
    gain = sum(c * dj for c, dj in zip(p.obj(), d))
    assert gain * p.int_attr(1024) < 0  # minimising: down; maximising (-1): up


def test_refused_calls_change_nothing(instances_dir):
    p = read(os.path.join(instances_dir, "galenet.mps"))
    solve(p, False)
    status = I()
    for args in ((5, ctypes.byref(status)),):
        rc, text = p.try_call("KRVSiisfirst", *args)
        assert rc != 0 and "invalid mode" in text
    rc, text = p.try_call("KRVSgetiisdata", 1, None, None, *([None] * 8))
    assert rc != 0 and "no infeasible sets" in text
    rc, text = p.try_call("KRVSiiswrite", 1, None, 0, b"")
    assert rc != 0 and "no file name" in text
    # Still infeasible, and a set is still found afterwards.
    assert not solve(p, False)
    p.call("KRVSiisfirst", 0, ctypes.byref(status))
    assert status.value == 0
