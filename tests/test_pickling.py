"""Pickling and copying of modelling objects and problems, in this process
and across a real process boundary."""
import copy
import multiprocessing
import pickle
import sys

import numpy as np
import pytest

import korvo

from conftest import refcount_unchanged


def roundtrip(obj):
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


def user_square(v):
    """A user function that pickles by name."""
    return v * v


# ---- modelling objects ---------------------------------------------------------


def test_variables_keep_bounds_types_names_and_take_fresh_identities():
    plain = korvo.var()
    named = korvo.var(name="flow", lb=-3.5, ub=7.25)
    free = korvo.var(lb=-korvo.infinity)
    semi = korvo.var(name="s", lb=0, ub=10, threshold=2.5, vartype=korvo.semicontinuous)
    binary = korvo.var(vartype=korvo.binary)
    raw_name = korvo.var(name=b"bytes-name")
    for x in (plain, named, free, semi, binary, raw_name):
        y = roundtrip(x)
        assert type(y) is korvo.var
        assert hash(y) != hash(x)  # a fresh identity of this process
        assert (y.lb, y.ub, y.threshold, y.vartype) == (x.lb, x.ub, x.threshold, x.vartype)
    assert roundtrip(named).name == "flow"
    assert roundtrip(raw_name).name == b"bytes-name"
    # An unnamed variable keeps its default name scheme under its new identity.
    y = roundtrip(plain)
    assert y.name == f"C{hash(y)}"
    # Bounds set by assignment travel as they are, even when inconsistent.
    odd = korvo.var()
    odd.lb, odd.ub = 5.0, 1.0
    assert (roundtrip(odd).lb, roundtrip(odd).ub) == (5.0, 1.0)
    # A default variable pickles to almost nothing.
    assert len(pickle.dumps(plain)) < 60


def test_terms_expressions_and_nonlinear_trees_print_and_evaluate_the_same():
    x = korvo.var(name="x")
    y = korvo.var(name="y")
    objects = [
        3 * x,
        x * y,
        x**2,
        2 * x + 3 * y - 4,
        x * y + 2 * x**2 - y + 1.5,
        korvo.expression(),
        korvo.exp(x) + y**3,
        korvo.sin(x) * korvo.log(y + 2) / (x - y),
        korvo.max(x, y, 3) - korvo.min(x, 2 * y),
        korvo.abs(x - y) ** 0.5,
        korvo.pwl({(0, 1): x + 1, (1, 4): 2 * x}),
        korvo.user(user_square, x) + korvo.sqrt(x + 1),
        korvo.And(x, y - 1) + korvo.Or(x, 0),
    ]
    point = {x: 0.7, y: 1.3}
    for obj in objects:
        back, xs, ys = roundtrip((obj, x, y))
        assert type(back) is type(obj)
        mapped = {xs: 0.7, ys: 1.3}
        assert str(back) == str(obj)
        if "user" not in str(obj):
            assert korvo.evaluate(back, solution=mapped) == pytest.approx(korvo.evaluate(obj, solution=point))


def test_user_function_that_cannot_be_pickled_names_itself():
    x = korvo.var()
    node = korvo.user(lambda v: v + 1, x)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError), match="lambda"):
        pickle.dumps(node)


def test_constraints_and_sets_keep_bounds_names_and_bodies():
    x = korvo.var(name="x")
    y = korvo.var(name="y")
    c = korvo.constraint(2 * x + y, lb=1, ub=4, name="cap")
    back = roundtrip(c)
    assert (back.lb, back.ub, back.name, str(back.body)) == (1.0, 4.0, "cap", str(c.body))
    unnamed = x + y <= 3
    assert roundtrip(unnamed).name.startswith("R")
    s = korvo.sos([x, y], [1, 2], type=2, name="order")
    sb = roundtrip(s)
    members, weights, kind, name = sb.__reduce__()[1]
    assert (name, [v.name for v in members], weights, kind) == ("order", ["x", "y"], [1, 2], 2)


def test_shared_objects_stay_shared_inside_one_pickle():
    x = korvo.var(name="x")
    y = korvo.var(name="y")
    c1 = x + y <= 4
    c2 = 2 * x - y >= 0
    e = 3 * x + y
    xs, c1s, c2s, es = roundtrip((x, c1, c2, e))
    body1, _ = c1s.body.extractLinear()
    body2, _ = c2s.body.extractLinear()
    evars, _ = es.extractLinear()
    assert body1[0] is xs and body2[0] is xs and evars[0] is xs
    assert body1[1] is body2[1] is evars[1]
    # deepcopy keeps the same relations, shallow copies share the variables.
    xd, c1d = copy.deepcopy((x, c1))
    assert c1d.body.extractLinear()[0][0] is xd and xd is not x
    assert copy.copy(e).extractLinear()[0][0] is x
    assert copy.copy(3 * x) is not None and copy.copy(x) is not x


