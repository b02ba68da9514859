"""korvo's nonlinear solver against SciPy (SLSQP, trust-constr) and Ipopt on
scalable models, every solver from the same starting point.

Run: python bench/nlp_scalable.py [--quick] [--sizes 1000,10000] [--timeout 30]
     python bench/nlp_scalable.py --published [--reps 3] [--budget 900]
  --quick      size 100 only (a self-check in seconds)
  default      size 1000
  --timeout    seconds a peer cell may run before it is stopped (default 30)
  --published  the published sizes (Rosenbrock 1000 and 10000, control about
               2000 and 20000, expsum 10000, both mostly linear models
               10000), every cell --reps times in interleaved rounds (a
               cell that timed out or failed is not repeated; no round
               starts after --budget seconds), and the table written into
               bench/README.md between its nlp-published markers

Models (n = size, the number of variables, roughly):
  rosenbrock   chained Rosenbrock, unconstrained, start 0
  control      discretised optimal control: x[t+1] = x[t] + h*(x[t]^2 + u[t]),
               x[0] = 1, cost h*sum(x^2 + u^2) + x[N]^2; start x = 1, u = 0
  expsum       min sum exp(x) subject to n-2 linear rows
               x[i] + 2 x[i+1] - x[i+2] >= r[i]; start 0
  mostlylinear covering LP (n/2 rows of 4 columns) plus five bilinear rows
               x[a] * x[b] >= 2; start 0.5
  transport    transport LP (n arcs from n/200 supplies to 200 demands, with
               supply and demand rows) plus five convex quadratic rows (the
               squared flows of a supply's first 40 arcs at most q) and one
               exponential row over 20 arcs; start 0

Each cell runs in a forked child so that a peer that does not finish within
the timeout can be stopped. The time is the solve call alone (korvo:
nlpoptimize(); SciPy: minimize(); Ipopt: solve()), not the model build. The
objective and the largest violation of rows and bounds are computed by the
same NumPy code from each solver's returned point.

Ipopt comes from the cyipopt-wheels package when it imports (it is not a
dependency; put it on PYTHONPATH to include it). It gets exact Hessians, as
trust-constr does; SLSQP builds its own quasi-Newton approximation and works
on dense Jacobians.

The multistart section solves the same job list (start points spread over
the control model) with knls_msthreads = 1 and 2. Beside the wall-clock
speed-up it reports how the processor time divides between the calling
thread and the worker, and the speed-up that division allows on two free
cores (total / larger share): on a loaded machine whose scheduler shares the
processor by session, a second thread does not get a second core and the
wall-clock figure stays near 1.
"""
import argparse
import multiprocessing
import os
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp
from scipy.optimize import Bounds, NonlinearConstraint, minimize

import korvo

try:
    import cyipopt
except ImportError:  # Ipopt is an optional peer
    cyipopt = None

INF = np.inf


class Model:
    """A model in NumPy form: objective, gradient, rows g(x) in [cl, cu],
    sparse Jacobian, and the lower triangle of the Lagrangian's Hessian on a
    fixed pattern (hrow, hcol)."""

    name = ""

    def sym_hess(self, x, sigma, lam):
        h = sp.coo_matrix((self.hess_values(x, sigma, lam), (self.hrow, self.hcol)), shape=(self.n, self.n))
        return (h + h.T - sp.diags(h.diagonal())).tocsr()

    def violation(self, x):
        viol = max(0.0, float(np.max(self.lb - x, initial=0.0)), float(np.max(x - self.ub, initial=0.0)))
        if self.m:
            g = self.cons(x)
            viol = max(viol, float(np.max(self.cl - g, initial=0.0)), float(np.max(g - self.cu, initial=0.0)))
        return viol


