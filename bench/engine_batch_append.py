"""Batch appends to the engine's model store, and the cost of the compressed
matrix the solver hands to HiGHS.

Run: python bench/engine_batch_append.py [n] [batch] [--lib path/to/libkrvs.so]
     (defaults 1000000, 50000, the engine installed with korvo; --lib compares
     another build of it)
  1. n columns added in batches through KRVSaddcols64 (bounds, no coefficients,
     the way variables are added);
  2. n rows added in batches through KRVSaddrows64, 3 coefficients each;
  3. the compressed matrix by columns built (KRVSgetcols64 asks for its size),
     then by rows (KRVSgetrows64);
  4. n more columns with 2 coefficients each in existing rows, in batches,
     and the by-columns build again (old columns merged with new triplets);
  5. names for all 2n columns in batches through KRVSaddnames (the names the
     module passes: "C" and a number), one lookup by name (builds the lookup
     table), all names read back with KRVSgetnamelist and in blocks of 256
     with KRVSgetnames (the way the module reads a model's names).
Every batch should cost about the same: appends cost what they add. Times
are CPU seconds of the calling thread.
"""
import argparse
import ctypes
import glob
import os
import time

import numpy as np

import korvo

P, I, I64 = ctypes.c_void_p, ctypes.c_int, ctypes.c_int64
lib = None


def load_engine(path):
    global lib
    lib = ctypes.CDLL(path or glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0])
    for name, types in SIGNATURES.items():
        getattr(lib, name).argtypes = types


SIGNATURES = {
    "KRVSaddcols64": [P, I, I64, P, P, P, P, P, P],
    "KRVSaddrows64": [P, I, I64, P, P, P, P, P, P],
    "KRVSgetcols64": [P, P, P, P, I64, P, I, I],
    "KRVSgetrows64": [P, P, P, P, I64, P, I, I],
    "KRVSgetintattrib64": [P, I, P],
    "KRVSaddnames": [P, I, P, I, I],
    "KRVSgetnames": [P, I, P, I, I],
    "KRVSgetnamelist": [P, I, P, I, P, I, I],
    "KRVSgetindex": [P, I, ctypes.c_char_p, P],
}


def ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


def check(rc):
    if rc:
        raise RuntimeError("engine call failed")


def timed(fn):
    t = time.thread_time()
    fn()
    return time.thread_time() - t


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

    # 5. names
    times = []
    for first in range(0, 2 * n, batch):
        k = min(batch, 2 * n - first)
        names = b"".join(b"C%d\0" % (j + 1) for j in range(first, first + k))
        times.append(timed(lambda: check(lib.KRVSaddnames(prob, 2, names, first, first + k - 1))))
    report("column names", 2 * n, times)
    index = ctypes.c_int()
    t_find = timed(lambda: check(lib.KRVSgetindex(prob, 2, b"C%d" % n, ctypes.byref(index))))
    assert index.value == n - 1
    need = ctypes.c_int()
    check(lib.KRVSgetnamelist(prob, 2, None, 0, ctypes.byref(need), 0, 2 * n - 1))
    buf = ctypes.create_string_buffer(need.value)
    t_list = timed(lambda: check(lib.KRVSgetnamelist(prob, 2, buf, need.value, ctypes.byref(need), 0, 2 * n - 1)))
    block = ctypes.create_string_buffer(256 * 33)

    def blocks():
        for first in range(0, 2 * n, 256):
            check(lib.KRVSgetnames(prob, 2, block, first, min(first + 255, 2 * n - 1)))

    t_blocks = timed(blocks)
    print(f"first lookup by name: {t_find:.3f} s; all names as one list: {t_list:.3f} s; "
          f"in blocks of 256: {t_blocks:.3f} s")
    check(lib.KRVSdestroyprob(prob))


def report(what, n, times):
    print(f"{what}: {n} in {len(times)} batches, {sum(times):.3f} s total; "
          f"first batch {times[0] * 1e3:.1f} ms, last batch {times[-1] * 1e3:.1f} ms")


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("n", type=int, nargs="?", default=1_000_000)
    ap.add_argument("batch", type=int, nargs="?", default=50_000)
    ap.add_argument("--lib", help="the engine library to load (default: korvo's)")
    args = ap.parse_args()
    load_engine(args.lib)
    main(args.n, args.batch)
