"""Branching objects: built from constraints and through their methods,
checked (validate, store), and used by the engine's search: objects stored
for a node divide it, chgbranchobject sees the search's candidate and can
replace it, and a bad object stops the solve cleanly."""
import itertools

import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def small_problem():
    x = korvo.var(vartype=korvo.integer, lb=0, ub=10, name="x")
    y = korvo.var(lb=0, ub=10, name="y")
    p = korvo.problem(x, y, x + y <= 8, name="bo")
    p.setObjective(x + y, sense=korvo.maximize)
    return p, x, y


def bounds_of(b, branch):
    t, c, v = [], [], []
    n = b.getbounds(branch, 10, t, c, v)
    assert n == len(t)
    return list(zip(t, c, v))


class TestConstruction:
    def test_one_term_constraints_are_bounds(self):
        p, x, y = small_problem()
        b = korvo.branchobj(p, [x >= 1, x <= 0, 2 * x >= 3, -x >= -2, [x >= 1, y <= 4]])
        assert b.getbranches() == 5
        assert bounds_of(b, 0) == [("L", x, 1.0)]
        assert bounds_of(b, 1) == [("U", x, 0.0)]
        assert bounds_of(b, 2) == [("L", x, 1.5)]
        assert bounds_of(b, 3) == [("U", x, 2.0)]
        assert bounds_of(b, 4) == [("L", x, 1.0), ("U", y, 4.0)]
        # The expression's constant moves to the right-hand side.
        c = korvo.branchobj(p, [x + 3 <= 5])
        assert bounds_of(c, 0) == [("U", x, 2.0)]

    def test_other_constraints_are_rows(self):
        p, x, y = small_problem()
        b = korvo.branchobj(p, [x + y >= 1, korvo.constraint(x - 2 * y, lb=-1, ub=3), []])
        assert b.getbranches() == 3
        t, r, s, c, v = [], [], [], [], []
        b.getrows(0, 5, 10, t, r, s, c, v)
        assert (t, r, s, c, v) == (["G"], [1.0], [0, 2], [x, y], [1.0, 1.0])
        b.getrows(1, 5, 10, t, r, s, c, v)
        assert t == ["G", "L"] and r == [-1.0, 3.0] and s == [0, 2, 4]
        b.getrows(2, 5, 10, t, r, s, c, v)
        assert t == [] and s == [0]
        assert bounds_of(b, 2) == []

    def test_refused_arguments(self):
        p, x, y = small_problem()
        with pytest.raises(korvo.ModelError, match="Incorrect creation of branching object"):
            korvo.branchobj(42)
        with pytest.raises(korvo.ModelError, match="isoriginal flag is false"):
            korvo.branchobj(p, [x >= 1], False)
        with pytest.raises(korvo.ModelError, match="must be a list or a tuple"):
            korvo.branchobj(p, x >= 1)
        with pytest.raises(korvo.ModelError, match="Branch 1 is invalid"):
            korvo.branchobj(p, [x >= 1, 3])
        with pytest.raises(korvo.ModelError, match="Branch 0 contains a quadratic"):
            korvo.branchobj(p, [x * y >= 1])
        with pytest.raises(korvo.ModelError, match="free row"):
            korvo.branchobj(p, [korvo.constraint(x + y, lb=-korvo.infinity, ub=korvo.infinity)])
        z = korvo.var(name="z")
        with pytest.raises(korvo.ModelError, match="has not been added to problem yet"):
            korvo.branchobj(p, [z >= 1])
        # isoriginal False without branches is fine and takes plain indices.
        b = korvo.branchobj(p, isoriginal=False)
        b.addbranches(1)
        b.addbounds(0, ["U"], [1], [3.5])
        assert bounds_of(b, 0) == [("U", 1, 3.5)]


