"""The solver's model kept between solves: random sequences of changes and
re-solves give what a fresh problem built from the same data gives
(statuses, objective, primal and dual values), for LPs, MIPs and QPs, with
appends, deletions, type and sense changes, controls changed between solves,
reads and loads; and the changes really reach the kept model instead of a
new hand-over."""
import random

import pytest

import korvo

REUSED = "Solving the solver's model of the last solve"
TAIL_LAID = "Laid the internal columns and rows of the reformulations"


def random_problem(rng, n, m):
    """A feasible, bounded LP with generic data (a unique optimum as a rule)."""
    lb = [rng.choice([-2.0, -1.0, 0.0]) for _ in range(n)]
    ub = [rng.choice([1.0, 2.0, 3.0]) for _ in range(n)]
    x0 = [lo + (up - lo) * rng.random() for lo, up in zip(lb, ub)]
    obj = [rng.uniform(-1, 1) for _ in range(n)]
    rows = []
    for _ in range(m):
        cols = sorted(rng.sample(range(n), rng.randint(1, min(n, 4))))
        coefs = [rng.uniform(-2, 2) for _ in cols]
        rows.append((cols, coefs))
    rowtype, rhs, rng_values = [], [], []
    for cols, coefs in rows:
        act = sum(c * x0[j] for j, c in zip(cols, coefs))
        t = rng.choice("LGER")
        rowtype.append(t)
        rhs.append(act + (rng.random() if t in "LR" else -rng.random() if t == "G" else 0.0))
        rng_values.append(rng.random() + 1.0 if t == "R" else 0.0)
    start, rowind, rowcoef = [0], [], []
    for j in range(n):
        for i, (cols, coefs) in enumerate(rows):
            if j in cols:
                rowind.append(i)
                rowcoef.append(coefs[cols.index(j)])
        start.append(len(rowind))
    p = korvo.problem()
    p.setControl("outputlog", 0)
    p.loadproblem("live", rowtype, rhs, rng_values, obj, start, None, rowind, rowcoef, lb, ub)
    return p


def fresh_copy(p, tmp_path):
    path = str(tmp_path / "copy.mps")
    p.write(path)
    q = korvo.problem()
    q.setControl("outputlog", 0)
    q.read(path)
    for name in ("defaultalg", "presolve", "scaling"):
        q.setControl(name, p.getControl(name))
    return q


def results(p, mip):
    a = p.attributes
    if mip:
        out = {"status": a.mipstatus}
        if a.mipstatus in (4, 6):
            out["obj"] = a.mipobjval
            out["x"] = p.getSolution()
        return out
    out = {"status": a.lpstatus}
    if a.lpstatus == 1:
        x, slack, duals, djs = [], [], [], []
        p.getlpsol(x, slack, duals, djs)
        out.update(obj=a.lpobjval, x=x, duals=duals, djs=djs)
    return out


def same_results(live, fresh):
    assert live["status"] == fresh["status"]
    for key in ("obj", "x", "duals", "djs"):
        if key in fresh:
            assert live[key] == pytest.approx(fresh[key], rel=1e-6, abs=1e-6), key


def solve_and_compare(p, tmp_path, mip=False, lines=None):
    q = fresh_copy(p, tmp_path)
    solve = (lambda r: r.mipoptimize()) if mip else (lambda r: r.lpoptimize())
    solve(p)
    solve(q)
    same_results(results(p, mip), results(q, mip))


class Recorder:
    """Collects the log lines of the solves of one problem."""

    def __init__(self, p):
        self.lines = []
        p.setControl("outputlog", 1)
        p.addcbmessage(lambda prob, d, text, kind: self.lines.append(text), None, 0)

    def reused(self):
        found = any(line.startswith(REUSED) for line in self.lines)
        self.lines.clear()
        return found

    def road(self):
        """How the solves since the last look reached the solver: "whole" (a
        new hand-over), "in place", or "tail" (in place, with the internal
        rows and columns of the reformulations laid anew)."""
        laid = any(line.startswith(TAIL_LAID) for line in self.lines)
        reused = any(line.startswith(REUSED) for line in self.lines)
        self.lines.clear()
        return "tail" if laid else "in place" if reused else "whole"


