"""The engine's own branch-and-bound search: when it runs, the node
callbacks it raises and their order, lazy rules through preintsol, convex
MIQP checked by enumeration, and published optima of shared instances."""
import itertools
import os

import pytest

import korvo
from conftest import optima

pytestmark = pytest.mark.usefixtures("quiet")


def knapsack(values, weights, capacity):
    xs = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(len(values))]
    p = korvo.problem(xs, korvo.Sum(w * x for w, x in zip(weights, xs)) <= capacity, name="knapsack")
    p.setObjective(korvo.Sum(v * x for v, x in zip(values, xs)), sense=korvo.maximize)
    return p, xs


VALUES = [10, 13, 7, 8, 9, 4, 11, 6]
WEIGHTS = [5, 7, 4, 5, 6, 3, 6, 4]
CAPACITY = 17


def best_by_enumeration(values, weights, capacity, rule=lambda x: True):
    best = None
    for x in itertools.product((0, 1), repeat=len(values)):
        if sum(w * v for w, v in zip(weights, x)) <= capacity and rule(x):
            value = sum(c * v for c, v in zip(values, x))
            best = value if best is None or value > best else best
    return best


class TestNodeCallbacks:
    def record(self, p):
        events = []
        p.addcbprenode(lambda prob, d: events.append(("pre", prob.attributes.currentnode)) or 0)
        p.addcboptnode(lambda prob, d: events.append(("opt", prob.attributes.currentnode)) or 0)
        p.addcbnewnode(lambda prob, d, parent, node, branch: events.append(("new", parent, node, branch)))
        p.addcbinfnode(lambda prob, d: events.append(("inf", prob.attributes.currentnode)))
        p.addcbnodecutoff(lambda prob, d, node: events.append(("cut", node)))
        p.addcbintsol(lambda prob, d: events.append(("int", prob.attributes.mipobjval)))
        return events

    def test_events_follow_the_tree(self):
        p, xs = knapsack(VALUES, WEIGHTS, CAPACITY)
        events = self.record(p)
        p.solve()
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(best_by_enumeration(VALUES, WEIGHTS, CAPACITY))
        created = {1}
        solved = set()
        for e in events:
            if e[0] == "new":
                assert e[1] in solved  # children come from a solved node
                assert e[2] not in created
                created.add(e[2])
                assert e[3] in (0, 1)
            elif e[0] in ("pre", "opt"):
                assert e[1] in created
                if e[0] == "opt":
                    solved.add(e[1])
        # Every node seen was created, and optnode follows prenode of the same node.
        pres = [e[1] for e in events if e[0] == "pre"]
        opts = [e[1] for e in events if e[0] == "opt"]
        assert opts and set(opts) <= set(pres)
        assert max(created) <= p.attributes.nodes + 1
        incumbents = [e[1] for e in events if e[0] == "int"]
        assert incumbents == sorted(incumbents) and incumbents[-1] == p.attributes.mipobjval

    def test_the_search_is_deterministic(self):
        runs = []
        for _ in range(2):
            p, _ = knapsack(VALUES, WEIGHTS, CAPACITY)
            runs.append(self.record(p))
            p.solve()
        assert runs[0] == runs[1]

    def test_prenode_and_optnode_can_drop_nodes(self):
        p, _ = knapsack(VALUES, WEIGHTS, CAPACITY)
        p.controls.treesearch = 1
        p.addcbprenode(lambda prob, d: 1)
        p.solve()
        assert p.attributes.mipstatus in (4, 6)  # only a heuristic incumbent can remain
        p.removecbprenode()
        p.addcboptnode(lambda prob, d: 1 if prob.attributes.currentnode == 1 else 0)
        p.solve()
        assert p.attributes.nodes == 1

    def test_node_relaxation_is_readable_in_optnode(self):
        p, xs = knapsack(VALUES, WEIGHTS, CAPACITY)
        seen = []

        def optnode(prob, d):
            values = []
            prob.getlpsol(values, None, None, None)
            seen.append(sum(w * v for w, v in zip(WEIGHTS, values)))
            return 0

        p.addcboptnode(optnode)
        p.solve()
        assert seen and all(s <= CAPACITY + 1e-6 for s in seen)


class TestLazyRules:
    def test_preintsol_rejects_until_the_rule_holds(self):
        p, xs = knapsack(VALUES, WEIGHTS, CAPACITY)
        # A rule the rows do not state: items 0 and 1 never together, nor 1 and 6.
        def rule(x):
            return not (x[0] > 0.5 and x[1] > 0.5) and not (x[1] > 0.5 and x[6] > 0.5)

        rejected = []

        def preintsol(prob, d, soltype, cutoff):
            values = []
            prob.getlpsol(values, None, None, None)
            if not rule(values):
                rejected.append(values)
                return (1, None)
            return (None, None)

        # Heuristic solutions (soltype 1) are not the node's relaxation; refuse them all
        # so that every accepted solution was checked against the rule.
        def strict(prob, d, soltype, cutoff):
            if soltype != 0:
                return (1, None)
            return preintsol(prob, d, soltype, cutoff)

        p.addcbpreintsol(strict)
        p.solve()
        best = best_by_enumeration(VALUES, WEIGHTS, CAPACITY, rule)
        assert best < best_by_enumeration(VALUES, WEIGHTS, CAPACITY)
        assert rejected
        assert p.attributes.mipobjval == pytest.approx(best)
        assert rule(p.getSolution(xs))

    def test_bad_preintsol_results_stop_the_search(self, capfd):
        p, _ = knapsack(VALUES, WEIGHTS, CAPACITY)
        p.addcbpreintsol(lambda prob, d, soltype, cutoff: [1, None])
        p.solve()
        assert "must return tuple of two elements" in capfd.readouterr().err
        assert p.attributes.stopstatus == 9


