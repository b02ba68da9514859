"""Timings of nonlinear expressions: accumulation with += and evaluation.

Run: python bench/nonlinear.py [scale]   (scale 1.0 = the full sizes)
  - accumulate n terms exp(x_i) + 2*x_i into one nonlinear sum with +=, for
    n and 4n (the ratio shows whether a += costs constant time)
  - evaluate that sum with korvo.evaluate against the same sum in plain Python
  - evaluate an object array of n small trees
"""
import math
import sys
import time

import numpy as np

import korvo


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def accumulate(xs):
    s = korvo.exp(xs[0])
    for x in xs:
        s += korvo.exp(x)
        s += 2 * x
    return s


def main(scale):
    n = max(1000, int(100_000 * scale))
    xs = [korvo.var() for _ in range(4 * n)]
    t_small, _ = timed(lambda: accumulate(xs[:n]))
    t_large, s = timed(lambda: accumulate(xs))
    print(f"+= of {2 * n} terms: {t_small:.3f} s; of {8 * n} terms: {t_large:.3f} s "
          f"(ratio {t_large / t_small:.2f}, 4.0 is linear)")

    values = {x: 0.001 * (i % 100) for i, x in enumerate(xs)}
    t_eval, got = timed(lambda: korvo.evaluate(s, solution=values))
    plain = list(values.values())
    t_plain, want = timed(lambda: math.exp(plain[0]) + sum(math.exp(v) + 2 * v for v in plain))
    assert abs(got - want) <= 1e-9 * abs(want)
    print(f"evaluate a sum of {8 * n} terms: korvo {t_eval:.3f} s, plain Python {t_plain:.3f} s")

    trees = np.array([korvo.sin(x) * x + korvo.sqrt(x + 1) for x in xs[:n]], dtype=object)
    t_arr, out = timed(lambda: korvo.evaluate(trees, solution=values))
    assert out.shape == (n,)
    print(f"evaluate an object array of {n} trees: {t_arr:.3f} s")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 1.0)