def random_change(rng, p, allow_types=False):
    """One random change through the wrapper methods; returns its name."""
    n, m = p.attributes.cols, p.attributes.rows
    kind = rng.choice(["bounds", "cost", "rhs", "rowtype", "range", "coef", "mcoef", "addrow", "addcol",
                       "delrow", "delcol", "sense", "constant"] + (["type"] if allow_types else []))
    if kind == "bounds":
        j = rng.randrange(n)
        p.chgbounds([j, j], "LU", [rng.choice([-2.0, -1.0, 0.0]), rng.choice([0.5, 1.0, 2.5])])
    elif kind == "cost":
        cols = rng.sample(range(n), min(n, 3))
        p.chgobj(cols, [rng.uniform(-1, 1) for _ in cols])
    elif kind == "rhs" and m:
        p.chgrhs([rng.randrange(m)], [rng.uniform(-1, 3)])
    elif kind == "rowtype" and m:
        p.chgrowtype([rng.randrange(m)], [rng.choice("LGN")])
    elif kind == "range" and m:
        p.chgrhsrange([rng.randrange(m)], [rng.uniform(1, 4)])
    elif kind == "coef" and m:
        p.chgcoef(rng.randrange(m), rng.randrange(n), rng.choice([0.0, rng.uniform(-2, 2)]))
    elif kind == "mcoef" and m:
        k = 3
        p.chgmcoef([rng.randrange(m) for _ in range(k)], [rng.randrange(n) for _ in range(k)],
                   [rng.uniform(-2, 2) for _ in range(k)])
    elif kind == "addrow":
        cols = sorted(rng.sample(range(n), min(n, 3)))
        p.addrows(["L"], [rng.uniform(1, 4)], [0, len(cols)], cols, [rng.uniform(-1, 1) for _ in cols])
    elif kind == "addcol":
        rows = sorted(rng.sample(range(m), min(m, 2)))
        p.addcols([rng.uniform(-1, 1)], [0, len(rows)], rows, [rng.uniform(-1, 1) for _ in rows], [0.0], [2.0])
    elif kind == "delrow" and m > 2:
        p.delConstraint(rng.randrange(m))
    elif kind == "delcol" and n > 3:
        p.delVariable(rng.randrange(n))
    elif kind == "sense":
        p.chgobjsense(rng.choice([korvo.minimize, korvo.maximize]))
    elif kind == "constant":
        p.chgobj([-1], [rng.uniform(-5, 5)])
    elif kind == "type":
        p.chgcoltype([rng.randrange(n)], [rng.choice("CIB")])
    return kind


@pytest.mark.parametrize("seed", range(6))
def test_random_lp_changes_match_a_fresh_problem(seed, tmp_path):
    rng = random.Random(seed)
    p = random_problem(rng, 8, 6)
    log = Recorder(p)
    p.lpoptimize()
    reused = 0
    for step in range(25):
        for _ in range(rng.randint(1, 3)):
            random_change(rng, p)
        if step % 7 == 3:  # controls changed between solves
            p.setControl("defaultalg", rng.choice([1, 2, 3]))
        solve_and_compare(p, tmp_path)
        reused += log.reused()
    assert reused >= 20  # every change of this list is applied in place


@pytest.mark.parametrize("seed", range(4))
def test_random_mip_changes_match_a_fresh_problem(seed, tmp_path):
    rng = random.Random(100 + seed)
    p = random_problem(rng, 7, 5)
    p.chgcoltype([0, 1, 2], "IIB")
    log = Recorder(p)
    p.mipoptimize()
    reused = 0
    for _ in range(15):
        random_change(rng, p, allow_types=True)
        solve_and_compare(p, tmp_path, mip=True)
        reused += log.reused()
    assert reused >= 10


