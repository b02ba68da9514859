"""Building models from arrays: addcols, addrows, loadproblem and addsetnames,
the objects they register, refused calls that leave everything as it was,
and models built this way matching models built from modelling objects."""
import os

import numpy as np
import pytest

import korvo
from conftest import INSTANCES

pytestmark = pytest.mark.usefixtures("quiet")


def snapshot(p, tmp_path):
    """The engine's model as LP text, with the registry's objects and indices."""
    path = str(tmp_path / "snapshot.lp")
    p.write(path)
    with open(path) as f:
        text = f.read()
    variables = p.getVariable()
    constraints = p.getConstraint()
    return (text, [(str(v), p.getIndex(v)) for v in variables], [(str(c), p.getIndex(c)) for c in constraints],
            p.attributes.cols, p.attributes.rows)


def two_by_two():
    """max x + 2y  s.t.  x + y <= 4,  x + 3y <= 6,  0 <= x, y <= 10: optimum 5 at (3, 1)."""
    p = korvo.problem()
    p.addcols([1, 2], [0, 0, 0], [], [], [0, 0], [10, 10], names=["x", "y"])
    x, y = p.getVariable()
    p.addrows("LL", [4, 6], [0, 2, 4], [x, y, "x", 1], [1, 1, 1, 3], names=["c1", "c2"])
    p.chgobjsense(korvo.maximize)
    return p


def test_adds_register_objects_and_solve():
    p = two_by_two()
    x, y = p.getVariable()
    c1, c2 = p.getConstraint()
    assert [str(x), str(y), str(c1), str(c2)] == ["x", "y", "c1", "c2"]
    assert [p.getIndex(o) for o in (x, y, c1, c2)] == [0, 1, 0, 1]
    p.solve()
    assert p.getObjVal() == pytest.approx(5)
    assert p.getSolution() == pytest.approx([3, 1])
    # Columns with coefficients in existing rows, by row objects, names and indices.
    p.addcols([3], [0, 2], [c1, "c2"], [1, 1], [0], [1])
    z = p.getVariable(2)
    assert p.getIndex(z) == 2 and x.lb == 0
    p.solve()
    assert p.getObjVal() == pytest.approx(7)  # z = 1: x + y <= 3, x + 3y <= 5 -> (2, 1), 4 + 3
    assert p.getSolution(z) == pytest.approx(1)


def test_default_names_follow_the_new_objects(tmp_path):
    p = korvo.problem()
    p.addcols([1, 1], [0, 0, 0], [], [], [0, 0], [1, 1])
    p.addrows("G", [1], [0, 2], [0, 1], [1, 1])
    text = snapshot(p, tmp_path)[0]
    for obj in p.getVariable() + p.getConstraint():
        assert str(obj) in text
    p.solve()
    assert p.getObjVal() == pytest.approx(1)


def test_column_types_and_ranges():
    # max x + y, x + y in [1.5, 2.5] as a range row, x integer: 2.5 with y continuous
    p = korvo.problem()
    p.addcols([1, 1], [0, 0, 0], [], [], [0, 0], [2, 2], types=["I", "C"])
    p.addrows(["R"], [2.5], [0, 2], [0, 1], [1, 1], range=[1.0])
    p.chgobjsense(-1)
    x, y = p.getVariable()
    assert x.vartype == korvo.integer
    p.solve()
    assert p.getObjVal() == pytest.approx(2.5)
    p.chgcoltype([y], ["I"])
    p.solve()
    assert p.getObjVal() == pytest.approx(2)


