"""The engine's search at its root: the incumbent and cuts of the short run
of HiGHS's MIP before it (cuts never cut off an optimum, also when a lazy
rule refuses that run's solution; incumbents satisfy the whole model), and
the shared instances the search now proves quickly."""
import itertools
import os

import pytest

import korvo
from conftest import optima

pytestmark = pytest.mark.usefixtures("quiet")

VALUES = [12, 15, 9, 11, 14, 6, 13, 8, 10, 7, 16, 5]
WEIGHTS = [7, 9, 5, 7, 8, 4, 8, 5, 6, 4, 10, 3]
CAPACITY = 33


def knapsack():
    xs = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(len(VALUES))]
    cap = korvo.constraint(korvo.Sum(w * x for w, x in zip(WEIGHTS, xs)) <= CAPACITY, name="cap")
    p = korvo.problem(xs, cap, name="knapsack")
    p.setObjective(korvo.Sum(v * x for v, x in zip(VALUES, xs)), sense=korvo.maximize)
    p.controls.treesearch = 1
    p.controls.miprelstop = 1e-9
    return p, xs


def ranked_solutions(rule=lambda x: True):
    """Feasible 0/1 vectors, best first."""
    found = [x for x in itertools.product((0, 1), repeat=len(VALUES))
             if sum(w * v for w, v in zip(WEIGHTS, x)) <= CAPACITY and rule(x)]
    return sorted(found, key=lambda x: -sum(c * v for c, v in zip(VALUES, x)))


def value(x):
    return sum(c * round(v) for c, v in zip(VALUES, x))


def test_a_lazy_rule_refusing_the_heuristic_optimum_keeps_the_next_best():
    # The root run finds the optimum, which the rule refuses: cuts that rely
    # on that solution's objective must not reach the search.
    best = ranked_solutions()[0]
    p, xs = knapsack()
    refused = []

    def preintsol(prob, data, soltype, cutoff):
        if soltype == 1:  # a heuristic's solution: not readable as the node relaxation
            refused.append(soltype)
            return (1, None)
        x = []
        prob.getlpsol(x, None, None, None)
        if tuple(round(v) for v in x[:len(VALUES)]) == best:
            refused.append(soltype)
            return (1, None)
        return (None, None)

    p.addcbpreintsol(preintsol)
    p.solve()
    expected = ranked_solutions(lambda x: x != best)[0]
    assert refused and p.attributes.mipstatus == 6
    assert p.attributes.mipobjval == pytest.approx(value(expected))
    assert tuple(round(v) for v in p.getSolution(xs)) != best


def test_heuristic_incumbents_satisfy_the_delayed_rows():
    p, xs = knapsack()
    # A delayed row the search holds back: the run's solution must still keep it.
    lazy = korvo.constraint(xs[10] + xs[1] <= 1, name="lazy")
    p.addConstraint(lazy)
    p.loaddelayedrows([lazy])
    seen = []
    p.addcbintsol(lambda prob, d: seen.append(prob.getSolution(xs)))
    p.solve()
    rule = lambda x: x[10] + x[1] <= 1
    assert seen and all(rule([round(v) for v in x]) and
                        sum(w * v for w, v in zip(WEIGHTS, x)) <= CAPACITY + 1e-6 for x in seen)
    assert p.attributes.mipobjval == pytest.approx(value(ranked_solutions(rule)[0]))


# Instances the search used to need tens of thousands of nodes for; with
# the root's cuts and incumbent they take a few hundred or thousand.
QUICK = {"lseu.mps": 5000, "egout.mps": 3000, "rgn.mps": 4000, "2171.mps": 2000, "issue-2585.lp": 2000}


@pytest.mark.parametrize("row", [r for r in optima() if r["file"] in QUICK], ids=lambda r: r["file"])
def test_forced_search_proves_published_optima_quickly(row, instances_dir):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, row["file"]))
    p.controls.treesearch = 1
    p.controls.miprelstop = 1e-9
    p.controls.timelimit = 60
    p.solve()
    assert p.attributes.mipstatus == 6
    assert p.attributes.mipobjval == pytest.approx(float(row["optimal_objective"]), rel=1e-6, abs=1e-6)
    assert p.attributes.nodes <= QUICK[row["file"]]


def test_without_heuristics_the_search_still_proves_the_optimum():
    p, _ = knapsack()
    p.controls.heureffort = 0
    p.solve()
    assert p.attributes.mipstatus == 6
    assert p.attributes.mipobjval == pytest.approx(value(ranked_solutions()[0]))


def violations(path, x):
    """How far x is from satisfying the model in the file (read by HiGHS): the
    worst row or bound excess and the worst distance of an integer column
    from an integer, and its objective."""
    highspy = pytest.importorskip("highspy")
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(path)
    lp = h.getLp()
    a = lp.a_matrix_
    activity = [0.0] * lp.num_row_
    for j in range(lp.num_col_):
        for p in range(a.start_[j], a.start_[j + 1]):
            activity[a.index_[p]] += a.value_[p] * x[j]
    worst = max([max(lo - v, v - up, 0.0) for lo, v, up in zip(lp.row_lower_, activity, lp.row_upper_)] +
                [max(lo - v, v - up, 0.0) for lo, v, up in zip(lp.col_lower_, x, lp.col_upper_)])
    integral = [j for j, t in enumerate(lp.integrality_) if t == highspy.HighsVarType.kInteger]
    fraction = max((abs(x[j] - round(x[j])) for j in integral), default=0.0)
    return worst, fraction, lp.offset_ + sum(c * v for c, v in zip(lp.col_cost_, x))


