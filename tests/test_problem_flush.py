"""Constraints reaching the library in batches: row types and right-hand
sides, names, quadratic rows, buffer growth, and the registry after errors."""
import numpy as np
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def read_back(p, tmp_path, name="rows.lp"):
    path = str(tmp_path / name)
    p.write(path)
    q = korvo.problem()
    q.read(path)
    return q


def test_nothing_to_add_calls_nothing():
    x = korvo.var()
    p = korvo.problem(x)
    p.addConstraint()
    p.addConstraint([], (), {})
    assert p.attributes.rows == 0 and p.getConstraint() == []


def test_row_types_and_right_hand_sides(tmp_path):
    x, y = korvo.var(name="x", lb=-5), korvo.var(name="y", lb=-5)
    rows = [
        korvo.constraint(body=x + 3, lb=7, ub=7, name="eq"),       # E: 7 - 3
        korvo.constraint(body=x + y - 1, lb=6, ub=10, name="rng"),  # R: rhs 11, range 4
        korvo.constraint(body=2 * y + 2, lb=1, name="ge"),          # G: 1 - 2
        korvo.constraint(body=x - y + 0.5, ub=4, name="le"),        # L: 3.5
        korvo.constraint(body=x + y, lb=-korvo.infinity, name="free"),  # N
    ]
    p = korvo.problem(x, y, rows)
    q = read_back(p, tmp_path, "rows.mps")
    got = {str(c): (c.lb, c.ub) for c in q.getConstraint()}
    inf = korvo.infinity
    assert got == {"eq": (4, 4), "rng": (7, 11), "ge": (-1, inf), "le": (-inf, 3.5), "free": (-inf, inf)}
    # The same bounds hold in the solve: a range row binds at both ends.
    p.setObjective(x + y, sense=korvo.maximize)
    p.solve()
    assert p.getSolution(x + y) == pytest.approx(11.0)
    assert p.getSlack(["rng"]) == pytest.approx([0.0])


def test_three_thousand_rows_in_one_call():
    xs = [korvo.var(name=f"x{i}", ub=10) for i in range(3000)]
    p = korvo.problem(xs)
    cons = [korvo.constraint(xs[i] + 0.5 * xs[(i + 1) % 3000] <= 1 + i % 3, name=f"r{i}") for i in range(3000)]
    p.addConstraint(cons)
    assert p.attributes.rows == 3000 and p.getConstraint() == cons
    assert p.getIndex(cons[2999]) == 2999 and p.getIndexFromName(1, "r2048") == 2048
    p.setObjective(korvo.Sum(xs), sense=korvo.maximize)
    p.solve()
    assert [p.getSlack(cons[2048])] == pytest.approx(p.getSlack("r2048"))  # a name is a sequence
    assert all(s >= -1e-9 for s in p.getSlack())


def test_only_quadratic_rows_get_quadratic_parts(tmp_path):
    x, y = korvo.var(name="x", lb=-1), korvo.var(name="y", lb=-1)
    p = korvo.problem(x, y)
    p.addConstraint(korvo.constraint(x + y <= 1, name="a"),
                    korvo.constraint(x * x + 2 * x * y <= 3, name="b"),
                    korvo.constraint(x - y >= 0, name="c"))
    path = str(tmp_path / "q.lp")
    p.write(path)
    text = open(path).read()
    assert " b: + [ + x ^ 2 + 2 x * y ] <= 3" in text
    assert " a: + x + y <= 1" in text and " c: + x - y >= 0" in text
    assert text.count("[") == 1


def test_failed_batch_leaves_registry_and_library_unchanged():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    p = korvo.problem(x)
    c1, c2 = x <= 1, x >= -1
    with pytest.raises(korvo.ModelError, match="Invalid constraint"):
        p.addConstraint([c1, c2, 7])
    assert p.getConstraint() == [] and p.attributes.rows == 0
    with pytest.raises(korvo.ModelError, match="Constraint already added to problem"):
        p.addConstraint(c1, c1)
    with pytest.raises(korvo.ModelError, match="has not been added to problem yet"):
        p.addConstraint(c1, x + y <= 2)
    assert p.getConstraint() == [] and p.attributes.rows == 0
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getIndex(c1)
    p.addConstraint(c1, c2)
    assert p.getConstraint() == [c1, c2] and p.getIndex(c2) == 1 and p.attributes.rows == 2


def test_constraint_without_body_is_refused(tmp_path):
    x = korvo.var(name="x")
    p = korvo.problem(x, korvo.constraint(x <= 1, name="only"))
    q = read_back(p, tmp_path)
    [read_row] = q.getConstraint()
    with pytest.raises(korvo.ModelError, match="Stale expression link, cannot add constraint"):
        korvo.problem(q.getVariable()).addConstraint(read_row)


def test_numpy_constraint_arrays_in_one_call():
    x = korvo.vars(4, name="x")
    A = np.array([[1.0, 2.0, 0.0, 1.0], [0.0, 1.0, 3.0, 1.0]])
    p = korvo.problem(x)
    p.addConstraint(korvo.Dot(A, x) <= np.array([4.0, 6.0]), x[0] >= x[3])
    assert p.attributes.rows == 3
    p.setObjective(korvo.Sum(x), sense=korvo.maximize)
    p.solve()
    values = p.getSolution(x)
    assert isinstance(values, np.ndarray) and values.shape == (4,)
    assert A @ values == pytest.approx(A @ values)  # shape only
    assert (A @ values <= np.array([4.0, 6.0]) + 1e-9).all() and values[0] >= values[3] - 1e-9
    assert p.getObjVal() == pytest.approx(values.sum())


