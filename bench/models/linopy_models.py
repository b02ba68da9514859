"""linopy: labelled arrays of variables and expressions (xarray), handed to
HiGHS through its direct highspy interface."""
from __future__ import annotations

import numpy as np
import xarray as xr
import linopy

from .common import HIGHS_OPTIONS, INF

LIBRARY = "linopy"
ROUTE = "linopy.Model.solve(solver_name='highs', io_api='direct') (model built in highspy at solve)"

NOT_WRITTEN = {
    "basic_loop": "linopy has no scalar constraint API; its models are arrays",
    "sparse_loop": "linopy has no scalar constraint API; its models are arrays",
}


def versions():
    return {"linopy": linopy.__version__, "xarray": xr.__version__}


def basic_numpy(d):
    n = d.n
    m = linopy.Model()
    coords = [np.arange(n), np.arange(n)]
    x = m.add_variables(lower=-INF, coords=coords, dims=["i", "j"], name="x")
    y = m.add_variables(lower=-INF, coords=coords, dims=["i", "j"], name="y")
    m.add_constraints(x - y >= xr.DataArray(np.arange(n, dtype=float), coords=[np.arange(n)], dims=["i"]))
    m.add_constraints(x + y >= 0)
    m.add_objective((2 * x + y).sum())
    return m


def lqcp(d):
    n = mm = d.n
    dt, h2, dx = d.dt, d.h2, d.dx
    m = linopy.Model()
    y = m.add_variables(lower=0.0, upper=1.0,
                        coords=[np.arange(mm + 1), np.arange(n + 1)], dims=["i", "j"], name="y")
    u = m.add_variables(lower=-1.0, upper=1.0, coords=[np.arange(1, mm + 1)], dims=["i"], name="u")

    def at(i, j):
        # y on a shifted block, re-labelled to the interior coordinates
        block = y.isel(i=i, j=j)
        return block.assign_coords(i=np.arange(mm), j=np.arange(1, n))

    interior = (slice(0, mm), slice(1, n))
    up = (slice(1, mm + 1), slice(1, n))
    dyn = ((at(*up) - at(*interior)) / dt
           - 0.5 * (at(slice(0, mm), slice(0, n - 1)) - 2 * at(*interior) + at(slice(0, mm), slice(2, n + 1))
                    + at(slice(1, mm + 1), slice(0, n - 1)) - 2 * at(*up)
                    + at(slice(1, mm + 1), slice(2, n + 1))) / h2)
    m.add_constraints(dyn == 0, name="heat")

    def col(j, rows=slice(None)):
        return y.isel(i=rows, j=j, drop=True)

    m.add_constraints(col(2) - 4 * col(1) + 3 * col(0) == 0, name="left")
    r = slice(1, mm + 1)
    m.add_constraints((col(n - 2, r) - 4 * col(n - 1, r) + 3 * col(n, r)) / (2 * dx) - u + col(n, r) == 0,
                      name="right")

    j = np.arange(n + 1)
    w = xr.DataArray(d.tracking_weights(), coords=[j], dims=["j"])
    t = xr.DataArray(d.target(j), coords=[j], dims=["j"])
    cw = xr.DataArray(d.control_weights(), coords=[np.arange(1, mm + 1)], dims=["i"])
    # linopy refuses a constant in the objective: expand the squares and
    # keep the constant sum(w t^2) aside, added back to the reported value
    last = y.isel(i=mm, drop=True)
    m.add_objective((w * last * last).sum() - (2 * w * t * last).sum() + (cw * u * u).sum())
    return Built(m, float((w * t * t).sum()))


def facility(d):
    g, f, big_m = d.g, d.f, d.big_m
    m = linopy.Model()
    pts, fac, k = np.arange(g + 1), np.arange(f), np.arange(2)
    y = m.add_variables(lower=0.0, upper=1.0, coords=[fac, k], dims=["f", "k"], name="y")
    s = m.add_variables(lower=0.0, coords=[pts, pts, fac], dims=["i", "j", "f"], name="s")
    z = m.add_variables(binary=True, coords=[pts, pts, fac], dims=["i", "j", "f"], name="z")
    r = m.add_variables(lower=-INF, coords=[pts, pts, fac, k], dims=["i", "j", "f", "k"], name="r")
    dist = m.add_variables(lower=-INF, name="d")
    m.add_constraints(z.sum("f") == 1, name="cover")
    m.add_constraints(s - dist + big_m * z == big_m, name="dist")
    point = np.empty((g + 1, g + 1, 2))
    point[:, :, 0] = pts[:, None] / g
    point[:, :, 1] = pts[None, :] / g
    m.add_constraints(r + y == xr.DataArray(point, coords=[pts, pts, k], dims=["i", "j", "k"]),
                      name="offset")
    m.add_objective(1.0 * dist)
    return m


def sparse_dot(d):
    # A x >= b as one expression array: row-wise padded (row, term) blocks
    # of coefficients and variable labels, the way linopy holds sums.
    m = linopy.Model()
    x = m.add_variables(lower=0.0, upper=d.ub, coords=[np.arange(d.cols)], dims=["col"], name="x")
    a = d.a
    counts = np.diff(a.indptr)
    width = int(counts.max()) if len(counts) else 0
    pos = np.arange(a.nnz) - np.repeat(a.indptr[:-1], counts)
    rows = np.repeat(np.arange(d.rows), counts)
    coeffs = np.zeros((d.rows, width))
    labels = np.full((d.rows, width), -1, dtype=np.int64)
    coeffs[rows, pos] = a.data
    labels[rows, pos] = x.labels.values[a.indices]
    lhs = linopy.LinearExpression(
        xr.Dataset({"coeffs": (("row", "_term"), coeffs), "vars": (("row", "_term"), labels)},
                   coords={"row": np.arange(d.rows)}), m)
    m.add_constraints(lhs >= xr.DataArray(d.b, coords=[np.arange(d.rows)], dims=["row"]), name="rows")
    m.add_objective((xr.DataArray(d.c, coords=[np.arange(d.cols)], dims=["col"]) * x).sum())
    return m


class Built:
    """A model whose objective constant linopy could not hold."""

    def __init__(self, model, offset):
        self.model, self.offset = model, offset


def hand_over(m, time_limit):
    offset = 0.0
    if isinstance(m, Built):
        m, offset = m.model, m.offset
    options = dict(HIGHS_OPTIONS)
    options["time_limit"] = float(INF if time_limit is None else time_limit)
    m.solve(solver_name="highs", io_api="direct", **options)
    if time_limit == 0:
        return None
    return float(m.objective.value) + offset


def dims(m):
    h = (m.model if isinstance(m, Built) else m).solver_model
    return h.getNumRow(), h.getNumCol(), h.getNumNz()
