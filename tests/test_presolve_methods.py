"""The presolved problem kept by lpoptimize('k'): its maps to the original
rows and columns, its solution and basis, rows rewritten in its columns,
postsolve, and what the other queries read while it is kept."""
import os

import pytest

import korvo


def read(instances_dir, name):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, name))
    return p


def names(p, kind):
    n = p.attributes.rows if kind == 1 else p.attributes.cols
    return p.getnamelist(kind) if n > 0 else []


class TestKeptPresolve:
    @pytest.fixture
    def afiro(self, quiet, instances_dir):
        return read(instances_dir, "afiro.mps")

    def test_maps_solution_and_basis_against_the_original(self, afiro):
        p = afiro
        original_rows, original_cols = names(p, 1), names(p, 2)
        m0, n0 = p.attributes.rows, p.attributes.cols
        p.lpoptimize("k")
        assert p.attributes.lpstatus == 1
        assert p.attributes.lpobjval == pytest.approx(-464.7531428571, rel=1e-9)
        rows, cols = p.attributes.rows, p.attributes.cols
        assert (p.attributes.originalrows, p.attributes.originalcols) == (m0, n0)
        assert 0 < rows < m0 and 0 < cols < n0  # presolve removed something but not everything
        rowmap, colmap = [9] * 100, []
        p.getpresolvemap(rowmap, colmap)
        assert len(rowmap) == rows and len(colmap) == cols
        assert rowmap == sorted(set(rowmap)) and colmap == sorted(set(colmap))
        assert 0 <= rowmap[0] and rowmap[-1] < m0 and 0 <= colmap[0] and colmap[-1] < n0
        # The presolved problem's rows and columns are the original ones the maps name.
        assert names(p, 1) == [original_rows[i] for i in rowmap]
        assert names(p, 2) == [original_cols[j] for j in colmap]
        # Its solution: postsolve keeps the values of the columns presolve kept.
        xp, sp, dp, djp = [], [], [], []
        p.getpresolvesol(xp, sp, dp, djp)
        assert len(xp) == len(djp) == cols and len(sp) == len(dp) == rows
        x, slack, duals, djs = [], [], [], []
        p.getlpsol(x, slack, duals, djs)
        assert len(x) == n0 and len(slack) == m0
        assert xp == pytest.approx([x[j] for j in colmap], abs=1e-9)
        # Its basis: one basic variable per presolved row.
        rstat, cstat = [], []
        p.getpresolvebasis(rstat, cstat)
        assert len(rstat) == rows and len(cstat) == cols and (rstat + cstat).count(1) == rows
        # The postsolved solution is the original optimum: feasible, dual feasible, with its objective.
        p.postsolve()
        assert (p.attributes.rows, p.attributes.cols) == (m0, n0)
        assert p.calcobjective(x) == pytest.approx(-464.7531428571, rel=1e-9)
        assert p.calcsolinfo(x, None, 0) <= 1e-7
        assert p.calcsolinfo(x, duals, 2) <= 1e-7
        rstat, cstat = [], []
        p.getbasis(rstat, cstat)
        assert (rstat + cstat).count(1) == m0
        # The postsolved basis is optimal: a simplex solve from it needs no pivot.
        p.lpoptimize("d")
        assert p.attributes.simplexiter == 0
        assert p.attributes.lpobjval == pytest.approx(-464.7531428571, rel=1e-9)

    def test_shared_lps_postsolve_to_their_published_optima(self, quiet, instances_dir):
        for name, optimum in (("adlittle.mps", 2.2549496316e05), ("e226.mps", -11.6389290663705),
                              ("blending.mps", -3200)):
            p = read(instances_dir, name)
            p.lpoptimize("k")
            assert p.attributes.lpobjval == pytest.approx(optimum, rel=1e-8), name
            x = []
            p.getlpsol(x)
            p.postsolve()
            assert p.calcobjective(x) == pytest.approx(optimum, rel=1e-8), name
            assert p.calcsolinfo(x, None, 0) <= 1e-6, name

    def test_queries_of_the_current_problem_read_the_presolved_one(self, afiro):
        p = afiro
        p.lpoptimize("k")
        rows, cols = p.attributes.rows, p.attributes.cols
        xp, dp = [], []
        p.getpresolvesol(xp, None, dp)
        # Computations take solutions of the presolved problem and agree with its own solution.
        slacks, sp = [], []
        p.getpresolvesol(None, sp)
        p.calcslacks(xp, slacks)
        assert slacks == pytest.approx(sp, abs=1e-9)
        assert p.calcsolinfo(xp, dp, 2) <= 1e-7
        with pytest.raises(korvo.InterfaceError, match="one value per column"):
            p.calcobjective([0.0] * p.attributes.originalcols)
        # Basis solves: B^-1 of the presolved basis applied to a unit vector, then B^-T back.
        v = [0.0] * rows
        v[0] = 1.0
        p.ftran(v)
        assert len(v) == rows and any(abs(t) > 0 for t in v)
        with pytest.raises(korvo.SolverError, match="postsolve"):
            p.getpivotorder([])
        with pytest.raises(korvo.SolverError, match="postsolve"):
            p.loadpresolvebasis([1] * rows, [0] * cols)
        # Queries of the original model are untouched.
        assert len(p.getlb(None)) == p.attributes.originalcols
        assert not p.hasprimalray() and not p.hasdualray()

    def test_a_change_or_another_solve_drops_the_presolved_problem(self, afiro):
        p = afiro
        m0 = p.attributes.rows
        p.lpoptimize("k")
        assert p.attributes.rows < m0
        cost = []
        p.getobj(cost, 0, 0)
        p.chgobj([0], [cost[0] + 1.0])
        assert p.attributes.rows == m0
        r = []
        p.getpresolvemap(r, None)
        assert r == list(range(m0))  # the problem is its own presolved problem again
        p.lpoptimize("k")
        assert p.attributes.rows < m0
        p.lpoptimize()
        assert p.attributes.rows == m0
        p.postsolve()  # nothing kept: nothing to do
        assert p.attributes.rows == m0

    def test_an_unfinished_solve_is_postsolved_on_request(self, quiet, instances_dir):
        p = read(instances_dir, "e226.mps")
        p.controls.lpiterlimit = 5
        p.lpoptimize("k")
        assert p.attributes.lpstatus == 4
        assert p.attributes.rows < p.attributes.originalrows
        with pytest.raises(korvo.SolverError, match="No LP solution"):
            p.getlpsol([])
        xp = []
        p.getpresolvesol(xp)
        assert len(xp) == p.attributes.cols
        p.postsolve()
        x = []
        p.getlpsol(x)
        assert len(x) == p.attributes.originalcols == p.attributes.cols
        assert p.attributes.lpstatus == 4


