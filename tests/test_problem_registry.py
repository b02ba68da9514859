"""The problem's registry: constructor elements, adding, deleting and looking
up variables, constraints and sets, and the registry staying in step with the
library after errors."""
import numpy as np
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def names(objs):
    return [str(o) for o in objs]


def test_constructor_elements_by_first_leaf():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    c1 = korvo.constraint(x + y <= 1, name="c1")
    p = korvo.problem(x, y, c1, x + y, sense=korvo.maximize)
    assert p.getVariable() == [x, y] and p.getConstraint() == [c1]
    assert p.attributes.cols == 2 and p.attributes.rows == 1
    p.solve()
    assert p.getObjVal() == pytest.approx(1.0)
    # A variable already in the problem is the objective.
    q = korvo.problem(x, c1 if False else x <= 3, x, sense=korvo.maximize)
    q.solve()
    assert q.getObjVal() == pytest.approx(3.0)
    # The objective may come before the variables it uses.
    r = korvo.problem(2 * x, [x], x >= 1)
    r.solve()
    assert r.getObjVal() == pytest.approx(2.0)


def test_constructor_containers_and_generators():
    xs = [korvo.var(name=f"x{i}") for i in range(4)]
    p = korvo.problem((v for v in xs), {"a": xs[0] <= 1, "b": [xs[1] <= 2]}, "named")
    assert p.getVariable() == xs  # the generator's first item included
    assert p.attributes.rows == 2 and p.name() == "named"
    q = korvo.problem(iter(xs[:2]), [], ())
    assert q.getVariable() == xs[:2]
    with pytest.raises(korvo.ModelError, match="Incorrect objects added as variables to problem"):
        korvo.problem([xs[0], xs[0] <= 1])
    with pytest.raises(korvo.ModelError, match="More than one string passed in problem declaration"):
        korvo.problem("a", "b")
    with pytest.raises(korvo.ModelError, match="At most one expression can be used as an objective function"):
        korvo.problem(xs[0], xs[0], xs[0] + 1)
    with pytest.raises(korvo.ModelError, match="it should not be in an aggregate structure"):
        korvo.problem(xs[0], [xs[0] + 1])
    with pytest.raises(korvo.ModelError, match="Only one objective can be set"):
        korvo.problem(xs[0], xs[1], np.array([xs[0] + 1, xs[1] + 1], dtype=object))
    with pytest.raises(korvo.ModelError, match="Erroneous problem declaration"):
        korvo.problem([["name"]])
    with pytest.raises(korvo.ModelError, match="Erroneous problem declaration"):
        korvo.problem(3.5)


def test_add_variable_batches_and_duplicates():
    x = korvo.var(name="x", lb=-2, ub=3)
    b = korvo.var(vartype=korvo.binary, name="b")
    i = korvo.var(vartype=korvo.integer, lb=1, ub=9, name="i")
    p = korvo.problem()
    p.addVariable(x, [b, (i,)], [])
    assert p.getVariable() == [x, b, i] and [p.getIndex(v) for v in (x, b, i)] == [0, 1, 2]
    assert p.attributes.cols == 3
    with pytest.raises(korvo.ModelError, match="Variable already added to problem"):
        p.addVariable(x)
    y = korvo.var(name="y")
    with pytest.raises(korvo.ModelError, match="Variable already added to problem"):
        p.addVariable(y, y)
    # A failed call leaves neither registry nor library changed.
    assert p.getVariable() == [x, b, i] and p.attributes.cols == 3
    with pytest.raises(korvo.ModelError, match="Incorrect objects added as variables to problem"):
        p.addVariable(y, 5)
    assert p.attributes.cols == 3 and len(p.getVariable()) == 3
    p.addVariable(y)
    assert p.getIndex(y) == 3 and p.getIndexFromName(2, "y") == 3
    p.addVariable()
    assert p.attributes.cols == 4


def test_variable_types_bounds_and_names_reach_the_library(tmp_path):
    long_name = "v" * 300  # names keep 255 characters in a problem and its files
    x = korvo.var(name=long_name, lb=-1, ub=1)
    s = korvo.var(vartype=korvo.semicontinuous, threshold=2, ub=5, name="s")
    p = korvo.problem(x, s)
    assert p.getIndexFromName(2, "v" * 255) == 0
    path = str(tmp_path / "types.lp")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    xr, sr = q.getVariable()
    assert xr.lb == -1 and xr.ub == 1 and str(xr) == "v" * 255
    assert sr.vartype == korvo.semicontinuous and sr.ub == 5
    bad = korvo.var(vartype=korvo.semicontinuous, threshold=7, ub=5)
    with pytest.raises(korvo.ModelError, match="check that its threshold is between its lower and upper bounds"):
        p.addVariable(bad)