class Rosenbrock(Model):
    name = "rosenbrock"

    def __init__(self, n):
        self.n, self.m = n, 0
        self.x0 = np.zeros(n)
        self.lb, self.ub = np.full(n, -INF), np.full(n, INF)
        self.cl = self.cu = np.zeros(0)
        idx = np.arange(n)
        self.hrow = np.concatenate([idx, idx[1:]])
        self.hcol = np.concatenate([idx, idx[:-1]])
        self.jrow = self.jcol = np.zeros(0, dtype=int)

    def obj(self, x):
        d = x[1:] - x[:-1] ** 2
        return float(np.sum(100 * d * d + (1 - x[:-1]) ** 2))

    def grad(self, x):
        d = x[1:] - x[:-1] ** 2
        g = np.zeros(self.n)
        g[:-1] += -400 * x[:-1] * d - 2 * (1 - x[:-1])
        g[1:] += 200 * d
        return g

    def cons(self, x):
        return np.zeros(0)

    def jac_values(self, x):
        return np.zeros(0)

    def hess_values(self, x, sigma, lam):
        diag = np.zeros(self.n)
        diag[:-1] += 1200 * x[:-1] ** 2 - 400 * x[1:] + 2
        diag[1:] += 200
        return sigma * np.concatenate([diag, -400 * x[:-1]])

    def korvo_model(self, p):
        x = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(self.n)]
        p.addVariable(x)
        p.setObjective(korvo.Sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(self.n - 1)))
        return x


