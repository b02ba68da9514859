"""Objectives, solving by model class, and reading solutions, duals, slacks,
reduced costs and statuses back, checked against values worked out by hand."""
import math

import numpy as np
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


@pytest.fixture
def lp():
    """max x + y + 0.1 z  s.t.  c1: x + 2y + z <= 4,  c2: 3x + y <= 6,  c3: x <= 5."""
    x, y, z = korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z")
    c1 = korvo.constraint(x + 2 * y + z <= 4, name="c1")
    c2 = korvo.constraint(3 * x + y <= 6, name="c2")
    c3 = korvo.constraint(x <= 5, name="c3")
    p = korvo.problem(x, y, z, c1, c2, c3, x + y + 0.1 * z, sense=korvo.maximize)
    p.solve()
    return p, (x, y, z), (c1, c2, c3)


def test_lp_values_duals_slacks_and_reduced_costs(lp):
    p, (x, y, z), (c1, c2, c3) = lp
    assert p.getProbStatus() == korvo.lp_optimal and p.getProbStatusString() == "lp_optimal"
    assert p.getObjVal() == pytest.approx(2.8)
    assert p.getSolution() == pytest.approx([1.6, 1.2, 0.0])
    # Duals: y1 + 3 y2 = 1, 2 y1 + y2 = 1; each is the objective's gain per unit of rhs.
    assert p.getDual(c1) == pytest.approx(0.4)
    assert p.getDual() == pytest.approx([0.4, 0.2, 0.0])
    assert p.getSlack(c3) == pytest.approx(3.4)
    assert p.getSlack([c1, "c3", 1]) == pytest.approx([0.0, 3.4, 0.0])
    # z: 0.1 - 0.4 * 1 with z at its bound
    assert p.getRCost(z) == pytest.approx(-0.3)
    assert p.getRCost([x, y, z]) == pytest.approx([0.0, 0.0, -0.3])


def test_result_shapes_and_index_errors(lp):
    p, (x, y, z), (c1, c2, c3) = lp
    assert isinstance(p.getSolution(x), float)
    nested = p.getSolution([x, (y,)])
    assert isinstance(nested, list) and isinstance(nested[1], tuple)
    assert nested[0] == pytest.approx(1.6) and nested[1] == pytest.approx((1.2,))
    assert p.getSolution([x, [y, z]], flatten=True) == pytest.approx([1.6, 1.2, 0.0])
    assert p.getSolution(x, 2 * y + 1) == pytest.approx((1.6, 3.4))
    shaped = p.getSolution({"a": x, "b": [x + y, x * y]})
    assert shaped["a"] == pytest.approx(1.6) and shaped["b"] == pytest.approx([2.8, 1.92])
    arr = p.getSolution(np.array([x, y], dtype=object))
    assert isinstance(arr, np.ndarray) and arr.tolist() == pytest.approx([1.6, 1.2])
    assert p.getSolution("y") == pytest.approx(1.2) and p.getSolution(0) == pytest.approx(1.6)
    assert p.getDual(np.array([c1, c2], dtype=object)) == pytest.approx([0.4, 0.2])
    with pytest.raises(korvo.ModelError, match="Index out of range"):
        p.getSlack(-1)
    with pytest.raises(korvo.ModelError, match="Index out of range"):
        p.getSlack(3)
    with pytest.raises(korvo.ModelError, match="Index out of range"):
        p.getSlack(["nosuchrow"])
    with pytest.raises(korvo.ModelError, match="Index out of range"):
        p.getDual(korvo.constraint(x <= 1))  # not in this problem
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getRCost(c1)
    with pytest.raises(korvo.ModelError, match="out-of-range index"):
        p.getSolution([7])


def test_mip_solution_and_refused_duals():
    x = korvo.var(vartype=korvo.integer, name="x")
    y = korvo.var(vartype=korvo.integer, name="y")
    p = korvo.problem(x, y, 6 * x + 4 * y <= 24, x + 2 * y <= 6, 5 * x + 4 * y, sense=korvo.maximize)
    p.solve()
    assert p.getProbStatusString() == "mip_optimal"
    assert p.getObjVal() == pytest.approx(20)  # the LP relaxation gives 21 at (3, 1.5)
    assert p.getSolution(x, y) == pytest.approx((4, 0))
    assert p.getSlack() == pytest.approx([0, 2])
    with pytest.raises(korvo.SolverError, match="Cannot retrieve dual variables in a MIP"):
        p.getDual()
    with pytest.raises(korvo.SolverError, match="Cannot retrieve reduced cost in a MIP"):
        p.getRCost(x)


