"""Second-order steps of the nonlinear solver: chained Rosenbrock from the
origin, a start where the Lagrangian's Hessian is indefinite, curved
equality rows, the step-type control, and what the linear steps keep
(integer columns)."""
import math

import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def rosenbrock(n, start=0.0):
    x = [korvo.var(lb=-korvo.infinity, ub=korvo.infinity) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(korvo.Sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(n - 1)))
    p.addvars(x, initvalue=[start] * n)
    return p, x


@pytest.mark.parametrize("n", [10, 100])
def test_chained_rosenbrock_reaches_zero_from_the_origin(n):
    p, x = rosenbrock(n)
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(0.0, abs=1e-8)
    assert p.getSolution(x) == pytest.approx([1.0] * n, abs=1e-4)
    # Newton-like convergence: far fewer iterations than the linear steps need.
    assert p.attributes.knls_iterations < 200


def test_linear_steps_stay_available_and_are_slower_on_curvature():
    p, x = rosenbrock(10)
    p.controls.knls_steptype = 1
    p.controls.knls_iterlimit = 60
    p.nlpoptimize()
    linear_obj = p.getObjVal()
    q, _ = rosenbrock(10)
    q.controls.knls_steptype = 2
    q.controls.knls_iterlimit = 60
    q.nlpoptimize()
    assert q.getObjVal() == pytest.approx(0.0, abs=1e-8)
    assert linear_obj > 1e-6
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.controls.knls_steptype = 3
    assert p.controls.knls_steptype == 1


def test_indefinite_hessian_at_the_start_converges():
    # f = x^4 - 2x^2 + y^2 + x*y has a negative curvature in x at x = 0.1;
    # its minimisers satisfy 4x^3 - 4x + y = 0, 2y + x = 0.
    x = korvo.var(lb=-5, ub=5)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem()
    p.addVariable(x, y)
    p.setObjective(x ** 4 - 2 * x ** 2 + y ** 2 + x * y)
    p.addvars([x, y], initvalue=[0.1, 0.0])
    p.controls.knls_steptype = 2
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    xv, yv = p.getSolution([x, y])
    # Stationary, and a minimiser (not the saddle at the origin).
    # (The solve stops on the objective's change, 1e-7 relative.)
    assert 4 * xv ** 3 - 4 * xv + yv == pytest.approx(0.0, abs=1e-3)
    assert 2 * yv + xv == pytest.approx(0.0, abs=1e-3)
    assert abs(xv) == pytest.approx(math.sqrt(9 / 8), rel=1e-4)


def test_curved_equalities_and_multipliers():
    # min x + y on the circle x^2 + y^2 = 2: x = y = -1 with multiplier 1/2
    # (gradient of the objective = lambda * gradient of the row).
    x = korvo.var(lb=-3, ub=3)
    y = korvo.var(lb=-3, ub=3)
    p = korvo.problem()
    p.addVariable(x, y)
    c = korvo.constraint(x ** 2 + y ** 2 == 2)
    p.addConstraint(c)
    p.setObjective(x + y)
    p.addvars([x, y], initvalue=[0.5, -1.5])
    p.controls.knls_steptype = 2
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.getSolution([x, y]) == pytest.approx([-1.0, -1.0], abs=1e-6)
    assert abs(p.getDual(c)) == pytest.approx(0.5, rel=1e-4)


def test_integer_columns_keep_their_linear_steps():
    x = korvo.var(lb=0, ub=4)
    z = korvo.var(vartype=korvo.integer, lb=0, ub=4)
    p = korvo.problem()
    p.addVariable(x, z)
    p.addConstraint(x * z + korvo.exp(0.1 * x) >= 3.5)
    p.setObjective((x - 1.3) ** 2 + z)
    p.controls.knls_steptype = 2
    p.nlpoptimize()
    zv, xv = p.getSolution(z), p.getSolution(x)
    assert zv == pytest.approx(round(zv), abs=1e-6)
    assert xv * zv + math.exp(0.1 * xv) >= 3.5 - 1e-5


def test_discretised_control_converges_with_consistent_multipliers():
    """Equality rows only (the subproblems go through the optimality
    system): few iterations, and the duals satisfy stationarity in u."""
    steps = 150
    h = 1.0 / steps
    x = [korvo.var(lb=-10, ub=10) for _ in range(steps + 1)]
    u = [korvo.var(lb=-3, ub=3) for _ in range(steps)]
    p = korvo.problem()
    p.addVariable(x, u)
    dyn = [korvo.constraint(x[t + 1] - x[t] - h * (x[t] ** 2 + u[t]) == 0) for t in range(steps)]
    p.addConstraint(dyn)
    p.addConstraint(x[0] == 1)
    p.setObjective(korvo.Sum(h * (x[t] ** 2 + u[t] ** 2) for t in range(steps)) + x[steps] ** 2)
    p.addvars(x + u, initvalue=[1.0] * (steps + 1) + [0.0] * steps)
    p.nlpoptimize()
    assert p.getProbStatus() == korvo.nlp_locally_optimal
    assert p.attributes.knls_iterations <= 12
    uv = p.getSolution(u)
    lam = p.getDual(dyn)
    # d/du_t: 2 h u_t = lambda_t * d(row_t)/du_t = -h lambda_t (up to the
    # dual's sign convention, the same for every row).
    sign = 1.0 if uv[0] * lam[0] < 0 else -1.0
    for ut, lt in zip(uv, lam):
        assert 2 * ut == pytest.approx(-sign * lt, abs=1e-5)
    # The linear steps reach the same point, in many more iterations.
    q_obj = p.getObjVal()
    p.controls.knls_steptype = 1
    p.addvars(x + u, initvalue=[1.0] * (steps + 1) + [0.0] * steps)
    p.nlpoptimize()
    assert p.getObjVal() == pytest.approx(q_obj, rel=1e-4)
