"""korvo: variables, expressions and constraints as Python objects and
NumPy arrays of them, collected in a korvo.problem and solved by korvo's
engine (HiGHS underneath)."""
from __future__ import annotations

import numpy as np

from .common import Unavailable

try:
    import korvo
except ImportError:  # the runner reports the library as not available
    korvo = None

LIBRARY = "korvo"
ROUTE = "korvo.problem.solve() (engine hands its model copy to HiGHS as whole arrays)"

NOT_WRITTEN = {}

# The parts of korvo's API these models use.
REQUIRED = ("var", "vars", "Sum", "Dot", "problem", "infinity", "binary")
REQUIRED_METHODS = ("addVariable", "addConstraint", "setObjective", "solve", "getObjVal")


def versions():
    from importlib.metadata import version
    return {"korvo": version("korvo"), "highsbox": version("highsbox")}


def unavailable():
    """Why korvo cannot run these models yet (None when it can): a missing
    name, or a one-variable model that does not solve to its optimum."""
    if korvo is None:
        return "korvo is not installed"
    missing = [name for name in REQUIRED if not hasattr(korvo, name)]
    if missing:
        return "korvo lacks " + ", ".join(missing)
    try:
        p = korvo.problem()
        missing = [name for name in REQUIRED_METHODS if not hasattr(p, name)]
        if missing:
            return "korvo.problem lacks " + ", ".join(missing)
        x = korvo.var(lb=-korvo.infinity)
        p.addVariable(x)
        p.addConstraint(x >= 1.5)
        p.setObjective(2 * x)
        _configure(p, None)
        p.solve()
        value = p.getObjVal()
    except Exception as exc:
        return f"korvo cannot solve a one-variable LP yet ({type(exc).__name__}: {exc})"
    if abs(value - 3.0) > 1e-9:
        return f"korvo solves min 2x s.t. x >= 1.5 to {value}, not 3"
    return None


def _configure(p, time_limit):
    p.controls.outputlog = 0
    p.controls.threads = 1
    p.controls.presolve = 0
    p.controls.timelimit = 1e20 if time_limit is None else float(time_limit)


def _problem():
    p = korvo.problem()
    _configure(p, 0)
    return p


def basic_numpy(d):
    n = d.n
    p = _problem()
    x = korvo.vars(n, n, lb=-korvo.infinity)
    y = korvo.vars(n, n, lb=-korvo.infinity)
    p.addVariable(x, y)
    p.addConstraint(x - y >= np.arange(n, dtype=float)[:, None])
    p.addConstraint(x + y >= 0)
    p.setObjective(korvo.Sum(2 * x + y))
    return p


def basic_loop(d):
    n = d.n
    p = _problem()
    x = {(i, j): korvo.var(lb=-korvo.infinity) for i in range(n) for j in range(n)}
    y = {(i, j): korvo.var(lb=-korvo.infinity) for i in range(n) for j in range(n)}
    p.addVariable(x, y)
    p.addConstraint([x[i, j] - y[i, j] >= i for i in range(n) for j in range(n)])
    p.addConstraint([x[i, j] + y[i, j] >= 0 for i in range(n) for j in range(n)])
    p.setObjective(korvo.Sum(2 * x[k] + y[k] for k in x))
    return p


def lqcp(d):
    n = m = d.n
    dt, h2, dx = d.dt, d.h2, d.dx
    p = _problem()
    y = korvo.vars(m + 1, n + 1, lb=0.0, ub=1.0)
    u = korvo.vars(m, lb=-1.0, ub=1.0)          # u[k] is the control at i = k + 1
    p.addVariable(y, u)
    inner, up = y[:-1, 1:-1], y[1:, 1:-1]
    p.addConstraint((up - inner) / dt
                    - 0.5 * (y[:-1, :-2] - 2 * inner + y[:-1, 2:]
                             + y[1:, :-2] - 2 * up + y[1:, 2:]) / h2 == 0)
    p.addConstraint(y[:, 2] - 4 * y[:, 1] + 3 * y[:, 0] == 0)
    p.addConstraint((y[1:, n - 2] - 4 * y[1:, n - 1] + 3 * y[1:, n]) / (2 * dx) - u + y[1:, n] == 0)
    w, cw, t = d.tracking_weights(), d.control_weights(), d.target(np.arange(n + 1))
    last = y[m, :] - t
    p.setObjective(korvo.Sum(w * last * last) + korvo.Sum(cw * u * u))
    return p


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    p = _problem()
    y = korvo.vars(f, 2, lb=0.0, ub=1.0)
    s = korvo.vars(g + 1, g + 1, f, lb=0.0)
    z = korvo.vars(g + 1, g + 1, f, vartype=korvo.binary)
    r = korvo.vars(g + 1, g + 1, f, 2, lb=-korvo.infinity)
    dist = korvo.var(lb=-korvo.infinity)
    p.addVariable(y, s, z, r, dist)
    p.addConstraint([korvo.Sum(z[i, j, :]) == 1 for i in range(g + 1) for j in range(g + 1)])
    p.addConstraint(s - dist + big_m * z == big_m)
    pts = np.arange(g + 1) / g
    p.addConstraint(r[..., 0] + y[:, 0] == pts[:, None, None])
    p.addConstraint(r[..., 1] + y[:, 1] == pts[None, :, None])
    p.setObjective(1.0 * dist)
    return p


def sparse_dot(d):
    # Dot takes the SciPy matrix as it is and works from its nonzeros.
    p = _problem()
    x = korvo.vars(d.cols, lb=0.0, ub=d.ub)
    p.addVariable(x)
    p.addConstraint(korvo.Dot(d.a, x) >= d.b)
    p.setObjective(korvo.Dot(d.c, x).item())
    return p


def sparse_loop(d):
    p = _problem()
    x = korvo.vars(d.cols, lb=0.0, ub=d.ub)
    p.addVariable(x)
    a = d.a
    indptr, indices, data, b = a.indptr, a.indices.tolist(), a.data.tolist(), d.b.tolist()
    xs = x.tolist()
    p.addConstraint([
        korvo.Sum(v * xs[j] for j, v in zip(indices[indptr[r]:indptr[r + 1]], data[indptr[r]:indptr[r + 1]]))
        >= b[r]
        for r in range(d.rows)])
    c = d.c.tolist()
    p.setObjective(korvo.Sum(c[j] * xs[j] for j in range(d.cols)))
    return p


def hand_over(p, time_limit):
    p.controls.timelimit = 1e20 if time_limit is None else float(time_limit)
    try:
        p.solve()
    except korvo.SolverError:
        # a solve stopped by the zero time limit has still handed the model over
        if time_limit != 0 or p.attributes.stopstatus != korvo.stop_timelimit:
            raise
    return None if time_limit == 0 else p.getObjVal()


def dims(p):
    return p.attributes.rows, p.attributes.cols, p.attributes.elems


def _needs_korvo(build):
    def wrapped(d):
        reason = None if korvo is not None else "korvo is not installed"
        if reason:
            raise Unavailable(reason)
        try:
            return build(d)
        except AttributeError as exc:
            # a part of the API that has not landed yet
            if "korvo" in str(exc):
                raise Unavailable(f"korvo API missing: {exc}") from exc
            raise
    wrapped.__name__ = build.__name__
    return wrapped


basic_numpy, basic_loop, lqcp, facility, sparse_dot, sparse_loop = (
    _needs_korvo(b) for b in (basic_numpy, basic_loop, lqcp, facility, sparse_dot, sparse_loop))
