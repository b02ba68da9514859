"""Model definitions shared by every library: sizes, input data and the
objective each model must reach.

Every library module builds exactly these models; the raw-array floor
(raw_highs.py) is the reference implementation of the row and column
layout. Input data (matrices, right-hand sides) is made here, before any
timer starts, so no library pays for generating it.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

# Model variants. The variant is what a library module implements; the base
# model groups variants in the results table ("the fastest peer" of a row is
# the fastest variant of any peer for that base model and size).
VARIANTS = {
    "basic_numpy": "basic",
    "basic_loop": "basic",
    "lqcp": "lqcp",
    "facility": "facility",
    "sparse_dot": "sparse",
    "sparse_loop": "sparse",
}

BASE_MODELS = ("basic", "lqcp", "facility", "sparse")

# About 4 million variables: basic N=1414 (2 N^2 columns), facility N=100
# (4 (N+1)^2 N + 2 N + 1 columns) and a sparse LP of 4 million columns and a
# million rows with 10 coefficients a row.
SPARSE_4M = "1000000x4000000@0.0000025"

# The sizes of about 4 million variables, where a run may leave slow peers
# out (run.py --large-libraries).
LARGE_SIZES = {"basic": "1414", "facility": "100", "sparse": SPARSE_4M}

# Sizes timed in a full run, and small sizes for the quick self-check (where
# every library also solves for real and objectives are compared).
FULL_SIZES = {
    "basic": ["300", "700", "1414"],
    "lqcp": ["200", "500"],
    "facility": ["25", "50", "100"],
    "sparse": ["5000x10000@0.01", "5000x10000@0.1", SPARSE_4M],
}
QUICK_SIZES = {
    "basic": ["20"],
    "lqcp": ["20"],
    "facility": ["5"],
    "sparse": ["250x1000@0.01", "250x1000@0.1"],
}
# Sizes swept for the time-against-size plot of the largest model.
PLOT_MODEL = "basic"
PLOT_SIZES = ["100", "200", "300", "500", "700"]


@dataclass
class Basic:
    """x[i,j] - y[i,j] >= i and x[i,j] + y[i,j] >= 0 over an N x N grid of
    free variables; minimise sum(2 x + y). Optimum: N^2 (N-1) / 4."""

    n: int

    def expected_objective(self) -> float:
        return self.n * self.n * (self.n - 1) / 4.0


@dataclass
class Lqcp:
    """Linear-quadratic control of a heat equation discretised on an
    (N+1) x (N+1) grid: states y[i,j] in [0,1], controls u[1..N] in [-1,1],
    quadratic tracking objective, linear dynamics and boundary rows."""

    n: int

    @property
    def dx(self) -> float:
        return 1.0 / self.n

    @property
    def dt(self) -> float:
        return 1.58 / self.n

    @property
    def h2(self) -> float:
        return self.dx * self.dx

    a = 0.001

    def target(self, j):
        """Target temperature at grid point j (accepts arrays)."""
        return 0.5 * (1.0 - (np.asarray(j, dtype=float) * self.dx) ** 2)

    def tracking_weights(self) -> np.ndarray:
        """Weight of (y[N,j] - target(j))^2 in the objective, j = 0..N."""
        w = np.full(self.n + 1, 2.0 * 0.25 * self.dx)
        w[0] = w[-1] = 0.25 * self.dx
        return w

    def control_weights(self) -> np.ndarray:
        """Weight of u[i]^2 in the objective, i = 1..N."""
        w = np.full(self.n, 2.0 * 0.25 * self.a * self.dt)
        w[-1] = 0.25 * self.a * self.dt
        return w


@dataclass
class Facility:
    """Facility location without its distance cone: facilities y[f] in the
    unit square, binary assignment z[i,j,f] of every grid point (i,j) to one
    facility, s[i,j,f] = d + M (1 - z[i,j,f]) with s >= 0, and the offsets
    r[i,j,f,k] = point - facility; minimise d (optimum 0)."""

    g: int
    f: int

    big_m = 2.0 * math.sqrt(2.0)


@dataclass
class SparseLp:
    """min c.x subject to A x >= b, 0 <= x <= 10, A a random SciPy CSR
    matrix with entries in [0,1), b = A (0.5, ..., 0.5), c in [0,1)."""

    rows: int
    cols: int
    density: float
    a: object = None
    b: np.ndarray | None = None
    c: np.ndarray | None = None
    ub = 10.0

    def make(self) -> "SparseLp":
        import scipy.sparse as sp

        rng = np.random.default_rng(20261208)
        self.a = sp.random_array(
            (self.rows, self.cols), density=self.density, format="csr",
            dtype=np.float64, rng=rng,
        )
        self.a.sort_indices()
        self.b = 0.5 * (self.a @ np.ones(self.cols))
        self.c = rng.random(self.cols)
        return self


def make_data(variant: str, size: str):
    """Input data of one cell; made before timing starts."""
    base = VARIANTS[variant]
    if base == "basic":
        return Basic(int(size))
    if base == "lqcp":
        return Lqcp(int(size))
    if base == "facility":
        n = int(size)
        return Facility(n, n)
    shape, density = size.split("@")
    rows, cols = (int(v) for v in shape.split("x"))
    return SparseLp(rows, cols, float(density)).make()


def size_measure(variant: str, size: str) -> float:
    """A number that orders sizes of one model (for plots)."""
    base = VARIANTS[variant]
    if base == "sparse":
        shape, density = size.split("@")
        r, c = (int(v) for v in shape.split("x"))
        return r * c * float(density)
    return float(size)
