"""Timings of the modelling objects against a plain-Python, dict-based baseline.

Run: python bench/modelling_objects.py [scale]   (scale 1.0 = the full sizes)
  - create 10^6 variables
  - sum 10^6 terms 2*x_i into one expression with +=
  - build 10^5 constraints of 10 terms each (sum of c*x <= rhs)
"""
import itertools
import sys
import time

import korvo


class PlainVar:
    __slots__ = ("ident",)
    _counter = itertools.count(1)

    def __init__(self):
        self.ident = next(PlainVar._counter)

    def __hash__(self):
        return self.ident


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def bench_create(n):
    t_korvo, xs = timed(lambda: [korvo.var() for _ in range(n)])
    t_plain, ps = timed(lambda: [PlainVar() for _ in range(n)])
    return t_korvo, t_plain, xs, ps


def bench_sum(xs, ps):
    def korvo_sum():
        e = korvo.expression()
        for x in xs:
            e += 2 * x
        return e

    def plain_sum():
        acc = {}
        for p in ps:
            acc[p] = acc.get(p, 0.0) + 2.0
        return acc

    t_korvo, e = timed(korvo_sum)
    t_plain, acc = timed(plain_sum)
    assert len(e.extractLinear()[0]) == len(acc)
    return t_korvo, t_plain


def bench_constraints(xs, ps, rows, width=10):
    coefs = [1.0 + (j % 7) for j in range(width)]

    def korvo_rows():
        out = []
        for i in range(rows):
            e = korvo.expression()
            for j in range(width):
                e += coefs[j] * xs[(i * width + j) % len(xs)]
            out.append(e <= 10.0)
        return out

    def plain_rows():
        out = []
        for i in range(rows):
            body = {}
            for j in range(width):
                p = ps[(i * width + j) % len(ps)]
                body[p] = body.get(p, 0.0) + coefs[j]
            out.append((body, -1e20, 10.0))
        return out

    t_korvo, cons = timed(korvo_rows)
    t_plain, plain = timed(plain_rows)
    assert len(cons) == len(plain)
    return t_korvo, t_plain


def main():
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    n = int(1_000_000 * scale)
    rows = int(100_000 * scale)
    t1k, t1p, xs, ps = bench_create(n)
    t2k, t2p = bench_sum(xs, ps)
    t3k, t3p = bench_constraints(xs, ps, rows)
    print(f"{'task':<40} {'korvo [s]':>10} {'dict [s]':>10} {'ratio':>7}")
    for label, k, p in (
        (f"create {n} variables", t1k, t1p),
        (f"sum {n} terms with +=", t2k, t2p),
        (f"build {rows} constraints of 10 terms", t3k, t3p),
    ):
        print(f"{label:<40} {k:>10.3f} {p:>10.3f} {k / p:>7.2f}")


if __name__ == "__main__":
    main()
