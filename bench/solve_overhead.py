"""Fixed cost of one solve call: a 2x2 LP solved many times.

The same tiny LP (two columns, two rows, optimal after at most two simplex
iterations) is solved over and over by
  - korvo's modelling call `problem.solve()`,
  - korvo's wrapper `problem.lpoptimize()`,
  - the engine's C interface (`KRVSlpoptimize`) through ctypes,
  - highspy's `Highs.run()`,
each with output off and one thread, libraries alternating in rounds. Two
kinds of loop: nothing changed between solves, and one column bound moved
between solves (so that every solve has a change to take, and re-optimises).
Reported: microseconds per solve (median over rounds, spread in brackets).

    PYTHONPATH=_inst python bench/solve_overhead.py [--solves N] [--rounds K]
    PYTHONPATH=_inst python bench/solve_overhead.py --only korvo-solve --solves 2000
        (one library alone, for valgrind --tool=callgrind)
"""
import argparse
import ctypes
import glob
import os
import statistics
import time

import korvo

# max x + y  s.t.  x + 2y <= 4,  3x + y <= 6,  0 <= x, y <= 10
COST = [1.0, 1.0]
ROWS = [([1.0, 2.0], 4.0), ([3.0, 1.0], 6.0)]
UPPER = 10.0


def korvo_model():
    korvo.setOutputEnabled(False)
    x = korvo.var(ub=UPPER)
    y = korvo.var(ub=UPPER)
    p = korvo.problem(x, y)
    p.setControl("outputlog", 0)
    p.setControl("threads", 1)
    p.addConstraint([a * x + b * y <= rhs for (a, b), rhs in ROWS])
    p.setObjective(COST[0] * x + COST[1] * y, sense=korvo.maximize)
    return p, x


def korvo_solve(n, change):
    p, x = korvo_model()
    p.solve()
    start = time.perf_counter()
    if change:
        for k in range(n):
            p.chgbounds([x], ["U"], [UPPER - (k & 1)])
            p.solve()
    else:
        for _ in range(n):
            p.solve()
    return time.perf_counter() - start


def korvo_lpoptimize(n, change):
    p, x = korvo_model()
    p.lpoptimize()
    start = time.perf_counter()
    if change:
        for k in range(n):
            p.chgbounds([x], ["U"], [UPPER - (k & 1)])
            p.lpoptimize()
    else:
        for _ in range(n):
            p.lpoptimize()
    return time.perf_counter() - start


_engine = None


def engine_lib():
    global _engine
    if _engine is None:
        lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0])
        P, I, S = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p
        lib.KRVSloadlp64.argtypes = [P, S, I, I, P, P, P, P, P, P, P, P, P, P]
        lib.KRVSlpoptimize.argtypes = [P, S]
        lib.KRVSchgbounds.argtypes = [P, I, P, P, P]
        lib.KRVSsetintcontrol.argtypes = [P, I, I]
        lib.KRVScreateprob.argtypes = [P]
        _engine = lib
    return _engine


def engine_solve(n, change):
    lib = engine_lib()
    prob = ctypes.c_void_p()
    assert lib.KRVSinit(None) == 0
    assert lib.KRVScreateprob(ctypes.byref(prob)) == 0
    dbl = lambda *v: (ctypes.c_double * len(v))(*v)
    rowtype = ctypes.create_string_buffer(b"LL")
    start = (ctypes.c_int64 * 3)(0, 2, 4)
    rowind = (ctypes.c_int * 4)(0, 1, 0, 1)
    coef = dbl(ROWS[0][0][0], ROWS[1][0][0], ROWS[0][0][1], ROWS[1][0][1])
    assert lib.KRVSloadlp64(prob, b"tiny", 2, 2, rowtype, dbl(ROWS[0][1], ROWS[1][1]), None,
                            dbl(-COST[0], -COST[1]), start, None, rowind, coef, dbl(0, 0),
                            dbl(UPPER, UPPER)) == 0
    assert lib.KRVSsetintcontrol(prob, 8035, 0) == 0  # outputlog
    assert lib.KRVSsetintcontrol(prob, 8001, 1) == 0  # threads
    flags = b""
    assert lib.KRVSlpoptimize(prob, flags) == 0
    col = (ctypes.c_int * 1)(0)
    kind = ctypes.create_string_buffer(b"U")
    bounds = [dbl(UPPER), dbl(UPPER - 1)]
    solve = lib.KRVSlpoptimize
    chg = lib.KRVSchgbounds
    begin = time.perf_counter()
    if change:
        for k in range(n):
            chg(prob, 1, col, kind, bounds[k & 1])
            solve(prob, flags)
    else:
        for _ in range(n):
            solve(prob, flags)
    elapsed = time.perf_counter() - begin
    lib.KRVSdestroyprob(prob)
    lib.KRVSfree()
    return elapsed


def highspy_solve(n, change):
    import highspy
    import numpy as np

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("threads", 1)
    inf = highspy.kHighsInf
    h.addVars(2, np.zeros(2), np.full(2, UPPER))
    h.changeColsCost(2, np.arange(2, dtype=np.int32), np.array(COST))
    h.changeObjectiveSense(highspy.ObjSense.kMaximize)
    for coefs, rhs in ROWS:
        h.addRow(-inf, rhs, 2, np.arange(2, dtype=np.int32), np.array(coefs))
    h.run()
    begin = time.perf_counter()
    if change:
        for k in range(n):
            h.changeColBounds(0, 0.0, UPPER - (k & 1))
            h.run()
    else:
        for _ in range(n):
            h.run()
    return time.perf_counter() - begin


RUNNERS = {
    "korvo-solve": korvo_solve,
    "korvo-lpoptimize": korvo_lpoptimize,
    "engine-c": engine_solve,
    "highspy": highspy_solve,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--solves", type=int, default=10_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", choices=sorted(RUNNERS))
    args = ap.parse_args()
    if args.only:
        for change in (False, True):
            RUNNERS[args.only](args.solves, change)
        return
    names = list(RUNNERS)
    try:
        import highspy  # noqa: F401
    except ImportError:
        names.remove("highspy")
    times = {(name, change): [] for name in names for change in (False, True)}
    for r in range(args.rounds):
        order = names if r % 2 == 0 else names[::-1]
        for change in (False, True):
            for name in order:
                times[name, change].append(RUNNERS[name](args.solves, change) / args.solves * 1e6)
    print(f"{args.solves} solves of a 2x2 LP, medians of {args.rounds} rounds (us per solve), "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"| {'call':<18} | {'nothing changed':<22} | {'one bound changed':<22} |")
    print(f"|{'-' * 20}|{'-' * 24}|{'-' * 24}|")
    for name in names:
        cells = []
        for change in (False, True):
            t = times[name, change]
            cells.append(f"{statistics.median(t):6.1f} [{min(t):.1f}-{max(t):.1f}]")
        print(f"| {name:<18} | {cells[0]:<22} | {cells[1]:<22} |")


if __name__ == "__main__":
    main()
