"""Analysis methods on small models whose answers are worked out by hand:
sensitivity ranges, row dual ranges, rays, the basis condition estimate,
strong branching and irreducible infeasible sets, and their refusals."""
import os

import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def small_lp(sense=korvo.maximize):
    """max 3x + 2y  s.t.  c1: x + y <= 4,  c2: x + 3y <= 6,  0 <= x <= 10, y >= 0.

    Optimum x = 4, y = 0 with c1 binding (dual 3), c2 slack (activity 4) and y
    at its bound (reduced cost 2 - 3 = -1). Minimising the negated objective
    is the same problem."""
    x = korvo.var(name="x", lb=0, ub=10)
    y = korvo.var(name="y", lb=0)
    p = korvo.problem()
    p.addVariable(x, y)
    c1 = korvo.constraint(x + y <= 4, name="c1")
    c2 = korvo.constraint(x + 3 * y <= 6, name="c2")
    p.addConstraint(c1, c2)
    sign = 1 if sense == korvo.maximize else -1
    p.setObjective(sign * (3 * x + 2 * y), sense=sense)
    p.solve()
    assert p.getProbStatusString() == "lp_optimal"
    return p, x, y, c1, c2


def infeasible_pair():
    """x + y >= 5 with x, y <= 1 (the set: the row and both upper bounds), plus
    a row x - y <= 3 that has nothing to do with it."""
    x = korvo.var(name="x", ub=1)
    y = korvo.var(name="y", ub=1)
    p = korvo.problem()
    p.addVariable(x, y)
    r1 = korvo.constraint(x + y >= 5, name="r1")
    r2 = korvo.constraint(x - y <= 3, name="r2")
    p.addConstraint(r1, r2)
    p.solve()
    assert p.getProbStatusString() == "lp_infeas"
    return p, x, y, r1, r2


def iis_members(p, num):
    rows, cols, ctype, btype = [], [], [], []
    p.getiisdata(num, rows, cols, ctype, btype)
    return {str(r) for r in rows}, sorted((str(c), b) for c, b in zip(cols, btype)), ctype


class TestSensitivity:
    def test_ranges_by_hand_for_both_senses(self):
        for sense, cost in ((korvo.maximize, 1), (korvo.minimize, -1)):
            p, x, y, c1, c2 = small_lp(sense)
            lo, up = [9.0] * 5, []
            p.objsa([x, y], lo, up)
            # x stays best while its cost is at least 2 (maximising); y's cost may rise to 3.
            if cost == 1:
                assert lo == pytest.approx([2, -1e20]) and up == pytest.approx([1e20, 3])
            else:
                assert lo == pytest.approx([-1e20, -3]) and up == pytest.approx([-2, 1e20])
            lo, up = [], []
            p.rhssa([c1, c2], lo, up)
            # c1's right-hand side is x; x must stay within [0, 6] for c2; c2 may drop to its activity 4.
            assert lo == pytest.approx([0, 4]) and up == pytest.approx([6, 1e20])
            a, b, c, d = [], [], [], []
            p.bndsa([x, y], a, b, c, d)
            # x is basic at 4; y's lower bound t keeps x = 4 - t in [0, 10] and 4 + 2t <= 6.
            assert a == pytest.approx([-1e20, -6]) and b == pytest.approx([4, 1])
            assert c == pytest.approx([4, 0]) and d == pytest.approx([1e20, 1e20])

    def test_legacy_keywords_names_and_unrequested_outputs(self):
        p, x, y, c1, c2 = small_lp()
        up = []
        p.objsa(mindex=["x", 1], lower=None, upper=up)
        assert up == pytest.approx([1e20, 3])
        lo = []
        p.rhssa(mindex=[1], lower=lo, upper=None)
        assert lo == pytest.approx([4])
        b = []
        p.bndsa([y], lbupper=b)
        assert b == pytest.approx([1])

    def test_row_dual_ranges_at_a_degenerate_vertex(self):
        # x = 3, y = 1 makes all three rows binding: the duals (u1, u2, u3) with
        # u1 + u2 + u3 = 3 and u1 + 3 u2 = 2 range over u2 in [0, 2/3].
        x = korvo.var(name="x")
        y = korvo.var(name="y")
        p = korvo.problem()
        p.addVariable(x, y)
        rows = [x + y <= 4, x + 3 * y <= 6, x <= 3]
        p.addConstraint(rows)
        p.setObjective(3 * x + 2 * y, sense=korvo.maximize)
        p.solve()
        lo, hi = [], []
        p.estimaterowdualranges(rows, 50, lo, hi)
        assert lo == pytest.approx([0, 0, 1], abs=1e-6)
        assert hi == pytest.approx([2, 2 / 3, 7 / 3], abs=1e-6)

    def test_refused_without_an_optimal_basis_or_on_a_mip(self):
        x = korvo.var(name="x", ub=5)
        p = korvo.problem()
        p.addVariable(x)
        c = x >= 1
        p.addConstraint(c)
        p.setObjective(x)
        lo = [7.0]
        with pytest.raises(korvo.SolverError, match="no optimal basis"):
            p.objsa([x], lo, None)
        assert lo == [7.0]
        p.solve()
        p.objsa([x], lo, None)
        assert lo == pytest.approx([0])
        k = korvo.var(name="k", vartype=korvo.integer, ub=3)
        p.addVariable(k)
        p.solve()
        with pytest.raises(korvo.SolverError, match="discrete"):
            p.rhssa([c], lo, None)
        with pytest.raises(korvo.SolverError, match="discrete"):
            p.estimaterowdualranges([c], 10, None, None)
        q, *_ = infeasible_pair()
        with pytest.raises(korvo.SolverError, match="no optimal basis"):
            q.bndsa([0], [], [], [], [])

    def test_basis_condition_of_a_known_basis(self):
        # Basis: x and c2's slack, B = [[1, 0], [1, 1]], inverse [[1, 0], [-1, 1]]:
        # both norms of each are 2, so the condition number is 4.
        p, *_ = small_lp()
        for norm in (0, 1):
            assert p.basisstability(2, norm, 0) == pytest.approx(2)
            assert p.basisstability(1, norm, 0) == pytest.approx(2)
            assert p.basisstability(0, norm, 0) == pytest.approx(4)
        assert p.basisstability(0, 1, 1) == pytest.approx(4)
        with pytest.raises(korvo.SolverError, match="invalid type"):
            p.basisstability(3, 1, 0)
        with pytest.raises(korvo.SolverError, match="no basis"):
            korvo.problem().basisstability(0, 1, 0)