class TestMethods:
    def test_bounds_rows_cuts_and_ids(self):
        p, x, y = small_problem()
        b = korvo.branchobj(p)
        assert b.getbranches() == 0
        b.addbranches(2)
        b.addbounds(0, ["L", "B"], [x, "y"], [2, 1.5])
        assert bounds_of(b, 0) == [("L", x, 2.0), ("B", y, 1.5)]
        b.addrows(1, ["L", "E"], [4, 1], [0, 1], [x, y, y], [1, 1, 1])
        t, r, s, c, v = [], [], [], [], []
        b.getrows(1, 1, 1, t, r, s, c, v)  # limited by maxrows and maxcoefs
        assert (t, r, s, c) == (["L"], [4.0], [0, 1], [x])
        b.getrows(1, 9, 9, t, r, s, c, v)
        assert s == [0, 1, 3] and c == [x, y, y]
        cuts = []
        p.storecuts(0, [1], ["L"], [9], [0, 2], cuts, [x, y], [1, 1])
        b.addcuts(0, cuts)
        other = korvo.branchobj(p)
        assert isinstance(b.getid(), int) and b.getid() != other.getid()
        assert b.validate() == 0

    def test_refused_changes_leave_the_object_as_it_was(self):
        p, x, y = small_problem()
        b = korvo.branchobj(p, [x <= 1, x >= 2])
        with pytest.raises(korvo.SolverError, match="branch 5 does not exist"):
            b.addbounds(5, ["U"], [x], [1])
        with pytest.raises(korvo.SolverError, match="invalid bound type"):
            b.addbounds(0, ["U", "Q"], [x, y], [1, 2])
        with pytest.raises(korvo.SolverError, match="invalid row type"):
            b.addrows(0, ["L", "X"], [1, 1], [0, 1], [x, y], [1, 1])
        with pytest.raises(korvo.SolverError, match="branch 2 does not exist"):
            b.setpreferredbranch(2)
        assert b.getlasterror()[0] != 0
        assert bounds_of(b, 0) == [("U", x, 1.0)]
        t = []
        b.getrows(0, 5, 5, t)
        assert t == []
        with pytest.raises(korvo.ModelError):
            b.addbounds(0, ["U"], [x, y], [1])  # arrays of different lengths
        with pytest.raises(korvo.ModelError):
            b.addcuts(0, [1])

    def test_validate_tells_what_is_wrong(self):
        p, x, y = small_problem()
        assert korvo.branchobj(p).validate() == 1
        b = korvo.branchobj(p, [x <= 1, y >= 2])
        assert b.validate() == 0
        cuts = []
        p.storecuts(0, [1], ["L"], [9], [0, 2], cuts, [x, y], [1, 1])
        b.addcuts(1, cuts)
        p.delcpcuts(-1, -1, None)
        assert b.validate() == 5
        b2 = korvo.branchobj(p, [x <= 1, y >= 2])
        p.delVariable(y)
        assert b2.validate() == 2
        assert "column" in b2.getlasterror()[1]

    def test_store_hands_the_object_over(self):
        p, x, y = small_problem()
        bad = korvo.branchobj(p)
        with pytest.raises(korvo.SolverError, match="no branches"):
            bad.store()
        assert bad.getbranches() == 0 and bad.getid() is not None  # still its own
        b = korvo.branchobj(p, [x <= 2, x >= 3])
        assert b.store() == 1  # outside a solve: the next search's root
        assert b.getid() is None and b.getbranches() == 0
        with pytest.raises(korvo.SolverError, match="no engine object"):
            b.addbranches(1)
        with pytest.raises(korvo.SolverError, match="no engine object"):
            b.validate()


def pick_one(values, weights, capacity):
    """Exactly one item, within a capacity: the relaxation mixes two items."""
    xs = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(len(values))]
    p = korvo.problem(xs, korvo.Sum(xs) == 1, name="gub")
    p.addConstraint(korvo.Sum(w * x for w, x in zip(weights, xs)) <= capacity)
    p.setObjective(korvo.Sum(v * x for v, x in zip(values, xs)), sense=korvo.maximize)
    return p, xs


def no_heuristic(p):
    p.controls.heureffort = 0
    p.controls.treesearch = 1


