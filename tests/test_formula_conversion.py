"""Splitting expressions for the solvers: linear and quadratic parts, token
formulas of nonlinear coefficients, balanced operator order, depth limit."""
import os

import pytest

import korvo

END, CON, COL, DEL, OP = 0, 1, 10, 22, 31
NEG, POW, MUL, DIV, ADD, SUB = 1, 2, 3, 4, 5, 6


pytestmark = pytest.mark.usefixtures("quiet")


@pytest.fixture
def xyzw():
    return [korvo.var(name=n, lb=-10, ub=10) for n in "xyzw"]


def coefficients(p):
    rows, cols = [], []
    p.getcoefs(rows, cols)
    return list(zip(rows, cols))


def tokens(p, row, col):
    factor, count, types, values = p.getcoefformula(row, col, 1, 200)
    assert count == len(types)
    return factor, list(zip(types, [v if t != COL and t != OP else int(v) for t, v in zip(types, values)]))


def test_linear_constraint_gives_no_formula(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y)
    p.addConstraint(x + y <= 1)
    assert coefficients(p) == []
    assert p.attributes.rows == 1


def test_product_at_top_takes_its_variable_as_column(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    p.addConstraint(x * y * z <= 1)
    [(row, col)] = coefficients(p)
    assert row == 0
    assert col == p.getIndex(z)  # the product is z * (x*y)
    factor, toks = tokens(p, row, col)
    assert factor == 1.0
    assert toks == [(COL, 0), (COL, 1), (OP, MUL), (END, 0)]


def test_numbers_in_a_top_product_become_the_factor(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    e = x * y * z
    e *= 3  # the product's list becomes [z, x*y, 3.0]
    p.addConstraint(e <= 1)
    [(row, col)] = coefficients(p)
    assert col == p.getIndex(z)
    factor, toks = tokens(p, row, col)
    assert factor == 3.0
    # Only the product's remaining operand is written; no dangling operator.
    assert toks == [(COL, 0), (COL, 1), (OP, MUL), (END, 0)]


def test_formula_without_column_uses_the_formula_column(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    p.addConstraint(x**3 + 2 * y <= 4)
    [(row, col)] = coefficients(p)
    assert col == -1  # the column that multiplies no variable
    factor, toks = tokens(p, row, col)
    assert toks == [(COL, 0), (CON, 3.0), (OP, POW), (END, 0)]


def test_difference_negates_the_second_formula(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    p.addConstraint(x * y * z - y * z * w <= 0)
    coefs = coefficients(p)
    assert sorted(c for _, c in coefs) == [p.getIndex(z), p.getIndex(w)]
    assert tokens(p, 0, p.getIndex(z))[0] == 1.0
    factor, toks = tokens(p, 0, p.getIndex(w))
    assert factor == -1.0
    assert toks == [(COL, 1), (COL, 2), (OP, MUL), (END, 0)]


def test_sum_of_five_operands_in_balanced_order(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    inner = x**3 + y**3 + z**3 + w**3 + x / y
    p.addConstraint(1 / inner <= 1)
    [(row, col)] = coefficients(p)
    _, toks = tokens(p, row, col)
    ops = [t for t in toks if t[0] == OP]
    cube = lambda c: [(COL, c), (CON, 3.0), (OP, POW)]
    expected = [(CON, 1.0)] + cube(0) + cube(1) + [(OP, ADD)] + cube(2) + cube(3) + [(OP, ADD), (OP, ADD)]
    expected += [(COL, 0), (COL, 1), (OP, DIV), (OP, ADD), (OP, DIV), (END, 0)]
    assert toks == expected
    assert ops.count((OP, ADD)) == 4


def test_terms_and_expressions_inside_formulas(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    p.addConstraint((2 * x + 3 * y * y - z + 1) ** 3 <= 1)
    [(row, col)] = coefficients(p)
    _, toks = tokens(p, row, col)
    # constant, 2x, -z, 3 y*y joined by sums as a balanced tree
    assert toks == [(CON, 1.0), (CON, 2.0), (COL, 0), (OP, MUL), (OP, ADD), (COL, 2), (OP, NEG), (CON, 3.0),
                    (COL, 1), (COL, 1), (OP, MUL), (OP, MUL), (OP, ADD), (OP, ADD), (CON, 3.0), (OP, POW), (END, 0)]


def test_batch_formula_starts_run_across_constraints(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y, z, w)
    p.addConstraint([x**3 <= 1, y + z <= 2, z / w >= 1, w**4 + x <= 3])
    coefs = coefficients(p)
    assert sorted(coefs) == [(0, -1), (2, -1), (3, -1)]
    assert tokens(p, 2, -1)[1] == [(COL, 2), (COL, 3), (OP, DIV), (END, 0)]
    assert tokens(p, 3, -1)[1] == [(COL, 3), (CON, 4.0), (OP, POW), (END, 0)]


def nested_quotient(x, levels):
    e = x
    for _ in range(levels):
        e = 1 / e
    return e


def test_depth_limit_of_formulas(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x)
    # 63 quotients and the leaf: 64 levels
    p.addConstraint(nested_quotient(x, 63) <= 1)
    with pytest.raises(korvo.ModelError, match="expression tree depth reached the maximum limit"):
        p.addConstraint(nested_quotient(x, 64) <= 1)
    assert p.attributes.rows == 1 and len(p.getConstraint()) == 1


def test_variables_must_be_in_the_problem(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x)
    with pytest.raises(korvo.ModelError, match="Variable in linear part of constraint has not been added"):
        p.addConstraint(x + y <= 1)
    with pytest.raises(korvo.ModelError, match="Variable in quadratic part of constraint has not been added"):
        p.addConstraint(x * y + x <= 1)
    with pytest.raises(korvo.ModelError, match="not been added to problem yet"):
        p.addConstraint(x**3 + y**3 <= 1)
    with pytest.raises(korvo.ModelError, match="Variable in linear term defining constraint has not been added"):
        p.setObjective(2 * y)
    assert p.attributes.rows == 0 and p.getConstraint() == []


def test_quadratic_conventions_of_objective_and_rows(xyzw, tmp_path):
    x, y, z, w = xyzw
    p = korvo.problem(x, y)
    p.addConstraint(korvo.constraint(x * x + 3 * x * y + y * y <= 3, name="q"))
    # minimise 2x^2 - 4x + xy + y^2: stationary at x = 8/7, y = -4/7
    p.setObjective(2 * x * x - 4 * x + x * y + y * y)
    p.delConstraint(0)
    p.solve()
    assert p.getSolution(x) == pytest.approx(8 / 7, abs=1e-6)
    assert p.getSolution(y) == pytest.approx(-4 / 7, abs=1e-6)
    assert p.getObjVal() == pytest.approx(-16 / 7, abs=1e-6)
    q = korvo.problem(x, y)
    q.addConstraint(korvo.constraint(x * x + 3 * x * y + y * y <= 3, name="q"))
    path = os.path.join(tmp_path, "q.lp")
    q.write(path)
    assert "[ + x ^ 2 + 3 x * y + y ^ 2 ] <= 3" in open(path).read()


def test_function_tokens_delimiters_and_argument_order(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y)
    exprs = [korvo.max(x, y, 2), korvo.And(x, y), korvo.pwl({(0, 1): x, (1, 2): 2 * x - 1}),
             -korvo.exp(x), korvo.sqrt(korvo.abs(x)), korvo.Or(x, y)]
    p.addConstraint([e <= 10 for e in exprs])
    FUN = 12
    expected = [
        [(DEL, 0), (COL, 0), (COL, 1), (CON, 2.0), (FUN, 34), (END, 0)],
        [(DEL, 0), (COL, 0), (COL, 1), (FUN, 51), (END, 0)],
        # points in reverse, the argument last: the solver takes t, x0, y0, ... from its stack
        [(DEL, 0), (CON, 3.0), (CON, 2.0), (CON, 1.0), (CON, 1.0), (CON, 0.0), (CON, 0.0), (COL, 0), (FUN, 35),
         (END, 0)],
        [(DEL, 0), (COL, 0), (FUN, 16), (OP, NEG), (END, 0)],
        [(DEL, 0), (DEL, 0), (COL, 0), (FUN, 17), (FUN, 18), (END, 0)],
        [(DEL, 0), (COL, 0), (COL, 1), (FUN, 52), (END, 0)],
    ]
    for row, toks in enumerate(expected):
        got = tokens(p, row, -1)[1]
        assert [(t, int(v)) if t in (FUN, DEL, END) else (t, v) for t, v in got] == toks, row


def test_logical_functions_evaluate_like_the_model(xyzw):
    # And/Or are the solver's logical functions, not min/max: And(0.5, 0.7) is 1.
    x, y = korvo.var(lb=0.5, ub=0.5), korvo.var(lb=0.7, ub=0.7)
    p = korvo.problem(x, y)
    p.setObjective(korvo.And(x, y) + korvo.Or(x, y))
    p.solve()
    assert p.getObjVal() == pytest.approx(1.0)
    assert korvo.evaluate(korvo.And(x, y) + korvo.Or(x, y), solution={x: 0.5, y: 0.7}) == 1.0


def subtract(a, b):
    return a - b


def test_user_function_arguments_in_order(xyzw):
    x, y, z, w = xyzw
    p = korvo.problem(x, y)
    p.addConstraint(x == 3, y == 1, korvo.user(subtract, x, y) >= 0)
    _, toks = tokens(p, 2, -1)
    # operands last to first, so the solver's stack hands them back in order
    assert toks == [(DEL, 0), (COL, 1), (COL, 0), (11, 1.0), (END, 0)]
    x.lb = x.ub = 3
    y.lb = y.ub = 1
    q = korvo.problem(x, y)
    q.setObjective(korvo.user(subtract, x, y) + x)
    q.solve()
    assert q.getObjVal() == pytest.approx(5.0, abs=1e-6)  # (3 - 1) + 3


def test_linear_rows_hold_in_a_nonlinear_solve():
    x = korvo.var(lb=-10, ub=10)
    p = korvo.problem(x, x >= 1)
    p.setObjective(korvo.exp(x))
    p.solve()
    assert p.getSolution(x) == pytest.approx(1.0, abs=1e-6)


def test_coefficient_methods_keywords_lengths_and_missing_arguments(xyzw):
    x, y, z, w = xyzw
    c1, c2 = x**3 <= 1, korvo.exp(y) * x + korvo.sin(y) <= 2
    p = korvo.problem(x, y, c1, c2)
    rows, cols = [], []
    p.getcoefs(rowindex=rows, colindex=cols)  # legacy spellings
    assert sorted(zip(rows, cols)) == [(0, -1), (1, -1), (1, 0)]
    factor, count, types, values = p.getcoefformula(row=c2, col=x, parsed=1, maxtypes=4)
    assert count == 4 and types == [DEL, COL, 12, END] and values[1:3] == [1.0, 16.0]  # exp(y) times column x
    assert p.getcoefformula(rowindex=1, colindex="x", parsed=1, bufsize=10)[1] == 4
    with pytest.raises(korvo.InterfaceError, match="Incorrect argument to getcoefformula or excessive buffersize"):
        p.getcoefformula(0, -1, 1, -5)
    with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 2, found 3"):
        p.delcoefs([0, 1], [-1, -1, 0])
    with pytest.raises(korvo.InterfaceError, match="Must provide arguments rowind, colind"):
        p.delcoefs(None, None)
    with pytest.raises(korvo.InterfaceError, match="Must provide argument colind"):
        p.delcoefs([0], None)
    with pytest.raises(TypeError):
        p.delcoefs(rowind=[0])
    with pytest.raises(korvo.ModelError, match="Constraint .* not in problem"):
        p.delcoefs([y <= 1], [x])
    p.delcoefs(rowind=[c2], colind=[x])
    rows, cols = [], []
    p.getcoefs(rows, cols)
    assert sorted(zip(rows, cols)) == [(0, -1), (1, -1)]
    with pytest.raises(korvo.SolverError):
        p.getcoefformula(c2, x, 1, 10)  # no coefficient there any more