def test_row_names_reach_the_library():
    x = korvo.var(name="x")
    named = korvo.constraint(x <= 1, name="limit")
    unnamed = x >= 0
    p = korvo.problem(x, named, unnamed)
    assert p.getIndexFromName(1, "limit") == 0
    assert p.getIndexFromName(1, str(unnamed)) == 1
    with pytest.raises(korvo.SolverError):
        p.getIndexFromName(1, "nosuch")


def test_repeated_transfers_keep_reference_counts():
    from conftest import refcount_unchanged

    x, y = korvo.var(name="x"), korvo.var(name="y")
    body = 2 * x + 3 * y + x * y
    p = korvo.problem(x, y)

    def add_and_delete():
        c = body <= 4
        p.addConstraint(c, [x - y >= korvo.exp(x)])
        p.delConstraint(first=0, last=1)
        with pytest.raises(korvo.ModelError):
            p.addConstraint(c, 3)

    assert refcount_unchanged(add_and_delete, x, y, body, p, repeat=100) == [0, 0, 0, 0]
    assert p.attributes.rows == 0 and p.getConstraint() == []


def test_names_with_a_zero_character_are_refused():
    a, b = korvo.var(name="a\x00b"), korvo.var(name="c")
    p = korvo.problem()
    with pytest.raises(korvo.ModelError, match="Names cannot contain a zero character"):
        p.addVariable(b, a)
    assert p.attributes.cols == 0
    p.addVariable(b)
    with pytest.raises(korvo.ModelError, match="Names cannot contain a zero character"):
        p.addConstraint(korvo.constraint(b <= 1, name="r\x00s"), korvo.constraint(b >= 0, name="t"))
    p.addConstraint(korvo.constraint(b >= 0, name="t"))
    assert p.getIndexFromName(1, "t") == 0 and p.getIndexFromName(2, "c") == 0


def written_matrix(p, tmp_path):
    """{(row name, column name): coefficient} and {row name: (type, rhs)} from an MPS file."""
    path = str(tmp_path / "matrix.mps")
    p.write(path, "")
    matrix, rows, section = {}, {}, None
    for line in open(path):
        fields = line.split()
        if not line.startswith(" "):
            section = fields[0]
        elif section == "ROWS":
            rows[fields[1]] = (fields[0], 0.0)
        elif section == "COLUMNS":
            for row, value in zip(fields[1::2], fields[2::2]):
                matrix[row, fields[0]] = float(value)
        elif section == "RHS":
            for row, value in zip(fields[1::2], fields[2::2]):
                rows[row] = (rows[row][0], float(value))
    return matrix, rows


def test_calls_whose_rows_differ_in_length_pass_every_term(tmp_path):
    # Room for a call's rows is reserved from its arguments' sizes and its
    # first row; rows longer or shorter than the first, and nested lists the
    # estimate does not see, must still arrive whole and in order.
    xs = [korvo.var(name=f"v{j}", lb=-1, ub=1) for j in range(400)]
    p = korvo.problem(xs)
    expected, bounds = {}, {}

    def row(name, terms, rhs):
        for j, a in terms:
            expected[name, f"v{j}"] = expected.get((name, f"v{j}"), 0.0) + a
        bounds[name] = ("L", rhs)
        return korvo.constraint(korvo.Sum(a * xs[j] for j, a in terms) <= rhs, name=name)

    growing = [row(f"g{i}", [((i * 7 + k) % 400, 1.0 + k) for k in range(i % 40 + 1)], i) for i in range(2600)]
    shrinking = [row("s0", [(j, 0.5) for j in range(300)], -1.0)] + [
        row(f"s{i}", [(i % 400, 2.0)], i + 0.5) for i in range(1, 2600)]
    nested = [row("n0", [(1, 3.0), (2, 4.0)], 2.0), [row(f"n{i}", [(i % 400, 1.0), ((i + 9) % 400, -1.0)], 1.0)
                                                      for i in range(1, 3000)]]
    for batch in (growing, shrinking, nested):
        p.addConstraint(batch)
    order = growing + shrinking + [nested[0]] + nested[1]
    assert p.getConstraint() == order
    assert [p.getIndex(c) for c in order[::97]] == list(range(0, len(order), 97))
    matrix, rows = written_matrix(p, tmp_path)
    assert matrix == expected
    assert {name: value for name, value in rows.items() if value[0] != "N"} == bounds


def test_quadratic_rows_late_in_a_long_batch(tmp_path):
    x, y = korvo.var(name="x", lb=-1), korvo.var(name="y", lb=-1)
    p = korvo.problem(x, y)
    rows = [korvo.constraint(x + (i % 5) * y <= i, name=f"l{i}") for i in range(2600)]
    rows[2500] = korvo.constraint(3 * x * x + x <= 7, name="q1")
    rows[2503] = korvo.constraint(x * y + y * y - y <= 2, name="q2")
    rows[2505] = korvo.constraint(body=x - y, lb=-2, ub=3, name="band")
    p.addConstraint(rows)
    path = str(tmp_path / "late.lp")
    p.write(path)
    text = open(path).read()
    assert " q1: + x + [ + 3 x ^ 2 ] <= 7" in text
    assert " q2: - y + [ + x * y + y ^ 2 ] <= 2" in text
    assert text.count("[") == 2
    assert p.getConstraint() == rows and p.getIndex(rows[2599]) == 2599
    q = korvo.problem()
    q.read(path)
    band = q.getConstraint(2505)
    assert str(band) == "band" and (band.lb, band.ub) == (-2, 3)