@pytest.mark.parametrize("seed", range(3))
def test_random_qp_changes_match_a_fresh_problem(seed, tmp_path):
    rng = random.Random(200 + seed)
    p = random_problem(rng, 6, 4)
    n = p.attributes.cols
    p.chgmqobj(list(range(n)), list(range(n)), [1.0 + rng.random() for _ in range(n)])
    log = Recorder(p)
    p.lpoptimize()
    reused = 0
    for step in range(12):
        if step % 3 == 0:
            n = p.attributes.cols
            i, j = rng.randrange(n), rng.randrange(n)
            p.chgmqobj([i], [i], [1.0 + rng.random()])
        else:
            random_change(rng, p)
        p.chgobjsense(korvo.minimize)  # convex only when minimised
        solve_and_compare(p, tmp_path)
        reused += log.reused()
    assert reused >= 8


def test_lp_and_mip_solves_alternate_on_one_problem(tmp_path):
    rng = random.Random(7)
    p = random_problem(rng, 8, 6)
    p.chgcoltype([0, 3], "II")
    for step in range(8):
        random_change(rng, p)
        solve_and_compare(p, tmp_path, mip=step % 2 == 0)
        solve_and_compare(p, tmp_path, mip=step % 2 == 1)


def test_quadratic_objective_added_and_removed(tmp_path):
    rng = random.Random(11)
    p = random_problem(rng, 5, 3)
    solve_and_compare(p, tmp_path)
    p.chgmqobj([0, 1, 1, 2], [0, 1, 2, 2], [2.0, 3.0, 0.5, 1.0])
    solve_and_compare(p, tmp_path)
    p.chgmqobj([0, 1, 1, 2], [0, 1, 2, 2], [0.0, 0.0, 0.0, 0.0])
    solve_and_compare(p, tmp_path)
    p.delVariable(0)
    p.chgmqobj([0], [0], [4.0])
    solve_and_compare(p, tmp_path)


def test_reformulated_models_follow_changes(tmp_path):
    """Semi-continuous columns and sets rebuild the solver's model; results still follow."""
    rng = random.Random(5)
    p = random_problem(rng, 6, 4)
    p.chgcoltype([1], ["S"])
    p.chgglblimit([1], [0.75])
    for _ in range(6):
        random_change(rng, p)
        solve_and_compare(p, tmp_path, mip=True)
    p.chgcoltype([1], ["C"])
    solve_and_compare(p, tmp_path, mip=True)


def test_reads_and_loads_replace_the_kept_model(tmp_path):
    rng = random.Random(3)
    p = random_problem(rng, 6, 4)
    log = Recorder(p)
    p.lpoptimize()
    path = str(tmp_path / "other.mps")
    random_problem(random.Random(4), 9, 5).write(path)
    p.read(path)
    p.setControl("outputlog", 1)
    solve_and_compare(p, tmp_path)
    assert not log.reused()
    p.chgobj([0], [0.5])
    solve_and_compare(p, tmp_path)
    assert log.reused()
    p.loadproblem("again", "L", [1.0], None, [-1.0, -2.0], [0, 1, 2], None, [0, 0], [1.0, 1.0], [0, 0], [1, 1])
    p.setControl("outputlog", 1)
    p.lpoptimize()
    assert not log.reused()
    assert p.attributes.lpobjval == pytest.approx(-2.0)
    p.chgbounds([1], "U", [0.25])
    p.lpoptimize()
    assert log.reused()
    assert p.attributes.lpobjval == pytest.approx(-0.75 - 2 * 0.25)


def test_warm_start_after_one_change_and_cold_start_on_request():
    rng = random.Random(9)
    p = random_problem(rng, 30, 20)
    p.lpoptimize()
    assert p.attributes.simplexiter > 0
    p.lpoptimize()  # nothing changed: the kept basis is optimal
    assert p.attributes.simplexiter == 0
    p.setControl("keepbasis", 0)
    p.lpoptimize()
    assert p.attributes.simplexiter > 0


def test_refused_change_leaves_the_kept_model_usable(tmp_path):
    rng = random.Random(13)
    p = random_problem(rng, 6, 4)
    log = Recorder(p)
    p.lpoptimize()
    with pytest.raises(Exception):
        p.chgbounds([0, 99], "UU", [1.0, 1.0])
    with pytest.raises(Exception):
        p.chgcoef(0, 0, float("nan"))
    p.chgobj([2], [0.125])
    solve_and_compare(p, tmp_path)
    assert log.reused()