class TestPresolveRow:
    def test_row_rewritten_by_hand(self, quiet, instances_dir):
        p = read(instances_dir, "afiro.mps")
        p.lpoptimize("k")
        rowmap, colmap = [], []
        p.getpresolvemap(rowmap, colmap)
        n0 = p.attributes.originalcols
        kept = colmap[:3]
        lb, ub = p.getlb(None), p.getub(None)
        removed_fixed = [j for j in range(n0) if j not in colmap and lb[j] == ub[j]]
        removed_free = [j for j in range(n0) if j not in colmap and lb[j] != ub[j]]
        # Columns presolve kept keep their coefficients (duplicates add up) under their presolved indices.
        ci, cv = [7] * 9, []
        rhs, status = p.presolverow("L", [kept[0], kept[1], kept[0], kept[2]], [1.0, 2.0, 0.5, -3.0], 10.0, 10, ci, cv)
        assert status == 0 and rhs == 10.0
        assert ci == [0, 1, 2] and cv == [1.5, 2.0, -3.0]
        # A coefficient list longer than maxcoefs: status 2, the first maxcoefs entries.
        rhs, status = p.presolverow("G", [kept[0], kept[1], kept[2]], [1.0, 2.0, 3.0], 1.0, 2, ci, cv)
        assert status == 2 and ci == [0, 1] and cv == [1.0, 2.0]
        if removed_fixed:
            j = removed_fixed[0]
            rhs, status = p.presolverow("E", [kept[0], j], [1.0, 4.0], 10.0, 10, ci, cv)
            assert status == 0 and ci == [0] and cv == [1.0] and rhs == pytest.approx(10.0 - 4.0 * lb[j])
        assert removed_free, "afiro's presolve removes columns that were not fixed"
        rhs, status = p.presolverow("L", [kept[0], removed_free[0]], [1.0, 1.0], 5.0, 10, ci, cv)
        assert status == 1 and ci == [] and cv == [] and rhs == 5.0

    def test_fixed_column_moves_to_the_right_hand_side(self, quiet):
        x, y = korvo.var(name="x"), korvo.var(name="y")
        f = korvo.var(name="f", lb=2, ub=2)
        p = korvo.problem(x, y, f, korvo.constraint(x + 2 * y + f <= 10), korvo.constraint(3 * x + y + f <= 12),
                          korvo.constraint(x + y >= 1), -x - y)
        p.lpoptimize("k")
        rowmap, colmap = [], []
        p.getpresolvemap(rowmap, colmap)
        assert 2 not in colmap  # the fixed column is gone
        ci, cv = [], []
        rhs, status = p.presolverow("L", [x, f], [1.0, 3.0], 10.0, 5, ci, cv)
        if 0 in colmap:
            assert status == 0 and rhs == pytest.approx(4.0) and ci == [colmap.index(0)] and cv == [1.0]
        # Without a kept presolved problem the row stays as it is.
        p.postsolve()
        rhs, status = p.presolverow("L", [y, x, f], [1.0, 2.0, 3.0], 10.0, 5, ci, cv)
        assert (rhs, status, ci, cv) == (10.0, 0, [0, 1, 2], [2.0, 1.0, 3.0])


