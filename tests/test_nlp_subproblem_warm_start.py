"""Quadratic subproblems of the nonlinear solver started from the last
subproblem's active set: the results must be those of a solve whose
subproblems start afresh (linear steps) on models where the active set
moves between iterations and where a column's coefficients vanish."""
import random

import pytest

import korvo


def covering_with_products(n, pairs, seed):
    """min c'x over a covering LP (rows of four columns >= 1) plus rows
    x[a] * x[b] >= 2; returns (problem, columns, covering rows, pairs)."""
    rng = random.Random(seed)
    x = [korvo.var(lb=0, ub=10) for _ in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    cover = [rng.sample(range(n), 4) for _ in range(n // 2)]
    p.addConstraint([korvo.Sum(x[j] for j in row) >= 1 for row in cover])
    chosen = rng.sample(range(n), 2 * pairs)
    prods = list(zip(chosen[::2], chosen[1::2]))
    p.addConstraint([x[a] * x[b] >= 2 for a, b in prods])
    p.setObjective(korvo.Sum(rng.uniform(1, 2) * v for v in x))
    p.addvars(x, initvalue=[0.5] * n)
    return p, x, cover, prods


@pytest.mark.parametrize("seed", [2, 5])
def test_curved_and_linear_steps_agree_on_mostly_linear_model(quiet, seed):
    results = []
    for second_order in (1, 0):
        p, x, cover, prods = covering_with_products(120, 4, seed)
        p.controls.knls_secondorder = second_order
        p.nlpoptimize()
        assert p.attributes.knls_status == korvo.nlp_locally_optimal
        sol = p.getSolution(x)
        for row in cover:
            assert sum(sol[j] for j in row) >= 1 - 1e-6
        for a, b in prods:
            assert sol[a] * sol[b] >= 2 - 1e-5
        results.append(p.attributes.knls_objval)
    assert results[0] == pytest.approx(results[1], rel=1e-5)


def test_column_whose_coefficients_vanish(quiet):
    """q multiplies px + py; at py = px = 0 its linearised coefficients all
    vanish, so a basis that kept q basic is singular for the next
    subproblem. The solve must still reach a feasible point."""
    a, b, px, py = (korvo.var(lb=0, ub=100) for _ in range(4))
    q = korvo.var(lb=1, ub=3)
    p = korvo.problem()
    p.addVariable(a, b, px, py, q)
    p.addConstraint(a + b == px + py, q * px + q * py == 3 * a + b, px + py <= 100, q * py <= 2 * py)
    p.setObjective(9 * px + 15 * py - 6 * a - 16 * b + 0.1 * (q - 2) ** 2, sense=korvo.maximize)
    p.addvars([a, b, px, py, q], initvalue=[50.0, 50.0, 50.0, 50.0, 2.0])
    p.nlpoptimize()
    assert p.attributes.knls_status in (korvo.nlp_locally_optimal, korvo.nlp_globally_optimal)
    va, vb, vpx, vpy, vq = p.getSolution([a, b, px, py, q])
    assert va + vb == pytest.approx(vpx + vpy, abs=1e-5)
    assert vq * (vpx + vpy) == pytest.approx(3 * va + vb, abs=1e-4)
    assert vq * vpy <= 2 * vpy + 1e-5
