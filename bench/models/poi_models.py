"""PyOptInterface with its HiGHS interface (libhighs from highsbox)."""
from __future__ import annotations

import numpy as np
import pyoptinterface as poi
from pyoptinterface import highs

from .common import HIGHS_OPTIONS, INF

LIBRARY = "pyoptinterface"
ROUTE = "pyoptinterface.highs.Model (adds go straight into HiGHS); optimize()"

NOT_WRITTEN = {}


def versions():
    from importlib.metadata import version
    return {"pyoptinterface": version("pyoptinterface")}


def _model():
    m = highs.Model()
    for key, value in HIGHS_OPTIONS.items():
        m.set_raw_parameter(key, value)
    return m


def basic_numpy(d):
    n = d.n
    m = _model()
    x = m.add_m_variables((n, n), lb=-INF)
    y = m.add_m_variables((n, n), lb=-INF)
    lhs1 = x - y
    lhs2 = x + y
    for i in range(n):
        for j in range(n):
            m.add_linear_constraint(lhs1[i, j], poi.Geq, float(i))
            m.add_linear_constraint(lhs2[i, j], poi.Geq, 0.0)
    m.set_objective(_from_arrays([x, y], [2.0, 1.0]))
    return m


def _from_arrays(blocks, coefs):
    """sum(c * block) for arrays of variables, as one ScalarAffineFunction
    made from NumPy arrays (the vectorised constructor)."""
    index = np.concatenate([np.fromiter((v.index for v in b.ravel()), dtype=np.int32, count=b.size)
                            for b in blocks])
    value = np.concatenate([np.full(b.size, float(c)) for b, c in zip(blocks, coefs)])
    return poi.ScalarAffineFunction.from_numpy(value, index)


def basic_loop(d):
    n = d.n
    m = _model()
    x = {(i, j): m.add_variable(lb=-INF) for i in range(n) for j in range(n)}
    y = {(i, j): m.add_variable(lb=-INF) for i in range(n) for j in range(n)}
    for i in range(n):
        for j in range(n):
            m.add_linear_constraint(x[i, j] - y[i, j], poi.Geq, float(i))
    for i in range(n):
        for j in range(n):
            m.add_linear_constraint(x[i, j] + y[i, j], poi.Geq, 0.0)
    m.set_objective(poi.quicksum(2.0 * x[k] + y[k] for k in x))
    return m


def _merged(expr):
    """Collect repeated variables into one term (HiGHS refuses a row that
    names a column twice)."""
    b = poi.ExprBuilder()
    b += expr
    return b


def lqcp(d):
    n = mm = d.n
    dt, h2, dx = d.dt, d.h2, d.dx
    m = _model()
    y = m.add_m_variables((mm + 1, n + 1), lb=0.0, ub=1.0)
    u = m.add_m_variables(mm, lb=-1.0, ub=1.0)      # u[k] is the control at i = k + 1
    w, cw, t = d.tracking_weights(), d.control_weights(), d.target(np.arange(n + 1))
    obj = poi.ExprBuilder()
    for j in range(n + 1):
        obj += w[j] * (y[mm, j] - t[j]) * (y[mm, j] - t[j])
    for k in range(mm):
        obj += cw[k] * u[k] * u[k]
    for i in range(mm):
        for j in range(1, n):
            m.add_linear_constraint(_merged(
                (y[i + 1, j] - y[i, j]) / dt
                - 0.5 * (y[i, j - 1] - 2 * y[i, j] + y[i, j + 1]
                         + y[i + 1, j - 1] - 2 * y[i + 1, j] + y[i + 1, j + 1]) / h2),
                poi.Eq, 0.0)
    for i in range(mm + 1):
        m.add_linear_constraint(y[i, 2] - 4 * y[i, 1] + 3 * y[i, 0], poi.Eq, 0.0)
    for i in range(1, mm + 1):
        m.add_linear_constraint(_merged(
            (y[i, n - 2] - 4 * y[i, n - 1] + 3 * y[i, n]) / (2 * dx) - u[i - 1] + y[i, n]),
            poi.Eq, 0.0)
    m.set_objective(obj)
    return m


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    m = _model()
    y = m.add_m_variables((f, 2), lb=0.0, ub=1.0)
    s = m.add_m_variables((g + 1, g + 1, f), lb=0.0)
    z = m.add_m_variables((g + 1, g + 1, f), domain=poi.VariableDomain.Binary)
    r = m.add_m_variables((g + 1, g + 1, f, 2), lb=-INF)
    dist = m.add_variable(lb=-INF)
    for i in range(g + 1):
        for j in range(g + 1):
            m.add_linear_constraint(poi.quicksum(z[i, j, :]), poi.Eq, 1.0)
    for i in range(g + 1):
        for j in range(g + 1):
            for k in range(f):
                m.add_linear_constraint(s[i, j, k] - dist + big_m * z[i, j, k], poi.Eq, big_m)
                m.add_linear_constraint(r[i, j, k, 0] + y[k, 0], poi.Eq, i / g)
                m.add_linear_constraint(r[i, j, k, 1] + y[k, 1], poi.Eq, j / g)
    m.set_objective(dist + 0.0)
    return m


def _sparse_vars(m, d):
    return m.add_m_variables(d.cols, lb=0.0, ub=d.ub)


def _sparse_objective(m, d, x):
    index = np.fromiter((v.index for v in x), dtype=np.int32, count=d.cols)
    m.set_objective(poi.ScalarAffineFunction.from_numpy(np.ascontiguousarray(d.c, dtype=np.float64), index))


def sparse_dot(d):
    m = _model()
    x = _sparse_vars(m, d)
    m.add_m_linear_constraints(d.a, x, poi.Geq, d.b)
    _sparse_objective(m, d, x)
    return m


def sparse_loop(d):
    m = _model()
    x = _sparse_vars(m, d)
    a = d.a
    for r in range(d.rows):
        lo, hi = a.indptr[r], a.indptr[r + 1]
        expr = poi.ScalarAffineFunction()
        for j, v in zip(a.indices[lo:hi].tolist(), a.data[lo:hi].tolist()):
            expr.add_term(x[j], v)
        m.add_linear_constraint(expr, poi.Geq, float(d.b[r]))
    _sparse_objective(m, d, x)
    return m


def hand_over(m, time_limit):
    m.set_raw_parameter("time_limit", float(INF if time_limit is None else time_limit))
    m.optimize()
    if time_limit == 0:
        return None
    return m.get_model_attribute(poi.ModelAttribute.ObjectiveValue)


def dims(m):
    return m.getnumrow(), m.getnumcol(), None
