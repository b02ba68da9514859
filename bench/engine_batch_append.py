"""Batch appends to the engine's model store, and the cost of the compressed
matrix the solver hands to HiGHS.

Run: python bench/engine_batch_append.py [n] [batch]   (defaults 1000000, 50000)
  1. n columns added in batches through KRVSaddcols64 (bounds, no coefficients,
     the way variables are added);
  2. n rows added in batches through KRVSaddrows64, 3 coefficients each;
  3. the compressed matrix by columns built (KRVSgetcols64 asks for its size),
     then by rows (KRVSgetrows64);
  4. n more columns with 2 coefficients each in existing rows, in batches,
     and the by-columns build again (old columns merged with new triplets).
Every batch should cost about the same: appends cost what they add.
"""
import ctypes
import glob
import os
import sys
import time

import numpy as np

import korvo

lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0])
P, I, I64 = ctypes.c_void_p, ctypes.c_int, ctypes.c_int64
lib.KRVSaddcols64.argtypes = [P, I, I64, P, P, P, P, P, P]
lib.KRVSaddrows64.argtypes = [P, I, I64, P, P, P, P, P, P]
lib.KRVSgetcols64.argtypes = [P, P, P, P, I64, P, I, I]
lib.KRVSgetrows64.argtypes = [P, P, P, P, I64, P, I, I]
lib.KRVSgetintattrib64.argtypes = [P, I, P]


def ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


def check(rc):
    if rc:
        raise RuntimeError("engine call failed")


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main(n=1_000_000, batch=50_000):
    prob = ctypes.c_void_p()
    check(lib.KRVScreateprob(ctypes.byref(prob)))
    rng = np.random.default_rng(1)

    # 1. columns without coefficients
    times = []
    for first in range(0, n, batch):
        k = min(batch, n - first)
        obj = np.ones(k)
        start = np.zeros(k + 1, dtype=np.int64)
        lb, ub = np.zeros(k), np.full(k, 10.0)
        times.append(timed(lambda: check(lib.KRVSaddcols64(prob, k, 0, ptr(obj), ptr(start), None, None,
                                                          ptr(lb), ptr(ub)))))
    report("columns, no coefficients", n, times)

    # 2. rows with 3 coefficients
    times = []
    for first in range(0, n, batch):
        k = min(batch, n - first)
        rows = np.arange(first, first + k)
        cols = np.stack([rows, (rows + 1) % n, rng.integers(0, n, k)], axis=1).astype(np.intc).ravel()
        vals = rng.uniform(-1, 1, 3 * k)
        start = np.arange(0, 3 * k + 1, 3, dtype=np.int64)
        types = np.full(k, ord("L"), dtype=np.uint8)
        rhs = np.ones(k)
        times.append(timed(lambda: check(lib.KRVSaddrows64(prob, k, 3 * k, ptr(types), ptr(rhs), None, ptr(start),
                                                          ptr(cols), ptr(vals)))))
    report("rows, 3 coefficients each", n, times)

    total = ctypes.c_int64()
    t_cols = timed(lambda: check(lib.KRVSgetcols64(prob, None, None, None, 0, ctypes.byref(total), 0, n - 1)))
    t_rows = timed(lambda: check(lib.KRVSgetrows64(prob, None, None, None, 0, ctypes.byref(total), 0, n - 1)))
    print(f"build compressed matrix by columns: {t_cols:.3f} s ({total.value} coefficients)")
    print(f"build compressed matrix by rows:    {t_rows:.3f} s")

    # 4. columns with coefficients in existing rows
    times = []
    for first in range(0, n, batch):
        k = min(batch, n - first)
        start = np.arange(0, 2 * k + 1, 2, dtype=np.int64)
        rows = np.sort(rng.integers(0, n, (k, 2)), axis=1).astype(np.intc).ravel()
        vals = rng.uniform(-1, 1, 2 * k)
        obj, lb, ub = np.zeros(k), np.zeros(k), np.full(k, 1e20)
        times.append(timed(lambda: check(lib.KRVSaddcols64(prob, k, 2 * k, ptr(obj), ptr(start), ptr(rows),
                                                          ptr(vals), ptr(lb), ptr(ub)))))
    report("columns, 2 coefficients each", n, times)
    t_cols = timed(lambda: check(lib.KRVSgetcols64(prob, None, None, None, 0, ctypes.byref(total), 0, 2 * n - 1)))
    print(f"rebuild by columns (old columns + new triplets): {t_cols:.3f} s ({total.value} coefficients)")
    check(lib.KRVSdestroyprob(prob))


def report(what, n, times):
    print(f"{what}: {n} in {len(times)} batches, {sum(times):.3f} s total; "
          f"first batch {times[0] * 1e3:.1f} ms, last batch {times[-1] * 1e3:.1f} ms")


if __name__ == "__main__":
    args = [int(a) for a in sys.argv[1:3]]
    main(*args)