class TestStrongBranching:
    def test_equals_full_resolves_with_a_large_iteration_limit(self):
        def build(bounds):
            xs = [korvo.var(name=f"x{i}", lb=bounds.get(i, (0, 10))[0], ub=bounds.get(i, (0, 10))[1])
                  for i in range(3)]
            p = korvo.problem()
            p.addVariable(xs)
            p.addConstraint(xs[0] + 2 * xs[1] + xs[2] <= 14, 3 * xs[0] - xs[1] + 2 * xs[2] <= 18,
                            xs[0] + xs[1] - xs[2] >= 1)
            p.setObjective(5 * xs[0] + 4 * xs[1] + 3 * xs[2], sense=korvo.maximize)
            p.solve()
            return p, xs

        p, xs = build({})
        before = p.getObjVal()
        branches = [(0, "U", 2.0), (0, "L", 5.5), (1, "B", 1.0), (2, "U", 0.0), (1, "L", 20.0)]
        obj, status = [], []
        p.strongbranch([xs[j] for j, _, _ in branches], "".join(t for _, t, _ in branches),
                       [v for _, _, v in branches], 10000, obj, status)
        for (j, t, v), value, st in zip(branches, obj, status):
            lo, hi = 0, 10
            lo = v if t in "LB" else lo
            hi = v if t in "UB" else hi
            if lo > hi:
                assert st == 2 and value == -1e20
                continue
            q, _ = build({j: (lo, hi)})
            if q.getProbStatusString() == "lp_infeas":
                assert st == 2 and value == -1e20
            else:
                assert st == 1 and value == pytest.approx(q.getObjVal())
        # The problem itself is unchanged: same bounds, same optimum.
        p.solve()
        assert p.getObjVal() == pytest.approx(before)

    def test_iteration_limit_and_refusals(self):
        p, x, y, c1, c2 = small_lp()
        obj, status = [], []
        p.strongbranch([x], ["U"], [1.0], 0, obj, status)
        assert status == [4]  # no iteration allowed: the re-solve stops unfinished
        with pytest.raises(korvo.SolverError, match="invalid bound type"):
            p.strongbranch([x], "X", [1.0], 10, obj, status)
        with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
            p.strongbranch([x, y], "UU", [1.0], 10, obj, status)
        with pytest.raises(korvo.SolverError, match="negative iteration limit"):
            p.strongbranch([x], "U", [1.0], -1, obj, status)
        assert status == [4]