def test_convex_qp_with_constant():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    c = x + y <= 2
    p = korvo.problem(x, y, c, (x - 1) * (x - 1) + (y - 2) * (y - 2))
    p.solve()
    assert p.getSolution(x, y) == pytest.approx((0.5, 1.5), abs=1e-6)
    assert p.getObjVal() == pytest.approx(0.5, abs=1e-6)
    assert p.getDual(c) == pytest.approx(-1.0, abs=1e-5)


def test_special_ordered_sets():
    x, y, z = (korvo.var(ub=1, name=n) for n in "xyz")
    p = korvo.problem(x, y, z, x + y + z <= 10, x + 2 * y + z, sense=korvo.maximize)
    p.addSOS(korvo.sos([x, y, z], [1, 2, 3], type=1))
    p.solve()
    assert p.getObjVal() == pytest.approx(2)  # only y
    p.delSOS(0)
    p.addSOS(korvo.sos([x, y, z], [1, 2, 3], type=2))
    p.solve()
    assert p.getObjVal() == pytest.approx(3)  # two neighbours
    p.delSOS(0)
    p.solve()
    assert p.getObjVal() == pytest.approx(4)


@pytest.mark.parametrize("on, cost, expected", [(0, 9, (2.0, 0.0)), (0, 1, (10.0, 1.0)), (1, 0.5, (10.0, 0.0)), (1, -9, (2.0, 1.0))])
def test_indicator_constraints(on, cost, expected):
    x = korvo.var(ub=10, name="x")
    z = korvo.var(vartype=korvo.binary, name="z")
    p = korvo.problem(x, z, x - cost * z, sense=korvo.maximize)
    p.addIndicator(z == on, x <= 2)
    assert p.attributes.rows == 1
    p.solve()
    assert p.getSolution(x, z) == pytest.approx(expected)


def test_semicontinuous_variable():
    x = korvo.var(vartype=korvo.semicontinuous, threshold=2, ub=5, name="x")
    p = korvo.problem(x, x >= 0.5, x)
    p.solve()
    assert p.getSolution(x) == pytest.approx(2.0)


def test_infeasible_and_unbounded_statuses():
    x = korvo.var(name="x")
    p = korvo.problem(x, x >= 2, x <= 1, x)
    p.solve()
    assert p.getProbStatusString() == "lp_infeas"
    q = korvo.problem(x, x, sense=korvo.maximize)
    q.solve()
    assert q.getProbStatusString() == "lp_unbounded"


def test_objective_replacement_leaves_nothing_behind():
    x, y = korvo.var(name="x", ub=3), korvo.var(name="y", ub=3)
    p = korvo.problem(x, y)
    p.setObjective(x * x + y + 7)
    p.setObjective(x)
    p.solve()
    assert p.getObjVal() == 0.0
    p.setObjective(np.array([x + y]), sense=korvo.maximize)
    p.solve()
    assert p.getObjVal() == pytest.approx(6)
    with pytest.raises(korvo.ModelError, match="Only one objective can be set"):
        p.setObjective(np.array([x, y]))
    with pytest.raises(korvo.ModelError, match="Invalid optimization sense"):
        p.setObjective(x, sense=2)
    with pytest.raises(korvo.ModelError, match="Invalid object set as objective"):
        p.setObjective("x")


def test_nonlinear_objective_transfer_row_and_column():
    x, y = korvo.var(name="x", lb=-3, ub=3), korvo.var(name="y", lb=-3, ub=3)
    c = x + y >= 1
    p = korvo.problem(x, y, c)
    p.setObjective(korvo.exp(x) + y * y)
    p.setObjective((x - 1) ** 4 + korvo.exp(y) - y)
    assert [str(v) for v in p.getVariable()] == ["x", "y", "objtransfercol"]
    assert [str(r) for r in p.getConstraint()][1:] == ["objtransferrow"]
    assert p.getIndexFromName(1, "objtransferrow") == 1
    assert p.getIndexFromName(2, "objtransfercol") == 2
    rows, cols = [], []
    p.getcoefs(rows, cols)
    assert rows == [1, 1]  # the two formulas of the second objective only
    p.solve()
    assert p.getProbStatusString() in ("nlp_solution", "nlp_globally_optimal")
    # minimum of (x-1)^4 at x = 1 and of e^y - y at y = 0, where x + y >= 1 holds
    assert p.getSolution(x, y) == pytest.approx((1.0, 0.0), abs=5e-2)
    assert p.getObjVal() == pytest.approx(1.0, abs=1e-4)
    p.setObjective(x + y)
    assert p.getVariable() == [x, y] and p.getConstraint() == [c]
    assert p.attributes.cols == 2 and p.attributes.rows == 1
    p.solve()
    assert p.getObjVal() == pytest.approx(1.0)


