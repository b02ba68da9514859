"""Timing of the engine's sparse symmetric factorisation (the one the
interior-point solver runs every iteration) on structures of the kinds it
meets: banded, 2-D grid, random sparse and the saddle-point (KKT) system of
the discretised control model.

For each structure: ordering, symbolic and numeric seconds (numeric: the
median of --reps factorisations with fresh values on the same structure),
the factor's nonzeros, the flops of one numeric factorisation, and the
numeric time a dense kernel running at --gflops would need for those flops.
The residual of one solve (no refinement) checks the factor.

    PYTHONPATH=_inst python bench/sparse_factor.py [--reps 3] [--only random]
"""
import argparse
import ctypes
import glob
import os
import sys
import time

import numpy as np
import scipy.sparse as sp

import korvo

_lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(korvo.__file__), "libkrvs.so"))[0])


def last_error():
    buf = ctypes.create_string_buffer(1024)
    code = ctypes.c_int()
    _lib.KRVS_ge_getlasterror(ctypes.byref(code), buf, 1024, None)
    return buf.value.decode()


def banded(n, half_width, rng):
    diags = [rng.uniform(-1, 1, n - k) for k in range(1, half_width + 1)]
    lower = sp.diags(diags, [-k for k in range(1, half_width + 1)], shape=(n, n))
    return lower + sp.diags(np.full(n, 2.0 * half_width + 1.0))


def grid(k, rng):
    n = k * k
    u = np.arange(n).reshape(k, k)
    rows = np.concatenate([u[:, 1:].ravel(), u[1:, :].ravel()])
    cols = np.concatenate([u[:, :-1].ravel(), u[:-1, :].ravel()])
    lower = sp.coo_matrix((np.full(rows.size, -1.0), (rows, cols)), shape=(n, n))
    return lower + sp.diags(np.full(n, 4.0 + rng.random(n)))


def random_structure(n, per_row, rng):
    # per_row off-diagonal nonzeros per row of the full matrix on average.
    m = n * per_row // 2
    r = rng.integers(0, n, m)
    c = rng.integers(0, n, m)
    keep = r != c
    r, c = np.maximum(r[keep], c[keep]), np.minimum(r[keep], c[keep])
    lower = sp.coo_matrix((rng.uniform(-1, 1, r.size), (r, c)), shape=(n, n)).tocsc()
    lower.sum_duplicates()
    return lower + sp.diags(float(per_row) + rng.random(n))


def control_kkt(variables, rng):
    """[H J'; J -dc] of the control model: x[t+1] = x[t] + h (x[t]^2 + u[t])."""
    steps = max(2, (variables - 1) // 2)
    n, m = 2 * steps + 1, steps + 1
    t = np.arange(steps)
    jrow = np.concatenate([t, t, t, [steps]])
    jcol = np.concatenate([t + 1, t, steps + 1 + t, [0]])
    jac = sp.coo_matrix((rng.uniform(0.5, 1.5, jrow.size), (jrow, jcol)), shape=(m, n))
    hess = sp.diags(rng.uniform(1e-3, 1.0, n))
    reg = sp.diags(np.full(m, -1e-8))
    return sp.tril(sp.bmat([[hess, None], [jac, reg]]))


# Each structure is made from its own generator seeded alike, so a run of
# one structure (--only) meets the same matrix as a run of all.
STRUCTURES = {
    "tridiagonal 100000": lambda rng: banded(100000, 1, rng),
    "band 100000 (half-width 10)": lambda rng: banded(100000, 10, rng),
    "grid 300x300": lambda rng: grid(300, rng),
    "random 10000 (5 per row)": lambda rng: random_structure(10000, 5, rng),
    "control KKT 2001+1001": lambda rng: control_kkt(2001, rng),
    "control KKT 20001+10001": lambda rng: control_kkt(20001, rng),
}


def factor_series(lower, value_sets, rhs):
    csc = sp.csc_matrix(lower)
    csc.sort_indices()
    n, nnz = csc.shape[0], csc.nnz
    sets = len(value_sets)
    st = np.ascontiguousarray(csc.indptr, dtype=np.int32)
    ix = np.ascontiguousarray(csc.indices, dtype=np.int32)
    vals = np.ascontiguousarray(np.concatenate(value_sets), dtype=np.float64)
    b = np.ascontiguousarray(np.tile(rhs, sets), dtype=np.float64)
    inertia = np.zeros(3 * sets, dtype=np.int32)
    stats = np.zeros(7)
    ip = ctypes.POINTER(ctypes.c_int)
    dp = ctypes.POINTER(ctypes.c_double)
    rc = _lib.KNLSfactorsymmetricseries(n, st.ctypes.data_as(ip), ix.ctypes.data_as(ip), sets,
                                        vals.ctypes.data_as(dp), 0, b.ctypes.data_as(dp),
                                        inertia.ctypes.data_as(ip), stats.ctypes.data_as(dp),
                                        ctypes.c_double(0.0))
    if rc != 0:
        raise RuntimeError(last_error())
    assert nnz == vals.size // sets
    return b.reshape(sets, n), inertia.reshape(sets, 3), stats


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=3, help="numeric factorisations per structure")
    ap.add_argument("--gflops", type=float, default=1.0, help="dense-kernel rate for the estimate")
    ap.add_argument("--only", help="run the structures whose name contains this text")
    args = ap.parse_args()
    print(f"{'structure':30} {'n':>7} {'nnz(A)':>8} {'order s':>8} {'symb s':>7} {'num s':>7} "
          f"{'nnz(L)':>9} {'Mflop':>8} {'dense est s':>11} {'num/est':>7} {'supern':>7} {'max sn':>6} {'resid':>8}")
    for name, make in STRUCTURES.items():
        if args.only and args.only not in name:
            continue
        rng = np.random.default_rng(2026)
        lower = sp.csc_matrix(make(rng))
        lower.sort_indices()
        n = lower.shape[0]
        # Fresh values on the same structure for every repetition; the
        # off-diagonal part is rescaled, so the matrix stays as definite
        # (or as indefinite) as the first one.
        sets = [lower.data * np.where(lower.indices == np.repeat(np.arange(n), np.diff(lower.indptr)), 1.0,
                                      rng.uniform(0.8, 1.2, lower.nnz)) for _ in range(args.reps)]
        rhs = rng.standard_normal(n)
        t0 = time.perf_counter()
        x, inertia, stats = factor_series(lower, sets, rhs)
        wall = time.perf_counter() - t0
        last = lower.copy()
        last.data = sets[-1]
        full = last + sp.tril(last, -1).T
        resid = np.linalg.norm(full @ x[-1] - rhs) / (np.linalg.norm(rhs) + abs(full).sum(axis=1).max() * np.linalg.norm(x[-1]))
        numeric = stats[2] / args.reps
        estimate = stats[4] / (args.gflops * 1e9)
        print(f"{name:30} {n:7d} {lower.nnz:8d} {stats[0]:8.3f} {stats[1]:7.3f} {numeric:7.3f} "
              f"{int(stats[3]):9d} {stats[4] / 1e6:8.1f} {estimate:11.3f} {numeric / max(estimate, 1e-9):7.1f} "
              f"{int(stats[5]):7d} {int(stats[6]):6d} {resid:8.1e}  inertia {tuple(int(v) for v in inertia[-1])} wall {wall:.1f}s",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
