"""korvo's 4-million-variable cells by phase: CPU time, wall time, minor
page faults and resident memory (current and the phase's own peak) after
each step of the build and the hand-over.

    python bench/phases.py basic 1414
    python bench/phases.py facility 100
    python bench/phases.py sparse 1000000x4000000@0.0000025
    python bench/phases.py basic 1414 --name ""      # variables built with name=""

The peak of each phase is the kernel's high-water mark, reset before the
phase (writing 5 to /proc/self/clear_refs), so every row shows how far that
phase alone took the process. Prints one line per phase and, with --json,
the records as one JSON line. "malloc" is what the C allocator has handed
out and not taken back (Python's small objects included, which it takes
in 1 MiB arenas), "held" what it keeps freed without returning it.
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import resource
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from models.data import make_data  # noqa: E402


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):
    _libc = None


def _malloc_mib():
    """(bytes in use from malloc, free bytes malloc keeps) in MiB."""
    if _libc is None:
        return 0.0, 0.0
    info = _libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 2**20, info.fordblks / 2**20


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


class Phases:
    def __init__(self):
        self.rows = []
        self._mark()

    def _mark(self):
        ru = resource.getrusage(resource.RUSAGE_SELF)
        self.cpu = ru.ru_utime + ru.ru_stime
        self.sys = ru.ru_stime
        self.faults = ru.ru_minflt
        self.wall = time.perf_counter()
        _reset_peak()

    def step(self, name):
        ru = resource.getrusage(resource.RUSAGE_SELF)
        row = dict(phase=name,
                   cpu_s=ru.ru_utime + ru.ru_stime - self.cpu,
                   sys_s=ru.ru_stime - self.sys,
                   wall_s=time.perf_counter() - self.wall,
                   minflt=ru.ru_minflt - self.faults,
                   rss_mib=_status_kib("VmRSS") / 1024.0,
                   malloc_used_mib=_malloc_mib()[0], malloc_free_mib=_malloc_mib()[1],
                   phase_peak_mib=_status_kib("VmHWM") / 1024.0)
        self.rows.append(row)
        self._mark()


def configure(p, korvo):
    p.controls.outputlog = 0
    p.controls.threads = 1
    p.controls.presolve = 0
    p.controls.timelimit = 0.0


def hand_over(p, korvo, ph):
    try:
        p.solve()
    except korvo.SolverError:
        if p.attributes.stopstatus != korvo.stop_timelimit:
            raise
    ph.step("solve (engine + HiGHS)")


def basic(d, korvo, ph, name_kw):
    n = d.n
    p = korvo.problem()
    configure(p, korvo)
    x = korvo.vars(n, n, lb=-korvo.infinity, **name_kw)
    y = korvo.vars(n, n, lb=-korvo.infinity, **name_kw)
    ph.step("vars")
    p.addVariable(x, y)
    ph.step("addVariable")
    e1 = x - y >= np.arange(n, dtype=float)[:, None]
    ph.step("expressions 1")
    p.addConstraint(e1)
    del e1
    ph.step("addConstraint 1")
    e2 = x + y >= 0
    ph.step("expressions 2")
    p.addConstraint(e2)
    del e2
    ph.step("addConstraint 2")
    obj = korvo.Sum(2 * x + y)
    ph.step("objective expression")
    p.setObjective(obj)
    del obj
    ph.step("setObjective")
    return p


def facility(d, korvo, ph, name_kw):
    g, f, big_m = d.g, d.f, d.big_m
    p = korvo.problem()
    configure(p, korvo)
    y = korvo.vars(f, 2, lb=0.0, ub=1.0, **name_kw)
    s = korvo.vars(g + 1, g + 1, f, lb=0.0, **name_kw)
    z = korvo.vars(g + 1, g + 1, f, vartype=korvo.binary, **name_kw)
    r = korvo.vars(g + 1, g + 1, f, 2, lb=-korvo.infinity, **name_kw)
    dist = korvo.var(lb=-korvo.infinity)
    ph.step("vars")
    p.addVariable(y, s, z, r, dist)
    ph.step("addVariable")
    c = [korvo.Sum(z[i, j, :]) == 1 for i in range(g + 1) for j in range(g + 1)]
    ph.step("expressions 1 (cover, list)")
    p.addConstraint(c)
    del c
    ph.step("addConstraint 1")
    c = s - dist + big_m * z == big_m
    ph.step("expressions 2")
    p.addConstraint(c)
    del c
    ph.step("addConstraint 2")
    pts = np.arange(g + 1) / g
    c = r[..., 0] + y[:, 0] == pts[:, None, None]
    ph.step("expressions 3")
    p.addConstraint(c)
    del c
    ph.step("addConstraint 3")
    c = r[..., 1] + y[:, 1] == pts[None, :, None]
    ph.step("expressions 4")
    p.addConstraint(c)
    del c
    ph.step("addConstraint 4")
    p.setObjective(1.0 * dist)
    ph.step("setObjective")
    return p


def sparse(d, korvo, ph, name_kw):
    p = korvo.problem()
    configure(p, korvo)
    x = korvo.vars(d.cols, lb=0.0, ub=d.ub, **name_kw)
    ph.step("vars")
    p.addVariable(x)
    ph.step("addVariable")
    c = korvo.Dot(d.a, x) >= d.b
    ph.step("Dot + comparison")
    p.addConstraint(c)
    del c
    ph.step("addConstraint")
    obj = korvo.Dot(d.c, x).item()
    ph.step("objective expression")
    p.setObjective(obj)
    del obj
    ph.step("setObjective")
    return p


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("model", choices=["basic", "facility", "sparse"])
    ap.add_argument("size")
    ap.add_argument("--name", default=None, help="name= for korvo.vars (default: korvo's default names)")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--no-solve", action="store_true", help="stop after the build (for profiling it)")
    args = ap.parse_args()
    variant = {"basic": "basic_numpy", "facility": "facility", "sparse": "sparse_dot"}[args.model]
    d = make_data(variant, args.size)
    import korvo
    name_kw = {} if args.name is None else {"name": args.name}
    gc.collect()
    base = _status_kib("VmRSS") / 1024.0
    ph = Phases()
    p = globals()[args.model](d, korvo, ph, name_kw)
    if not args.no_solve:
        hand_over(p, korvo, ph)
    total_cpu = sum(r["cpu_s"] for r in ph.rows)
    print(f"{args.model} {args.size}: baseline {base:.0f} MiB, process peak "
          f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB, CPU {total_cpu:.2f} s")
    print(f"{'phase':32s} {'cpu s':>7s} {'sys s':>7s} {'wall s':>7s} {'minflt':>9s} {'RSS MiB':>8s} {'peak MiB':>9s} {'malloc':>7s} {'held':>6s}")
    for r in ph.rows:
        print(f"{r['phase']:32s} {r['cpu_s']:7.3f} {r['sys_s']:7.3f} {r['wall_s']:7.3f} "
              f"{r['minflt']:9d} {r['rss_mib']:8.0f} {r['phase_peak_mib']:9.0f} "
              f"{r['malloc_used_mib']:7.0f} {r['malloc_free_mib']:6.0f}")
    if args.json:
        print(json.dumps(dict(model=args.model, size=args.size, baseline_mib=base, rows=ph.rows)))
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