def test_transfer_column_cannot_be_deleted_and_moves_with_deletions():
    x, y = korvo.var(name="x", ub=3), korvo.var(name="y", ub=3)
    c1, c2 = x <= 2, y <= 2
    p = korvo.problem(x, y, c1, c2)
    p.setObjective(korvo.exp(y), sense=korvo.maximize)
    with pytest.raises(korvo.ModelError, match="transfer"):
        p.delVariable(2)
    p.delConstraint(c1)
    assert p.getIndexFromName(1, "objtransferrow") == p.getIndex(p.getConstraint(1)) == 1
    # Replacing the objective removes the transfer where it now is.
    p.setObjective(y, sense=korvo.maximize)
    assert p.getVariable() == [x, y] and p.getConstraint() == [c2]
    assert p.attributes.rows == 1 and p.attributes.cols == 2
    p.delVariable(x)
    assert p.getIndex(y) == 0
    p.solve()
    assert p.getSolution(y) == pytest.approx(2.0)


def test_nonlinear_constraints_solve():
    x, y = korvo.var(name="x", ub=10), korvo.var(name="y", ub=10)
    p = korvo.problem(x, y, korvo.exp(x) <= 3, x * y * y <= 4, x + y, sense=korvo.maximize)
    p.solve()
    sx, sy = p.getSolution(x, y)
    assert sx == pytest.approx(math.log(3), abs=1e-4)
    assert sy == pytest.approx(math.sqrt(4 / math.log(3)), abs=1e-3)


def cube(a):
    return a ** 3


def test_user_function_registered_once_and_solved():
    x, y = korvo.var(name="x", ub=5), korvo.var(name="y", ub=5)
    p = korvo.problem(x, y)
    p.addConstraint(korvo.user(cube, x) <= 3, korvo.user(cube, y) <= 2)
    for row in (0, 1):
        _, _, types, values = p.getcoefformula(row, -1, 1, 20)
        assert (11, 1.0) in list(zip(types, values))
    p.setObjective(x + y, sense=korvo.maximize)
    p.solve()
    assert p.getSolution(x, y) == pytest.approx((3 ** (1 / 3), 2 ** (1 / 3)), abs=1e-4)


def test_solve_flags_and_nonconvex_message():
    x, y = korvo.var(name="x", lb=-1), korvo.var(name="y", lb=-1)
    p = korvo.problem(x, y, x * x + x * y + y * y >= 3, x + y, sense=korvo.maximize)
    with pytest.raises(korvo.SolverError, match="nonconvex"):
        p.solve()
    assert p.getProbStatusString() == "lp_nonconvex"
    with pytest.raises(korvo.InterfaceError, match="flags"):
        p.solve(5)


def test_repeated_objectives_and_queries_keep_reference_counts():
    from conftest import refcount_unchanged

    x, y = korvo.var(name="x", ub=2), korvo.var(name="y", ub=2)
    c = x + y <= 3
    p = korvo.problem(x, y, c, x + y, sense=korvo.maximize)
    p.solve()
    objective = korvo.exp(x) + x * y

    def cycle():
        p.setObjective(objective)
        p.setObjective(x + y, sense=korvo.maximize)
        p.getSolution([x, {"k": y}], flatten=False)
        p.getDual(c)
        p.getSlack([c, 0])

    p.setObjective(objective)
    p.setObjective(x + y, sense=korvo.maximize)
    p.solve()
    assert refcount_unchanged(cycle, x, y, c, objective, p, repeat=50) == [0, 0, 0, 0, 0]


def test_objective_that_cannot_be_converted_keeps_the_old_one():
    x, y = korvo.var(name="x", ub=2), korvo.var(name="y", ub=2)
    p = korvo.problem(x, korvo.exp(x) + 3 * x, sense=korvo.maximize)
    deep = x
    for _ in range(70):
        deep = 1 / deep
    with pytest.raises(korvo.ModelError, match="depth reached the maximum limit"):
        p.setObjective(deep)
    with pytest.raises(korvo.ModelError, match="has not been added to problem yet"):
        p.setObjective(x + y)
    with pytest.raises(korvo.ModelError, match="cannot contain the objective transfer column"):
        p.setObjective(korvo.Sum(p.getVariable()))
    assert [str(v) for v in p.getVariable()] == ["x", "objtransfercol"]
    p.solve()
    assert p.getObjVal() == pytest.approx(math.exp(2) + 6, abs=1e-5)


