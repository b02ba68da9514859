"""Instructions of one instance's solve: korvo against HiGHS's C interface of
the same library (highsbox's, the one libkrvs links), counted by valgrind's
callgrind, so that what korvo adds is told apart from the difference between
the two builds of HiGHS that bench/instance_solves.py compares.

Both lanes read the same file, use one thread and the HiGHS options korvo
hands over by default (output on, to no console; the dual simplex for LPs),
as bench/instance_solves.py sets them for highspy. Reported per instance and
lane: the instructions of HiGHS's run (Highs::run, counted the same way in
both lanes) and of the whole solve call (korvo's lpoptimize or mipoptimize
down from the engine's entry point; in the C lane Highs_run, which is
Highs::run itself).

    PYTHONPATH=_inst python bench/instance_instructions.py e226 lseu p0548 ...
    PYTHONPATH=_inst python bench/instance_instructions.py --lane korvo|c FILE   (one solve, run by the above)
"""
import argparse
import ctypes
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from instance_solves import INSTANCES, korvo_highs_options, korvo_instance  # noqa: E402


def solve_korvo(path):
    p, mip = korvo_instance(path)
    (p.mipoptimize if mip else p.lpoptimize)()
    return mip


def solve_c(path, mip):
    import highsbox

    lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(highsbox.__file__), "highs_dist", "lib", "libhighs.so*"))[0])
    P, S = ctypes.c_void_p, ctypes.c_char_p
    lib.Highs_create.restype = P
    for f in ("Highs_readModel", "Highs_setStringOptionValue", "Highs_setIntOptionValue", "Highs_setBoolOptionValue",
              "Highs_setDoubleOptionValue", "Highs_getOptionType", "Highs_run", "Highs_destroy"):
        getattr(lib, f).restype = ctypes.c_int
    lib.Highs_setDoubleOptionValue.argtypes = [P, S, ctypes.c_double]
    lib.Highs_setIntOptionValue.argtypes = [P, S, ctypes.c_int]
    lib.Highs_setBoolOptionValue.argtypes = [P, S, ctypes.c_int]
    lib.Highs_setStringOptionValue.argtypes = [P, S, S]
    lib.Highs_getOptionType.argtypes = [P, S, ctypes.POINTER(ctypes.c_int)]
    h = lib.Highs_create()
    lib.Highs_setBoolOptionValue(h, b"output_flag", 0)
    lib.Highs_readModel(h, path.encode())
    lib.Highs_setBoolOptionValue(h, b"log_to_console", 0)
    lib.Highs_setBoolOptionValue(h, b"output_flag", 1)
    for name, value in korvo_highs_options():
        kind = ctypes.c_int()
        lib.Highs_getOptionType(h, name.encode(), ctypes.byref(kind))
        if name == "threads":
            value = 1
        if kind.value == 0:
            lib.Highs_setBoolOptionValue(h, name.encode(), int(value != 0))
        elif kind.value == 1:
            lib.Highs_setIntOptionValue(h, name.encode(), int(min(max(value, -2147483647), 2147483647)))
        elif kind.value == 2:
            lib.Highs_setDoubleOptionValue(h, name.encode(), float(value))
        else:
            lib.Highs_setStringOptionValue(h, name.encode(), b"on" if value > 0 else b"off")
    if not mip:
        lib.Highs_setStringOptionValue(h, b"solver", b"simplex")
        lib.Highs_setIntOptionValue(h, b"simplex_strategy", 1)
    lib.Highs_run(h)
    lib.Highs_destroy(h)


def count(lane, path, mip):
    """(instructions in Highs::run, instructions of the solve call) of one lane under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        # Highs_run is a jump into Highs::run, which callgrind names instead.
        entry = ("KRVSmipoptimize" if mip else "KRVSlpoptimize") if lane == "korvo" else "Highs::run()"
        cmd = ["valgrind", "--tool=callgrind", f"--toggle-collect={entry}", f"--callgrind-out-file={out}",
               sys.executable, os.path.abspath(__file__), "--lane", lane, path] + (["--mip"] if mip else [])
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ))
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], check=True,
                              capture_output=True, text=True).stdout
    total = run = None
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)", line)
        if not m:
            continue
        value = int(m.group(1).replace(",", ""))
        if "PROGRAM TOTALS" in m.group(2):
            total = value
        elif ":Highs::run() " in m.group(2) and run is None:
            run = value
    return run, total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lane", choices=["korvo", "c"])
    ap.add_argument("--mip", action="store_true")
    ap.add_argument("names", nargs="+")
    args = ap.parse_args()
    if args.lane:
        if args.lane == "korvo":
            solve_korvo(args.names[0])
        else:
            solve_c(args.names[0], args.mip)
        return
    print(f"{'instance':12s} {'Highs::run korvo':>17s} {'C interface':>13s} {'diff':>7s}   "
          f"{'solve call korvo':>17s} {'C interface':>13s} {'diff':>7s}")
    for name in args.names:
        path = name if os.path.exists(name) else os.path.join(INSTANCES, name + ".mps")
        _, mip = korvo_instance(path)
        k_run, k_total = count("korvo", path, mip)
        c_run, c_total = count("c", path, mip)
        print(f"{os.path.basename(path):12s} {k_run / 1e6:16.2f}M {c_run / 1e6:12.2f}M {100 * (k_run / c_run - 1):+6.2f}%   "
              f"{k_total / 1e6:16.2f}M {c_total / 1e6:12.2f}M {100 * (k_total / c_total - 1):+6.2f}%", flush=True)


if __name__ == "__main__":
    main()