def test_delete_and_lookup_by_index_range_and_object():
    xs = [korvo.var(name=f"x{i}") for i in range(5)]
    p = korvo.problem(xs)
    p.delVariable([1, 3])
    assert p.getVariable() == [xs[0], xs[2], xs[4]]
    assert [p.getIndex(v) for v in (xs[0], xs[2], xs[4])] == [0, 1, 2]
    assert p.attributes.cols == 3 and p.getIndexFromName(2, "x4") == 2
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getIndex(xs[1])
    p.delVariable(xs[2])
    assert names(p.getVariable()) == ["x0", "x4"]
    p.delVariable(np.array([1, 1]))  # a repeated index is deleted once
    assert names(p.getVariable()) == ["x0"] and p.attributes.cols == 1
    with pytest.raises(korvo.ModelError, match="Variable .* not in problem"):
        p.delVariable([xs[3]])
    with pytest.raises(korvo.ModelError, match="Index out of bounds"):
        p.delVariable(5)
    with pytest.raises(korvo.ModelError, match="At least one parameter must be specified"):
        p.delVariable()
    assert p.getVariable() == [xs[0]]


def test_range_selection_messages():
    xs = [korvo.var() for _ in range(4)]
    p = korvo.problem(xs)
    assert p.getVariable(first=1, last=2) == xs[1:3]
    assert p.getVariable(first=2, last=1) == []
    assert p.getVariable(0) is xs[0] and p.getVariable(np.int64(1)) is xs[1]
    assert p.getVariable([np.int32(2), np.int64(0)]) == [xs[2], xs[0]]
    assert p.getVariable([3, (0,)]) == [xs[3], xs[0]]
    assert korvo.problem().getVariable() == []
    with pytest.raises(IndexError):
        p.getVariable(9)
    with pytest.raises(korvo.ModelError, match="must contain only integers"):
        p.getVariable([0, "a"])
    with pytest.raises(korvo.ModelError, match="Parameters 'first' and 'last' are out of range"):
        p.getVariable(first=0, last=4)
    with pytest.raises(korvo.ModelError, match="must be both nonnegative when specified"):
        p.getVariable(first=1)
    with pytest.raises(korvo.ModelError, match="Parameter 'first' must be less than, or equal to, 'last'"):
        p.delVariable(first=3, last=1)
    with pytest.raises(korvo.ModelError, match="Parameters 'first' or 'last' are out of range"):
        p.delVariable(first=0, last=4)
    with pytest.raises(korvo.ModelError, match="cannot be specified if 'index' is also specified"):
        p.delVariable(0, first=0, last=1)
    p.delVariable(first=1, last=2)
    assert p.getVariable() == [xs[0], xs[3]]


def test_constraints_and_sets_deletion_keep_indices():
    x, y, z = (korvo.var(name=n) for n in "xyz")
    cs = [korvo.constraint(x + k * y <= k, name=f"c{k}") for k in range(4)]
    p = korvo.problem(x, y, z, cs)
    s1, s2 = korvo.sos([x, y], [1, 2]), korvo.sos([y, z], [1, 2], type=2)
    p.addSOS([s1, s2])
    assert p.getSOS() == [s1, s2] and p.getIndex(s2) == 1 and p.getSOS(1) is s2
    p.delSOS(s1)
    assert p.getSOS() == [s2] and p.getIndex(s2) == 0 and p.attributes.sets == 1
    p.delConstraint([cs[0], cs[2]])
    assert p.getConstraint() == [cs[1], cs[3]] and p.getIndex(cs[3]) == 1
    assert p.getIndexFromName(1, "c3") == 1
    with pytest.raises(korvo.ModelError, match="SOS already added to problem"):
        p.addSOS(s2)
    with pytest.raises(korvo.ModelError, match="Object added is not a SOS"):
        p.addSOS([x])
    with pytest.raises(korvo.ModelError, match="SOS contains variable that was not added to the problem"):
        p.addSOS(korvo.sos([korvo.var()], [1]))
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getIndex(x + y)