class TestRays:
    def test_unbounded_lp_ray_and_entering_variable(self):
        u = korvo.var(name="u")
        v = korvo.var(name="v")
        p = korvo.problem()
        p.addVariable(u, v)
        p.addConstraint(u - v <= 1)
        p.setObjective(u + v, sense=korvo.maximize)
        p.solve()
        assert p.getProbStatusString() == "lp_unbounded"
        assert p.hasprimalray() and not p.hasdualray()
        d = [5.0, 5.0, 5.0]
        p.getprimalray(d)
        # A ray: u, v >= 0 may grow, u - v may not, and u + v improves.
        assert len(d) == 2 and d[0] >= -1e-9 and d[1] >= -1e-9
        assert d[0] - d[1] <= 1e-9 and d[0] + d[1] > 0
        assert str(p.getunbvec()) in ("u", "v")
        with pytest.raises(korvo.SolverError, match="no dual ray"):
            p.getdualray([])
        with pytest.raises(korvo.InterfaceError, match="Must provide argument to retrieve"):
            p.getprimalray(None)

    def test_infeasible_lp_dual_ray_is_a_farkas_proof(self):
        p, x, y, r1, r2 = infeasible_pair()
        assert p.hasdualray() and not p.hasprimalray()
        yv = []
        p.getdualray(yv)
        # y'(Ax) >= y'b on the rows, while the bounds cap y'(Ax) below it.
        a = [[1, 1], [1, -1]]
        rhs = [5, 3]
        r = [sum(yv[i] * a[i][j] for i in range(2)) for j in range(2)]
        assert yv[0] > 0 and abs(yv[1]) < 1e-9
        assert all(rj >= -1e-9 for rj in r)  # leans only on the upper bounds x, y <= 1
        assert yv[0] * rhs[0] > sum(r) * 1 + 1e-9

    def test_optimal_problem_has_no_ray_and_no_entering_variable(self):
        p, *_ = small_lp()
        assert not p.hasprimalray() and not p.hasdualray()
        with pytest.raises(korvo.SolverError, match="getunbvec returns a valid object only if"):
            p.getunbvec()

    def test_unbounded_qp_ray_keeps_the_quadratic_part_flat(self):
        x1 = korvo.var(name="x1", ub=40)
        x2 = korvo.var(name="x2")
        p = korvo.problem()
        p.addVariable(x1, x2)
        p.setObjective(x2 - 0.5 * x1 * x1, sense=korvo.maximize)
        p.solve()
        assert p.getProbStatusString() == "lp_unbounded"
        d = []
        p.getprimalray(d)
        assert abs(d[0]) < 1e-9 and d[1] > 0


