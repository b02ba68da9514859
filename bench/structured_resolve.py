"""Re-solve of a MIP with reformulations after a change of its shape.

A sparse MIP (the LP of resolve.py with a few integer columns and indicator
constraints on some of its rows, so that its build has internal rows) is
solved once. Then, in alternation, one row is appended (or one cut added)
and the problem solved again in two ways: the problem itself, whose kept
solver model takes the new row and lays the reformulations' rows anew after
it, and a copy made just before the change, which hands the whole model
over (the copy is made outside the timing). Reported: medians and spreads
of the change plus re-solve on each road, and their ratio.

    PYTHONPATH=_inst python bench/structured_resolve.py [--rows N] [--reps K]
"""
import argparse
import statistics
import time

import numpy as np

import korvo
from resolve import make_lp


def structured_problem(lp, indicators):
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.setControl("threads", 1)
    p.loadproblem("structured", ["G"] * lp["rows"], lp["rhs"], None, lp["cost"], lp["start"], None, lp["index"],
                  lp["value"], lp["lb"], lp["ub"])
    # Binaries that switch the first rows on, at a cost each.
    n = lp["cols"]
    p.addcols([5.0] * indicators, [0] * (indicators + 1), [], [], [0.0] * indicators, [1.0] * indicators)
    p.chgcoltype(list(range(n, n + indicators)), ["B"] * indicators)
    p.chgcoltype([0, 1], ["I", "I"])
    p.setindicators(list(range(indicators)), list(range(n, n + indicators)), [1] * indicators)
    return p


def change(p, kind, k, cols):
    if kind == "row":
        p.addrows(["L"], [50.0], [0, 2], [k % cols, (k + 7) % cols], [1.0, 1.0])
    else:
        p.addcuts([1], ["L"], [40.0], [0, 2], [k % cols, (k + 3) % cols], [1.0, 1.0])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--indicators", type=int, default=20)
    ap.add_argument("--reps", type=int, default=7)
    args = ap.parse_args()
    lp = make_lp(args.rows)
    p = structured_problem(lp, args.indicators)
    p.mipoptimize()
    assert p.attributes.mipstatus == korvo.mip_optimal, p.attributes.mipstatus
    print(f"{args.rows} rows, {lp['cols'] + args.indicators} columns, {args.indicators} indicator rows; "
          f"{args.reps} repetitions of each change")
    for kind in ("row", "cut"):
        kept, whole = [], []
        for k in range(args.reps):
            q = p.copy()
            q.setControl("outputlog", 0)
            t = time.perf_counter()
            change(p, kind, k, lp["cols"])
            p.mipoptimize()
            kept.append(time.perf_counter() - t)
            t = time.perf_counter()
            change(q, kind, k, lp["cols"])
            q.mipoptimize()
            whole.append(time.perf_counter() - t)
            assert p.attributes.mipobjval == q.attributes.mipobjval or \
                abs(p.attributes.mipobjval - q.attributes.mipobjval) <= 1e-6 * abs(q.attributes.mipobjval)
            del q
        mk, mw = statistics.median(kept), statistics.median(whole)
        print(f"append one {kind:>3}: kept model {mk * 1e3:8.1f} ms [{min(kept) * 1e3:.1f}-{max(kept) * 1e3:.1f}]  "
              f"whole hand-over {mw * 1e3:8.1f} ms [{min(whole) * 1e3:.1f}-{max(whole) * 1e3:.1f}]  "
              f"ratio {mk / mw:.2f}")


if __name__ == "__main__":
    main()