class TestRefusals:
    def test_bad_input_changes_nothing(self, quiet, instances_dir):
        p = read(instances_dir, "afiro.mps")
        p.lpoptimize("k")
        rows, cols = p.attributes.rows, p.attributes.cols
        ci, cv = [1], [2.0]
        for args, error in (
            (("X", [0], [1.0], 1.0, 5, ci, cv), korvo.SolverError),
            (("LL", [0], [1.0], 1.0, 5, ci, cv), korvo.InterfaceError),
            (("L", [0], [1.0], 1.0, -1, ci, cv), korvo.InterfaceError),
            (("L", [0, 1], [1.0], 1.0, 5, ci, cv), korvo.ModelError),
            (("L", [10**6], [1.0], 1.0, 5, ci, cv), korvo.SolverError),
            (("L", [0], [float("nan")], 1.0, 5, ci, cv), korvo.SolverError),
            (("L", [0], [1.0], float("inf"), 5, ci, cv), korvo.SolverError),
            (("L", [0], [1.0], 1.0, 5, (1,), cv), korvo.ModelError),
            (("L", None, [1.0], 1.0, 5, ci, cv), korvo.InterfaceError),
            (("L", [0], [1.0], "a", 5, ci, cv), (TypeError, korvo.InterfaceError)),
        ):
            with pytest.raises(error):
                p.presolverow(*args)
        assert ci == [1] and cv == [2.0]
        for bad in (5, "x", (1, 2), object()):
            with pytest.raises(korvo.ModelError):
                p.getpresolvemap(bad, None)
            with pytest.raises(korvo.ModelError):
                p.getpresolvesol(bad)
            with pytest.raises(korvo.ModelError):
                p.getpresolvebasis(None, bad)
        with pytest.raises(TypeError):
            p.postsolve(1)
        assert (p.attributes.rows, p.attributes.cols) == (rows, cols)

    def test_flag_k_refused_where_it_cannot_apply(self, quiet):
        x = korvo.var(vartype=korvo.integer, ub=3)
        y = korvo.var()
        p = korvo.problem(x, y, korvo.constraint(x + y <= 2.5), -x - y)
        with pytest.raises(korvo.SolverError, match="linear program only"):
            p.lpoptimize("k")
        q = korvo.problem(y, korvo.constraint(y <= 2), -y)
        with pytest.raises(korvo.SolverError, match="unknown flag 'z'"):
            q.lpoptimize("kz")
        with pytest.raises(korvo.SolverError, match="unknown flag 'k'"):
            q.mipoptimize("k")
        q.lpoptimize("kd")
        assert q.attributes.lpobjval == pytest.approx(-2)
        assert q.getSolution(y) == pytest.approx(2)
