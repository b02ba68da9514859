"""Builders for the solve_many tests: module-level, so that worker
processes import them by name."""
import korvo


def knapsack(seed):
    """A small knapsack MIP whose data depend on the seed; (problem, variables)."""
    korvo.setOutputEnabled(False)
    n = 8
    weights = [((seed * 7 + 3 * i) % 11) + 1 for i in range(n)]
    values = [((seed * 5 + 2 * i) % 13) + 1 for i in range(n)]
    x = [korvo.var(vartype=korvo.binary, name=f"x{i}") for i in range(n)]
    p = korvo.problem(x, korvo.Sum(w * v for w, v in zip(weights, x)) <= 15,
                      korvo.Sum(c * v for c, v in zip(values, x)), sense=korvo.maximize)
    return p, {"take": x}


def failing_builder(seed):
    if seed == 3:
        raise ValueError(f"no data for scenario {seed}")
    return knapsack(seed)


def infeasible(seed):
    korvo.setOutputEnabled(False)
    x = korvo.var(ub=1)
    return korvo.problem(x, x >= 2 + seed, x)
