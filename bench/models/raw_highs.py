"""The floor: NumPy/SciPy arrays built directly and handed to HiGHS with
one Highs.passModel call. No modelling layer at all."""
from __future__ import annotations

import numpy as np
import highspy

from .common import INF, set_highs_options

LIBRARY = "raw"
ROUTE = "highspy Highs.passModel with NumPy arrays (row-wise matrix)"

ROWWISE = 2
TRIANGULAR = 1
MINIMIZE = 1


def versions():
    return {"highs": highs_version()}


def highs_version():
    h = highspy.Highs()
    return f"{h.versionMajor()}.{h.versionMinor()}.{h.versionPatch()}"


class ArrayModel:
    """Row-wise arrays of one model, ready for passModel."""

    def __init__(self, cost, col_lower, col_upper, row_lower, row_upper,
                 starts, index, value, integrality=None, offset=0.0,
                 hessian=None):
        self.cost = np.ascontiguousarray(cost, dtype=np.float64)
        self.col_lower = np.ascontiguousarray(col_lower, dtype=np.float64)
        self.col_upper = np.ascontiguousarray(col_upper, dtype=np.float64)
        self.row_lower = np.ascontiguousarray(row_lower, dtype=np.float64)
        self.row_upper = np.ascontiguousarray(row_upper, dtype=np.float64)
        self.starts = np.ascontiguousarray(starts, dtype=np.int32)
        self.index = np.ascontiguousarray(index, dtype=np.int32)
        self.value = np.ascontiguousarray(value, dtype=np.float64)
        n = len(self.cost)
        # an all-continuous integrality vector: HiGHS reads one entry per column
        self.integrality = (np.zeros(n, dtype=np.int32) if integrality is None
                            else np.ascontiguousarray(integrality, dtype=np.int32))
        self.offset = float(offset)
        # hessian: (starts, index, value), lower triangle column-wise
        self.hessian = hessian
        self.num_col = n
        self.num_row = len(self.row_lower)
        self.highs = None


def _rowwise(rows_index, rows_value):
    """Row-wise arrays from (rows, k) index and value blocks, k entries a row."""
    index = np.concatenate([b.ravel() for b in rows_index])
    value = np.concatenate([b.ravel() for b in rows_value])
    counts = np.concatenate([np.full(b.shape[0], b.shape[1], dtype=np.int64)
                             for b in rows_index])
    starts = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=starts[1:])
    return starts, index, value


