"""What the engine's search takes from the model and its callbacks:
branching directives, delayed rows checked at integral solutions, model
cuts added when violated, cuts added by optnode tightening the node, the
bounds and cuts a newnode callback names for its child, and MIP starts."""
import itertools

import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def two_knapsacks():
    """Two independent knapsacks: the relaxation is fractional in each."""
    xs = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(6)]
    p = korvo.problem(xs, name="two")
    p.addConstraint(5 * xs[0] + 4 * xs[1] + 3 * xs[2] <= 7)
    p.addConstraint(5 * xs[3] + 4 * xs[4] + 3 * xs[5] <= 7)
    values = [10, 7, 5, 10, 7, 5]
    p.setObjective(korvo.Sum(v * x for v, x in zip(values, xs)), sense=korvo.maximize)
    p.controls.heureffort = 0
    return p, xs, values


def best(values, rows, rule=lambda x: True):
    found = None
    for x in itertools.product((0, 1), repeat=len(values)):
        if all(sum(a * b for a, b in zip(coefs, x)) <= rhs for coefs, rhs in rows) and rule(x):
            v = sum(a * b for a, b in zip(values, x))
            found = v if found is None or v > found else found
    return found


ROWS = [([5, 4, 3, 0, 0, 0], 7), ([0, 0, 0, 5, 4, 3], 7)]


def first_branch_column(p, xs):
    columns = []

    def look(prob, data, branch):
        t, c, v = [], [], []
        branch.getbounds(0, 5, t, c, v)
        columns.append([i for i, x in enumerate(xs) if x is c[0]][0])
        return branch

    p.addcbchgbranchobject(look)
    return columns


class TestDirectives:
    def test_priority_picks_the_column(self):
        for favoured in (1, 4):
            p, xs, values = two_knapsacks()
            columns = first_branch_column(p, xs)
            p.loaddirs([xs[favoured]], [1], None, None, None)
            p.mipoptimize()
            assert columns[0] == favoured
            assert p.attributes.mipobjval == pytest.approx(best(values, ROWS))

    def test_direction_picks_the_first_child(self):
        for direction, first in (("U", 1), ("D", 0)):
            p, xs, values = two_knapsacks()
            order = []
            branches = {}
            p.addcbnewnode(lambda prob, d, parent, node, branch: branches.__setitem__(node, branch))
            p.addcbprenode(lambda prob, d: order.append(prob.attributes.currentnode) or 0)
            p.loaddirs([xs[1]], [1], [direction], None, None)
            p.mipoptimize()
            assert branches[order[1]] == first
            assert p.attributes.mipobjval == pytest.approx(best(values, ROWS))

    def test_directives_alone_bring_the_search(self):
        p, xs, values = two_knapsacks()
        p.loaddirs([xs[0]], [3], ["D"], [1.0], [2.0])
        p.mipoptimize()
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(best(values, ROWS))
        assert p.attributes.nodes >= 1


class TestHeldRows:
    def test_delayed_rows_are_checked_at_integral_solutions(self):
        p, xs, values = two_knapsacks()
        p.controls.treesearch = 1
        # x0 + x3 <= 1 forbids the unconstrained optimum (both knapsacks take item 0).
        lazy = korvo.constraint(xs[0] + xs[3] <= 1, name="lazy")
        p.addConstraint(lazy)
        p.loaddelayedrows([lazy])
        root = []

        def optnode(prob, data):
            if prob.attributes.currentnode == 1 and not root:
                sol = []
                prob.getlpsol(sol)
                root.append(sol)
            return 0

        p.addcboptnode(optnode)
        p.mipoptimize()
        rows = ROWS + [([1, 0, 0, 1, 0, 0], 1)]
        assert p.attributes.mipobjval == pytest.approx(best(values, rows))
        x = p.getSolution(xs)
        assert x[0] + x[3] <= 1 + 1e-9
        # Held back: the root relaxation was solved without it.
        assert root[0][0] + root[0][3] > 1 + 1e-6

    def test_model_cuts_join_when_violated(self):
        p, xs, values = two_knapsacks()
        p.controls.treesearch = 1
        cut = korvo.constraint(xs[1] + xs[2] + xs[4] + xs[5] <= 1, name="mc")
        p.addConstraint(cut)
        p.loadmodelcuts([cut])
        p.mipoptimize()
        rows = ROWS + [([0, 1, 1, 0, 1, 1], 1)]
        assert p.attributes.mipobjval == pytest.approx(best(values, rows))


