"""Solve time of the shared instances: korvo against highspy with the same options.

Each instance is read by each library from the same file and solved with one
thread and the HiGHS options korvo hands over by default (output on, to no
console) (its control table
read from libkrvs/src/core/control_table.def, plus the dual simplex that
korvo chooses for LPs). The libraries alternate, first one then the other,
and each solve is timed around the call that solves (korvo's lpoptimize or
mipoptimize, highspy's run), so reading is not measured. Reported per
instance: median times, korvo's ratio, iterations and nodes of both (which
should agree) and the spreads of the times; then the total ratio (sums of
medians and of the fastest repetitions) and the fixed cost per solve on a
one-row model, solved again and solved first by a new problem.

    PYTHONPATH=_inst:<dir with highspy> python bench/instance_solves.py [--reps K] [names...]
"""
import argparse
import os
import re
import statistics
import sys
import time

import korvo

HERE = os.path.dirname(os.path.abspath(__file__))
INSTANCES = os.environ.get("KORVO_INSTANCES", "/work/shared/instances")
CONTROL_TABLE = os.path.join(HERE, "..", "libkrvs", "src", "core", "control_table.def")
# Quadratic rows go to the engine's own nonlinear solver, and these models
# are refused by one of the two: not a comparison of the same solve.
SKIP = {"qjh.lp", "qjh.mps", "qjh_qmatrix.mps", "qjh_quadobj_qmatrix.mps", "qjh_uncon.mps", "2821-qmatrix.mps",
        "qpinfeasible.lp", "qpunbounded.lp"}


def korvo_highs_options():
    """(HiGHS option, default value) of every korvo control that maps to one."""
    options = []
    for line in open(CONTROL_TABLE):
        m = re.match(r'KRVS_CONTROL\(\d+,\s*"[^"]*",\s*(\w),\s*([^,]+),\s*[^,]+,\s*[^,]+,\s*"([^"]*)"', line)
        if m and m.group(3):
            options.append((m.group(3), float(m.group(2))))
    return options


def highspy_instance(path, mip):
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(path)
    # korvo's HiGHS runs with its output on and sent nowhere but korvo's own
    # log; HiGHS's results depend on the flag (klein1 ends "unknown" with it
    # off), so highspy runs the same way.
    h.setOptionValue("log_to_console", False)
    h.setOptionValue("output_flag", True)
    for name, value in korvo_highs_options():
        kind = h.getOptionType(name)[1] if isinstance(h.getOptionType(name), tuple) else h.getOptionType(name)
        if name == "threads":
            value = 1
        text = str(kind)
        if "kBool" in text:
            h.setOptionValue(name, bool(value))
        elif "kInt" in text:
            h.setOptionValue(name, int(min(max(value, -2147483647), 2147483647)))
        elif "kDouble" in text:
            h.setOptionValue(name, float(value))
        else:
            h.setOptionValue(name, "on" if value > 0 else "off")
    if not mip and not h.getModel().hessian_.dim_:
        h.setOptionValue("solver", "simplex")
        h.setOptionValue("simplex_strategy", 1)
    return h


def korvo_instance(path):
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.setControl("threads", 1)
    p.read(path)
    types = []
    if p.attributes.cols:
        p.getcoltype(types, 0, p.attributes.cols - 1)
    mip = any(t != "C" for t in types) or p.attributes.sets > 0
    return p, mip


def time_korvo(path):
    p, mip = korvo_instance(path)
    t = time.perf_counter()
    (p.mipoptimize if mip else p.lpoptimize)()
    elapsed = time.perf_counter() - t
    a = p.attributes
    return elapsed, a.simplexiter + a.bariter, a.nodes, mip


def time_highspy(path, mip):
    h = highspy_instance(path, mip)
    t = time.perf_counter()
    h.run()
    elapsed = time.perf_counter() - t
    info = h.getInfo()
    return elapsed, max(info.simplex_iteration_count, 0) + max(info.qp_iteration_count, 0) + max(
        info.ipm_iteration_count, 0), max(info.mip_node_count, 0)


