"""Re-solve after one change: korvo against highspy on the same LP.

A sparse LP of 100,000 rows and 200,000 columns is loaded into a korvo
problem and into a highspy instance and solved once by each. Then, in
alternation, each library changes one bound (or one cost) of a column that
stays nonbasic and solves again: zero simplex iterations, so the time is the
cost of taking the change and starting the solver. Reported: medians and
spreads of the change plus re-solve, and korvo's ratio to highspy.

A third lane does the same through HiGHS's C interface of the library korvo
itself uses (highsbox's, through ctypes): what HiGHS alone costs in that
build, so that korvo's ratio to it is korvo's own share and the ratio of
that lane to highspy is the difference between the two builds of HiGHS.

    PYTHONPATH=_inst:<dir with highspy> python bench/resolve.py [--rows N] [--reps K]
"""
import argparse
import ctypes
import glob
import os
import statistics
import time

import numpy as np

import korvo


def make_lp(rows, seed=1):
    """Row i: x[2i] + x[2i+1] + 0.5 x[2i+2] >= b_i (indices wrap), costs in [1, 2], 0 <= x <= 10."""
    cols = 2 * rows
    rng = np.random.default_rng(seed)
    cost = rng.uniform(1.0, 2.0, cols)
    rhs = rng.uniform(1.0, 3.0, rows)
    r = np.arange(rows)
    entries_row = np.concatenate([r, r, r])
    entries_col = np.concatenate([2 * r, 2 * r + 1, (2 * r + 2) % cols])
    entries_val = np.concatenate([np.ones(rows), np.ones(rows), np.full(rows, 0.5)])
    order = np.lexsort((entries_row, entries_col))
    col_of = entries_col[order]
    start = np.zeros(cols + 1, dtype=np.int64)
    np.add.at(start, col_of + 1, 1)
    start = np.cumsum(start)
    return dict(cols=cols, rows=rows, cost=cost, rhs=rhs, start=start,
                index=entries_row[order].astype(np.int32), value=entries_val[order],
                lb=np.zeros(cols), ub=np.full(cols, 10.0))


def korvo_problem(lp):
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.setControl("threads", 1)
    p.loadproblem("resolve", ["G"] * lp["rows"], lp["rhs"], None, lp["cost"], lp["start"], None, lp["index"],
                  lp["value"], lp["lb"], lp["ub"])
    p.lpoptimize()
    return p


def highspy_problem(lp):
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("threads", 1)
    inf = highspy.kHighsInf
    h.addVars(lp["cols"], lp["lb"], lp["ub"])
    h.changeColsCost(lp["cols"], np.arange(lp["cols"], dtype=np.int32), lp["cost"])
    # Rows from the column-wise arrays, transposed once.
    order = np.argsort(lp["index"], kind="stable")
    cols_of_entries = np.repeat(np.arange(lp["cols"], dtype=np.int32), np.diff(lp["start"]))
    row_start = np.searchsorted(lp["index"][order], np.arange(lp["rows"])).astype(np.int32)
    h.addRows(lp["rows"], lp["rhs"], np.full(lp["rows"], inf), len(order), row_start,
              cols_of_entries[order], lp["value"][order])
    h.run()
    return h


class HighsboxC:
    """HiGHS's C interface of highsbox's library (the one libkrvs links), through ctypes."""

    def __init__(self, lp):
        import highsbox

        libdir = os.path.join(os.path.dirname(highsbox.__file__), "highs_dist", "lib")
        lib = ctypes.CDLL(glob.glob(os.path.join(libdir, "libhighs.so*"))[0])
        P, I, D, S = ctypes.c_void_p, ctypes.c_int, ctypes.c_double, ctypes.c_char_p
        dp, ip = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int)
        lib.Highs_create.restype = P
        lib.Highs_destroy.argtypes = [P]
        lib.Highs_setBoolOptionValue.argtypes = [P, S, I]
        lib.Highs_setIntOptionValue.argtypes = [P, S, I]
        lib.Highs_passLp.argtypes = [P, I, I, I, I, I, D, dp, dp, dp, dp, dp, ip, ip, dp]
        lib.Highs_run.argtypes = [P]
        lib.Highs_changeColBounds.argtypes = [P, I, D, D]
        lib.Highs_changeColCost.argtypes = [P, I, D]
        lib.Highs_getSimplexIterationCount.argtypes = [P]
        self.lib = lib
        self.h = lib.Highs_create()
        lib.Highs_setBoolOptionValue(self.h, b"output_flag", 0)
        lib.Highs_setIntOptionValue(self.h, b"threads", 1)
        self.keep = [np.ascontiguousarray(a) for a in (
            lp["cost"], lp["lb"], lp["ub"], lp["rhs"], np.full(lp["rows"], 1e30),
            lp["start"].astype(np.int32), lp["index"].astype(np.int32), lp["value"])]
        cost, lb, ub, rlo, rup, start, index, value = self.keep
        ptr = lambda a, t: a.ctypes.data_as(t)
        lib.Highs_passLp(self.h, lp["cols"], lp["rows"], len(index), 1, 1, 0.0, ptr(cost, dp), ptr(lb, dp),
                         ptr(ub, dp), ptr(rlo, dp), ptr(rup, dp), ptr(start, ip), ptr(index, ip), ptr(value, dp))
        lib.Highs_run(self.h)

    def __del__(self):
        self.lib.Highs_destroy(self.h)