def test_legacy_keywords_and_numpy_arrays():
    p = korvo.problem()
    p.addcols(objx=np.array([1.0, 1.0]), mstart=np.array([0, 0, 0]), mrwind=[], dmatval=[], bdl=[0, 0],
              bdu=np.array([5.0, 5.0]))
    p.addrows(qrtype="G", rhs=[3], mstart=np.array([0, 2], dtype=np.int64), mclind=np.array([0, 1]),
              dmatval=np.array([1.0, 2.0]))
    p.solve()
    assert p.getObjVal() == pytest.approx(1.5)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda p, x, c: p.addrows("L", [1], [0], [x], [1]), korvo.ModelError,
         "Mismatched lengths in arguments: expected 2, found 1"),
        (lambda p, x, c: p.addrows("L", [1], [0, 1], [x, x], [1, 1]), korvo.ModelError, "must be the number"),
        (lambda p, x, c: p.addrows("LL", [1], [0, 1, 1], [x], [1]), korvo.ModelError, "Mismatched lengths"),
        (lambda p, x, c: p.addrows("L", [1], [0, 1], [7], [1]), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.addrows("Q", [1], [0, 1], [x], [1]), korvo.SolverError, "row type"),
        (lambda p, x, c: p.addrows("L", [1], [0, 1], [korvo.var()], [1]), korvo.ModelError, "not in problem"),
        (lambda p, x, c: p.addrows("L", [1], [0, 1], [2.0], [1]), korvo.ModelError, "Invalid variable object"),
        (lambda p, x, c: p.addrows("L", [1], [0, 1], [x], [1], names=[3]), korvo.ModelError, "Erroneous name"),
        (lambda p, x, c: p.addrows("", [], [0], [], []), korvo.ModelError, "No rows"),
        (lambda p, x, c: p.addrows(None, [1], [0, 1], [x], [1]), korvo.InterfaceError,
         "Must provide argument rowtype"),
        (lambda p, x, c: p.addcols([1], [0, 1], [c], [1], [0], [1], names=["a", "b"]), korvo.ModelError,
         "Incorrect length of variable name list"),
        (lambda p, x, c: p.addcols([1], [0, 1], [c], [1], [0], [1], types=["Z"]), korvo.ModelError,
         "Incorrect variable type"),
        (lambda p, x, c: p.addcols([1], [0, 1], [c], [1], [0], [1], types=[1]), korvo.ModelError,
         "Cannot get variable type with index 0"),
        (lambda p, x, c: p.addcols([1], [0, 1], [c], [1], [0, 1], [1]), korvo.ModelError, "Mismatched lengths"),
        (lambda p, x, c: p.addcols([1], [0, 1], [5], [1], [0], [1]), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.addcols([1], [0, 1], [c], [float("nan")], [0], [1]), korvo.SolverError, "coefficient"),
    ],
)
def test_refused_adds_change_nothing(call, error, text, tmp_path):
    p = two_by_two()
    x = p.getVariable(0)
    c = p.getConstraint(0)
    before = snapshot(p, tmp_path)
    with pytest.raises(error, match=text):
        call(p, x, c)
    assert snapshot(p, tmp_path) == before
    p.solve()
    assert p.getObjVal() == pytest.approx(5)


def test_loadproblem_replaces_model_and_registry(tmp_path):
    p = two_by_two()
    old = p.getVariable()
    # min x + y + 0.5s, x + y + s >= 2.5, y <= 1, x integer in [0, 2], s semi-continuous: 0 or in [3, 5]
    p.loadproblem("loaded", "GL", [2.5, 1], None, [1, 1, 0.5], [0, 1, 3, 4], None, [0, 0, 1, 0], [1, 1, 1, 1],
                  [0, 0, 0], [2, 10, 5], coltype=["I", "S"], entind=[0, 2], limit=[0, 3],
                  colnames=["x", "y", "s"], rownames=["need", "cap"])
    x, y, s = p.getVariable()
    assert all(p.getIndex(v) == k for k, v in enumerate((x, y, s)))
    assert [str(c) for c in p.getConstraint()] == ["need", "cap"]
    assert (x.vartype, s.vartype, s.threshold) == (korvo.integer, korvo.semicontinuous, 3)
    with pytest.raises(korvo.ModelError, match="Incorrect object"):
        p.getIndex(old[0])
    assert p.name() == "loaded"
    p.solve()
    # s = 3 at its threshold; as a continuous column s = 2.5 would cost 1.25
    assert p.getObjVal() == pytest.approx(1.5)
    text = snapshot(p, tmp_path)[0]
    assert "need" in text and " s " in text