def one_row_korvo():
    """min -x subject to x <= 1, 0 <= x <= 2, in a new korvo problem."""
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.setControl("threads", 1)
    p.loadproblem("one", "L", [1.0], None, [-1.0], [0, 1], None, [0], [1.0], [0.0], [2.0])
    return p


def one_row_highspy():
    """The same LP in a new highspy instance."""
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("threads", 1)
    h.addVar(0.0, 2.0)
    h.changeColCost(0, -1.0)
    h.addRow(-highspy.kHighsInf, 1.0, 1, [0], [1.0])
    return h


def fixed_cost(reps=2000):
    """One-row LP solved again and again, nothing changed: the cost of a solve call."""
    p, h = one_row_korvo(), one_row_highspy()
    out = {}
    for name, solve in (("korvo", p.lpoptimize), ("highspy", h.run)):
        solve()
        t = time.perf_counter()
        for _ in range(reps):
            solve()
        out[name] = (time.perf_counter() - t) / reps
    return out


def first_solve_cost(reps=500):
    """One-row LP solved once by a new problem (made and loaded outside the
    timing): the cost of a first solve call, which in korvo includes handing
    the model to HiGHS, while highspy's instance holds it before."""
    out = {"korvo": [], "highspy": []}
    for _ in range(reps):
        p = one_row_korvo()
        t = time.perf_counter()
        p.lpoptimize()
        out["korvo"].append(time.perf_counter() - t)
        del p
        h = one_row_highspy()
        t = time.perf_counter()
        h.run()
        out["highspy"].append(time.perf_counter() - t)
        del h
    return {name: statistics.median(times) for name, times in out.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("names", nargs="*")
    args = ap.parse_args()
    names = args.names or sorted(f for f in os.listdir(INSTANCES) if f.endswith((".mps", ".lp")) and f not in SKIP)
    total = {"korvo": 0.0, "highspy": 0.0}
    fastest = {"korvo": 0.0, "highspy": 0.0}
    print(f"{'instance':22s} {'korvo ms':>9s} {'highspy ms':>10s} {'ratio':>6s}  iterations/nodes korvo | highspy")
    for name in names:
        path = os.path.join(INSTANCES, name)
        k_times, h_times = [], []
        try:
            for r in range(args.reps):
                if r % 2 == 0:
                    k = time_korvo(path)
                    h = time_highspy(path, k[3])
                else:
                    h = time_highspy(path, k[3])
                    k = time_korvo(path)
                k_times.append(k[0])
                h_times.append(h[0])
        except Exception as e:  # a model one of them refuses
            print(f"{name:22s} skipped: {e}", file=sys.stderr)
            continue
        km, hm = statistics.median(k_times), statistics.median(h_times)
        total["korvo"] += km
        total["highspy"] += hm
        fastest["korvo"] += min(k_times)
        fastest["highspy"] += min(h_times)
        print(f"{name:22s} {km * 1e3:9.2f} {hm * 1e3:10.2f} {km / hm:6.2f}  {k[1]}/{k[2]} | {h[1]}/{h[2]}"
              f"   spreads ms korvo [{min(k_times) * 1e3:.2f}-{max(k_times) * 1e3:.2f}] "
              f"highspy [{min(h_times) * 1e3:.2f}-{max(h_times) * 1e3:.2f}]", flush=True)
    if total["highspy"]:
        print(f"total: korvo {total['korvo']:.3f} s, highspy {total['highspy']:.3f} s, "
              f"ratio {total['korvo'] / total['highspy']:.3f} (sums of medians); fastest repetitions "
              f"korvo {fastest['korvo']:.3f} s, highspy {fastest['highspy']:.3f} s, "
              f"ratio {fastest['korvo'] / fastest['highspy']:.3f}")
    cost = fixed_cost()
    print(f"one-row LP, nothing changed: korvo {cost['korvo'] * 1e6:.1f} us, highspy {cost['highspy'] * 1e6:.1f} us "
          f"per solve call")
    cost = first_solve_cost()
    print(f"one-row LP, first solve of a new problem: korvo {cost['korvo'] * 1e6:.1f} us, "
          f"highspy {cost['highspy'] * 1e6:.1f} us (median)")


if __name__ == "__main__":
    main()