class TestInfeasibleSets:
    def test_two_row_model_with_a_known_set(self, tmp_path):
        p, x, y, r1, r2 = infeasible_pair()
        assert p.iisfirst(0) == 0
        rows, cols, ctype, btype, duals, djs, irows, icols = [], [], [], [], [], [], [], []
        p.getiisdata(1, rows, cols, ctype, btype, duals, djs, irows, icols)
        assert rows == [r1] and ctype == ["G"]
        assert cols == [x, y] and btype == ["U", "U"]
        # Farkas multipliers: the row's dual is positive, the bounds' are -(y'A)_j.
        assert duals[0] > 0 and djs == pytest.approx([-duals[0], -duals[0]])
        assert irows == ["-1"] and icols == ["-1", "-1"]
        sizes_r, sizes_c, suminf, numinf = [], [], [], []
        assert p.iisstatus(sizes_r, sizes_c, suminf, numinf) == 1
        assert sizes_r == [1] and sizes_c == [2]
        # Least violation: the row is 3 short of 5 with x = y = 1.
        assert suminf == pytest.approx([3]) and numinf == [1]
        p.iisisolations(1)
        p.getiisdata(1, isolationrows=irows, isolationcols=icols)
        assert irows == ["1"] and icols == ["1", "1"]
        assert p.iisnext() == 1  # there is no other set
        path = str(tmp_path / "set.lp")
        p.iiswrite(1, path, 0, "")
        q = korvo.problem()
        q.read(path)
        assert q.attributes.rows == 1 and q.attributes.cols == 2
        q.solve()
        assert q.getProbStatusString() == "lp_infeas"

    def test_model_with_two_different_sets(self):
        # Both rows need x, y <= 1 to fail: {r1, x<=1, y<=1} and {r2, x<=1, y<=1}.
        x = korvo.var(name="x", ub=1)
        y = korvo.var(name="y", ub=1)
        z = korvo.var(name="z", ub=1)
        p = korvo.problem()
        p.addVariable(x, y, z)
        r1 = korvo.constraint(x + y >= 4, name="r1")
        r2 = korvo.constraint(x + 2 * y >= 5, name="r2")
        r3 = korvo.constraint(x + z <= 5, name="r3")
        p.addConstraint(r1, r2, r3)
        p.iisall()
        sizes = []
        assert p.iisstatus(sizes, None, None, None) == 2
        found = sorted(iis_members(p, k)[0].pop() for k in (1, 2))
        assert found == ["r1", "r2"]
        for k in (1, 2):
            assert iis_members(p, k)[1] == [("x", "U"), ("y", "U")]
        assert p.iisnext() == 1
        # The bounds are in both sets: relaxing one of them alone repairs the
        # model; relaxing one row does not.
        p.iisisolations(1)
        irows, icols = [], []
        p.getiisdata(1, isolationrows=irows, isolationcols=icols)
        assert irows == ["0"] and icols == ["1", "1"]
        # iisfirst starts afresh; iisnext then finds the other set.
        assert p.iisfirst(0) == 0 and p.iisnext() == 0 and p.iisnext() == 1
        p.iisclear()
        with pytest.raises(korvo.SolverError, match="no infeasible sets have been searched"):
            p.iisstatus(None, None, None, None)

    def test_quick_mode_feasible_model_and_refusals(self, tmp_path):
        p, x, y, r1, r2 = infeasible_pair()
        assert p.iisfirst(1) == 0
        with pytest.raises(korvo.SolverError, match="quick mode"):
            p.iisnext()
        rows = []
        with pytest.raises(korvo.SolverError, match="no infeasible set number 2"):
            p.getiisdata(2, rows)
        assert rows == []
        with pytest.raises(korvo.SolverError, match="invalid mode"):
            p.iisfirst(7)
        with pytest.raises(korvo.SolverError, match="invalid file type"):
            p.iiswrite(1, str(tmp_path / "x.lp"), 5, "")
        assert not os.path.exists(tmp_path / "x.lp")
        # A changed model makes the sets stale.
        p.addConstraint(x >= -5)
        with pytest.raises(korvo.SolverError, match="model has changed"):
            p.getiisdata(1, rows)
        q, *_ = small_lp()
        assert q.iisfirst(0) == 1
        assert q.iisstatus(None, None, None, None) == 0


class TestHostileArguments:
    METHODS = {
        "objsa": 3, "rhssa": 3, "bndsa": 5, "estimaterowdualranges": 4, "getprimalray": 1, "getdualray": 1,
        "basisstability": 3, "strongbranch": 6, "iisfirst": 1, "iisisolations": 1, "iisstatus": 4,
        "getiisdata": 9, "iiswrite": 4, "repairinfeas": 8, "repairweightedinfeas": 7,
        "repairweightedinfeasbounds": 11, "tunerreadmethod": 1,
    }
    HOSTILE = [None, "", "abc", -1, 2 ** 40, 1.5, float("nan"), [], [None], [object()], {"a": 1}, object(),
               b"\xff", (1, 2, 3), [2 ** 40], ["nosuchname"], [1.5]]

    def test_every_method_refuses_cleanly_and_leaves_the_model_intact(self):
        p, x, y, c1, c2 = small_lp()
        expected = p.getObjVal()
        for name, nargs in self.METHODS.items():
            method = getattr(p, name)
            for bad in self.HOSTILE:
                for position in range(nargs):
                    args = [[] for _ in range(nargs)]
                    args[position] = bad
                    try:
                        method(*args)
                    except (korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError,
                            OverflowError, ValueError):
                        pass
        for name in ("hasprimalray", "hasdualray", "iisnext", "iisall", "iisclear"):
            with pytest.raises(TypeError):
                getattr(p, name)(1)
        p.solve()
        assert p.getObjVal() == pytest.approx(expected)
        lo, up = [], []
        p.objsa([x, y], lo, up)
        assert lo == pytest.approx([2, -1e20])


