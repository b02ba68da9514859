"""What the SLP iteration makes of the columns' convergence items (tolerance
sets, deltas), of delta factors and of cascading: each changes the result or
the iteration count in the way it says."""
import math

import pytest

import korvo
from nlp_models import circle_model_from_start

Y_OPT = (1 + math.sqrt(7)) / 2


pytestmark = pytest.mark.usefixtures("quiet")


circle_model = circle_model_from_start


def solve(p, y):
    p.nlpoptimize()
    return p.attributes.knls_iterations, p.getSolution(y)


def test_default_convergence_reference():
    p, x, y, _ = circle_model()
    iterations, sy = solve(p, y)
    assert sy == pytest.approx(Y_OPT, abs=1e-6) and iterations >= 4


@pytest.mark.parametrize("which, value", [(2, 0.5), (3, 0.5), (6, 0.1), (7, 0.1)])
def test_objective_and_slack_tolerances_stop_sooner(which, value):
    """A loose objective-change (2, 3) or linearisation-slack (6, 7)
    tolerance lets the columns converge once a step has been accepted."""
    p, x, y, _ = circle_model()
    tight, _ = solve(p, y)
    p, x, y, _ = circle_model()
    tols = [0.0] * 9
    tols[which] = value
    p.addtolsets(tols)
    p.addvars([x, y], tolindex=[1, 1])
    loose, sy = solve(p, y)
    assert 2 <= loose < tight
    assert abs(sy - Y_OPT) < 0.5  # stopped on the way, not somewhere else


def test_tight_tolerances_keep_the_full_solve():
    p, x, y, _ = circle_model()
    tight, _ = solve(p, y)
    p, x, y, _ = circle_model()
    p.addtolsets([0.0, 0.0, 1e-14, 1e-14, 0.0, 0.0, 1e-14, 1e-14, 0.0])
    p.addvars([x, y], tolindex=[1, 1])
    iterations, sy = solve(p, y)
    assert sy == pytest.approx(Y_OPT, abs=1e-6)
    assert iterations >= tight - 1


def test_closure_tolerance_converges_once_the_step_bound_is_small():
    p, x, y, _ = circle_model()
    # Step bounds start at 1 (knls_stepbound relative to max(1, |x|)): a
    # closure tolerance above that converges at the first iteration, at the
    # feasible start point.
    p.addtolsets([0.0] * 8 + [5.0])
    p.addvars([x, y], tolindex=[1, 1])
    iterations, sy = solve(p, y)
    assert iterations == 1 and sy == pytest.approx(0.5) and p.getSolution(x) == pytest.approx(1.0)
    # Below the starting step bounds it waits for them to shrink or the
    # solve to converge otherwise.
    p.chgtolset(1, 1 << 8, [0.0] * 8 + [1e-9])
    iterations, sy = solve(p, y)
    assert sy == pytest.approx(Y_OPT, abs=1e-6)


def test_deltas_absolute_and_relative():
    p, x, y, _ = circle_model()
    tight, _ = solve(p, y)
    p, x, y, _ = circle_model()
    p.chgdeltatype([x, y], [1, 1], [0.5, 0.5])  # steps up to 0.5 count as converged
    loose, sy = solve(p, y)
    assert loose < tight and abs(sy - Y_OPT) < 0.5
    p, x, y, _ = circle_model()
    p.chgdeltatype([x, y], [0, 0], [0.5, 0.5])  # half the value
    relative, _ = solve(p, y)
    assert relative < tight
    # Tiny deltas change nothing.
    p, x, y, _ = circle_model()
    p.chgdeltatype([x, y], [1, 0], [1e-12, 1e-12])
    iterations, sy = solve(p, y)
    assert sy == pytest.approx(Y_OPT, abs=1e-6)


def test_delta_factors_steer_the_iterations_but_not_the_optimum():
    def run(df):
        p, x, y, c1 = circle_model()
        if df is not None:
            p.adddfs([x], [c1], [df])
        p.nlpoptimize()
        return p.attributes.knls_iterations, p.getSolution(x, y), p.attributes.knls_status

    plain_iterations, plain, _ = run(None)
    # A factor that is the derivative of the row only at the start (2x at
    # x = 1) or not at all steers the iterations elsewhere; convergence is
    # confirmed with the true derivatives, so the optimum is the same.
    for df in (2.0, 0.0, 5.0):
        iterations, point, status = run(df)
        assert status == 1
        assert point == pytest.approx(plain, abs=1e-5)
        assert iterations != plain_iterations


def test_cascading_keeps_determined_columns_on_their_rows():
    """min (y - 3)^2 + x with x = y^2 exp(y / 10) - 1 (x determined by its
    row): with cascading every point the solve takes has x on its row; the
    plain SLP only reaches the row in the limit."""
    def model():
        x = korvo.var(name="x", lb=-100, ub=100)
        y = korvo.var(name="y", lb=-100, ub=100)
        p = korvo.problem()
        p.addVariable(x, y)
        rx = korvo.constraint(x == -1, name="rx")
        p.addConstraint(rx)
        p.chgccoef(rx, -1, 1.0, "-(y ^ 2) * EXP(y / 10)")
        p.setObjective((y - 3) ** 2 + x)
        p.addvars([x, y], detrow=[rx, -1], initvalue=[0.0, 2.0])
        return p, x, y

    def off_row(p, x, y):
        sx, sy = p.getSolution(x, y)
        return abs(sx - (sy * sy * math.exp(sy / 10) - 1))

    p, x, y = model()
    p.controls.knls_iterlimit = 1
    p.controls.knls_stepbound = 0.2
    p.nlpoptimize()
    assert off_row(p, x, y) > 1e-3
    p, x, y = model()
    p.controls.knls_iterlimit = 1
    p.controls.knls_stepbound = 0.2
    p.controls.knls_cascade = 1
    p.nlpoptimize()
    assert off_row(p, x, y) < 1e-8
    # Both reach the same optimum.
    p.controls.knls_iterlimit = 1000
    p.nlpoptimize()
    cascaded = p.getSolution(y)
    assert off_row(p, x, y) < 1e-8
    p.controls.knls_cascade = 0
    p.nlpoptimize()
    assert p.getSolution(y) == pytest.approx(cascaded, abs=1e-5)


def test_solve_and_status_see_coefficients_given_by_methods():
    """The circle row's curvature comes from chgccoef only: solve() must
    hand the problem to the nonlinear solver, not solve the linear part."""
    p, x, y, _ = circle_model()
    p.solve()
    sx, sy = p.getSolution(x, y)
    assert sx * sx + sy * sy <= 4 + 1e-6
    assert sy == pytest.approx(Y_OPT, abs=1e-6)
    assert p.attributes.knls_status == korvo.nlp_locally_optimal