class TestExceptionsInNodeCallbacks:
    @pytest.mark.parametrize("kind,arity", [("prenode", 0), ("optnode", 0), ("newnode", 3), ("preintsol", 2),
                                            ("intsol", 0), ("nodecutoff", 1), ("infnode", 0)])
    def test_an_exception_stops_and_the_problem_solves_again(self, kind, arity):
        p, _ = knapsack(VALUES, WEIGHTS, CAPACITY)
        p.controls.treesearch = 1

        def bad(prob, d, *args):
            assert len(args) == arity
            raise RuntimeError("from " + kind)

        getattr(p, "addcb" + kind)(bad)
        # Every one of these kinds fires in this tree, so the solve must raise.
        with pytest.raises(RuntimeError, match="from " + kind):
            p.solve()
        getattr(p, "removecb" + kind)()
        p.solve()
        assert p.attributes.mipstatus == 6


class TestMiqp:
    def test_convex_miqp_matches_enumeration(self):
        x = korvo.var(vartype=korvo.integer, lb=-3, ub=5, name="x")
        y = korvo.var(vartype=korvo.integer, lb=-3, ub=5, name="y")
        z = korvo.var(lb=-10, ub=10, name="z")
        p = korvo.problem(x, y, z, x + y + z >= 2.5, x - 2 * y <= 1.2)
        p.setObjective((x - 1.3) ** 2 + (y - 2.6) ** 2 + z * z + 0.5 * x * y - z)
        p.solve()
        assert p.attributes.mipstatus == 6

        def f(xv, yv):
            # The best z for given integers: minimise z^2 - z with z >= 2.5 - x - y, inside [-10, 10].
            zv = max(0.5, 2.5 - xv - yv)
            return (xv - 1.3) ** 2 + (yv - 2.6) ** 2 + zv * zv + 0.5 * xv * yv - zv

        best = min(f(a, b) for a in range(-3, 6) for b in range(-3, 6) if a - 2 * b <= 1.2)
        assert p.attributes.mipobjval == pytest.approx(best, abs=1e-5)
        xv, yv = p.getSolution([x, y])
        assert f(round(xv), round(yv)) == pytest.approx(best, abs=1e-5)

    def test_concave_maximisation_with_binaries(self):
        xs = [korvo.var(vartype=korvo.binary) for _ in range(4)]
        w = [3, 1, 4, 2]
        p = korvo.problem(xs, korvo.Sum(xs) <= 2)
        p.setObjective(korvo.Sum(wi * xi for wi, xi in zip(w, xs)) - (xs[0] + xs[2]) ** 2, sense=korvo.maximize)
        p.solve()
        best = max(sum(a * b for a, b in zip(w, c)) - (c[0] + c[2]) ** 2
                   for c in itertools.product((0, 1), repeat=4) if sum(c) <= 2)
        assert p.attributes.mipobjval == pytest.approx(best)

    def test_nonconvex_miqp_is_still_refused(self):
        x = korvo.var(vartype=korvo.integer, ub=3)
        y = korvo.var(ub=3)
        p = korvo.problem(x, y, x + y <= 4)
        p.setObjective(x * y)
        with pytest.raises(korvo.SolverError, match="nlpoptimize"):
            p.solve()
        assert p.attributes.mipstatus == 8


SEARCHABLE = {"flugpl.mps", "gt2.mps", "small_mip.mps", "semi-continuous.mps", "semi-integer.mps", "2122.lp"}


@pytest.mark.parametrize("row", [r for r in optima() if r["file"] in SEARCHABLE], ids=lambda r: r["file"])
def test_forced_search_reaches_published_optima(row, instances_dir):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, row["file"]))
    p.controls.treesearch = 1
    p.controls.miprelstop = 1e-9
    p.solve()
    assert p.attributes.mipstatus == 6
    expected = float(row["optimal_objective"])
    assert p.attributes.mipobjval == pytest.approx(expected, rel=1e-5, abs=1e-5)


def test_search_limits_and_checktime(instances_dir):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, "bell5.mps"))
    p.controls.treesearch = 1
    p.controls.maxnode = 30
    p.solve()
    assert p.attributes.stopstatus == 3 and p.attributes.nodes == 30
    p.controls.maxnode = 10 ** 9
    calls = []
    p.addcbchecktime(lambda prob, d: calls.append(1) or 1)
    p.solve()
    assert calls and p.attributes.stopstatus == 9