def test_indicator_messages():
    x, z = korvo.var(name="x"), korvo.var(vartype=korvo.binary, name="z")
    w = korvo.var(vartype=korvo.binary, name="w")
    p = korvo.problem(x, z)
    usage = "accepts either two constraints or one or more TUPLES"
    with pytest.raises(korvo.ModelError, match=usage):
        p.addIndicator(z == 1)
    with pytest.raises(korvo.ModelError, match=r"^Invalid declaration of indicator constraints\.$"):
        p.addIndicator((z == 1, x))
    with pytest.raises(korvo.ModelError, match="Nonlinear indicator constraints are not allowed"):
        p.addIndicator(z == 1, korvo.exp(x) <= 2)
    with pytest.raises(korvo.ModelError, match="there must be exactly one variable"):
        p.addIndicator(z + x == 1, x <= 2)
    with pytest.raises(korvo.ModelError, match="it cannot contain a quadratic expression"):
        p.addIndicator(z + z * x == 1, x <= 2)
    with pytest.raises(korvo.ModelError, match="Indicator variable has not been added to problem yet"):
        p.addIndicator(w == 1, x <= 2)
    with pytest.raises(korvo.ModelError, match="Indicator variable must have coefficient 1"):
        p.addIndicator(2 * z + 0 * x == 1, x <= 2)
    with pytest.raises(korvo.ModelError, match="must be z == 0 or z == 1"):
        p.addIndicator(z == 0.5, x <= 2)
    c = x <= 2
    p.addIndicator((z == 1, c), (z == 0, x >= 1))
    assert p.getConstraint()[0] is c and p.attributes.rows == 2
    with pytest.raises(korvo.ModelError, match="Constraint already added to problem"):
        p.addIndicator(z == 1, c)
    p.addIndicator()
    assert p.attributes.rows == 2 and len(p.getConstraint()) == 2


def test_walk_nesting_limit_and_arrays():
    x = korvo.var()
    nested = x
    for _ in range(40):
        nested = [nested]
    with pytest.raises(korvo.ModelError, match="Maximum recursion \\(inclusion\\) level reached"):
        korvo.problem().addVariable(nested)
    p = korvo.problem()
    xs = np.array([korvo.var() for _ in range(6)], dtype=object).reshape(2, 3)
    p.addVariable(xs, np.array([x], dtype=object))
    assert p.getVariable() == list(xs.ravel()) + [x]
    with pytest.raises(korvo.ModelError, match="Incorrect objects used in Sum"):
        p.addConstraint(np.array(["a", "b"]))


def test_copy_and_reset_keep_registry_consistent():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    c = x + y <= 4
    p = korvo.problem(x, y, c, x + 2 * y, sense=korvo.maximize)
    q = p.copy()
    assert q.getVariable() == [x, y] and q.getIndex(c) == 0
    q.delVariable(x)
    assert p.getIndex(x) == 0 and p.attributes.cols == 2
    q.solve()
    assert q.getObjVal() == pytest.approx(8.0)
    p.reset()
    assert p.getVariable() == [] and p.attributes.cols == 0
    p.addVariable(x)  # no longer registered after the reset
    assert p.getIndex(x) == 0


def test_index_arguments_by_name_scalar_array_and_generator():
    xs = [korvo.var(name=f"x{i}") for i in range(400)]
    p = korvo.problem(xs)
    p.delVariable(["x1", np.int64(3), xs[5]])
    assert names(p.getVariable(first=0, last=3)) == ["x0", "x2", "x4", "x6"]
    p.delVariable(i for i in range(300))  # a generator of 300 indices converts fully
    assert p.attributes.cols == 97 and names(p.getVariable(first=0, last=0)) == ["x303"]
    with pytest.raises(korvo.ModelError, match="Invalid variable object 2.0"):
        p.delVariable([2.0])
    with pytest.raises(korvo.ModelError, match="Invalid variable object"):
        p.delVariable(np.array([0], dtype=np.int16))
    with pytest.raises(korvo.ModelError, match="Invalid sequence of objects"):
        p.delVariable({0: 1})
    with pytest.raises(korvo.SolverError):
        p.delVariable(["nosuchname"])
    assert p.attributes.cols == 97 == len(p.getVariable())


def test_output_lists_are_filled_in_place():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    p = korvo.problem(x, y, x**3 <= 1, y + korvo.exp(x) >= 0.5)
    rows, cols = [9, 9, 9, 9], [9, 9, 9, 9]
    p.getcoefs(rows, cols)
    assert rows == [0, 1] and cols == [-1, -1]
    p.getcoefs()  # nothing asked for
    with pytest.raises(korvo.ModelError, match="Unexpected argument to conv_arr2obj"):
        p.getcoefs((1, 2))


