"""Small nonlinear models shared by the nonlinear solver's tests."""
import korvo


def circle_problem():
    """min x - 2y  s.t.  x^2 + y^2 <= 4 (row c1: a nonlinear formula in which
    the row's linear x + y cancels), x + y >= 1 (row c2). The optimum is
    where both hold with equality: x = (1 - sqrt(7))/2, y = (1 + sqrt(7))/2.
    Returns (problem, x, y, c1, c2)."""
    x = korvo.var(name="x", lb=-10, ub=10)
    y = korvo.var(name="y", lb=-10, ub=10)
    p = korvo.problem()
    p.addVariable(x, y)
    c1 = korvo.constraint(x + y <= 4, name="c1")
    c2 = korvo.constraint(x + y >= 1, name="c2")
    p.addConstraint(c1, c2)
    p.chgccoef(c1, -1, 1.0, "x ^ 2 + y ^ 2 - x - y")
    p.setObjective(x - 2 * y)
    return p, x, y, c1, c2


def circle_model_from_start():
    """The circle problem with SLP variables starting from (1, 0.5);
    returns (problem, x, y, c1)."""
    p, x, y, c1, _ = circle_problem()
    p.addvars([x, y], initvalue=[1.0, 0.5])
    return p, x, y, c1