def nonbasic_columns(p, count):
    """Columns at their lower bound (0) in korvo's optimum: moving their upper bound or
    raising their cost keeps the basis optimal."""
    x = np.array(p.getSolution())
    return [int(j) for j in np.flatnonzero(x == 0.0)[:count]]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--reps", type=int, default=15)
    args = ap.parse_args()
    lp = make_lp(args.rows)
    t = time.perf_counter()
    p = korvo_problem(lp)
    print(f"korvo first solve   {time.perf_counter() - t:7.3f} s, objective {p.attributes.lpobjval:.6f}")
    t = time.perf_counter()
    h = highspy_problem(lp)
    print(f"highspy first solve {time.perf_counter() - t:7.3f} s, objective {h.getInfo().objective_function_value:.6f}")
    t = time.perf_counter()
    c = HighsboxC(lp)
    print(f"HiGHS C (highsbox) first solve {time.perf_counter() - t:7.3f} s")
    cols = nonbasic_columns(p, args.reps * 2 + 2)

    def korvo_bound(k):
        p.chgbounds([cols[k]], "U", [9.0 - 0.01 * k])
        p.lpoptimize()
        return p.attributes.simplexiter

    def highspy_bound(k):
        h.changeColBounds(cols[k], 0.0, 9.0 - 0.01 * k)
        h.run()
        return h.getInfo().simplex_iteration_count

    def c_bound(k):
        c.lib.Highs_changeColBounds(c.h, cols[k], 0.0, 9.0 - 0.01 * k)
        c.lib.Highs_run(c.h)
        return c.lib.Highs_getSimplexIterationCount(c.h)

    def c_cost(k):
        c.lib.Highs_changeColCost(c.h, cols[k + args.reps], lp["cost"][cols[k + args.reps]] + 0.5 + 0.01 * k)
        c.lib.Highs_run(c.h)
        return c.lib.Highs_getSimplexIterationCount(c.h)

    def korvo_cost(k):
        p.chgobj([cols[k + args.reps]], [lp["cost"][cols[k + args.reps]] + 0.5 + 0.01 * k])
        p.lpoptimize()
        return p.attributes.simplexiter

    def highspy_cost(k):
        h.changeColCost(cols[k + args.reps], lp["cost"][cols[k + args.reps]] + 0.5 + 0.01 * k)
        h.run()
        return h.getInfo().simplex_iteration_count

    lanes = ("korvo", "highspy", "highsbox C")
    for label, fns in (("bound", (korvo_bound, highspy_bound, c_bound)), ("cost", (korvo_cost, highspy_cost, c_cost))):
        times = {n: [] for n in lanes}
        iterations = {n: 0 for n in lanes}
        for k in range(args.reps):
            # The three lanes in turn, each one first as often as the others.
            order = list(zip(lanes, fns))
            order = order[k % 3:] + order[:k % 3]
            for name, fn in order:
                t = time.perf_counter()
                iterations[name] += fn(k)
                times[name].append(time.perf_counter() - t)
        med = {n: statistics.median(v) for n, v in times.items()}
        low = {n: min(v) for n, v in times.items()}
        text = ", ".join(f"{n} {med[n] * 1e3:.2f} ms [{low[n] * 1e3:.2f}-{max(times[n]) * 1e3:.2f}]" for n in lanes)
        print(f"one {label} change + re-solve: {text}")
        print(f"    korvo/highspy {med['korvo'] / med['highspy']:.2f}x (fastest {low['korvo'] / low['highspy']:.2f}x), "
              f"korvo/highsbox C {med['korvo'] / med['highsbox C']:.2f}x (fastest {low['korvo'] / low['highsbox C']:.2f}x), "
              f"highsbox C/highspy {med['highsbox C'] / med['highspy']:.2f}x (fastest "
              f"{low['highsbox C'] / low['highspy']:.2f}x); simplex iterations "
              + ", ".join(f"{n} {iterations[n]}" for n in lanes))

if __name__ == "__main__":
    main()
