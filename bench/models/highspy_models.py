"""highspy's own modelling API (addVariables / addConstrs / expressions).
Its expressions are linear only, so the quadratic control model has no
highspy version."""
from __future__ import annotations

import numpy as np
import highspy

from .common import INF, set_highs_options

LIBRARY = "highspy"
ROUTE = "highspy.Highs modelling API (rows go into HiGHS as they are added); run()"

NOT_WRITTEN = {
    "lqcp": "highspy expressions are linear only (no quadratic objective)",
    "sparse_dot": "no product of a SciPy matrix with highspy variables",
}


def versions():
    h = highspy.Highs()
    return {"highspy": f"{h.versionMajor()}.{h.versionMinor()}.{h.versionPatch()}"}


def _model():
    h = highspy.Highs()
    set_highs_options(h, 0)
    return h


def basic_numpy(d):
    n = d.n
    h = _model()
    x = h.addVariables(n, n, lb=-INF)
    y = h.addVariables(n, n, lb=-INF)
    h.addConstrs(((x - y) >= np.arange(n, dtype=float)[:, None]).flat)
    h.addConstrs(((x + y) >= 0).flat)
    h.setObjective(h.qsum((2 * x + y).flat), highspy.ObjSense.kMinimize)
    return h


def basic_loop(d):
    n = d.n
    h = _model()
    x = {(i, j): h.addVariable(lb=-INF) for i in range(n) for j in range(n)}
    y = {(i, j): h.addVariable(lb=-INF) for i in range(n) for j in range(n)}
    for i in range(n):
        for j in range(n):
            h.addConstr(x[i, j] - y[i, j] >= i)
    for i in range(n):
        for j in range(n):
            h.addConstr(x[i, j] + y[i, j] >= 0)
    h.setObjective(h.qsum(2 * x[k] + y[k] for k in x), highspy.ObjSense.kMinimize)
    return h


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    h = _model()
    y = h.addVariables(f, 2, lb=0.0, ub=1.0)
    s = h.addVariables(g + 1, g + 1, f, lb=0.0)
    z = h.addVariables(g + 1, g + 1, f, lb=0.0, ub=1.0, type=highspy.HighsVarType.kInteger)
    r = h.addVariables(g + 1, g + 1, f, 2, lb=-INF)
    dist = h.addVariable(lb=-INF)
    for i in range(g + 1):
        for j in range(g + 1):
            h.addConstr(h.qsum(z[i, j, k] for k in range(f)) == 1)
    for i in range(g + 1):
        for j in range(g + 1):
            for k in range(f):
                h.addConstr(s[i, j, k] - dist + big_m * z[i, j, k] == big_m)
                h.addConstr(r[i, j, k, 0] + y[k, 0] == i / g)
                h.addConstr(r[i, j, k, 1] + y[k, 1] == j / g)
    h.setObjective(1.0 * dist, highspy.ObjSense.kMinimize)
    return h


def sparse_loop(d):
    h = _model()
    x = h.addVariables(d.cols, lb=0.0, ub=d.ub)
    a = d.a
    for r in range(d.rows):
        lo, hi = a.indptr[r], a.indptr[r + 1]
        h.addConstr(h.qsum(x[a.indices[lo:hi]] * a.data[lo:hi]) >= d.b[r])
    h.setObjective(h.qsum(x * d.c), highspy.ObjSense.kMinimize)
    return h


def hand_over(h, time_limit):
    h.setOptionValue("time_limit", float(INF if time_limit is None else time_limit))
    h.run()
    return None if time_limit == 0 else h.getInfo().objective_function_value


def dims(h):
    return h.getNumRow(), h.getNumCol(), h.getNumNz()
