"""The nonlinear solver keeps its subproblem between iterations and between
solves of the same problem, changing in place only what differs. A solve
after changes (bounds, coefficients, right-hand sides, added rows and
columns, a second solve of the same model) must end where a solve of a
fresh problem with the same changes ends; and the penalty is raised when a
larger one removes some of the linearisation's errors."""
import random

import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def covering_with_products(n, pairs, seed, steptype):
    """min c'x over a covering LP (rows of four columns >= 1) plus rows
    x[a] * x[b] >= 2, from x = 0.5."""
    rng = random.Random(seed)
    x = [korvo.var(lb=0, ub=10) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    members = [rng.sample(range(n), 4) for _ in range(n // 2)]
    cover = [korvo.constraint(korvo.Sum(x[j] for j in row) >= 1) for row in members]
    p.addConstraint(cover)
    chosen = rng.sample(range(n), 2 * pairs)
    prods = list(zip(chosen[::2], chosen[1::2]))
    p.addConstraint([x[a] * x[b] >= 2 for a, b in prods])
    p.setObjective(korvo.Sum(rng.uniform(1, 2) * v for v in x))
    p.addvars(x, initvalue=[0.5] * n)
    p.controls.knls_steptype = steptype
    return p, x, cover, prods, members


def assert_same_result(p, q, cols_p, cols_q):
    assert p.attributes.knls_status == korvo.nlp_locally_optimal
    assert q.attributes.knls_status == korvo.nlp_locally_optimal
    assert p.getObjVal() == pytest.approx(q.getObjVal(), rel=1e-7, abs=1e-7)
    assert p.getSolution(cols_p) == pytest.approx(q.getSolution(cols_q), abs=1e-5)


# steptype 1: linear subproblems (the simplex warm start); 0 on a model of
# this size: quadratic ones after a linear first step (the subproblem
# switches between LP and QP); 2000 columns with linear steps: the first
# subproblem is solved by the interior point method.
CASES = [(120, 1), (120, 0), (2000, 1)]


@pytest.mark.parametrize("n,steptype", CASES)
def test_second_solve_and_bound_changes_match_a_fresh_problem(n, steptype):
    p, x, cover, prods, members = covering_with_products(n, 4, 7, steptype)
    p.nlpoptimize()
    first_obj, first_sol = p.getObjVal(), p.getSolution(x)
    first_iterations = p.attributes.knls_iterations
    p.nlpoptimize()
    assert p.getObjVal() == pytest.approx(first_obj, rel=1e-8)
    assert p.getSolution(x) == pytest.approx(first_sol, abs=1e-6)
    assert p.attributes.knls_iterations <= first_iterations + 2

    def change(problem, cols):
        a, b = prods[0]
        c, d = prods[1]
        problem.chgbounds([cols[a], cols[c], cols[d]], ["U", "L", "U"], [1.25, 1.5, 3.0])
        # A column no covering row needs at its lower bound now.
        problem.chgbounds([cols[n - 1]], ["L"], [0.75])

    change(p, x)
    p.nlpoptimize()
    q, y, _, _, _ = covering_with_products(n, 4, 7, steptype)
    change(q, y)
    q.nlpoptimize()
    assert_same_result(p, q, x, y)
    sol = p.getSolution(x)
    a, b = prods[0]
    assert sol[a] <= 1.25 + 1e-9 and sol[a] * sol[b] >= 2 - 1e-5
    assert sol[n - 1] >= 0.75 - 1e-9


@pytest.mark.parametrize("n,steptype", CASES)
def test_model_changes_between_solves_match_a_fresh_problem(n, steptype):
    p, x, cover, prods, members = covering_with_products(n, 4, 11, steptype)
    p.nlpoptimize()

    def change_coefficients(problem, cols, rows):
        problem.chgcoef(rows[0], cols[0], 3.0)
        # Coefficients leaving the matrix: a covering row keeps one column.
        for j in members[3][1:]:
            problem.chgcoef(rows[3], cols[j], 0.0)
        problem.chgrhs([rows[1], rows[2]], [1.5, 2.0])
        problem.chgobj([cols[5]], [0.25])

    def add_column_and_rows(problem, cols):
        # A new column entering a new curved row (its factor starts at 0:
        # the other column's coefficient is absent from the first
        # linearisation and appears later) and a new linear row.
        w = korvo.var(lb=0, ub=5)
        problem.addVariable(w)
        problem.addConstraint(w * cols[3] >= 1.5)
        problem.addConstraint(w + cols[4] <= 4)
        problem.chgobj([w], [0.5])
        problem.addvars([w], initvalue=[0.0])
        return w

    def fresh(*stages):
        q, y, qcover, _, _ = covering_with_products(n, 4, 11, steptype)
        extra = []
        for stage in stages:
            if stage == "coefficients":
                change_coefficients(q, y, qcover)
            elif stage == "column":
                extra.append(add_column_and_rows(q, y))
            else:
                q.delConstraint(qcover[0])
        q.nlpoptimize()
        return q, y + extra

    # The same shape: changed in place.
    change_coefficients(p, x, cover)
    p.nlpoptimize()
    q, y = fresh("coefficients")
    assert_same_result(p, q, x, y)
    assert p.getSolution(x[members[3][0]]) >= 1 - 1e-6

    w = add_column_and_rows(p, x)
    p.nlpoptimize()
    q, y = fresh("coefficients", "column")
    assert_same_result(p, q, x + [w], y)
    sol = p.getSolution(x + [w])
    assert sol[-1] * sol[3] >= 1.5 - 1e-5

    p.delConstraint(cover[0])
    p.nlpoptimize()
    q, y = fresh("coefficients", "column", "row removed")
    assert_same_result(p, q, x + [w], y)


def test_integer_columns_across_solves():
    def build():
        x = korvo.var(lb=0, ub=4)
        z = korvo.var(vartype=korvo.integer, lb=0, ub=4)
        p = korvo.problem()
        p.addVariable(x, z)
        p.addConstraint(x * z + korvo.exp(0.1 * x) >= 3.5)
        p.addConstraint(x + z <= 6)
        p.setObjective((x - 1.3) ** 2 + z)
        return p, [x, z]

    p, cols = build()
    p.nlpoptimize()
    p.chgbounds([cols[1]], ["U"], [1])
    p.nlpoptimize()
    q, qcols = build()
    q.chgbounds([qcols[1]], ["U"], [1])
    q.nlpoptimize()
    xv, zv = p.getSolution(cols)
    assert zv == pytest.approx(1.0, abs=1e-6)
    assert xv * zv + 2.718281828 ** (0.1 * xv) >= 3.5 - 1e-5
    assert p.getObjVal() == pytest.approx(q.getObjVal(), rel=1e-6)
    assert p.getSolution(cols) == pytest.approx(q.getSolution(qcols), abs=1e-5)


def penalty_model():
    """Two curved rows whose violation pays: x's at 25 per unit of error,
    y's at 125. The first linear step (from the feasible optimum, radius 1)
    wants both violated; a tenfold penalty removes x's errors only (less
    than a tenth of all), a hundredfold y's as well."""
    x = korvo.var(lb=0, ub=10)
    y = korvo.var(lb=0, ub=10)
    p = korvo.problem()
    p.addVariable(x, y)
    p.addConstraint(x ** 2 <= 1)
    p.addConstraint(20 * y ** 2 <= 20)
    p.setObjective(-50 * x - 5000 * y)
    p.addvars([x, y], initvalue=[1.0, 1.0])
    return p, [x, y]


@pytest.mark.parametrize("steptype", [1, 0])
def test_penalty_raised_when_it_removes_some_errors(steptype):
    # Kept at its first value, the penalty lets the first step leave the
    # feasible optimum far behind (to (2, 2)), and the iterations spend
    # many steps coming back.
    p, cols = penalty_model()
    p.controls.knls_steptype = steptype
    p.controls.knls_iterlimit = 4
    p.nlpoptimize()
    assert p.attributes.knls_status == korvo.nlp_locally_optimal
    assert p.attributes.knls_iterations <= 3
    assert p.getObjVal() == pytest.approx(-5050, rel=1e-9)
    assert p.getSolution(cols) == pytest.approx([1.0, 1.0], abs=1e-7)


def test_penalty_not_raised_beyond_its_limit():
    # A penalty limit below what y's row needs: the solve cannot make the
    # point feasible and says so instead of claiming an optimum.
    p, cols = penalty_model()
    p.controls.knls_steptype = 1
    p.controls.knls_maxpenalty = 50
    p.nlpoptimize()
    assert p.attributes.knls_status != korvo.nlp_locally_optimal
    x, y = p.getSolution(cols)
    assert 20 * y * y > 20 + 1e-3
