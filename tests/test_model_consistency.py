"""A problem follows the objects it holds, a failed read changes nothing,
nothing changes a problem while it is solved, and nonlinear problems come
back whole from their files."""
import os
import random
import threading

import pytest

import korvo


@pytest.fixture(autouse=True)
def quiet():
    korvo.setOutputEnabled(False)
    yield
    korvo.setOutputEnabled(True)


def solve(p):
    p.solve()
    return p.getObjVal()


def small_lp(xub=10.0, yub=10.0, lb=-korvo.infinity, ub=8.0):
    """maximize x + 2y subject to lb <= x + y <= ub."""
    x, y = korvo.var(name="x", ub=xub), korvo.var(name="y", ub=yub)
    c = korvo.constraint(body=x + y, lb=lb, ub=ub, name="cap")
    return korvo.problem(x, y, c, x + 2 * y, sense=korvo.maximize), x, y, c


def test_resolve_loop_follows_bounds_and_right_hand_sides():
    p, x, y, c = small_lp()
    assert solve(p) == pytest.approx(16)
    for yub in (3, 5.5, 0, 1):
        y.ub = yub
        fresh = small_lp(yub=yub)[0]
        assert solve(p) == pytest.approx(solve(fresh))
    c.ub = 6  # a new right-hand side
    assert solve(p) == pytest.approx(solve(small_lp(yub=1, ub=6)[0]))
    c.lb = 6  # now an equality row
    x.ub = 2  # infeasible with y <= 1
    p.solve()
    assert "infeas" in p.getProbStatusString()
    x.ub, y.lb = 10, 0.5
    c.lb = 7  # above the upper bound 6: no row can say that
    with pytest.raises(korvo.ModelError, match="cap defined infeasible"):
        p.solve()
    c.lb = 6
    assert solve(p) == pytest.approx(7)
    crossed = x + y <= 3
    crossed.lb = 5
    with pytest.raises(korvo.ModelError, match="defined infeasible"):
        p.addConstraint(crossed)
    assert p.attributes.rows == 1
    assert p.getSolution(x) + p.getSolution(y) == pytest.approx(6)


def test_types_and_thresholds_reach_the_solver_and_bad_ones_name_the_variable():
    x = korvo.var(name="xs", ub=10)
    p = korvo.problem(x, 2 * x <= 7, x, sense=korvo.maximize)
    assert solve(p) == pytest.approx(3.5)
    assert p.attributes.mipents == 0
    x.vartype = korvo.integer
    assert p.attributes.mipents == 1  # the engine's model, asked before any solve
    assert solve(p) == pytest.approx(3)
    x.vartype = korvo.semicontinuous
    x.threshold = 20  # above the upper bound
    with pytest.raises(korvo.ModelError, match="xs"):
        p.solve()
    with pytest.raises(korvo.ModelError, match="xs"):  # until it is corrected
        p.copy()
    x.threshold = 2
    assert solve(p) == pytest.approx(3.5)
    x.vartype = korvo.binary  # bounds become 0 and 1
    assert solve(p) == pytest.approx(1)
    x.vartype = korvo.continuous  # and the old bounds come back
    assert solve(p) == pytest.approx(3.5)


def test_copies_and_problems_sharing_objects_see_every_change(tmp_path):
    p, x, y, c = small_lp()
    y.ub = 2
    q = p.copy()  # made after the change, before any solve
    assert solve(q) == pytest.approx(10)
    r = korvo.problem(x, y, x + y, sense=korvo.maximize)
    x.ub = 1
    assert [solve(p), solve(q), solve(r)] == pytest.approx([5, 5, 3])
    p.delVariable(x)
    x.ub = 5  # x left p: only q and r take it
    assert [solve(p), solve(q), solve(r)] == pytest.approx([4, 9, 7])
    x.name, c.name = "renamed_x", "renamed_cap"
    q.write(str(tmp_path / "q.lp"))
    text = open(tmp_path / "q.lp").read()
    assert "renamed_x" in text and "renamed_cap" in text


def test_a_problem_far_behind_catches_up_in_one_go(tmp_path):
    # Millions of changes while q never uses its model: q gives up its place
    # in the journal and later reapplies all of its objects.
    p, x, y, c = small_lp()
    q = p.copy()
    x.name = "far"
    for i in range(2_300_000):
        y.ub = 3 + (i & 1)
        c.ub = 7
        if i == 1_000_000:
            assert solve(p) == pytest.approx(10)
    assert [solve(p), solve(q)] == pytest.approx([11, 11])
    q.write(str(tmp_path / "far.lp"))
    assert "far" in open(tmp_path / "far.lp").read()


def test_replaced_linear_body_and_refused_quadratic_one():
    p, x, y, c = small_lp()
    c.body = x + 4 * y + 2  # x + 4y + 2 <= 8
    assert solve(p) == pytest.approx(solve(korvo.problem(x, y, x + 4 * y + 2 <= 8, x + 2 * y,
                                                         sense=korvo.maximize)))
    c.body = x * y
    with pytest.raises(korvo.ModelError, match="cap.*delete the constraint"):
        p.solve()


