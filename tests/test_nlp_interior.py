"""The interior-point road of the nonlinear solver (knls_algorithm = 2)
and the automatic choice: chained Rosenbrock from the origin and from the
usual start, a discretised control problem and an exponential sum against
optima recorded from a run of an established interior-point code, an
indefinite start, an infeasible model, bounds-only and equality-only
models, multipliers in the same convention as the sequential road's, the
iteration events and limits, and what the automatic choice does."""
import math
import re

import pytest

import korvo
from nlp_models import circle_model_from_start, circle_problem

pytestmark = pytest.mark.usefixtures("quiet")

INTERIOR, SEQUENTIAL = 2, 1


def solve_collecting_lines(p):
    lines = []
    p.setcbmessage(lambda prob, data, text, kind: lines.append(text))
    p.nlpoptimize()
    p.unsetcbmessage()
    return lines


def rosenbrock(n, start):
    x = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(korvo.Sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(n - 1)))
    p.addvars(x, initvalue=start)
    p.controls.knls_algorithm = INTERIOR
    return p, x


@pytest.mark.parametrize("n", [10, 100, 1000])
def test_chained_rosenbrock_from_the_origin_reaches_the_global_minimum(n):
    p, x = rosenbrock(n, [0.0] * n)
    p.controls.knls_iterlimit = 3000  # Newton's progress from 0 is about one coordinate per iteration
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(0.0, abs=1e-8)
    assert p.getSolution(x) == pytest.approx([1.0] * n, abs=1e-5)


def test_default_controls_solve_chained_rosenbrock_1000_from_the_origin():
    # About 1480 Newton steps: the default iteration budget must cover them
    # on the road the automatic choice takes for this model.
    n = 1000
    x = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(korvo.Sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(n - 1)))
    lines = solve_collecting_lines(p)
    assert any(line.startswith("Interior-point solve") for line in lines)
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert 1000 < p.attributes.knls_iterations < p.controls.knls_iterlimit
    assert p.getObjVal() == pytest.approx(0.0, abs=1e-8)
    assert p.getSolution(x) == pytest.approx([1.0] * n, abs=1e-5)


def test_objective_made_of_large_cancelling_pieces_still_converges():
    # Chained Rosenbrock in y = x + 1000: each expanded (1 - x)^2 holds
    # pieces near 1e6, so near the optimum the objective's own rounding
    # (about 1e-7) hides the decreases of the last Newton steps; the line
    # search must not take that for a failure.
    n, c = 300, 1000.0
    y = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    x = [v - c for v in y]
    p = korvo.problem()
    p.addVariable(y)
    p.setObjective(korvo.Sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(n - 1)))
    p.addvars(y, initvalue=[c] * n)
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getSolution(y) == pytest.approx([c + 1] * n, abs=1e-7)


def test_chained_rosenbrock_from_the_usual_start_reaches_its_local_minimum():
    # From (-1.2, 1, -1.2, ...) the stationary point reached is the known
    # local minimum 3.98662..., not 0 (as for the established code).
    n = 100
    p, x = rosenbrock(n, [-1.2 if i % 2 == 0 else 1.0 for i in range(n)])
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(3.9866238543, rel=1e-9)


def control_problem(s):
    """x[t+1] = x[t] + h (x[t]^2 + u[t]), x[0] = 1; min h sum(x^2 + u^2) + x[s]^2."""
    h = 1.0 / s
    x = [korvo.var(lb=-10, ub=10) for _ in range(s + 1)]
    u = [korvo.var(lb=-3, ub=3) for _ in range(s)]
    p = korvo.problem()
    p.addVariable(x, u)
    p.addConstraint(x[0] == 1)
    p.addConstraint([x[t + 1] - x[t] - h * (x[t] ** 2 + u[t]) == 0 for t in range(s)])
    p.setObjective(korvo.Sum(h * (x[t] ** 2 + u[t] ** 2) for t in range(s)) + x[s] ** 2)
    p.addvars(x + u, initvalue=[1.0] * (s + 1) + [0.0] * s)
    return p, x, u


