"""addcols and addrows with arrays of n columns or rows, against the engine's
own batch append (KRVSaddcols64 / KRVSaddrows64 on the same arrays), which is
the floor: the method converts the arrays, makes a variable or constraint
object per column or row, registers them and passes names.

Run: python bench/array_adds.py [n] [repeats]   (defaults 1000000, 3)
  1. n columns without coefficients (bounds and objective), as arrays;
  2. n rows of 2 coefficients each on those columns, as arrays;
  3. the same two calls with Python lists.
Times are wall seconds, the best of the repeats, each on a fresh problem.
"""
import ctypes
import glob
import os
import sys
import time

import numpy as np

import korvo

P, I, I64 = ctypes.c_void_p, ctypes.c_int, ctypes.c_int64


def engine():
    lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0])
    lib.KRVScreateprob.argtypes = [P]
    lib.KRVSdestroyprob.argtypes = [P]
    lib.KRVSaddcols64.argtypes = [P, I, I64, P, P, P, P, P, P]
    lib.KRVSaddrows64.argtypes = [P, I, I64, P, P, P, P, P, P]
    return lib


def ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


def data(n):
    obj = np.ones(n)
    lb = np.zeros(n)
    ub = np.full(n, 10.0)
    col_start = np.zeros(n + 1, dtype=np.int64)
    rowtype = np.full(n, b"L", dtype="S1")
    rhs = np.full(n, 4.0)
    row_start = np.arange(0, 2 * n + 1, 2, dtype=np.int64)
    colind = np.empty(2 * n, dtype=np.int32)
    colind[0::2] = np.arange(n)
    colind[1::2] = (np.arange(n) + 1) % n
    coef = np.ones(2 * n)
    return obj, lb, ub, col_start, rowtype, rhs, row_start, colind, coef


def floor(lib, n, d):
    obj, lb, ub, col_start, rowtype, rhs, row_start, colind, coef = d
    prob = ctypes.c_void_p()
    assert lib.KRVScreateprob(ctypes.byref(prob)) == 0
    t0 = time.perf_counter()
    assert lib.KRVSaddcols64(prob, n, 0, ptr(obj), ptr(col_start), None, None, ptr(lb), ptr(ub)) == 0
    t1 = time.perf_counter()
    assert lib.KRVSaddrows64(prob, n, 2 * n, rowtype.ctypes.data_as(P), ptr(rhs), None, ptr(row_start), ptr(colind),
                             ptr(coef)) == 0
    t2 = time.perf_counter()
    lib.KRVSdestroyprob(prob)
    return t1 - t0, t2 - t1


def method(n, d, as_lists):
    obj, lb, ub, col_start, rowtype, rhs, row_start, colind, coef = d
    rowtype = "L" * n
    if as_lists:
        obj, lb, ub, col_start, rhs, row_start, colind, coef = (
            a.tolist() for a in (obj, lb, ub, col_start, rhs, row_start, colind, coef))
    p = korvo.problem()
    t0 = time.perf_counter()
    p.addcols(obj, col_start, [], [], lb, ub)
    t1 = time.perf_counter()
    p.addrows(rowtype, rhs, row_start, colind, coef)
    t2 = time.perf_counter()
    assert p.attributes.cols == n and p.attributes.rows == n
    del p
    return t1 - t0, t2 - t1


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    korvo.setOutputEnabled(False)
    lib = engine()
    d = data(n)
    best = lambda runs: tuple(min(r[k] for r in runs) for k in range(2))
    base = best([floor(lib, n, d) for _ in range(repeats)])
    arrays = best([method(n, d, False) for _ in range(repeats)])
    lists = best([method(n, d, True) for _ in range(repeats)])
    print(f"n = {n}, best of {repeats}")
    print(f"{'':24}{'addcols':>10}{'addrows':>10}")
    print(f"{'engine batch append':24}{base[0]:10.3f}{base[1]:10.3f}")
    for label, t in (("method, NumPy arrays", arrays), ("method, lists", lists)):
        print(f"{label:24}{t[0]:10.3f}{t[1]:10.3f}   ratio {t[0] / base[0]:5.1f}x {t[1] / base[1]:5.1f}x")


if __name__ == "__main__":
    main()