def test_deletion_and_re_solve(lp):
    p, (x, y, z), (c1, c2, c3) = lp
    p.delConstraint(c2)  # only x + 2y + z <= 4 and x <= 5 remain: x = 4
    p.solve()
    assert p.getObjVal() == pytest.approx(4.0)
    assert p.getSolution(x) == pytest.approx(4.0) and p.getDual(c1) == pytest.approx(1.0)
    p.delVariable(x)  # now y = 2 from c1
    p.solve()
    assert p.getObjVal() == pytest.approx(2.0)
    assert p.getSolution() == pytest.approx([2.0, 0.0])
    assert p.getSlack(c3) == pytest.approx(5.0)  # the row keeps its bound, its body lost x
    with pytest.raises(korvo.ModelError, match="Object does not belong to problem"):
        p.getSolution(x + y)


def test_reset_after_a_nonlinear_objective_solves_as_lp():
    x = korvo.var(name="x", ub=2)
    p = korvo.problem(x)
    p.setObjective(korvo.exp(x), sense=korvo.maximize)
    p.reset()
    y = korvo.var(name="y", ub=3)
    p.addVariable(y)
    p.setObjective(2 * y, sense=korvo.maximize)
    p.solve()
    assert p.getProbStatusString() == "lp_optimal" and p.getObjVal() == pytest.approx(6.0)
    assert p.getVariable() == [y]


def test_unsolved_problem_has_no_solution():
    x = korvo.var()
    p = korvo.problem(x, x)
    with pytest.raises(korvo.SolverError):
        p.getSolution()
    with pytest.raises(korvo.SolverError, match="Could not get dual solution"):
        p.getDual()


def written_objective(p, tmp_path):
    """The objective as the engine holds it, read back from an MPS file:
    ({column: linear coefficient}, constant, {(column, column): quadratic entry})."""
    path = str(tmp_path / "objective.mps")
    p.write(path, "")
    linear, constant, quadratic, section = {}, 0.0, {}, None
    for line in open(path):
        fields = line.split()
        if not line.startswith(" "):
            section = fields[0]
            continue
        if section == "COLUMNS":
            pairs = dict(zip(fields[1::2], fields[2::2]))
            if "obj" in pairs:
                linear[fields[0]] = float(pairs["obj"])
        elif section == "RHS" and fields[1] == "obj":
            constant = -float(fields[2])
        elif section == "QUADOBJ":
            quadratic[fields[0], fields[1]] = float(fields[2])
    return {k: v for k, v in linear.items() if v != 0.0}, constant, quadratic


def test_objective_columns_after_a_removed_transfer_column(tmp_path):
    # Columns added after a nonlinear objective sit behind its transfer
    # column; replacing the objective deletes that column, so the new
    # objective's columns must move with it.
    x, y = korvo.var(name="x", ub=3), korvo.var(name="y", ub=3)
    p = korvo.problem(x, y, x + y <= 4)
    p.setObjective(korvo.exp(x), sense=korvo.maximize)
    z, w = korvo.var(name="z", ub=2), korvo.var(name="w", ub=1)
    p.addVariable(z, w)
    assert [p.getIndex(v) for v in (z, w)] == [3, 4]
    p.setObjective(2 * z + 5 * w + x * z + 3 * w * w - 7 + w * korvo.exp(z), sense=korvo.maximize)
    assert [str(v) for v in p.getVariable()] == ["x", "y", "z", "w", "objtransfercol"]
    assert [p.getIndex(v) for v in (z, w)] == [2, 3]
    linear, constant, quadratic = written_objective(p, tmp_path)
    assert linear == {"z": 2.0, "w": 5.0, "objtransfercol": 1.0}
    assert constant == -7.0
    assert quadratic == {("x", "z"): 1.0, ("w", "w"): 6.0}
    rows, cols = [], []
    p.getcoefs(rows, cols)
    assert rows == [1] and cols == [3]  # w * exp(z): column w, formula exp(z), in the transfer row
    _, _, types, values = p.getcoefformula(1, 3, 1, 20)
    assert [v for t, v in zip(types, values) if t == 10] == [2.0]
    # Linear again: the transfer goes, columns behind it move once more.
    p.addVariable(v := korvo.var(name="v", ub=1))
    p.setObjective(-z - 4 * v + w * w + 1)
    assert [str(c) for c in p.getVariable()] == ["x", "y", "z", "w", "v"]
    assert written_objective(p, tmp_path) == ({"z": -1.0, "v": -4.0}, 1.0, {("w", "w"): 2.0})
    p.solve()
    assert p.getObjVal() == pytest.approx(-2 - 4 + 1)