def test_loadproblem_quadratic_and_sets():
    # min x^2 + y^2 - x - y (0.5 x'Qx with Q = 2I), x + y = 1: optimum -0.5 at (0.5, 0.5)
    p = korvo.problem()
    p.loadproblem("qp", "E", [1], None, [-1, -1], [0, 1, 2], None, [0, 0], [1, 1], [0, 0], [1e20, 1e20],
                  objqcol1=[0, 1], objqcol2=[0, 1], objqcoef=[2, 2])
    p.solve()
    assert p.getObjVal() == pytest.approx(-0.5)
    # max x + 2y + 3z, x + y + z <= 1 with a type-1 set over all three: only z = 1
    p.loadproblem("sets", "L", [10], None, [1, 2, 3], [0, 1, 2, 3], None, [0, 0, 0], [1, 1, 1], [0, 0, 0],
                  [1, 1, 1], settype=["1"], setstart=[0, 3], setind=[0, 1, 2], refval=[1, 2, 3])
    p.chgobjsense(-1)
    assert len(p.getSOS()) == 1
    p.solve()
    assert p.getObjVal() == pytest.approx(3)
    p.addsetnames(["myset"])
    assert str(p.getSOS(0)) == "myset"


@pytest.mark.parametrize(
    "extra, error, text",
    [
        (dict(objqcol1=[0], objqcol2=[0]), korvo.InterfaceError, "quadratic objective"),
        (dict(qrowind=[0]), korvo.InterfaceError, "quadratic rows"),
        (dict(coltype=["I"]), korvo.InterfaceError, "global entities"),
        (dict(limit=[1]), korvo.InterfaceError, "global entities"),
        (dict(settype=["1"], setstart=[0, 1]), korvo.InterfaceError, "SOS"),
        (dict(coltype=["I"], entind=[5]), korvo.ModelError, "out of range"),
        (dict(colnames=["a"]), korvo.ModelError, "Incorrect length of variable name list"),
        (dict(rowind=[0, 3]), korvo.SolverError, "out of range"),
        (dict(start=[0, 1]), korvo.ModelError, "Mismatched lengths in arguments: expected 3, found 2"),
        (dict(objqcol1=[0], objqcol2=[9], objqcoef=[1]), korvo.SolverError, "out of range"),
    ],
)
def test_refused_load_keeps_old_model(extra, error, text, tmp_path):
    p = two_by_two()
    before = snapshot(p, tmp_path)
    args = dict(probname="bad", rowtype="L", rhs=[1], rng=None, objcoef=[1, 1], start=[0, 1, 2], collen=None,
                rowind=[0, 0], rowcoef=[1, 1], lb=[0, 0], ub=[1, 1])
    args.update(extra)
    with pytest.raises(error, match=text):
        p.loadproblem(**args)
    assert snapshot(p, tmp_path) == before


def test_addsetnames_needs_sets():
    p = two_by_two()
    with pytest.raises(korvo.ModelError, match=r"No global sets in problem, cannot use addsetnames\(\)"):
        p.addsetnames(["s"])


def build_by_modelling(name):
    x = korvo.var(name="x", ub=4)
    y = korvo.var(name="y", vartype=korvo.integer, lb=-2, ub=5)
    b = korvo.var(name="b", vartype=korvo.binary)
    p = korvo.problem(x, y, b, name=name)
    p.addConstraint(korvo.constraint(x + 2 * y + b <= 9, name="cap"), korvo.constraint(x - y >= -1, name="band"),
                    korvo.constraint(x + y == 3, name="bal"))
    p.setObjective(x + 3 * y - 2 * b)
    return p


def test_array_built_models_write_the_same_files(tmp_path):
    reference = build_by_modelling("same")
    by_load = korvo.problem()
    by_load.loadproblem("same", "LGE", [9, -1, 3], None, [1, 3, -2], [0, 3, 6, 7], None, [0, 1, 2, 0, 1, 2, 0],
                        [1, 1, 1, 2, -1, 1, 1], [0, -2, 0], [4, 5, 1], coltype=["I", "B"], entind=[1, 2],
                        colnames=["x", "y", "b"], rownames=["cap", "band", "bal"])
    by_adds = korvo.problem(name="same")
    by_adds.addcols([1, 3, -2], [0, 0, 0, 0], [], [], [0, -2, 0], [4, 5, 1], names=["x", "y", "b"],
                    types=["C", "I", "B"])
    by_adds.addrows("LGE", [9, -1, 3], [0, 3, 5, 7], ["x", "y", "b", "x", "y", "x", "y"], [1, 2, 1, 1, -1, 1, 1],
                    names=["cap", "band", "bal"])
    texts = []
    for k, p in enumerate((reference, by_load, by_adds)):
        path = str(tmp_path / f"m{k}.mps")
        p.write(path)
        with open(path) as f:
            texts.append(f.read())
    assert texts[1] == texts[0]
    assert texts[2] == texts[0]