def basic_numpy(d):
    n = d.n
    nn = n * n
    x = np.arange(nn).reshape(n, nn // n)
    y = x + nn
    ones = np.ones((nn, 1))
    starts, index, value = _rowwise(
        [np.stack([x.ravel(), y.ravel()], axis=1), np.stack([x.ravel(), y.ravel()], axis=1)],
        [np.hstack([ones, -ones]), np.hstack([ones, ones])],
    )
    rhs = np.concatenate([np.repeat(np.arange(n, dtype=np.float64), n), np.zeros(nn)])
    cost = np.concatenate([np.full(nn, 2.0), np.ones(nn)])
    return ArrayModel(cost, np.full(2 * nn, -INF), np.full(2 * nn, INF),
                      rhs, np.full(2 * nn, INF), starts, index, value)


def lqcp(d):
    n = m = d.n
    ycol = np.arange((m + 1) * (n + 1)).reshape(m + 1, n + 1)
    ucol = (m + 1) * (n + 1) + np.arange(m)          # u[i] for i = 1..m
    num_col = (m + 1) * (n + 1) + m
    dt, h2, dx = d.dt, d.h2, d.dx

    # Heat-equation rows for i = 0..m-1, j = 1..n-1.
    i, j = np.meshgrid(np.arange(m), np.arange(1, n), indexing="ij")
    i, j = i.ravel(), j.ravel()
    dyn_idx = np.stack([ycol[i + 1, j], ycol[i, j], ycol[i, j - 1], ycol[i, j + 1],
                        ycol[i + 1, j - 1], ycol[i + 1, j + 1]], axis=1)
    c = -0.5 / h2
    dyn_val = np.tile([1.0 / dt + 1.0 / h2, -1.0 / dt + 1.0 / h2, c, c, c, c],
                      (len(i), 1))
    # Left boundary rows for i = 0..m.
    ia = np.arange(m + 1)
    left_idx = np.stack([ycol[ia, 2], ycol[ia, 1], ycol[ia, 0]], axis=1)
    left_val = np.tile([1.0, -4.0, 3.0], (m + 1, 1))
    # Right boundary rows for i = 1..m.
    ib = np.arange(1, m + 1)
    right_idx = np.stack([ycol[ib, n - 2], ycol[ib, n - 1], ycol[ib, n], ucol], axis=1)
    right_val = np.tile([1.0 / (2 * dx), -4.0 / (2 * dx), 3.0 / (2 * dx) + 1.0, -1.0],
                        (m, 1))
    starts, index, value = _rowwise([dyn_idx, left_idx, right_idx],
                                    [dyn_val, left_val, right_val])
    num_row = len(starts) - 1

    # Objective sum w_j (y[m,j] - t_j)^2 + sum cw_i u_i^2 as c'x + x'Qx/2 + offset.
    w, cw, t = d.tracking_weights(), d.control_weights(), d.target(np.arange(n + 1))
    cost = np.zeros(num_col)
    cost[ycol[m, :]] = -2.0 * w * t
    diag = np.zeros(num_col)
    diag[ycol[m, :]] = 2.0 * w
    diag[ucol] = 2.0 * cw
    qcols = np.flatnonzero(diag)
    qstarts = np.searchsorted(qcols, np.arange(num_col + 1)).astype(np.int32)
    hessian = (qstarts, qcols.astype(np.int32), diag[qcols])
    lower = np.concatenate([np.zeros((m + 1) * (n + 1)), np.full(m, -1.0)])
    upper = np.ones(num_col)
    zeros = np.zeros(num_row)
    return ArrayModel(cost, lower, upper, zeros, zeros, starts, index, value,
                      offset=float(np.sum(w * t * t)), hessian=hessian)


def facility(d):
    g, f = d.g, d.f
    pts = (g + 1) * (g + 1)
    p = pts * f
    ycol = np.arange(2 * f).reshape(f, 2)
    scol = 2 * f + np.arange(p).reshape(g + 1, g + 1, f)
    zcol = scol + p
    rcol = 2 * f + 2 * p + np.arange(2 * p).reshape(g + 1, g + 1, f, 2)
    dcol = 2 * f + 4 * p
    num_col = dcol + 1

    cover_idx = zcol.reshape(pts, f)
    cover_val = np.ones((pts, f))
    s_idx = np.stack([scol.ravel(), np.full(p, dcol), zcol.ravel()], axis=1)
    s_val = np.tile([1.0, -1.0, d.big_m], (p, 1))
    fidx = np.broadcast_to(np.arange(f), (g + 1, g + 1, f)).ravel()
    r0_idx = np.stack([rcol[..., 0].ravel(), ycol[fidx, 0]], axis=1)
    r1_idx = np.stack([rcol[..., 1].ravel(), ycol[fidx, 1]], axis=1)
    r_val = np.ones((p, 2))
    starts, index, value = _rowwise([cover_idx, s_idx, r0_idx, r1_idx],
                                    [cover_val, s_val, r_val, r_val])
    ii, jj, _ = np.meshgrid(np.arange(g + 1), np.arange(g + 1), np.arange(f), indexing="ij")
    rhs = np.concatenate([np.ones(pts), np.full(p, d.big_m),
                          ii.ravel() / g, jj.ravel() / g])
    lower = np.concatenate([np.zeros(2 * f), np.zeros(p), np.zeros(p),
                            np.full(2 * p + 1, -INF)])
    upper = np.concatenate([np.ones(2 * f), np.full(p, INF), np.ones(p),
                            np.full(2 * p + 1, INF)])
    cost = np.zeros(num_col)
    cost[dcol] = 1.0
    integrality = np.zeros(num_col, dtype=np.int32)
    integrality[zcol.ravel()] = 1
    return ArrayModel(cost, lower, upper, rhs, rhs, starts, index, value,
                      integrality=integrality)


def sparse_dot(d):
    a = d.a
    return ArrayModel(d.c, np.zeros(d.cols), np.full(d.cols, d.ub),
                      d.b, np.full(d.rows, INF), a.indptr, a.indices, a.data)


def hand_over(model, time_limit):
    """passModel, then run with the given time limit; objective or None."""
    h = highspy.Highs()
    set_highs_options(h, time_limit)
    nnz = int(model.starts[-1])
    if model.hessian is None:
        status = h.passModel(model.num_col, model.num_row, nnz, ROWWISE, MINIMIZE, model.offset,
                    model.cost, model.col_lower, model.col_upper,
                    model.row_lower, model.row_upper,
                    model.starts[:-1], model.index, model.value, model.integrality)
    else:
        qs, qi, qv = model.hessian
        status = h.passModel(model.num_col, model.num_row, nnz, len(qi), ROWWISE, TRIANGULAR,
                    MINIMIZE, model.offset, model.cost, model.col_lower, model.col_upper,
                    model.row_lower, model.row_upper,
                    model.starts[:-1], model.index, model.value,
                    qs[:-1], qi, qv, model.integrality)
    if status != highspy.HighsStatus.kOk:
        raise RuntimeError(f"passModel returned {status}")
    h.run()
    model.highs = h
    return None if time_limit == 0 else h.getInfo().objective_function_value


def dims(model):
    h = model.highs
    return h.getNumRow(), h.getNumCol(), h.getNumNz()

NOT_WRITTEN = {
    "basic_loop": "arrays only",
    "sparse_loop": "arrays only",
}