class TestBranchingInTheSearch:
    def test_stored_object_divides_the_root(self):
        p, x, y = small_problem()
        no_heuristic(p)
        p.chgobj([y], [0.5])  # x + 0.5 y with x + y <= 8.5: x fractional at the root
        p.chgrhs([0], [8.5])
        events = []
        p.addcbnewnode(lambda prob, d, parent, node, branch: events.append((parent, branch)))
        korvo.branchobj(p, [x <= 2, [x >= 3, x <= 5], x >= 6]).store()
        p.mipoptimize()
        assert [e for e in events if e[0] == 1] == [(1, 0), (1, 1), (1, 2)]
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(8 + 0.25)

    def test_branch_bounds_and_rows_reach_the_child_nodes(self):
        p, x, y = small_problem()
        no_heuristic(p)
        p.chgrhs([0], [8.5])
        p.chgobj([y], [0.5])
        seen = {}

        def optnode(prob, data):
            node = prob.attributes.currentnode
            sol = []
            prob.getlpsol(sol)
            seen[node] = sol
            if node == 1:
                korvo.branchobj(prob, [x <= 4, [x >= 5, x + 2 * y <= 7]]).store()
            return 0

        children = []
        p.addcboptnode(optnode)
        p.addcbnewnode(lambda prob, d, parent, node, branch: children.append(node) if parent == 1 else None)
        p.mipoptimize()
        down, up = children
        assert seen[down][0] <= 4 + 1e-6
        assert seen[up][0] >= 5 - 1e-6 and seen[up][0] + 2 * seen[up][1] <= 7 + 1e-6
        # The up branch's row cuts off the model's optimum (x=8, y=0.5): the
        # best left is x=7, y=0 there (x <= 4 gives at most 6.25 below).
        assert p.attributes.mipobjval == pytest.approx(7)

    def test_candidate_is_shown_and_can_be_kept(self):
        p, x, y = small_problem()
        no_heuristic(p)
        p.chgrhs([0], [8.5])
        p.chgobj([y], [0.5])
        shown = []

        def change(prob, data, branch):
            assert isinstance(branch, korvo.branchobj)
            shown.append([bounds_of(branch, i) for i in range(branch.getbranches())])
            return branch

        p.addcbchgbranchobject(change)
        p.mipoptimize()
        assert shown[0] == [[("U", x, 8.0)], [("L", x, 9.0)]]
        assert p.attributes.mipobjval == pytest.approx(8.25)

    def test_gub_branching_reaches_the_optimum(self):
        values, weights = [10, 13, 7, 8, 9, 4, 11], [5, 7, 4, 5, 6, 3, 6]
        p, xs = pick_one(values, weights, 5.5)
        no_heuristic(p)
        used = []

        def gub(prob, data, branch):
            sol = []
            prob.getlpsol(sol)
            free = [i for i, v in enumerate(sol) if v > 1e-6]
            if len(free) < 2:
                return branch
            half = free[: len(free) // 2]
            rest = [i for i in range(len(xs)) if i not in half]
            obj = korvo.branchobj(prob, [[xs[i] <= 0 for i in half], [xs[i] <= 0 for i in rest]])
            used.append(obj.getid())
            return obj

        p.addcbchgbranchobject(gub)
        p.mipoptimize()
        best = max(v for v, w in zip(values, weights) if w <= 5.5)
        assert used
        assert p.attributes.mipstatus == 6
        assert p.attributes.mipobjval == pytest.approx(best)

    def test_bad_results_stop_the_solve_cleanly(self, capfd):
        p, x, y = small_problem()
        no_heuristic(p)
        p.chgrhs([0], [8.5])
        p.addcbchgbranchobject(lambda prob, data, branch: None)
        p.mipoptimize()
        assert "should be a branching object" in capfd.readouterr().err
        assert p.attributes.stopstatus != 0 and p.attributes.mipstatus != 6
        p.removecbchgbranchobject()

        def raising(prob, data, branch):
            raise ValueError("no branching today")

        p.addcbchgbranchobject(raising)
        with pytest.raises(ValueError, match="no branching today"):
            p.mipoptimize()
        p.removecbchgbranchobject()
        # An object that keeps the node's solution in a branch is not used.
        p.addcbchgbranchobject(lambda prob, data, branch: korvo.branchobj(prob, [x <= 9, x >= 9]))
        p.mipoptimize()
        assert p.attributes.mipstatus == 6 and p.attributes.mipobjval == pytest.approx(8.5)
        p.removecbchgbranchobject()
        # An invalid object handed back stops the solve.
        p.addcbchgbranchobject(lambda prob, data, branch: korvo.branchobj(prob))
        p.mipoptimize()
        assert p.attributes.mipstatus != 6
        p.removecbchgbranchobject()
        p.mipoptimize()
        assert p.attributes.mipstatus == 6 and p.attributes.mipobjval == pytest.approx(8.5)

    def test_candidate_cannot_be_kept_after_the_call(self):
        p, x, y = small_problem()
        no_heuristic(p)
        p.chgrhs([0], [8.5])
        kept = []

        def keep(prob, data, branch):
            kept.append(branch)
            with pytest.raises(korvo.SolverError, match="belongs to the search"):
                branch.store()
            return branch

        p.addcbchgbranchobject(keep)
        p.mipoptimize()
        assert kept and kept[0].getbranches() == 0 and kept[0].getid() is None
        with pytest.raises(korvo.SolverError, match="no engine object"):
            kept[0].addbranches(1)