def test_failed_read_in_the_middle_of_work_changes_nothing(tmp_path):
    p, x, y, c = small_lp()
    assert solve(p) == pytest.approx(16)
    bad = tmp_path / "bad.lp"
    bad.write_text("maximize\n obj: x + \nsubject to\n this is not a model\n")
    for name in (str(bad), str(tmp_path / "missing.mps")):
        with pytest.raises(korvo.SolverError):
            p.read(name)
    kept = p.getVariable()
    assert len(kept) == 2 and kept[0] is x and kept[1] is y and p.getIndex(y) == 1
    assert solve(p) == pytest.approx(16) and p.getSolution(y) == pytest.approx(8)
    z = korvo.var(name="z", ub=1)
    p.addVariable(z)
    assert p.attributes.cols == 3 and p.getIndex(z) == 2


def market_split(seed=5, n=40, m=5):
    random.seed(seed)
    x = [korvo.var(vartype=korvo.binary) for _ in range(n)]
    p = korvo.problem(x, korvo.Sum(x))
    for _ in range(m):
        a = [random.randint(0, 99) for _ in range(n)]
        p.addConstraint(korvo.Sum(a[j] * x[j] for j in range(n)) == sum(a) // 2)
    return p, x


def test_changes_from_another_thread_are_refused_while_solving(tmp_path):
    p, x = market_split()
    p.write(str(tmp_path / "m.lp"))
    p.controls.timelimit = 3
    outcome = []
    solver = threading.Thread(target=lambda: outcome.append(p.solve()))
    solver.start()
    refused = []
    while solver.is_alive() and not refused:  # until the solve has begun
        try:
            p.setControl("presolve", p.getControl("presolve"))
        except korvo.InterfaceError as e:
            refused.append(e)
    assert refused and "being solved" in str(refused[0])
    attempts = [lambda: p.addVariable(korvo.var()), lambda: p.addConstraint(x[0] <= 0), p.reset,
                lambda: p.delConstraint(0), lambda: p.delVariable(0), lambda: p.setObjective(x[1]),
                lambda: p.read(str(tmp_path / "m.lp")), lambda: p.write(str(tmp_path / "w.lp")), p.copy,
                lambda: p.delcoefs([], []), lambda: setattr(p.controls, "presolve", 0)]
    for attempt in attempts:
        with pytest.raises(korvo.InterfaceError, match="being solved"):
            attempt()
    with pytest.raises(korvo.SolverError, match="already running"):
        p.solve()
    assert solver.is_alive()  # every refusal above came while it ran
    p.interrupt(korvo.stop_user)  # allowed during a solve
    solver.join()
    assert outcome == [None] and p.attributes.cols == 40 and p.attributes.rows == 5
    p.addVariable(korvo.var())  # and afterwards the problem takes changes again
    assert p.attributes.cols == 41


def nonlinear_model():
    x = korvo.var(name="x", lb=-5, ub=5)
    y = korvo.var(name="y", lb=-5, ub=5)
    p = korvo.problem(x, y, korvo.exp(x) + y * y <= 4, name="nl")
    return p, x, y


@pytest.mark.parametrize("objective", ["linear", "nonlinear"])
def test_nonlinear_problems_round_trip_through_files(objective, tmp_path):
    p, x, y = nonlinear_model()
    if objective == "linear":
        p.setObjective(x + y, sense=korvo.maximize)
    else:
        p.setObjective(korvo.exp(-x) + (y - 1) ** 2 + x * x * x * 0.1)
    p.solve()
    path = str(tmp_path / "nl.mps")
    p.write(path)
    assert os.path.exists(path + ".knl")
    q = korvo.problem()
    q.read(path)
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal(), abs=1e-5)
    assert q.getSolution()[:2] == pytest.approx(p.getSolution()[:2], abs=1e-4)
    # A new objective replaces the one read, transfer row and all.
    qx, qy = q.getVariable(0), q.getVariable(1)
    q.setObjective(korvo.exp(qx) - 2 * qx + (qy - 1) ** 2)
    q.setObjective(korvo.exp(qx) - 2 * qx + (qy - 1) ** 2)
    assert [c.name for c in q.getConstraint()].count("objtransferrow") == 1
    q.solve()
    assert q.getSolution(qx) == pytest.approx(0.6931, abs=1e-3)


def test_a_linear_write_drops_an_outdated_companion(tmp_path):
    path = str(tmp_path / "m.mps")
    p, x, y = nonlinear_model()
    p.setObjective(x + y, sense=korvo.maximize)
    p.write(path)
    lp = small_lp()[0]
    lp.write(path)  # the same name, now for a linear problem
    assert not os.path.exists(path + ".knl")
    q = korvo.problem()
    q.read(path)
    assert solve(q) == pytest.approx(16)


def test_user_functions_are_refused_when_writing(tmp_path):
    p, x, y = nonlinear_model()
    p.addConstraint(korvo.user(lambda a: a * a, x) <= 2)
    with pytest.raises(korvo.SolverError, match="user functions"):
        p.write(str(tmp_path / "u.mps"))