def test_corrupt_data_is_refused_cleanly():
    x = korvo.var()
    with pytest.raises(korvo.InterfaceError, match="unknown nonlinear operator"):
        korvo.korvolib._rebuild_nonlinear(99, x)
    with pytest.raises(korvo.InterfaceError, match="operand pair"):
        korvo.korvolib._rebuild_nonlinear(1, (x,))
    with pytest.raises(korvo.InterfaceError, match="different lengths"):
        korvo.korvolib._rebuild_expression(0.0, [x], np.int32([0]).tobytes(), b"", b"", b"", False)
    with pytest.raises(korvo.InterfaceError, match="outside the variables"):
        korvo.korvolib._rebuild_expression(0.0, [x], np.int32([1]).tobytes(), np.float64([2]).tobytes(), b"", b"",
                                           False)
    with pytest.raises(TypeError):
        korvo.korvolib._rebuild_linterm(1.0, "not a variable")
    with pytest.raises(korvo.InterfaceError):
        korvo.korvolib._rebuild_problem({"format": 1})
    with pytest.raises(korvo.InterfaceError, match="newer"):
        korvo.korvolib._rebuild_problem({"format": 2})


def test_reference_counts_do_not_move_over_many_round_trips():
    x = korvo.var(name="x", lb=-1, ub=3)
    y = korvo.var()
    e = 2 * x + x * y + 1
    c = korvo.constraint(e, ub=5, name="c")
    s = korvo.sos([x, y], [1.0, 2.0])
    nl = korvo.exp(x) * y
    for obj in (x, e, c, s, nl):
        assert refcount_unchanged(lambda: roundtrip(obj), x, y, obj, repeat=100) == [0, 0, 0]


# ---- problems ----------------------------------------------------------------------


def production_lp():
    x = korvo.var(name="x")
    y = korvo.var(name="y", ub=3)
    c1 = korvo.constraint(2 * x + y, ub=4, name="machine")
    c2 = x + 3 * y <= 6
    p = korvo.problem(x, y, c1, c2, x + y, sense=korvo.maximize, name="plan")
    return p, x, y, c1, c2


def test_solved_problem_travels_with_its_solution_controls_and_names(quiet):
    p, x, y, c1, c2 = production_lp()
    p.controls.feastol = 1e-7
    p.solve()
    q, xq, yq, c1q = roundtrip((p, x, y, c1))
    assert q.name() == "plan"
    assert q.getProbStatusString() == p.getProbStatusString()
    assert q.getObjVal() == p.getObjVal()
    assert q.getSolution([xq, yq]) == p.getSolution([x, y])
    assert q.getDual(c1q) == p.getDual(c1)
    assert q.controls.feastol == 1e-7
    assert [v is w for v, w in zip(q.getVariable(), (xq, yq))] == [True, True]
    assert q.getIndex(c1q) == 0
    # The rebuilt problem is an ordinary one: it changes and solves again.
    q.chgbounds([yq], ["U"], [1.0])
    q.solve()
    assert q.getSolution(yq) == pytest.approx(1.0)
    assert p.getSolution(y) != pytest.approx(1.0) or y.ub == 3


def test_unsolved_problem_solves_to_the_same_answer_after_changes_to_its_objects(quiet):
    p, x, y, c1, c2 = production_lp()
    y.ub = 1.0  # a change the problem has not applied yet
    q, xq = roundtrip((p, x))
    q.solve()
    p.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal())
    assert q.getSolution(xq) == pytest.approx(p.getSolution(x))


def test_mip_qp_sets_and_basis(quiet):
    x = korvo.vars(3, name="x", ub=4, vartype=korvo.integer)
    z = korvo.var(vartype=korvo.binary, name="z")
    p = korvo.problem(x, z, korvo.Sum(x) <= 7.5, korvo.sos(list(x), [1, 2, 3], type=1),
                      korvo.Sum((i + 1) * x[i] for i in range(3)) + z - 0.1 * x[0] * x[0],
                      sense=korvo.maximize)
    p.addIndicator(z == 1, x[0] <= 2)
    p.solve()
    q, xq = roundtrip((p, list(x)))
    assert q.getObjVal() == pytest.approx(p.getObjVal())
    assert q.getSolution(xq) == pytest.approx(p.getSolution(list(x)))
    assert q.attributes.sets == 1 and q.attributes.indicators == 1
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal())
    # LP basis travels: a re-solve needs no iterations.
    a = korvo.var()
    b = korvo.var()
    lp = korvo.problem(a, b, a + 2 * b >= 3, 3 * a + b >= 4, a + b)
    lp.solve()
    again = roundtrip(lp)
    again.solve()
    assert again.attributes.simplexiter == 0


def test_deepcopy_and_copy_of_problems(quiet):
    p, x, y, c1, c2 = production_lp()
    p.solve()
    deep, xd = copy.deepcopy((p, x))
    assert xd is not x and deep.getSolution(xd) == p.getSolution(x)
    shallow = copy.copy(p)
    assert shallow.getVariable(0) is x


