"""Pyomo (ConcreteModel, indexed components built by rules), solved through
its persistent HiGHS interface (pyomo.contrib.solver, highspy underneath).
Pyomo has no array API, so both forms of a model are written with rules."""
from __future__ import annotations

import pyomo.environ as pyo
from pyomo.contrib.solver.solvers.highs import Highs

from .common import INF

LIBRARY = "pyomo"
ROUTE = "pyomo.contrib.solver Highs().solve(model) (persistent, highspy underneath)"

NOT_WRITTEN = {
    "basic_numpy": "Pyomo has no array API (see basic_loop)",
    "sparse_dot": "Pyomo has no matrix product (see sparse_loop)",
}


def versions():
    from importlib.metadata import version
    return {"pyomo": version("pyomo"), "highspy": version("highspy")}


def basic_loop(d):
    n = d.n
    m = pyo.ConcreteModel()
    idx = [(i, j) for i in range(n) for j in range(n)]
    m.x = pyo.Var(idx, bounds=(None, None))
    m.y = pyo.Var(idx, bounds=(None, None))
    m.diff = pyo.Constraint(idx, rule=lambda m, i, j: m.x[i, j] - m.y[i, j] >= i)
    m.total = pyo.Constraint(idx, rule=lambda m, i, j: m.x[i, j] + m.y[i, j] >= 0)
    m.obj = pyo.Objective(expr=pyo.quicksum(2 * m.x[k] + m.y[k] for k in idx))
    return m


def lqcp(d):
    n = mm = d.n
    dt, h2, dx = d.dt, d.h2, d.dx
    w, cw, t = d.tracking_weights(), d.control_weights(), d.target(range(n + 1))
    m = pyo.ConcreteModel()
    m.y = pyo.Var(range(mm + 1), range(n + 1), bounds=(0.0, 1.0))
    m.u = pyo.Var(range(1, mm + 1), bounds=(-1.0, 1.0))
    y, u = m.y, m.u
    m.obj = pyo.Objective(expr=pyo.quicksum(float(w[j]) * (y[mm, j] - float(t[j])) ** 2 for j in range(n + 1))
                          + pyo.quicksum(float(cw[i - 1]) * u[i] ** 2 for i in range(1, mm + 1)))
    m.heat = pyo.Constraint(
        range(mm), range(1, n),
        rule=lambda m, i, j: (y[i + 1, j] - y[i, j]) / dt
        - 0.5 * (y[i, j - 1] - 2 * y[i, j] + y[i, j + 1]
                 + y[i + 1, j - 1] - 2 * y[i + 1, j] + y[i + 1, j + 1]) / h2 == 0)
    m.left = pyo.Constraint(range(mm + 1),
                            rule=lambda m, i: y[i, 2] - 4 * y[i, 1] + 3 * y[i, 0] == 0)
    m.right = pyo.Constraint(
        range(1, mm + 1),
        rule=lambda m, i: (y[i, n - 2] - 4 * y[i, n - 1] + 3 * y[i, n]) / (2 * dx) == u[i] - y[i, n])
    return m


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    m = pyo.ConcreteModel()
    pts, fac = range(g + 1), range(f)
    m.y = pyo.Var(fac, range(2), bounds=(0.0, 1.0))
    m.s = pyo.Var(pts, pts, fac, bounds=(0.0, None))
    m.z = pyo.Var(pts, pts, fac, within=pyo.Binary)
    m.r = pyo.Var(pts, pts, fac, range(2), bounds=(None, None))
    m.d = pyo.Var(bounds=(None, None))
    m.cover = pyo.Constraint(pts, pts, rule=lambda m, i, j: pyo.quicksum(m.z[i, j, k] for k in fac) == 1)
    m.dist = pyo.Constraint(pts, pts, fac,
                            rule=lambda m, i, j, k: m.s[i, j, k] == m.d + big_m * (1 - m.z[i, j, k]))
    m.off0 = pyo.Constraint(pts, pts, fac,
                            rule=lambda m, i, j, k: m.r[i, j, k, 0] == i / g - m.y[k, 0])
    m.off1 = pyo.Constraint(pts, pts, fac,
                            rule=lambda m, i, j, k: m.r[i, j, k, 1] == j / g - m.y[k, 1])
    m.obj = pyo.Objective(expr=m.d)
    return m


def sparse_loop(d):
    a = d.a
    m = pyo.ConcreteModel()
    m.x = pyo.Var(range(d.cols), bounds=(0.0, d.ub))
    indptr, indices, data, b = a.indptr, a.indices.tolist(), a.data.tolist(), d.b.tolist()

    def row(m, r):
        lo, hi = indptr[r], indptr[r + 1]
        return pyo.quicksum(v * m.x[j] for j, v in zip(indices[lo:hi], data[lo:hi])) >= b[r]

    m.rows = pyo.Constraint(range(d.rows), rule=row)
    c = d.c.tolist()
    m.obj = pyo.Objective(expr=pyo.quicksum(c[j] * m.x[j] for j in range(d.cols)))
    return m


class Handle:
    def __init__(self, model):
        self.model = model
        self.solver = Highs()


def hand_over(m, time_limit):
    if not isinstance(m, Handle):
        raise TypeError("expected a built model")
    res = m.solver.solve(
        m.model, threads=1, time_limit=float(INF if time_limit is None else time_limit),
        solver_options={"presolve": "off", "output_flag": False},
        load_solutions=False, raise_exception_on_nonoptimal_result=False)
    return None if time_limit == 0 else float(res.incumbent_objective)


def dims(m):
    h = m.solver._solver_model
    return h.getNumRow(), h.getNumCol(), h.getNumNz()


def _wrap(build):
    def wrapped(d):
        return Handle(build(d))
    wrapped.__name__ = build.__name__
    return wrapped


basic_loop, lqcp, facility, sparse_loop = (_wrap(b) for b in (basic_loop, lqcp, facility, sparse_loop))
