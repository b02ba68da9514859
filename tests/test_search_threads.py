"""The engine's branch-and-bound search on several worker threads: worker
start and end events, callbacks that never overlap, failures in a worker's
callback, the same optima as one thread, and one thread's repeatable tree."""
import os
import random
import threading
import time

import pytest

import korvo
from conftest import optima

pytestmark = pytest.mark.usefixtures("quiet")


def knapsack(n=30, seed=3):
    rng = random.Random(seed)
    xs = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(n)]
    w = [rng.randint(20, 60) for _ in range(n)]
    v = [wi + rng.randint(-5, 5) for wi in w]
    p = korvo.problem(xs, korvo.Sum(a * x for a, x in zip(w, xs)) <= sum(w) // 2, name="knapsack")
    p.setObjective(korvo.Sum(a * x for a, x in zip(v, xs)), sense=korvo.maximize)
    p.controls.treesearch = 1
    # Without the heuristic's incumbent the tree is larger, so every worker gets nodes.
    p.controls.heureffort = 0
    return p, xs, w, v


def best_knapsack(w, v, capacity):
    # Dynamic programme over the capacity: the exact optimum to compare with.
    best = [0] * (capacity + 1)
    for wi, vi in zip(w, v):
        for c in range(capacity, wi - 1, -1):
            best[c] = max(best[c], best[c - wi] + vi)
    return best[capacity]


class TestWorkerEvents:
    @pytest.mark.parametrize("threads", [2, 3])
    def test_mipthread_and_destroymt_once_per_worker(self, threads):
        p, xs, w, v = knapsack()
        p.controls.threads = threads
        started, ended, node_threads = [], [], set()

        def mipthread(prob, data, threadprob):
            assert data == "d" and isinstance(threadprob, korvo.problem)
            # The worker's problem shares the model: its size and objects are the problem's.
            assert threadprob.attributes.cols == len(xs)
            assert threadprob.getVariable(0).name == xs[0].name
            started.append(threading.get_ident())

        p.addcbmipthread(mipthread, "d")
        p.addcbdestroymt(lambda prob, data: ended.append(threading.get_ident()))
        p.addcboptnode(lambda prob, data: node_threads.add(threading.get_ident()) or 0)
        p.solve()
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == best_knapsack(w, v, sum(w) // 2)
        assert len(started) == threads and len(set(started)) == threads
        assert sorted(ended) == sorted(started)
        assert node_threads <= set(started) and len(node_threads) >= 2
        # A second solve starts its workers again.
        p.solve()
        assert len(started) == 2 * threads and len(ended) == 2 * threads

    def test_one_thread_runs_on_the_solving_thread_without_worker_events(self):
        p, *_ = knapsack(12)
        p.controls.threads = 1
        events, node_threads = [], set()
        p.addcbmipthread(lambda prob, data, threadprob: events.append("start"))
        p.addcbdestroymt(lambda prob, data: events.append("end"))
        p.addcbprenode(lambda prob, data: node_threads.add(threading.get_ident()) or 0)
        p.solve()
        assert events == [] and node_threads == {threading.get_ident()}


class TestCallbacksOnWorkers:
    def test_callbacks_never_overlap(self):
        p, xs, w, v = knapsack()
        p.controls.threads = 2
        inside = []
        overlaps = []

        def guarded(kind):
            def callback(prob, data, *args):
                if inside:
                    overlaps.append((kind, inside[-1]))
                inside.append(kind)
                time.sleep(0.0005)  # releases the interpreter lock: another worker could enter now
                inside.pop()
                return (None, None) if kind == "preintsol" else 0
            return callback

        p.addcbprenode(guarded("prenode"))
        p.addcboptnode(guarded("optnode"))
        p.addcbpreintsol(guarded("preintsol"))
        p.addcbnewnode(guarded("newnode"))
        p.solve()
        assert overlaps == []
        assert p.attributes.mipobjval == best_knapsack(w, v, sum(w) // 2)

    def test_node_callbacks_read_their_own_node(self):
        p, xs, w, v = knapsack()
        p.controls.threads = 2
        capacity = sum(w) // 2
        problems = []

        def optnode(prob, data):
            values = []
            prob.getlpsol(values, None, None, None)
            node = prob.attributes.currentnode
            # The relaxation read is the node's: feasible for the row, and the node is the one being solved.
            assert sum(a * b for a, b in zip(w, values)) <= capacity + 1e-6
            assert node >= 1 and prob.attributes.nodes >= 1
            problems.append(prob)
            return 0

        p.addcboptnode(optnode)
        p.solve()
        assert p.attributes.mipobjval == best_knapsack(w, v, capacity)
        # Problem objects kept from a worker's callbacks stay safe to use after the solve.
        for prob in problems[-3:]:
            assert prob.attributes.cols == len(xs)
            try:
                prob.getlpsol([], None, None, None)
            except korvo.SolverError:
                pass

    def test_controls_set_in_a_worker_callback_reach_the_search(self):
        p, *_ = knapsack()
        p.controls.threads = 2

        def optnode(prob, data):
            if prob.attributes.currentnode == 1:
                prob.controls.maxnode = 6
            return 0

        p.addcboptnode(optnode)
        p.solve()
        assert p.controls.maxnode == 6
        assert p.attributes.stopstatus == 3
        # The nodes already taken by the other worker may still finish.
        assert 6 <= p.attributes.nodes <= 8

    def test_registering_on_a_worker_problem_is_refused(self):
        p, xs, w, v = knapsack()
        p.controls.threads = 2

        def mipthread(prob, data, threadprob):
            threadprob.addcbintsol(lambda *a: None)

        p.addcbmipthread(mipthread)
        with pytest.raises(korvo.SolverError, match="search worker"):
            p.solve()
        # Nothing was registered: removing every intsol callback finds none.
        p.removecbintsol()
        p.removecbmipthread()
        p.solve()
        assert p.attributes.mipobjval == best_knapsack(w, v, sum(w) // 2)


class TestFailuresInWorkers:
    @pytest.mark.parametrize("kind", ["optnode", "mipthread", "newnode", "intsol"])
    def test_an_exception_stops_every_worker_and_is_raised(self, kind):
        p, xs, w, v = knapsack()
        p.controls.threads = 2
        calls, ended = [], []

        def bad(prob, data, *args):
            calls.append(threading.get_ident())
            if len(calls) == 3 or kind in ("mipthread", "intsol"):
                raise ValueError("worker callback " + kind)
            return 0

        getattr(p, "addcb" + kind)(bad)
        p.addcbdestroymt(lambda prob, data: ended.append(1))
        with pytest.raises(ValueError, match="worker callback " + kind):
            p.solve()
        # No callback ran after the failure, on either worker (destroymt included).
        assert len(calls) == (1 if kind in ("mipthread", "intsol") else 3)
        assert ended == []
        assert p.attributes.stopstatus == 9
        getattr(p, "removecb" + kind)()
        p.solve()
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == best_knapsack(w, v, sum(w) // 2)

    def test_interrupt_from_a_worker_stops_the_search(self):
        p, *_ = knapsack(40)
        p.controls.threads = 2
        p.addcbnewnode(lambda prob, data, parent, node, branch: prob.interrupt(9) if node > 20 else None)
        p.solve()
        assert p.attributes.stopstatus == 9
        assert p.attributes.nodes < 40


class TestSameAnswers:
    @pytest.mark.parametrize("seed", [1, 2, 5])
    def test_knapsacks(self, seed):
        results = []
        for threads in (1, 2):
            p, xs, w, v = knapsack(25, seed)
            p.controls.threads = threads
            p.solve()
            assert p.attributes.mipstatus == 6
            results.append(p.attributes.mipobjval)
            sol = p.getSolution(xs)
            assert sum(a * round(b) for a, b in zip(w, sol)) <= sum(w) // 2
        assert results[0] == results[1] == best_knapsack(w, v, sum(w) // 2)

    def test_lazy_rule_and_cuts_from_workers(self):
        # preintsol rejects solutions that break a rule, optnode adds a cut
        # stating it once it was broken: both from whichever worker meets them.
        p, xs, w, v = knapsack(16, 7)
        p.controls.threads = 2
        capacity = sum(w) // 2
        # The three items of best value per weight: the root's relaxation takes them all.
        group = sorted(range(len(w)), key=lambda i: -v[i] / w[i])[:3]

        def rule(x):
            return sum(x[i] for i in group) <= 1.5

        def preintsol(prob, data, soltype, cutoff):
            values = []
            prob.getlpsol(values, None, None, None)
            return (1, None) if soltype != 0 or not rule(values) else (None, None)

        added = []

        def optnode(prob, data):
            values = []
            prob.getlpsol(values, None, None, None)
            if not added and not rule(values):
                prob.addcuts([0], ["L"], [1.0], [0, 3], [xs[i] for i in group], [1.0, 1.0, 1.0])
                added.append(1)
            return 0

        p.addcbpreintsol(preintsol)
        p.addcboptnode(optnode)
        p.solve()
        assert added
        best = max_with_rule(w, v, capacity, group)
        assert p.attributes.mipobjval == pytest.approx(best)
        assert rule(p.getSolution(xs))

    @pytest.mark.parametrize("name", ["flugpl.mps", "gt2.mps"])
    def test_shared_instances(self, name, instances_dir):
        row = next(r for r in optima() if r["file"] == name)
        p = korvo.problem()
        p.read(os.path.join(instances_dir, name))
        p.controls.treesearch = 1
        p.controls.threads = 2
        p.controls.miprelstop = 1e-9
        p.solve()
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(float(row["optimal_objective"]), rel=1e-5, abs=1e-5)


def max_with_rule(w, v, capacity, group):
    # At most one item of the group; the others by the dynamic programme.
    others = [i for i in range(len(w)) if i not in group]
    best = 0
    for pick in [None] + list(group):
        cap = capacity - (w[pick] if pick is not None else 0)
        if cap < 0:
            continue
        rest = best_knapsack([w[i] for i in others], [v[i] for i in others], cap)
        best = max(best, rest + (v[pick] if pick is not None else 0))
    return best


def test_one_thread_gives_the_same_tree_and_callback_sequence():
    def run():
        p, *_ = knapsack(18, 11)
        p.controls.threads = 1
        log = []
        p.addcbprenode(lambda prob, d: log.append(("pre", prob.attributes.currentnode)) or 0)

        def optnode(prob, d):
            values = []
            prob.getlpsol(values, None, None, None)
            log.append(("opt", prob.attributes.currentnode, prob.attributes.nodedepth, tuple(values)))
            return 0

        p.addcboptnode(optnode)
        p.addcbnewnode(lambda prob, d, parent, node, branch: log.append(("new", parent, node, branch)))
        p.addcbnodecutoff(lambda prob, d, node: log.append(("cut", node)))
        p.addcbinfnode(lambda prob, d: log.append(("inf", prob.attributes.currentnode)))
        p.addcbintsol(lambda prob, d: log.append(("int", prob.attributes.mipobjval)))
        p.addcbpreintsol(lambda prob, d, soltype, cutoff: log.append(("preint", soltype, cutoff)) or (None, None))
        p.solve()
        return log, p.attributes.nodes

    first, second = run(), run()
    assert len(first[0]) > 50
    assert first == second
