"""The identity-keyed tables under heavy churn: the problem's index maps
through many deletions and a copy, and the bound and name side tables of
variables and constraints created and dropped in large numbers."""
import gc
import random

import numpy as np

import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def check_registry(p, variables, constraints):
    assert p.getVariable() == variables and p.getConstraint() == constraints
    for kind, objs in ((2, variables), (1, constraints)):
        for i, obj in enumerate(objs):
            assert p.getIndex(obj) == i
        # unnamed objects reach the library under their own default names
        for i in range(0, len(objs), 97):
            assert p.getIndexFromName(kind, str(objs[i])) == i


def test_index_maps_through_many_deletions_and_a_copy():
    rng = random.Random(11)
    n = 3000
    x = [korvo.var() for _ in range(n)]
    cons = [x[i] + 2 * x[(i + 1) % n] <= 5 for i in range(n)]
    p = korvo.problem()
    p.addVariable(x)
    p.addConstraint(cons)
    assert str(x[5]).startswith("C") and str(cons[5]).startswith("R")
    variables, constraints = list(x), list(cons)
    check_registry(p, variables, constraints)
    for _ in range(4):
        gone_v = sorted(rng.sample(range(len(variables)), len(variables) // 3))
        # a run of neighbours too: its identities share one probe run
        start = rng.randrange(len(constraints) - 200)
        gone_c = sorted(set(rng.sample(range(len(constraints)), len(constraints) // 4)) | set(range(start, start + 150)))
        dropped_v = [variables[i] for i in gone_v]
        dropped_c = [constraints[i] for i in gone_c]
        p.delVariable(gone_v)
        p.delConstraint(gone_c)
        variables = [v for i, v in enumerate(variables) if i not in set(gone_v)]
        constraints = [c for i, c in enumerate(constraints) if i not in set(gone_c)]
        check_registry(p, variables, constraints)
        for obj in rng.sample(dropped_v, 20) + rng.sample(dropped_c, 20):
            with pytest.raises(korvo.ModelError):
                p.getIndex(obj)
        # deleted objects can come back, at the end
        p.addVariable(dropped_v[:10])
        variables += dropped_v[:10]
        check_registry(p, variables, constraints)
    q = p.copy()
    p.delVariable(list(range(0, len(variables), 2)))
    check_registry(q, variables, constraints)
    for i, v in enumerate(variables[1::2]):
        assert p.getIndex(v) == i


def test_side_tables_keep_bounds_and_names_through_churn():
    rng = random.Random(5)
    alive = {}
    serial = 0
    for _ in range(5):
        for _ in range(3000):
            serial += 1
            v = korvo.var(lb=-serial - 0.5, ub=serial + 0.25, name=f"v{serial}")
            c = korvo.constraint(v <= serial + 0.75, name=f"c{serial}")
            alive[serial] = (v, c)
        for key in rng.sample(sorted(alive), len(alive) // 2):
            del alive[key]
        gc.collect()
        for key, (v, c) in alive.items():
            assert (v.lb, v.ub, str(v)) == (-key - 0.5, key + 0.25, f"v{key}")
            assert (c.ub, c.name) == (key + 0.75, f"c{key}")
    # entries replaced or taken back by the bound and name setters
    key, (v, c) = next(iter(alive.items()))
    v.lb, v.ub, v.name = 0, 1, "renamed"
    c.ub = 3.5
    assert (v.lb, v.ub, str(v), c.ub) == (0, 1, "renamed", 3.5)
    v.ub = 7.5
    assert v.ub == 7.5 and v.lb == 0


def test_bounds_of_array_made_objects_through_churn():
    # Comparisons with arrays of right-hand sides store one bound per
    # element, for objects with consecutive identities, between which single
    # objects (other identities) are made; bounds are then reset to values
    # kept in the object itself (0, 1, infinite), set again, and objects die.
    rng = random.Random(8)
    x = korvo.vars(400, name="")
    expected = {}  # id(constraint) -> (constraint, lb, ub)
    for round_ in range(6):
        n = rng.choice([3, 50, 400])
        rhs = np.array([rng.choice([0.0, 1.0, rng.uniform(-9, 9)]) for _ in range(n)])
        cons = x[:n] - 2 * x[::-1][:n] >= rhs
        for c, r in zip(cons, rhs):
            expected[id(c)] = (c, r, korvo.infinity)
        single = korvo.constraint(x[0] <= round_ + 0.5)
        expected[id(single)] = (single, -korvo.infinity, round_ + 0.5)
        del cons, single
        for key in rng.sample(sorted(expected), len(expected) // 3):
            c, lb, ub = expected[key]
            op = rng.random()
            if op < 0.4:
                del expected[key]
            else:
                lb = rng.choice([0.0, 1.0, -korvo.infinity, rng.uniform(-9, 9)])
                ub = rng.choice([1.0, korvo.infinity, rng.uniform(10, 20)])
                c.lb, c.ub = lb, ub
                expected[key] = (c, lb, ub)
        gc.collect()
        for c, lb, ub in expected.values():
            assert (c.lb, c.ub) == (lb, ub)


def test_batches_reserved_on_a_filled_registry_keep_indices():
    # A large batch reserves the registry's room up front; a batch refused
    # midway leaves the indices of what is in the problem intact.
    x = korvo.vars(2500)
    first = list(x[1:] - x[:-1] <= 1)
    second = list(x[1:] + x[:-1] >= 0)
    p = korvo.problem()
    p.addVariable(x)
    p.addConstraint(first)
    with pytest.raises(korvo.ModelError, match="already added"):
        p.addConstraint(second[:1500] + [first[7]] + second[1500:])
    held = p.getConstraint()
    assert held[:len(first)] == first
    check_registry(p, list(x), held)
    taken = {id(c) for c in held[len(first):]}
    rest = [c for c in second if id(c) not in taken]
    p.addConstraint(rest)
    assert len(p.getConstraint()) == len(first) + len(second)
    check_registry(p, list(x), p.getConstraint())