class TestRepair:
    """x + y >= 5 with x, y <= 1 (and a row x - y <= 3 that holds): the row is
    3 short, or the upper bounds must give 3 between them."""

    def test_least_relaxations_by_penalty_kind(self):
        p, x, y, r1, r2 = infeasible_pair()
        p.setObjective(x + 2 * y)
        # Only the row may move: by 3, at x = y = 1.
        assert p.repairinfeas("l", "n", "n", 1, 1, 0, 0, 0.0) == 0
        assert p.getSolution() == pytest.approx([1, 1])
        slack = []
        p.getlpsol(None, slack)
        assert slack == pytest.approx([3, 3])  # r1 is 3 short (rhs - activity), r2 as before
        # Only the bounds, squared: 3 split evenly.
        assert p.repairinfeas("q", "n", "n", 0, 0, 1, 1, 0.0) == 0
        assert p.getSolution() == pytest.approx([2.5, 2.5])
        # Count: one violated row beats two violated bounds.
        assert p.repairinfeas("c", "n", "n", 1, 1, 1, 1, 0.0) == 0
        assert p.getSolution() == pytest.approx([1, 1])
        # Nothing may move: still infeasible, and the last repair's point stays.
        assert p.repairinfeas("l", "n", "n", 0, 0, 0, 0, 0.0) == 1
        assert p.getSolution() == pytest.approx([1, 1])

    def test_phase_two_optimises_within_the_relaxation(self):
        p, x, y, r1, r2 = infeasible_pair()
        p.setObjective(x + 2 * y)
        # Bounds alone: any split of 3 costs 3; phase two then prefers x (cheaper) up to r2: x - 1 <= 3.
        assert p.repairinfeas("l", "o", "n", 0, 0, 1, 1, 0.0) == 0
        assert p.getSolution() == pytest.approx([4, 1], abs=1e-6)
        assert p.getObjVal() == pytest.approx(6, abs=1e-6)
        # A delta of 1 allows penalty 6: the objective x + 2y over x + y >= 5, x - y <= 3,
        # x <= 1 + a, y <= 1 + b, a + b <= 6 is still best at (4, 1).
        assert p.repairinfeas("l", "o", "n", 0, 0, 1, 1, 1.0) == 0
        assert p.getObjVal() == pytest.approx(6, abs=1e-6)
        # Maximising instead spends the allowance: x + 2y with a + b <= 3 gives (1, 4) = 9.
        p.setObjective(x + 2 * y, sense=korvo.maximize)
        assert p.repairinfeas("l", "o", "n", 0, 0, 1, 1, 0.0) == 0
        assert p.getSolution() == pytest.approx([1, 4], abs=1e-6)

    def test_weighted_preferences_and_limits(self):
        p, x, y, r1, r2 = infeasible_pair()
        # y's upper bound is twice as preferred as x's: relaxing it costs half.
        assert p.repairweightedinfeas(None, None, [0, 0], [1, 2], "n", 0.0, "") == 0
        assert p.getSolution() == pytest.approx([1, 4])
        # Each bound may move by at most 1: 2 in all is not enough.
        assert p.repairweightedinfeasbounds(None, None, None, [1, 1], None, None, None, [1, 1], "n", 0.0, "") == 1
        # With y's limited to 1, x has to give the other 2.
        assert p.repairweightedinfeasbounds(None, None, None, [1, 2], None, None, None, [5, 1], "n", 0.0, "") == 0
        assert p.getSolution() == pytest.approx([3, 2])

    def test_discrete_entities_and_refusals(self):
        p, x, y, r1, r2 = infeasible_pair()
        k = korvo.var(name="k", vartype=korvo.integer, ub=0.5)
        p.addVariable(k)
        p.addConstraint(k >= 0.25)
        # The integer column cannot take a value in [0.25, 0.5]: enforced, it must move too.
        assert p.repairinfeas("l", "n", "g", 1, 1, 0, 0, 0.0) == 0
        assert p.getProbStatusString() == "mip_optimal"
        sol = p.getSolution()
        assert sol[2] in (0.0, 1.0)
        before = p.getSolution()
        with pytest.raises(korvo.SolverError, match="mixed-integer quadratic"):
            p.repairinfeas("q", "n", "g", 1, 1, 1, 1, 0.0)
        with pytest.raises(korvo.SolverError, match="invalid penalty"):
            p.repairinfeas("x", "n", "n", 1, 1, 1, 1, 0.0)
        with pytest.raises(korvo.SolverError, match="invalid phase two"):
            p.repairinfeas("l", "x", "n", 1, 1, 1, 1, 0.0)
        with pytest.raises(korvo.SolverError, match="negative delta"):
            p.repairinfeas("l", "o", "n", 1, 1, 1, 1, -1.0)
        with pytest.raises(korvo.InterfaceError, match="single character"):
            p.repairinfeas("lq", "n", "n", 1, 1, 1, 1, 0.0)
        with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 3, found 2"):
            p.repairweightedinfeas([1, 1, 1], None, [1, 1], None, "n", 0.0, "")
        with pytest.raises(korvo.SolverError, match="unknown flag"):
            p.repairweightedinfeas(None, None, None, None, "n", 0.0, "z")
        with pytest.raises(korvo.SolverError, match="negative relaxation limit"):
            p.repairweightedinfeasbounds([1, 1, 1], None, None, None, [-1, 0, 0], None, None, None, "n", 0.0, "")
        assert p.getSolution() == before