def test_replaced_objective_keeps_nothing_of_the_old_one(tmp_path):
    x, y, z = (korvo.var(name=n, ub=2) for n in "xyz")
    p = korvo.problem(x, y, z)
    p.setObjective(3 * x + 2 * y * y + x * z + 5)
    p.setObjective(z - y)
    assert written_objective(p, tmp_path) == ({"z": 1.0, "y": -1.0}, 0.0, {})
    p.setObjective(x * x + x * y + y * x, sense=korvo.maximize)
    assert written_objective(p, tmp_path) == ({}, 0.0, {("x", "x"): 2.0, ("x", "y"): 2.0})
    # A failing objective leaves this one in place, constant and all.
    p.setObjective(x - 2.5)
    stray = korvo.var(name="stray")
    with pytest.raises(korvo.ModelError, match="has not been added to problem yet"):
        p.setObjective(x * x + 3 * y + stray)
    with pytest.raises(korvo.ModelError, match="has not been added to problem yet"):
        p.setObjective(korvo.exp(x) + stray * y)
    assert written_objective(p, tmp_path) == ({"x": 1.0}, -2.5, {})
    assert p.attributes.cols == 3 and p.attributes.rows == 0


def test_large_objective_sums_every_term():
    n = 5000
    xs = [korvo.var(ub=1) for _ in range(n)]
    p = korvo.problem(xs, korvo.Sum((i % 7 - 3) * x for i, x in enumerate(xs)), sense=korvo.maximize)
    p.solve()
    assert p.getObjVal() == pytest.approx(sum(max(i % 7 - 3, 0) for i in range(n)))
    assert p.getSolution(xs[:7]) == pytest.approx([0, 0, 0, 0, 1, 1, 1])


def test_results_follow_the_latest_solve_after_a_nonlinear_objective():
    # After a nonlinear solve, a linear objective is solved by the optimizer:
    # status, objective and solution must be the optimizer's, not what the
    # nonlinear solver left behind.
    x, z = korvo.var(name="x", ub=2), korvo.var(name="z", ub=1)
    p = korvo.problem(x, z, x + z >= 0.5)
    p.setObjective(korvo.exp(z) + 2 * x, sense=korvo.maximize)
    p.solve()
    assert p.getProbStatusString() in ("nlp_solution", "nlp_globally_optimal")
    assert p.getObjVal() == pytest.approx(math.e + 4, abs=1e-4)
    p.setObjective(3 * z + x)
    p.solve()
    assert p.getProbStatusString() == "lp_optimal"
    assert p.getObjVal() == pytest.approx(0.5)
    assert p.getSolution() == pytest.approx([0.5, 0.0])
    assert p.getDual(p.getConstraint(0)) == pytest.approx(1.0)


def test_copies_of_nonlinear_problems_solve_as_nonlinear():
    import gc

    x, z = korvo.var(name="x", ub=2), korvo.var(name="z", ub=1)
    p = korvo.problem(x, z, x + z >= 0.5)
    p.setObjective(korvo.exp(z) + 2 * x, sense=korvo.maximize)
    q = p.copy()
    q.solve()
    assert q.getProbStatusString() in ("nlp_solution", "nlp_globally_optimal")
    assert q.getObjVal() == pytest.approx(math.e + 4, abs=1e-4)
    # The copy knows its transfer row and column: a linear objective removes them.
    q.setObjective(x)
    assert [str(v) for v in q.getVariable()] == ["x", "z"] and q.attributes.cols == 2
    assert q.attributes.rows == 1
    # Nonlinear rows, and a user function that outlives the problem it was
    # registered with.
    rows = korvo.problem(x, z, korvo.exp(x) <= 3, x + z, sense=korvo.maximize).copy()
    rows.solve()
    assert rows.getObjVal() == pytest.approx(math.log(3) + 1, abs=1e-4)
    original = korvo.problem(x, z, korvo.user(cube, x) <= 3, x + z, sense=korvo.maximize)
    copy = original.copy()
    del original
    gc.collect()
    copy.addConstraint(korvo.user(cube, z) <= 0.001)
    copy.solve()
    assert copy.getSolution(x, z) == pytest.approx((3 ** (1 / 3), 0.1), abs=1e-4)
