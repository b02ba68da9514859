"""Stop requests that reach a running solve without any callback polling
for them: an interrupt from another thread, and a stopping gap loosened by
a callback that runs on another event."""
import os
import random
import threading
import time

import korvo


def sparse_lp(m=3000, n=6000, per_col=6, seed=3):
    rng = random.Random(seed)
    x = [korvo.var(ub=10) for _ in range(n)]
    rows = [[] for _ in range(m)]
    for j in range(n):
        for i in rng.sample(range(m), per_col):
            rows[i].append((rng.uniform(1, 10), x[j]))
    p = korvo.problem(x)
    p.addConstraint([korvo.Sum(a * v for a, v in r) <= rng.uniform(50, 100) for r in rows if r])
    p.setObjective(korvo.Sum(rng.uniform(1, 5) * v for v in x), sense=korvo.maximize)
    p.controls.presolve = 0
    p.controls.timelimit = 120.0
    p.controls.outputlog = 1
    return p


def test_interrupt_from_another_thread_stops_an_lp_and_the_next_solve_runs_to_the_end():
    korvo.setOutputEnabled(False)
    p = sparse_lp()
    started = threading.Event()
    p.addcbmessage(lambda prob, data, text, kind: started.set() if text.startswith("Solving") else None)

    def stop_soon():
        started.wait(60)
        time.sleep(0.3)
        p.interrupt(korvo.stop_user)

    stopper = threading.Thread(target=stop_soon)
    stopper.start()
    begin = time.time()
    p.solve()
    stopper.join()
    assert time.time() - begin < 30
    assert p.attributes.lpstatus == korvo.lp_unfinished
    assert p.attributes.stopstatus == korvo.stop_user
    # The stop belonged to that solve only: the next one (from the kept
    # model and its basis) finishes, with no stop reason.
    p.controls.timelimit = 300.0
    p.solve()
    assert p.attributes.lpstatus == korvo.lp_optimal
    assert p.attributes.stopstatus == 0


def test_a_callback_loosening_the_stopping_gap_ends_a_mip_solve(instances_dir):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, "bell5.mps"))
    p.controls.outputlog = 0
    p.controls.threads = 1
    p.controls.miprelstop = 1e-9
    found = []

    def on_solution(prob, data):
        found.append(prob.attributes.mipobjval)
        prob.controls.miprelstop = 0.5

    p.addcbintsol(on_solution)
    p.solve()
    assert found
    assert p.attributes.stopstatus == korvo.stop_mipgap
    assert p.attributes.mipstatus == korvo.mip_optimal
    assert p.attributes.mipgap <= 0.5