def test_registry_and_library_agree_after_random_changes():
    import random

    rng = random.Random(7)
    p = korvo.problem()
    counter = iter(range(10**6))
    for step in range(60):
        action = rng.choice(["var", "var", "con", "con", "delvar", "delcon", "objective", "bad"])
        variables = p.getVariable()
        if action == "var":
            p.addVariable([korvo.var(name=f"v{next(counter)}") for _ in range(rng.randint(1, 4))])
        elif action == "con" and variables:
            batch = []
            for _ in range(rng.randint(1, 4)):
                terms = rng.sample(variables, min(len(variables), 3))
                body = korvo.Sum([rng.randint(1, 5) * v for v in terms])
                if rng.random() < 0.3:
                    body = body + korvo.exp(terms[0])
                batch.append(korvo.constraint(body <= 10, name=f"c{next(counter)}"))
            p.addConstraint(batch)
        elif action == "delvar" and len(variables) > 1:
            # the objective transfer column (when there is one) stays
            own = [i for i, v in enumerate(variables) if str(v) != "objtransfercol"]
            p.delVariable(rng.sample(own, rng.randint(1, min(2, len(own)))))
        elif action == "delcon" and [c for c in p.getConstraint() if str(c) != "objtransferrow"]:
            p.delConstraint(rng.choice([c for c in p.getConstraint() if str(c) != "objtransferrow"]))
        elif action == "objective" and variables:
            v = rng.choice([v for v in variables if str(v) != "objtransfercol"])
            p.setObjective(korvo.sin(v) if rng.random() < 0.5 else 2 * v)
        elif action == "bad" and variables:
            with pytest.raises(korvo.ModelError):
                p.addConstraint([variables[0] <= 1, korvo.var() <= 2])
        for kind, objs in ((2, p.getVariable()), (1, p.getConstraint())):
            assert len(objs) == (p.attributes.cols if kind == 2 else p.attributes.rows)
            for i, obj in enumerate(objs):
                assert p.getIndex(obj) == i
                assert p.getIndexFromName(kind, str(obj)) == i



def test_index_maps_through_identity_patterns():
    # The index maps keep runs of consecutive identities together: exercise
    # whole runs, strided subsets, runs spread over several growths of the
    # table, and deletions that empty runs front to back and back to front.
    pool = korvo.vars(6000, name="")
    keep = [pool[i] for i in range(0, 6000, 129)] + [pool[i] for i in range(1, 6000, 3)] + list(pool[2600:2900])
    keep = list(dict.fromkeys(keep))  # a variable can be added only once
    p = korvo.problem()
    for start in range(0, len(keep), 700):
        p.addVariable(keep[start:start + 700])
    extra = korvo.vars(1000, name="")
    p.addVariable(list(extra)[::-1])
    expected = keep + list(extra[::-1])
    assert [p.getIndex(v) for v in expected] == list(range(len(expected)))
    for pick in (lambda: list(extra[:500]), lambda: list(extra[500:])[::-1], lambda: expected[::7],
                 lambda: expected[5:400]):
        drop = pick()
        p.delVariable(drop)
        gone = set(id(v) for v in drop)
        expected = [v for v in expected if id(v) not in gone]
        assert p.getVariable() == expected
        assert [p.getIndex(v) for v in expected] == list(range(len(expected)))
        for v in drop[::37]:
            with pytest.raises(korvo.ModelError):
                p.getIndex(v)
    p.addVariable(extra[100:300])
    expected += list(extra[100:300])
    assert [p.getIndex(v) for v in expected] == list(range(len(expected)))
    rows = [v + 1 >= 0 for v in expected[::11]]
    p.addConstraint(rows)
    p.delConstraint(rows[::2])
    assert [p.getIndex(c) for c in rows[1::2]] == list(range(len(rows[1::2])))


def test_mixed_column_types_keep_their_columns(tmp_path):
    # Only the columns that are not continuous have their types set: each
    # must land on its own column, also in a later call and from arrays,
    # lists of arrays and generators.
    first = korvo.vars(3, lb=-1, ub=4, name="a")
    kinds = [korvo.continuous, korvo.integer, korvo.continuous, korvo.binary, korvo.integer, korvo.continuous]
    mixed = np.array([korvo.var(vartype=k, lb=0, ub=1 + i, name=f"m{i}") for i, k in enumerate(kinds)],
                     dtype=korvo.npvar)
    tail = korvo.vars(2, vartype=korvo.integer, lb=2, ub=3, name="t")
    semi = korvo.var(vartype=korvo.semicontinuous, threshold=1, ub=6, name="s")
    p = korvo.problem()
    p.addVariable(first)
    p.addVariable([mixed[:2], mixed[2:]], (v for v in tail), semi)
    path = str(tmp_path / "kinds.lp")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    read = q.getVariable()
    assert [str(v) for v in read] == [str(v) for v in list(first) + list(mixed) + list(tail) + [semi]]
    expected = [korvo.continuous] * 3 + [korvo.continuous if k == korvo.continuous else
                                         (korvo.binary if k == korvo.binary else korvo.integer)
                                         for k in kinds] + [korvo.integer] * 2 + [korvo.semicontinuous]
    assert [v.vartype for v in read] == expected
    bounds = [(0, 1 if k == korvo.binary else 1 + i) for i, k in enumerate(kinds)]
    assert [(v.lb, v.ub) for v in read[3:]] == bounds + [(2, 3), (2, 3), (0, 6)]
