"""Re-solve after one change: korvo against highspy on the same LP.

A sparse LP of 100,000 rows and 200,000 columns is loaded into a korvo
problem and into a highspy instance and solved once by each. Then, in
alternation, each library changes one bound (or one cost) of a column that
stays nonbasic and solves again: zero simplex iterations, so the time is the
cost of taking the change and starting the solver. Reported: medians and
spreads of the change plus re-solve, and korvo's ratio to highspy.

    PYTHONPATH=_inst:<dir with highspy> python bench/resolve.py [--rows N] [--reps K]
"""
import argparse
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
    cols = nonbasic_columns(p, args.reps * 2 + 2)

    def korvo_bound(k):
        p.chgbounds([cols[k]], "U", [9.0 - 0.01 * k])
        p.lpoptimize()
        return p.attributes.simplexiter

    def highspy_bound(k):
        h.changeColBounds(cols[k], 0.0, 9.0 - 0.01 * k)
        h.run()
        return h.getInfo().simplex_iteration_count

    def korvo_cost(k):
        p.chgobj([cols[k + args.reps]], [lp["cost"][cols[k + args.reps]] + 0.5 + 0.01 * k])
        p.lpoptimize()
        return p.attributes.simplexiter

    def highspy_cost(k):
        h.changeColCost(cols[k + args.reps], lp["cost"][cols[k + args.reps]] + 0.5 + 0.01 * k)
        h.run()
        return h.getInfo().simplex_iteration_count

    for label, pair in (("bound", (korvo_bound, highspy_bound)), ("cost", (korvo_cost, highspy_cost))):
        times = {"korvo": [], "highspy": []}
        iterations = {"korvo": 0, "highspy": 0}
        for k in range(args.reps):
            order = (("korvo", pair[0]), ("highspy", pair[1]))
            for name, fn in order if k % 2 == 0 else order[::-1]:
                t = time.perf_counter()
                iterations[name] += fn(k)
                times[name].append(time.perf_counter() - t)
        med = {n: statistics.median(v) for n, v in times.items()}
        spread = {n: (min(v), max(v)) for n, v in times.items()}
        print(f"one {label} change + re-solve: korvo {med['korvo'] * 1e3:7.2f} ms "
              f"[{spread['korvo'][0] * 1e3:.2f}-{spread['korvo'][1] * 1e3:.2f}], "
              f"highspy {med['highspy'] * 1e3:7.2f} ms "
              f"[{spread['highspy'][0] * 1e3:.2f}-{spread['highspy'][1] * 1e3:.2f}], "
              f"ratio {med['korvo'] / med['highspy']:.2f}x "
              f"(simplex iterations korvo {iterations['korvo']}, highspy {iterations['highspy']})")


if __name__ == "__main__":
    main()