class Control(Model):
    name = "control"

    def __init__(self, n):
        steps = max(2, (n - 1) // 2)
        self.steps, self.h = steps, 1.0 / steps
        self.n = 2 * steps + 1  # x[0..N], u[0..N-1]
        self.m = steps + 1      # the dynamics rows and x[0] = 1
        self.x0 = np.concatenate([np.ones(steps + 1), np.zeros(steps)])
        self.lb = np.concatenate([np.full(steps + 1, -10.0), np.full(steps, -3.0)])
        self.ub = np.concatenate([np.full(steps + 1, 10.0), np.full(steps, 3.0)])
        self.cl = np.concatenate([np.zeros(steps), [1.0]])
        self.cu = self.cl.copy()
        t = np.arange(steps)
        self.jrow = np.concatenate([t, t, t, [steps]])
        self.jcol = np.concatenate([t + 1, t, steps + 1 + t, [0]])
        self.hrow = self.hcol = np.arange(self.n)

    def split(self, z):
        return z[:self.steps + 1], z[self.steps + 1:]

    def obj(self, z):
        x, u = self.split(z)
        return float(self.h * (np.sum(x[:-1] ** 2) + np.sum(u ** 2)) + x[-1] ** 2)

    def grad(self, z):
        x, u = self.split(z)
        gx = 2 * self.h * x
        gx[-1] = 2 * x[-1]
        return np.concatenate([gx, 2 * self.h * u])

    def cons(self, z):
        x, u = self.split(z)
        return np.concatenate([x[1:] - x[:-1] - self.h * (x[:-1] ** 2 + u), [x[0]]])

    def jac_values(self, z):
        x, _ = self.split(z)
        s = self.steps
        return np.concatenate([np.ones(s), -1 - 2 * self.h * x[:-1], np.full(s, -self.h), [1.0]])

    def hess_values(self, z, sigma, lam):
        diag = np.full(self.n, 2 * self.h * sigma)
        diag[self.steps] = 2 * sigma
        diag[:self.steps] += -2 * self.h * lam[:self.steps]
        return diag

    def korvo_model(self, p):
        s, h = self.steps, self.h
        x = [korvo.var(lb=-10, ub=10) for _ in range(s + 1)]
        u = [korvo.var(lb=-3, ub=3) for _ in range(s)]
        p.addVariable(x, u)
        p.addConstraint([x[t + 1] - x[t] - h * (x[t] ** 2 + u[t]) == 0 for t in range(s)])
        p.addConstraint(x[0] == 1)
        p.setObjective(korvo.Sum(h * (x[t] ** 2 + u[t] ** 2) for t in range(s)) + x[s] ** 2)
        return x + u


class ExpSum(Model):
    name = "expsum"

    def __init__(self, n):
        rng = np.random.default_rng(1)
        self.n, self.m = n, n - 2
        self.x0 = np.zeros(n)
        self.lb, self.ub = np.full(n, -10.0), np.full(n, 10.0)
        self.r = rng.uniform(0, 1, self.m)
        self.cl, self.cu = self.r.copy(), np.full(self.m, INF)
        i = np.arange(self.m)
        self.jrow = np.concatenate([i, i, i])
        self.jcol = np.concatenate([i, i + 1, i + 2])
        self.jval = np.concatenate([np.ones(self.m), np.full(self.m, 2.0), -np.ones(self.m)])
        self.hrow = self.hcol = np.arange(n)

    def obj(self, x):
        return float(np.sum(np.exp(x)))

    def grad(self, x):
        return np.exp(x)

    def cons(self, x):
        return x[:-2] + 2 * x[1:-1] - x[2:]

    def jac_values(self, x):
        return self.jval

    def hess_values(self, x, sigma, lam):
        return sigma * np.exp(x)

    def korvo_model(self, p):
        x = [korvo.var(lb=-10, ub=10) for _ in range(self.n)]
        p.addVariable(x)
        p.addConstraint([x[i] + 2 * x[i + 1] - x[i + 2] >= float(self.r[i]) for i in range(self.m)])
        p.setObjective(korvo.Sum(korvo.exp(v) for v in x))
        return x


class MostlyLinear(Model):
    name = "mostlylinear"
    pairs_count = 5

    def __init__(self, n):
        rng = np.random.default_rng(2)
        self.n = n
        self.cover = [rng.choice(n, 4, replace=False) for _ in range(n // 2)]
        chosen = rng.choice(n, 2 * self.pairs_count, replace=False)
        self.pairs = [(int(max(a, b)), int(min(a, b))) for a, b in chosen.reshape(-1, 2)]
        self.m = len(self.cover) + self.pairs_count
        self.c = rng.uniform(1, 2, n)
        self.x0 = np.full(n, 0.5)
        self.lb, self.ub = np.zeros(n), np.full(n, 10.0)
        self.cl = np.concatenate([np.ones(len(self.cover)), np.full(self.pairs_count, 2.0)])
        self.cu = np.full(self.m, INF)
        k = len(self.cover)
        rows = [np.full(4, i) for i in range(k)] + [np.array([k + j, k + j]) for j in range(self.pairs_count)]
        cols = list(self.cover) + [np.array(pr) for pr in self.pairs]
        self.jrow, self.jcol = np.concatenate(rows), np.concatenate(cols)
        self.a = np.array([a for a, _ in self.pairs])
        self.b = np.array([b for _, b in self.pairs])
        self.hrow, self.hcol = self.a, self.b  # a > b: the lower triangle
        self.cover_matrix = sp.csr_matrix((np.ones(4 * k), (np.repeat(np.arange(k), 4), np.concatenate(self.cover))), shape=(k, n))

    def obj(self, x):
        return float(self.c @ x)

    def grad(self, x):
        return self.c

    def cons(self, x):
        return np.concatenate([self.cover_matrix @ x, x[self.a] * x[self.b]])

    def jac_values(self, x):
        bil = np.column_stack([x[self.b], x[self.a]]).ravel()
        return np.concatenate([np.ones(4 * len(self.cover)), bil])

    def hess_values(self, x, sigma, lam):
        return lam[len(self.cover):].copy()

    def korvo_model(self, p):
        x = [korvo.var(lb=0, ub=10) for _ in range(self.n)]
        p.addVariable(x)
        p.addConstraint([korvo.Sum(x[int(j)] for j in row) >= 1 for row in self.cover])
        p.addConstraint([x[a] * x[b] >= 2 for a, b in self.pairs])
        p.setObjective(korvo.Sum(float(ci) * v for ci, v in zip(self.c, x)))
        return x


class Transport(Model):
    name = "transport"

    def __init__(self, n):
        rng = np.random.default_rng(4)
        d = 200 if n >= 1200 else 60
        s = max(6, n // d)
        self.supplies, self.demands = s, d
        self.n = s * d  # arc (i, j) is column i * d + j
        arcs = np.arange(self.n).reshape(s, d)
        self.dem = rng.uniform(1, 3, d)
        self.cap = np.full(s, 1.3 * self.dem.sum() / s)
        cost = rng.uniform(1, 3, (s, d))
        cost[:5, :40] -= 0.9    # the first five supplies are cheap for the first 40 demands...
        cost[5, 40:60] -= 0.9   # ...and the sixth for the next 20
        self.c = cost.ravel()
        self.quad_arcs = [arcs[i, :40] for i in range(5)]  # sum x^2 <= q each
        self.q = 10.0
        self.exp_arcs = arcs[5, 40:60]                     # sum exp(x / 2) <= e
        self.e = 30.0
        self.m = s + d + 6
        self.x0 = np.zeros(self.n)
        self.lb, self.ub = np.zeros(self.n), np.full(self.n, 50.0)
        self.cl = np.concatenate([np.full(s, -INF), self.dem, np.full(6, -INF)])
        self.cu = np.concatenate([self.cap, np.full(d, INF), np.full(5, self.q), [self.e]])
        rows, cols = [], []
        for i in range(s):
            rows.append(np.full(d, i))
            cols.append(arcs[i])
        for j in range(d):
            rows.append(np.full(s, s + j))
            cols.append(arcs[:, j])
        for k, a in enumerate(self.quad_arcs):
            rows.append(np.full(len(a), s + d + k))
            cols.append(a)
        rows.append(np.full(len(self.exp_arcs), s + d + 5))
        cols.append(self.exp_arcs)
        self.jrow, self.jcol = np.concatenate(rows), np.concatenate(cols)
        self.lin = sp.csr_matrix((np.ones(2 * self.n), (self.jrow[:2 * self.n], self.jcol[:2 * self.n])),
                                 shape=(s + d, self.n))
        self.hrow = self.hcol = np.concatenate(self.quad_arcs + [self.exp_arcs])

    def obj(self, x):
        return float(self.c @ x)

    def grad(self, x):
        return self.c

    def cons(self, x):
        quad = [float(np.sum(x[a] ** 2)) for a in self.quad_arcs]
        return np.concatenate([self.lin @ x, quad, [float(np.sum(np.exp(x[self.exp_arcs] / 2)))]])

    def jac_values(self, x):
        return np.concatenate([np.ones(2 * self.n)] + [2 * x[a] for a in self.quad_arcs] +
                              [np.exp(x[self.exp_arcs] / 2) / 2])

    def hess_values(self, x, sigma, lam):
        base = self.supplies + self.demands
        return np.concatenate([np.full(len(a), 2 * lam[base + k]) for k, a in enumerate(self.quad_arcs)] +
                              [lam[base + 5] * np.exp(x[self.exp_arcs] / 2) / 4])

    def korvo_model(self, p):
        x = [korvo.var(lb=0, ub=50) for _ in range(self.n)]
        p.addVariable(x)
        s, d = self.supplies, self.demands
        p.addConstraint([korvo.Sum(x[i * d + j] for j in range(d)) <= float(self.cap[i]) for i in range(s)])
        p.addConstraint([korvo.Sum(x[i * d + j] for i in range(s)) >= float(self.dem[j]) for j in range(d)])
        p.addConstraint([korvo.Sum(x[int(k)] ** 2 for k in a) <= self.q for a in self.quad_arcs])
        p.addConstraint(korvo.Sum(korvo.exp(x[int(k)] / 2) for k in self.exp_arcs) <= self.e)
        p.setObjective(korvo.Sum(float(ci) * v for ci, v in zip(self.c, x)))
        return x


MODELS = [Rosenbrock, Control, ExpSum, MostlyLinear, Transport]


def jac(model, x):
    return sp.csr_matrix((model.jac_values(x), (model.jrow, model.jcol)), shape=(model.m, model.n))


def build_korvo(model):
    p = korvo.problem()
    cols = model.korvo_model(p)
    p.addvars(cols, initvalue=[float(v) for v in model.x0])
    return p, cols


def run_korvo(model, iterlimit=None):
    p, cols = build_korvo(model)
    if iterlimit:
        p.controls.knls_iterlimit = iterlimit
    start = time.perf_counter()
    p.nlpoptimize()
    seconds = time.perf_counter() - start
    return seconds, np.array(p.getSolution(cols), dtype=float), p.getProbStatusString(), p.attributes.knls_iterations


def run_slsqp(model, iterlimit=None):
    constraints = []
    if model.m:
        eq = np.flatnonzero(model.cl == model.cu)
        lo = np.flatnonzero((model.cl != model.cu) & np.isfinite(model.cl))
        hi = np.flatnonzero((model.cl != model.cu) & np.isfinite(model.cu))
        if len(eq):
            constraints.append({"type": "eq", "fun": lambda x: model.cons(x)[eq] - model.cl[eq],
                                "jac": lambda x: jac(model, x)[eq].toarray()})
        if len(lo):
            constraints.append({"type": "ineq", "fun": lambda x: model.cons(x)[lo] - model.cl[lo],
                                "jac": lambda x: jac(model, x)[lo].toarray()})
        if len(hi):
            constraints.append({"type": "ineq", "fun": lambda x: model.cu[hi] - model.cons(x)[hi],
                                "jac": lambda x: -jac(model, x)[hi].toarray()})
    start = time.perf_counter()
    res = minimize(model.obj, model.x0, jac=model.grad, method="SLSQP", bounds=Bounds(model.lb, model.ub),
                   constraints=constraints, options={"maxiter": 1000})
    return time.perf_counter() - start, res.x, res.message[:28], res.nit


def run_trust_constr(model, iterlimit=None):
    constraints = []
    if model.m:
        constraints.append(NonlinearConstraint(model.cons, model.cl, model.cu, jac=lambda x: jac(model, x),
                                               hess=lambda x, v: model.sym_hess(x, 0.0, v)))
    bounds = Bounds(model.lb, model.ub) if np.isfinite(model.lb).any() or np.isfinite(model.ub).any() else None
    start = time.perf_counter()
    res = minimize(model.obj, model.x0, jac=model.grad, hess=lambda x: model.sym_hess(x, 1.0, np.zeros(model.m)),
                   method="trust-constr", bounds=bounds, constraints=constraints, options={"maxiter": 3000})
    return time.perf_counter() - start, res.x, res.message[:28], res.nit


class IpoptCallbacks:
    def __init__(self, model):
        self.model = model
        self.iterations = 0

    def intermediate(self, alg_mod, iter_count, *rest):
        self.iterations = iter_count
        return True

    def objective(self, x):
        return self.model.obj(x)

    def gradient(self, x):
        return self.model.grad(x)

    def constraints(self, x):
        return self.model.cons(x)

    def jacobianstructure(self):
        return self.model.jrow, self.model.jcol

    def jacobian(self, x):
        return self.model.jac_values(x)

    def hessianstructure(self):
        return self.model.hrow, self.model.hcol

    def hessian(self, x, lagrange, obj_factor):
        return self.model.hess_values(x, obj_factor, lagrange)


def run_ipopt(model, iterlimit=None):
    callbacks = IpoptCallbacks(model)
    nlp = cyipopt.Problem(n=model.n, m=model.m, problem_obj=callbacks,
                          lb=model.lb, ub=model.ub, cl=model.cl, cu=model.cu)
    nlp.add_option("print_level", 0)
    nlp.add_option("sb", "yes")
    if iterlimit:
        nlp.add_option("max_iter", iterlimit)
    start = time.perf_counter()
    x, info = nlp.solve(model.x0)
    status = info["status_msg"].decode() if isinstance(info["status_msg"], bytes) else str(info["status_msg"])
    return time.perf_counter() - start, x, status[:28], callbacks.iterations


SOLVERS = {"korvo": run_korvo, "SLSQP": run_slsqp, "trust-constr": run_trust_constr}
if cyipopt is not None:
    SOLVERS["Ipopt"] = run_ipopt


def cell_child(conn, solver, model_cls, size, iterlimit):
    try:
        korvo.setOutputEnabled(False)
        model = model_cls(size)
        seconds, x, status, iterations = SOLVERS[solver](model, iterlimit)
        conn.send(("ok", seconds, model.obj(x), model.violation(x), status, iterations))
    except Exception as error:  # reported in the table, not hidden
        conn.send(("error", 0.0, float("nan"), float("nan"), f"{type(error).__name__}: {error}"[:60], None))
    conn.close()


def run_cell(solver, model_cls, size, timeout, iterlimit=None):
    ctx = multiprocessing.get_context("fork")
    parent, child = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=cell_child, args=(child, solver, model_cls, size, iterlimit))
    proc.start()
    child.close()
    if parent.poll(timeout):
        result = parent.recv()
        proc.join()
        return result
    proc.kill()
    proc.join()
    return ("timeout", float("nan"), float("nan"), float("nan"), f"stopped after {timeout:.0f} s", None)


def multistart_child(conn, threads, size, jobs):
    korvo.setOutputEnabled(False)
    model = Control(size)
    p, cols = build_korvo(model)
    rng = np.random.default_rng(3)
    for j in range(jobs):
        start_point = np.clip(model.x0 + rng.uniform(-0.5, 0.5, model.n), model.lb, model.ub)
        p.msaddjob(f"job{j}", cols, [float(v) for v in start_point])
    p.controls.knls_msthreads = threads
    cpu0, own0, start = time.process_time(), time.thread_time(), time.perf_counter()
    p.nlpoptimize()
    seconds = time.perf_counter() - start
    cpu, own = time.process_time() - cpu0, time.thread_time() - own0
    conn.send((seconds, p.getObjVal(), p.attributes.knls_msjobs, p.attributes.knls_mswinner, cpu, own))
    conn.close()


def run_multistart(threads, size, jobs):
    ctx = multiprocessing.get_context("fork")
    parent, child = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=multistart_child, args=(child, threads, size, jobs))
    proc.start()
    child.close()
    result = parent.recv()
    proc.join()
    return result


PUBLISHED = [(Rosenbrock, 1000), (Rosenbrock, 10000), (Control, 2001), (Control, 20001), (ExpSum, 10000),
             (MostlyLinear, 10000), (Transport, 10000)]
PUBLISHED_SOLVERS = ["korvo", "Ipopt", "trust-constr", "SLSQP"]
# Chained Rosenbrock from the origin needs about 1.5 n Newton steps on both
# interior-point codes: at n = 10000 korvo and Ipopt both get this budget
# instead of their default 3000 (the other solvers keep their own limits).
PUBLISHED_ITERLIMIT = {("rosenbrock", 10000): {"korvo": 20000, "Ipopt": 20000}}
SLSQP_LARGEST = 1000  # dense Jacobians and quasi-Newton matrices: beyond this it does not finish
README_START, README_END = "<!-- nlp-published:start -->", "<!-- nlp-published:end -->"


def published_cell(runs, solver, n):
    if solver == "SLSQP" and n > SLSQP_LARGEST:
        return "not run (dense)"
    if solver not in SOLVERS:
        return "not installed"
    if not runs:
        return "not run"
    kind, _, obj, viol, status, iterations = runs[-1]
    if kind != "ok":
        return status if kind == "timeout" else f"failed: {status}"
    times = sorted(r[1] for r in runs)
    spread = f" ({times[0]:.3g}-{times[-1]:.3g})" if len(times) > 1 else ""
    text = f"{statistics.median(times):.3g}{spread} / {obj:.8g}"
    if iterations is not None:
        text += f" / {iterations} it"
    if viol > 1e-6:
        text += f", viol {viol:.1e}"
    lowered = status.lower()
    if not any(word in lowered for word in ("solution", "success", "optimal", "gtol", "terminated succ")):
        text += f" [{status}]"
    return text


def run_published(args):
    load_before = os.getloadavg()
    results = {(cls.name, size, solver): [] for cls, size in PUBLISHED for solver in PUBLISHED_SOLVERS}
    stopped = set()
    start = time.perf_counter()
    rounds = 0
    for rep in range(args.reps):
        if rep and time.perf_counter() - start > args.budget:
            break
        rounds += 1
        for cls, size in PUBLISHED:
            for solver in PUBLISHED_SOLVERS:
                key = (cls.name, size, solver)
                if solver not in SOLVERS or key in stopped or (solver == "SLSQP" and size > SLSQP_LARGEST):
                    continue
                timeout = args.timeout if solver != "korvo" else 2 * args.timeout
                iterlimit = PUBLISHED_ITERLIMIT.get((cls.name, size), {}).get(solver)
                result = run_cell(solver, cls, size, timeout, iterlimit)
                results[key].append(result)
                if result[0] != "ok":
                    stopped.add(key)
                print(f"round {rep + 1} {cls.name:<13}{cls(size).n:>7}  {solver:<13}{result[1]:>9.3f}"
                      f"{result[2]:>17.8g}{result[3]:>11.1e}  {result[4]}"
                      f"{'' if result[5] is None else f', {result[5]} it'}", flush=True)
    load_after = os.getloadavg()
    lines = [f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {rounds} interleaved round(s), "
             f"each cell's median seconds (fastest-slowest) / objective; a peer stopped after {args.timeout:.0f} s "
             f"(korvo {2 * args.timeout:.0f} s) and not repeated. Load average (1/5/15 min) "
             f"{load_before[0]:.1f}/{load_before[1]:.1f}/{load_before[2]:.1f} before, "
             f"{load_after[0]:.1f}/{load_after[1]:.1f}/{load_after[2]:.1f} after, on 2 cores. "
             + "".join(f"{name} ({size}): iteration limit {limits['korvo']} for korvo and Ipopt alike (their default "
                       f"is 3000). " for (name, size), limits in PUBLISHED_ITERLIMIT.items())
             + "Iterations after each objective.", "",
             "| model (n) | korvo | Ipopt | korvo / Ipopt | trust-constr | SLSQP |", "|---|---|---|---|---|---|"]
    for cls, size in PUBLISHED:
        n = cls(size).n
        cells = {solver: published_cell(results[(cls.name, size, solver)], solver, n) for solver in PUBLISHED_SOLVERS}
        ratio = ""
        kr, ir = results[(cls.name, size, "korvo")], results[(cls.name, size, "Ipopt")]
        if kr and ir and kr[-1][0] == "ok" and ir[-1][0] == "ok":
            km = statistics.median(r[1] for r in kr)
            im = statistics.median(r[1] for r in ir)
            ratio = f"{km / im:.2f}"
            gap = abs(kr[-1][2] - ir[-1][2]) / max(1.0, abs(ir[-1][2]))
            if gap > 1e-6:
                ratio += f" (objectives differ by {gap:.1e})"
        elif kr and ir and kr[-1][0] == "ok" and ir[-1][0] == "timeout":
            # The peer's time is at least its timeout.
            ratio = f"< {statistics.median(r[1] for r in kr) / args.timeout:.2f} (Ipopt stopped)"
        lines.append(f"| {cls.name} ({n}) | {cells['korvo']} | {cells['Ipopt']} | {ratio} | {cells['trust-constr']} "
                     f"| {cells['SLSQP']} |")
    table = "\n".join(lines)
    print("\n" + table)
    if args.readme:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "README.md")
        with open(path) as f:
            text = f.read()
        if README_START in text and README_END in text:
            head, rest = text.split(README_START, 1)
            _, tail = rest.split(README_END, 1)
            with open(path, "w") as f:
                f.write(head + README_START + "\n" + table + "\n" + README_END + tail)
            print(f"written into {path}")
        else:
            print(f"{path} has no {README_START} ... {README_END} markers: table not written")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="size 100 only")
    parser.add_argument("--sizes", default=None, help="comma-separated sizes (default 1000)")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds before a peer's solve is stopped")
    parser.add_argument("--jobs", type=int, default=8, help="multistart jobs")
    parser.add_argument("--multistart-size", type=int, default=None,
                        help="size of the multistart's control model (default: the first size)")
    parser.add_argument("--published", action="store_true", help="the published run (see the module's text)")
    parser.add_argument("--reps", type=int, default=3, help="rounds of the published run")
    parser.add_argument("--budget", type=float, default=900.0, help="seconds after which no new round starts")
    parser.add_argument("--no-readme", dest="readme", action="store_false",
                        help="print the published table without writing it into bench/README.md")
    args = parser.parse_args()
    if args.published:
        if args.timeout == 30.0:
            args.timeout = 60.0
        return run_published(args)
    sizes = [100] if args.quick else [int(s) for s in (args.sizes or "1000").split(",")]
    if cyipopt is None:
        print("Ipopt: cyipopt not importable, its column is left out")
    header = f"{'model':<13}{'n':>7}  {'solver':<13}{'time s':>9}{'objective':>17}{'max viol':>11}  status"
    print(header)
    print("-" * len(header))
    failures = 0
    for size in sizes:
        for model_cls in MODELS:
            n = model_cls(size).n
            for solver in SOLVERS:
                timeout = args.timeout if solver != "korvo" else 2 * args.timeout
                kind, seconds, obj, viol, status, _ = run_cell(solver, model_cls, size, timeout)
                failures += kind == "error" and solver == "korvo"
                print(f"{model_cls.name:<13}{n:>7}  {solver:<13}{seconds:>9.3f}{obj:>17.8g}{viol:>11.1e}  {status}",
                      flush=True)
    msize = args.multistart_size or sizes[0]
    print(f"\nmultistart: control model n={Control(msize).n}, {args.jobs} jobs with random start points")
    base = None
    for threads in (1, 2):
        seconds, obj, jobs, winner, cpu, own = run_multistart(threads, msize, args.jobs)
        base = base or seconds
        print(f"  knls_msthreads={threads}: {seconds:.3f} s, objective {obj:.8g}, jobs {jobs}, "
              f"winner {winner}, speed-up {base / seconds:.2f}; processor {cpu:.3f} s "
              f"(calling thread {own:.3f} s, workers {cpu - own:.3f} s, speed-up the division allows "
              f"{cpu / max(own, cpu - own, 1e-9):.2f})", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