def expsum_problem(n):
    """min sum exp(x) s.t. x[i] + 2 x[i+1] - x[i+2] >= r[i], -10 <= x <= 10."""
    x = [korvo.var(lb=-10, ub=10) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    r = [1.0 + 0.5 * math.sin(i) for i in range(n - 2)]
    rows = [korvo.constraint(x[i] + 2 * x[i + 1] - x[i + 2] >= r[i]) for i in range(n - 2)]
    p.addConstraint(rows)
    p.setObjective(korvo.Sum(korvo.exp(v) for v in x))
    return p, x, rows


def test_control_and_expsum_give_the_recorded_optima():
    p, x, u = control_problem(500)
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(CONTROL_500, rel=1e-7)
    q, y, rows = expsum_problem(300)
    q.controls.knls_algorithm = INTERIOR
    q.nlpoptimize()
    assert q.getProbStatus() == korvo.nlp_locally_optimal
    assert q.getObjVal() == pytest.approx(EXPSUM_300, rel=1e-7)
    # The rows hold at the solution (slack = rhs - activity <= 0 for >= rows).
    assert max(q.getSlack(rows)) <= 1e-7
    assert min(q.getDual(rows)) >= -1e-9  # >= rows of a minimisation: non-negative duals


def test_indefinite_hessian_at_the_start_converges_to_a_minimiser():
    x = korvo.var(lb=-5, ub=5)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem()
    p.addVariable(x, y)
    p.setObjective(x ** 4 - 2 * x ** 2 + y ** 2 + x * y)
    p.addvars([x, y], initvalue=[0.1, 0.0])
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    vx, vy = p.getSolution([x, y])
    # A minimiser, not the saddle at the origin: gradient 0, f < 0.
    assert 4 * vx ** 3 - 4 * vx + vy == pytest.approx(0.0, abs=1e-6)
    assert 2 * vy + vx == pytest.approx(0.0, abs=1e-6)
    assert p.getObjVal() < -0.5


def test_infeasible_model_is_reported_infeasible_not_optimal():
    x = korvo.var(lb=-korvo.infinity, ub=korvo.infinity)
    y = korvo.var(lb=-korvo.infinity, ub=korvo.infinity)
    p = korvo.problem()
    p.addVariable(x, y)
    p.addConstraint(x ** 2 + y ** 2 <= -1)
    p.setObjective(x + y)
    p.addvars([x, y], initvalue=[1.0, 2.0])
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_infeasible


def test_bounds_only_and_equality_only_models():
    n = 6
    x = [korvo.var(lb=0, ub=1) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(korvo.Sum((v + 1) ** 4 + (v - 0.5) ** 2 for v in x))
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getSolution(x) == pytest.approx([0.0] * n, abs=1e-7)
    # At the lower bound the reduced cost is the gradient, 4 - 1.
    assert p.getRCost(x) == pytest.approx([3.0] * n, rel=1e-6)

    y = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    q = korvo.problem()
    q.addVariable(y)
    c = korvo.constraint(korvo.Sum(v * v for v in y) == 1)
    q.addConstraint(c)
    q.setObjective(korvo.Sum((i + 1) * v for i, v in enumerate(y)))
    q.addvars(y, initvalue=[-0.1] * n)
    q.controls.knls_algorithm = INTERIOR
    q.nlpoptimize()
    assert q.getProbStatus() == korvo.nlp_locally_optimal
    norm = math.sqrt(sum((i + 1) ** 2 for i in range(n)))
    assert q.getObjVal() == pytest.approx(-norm, rel=1e-8)
    assert q.getSolution(y) == pytest.approx([-(i + 1) / norm for i in range(n)], abs=1e-6)


def solve_with(model, algorithm):
    p, x, y, c1, c2 = model()
    p.addvars([x, y], initvalue=[1.0, 0.5])
    p.controls.knls_algorithm = algorithm
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    return (p.getObjVal(), p.getSolution([x, y]), p.getDual([c1, c2]), p.getSlack([c1, c2]), p.getRCost([x, y]))


def maximised_circle():
    p, x, y, c1, c2 = circle_problem()
    p.setObjective(2 * y - x, sense=korvo.maximize)
    return p, x, y, c1, c2


@pytest.mark.parametrize("model", [circle_problem, maximised_circle])
def test_multipliers_match_the_sequential_road(model):
    seq = solve_with(model, SEQUENTIAL)
    ipm = solve_with(model, INTERIOR)
    assert ipm[0] == pytest.approx(seq[0], rel=1e-7)
    for a, b in zip(ipm[1:], seq[1:]):
        assert a == pytest.approx(b, rel=1e-5, abs=1e-6)


def test_iteration_events_and_limits():
    p, x = rosenbrock(30, [0.0] * 30)
    ends = []
    p.setcbiterend(lambda prob, data: ends.append(1) or 0)
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert len(ends) == p.attributes.knls_iterations > 0
    # A registration that asks to stop ends the solve after its iteration.
    q, _ = rosenbrock(30, [0.0] * 30)
    q.setcbiterend(lambda prob, data: 1)
    q.nlpoptimize()
    assert q.attributes.knls_status == korvo.nlp_unfinished
    assert q.attributes.knls_iterations == 1
    # The iteration limit: status, stop status and the one report line.
    r, _ = rosenbrock(30, [0.0] * 30)
    r.controls.knls_iterlimit = 3
    lines = solve_collecting_lines(r)
    assert r.attributes.knls_status == korvo.nlp_unfinished
    assert r.attributes.knls_stopstatus == korvo.stop_iterlimit
    assert r.attributes.knls_iterations == 3
    assert any(re.match(r"Nonlinear solve stopped at its iteration limit of 3 before converging: "
                        r"largest violation \S+, last step [0-9.e+-]+; raise knls_iterlimit", t) for t in lines)
    r.controls.knls_timelimit = 0
    r.nlpoptimize()
    assert r.attributes.knls_stopstatus == korvo.stop_timelimit
    assert r.attributes.knls_iterations == 0


def test_automatic_choice_and_its_fallback():
    # A large continuous model with a substantial nonlinear part takes the
    # interior road by default.
    p, x, u = control_problem(200)
    lines = solve_collecting_lines(p)
    assert any(t.startswith("Interior-point solve") for t in lines)
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(CONTROL_200, rel=1e-7)
    # The sequential road is one control away and gives the same optimum.
    p.controls.knls_algorithm = SEQUENTIAL
    lines = solve_collecting_lines(p)
    assert not any(t.startswith("Interior-point solve") for t in lines)
    assert p.getObjVal() == pytest.approx(CONTROL_200, rel=1e-6)
    # Small models stay on the sequential road.
    q, _, _, _ = circle_model_from_start()
    assert not any(t.startswith("Interior-point solve") for t in solve_collecting_lines(q))
    # An infeasible large model: the interior road's verdict is checked by
    # the sequential road, with a line saying so.
    n = 300
    z = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    r = korvo.problem()
    r.addVariable(z)
    r.addConstraint(korvo.Sum(v ** 2 for v in z) <= -1)
    r.setObjective(korvo.Sum(z))
    r.addvars(z, initvalue=[1.0] * n)
    lines = solve_collecting_lines(r)
    assert any("solving with the sequential solver" in t for t in lines)
    assert r.getProbStatus() in (korvo.nlp_locally_infeasible, korvo.nlp_infeasible)


def test_refused_settings_leave_the_problem_usable():
    x = korvo.var(vartype=korvo.integer, lb=0, ub=5)
    y = korvo.var(lb=0, ub=5)
    p = korvo.problem()
    p.addVariable(x, y)
    p.addConstraint(x * y >= 2)
    p.setObjective(x + y)
    p.controls.knls_algorithm = INTERIOR
    with pytest.raises(korvo.SolverError, match="interior-point method cannot solve"):
        p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_unstarted
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.controls.knls_algorithm = 3
    assert p.controls.knls_algorithm == INTERIOR
    # The automatic choice leaves integer columns to the sequential road.
    p.controls.knls_algorithm = 0
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(3.0, rel=1e-7)
    assert p.getSolution(x) == pytest.approx(round(p.getSolution(x)))


# Optima of the same models recorded from the established interior-point
# code (tolerance 1e-10) from the same start points.
CONTROL_500 = 1.859925959030814
CONTROL_200 = 1.8649418406299672
EXPSUM_300 = 492.5765068168487


def test_formulas_that_fail_at_the_start_raise_and_leave_the_problem_unsolved():
    x = korvo.var(lb=-10, ub=10)
    p = korvo.problem()
    p.addVariable(x)
    p.addConstraint(korvo.log(x - 20) >= -5)
    p.setObjective(x)
    p.controls.knls_algorithm = INTERIOR
    with pytest.raises(korvo.SolverError, match="start point"):
        p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_unstarted
    # A row the start point can evaluate solves as usual.
    q = korvo.problem()
    y = korvo.var(lb=-15, ub=10)
    q.addVariable(y)
    q.addConstraint(korvo.log(y + 20) >= 2)
    q.setObjective(y)
    q.controls.knls_algorithm = INTERIOR
    q.nlpoptimize()
    assert q.getObjVal() == pytest.approx(math.exp(2) - 20, rel=1e-7)


def test_range_rows_fixed_columns_and_quadratic_parts_agree_with_the_sequential_road():
    def build(algorithm):
        x = korvo.var(lb=-3, ub=3)
        y = korvo.var(lb=-3, ub=3)
        w = korvo.var(lb=0.5, ub=0.5)  # fixed
        p = korvo.problem()
        p.addVariable(x, y, w)
        ring = korvo.constraint(x * x + y * y + w, lb=1, ub=4)  # a range row
        tilt = korvo.constraint(x - y + korvo.exp(w * x) <= 2)
        p.addConstraint(ring, tilt)
        p.setObjective((x - 2) ** 2 + 3 * (y + 1) ** 2 + x * y)
        p.addvars([x, y], initvalue=[0.5, 0.5])
        p.controls.knls_algorithm = algorithm
        p.nlpoptimize()
        assert p.getProbStatus() == korvo.nlp_locally_optimal
        return (p.getObjVal(), p.getSolution([x, y, w]), p.getDual([ring, tilt]), p.getSlack([ring, tilt]),
                p.getRCost([x, y]))

    seq, ipm = build(SEQUENTIAL), build(INTERIOR)
    assert ipm[0] == pytest.approx(seq[0], rel=1e-7)
    assert ipm[1][2] == 0.5
    for a, b in zip(ipm[1:], seq[1:]):
        assert a == pytest.approx(b, rel=1e-5, abs=1e-6)


def test_rows_without_slope_at_the_start_get_a_second_start():
    # x*y >= 3 has a zero gradient at the origin; the first attempt stalls
    # there, the second starts from a moved point and finds x = y = sqrt(3).
    x = korvo.var(lb=-5, ub=5)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem(x, y, x * y >= 3, x + y >= 0, x + y)
    p.controls.knls_algorithm = INTERIOR
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(2 * math.sqrt(3), rel=1e-7)
    # fixpenalties reads the merit function's final weight.
    assert p.fixpenalties() == 0


def test_coefficient_evaluation_errors_on_the_way():
    # min -x s.t. ln(5 - x) >= -3 from x = 3: the first full step leaves the
    # logarithm's domain; the registration hears of the row and the solve
    # shortens the step, or stops when the registration says so.
    def solve(answer):
        x = korvo.var(lb=-10, ub=10)
        p = korvo.problem()
        p.addVariable(x)
        row = korvo.constraint(korvo.log(5 - x) >= -3)
        p.addConstraint(row)
        p.setObjective(-x)
        p.addvars([x], initvalue=[3.0])
        p.controls.knls_algorithm = INTERIOR
        heard = []
        p.setcbcoefevalerror(lambda prob, data, r, c: heard.append((r, c)) or answer)
        p.nlpoptimize()
        return p, p.getSolution(x), heard, p.getIndex(row)

    p, x, heard, row = solve(0)
    assert heard and heard[0] == (row, -1)
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert x == pytest.approx(5 - math.exp(-3), rel=1e-8)
    p, x, heard, row = solve(1)
    assert heard == [(row, -1)]
    assert p.attributes.knls_status == korvo.nlp_unfinished
    assert x == 3.0


def test_changes_between_solves_give_the_fresh_problems_result():
    # Each solve compiles the model's formulas and rows afresh: a bound, a
    # linear coefficient, an objective coefficient, an added row and a new
    # nonlinear objective, each changed after a solve, give what a problem
    # built with the same changes gives on its first solve.
    changes = [
        lambda p, x, rows: p.chgbounds([x[5]], ["U"], [-1.0]),
        lambda p, x, rows: p.chgcoef(rows[7], x[8], 3.0),
        lambda p, x, rows: p.chgobj([x[2]], [0.5]),
        lambda p, x, rows: p.addConstraint(korvo.Sum(x[:10]) >= 4),
        lambda p, x, rows: p.setObjective(korvo.Sum(korvo.exp(v) for v in x) + (x[0] - x[1]) ** 4),
    ]
    kept, kx, krows = expsum_problem(60)
    kept.controls.knls_algorithm = INTERIOR
    kept.nlpoptimize()
    for done in range(1, len(changes) + 1):
        changes[done - 1](kept, kx, krows)
        kept.nlpoptimize()
        fresh, fx, frows = expsum_problem(60)
        fresh.controls.knls_algorithm = INTERIOR
        for change in changes[:done]:
            change(fresh, fx, frows)
        fresh.nlpoptimize()
        assert kept.getProbStatus() == fresh.getProbStatus() == korvo.nlp_locally_optimal, done
        assert kept.getObjVal() == pytest.approx(fresh.getObjVal(), rel=1e-9), done
        assert kept.getSolution(kx) == pytest.approx(fresh.getSolution(fx), abs=1e-6), done
