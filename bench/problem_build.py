"""Building a large model with operators and handing it to the engine.

Run: python bench/problem_build.py [scale]   (scale 1.0 = 10^6 variables and rows)

The model: n variables x_i in [0, 10] and n rows
    x_i + 2 x_{i+1} + 3 x_{i+2} + x_{i+3} + x_{i+4} <= 10   (indices mod n),
written with Python operators and added with one addVariable and one
addConstraint call. Reported, as wall time and as the CPU time of the
calling thread (the second is what to compare on a loaded machine):
  - build:    creating the variables and the n constraint objects;
  - transfer: addVariable + addConstraint (registry, conversion, engine calls);
  - objective: setObjective of sum_i (1 + i % 3) x_i, n terms, set twice
              (the second replaces the first);
  - floor:    the same columns and matrix passed to the engine directly from
              NumPy arrays (one KRVSaddcols64 and one KRVSaddrows64 call).
"""
import ctypes
import glob
import os
import sys
import time

import numpy as np

import korvo

COEFS = (1.0, 2.0, 3.0, 1.0, 1.0)


class Stopwatch:
    """Wall and calling-thread CPU seconds since start."""

    def __init__(self):
        self.wall, self.cpu = time.perf_counter(), time.thread_time()

    def read(self):
        return time.perf_counter() - self.wall, time.thread_time() - self.cpu


def engine_library():
    path = glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0]
    lib = ctypes.CDLL(path)
    p = ctypes.c_void_p
    lib.KRVScreateprob.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    lib.KRVSdestroyprob.argtypes = [p]
    lib.KRVSaddcols64.argtypes = [p, ctypes.c_int, ctypes.c_int64, p, p, p, p, p, p]
    lib.KRVSaddrows64.argtypes = [p, ctypes.c_int, ctypes.c_int64, p, p, p, p, p, p]
    return lib


def floor_transfer(n):
    """Arrays built with NumPy and passed to the engine in two calls."""
    lib = engine_library()
    watch = Stopwatch()
    i = np.arange(n)
    colind = ((i[:, None] + np.arange(5)[None, :]) % n).astype(np.int32).ravel()
    rowcoef = np.tile(np.array(COEFS), n)
    starts = np.arange(0, 5 * n + 1, 5, dtype=np.int64)
    rowtype = np.full(n, ord("L"), dtype=np.uint8)
    rhs = np.full(n, 10.0)
    obj = np.zeros(n)
    colstarts = np.zeros(n + 1, dtype=np.int64)
    lb, ub = np.zeros(n), np.full(n, 10.0)
    arrays = watch.read()
    prob = ctypes.c_void_p()
    assert lib.KRVScreateprob(ctypes.byref(prob)) == 0
    ptr = lambda a: a.ctypes.data_as(ctypes.c_void_p)
    watch = Stopwatch()
    assert lib.KRVSaddcols64(prob, n, 0, ptr(obj), ptr(colstarts), None, None, ptr(lb), ptr(ub)) == 0
    assert lib.KRVSaddrows64(prob, n, 5 * n, ptr(rowtype), ptr(rhs), None, ptr(starts), ptr(colind), ptr(rowcoef)) == 0
    engine = watch.read()
    lib.KRVSdestroyprob(prob)
    return arrays, engine


def korvo_build_and_transfer(n):
    watch = Stopwatch()
    x = [korvo.var(lb=0, ub=10) for _ in range(n)]
    a, b, c, d, e = COEFS
    cons = [a * x[i] + b * x[(i + 1) % n] + c * x[(i + 2) % n] + d * x[(i + 3) % n] + e * x[(i + 4) % n] <= 10
            for i in range(n)]
    build = watch.read()
    p = korvo.problem()
    watch = Stopwatch()
    p.addVariable(x)
    p.addConstraint(cons)
    transfer = watch.read()
    assert p.attributes.rows == n and p.attributes.cols == n
    objective = korvo.Sum((1 + i % 3) * v for i, v in enumerate(x))
    watch = Stopwatch()
    p.setObjective(objective)
    p.setObjective(objective, sense=korvo.maximize)
    replace = watch.read()
    return build, transfer, replace


def main():
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    n = max(10, int(1_000_000 * scale))
    korvo.setOutputEnabled(False)
    build, transfer, objective = korvo_build_and_transfer(n)
    arrays, engine = floor_transfer(n)
    print(f"model: {n} variables, {n} rows of 5 terms          wall s     cpu s")
    for label, (wall, cpu) in (("korvo build (variables + constraint objects)", build),
                               ("korvo transfer (addVariable + addConstraint)", transfer),
                               ("korvo objective (setObjective, twice)", objective),
                               ("floor: NumPy arrays", arrays),
                               ("floor: engine calls from arrays", engine)):
        print(f"  {label:<46} {wall:8.2f}  {cpu:8.2f}")
    print(f"  {'transfer / floor engine calls (cpu)':<46} {transfer[1] / max(engine[1], 1e-9):8.1f} x")

if __name__ == "__main__":
    main()
