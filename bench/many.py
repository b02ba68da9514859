"""Many models: korvo.solve_many against solving one after the other, and
the cost of pickling a problem against writing it as an MPS file.

    python bench/many.py [--models 200] [--rows 10000] [--workers N]
                         [--pickle-vars 1000000] [--skip-many] [--skip-pickle]

Part 1 builds and solves `models` covering LPs of `rows` rows (and as
many columns, three nonzeros a row, data varying with the model's seed):
first sequentially in this process (build and solve, as a loop would),
then with korvo.solve_many on the default process pool, where each worker
builds its own models from the seed. Reported: wall seconds of both, the
speed-up, and that the objectives agree.

Part 2 builds a problem of `pickle-vars` columns and a tenth as many rows
and times pickle.dumps and pickle.loads of (problem, variables) against
problem.write to an MPS file, per million variables, with the sizes.
"""
import argparse
import os
import pickle
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import korvo  # noqa: E402


def covering_lp(seed, rows=10000):
    """min c'x subject to x[i] + x[i+1] + x[i+7] >= d[i], 0 <= x <= 10."""
    korvo.setOutputEnabled(False)
    rng = np.random.default_rng(seed)
    n = rows + 7
    cost = rng.uniform(1.0, 10.0, n)
    demand = rng.uniform(1.0, 5.0, rows)
    x = korvo.vars(n, name="x", ub=10)
    p = korvo.problem(x, x[:rows] + x[1:rows + 1] + x[7:rows + 7] >= demand, korvo.Dot(cost, x))
    return p


def solve_one(seed, rows):
    p = covering_lp(seed, rows)
    p.solve()
    return p.getObjVal()


class Builder:
    """A picklable builder of covering LPs of a given size (by name, from this module)."""

    def __init__(self, rows):
        self.rows = rows

    def __call__(self, seed):
        return covering_lp(seed, self.rows)


def bench_many(models, rows, workers):
    seeds = list(range(models))
    start = time.perf_counter()
    sequential = [solve_one(s, rows) for s in seeds]
    t_seq = time.perf_counter() - start
    start = time.perf_counter()
    results = korvo.solve_many(Builder(rows), seeds, workers=workers, progress=False)
    t_many = time.perf_counter() - start
    failed = [r for r in results if not r.ok]
    if failed:
        raise SystemExit(f"{len(failed)} models failed: {failed[0].traceback}")
    agree = all(abs(r.objective - o) <= 1e-6 * max(1.0, abs(o)) for r, o in zip(results, sequential))
    solve_times = [r.time for r in results]
    print(f"{models} models of {rows} rows: sequential {t_seq:.2f} s ({t_seq / models * 1000:.1f} ms a model), "
          f"solve_many on {workers or korvo._many.default_worker_count()} workers {t_many:.2f} s: "
          f"speed-up {t_seq / t_many:.2f}x; objectives agree: {agree}; "
          f"mean solve time in a worker {sum(solve_times) / models * 1000:.1f} ms")


def bench_pickle(n):
    korvo.setOutputEnabled(False)
    start = time.perf_counter()
    x = korvo.vars(n, name="x", ub=10)
    m = n // 10
    rng = np.random.default_rng(1)
    p = korvo.problem(x, x[:m] + 2 * x[m:2 * m] + x[2 * m:3 * m] >= rng.uniform(1, 5, m), korvo.Dot(rng.uniform(1, 2, n), x))
    t_build = time.perf_counter() - start
    scale = 1e6 / n
    start = time.perf_counter()
    data = pickle.dumps((p, x), protocol=pickle.HIGHEST_PROTOCOL)
    t_dump = time.perf_counter() - start
    start = time.perf_counter()
    q, xq = pickle.loads(data)
    t_load = time.perf_counter() - start
    assert q.attributes.cols == n and q.attributes.rows == m
    del q, xq
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.mps")
        start = time.perf_counter()
        p.write(path)
        t_mps = time.perf_counter() - start
        mps_size = os.path.getsize(path)
        r = korvo.problem()
        start = time.perf_counter()
        r.read(path)
        t_read = time.perf_counter() - start
    print(f"{n} variables, {m} rows (built in {t_build:.2f} s); per million variables: "
          f"pickle.dumps {t_dump * scale:.2f} s, pickle.loads {t_load * scale:.2f} s, {len(data) * scale / 1e6:.0f} MB; "
          f"write MPS {t_mps * scale:.2f} s, read MPS {t_read * scale:.2f} s, {mps_size * scale / 1e6:.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", type=int, default=200)
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--pickle-vars", type=int, default=1000000)
    parser.add_argument("--skip-many", action="store_true")
    parser.add_argument("--skip-pickle", action="store_true")
    args = parser.parse_args()
    if not args.skip_many:
        bench_many(args.models, args.rows, args.workers)
    if not args.skip_pickle:
        bench_pickle(args.pickle_vars)


if __name__ == "__main__":
    main()