def test_controls_changed_between_solves_reach_the_kept_model():
    rng = random.Random(17)
    p = random_problem(rng, 30, 20)
    p.setControl("keepbasis", 0)
    p.lpoptimize()
    optimum = p.attributes.lpobjval
    p.setControl("lpiterlimit", 1)
    p.lpoptimize()
    assert p.attributes.lpstatus == 4 and p.attributes.stopstatus == 4  # unfinished at the limit
    p.setControl("lpiterlimit", 2147483647)
    p.lpoptimize()
    assert p.attributes.lpstatus == 1 and p.attributes.lpobjval == pytest.approx(optimum)


def test_lp_log_callbacks_fire_with_the_log_off():
    """HiGHS's log is switched off while nobody reads it, but not under an lplog callback."""
    p = random_problem(random.Random(19), 30, 20)
    p.setControl("outputlog", 0)
    calls = []
    p.addcblplog(lambda prob, data: calls.append(1) and 0)
    p.lpoptimize()
    assert calls
    calls.clear()
    p.removecblplog()
    p.chgobj([0], [0.75])
    p.lpoptimize()
    assert not calls and p.attributes.lpstatus == 1





def test_solver_output_follows_the_readers_of_the_log(tmp_path):
    """HiGHS's output is off for a run nobody reads, on under a MIP log
    callback, and back on for the next solve of the kept model with a reader."""
    p = random_problem(random.Random(23), 40, 25)
    p.chgcoltype(list(range(0, 40, 4)), "I" * 10)
    p.setControl("outputlog", 0)
    solve_and_compare(p, tmp_path, mip=True)
    calls = []
    p.addcbgloballog(lambda prob, data: calls.append(1) and 0)
    p.chgobj([1], [0.5])
    solve_and_compare(p, tmp_path, mip=True)
    assert calls
    p.removecbgloballog()
    p.chgobj([1], [0.25])
    log = Recorder(p)
    solve_and_compare(p, tmp_path, mip=True)
    assert any("Solving report" in line for line in log.lines)
    assert log.reused()


def test_mip_and_lp_solves_of_one_model_share_the_kept_model(tmp_path):
    """Switching between MIP and LP solves changes only the integrality of the kept model."""
    rng = random.Random(29)
    p = random_problem(rng, 10, 7)
    p.chgcoltype([0, 3, 5], "IBI")
    log = Recorder(p)
    p.mipoptimize()
    assert not log.reused()
    for _ in range(6):
        random_change(rng, p, allow_types=True)
        solve_and_compare(p, tmp_path, mip=False)
        assert log.reused()
        solve_and_compare(p, tmp_path, mip=True)
        assert log.reused()


def test_fixed_discrete_columns_reach_the_kept_model(tmp_path):
    p = random_problem(random.Random(31), 10, 7)
    p.chgcoltype([0, 2, 4], "III")
    log = Recorder(p)
    p.mipoptimize()
    assert p.attributes.mipstatus == 6
    x = p.getSolution()
    p.fixglobals(1)
    solve_and_compare(p, tmp_path, mip=False)
    assert log.reused()
    lp = []
    p.getlpsol(lp, None, None, None)
    assert [lp[j] for j in (0, 2, 4)] == pytest.approx([round(x[j]) for j in (0, 2, 4)])


def test_quadratic_rows_leave_the_kept_model_alone(tmp_path):
    """Quadratic rows go to the nonlinear route; once gone, LP solves go on in place."""
    p = random_problem(random.Random(37), 8, 6)
    log = Recorder(p)
    p.lpoptimize()
    p.addrows(["L"], [50.0], [0, 0], [], [])
    row = p.attributes.rows - 1
    p.addqmatrix(row, [0, 1], [0, 1], [1.0, 1.0])
    p.chgqrowcoeff(row, 0, 0, 2.0)
    p.lpoptimize()
    assert p.attributes.lpstatus == 1
    p.delqmatrix(row)
    p.chgobj([0], [0.5])
    log.lines.clear()
    solve_and_compare(p, tmp_path)
    assert log.reused()


