"""PuLP, solved through its HiGHS interface (pulp.HiGHS, highspy
underneath; PuLP's default solver is CBC, not used here). PuLP models are
linear only, so the quadratic control model has no PuLP version."""
from __future__ import annotations

import pulp

from .common import INF

LIBRARY = "pulp"
ROUTE = "pulp.LpProblem.solve(pulp.HiGHS(...)) (columns and rows added one by one through highspy)"

NOT_WRITTEN = {
    "basic_numpy": "PuLP has no array API (see basic_loop)",
    "sparse_dot": "PuLP has no matrix product (see sparse_loop)",
    "lqcp": "PuLP models are linear only (no quadratic objective)",
}


def versions():
    from importlib.metadata import version
    return {"pulp": pulp.__version__, "highspy": version("highspy")}


def basic_loop(d):
    n = d.n
    p = pulp.LpProblem("basic", pulp.LpMinimize)
    x = {(i, j): pulp.LpVariable(f"x_{i}_{j}") for i in range(n) for j in range(n)}
    y = {(i, j): pulp.LpVariable(f"y_{i}_{j}") for i in range(n) for j in range(n)}
    for i in range(n):
        for j in range(n):
            p += x[i, j] - y[i, j] >= i
    for i in range(n):
        for j in range(n):
            p += x[i, j] + y[i, j] >= 0
    p += pulp.lpSum(2 * x[k] + y[k] for k in x)
    return p


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    p = pulp.LpProblem("facility", pulp.LpMinimize)
    pts, fac = range(g + 1), range(f)
    y = {(k, c): pulp.LpVariable(f"y_{k}_{c}", 0.0, 1.0) for k in fac for c in range(2)}
    s = {(i, j, k): pulp.LpVariable(f"s_{i}_{j}_{k}", 0.0) for i in pts for j in pts for k in fac}
    z = {(i, j, k): pulp.LpVariable(f"z_{i}_{j}_{k}", cat=pulp.LpBinary)
         for i in pts for j in pts for k in fac}
    r = {(i, j, k, c): pulp.LpVariable(f"r_{i}_{j}_{k}_{c}")
         for i in pts for j in pts for k in fac for c in range(2)}
    dist = pulp.LpVariable("d")
    p += 1.0 * dist
    for i in pts:
        for j in pts:
            p += pulp.lpSum(z[i, j, k] for k in fac) == 1
    for i in pts:
        for j in pts:
            for k in fac:
                p += s[i, j, k] - dist + big_m * z[i, j, k] == big_m
                p += r[i, j, k, 0] + y[k, 0] == i / g
                p += r[i, j, k, 1] + y[k, 1] == j / g
    return p


def sparse_loop(d):
    a = d.a
    p = pulp.LpProblem("sparse", pulp.LpMinimize)
    x = [pulp.LpVariable(f"x_{j}", 0.0, d.ub) for j in range(d.cols)]
    indptr, indices, data, b = a.indptr, a.indices.tolist(), a.data.tolist(), d.b.tolist()
    for r in range(d.rows):
        lo, hi = indptr[r], indptr[r + 1]
        p += pulp.LpAffineExpression([(x[j], v) for j, v in zip(indices[lo:hi], data[lo:hi])]) >= b[r]
    p += pulp.LpAffineExpression(list(zip(x, d.c.tolist())))
    return p


def hand_over(p, time_limit):
    solver = pulp.HiGHS(msg=False, threads=1,
                        timeLimit=float(INF if time_limit is None else time_limit),
                        presolve="off")
    p.solve(solver)
    return None if time_limit == 0 else float(pulp.value(p.objective))


def dims(p):
    h = p.solverModel
    return h.getNumRow(), h.getNumCol(), h.getNumNz()