class TestTuning:
    def test_tune_keeps_the_fastest_run_and_its_controls(self, instances_dir, tmp_path):
        p = korvo.problem()
        p.read(os.path.join(instances_dir, "afiro.mps"))
        p.tune("")
        # The winner's results are the problem's: afiro's optimum without another solve.
        assert p.getProbStatusString() == "lp_optimal"
        assert p.getObjVal() == pytest.approx(-464.7531428571, rel=1e-7)
        path = str(tmp_path / "method.txt")
        p.tunerwritemethod(path)
        lines = open(path).read().splitlines()
        assert lines[0] == "korvo tuner method 1" and lines[1].startswith("# the fastest combination")
        chosen = dict(line.replace(" ", "").split("=") for line in lines[2:])
        assert set(chosen) == {"presolve", "defaultalg", "scaling"}
        for name, value in chosen.items():
            assert p.getControl(name) == int(float(value))
        # Read into a fresh problem, the file sets the same controls.
        q = korvo.problem()
        q.tunerreadmethod(path)
        assert all(q.getControl(name) == int(float(value)) for name, value in chosen.items())

    def test_mip_tuning_varies_the_heuristic_effort(self, instances_dir, tmp_path):
        p = korvo.problem()
        p.read(os.path.join(instances_dir, "flugpl.mps"))
        p.tune("g")
        assert p.getProbStatusString() == "mip_optimal"
        assert p.getObjVal() == pytest.approx(1201500, rel=1e-6)
        path = str(tmp_path / "m.txt")
        p.tunerwritemethod(path)
        names = {line.split("=")[0].strip() for line in open(path).read().splitlines()[2:]}
        assert names == {"presolve", "heureffort"}

    def test_method_files_are_checked_before_anything_changes(self, tmp_path):
        p = korvo.problem()
        before = (p.getControl("presolve"), p.getControl("defaultalg"))
        cases = {
            "no header": ("presolve = 0\n", "not a tuner method file"),
            "unknown": ("korvo tuner method 1\npresolve = 0\nnosuch = 1\n", "line 3: unknown control"),
            "range": ("korvo tuner method 1\npresolve = 0\ndefaultalg = 9\n", "line 3: .*out of range"),
            "text": ("korvo tuner method 1\npresolve = zero\n", "line 2: \"zero\" is not a number"),
            "fraction": ("korvo tuner method 1\ndefaultalg = 2.5\n", "takes an integer"),
            "form": ("korvo tuner method 1\npresolve 0\n", "expected"),
        }
        for name, (text, message) in cases.items():
            path = tmp_path / f"{name}.txt"
            path.write_text(text)
            with pytest.raises(korvo.SolverError, match=message):
                p.tunerreadmethod(str(path))
            assert (p.getControl("presolve"), p.getControl("defaultalg")) == before
        with pytest.raises(korvo.SolverError, match="cannot open"):
            p.tunerreadmethod(str(tmp_path / "missing.txt"))
        # Comments, blank lines and any case are fine.
        good = tmp_path / "good.txt"
        good.write_text("# mine\nkorvo tuner method 1\n\nPresolve = 0  # off\ndefaultalg=3\n")
        p.tunerreadmethod(str(good))
        assert (p.getControl("presolve"), p.getControl("defaultalg")) == (0, 3)
        with pytest.raises(korvo.SolverError, match="unknown flag"):
            p.tune("x")