class TestCallbackCuts:
    def test_optnode_cuts_tighten_the_node(self):
        # A knapsack whose cover x0 + x1 + x2 <= 2 the relaxation violates.
        xs = [korvo.var(vartype=korvo.binary, name=f"y{i}") for i in range(4)]
        p = korvo.problem(xs, 4 * xs[0] + 4 * xs[1] + 4 * xs[2] + 6 * xs[3] <= 10, name="cover")
        values = [5, 5, 5, 6]
        p.setObjective(korvo.Sum(v * x for v, x in zip(values, xs)), sense=korvo.maximize)
        p.controls.heureffort = 0
        bounds = []

        def optnode(prob, data):
            sol = []
            prob.getlpsol(sol)
            node = prob.attributes.currentnode
            bounds.append((node, sum(v * s for v, s in zip(values, sol))))
            if node == 1 and sum(sol[:3]) > 2 + 1e-6:
                prob.addcuts([1], ["L"], [2], [0, 3], xs[:3], [1, 1, 1])
            return 0

        p.addcboptnode(optnode)
        p.mipoptimize()
        root = [b for n, b in bounds if n == 1]
        assert len(root) == 2 and root[1] < root[0] - 1e-6
        assert p.attributes.mipobjval == pytest.approx(best(values, [([4, 4, 4, 6], 10)]))
        cuts = []
        p.getcutlist(-1, -1, 10, cuts)
        assert len(cuts) == 1  # the cut stays in the pool

    def test_newnode_names_bounds_and_cuts_of_the_child(self):
        p, xs, values = two_knapsacks()
        p.controls.treesearch = 1
        seen = {}
        named = {}

        def newnode(prob, data, parent, node, branch):
            if parent == 1:
                prob.setbranchbounds(prob.storebounds([xs[3]], ["U"], [0]))
                cuts = []
                prob.storecuts(0, [1], ["L"], [0], [0, 1], cuts, [xs[4]], [1])
                prob.setbranchcuts(cuts)
                named["node"] = node

        def optnode(prob, data):
            sol = []
            prob.getlpsol(sol)
            seen[prob.attributes.currentnode] = sol
            return 0

        p.addcbnewnode(newnode)
        p.addcboptnode(optnode)
        p.mipoptimize()
        child = seen[named["node"]]
        assert child[3] == pytest.approx(0) and child[4] == pytest.approx(0)
        # Both children lost x3 and x4: so did the whole search.
        assert p.attributes.mipobjval == pytest.approx(best(values, ROWS, lambda x: x[3] == 0 and x[4] == 0))

    def test_other_changes_stay_refused_in_callbacks(self):
        p, xs, values = two_knapsacks()
        p.controls.treesearch = 1

        def prenode(prob, data):
            prob.chgbounds([xs[0]], ["U"], [0])
            return 0

        p.addcbprenode(prenode)
        with pytest.raises(korvo.InterfaceError):
            p.mipoptimize()
        p.removecbprenode()
        p.mipoptimize()
        assert p.attributes.mipobjval == pytest.approx(best(values, ROWS))


class TestMipStarts:
    def test_start_is_offered_and_notified(self):
        p, xs, values = two_knapsacks()
        p.controls.treesearch = 1
        heard = []
        p.addcbusersolnotify(lambda prob, d, name, status: heard.append((name, status)))
        p.addmipsol([1, 0, 0, 0, 1, 1], None, "mine")
        p.mipoptimize()
        assert heard == [("mine", 1)]
        assert p.attributes.mipobjval == pytest.approx(best(values, ROWS))
        # An infeasible start is reported as such.
        heard.clear()
        p.addmipsol([1, 1, 1, 0, 0, 0], None, "bad")
        p.mipoptimize()
        assert heard == [("bad", 3)]


class TestStrongBranchCallback:
    def lp(self):
        x = korvo.var(lb=0, ub=10, name="x")
        y = korvo.var(lb=0, ub=10, name="y")
        p = korvo.problem(x, y, x + 2 * y <= 7.5, 3 * x + y <= 10, name="sb")
        p.setObjective(x + y, sense=korvo.maximize)
        p.lpoptimize()
        return p, x, y

    def test_called_after_each_resolve_with_the_same_results(self):
        p, x, y = self.lp()
        plain_obj, plain_st = [], []
        p.strongbranch([x, x, y], "ULB", [1, 3, 0], 100, plain_obj, plain_st)
        calls = []
        obj, st = [], []
        p.strongbranchcb([x, x, y], "ULB", [1, 3, 0], 100, obj, st,
                         lambda prob, data, k: calls.append((prob is p, data, k)), "ctx")
        assert calls == [(True, "ctx", 0), (True, "ctx", 1), (True, "ctx", 2)]
        assert obj == pytest.approx(plain_obj) and st == plain_st
        # Fixing y at 0 leaves x = 10/3.
        assert obj[2] == pytest.approx(10 / 3)

    def test_nonzero_result_and_exceptions_end_it(self, capfd):
        p, x, y = self.lp()
        obj, st = [], []
        p.strongbranchcb([x, x, y], "ULB", [1, 3, 0], 100, obj, st, lambda prob, data, k: 1 if k == 0 else 0)
        assert st[0] == 1 and st[1:] == [0, 0]

        def fails(prob, data, k):
            with pytest.raises(korvo.InterfaceError):
                prob.chgbounds([x], ["U"], [1])  # the model stays as it is meanwhile
            raise KeyError("stop here")

        with pytest.raises(KeyError, match="stop here"):
            p.strongbranchcb([x, y], "UU", [1, 1], 100, obj, st, fails)
        assert "solvecb()" in capfd.readouterr().err
        # Nothing is left behind: the problem solves and strong-branches again.
        p.lpoptimize()
        assert p.attributes.lpobjval == pytest.approx(p.getObjVal())
        p.strongbranchcb([y], "U", [0], 100, obj, st, lambda prob, data, k: None)
        assert st == [1] and obj[0] == pytest.approx(10 / 3)
        with pytest.raises(korvo.InterfaceError):
            p.strongbranchcb([y], "U", [0], 100, obj, st, 42)