def solve_logged(path, **controls):
    p = korvo.problem()
    p.read(path)
    p.controls.treesearch = 1
    p.controls.miprelstop = 1e-9
    p.controls.timelimit = 60
    for name, value in controls.items():
        setattr(p.controls, name, value)
    lines = []
    p.addcbmessage(lambda prob, data, msg, msgtype: lines.append(msg or ""), None, 0)
    return p, lines


@pytest.mark.parametrize("name", ["p0548.mps", "egout.mps"])
def test_presolved_search_maps_its_solution_back(name, instances_dir):
    path = os.path.join(instances_dir, name)
    p, lines = solve_logged(path)
    incumbents = []
    p.addcbintsol(lambda prob, d: incumbents.append(prob.getSolution()))
    p.solve()
    assert any("presolved to" in line for line in lines)
    expected = float(next(r for r in optima() if r["file"] == name)["optimal_objective"])
    assert p.attributes.mipstatus == 6
    assert p.attributes.mipobjval == pytest.approx(expected, rel=1e-6)
    x = p.getSolution()
    assert len(x) == p.attributes.cols
    worst, fraction, objective = violations(path, x)
    assert worst <= 1e-5 and fraction <= 1e-5
    assert objective == pytest.approx(expected, rel=1e-6)
    # Every incumbent the intsol callbacks saw was of the original columns too.
    assert incumbents and all(len(v) == len(x) and violations(path, v)[0] <= 1e-5 for v in incumbents)


def test_presolve_is_skipped_when_asked_or_when_nodes_need_the_columns(instances_dir):
    path = os.path.join(instances_dir, "p0548.mps")
    p, lines = solve_logged(path, presolve=0, maxnode=5)
    p.solve()
    assert not any("presolved to" in line for line in lines)
    p, lines = solve_logged(path, maxnode=5)
    widths = []

    def optnode(prob, data):
        x = []
        prob.getlpsol(x, None, None, None)
        widths.append(len(x))
        return 0

    p.addcboptnode(optnode)
    p.solve()
    assert not any("presolved to" in line for line in lines)
    assert widths and set(widths) == {p.attributes.cols}


def test_reduced_cost_fixing_keeps_the_optimum_of_random_integer_programs():
    # Small general-integer programs that the search solves by itself (no
    # presolve, no root run of HiGHS), so that its own fixings at the root
    # and at the nodes decide; each checked by enumeration.
    import random
    rng = random.Random(11)
    nodes = 0
    for trial in range(30):
        n = 8
        xs = [korvo.var(vartype=korvo.integer, lb=0, ub=2, name=f"y{i}") for i in range(n)]
        rows = [([rng.randint(3, 19) for _ in range(n)], rng.randint(25, 60)) for _ in range(3)]
        values = [rng.randint(5, 20) for _ in range(n)]
        p = korvo.problem(xs, [korvo.Sum(a * x for a, x in zip(coefs, xs)) <= rhs for coefs, rhs in rows])
        p.setObjective(korvo.Sum(v * x for v, x in zip(values, xs)), sense=korvo.maximize)
        p.controls.treesearch = 1
        p.controls.presolve = 0
        p.controls.heureffort = 0
        p.controls.miprelstop = 0
        p.controls.mipabsstop = 0
        p.solve()
        nodes += p.attributes.nodes
        best = max(sum(v * c for v, c in zip(values, y)) for y in itertools.product(range(3), repeat=n)
                   if all(sum(a * c for a, c in zip(coefs, y)) <= rhs for coefs, rhs in rows))
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(best), trial
    assert nodes > 300  # trees deep enough for fixings at the nodes to matter


def test_a_node_whose_branches_are_both_infeasible_is_infeasible():
    # 2x + 2y = 3 has relaxed solutions but no integral one: trying both
    # sides of x (or y) finds each infeasible.
    x = korvo.var(vartype=korvo.integer, lb=0, ub=3, name="x")
    y = korvo.var(vartype=korvo.integer, lb=0, ub=3, name="y")
    p = korvo.problem(x, y, 2 * x + 2 * y == 3)
    p.setObjective(x + 2 * y)
    p.controls.treesearch = 1
    infeasible = []
    p.addcbinfnode(lambda prob, d: infeasible.append(prob.attributes.currentnode))
    p.solve()
    assert p.attributes.mipstatus == korvo.mip_infeas
    assert infeasible
    # The same model with a solution: the search goes on past such tries.
    p.chgrhs([0], [4])
    p.solve()
    assert p.attributes.mipstatus == 6 and p.attributes.mipobjval == pytest.approx(2)


def test_the_best_bound_never_passes_what_the_gap_tolerance_pruned(instances_dir):
    # With the default relative gap the search may stop with an incumbent
    # slightly worse than the optimum; the bound it reports must still be a
    # true bound (at least the optimum of this maximisation), not the incumbent.
    row = next(r for r in optima() if r["file"] == "2122.lp")
    optimum = float(row["optimal_objective"])
    p = korvo.problem()
    p.read(os.path.join(instances_dir, "2122.lp"))
    p.controls.treesearch = 1
    p.controls.timelimit = 60
    p.solve()
    assert p.attributes.mipstatus == 6
    incumbent, bound = p.attributes.mipobjval, p.attributes.bestbound
    assert bound >= optimum - 1e-6 * abs(optimum)
    assert incumbent <= bound + 1e-9
    assert abs(bound - incumbent) <= 1e-4 * abs(incumbent) + 1e-6
