"""Timings of the array builders against the same model written with Python loops.

Run: python bench/arrays.py [scale]   (scale 1.0 = the full sizes)
  - vars(1000, 1000) against a nested loop of korvo.var(name=...) into a NumPy array
  - Sum over 10^6 terms 2*x_i against a loop of e += 2*x_i
  - Sum over a 1000x1000 variable array against a loop of e += x
  - Dot(A, x), A 1000x1000 floats, x 1000 variables, against a loop
    building each row with Sum of a generator of products
  - 2*x + 1 <= 5 on a 10^6-variable array against a list comprehension
  - element-wise operations one at a time (CPU time per element), and the
    chained difference scheme of a discretised PDE over a grid
"""
import sys
import time

import numpy as np

import korvo


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def report(label, t_fast, t_loop):
    print(f"{label:44s} {t_fast:8.3f} s   loop {t_loop:8.3f} s   ratio {t_loop / t_fast:6.1f}x")


def bench_vars(m, n):
    t_fast, x = timed(lambda: korvo.vars(m, n))

    def loop():
        arr = np.empty((m, n), dtype=object)
        for i in range(m):
            for j in range(n):
                arr[i, j] = korvo.var(name=f"x({i},{j})")
        return arr
    t_loop, y = timed(loop)
    assert x.shape == y.shape and x[m - 1, n - 1].name == y[m - 1, n - 1].name
    report(f"vars({m}, {n})", t_fast, t_loop)
    return x


def bench_sum_terms(x):
    flat = list(x.ravel())
    t_fast, total = timed(lambda: korvo.Sum(2 * v for v in flat))

    def loop():
        e = korvo.expression()
        for v in flat:
            e += 2 * v
        return e
    t_loop, other = timed(loop)
    assert len(total.extractLinear()[0]) == len(other.extractLinear()[0]) == len(flat)
    report(f"Sum of {len(flat)} terms 2*x_i (generator)", t_fast, t_loop)

    t_fast, total = timed(lambda: korvo.Sum(x))

    def loop_plain():
        e = korvo.expression()
        for v in flat:
            e += v
        return e
    t_loop, _ = timed(loop_plain)
    assert len(total.extractLinear()[0]) == len(flat)
    report(f"Sum of a {x.shape} variable array", t_fast, t_loop)


def bench_dot(n):
    rng = np.random.default_rng(1)
    a = rng.standard_normal((n, n))
    x = korvo.vars(n)
    t_fast, rows = timed(lambda: korvo.Dot(a, x))

    def loop():
        xs = list(x)
        return [korvo.Sum(float(a[i, j]) * xs[j] for j in range(n)) for i in range(n)]
    t_loop, other = timed(loop)
    assert rows.shape == (n,) and len(rows[n - 1].extractLinear()[0]) == len(other[n - 1].extractLinear()[0])
    report(f"Dot({n}x{n} floats, {n} variables)", t_fast, t_loop)


def bench_constraints(x):
    flat = x.ravel()
    t_fast, cons = timed(lambda: 2 * flat + 1 <= 5)
    items = list(flat)
    t_loop, other = timed(lambda: [2 * v + 1 <= 5 for v in items])
    assert cons.shape == (len(items),) and len(other) == len(items)
    report(f"2*x + 1 <= 5 on {len(items)} variables", t_fast, t_loop)


def bench_elementwise(side):
    """CPU nanoseconds per element of single array operations and of a chain."""
    y = korvo.vars(side + 1, side + 1, name="")
    inner, up = y[:-1, 1:-1], y[1:, 1:-1]
    twice = 2 * inner
    diff = up - inner
    pair = y[:-1, :-2] - twice
    five = pair + y[:-1, 2:] + y[1:, :-2] - 2 * up + y[1:, 2:]
    column = np.arange(inner.shape[0], dtype=float)[:, None]
    cases = [
        ("number * var", lambda: 2 * inner),
        ("var - var", lambda: up - inner),
        ("var - linterm", lambda: y[:-1, :-2] - twice),
        ("expr / number", lambda: diff / 0.5),
        ("expr(2) + var", lambda: pair + y[:-1, 2:]),
        ("expr(2) - expr(2)", lambda: pair - diff),
        ("number * expr(5)", lambda: 0.5 * five),
        ("expr(5) == 0", lambda: five == 0),
        ("expr(2) >= column", lambda: diff >= column),
        ("chain of 12 operations", lambda: (up - inner) / 0.01 - 0.5 * (
            y[:-1, :-2] - 2 * inner + y[:-1, 2:] + y[1:, :-2] - 2 * up + y[1:, 2:]) / 0.3 == 0),
    ]
    count = inner.size
    for label, fn in cases:
        best = float("inf")
        for _ in range(5):
            start = time.process_time()
            result = fn()
            best = min(best, time.process_time() - start)
            del result
        print(f"{label + f' ({count} elements)':44s} {best * 1e9 / count:8.1f} ns/element (CPU, best of 5)")


def main():
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    side = max(10, int(1000 * scale ** 0.5))
    x = bench_vars(side, side)
    bench_sum_terms(x)
    bench_dot(max(10, int(1000 * scale ** 0.5)))
    bench_constraints(x)
    bench_elementwise(max(10, int(500 * scale ** 0.5)))


if __name__ == "__main__":
    main()
