"""The engine's own branch-and-bound search against HiGHS's MIP on the MIPs
of the shared instances (time to optimum, nodes), and its node throughput on
a pure binary knapsack, with one worker thread and with two.

    PYTHONPATH=_inst python bench/tree_search.py [seconds per instance]
    PYTHONPATH=_inst python bench/tree_search.py --knapsack   (node throughput only)
"""
import csv
import os
import random
import sys
import time

import korvo

HERE = os.path.dirname(os.path.abspath(__file__))
INSTANCES = os.path.join(HERE, "..", "..", "shared", "instances")


def solve(path, forced, limit):
    p = korvo.problem()
    p.read(path)
    p.controls.timelimit = limit
    p.controls.treesearch = 1 if forced else 0
    start, cpu = time.perf_counter(), time.process_time()
    p.solve()
    # Processor time as well: on a shared machine the wall clock mostly
    # measures the other processes.
    return (time.perf_counter() - start, time.process_time() - cpu, p.attributes.mipstatus, p.attributes.mipobjval,
            p.attributes.nodes)


def knapsack_throughput(n=60, seed=3, limit=10.0):
    rng = random.Random(seed)
    xs = [korvo.var(vartype=korvo.binary) for _ in range(n)]
    w = [rng.randint(20, 60) for _ in range(n)]
    v = [wi + rng.randint(-5, 5) for wi in w]
    p = korvo.problem(xs, korvo.Sum(a * x for a, x in zip(w, xs)) <= sum(w) // 2)
    p.setObjective(korvo.Sum(a * x for a, x in zip(v, xs)), sense=korvo.maximize)
    p.controls.treesearch = 1
    p.controls.timelimit = limit
    start, cpu = time.perf_counter(), time.process_time()
    p.solve()
    spent, cpu = time.perf_counter() - start, time.process_time() - cpu
    return p.attributes.nodes / spent, p.attributes.nodes, spent, cpu


def worker_throughput(threads, n=50, seed=3, nodes=20000):
    # A strongly correlated knapsack (value = weight + 7) with the root's
    # heuristic and presolve off: a large tree whatever the root finds, cut
    # at a node budget so that both runs do the same amount of work.
    rng = random.Random(seed)
    xs = [korvo.var(vartype=korvo.binary) for _ in range(n)]
    w = [rng.randint(20, 60) for _ in range(n)]
    p = korvo.problem(xs, korvo.Sum(a * x for a, x in zip(w, xs)) <= sum(w) // 2)
    p.setObjective(korvo.Sum((a + 7) * x for a, x in zip(w, xs)), sense=korvo.maximize)
    p.controls.treesearch = 1
    p.controls.heureffort = 0
    p.controls.presolve = 0
    p.controls.maxnode = nodes
    p.controls.timelimit = 20
    p.controls.threads = threads
    start, cpu = time.perf_counter(), time.process_time()
    p.solve()
    spent, cpu = time.perf_counter() - start, time.process_time() - cpu
    return p.attributes.nodes / spent, p.attributes.nodes, spent, cpu


def print_throughput():
    rate, nodes, spent, cpu = knapsack_throughput()
    print(f"knapsack (60 binaries): {rate:.0f} nodes/s ({nodes} nodes in {spent:.1f} s)")
    for threads in (1, 2):
        rate, nodes, spent, cpu = worker_throughput(threads)
        print(f"correlated knapsack (50 binaries), {threads} worker(s): {rate:.0f} nodes/s ({nodes} nodes in "
              f"{spent:.2f} s, {cpu:.2f} s of processor time)")


if __name__ == "__main__":
    korvo.setOutputEnabled(False)
    if sys.argv[1:] == ["--knapsack"]:
        print_throughput()
        sys.exit()
    limit = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    with open(os.path.join(INSTANCES, "optima.csv")) as f:
        rows = [r for r in csv.DictReader(f) if r["kind"] == "MIP"]
    print(f"{'instance':24} {'search s':>9} {'cpu s':>7} {'nodes':>8} {'status':>6} {'HiGHS s':>8} {'cpu s':>7} "
          f"{'nodes':>7} {'ratio':>6} {'cpu':>6}")
    for r in rows:
        path = os.path.join(INSTANCES, r["file"])
        t1, c1, s1, o1, n1 = solve(path, True, limit)
        t2, c2, s2, o2, n2 = solve(path, False, limit)
        print(f"{r['file']:24} {t1:9.2f} {c1:7.2f} {n1:8d} {s1:6d} {t2:8.2f} {c2:7.2f} {n2:7d} "
              f"{t1 / max(t2, 1e-3):6.1f} {c1 / max(c2, 1e-3):6.1f}")
    print_throughput()