def test_lp_solves_stay_in_place_beside_discrete_structures(tmp_path):
    """Sets and general constraints are no part of the relaxation: LP solves
    take changes in place while they come and go; a MIP solve lays their
    rows and columns after the model's own."""
    p = random_problem(random.Random(41), 8, 6)
    log = Recorder(p)
    p.lpoptimize()
    p.chgbounds([6, 7], "LL", [-3.0, -3.0])
    p.addgencons([4], [7], [0], [6])  # x7 = |x6|
    solve_and_compare(p, tmp_path)
    assert log.reused()
    p.chgbounds([1], "U", [0.5])
    solve_and_compare(p, tmp_path)
    assert log.reused()
    p.mipoptimize()
    assert log.road() == "tail"
    x = p.getSolution()
    assert x[7] == pytest.approx(abs(x[6]), abs=1e-6)
    p.delgencons([0])
    p.lpoptimize()
    assert log.road() == "tail"  # the MIP build held the constraint
    p.addgencons([4], [7], [0], [6])
    p.chgobj([2], [0.25])
    solve_and_compare(p, tmp_path)
    assert log.reused()


def test_lp_solves_stay_in_place_while_indicators_come_and_go(tmp_path):
    """The relaxation frees the rows of indicator constraints; LP solves
    follow indicators set, changed and removed without a new hand-over."""
    p = random_problem(random.Random(43), 8, 6)
    p.chgcoltype([7], "B")
    log = Recorder(p)
    p.lpoptimize()
    relaxed = random_problem(random.Random(43), 8, 6)
    relaxed.chgcoltype([7], "B")
    p.setindicators([0, 2], [7, 7], [1, -1])
    relaxed.chgrowtype([0, 2], "NN")
    for change in range(3):
        p.lpoptimize()
        relaxed.lpoptimize()
        assert log.reused()
        assert p.attributes.lpobjval == pytest.approx(relaxed.attributes.lpobjval, rel=1e-9, abs=1e-9)
        rhs = [1.0 + change]
        p.chgrhs([2, 3], rhs * 2)
        relaxed.chgrhs([2, 3], rhs * 2)
    p.delindicators(0, 1)
    solve_and_compare(p, tmp_path)  # row 0 enforced again, row 2 still free
    assert log.reused()
    p.delindicators()
    solve_and_compare(p, tmp_path)
    assert log.reused()


def knapsack_mip(seed, n=60, m=8):
    """A multi-knapsack MIP whose solver finds several improving solutions."""
    rng = random.Random(seed)
    p = korvo.problem()
    p.setControl("outputlog", 0)
    x = [korvo.var(vartype=korvo.binary) for _ in range(n)]
    p.addVariable(x)
    for _ in range(m):
        p.addConstraint(korvo.Sum(rng.randint(5, 40) * xi for xi in x) <= 300)
    p.setObjective(korvo.Sum(rng.randint(5, 50) * xi for xi in x), sense=korvo.maximize)
    return p


def test_solver_instances_of_discarded_problems_keep_nothing_of_them():
    """Later problems reuse the solver instances of discarded ones: none of
    their settings, model or solution may reach the next problem."""
    reference = knapsack_mip(5)
    reference.mipoptimize()
    assert reference.attributes.mipstatus == korvo.mip_optimal
    best = reference.attributes.mipobjval
    for _ in range(3):
        for _ in range(6):  # more problems than instances are kept aside
            p = knapsack_mip(5)
            p.setControl("maxmipsol", 1)  # stops at the first improving solution
            p.setControl("scaling", 0)
            p.mipoptimize()
            assert p.attributes.mipstatus == korvo.mip_solution
            assert p.attributes.mipobjval < best
            q = random_problem(random.Random(3), 6, 4)
            q.setControl("outputlog", 0)
            q.setControl("defaultalg", 4)  # barrier
            q.lpoptimize()
            del p, q
        again = knapsack_mip(5)
        again.mipoptimize()
        assert again.attributes.mipstatus == korvo.mip_optimal
        assert again.attributes.mipobjval == best
