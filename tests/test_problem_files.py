"""Reading and writing problem files: round trips through MPS and LP, the
registry rebuilt by read, and read errors."""
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def build_model():
    x = korvo.var(name="x", ub=4)
    y = korvo.var(name="y", vartype=korvo.integer, lb=-2, ub=5)
    b = korvo.var(name="b", vartype=korvo.binary)
    s = korvo.var(name="s", vartype=korvo.semicontinuous, threshold=1, ub=3)
    rows = [
        korvo.constraint(x + 2 * y + b <= 9, name="cap"),
        korvo.constraint(body=x - y, lb=-1, ub=2, name="band"),
        korvo.constraint(x + y + s == 5, name="bal"),
        korvo.constraint(x + s >= 1, name="low"),
    ]
    p = korvo.problem(x, y, b, s, rows, name="filemodel")
    p.addSOS(korvo.sos([x, b, s], [1, 2, 3], type=1, name="set1"))
    p.setObjective(x + 3 * y - 2 * b + s, sense=korvo.maximize)
    return p


@pytest.mark.parametrize("ending", ["mps", "lp"])
def test_round_trip_keeps_model_and_rebuilds_registry(ending, tmp_path):
    p = build_model()
    p.solve()
    path = str(tmp_path / f"model.{ending}")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    assert [str(v) for v in q.getVariable()] == ["x", "y", "b", "s"]
    assert [str(c) for c in q.getConstraint()] == ["cap", "band", "bal", "low"]
    assert len(q.getSOS()) == 1 and q.attributes.sets == 1
    x, y, b, s = q.getVariable()
    assert (x.lb, x.ub, y.lb, y.ub) == (0, 4, -2, 5)
    assert [v.vartype for v in (x, y, b, s)] == [korvo.continuous, korvo.integer, korvo.binary,
                                                 korvo.semicontinuous]
    band = q.getConstraint(1)
    assert (band.lb, band.ub) == (-1, 2)
    assert [q.getIndex(v) for v in (x, y, b, s)] == [0, 1, 2, 3]
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal())
    assert q.getSolution(q.getVariable()) == pytest.approx(p.getSolution(p.getVariable()))
    # The read model can be changed like a built one.
    q.delConstraint(q.getConstraint(1))
    q.addConstraint(y <= 1)
    q.solve()
    assert q.getSolution([x, y, b, s]) == pytest.approx([4, 1, 0, 0])
    assert q.getObjVal() == pytest.approx(7)


def test_three_hundred_columns_and_a_range_row(tmp_path):
    xs = [korvo.var(name=f"col{i:03d}", ub=1) for i in range(300)]
    p = korvo.problem(xs)
    p.addConstraint(korvo.constraint(body=korvo.Sum(xs), lb=6, ub=10, name="range"))
    p.addConstraint([korvo.constraint(xs[i] <= 1, name=f"r{i:03d}") for i in range(299)])
    path = str(tmp_path / "wide.mps")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    assert [str(v) for v in q.getVariable()] == [f"col{i:03d}" for i in range(300)]
    rows = q.getConstraint()
    assert str(rows[0]) == "range" and (rows[0].lb, rows[0].ub) == (6, 10)
    assert [str(r) for r in rows[1:]] == [f"r{i:03d}" for i in range(299)]
    assert q.getIndexFromName(2, "col299") == 299


def test_read_replaces_the_registry_and_failures_change_nothing(tmp_path):
    p = build_model()
    path = str(tmp_path / "m.lp")
    p.write(path)
    old = p.getVariable()
    p.read(path)
    read = p.getVariable()
    assert len(read) == 4 and not any(v is w for v, w in zip(read, old))
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getIndex(old[0])
    # Refused calls keep the model read and its registry.
    with pytest.raises(TypeError):
        p.read()
    q = build_model()
    before = q.getVariable(), q.getConstraint(), q.getSOS()
    with pytest.raises(korvo.SolverError):
        q.read(str(tmp_path / "missing.mps"))
    for p_, objs in ((p, read), (q, before[0])):
        assert all(a is b for a, b in zip(p_.getVariable(), objs)) and len(p_.getVariable()) == len(objs)
    assert [len(x) for x in before] == [len(q.getVariable()), len(q.getConstraint()), len(q.getSOS())]


def test_write_errors_are_raised(tmp_path):
    p = build_model()
    with pytest.raises(korvo.SolverError):
        p.write(str(tmp_path / "no" / "such" / "dir.lp"))
    with pytest.raises(TypeError):
        p.write()
    p.write(filename=str(tmp_path / "kw.mps"), flags="")
    q = korvo.problem()
    q.read(filename=str(tmp_path / "kw.mps"), options="")
    assert q.attributes.cols == 4