ROUND_TRIP = ["afiro.mps", "flugpl.mps", "small_mip.mps", "qjh.mps", "semi-continuous.mps"]


@pytest.mark.parametrize("name", ROUND_TRIP)
def test_instances_survive_changes_and_round_trip(name, tmp_path):
    path = os.path.join(INSTANCES, name)
    if not os.path.exists(path):
        pytest.skip("instance not present")
    p = korvo.problem()
    p.read(path)
    n, m = p.attributes.cols, p.attributes.rows
    first = p.getVariable(0)
    p.chgobj([first], [1.5])
    p.chgbounds([first], ["U"], [1e3])
    p.addcols([0], [0, 1], [0], [0.25], [0], [1], names=["added_col"])
    p.addrows("L", [1e4], [0, 2], [first, "added_col"], [1, 1], names=["added_row"])
    assert (p.attributes.cols, p.attributes.rows) == (n + 1, m + 1)
    written = str(tmp_path / "changed.mps")
    p.write(written)
    q = korvo.problem()
    q.read(written)
    again = str(tmp_path / "again.mps")
    q.write(again)
    with open(written) as f1, open(again) as f2:
        assert f1.read() == f2.read()
    assert str(q.getVariable(n)) == "added_col" and str(q.getConstraint(m)) == "added_row"


def test_numpy_arrays_convert_like_lists(tmp_path):
    """NumPy arrays of float64/float32/int32/int64 give the model that lists give; others are refused."""
    by_lists = korvo.problem()
    by_lists.addcols([1.0, 2.0], [0, 0, 0], [], [], [0, 0], [5, 5], names=["x", "y"])
    by_lists.addrows("LG", [4, 1], [0, 2, 3], [0, 1, 1], [1.5, 2, 1], names=["a", "b"])
    by_arrays = korvo.problem()
    by_arrays.addcols(np.array([1, 2], dtype=np.int32), np.zeros(3, dtype=np.int32), np.array([], dtype=np.int64),
                      np.array([]), np.zeros(2, dtype=np.float32), np.array([5, 5], dtype=np.int64), names=["x", "y"])
    by_arrays.addrows("LG", np.array([4.0, 1.0]), np.array([0, 2, 3]), np.array([0, 1, 1], dtype=np.int32),
                      np.array([1.5, 2, 1], dtype=np.float32), names=["a", "b"])
    assert snapshot(by_arrays, tmp_path)[0] == snapshot(by_lists, tmp_path)[0]
    before = snapshot(by_arrays, tmp_path)
    with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 3, found 2"):
        by_arrays.addrows("LL", [1, 2], np.array([0, 1]), [0], [1.0])
    with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 2, found 3"):
        by_arrays.addrows("LL", [1, 2], np.array([0, 1, 2]), [0, 1], np.array([1.0, 2.0, 3.0]))
    for bad_index in (np.array([0], dtype=np.int16), np.array([0.0]), np.array([2 ** 40])):
        with pytest.raises((korvo.ModelError, korvo.SolverError, OverflowError)):
            by_arrays.addrows("L", [1], [0, 1], bad_index, [1.0])
    # Strided and two-dimensional arrays go the general way.
    by_arrays.chgobj(np.array([0, 1, 1, 0])[::3], np.array([7.0, 0.0, 0.0, 8.0])[::3])
    with pytest.raises(korvo.ModelError):
        by_arrays.chgobj(np.array([[0, 1]]), [1.0, 1.0])
    by_arrays.chgobj([0, 1], [1.0, 2.0])
    assert snapshot(by_arrays, tmp_path) == before


def test_new_constraint_objects_describe_their_rows():
    p = two_by_two()
    c1, c2 = p.getConstraint()
    assert (c1.lb, c1.ub) == (-korvo.infinity, 4)
    p.addrows("RE", [5, 1], [0, 1, 2], [0, 1], [1, 1], range=[5, 0])
    r, e = p.getConstraint()[2:]
    assert (r.lb, r.ub, e.lb, e.ub) == (0, 5, 1, 1)
    p.solve()
    assert p.getObjVal() == pytest.approx(5)  # y = 1, x = 3
    # A later change to the object reaches the engine like any other.
    c1.ub = 3
    p.solve()
    assert p.getObjVal() == pytest.approx(4)  # y = 1, x + y <= 3