def test_nonlinear_problem_travels(quiet):
    x = korvo.var(name="x", lb=0.1, ub=4)
    y = korvo.var(name="y", lb=0.1, ub=4)
    p = korvo.problem(x, y, x * y >= 2, korvo.exp(0.3 * x) + y**2)
    p.controls.knls_iterlimit = 150
    p.solve()
    q, xq, yq = roundtrip((p, x, y))
    assert q.controls.knls_iterlimit == 150
    assert q.getSolution([xq, yq]) == pytest.approx(p.getSolution([x, y]))
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal(), rel=1e-5)


def test_what_cannot_travel_is_refused_with_its_name(quiet):
    p, x, y, c1, c2 = production_lp()
    p.addcbintsol(lambda prob, data: None, None, 0)
    with pytest.raises(korvo.InterfaceError, match="intsol callback.*removecbintsol"):
        pickle.dumps(p)
    with pytest.raises(korvo.InterfaceError, match="intsol"):
        copy.deepcopy(p)
    assert copy.copy(p) is not None  # copy() keeps callbacks in this process
    p.removecbintsol()
    assert roundtrip(p).attributes.cols == 2

    def local_function(v):
        return v + 1

    a = korvo.var(lb=0, ub=2)
    nl = korvo.problem(a, korvo.user(local_function, a) >= 1, a)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError), match="local_function"):
        pickle.dumps(nl)


def test_user_functions_travel_when_pickle_can_send_them(quiet):
    a = korvo.var(name="a", lb=0.5, ub=3)
    b = korvo.var(name="b", lb=0, ub=3)
    p = korvo.problem(a, b, korvo.user(user_square, a) + b >= 3, a + 2 * b)
    p.solve()
    q, aq, bq = roundtrip((p, a, b))
    assert q.getSolution([aq, bq]) == pytest.approx(p.getSolution([a, b]))
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal(), rel=1e-6)
    # Restoring the formulas without their functions is refused.
    reducer, (state,) = p.__reduce__()
    with pytest.raises(korvo.SolverError, match="user functions"):
        reducer(dict(state, user_functions=[]))


def test_problem_pickling_keeps_reference_counts(quiet):
    p, x, y, c1, c2 = production_lp()
    p.solve()
    assert refcount_unchanged(lambda: roundtrip(p), p, x, c1, repeat=50) == [0, 0, 0]


def test_truncated_problem_data_is_refused_without_harm(quiet):
    p, x, y, c1, c2 = production_lp()
    reducer, (state,) = p.__reduce__()
    broken = dict(state, model=state["model"][:-7])
    with pytest.raises(korvo.SolverError):
        reducer(broken)
    wrong = dict(state, columns=b"\x05\x00\x00\x00\x00\x00\x00\x00")
    with pytest.raises(korvo.InterfaceError, match="outside the model"):
        reducer(wrong)
    assert reducer(state).attributes.rows == 2


# ---- across a process boundary --------------------------------------------------


def _solve_in_worker(data):
    import korvo as k

    k.setOutputEnabled(False)
    problem, xs, con = pickle.loads(data)
    before = problem.getSolution(xs) if problem.attributes.lpstatus == 1 else None
    problem.solve()
    return before, problem.getObjVal(), problem.getSolution(xs), problem.getDual(con), problem.getIndex(xs[1])


def test_problem_solves_to_the_same_answer_in_a_spawned_process(quiet):
    p, x, y, c1, c2 = production_lp()
    data_unsolved = pickle.dumps((p, [x, y], c1))
    p.solve()
    data_solved = pickle.dumps((p, [x, y], c1))
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        unsolved, solved = pool.map(_solve_in_worker, [data_unsolved, data_solved])
    assert unsolved[0] is None
    for before, objective, values, dual, index in (unsolved, solved):
        assert objective == pytest.approx(p.getObjVal())
        assert values == pytest.approx(p.getSolution([x, y]))
        assert dual == pytest.approx(p.getDual(c1))
        assert index == 1
    assert solved[0] == pytest.approx(p.getSolution([x, y]))  # the solution itself travelled


def _solve_user_function_problem(data):
    import korvo as k

    k.setOutputEnabled(False)
    problem, xs = pickle.loads(data)
    problem.solve()
    return problem.getObjVal(), problem.getSolution(xs)


def test_problem_with_a_user_function_solves_in_a_spawned_process(quiet):
    a = korvo.var(name="a", lb=0.5, ub=3)
    b = korvo.var(name="b", lb=0, ub=3)
    p = korvo.problem(a, b, korvo.user(user_square, a) + b >= 3, a + 2 * b)
    data = pickle.dumps((p, [a, b]))
    p.solve()
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        objective, values = pool.apply(_solve_user_function_problem, (data,))
    assert objective == pytest.approx(p.getObjVal(), rel=1e-6)
    assert values == pytest.approx(p.getSolution([a, b]), rel=1e-5, abs=1e-6)
