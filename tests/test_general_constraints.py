"""General constraints (max, min, and, or, abs), piecewise-linear constraints
and indicator rows through the problem's wrapper methods: each followed by a
solve with a known optimum, file round trips, deletions and refused calls."""
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def gencons(p, first=None, last=None):
    t, r, cs, c, vs, v = [], [], [], [], [], []
    kw = {} if first is None else {"first": first, "last": last}
    counts = p.getgencons(t, r, cs, c, 100, vs, v, 100, **kw)
    return counts, t, [str(x) for x in r], cs, [str(x) for x in c], vs, v


def pwlcons(p):
    c, r, s, x, y = [], [], [], [], []
    n = p.getpwlcons(c, r, s, x, y, 100)
    return n, [str(a) for a in c], [str(a) for a in r], s, x, y


def solved(p, *xs):
    p.solve()
    assert p.attributes.mipstatus == korvo.mip_optimal
    return p.getObjVal(), p.getSolution(list(xs))


def test_max_and_min_with_constants():
    # y = max(x1, x2, 1) minimised under x1 + x2 >= 6, x1 <= 5, x2 <= 4: y = 3.
    x1, x2 = korvo.var(lb=-3, ub=5, name="x1"), korvo.var(ub=4, name="x2")
    y = korvo.var(lb=-100, ub=100, name="y")
    p = korvo.problem(x1, x2, y, x1 + x2 >= 6)
    p.setObjective(y)
    p.addgencons([0], [y], [0], [x1, x2], [0], [1.0])
    assert gencons(p) == ((2, 1), [0], ["y"], [0], ["x1", "x2"], [0], [1.0])
    obj, _ = solved(p, y)
    assert obj == pytest.approx(3)
    # y = min(x1, x2, 2.5) maximised under x1 + x2 <= 6: the constant caps it.
    q = korvo.problem(x1, x2, y, x1 + x2 <= 6)
    q.setObjective(y, sense=korvo.maximize)
    q.addgencons([1], [y], [0], ["x1", "x2"], [0], [2.5])
    assert solved(q, y)[0] == pytest.approx(2.5)
    q.delgencons([0])
    q.addgencons(type=[1], resultant=[y], colstart=[0], col=[x1, x2])  # legacy spelling
    assert solved(q, y)[0] == pytest.approx(3)


def test_and_or_abs():
    b1, b2, y = (korvo.var(vartype=korvo.binary, name=n) for n in ("b1", "b2", "y"))
    # y = b1 and b2 forced to 1: both must be 1.
    p = korvo.problem(b1, b2, y, y >= 1)
    p.setObjective(b1 + b2)
    p.addgencons([2], [y], [0], [b1, b2])
    assert solved(p, b1, b2)[1] == pytest.approx([1, 1])
    # y = b1 or b2 with one of them on: y is 1 even when minimised.
    q = korvo.problem(b1, b2, y, b1 + b2 >= 1)
    q.setObjective(y + 0.1 * b1 + 0.2 * b2)
    q.addgencons([3], [y], [0], [b1, b2])
    assert solved(q, y, b1)[1] == pytest.approx([1, 1])
    # y = |x| with x <= -2 over [-5, 3]: y = 2 at x = -2.
    x, a = korvo.var(lb=-5, ub=3, name="x"), korvo.var(lb=-10, ub=10, name="a")
    r = korvo.problem(x, a, x <= -2)
    r.setObjective(a)
    r.addgencons([4], [a], [0], [x])
    assert solved(r, x, a)[1] == pytest.approx([-2, 2])


def test_pwl_segments_jumps_and_extension():
    x, y = korvo.var(ub=2, name="x"), korvo.var(lb=-50, ub=50, name="y")
    p = korvo.problem(x, y)
    p.setObjective(y - 1.5 * x, sense=korvo.maximize)
    p.addpwlcons([x], [y], [0], [0, 1, 2], [0, 2, 3])
    assert pwlcons(p) == (3, ["x"], ["y"], [0], [0.0, 1.0, 2.0], [0.0, 2.0, 3.0])
    obj, sol = solved(p, x, y)
    assert obj == pytest.approx(0.5) and sol == pytest.approx([1, 2])
    # A jump at x = 1: y is 1 or 3 there, never in between.
    z = korvo.var(lb=1, ub=1, name="z")
    q = korvo.problem(z, y)
    q.addpwlcons([z], [y], [0], [0, 1, 1, 2], [0, 1, 3, 3])
    q.setObjective(y)
    assert solved(q, y)[0] == pytest.approx(1)
    q.setObjective(y, sense=korvo.maximize)
    assert solved(q, y)[0] == pytest.approx(3)
    # Beyond the last point the last slope (2) continues: f(4) = 3 + 2 * 2.
    w = korvo.var(lb=4, ub=4, name="w")
    r = korvo.problem(w, y)
    r.addpwlcons([w], [y], [0], [0, 1, 2], [0, 1, 3])
    r.setObjective(y)
    assert solved(r, y)[0] == pytest.approx(7)


def test_infinite_bound_named_in_error():
    x, y = korvo.var(lb=-korvo.infinity, name="free_x"), korvo.var(lb=-10, ub=10, name="y")
    p = korvo.problem(x, y)
    p.setObjective(y)
    p.addgencons([4], [y], [0], [x])
    with pytest.raises(korvo.SolverError, match="general constraint 0 .abs.*free_x.*infinite"):
        p.solve()
    q = korvo.problem(x, y)
    q.addpwlcons([x], [y], [0], [0, 1], [0, 1])
    with pytest.raises(korvo.SolverError, match="piecewise-linear constraint 0.*free_x"):
        q.solve()


def test_refused_calls_change_nothing():
    x1, x2, y = korvo.var(name="x1"), korvo.var(name="x2"), korvo.var(name="y")
    p = korvo.problem(x1, x2, y)
    p.addgencons([0], [y], [0], [x1, x2])
    p.addpwlcons([x1], [y], [0], [0, 1], [0, 1])
    before = (gencons(p), pwlcons(p))
    bad_gencons = [
        ([4], [y], [0], [x1, x2], None, None),   # abs of two columns
        ([7], [y], [0], [x1], None, None),       # unknown type
        ([0, 0], [y, y], [0, 5], [x1, x2], None, None),  # start past the columns
        ([2], [y], [0], [x1], [0], [1.0]),       # values for and
        ([0], [y], [0], [x1], [0], None),        # valstart without val
    ]
    for args in bad_gencons:
        with pytest.raises((korvo.SolverError, korvo.InterfaceError)):
            p.addgencons(*args)
    with pytest.raises(korvo.ModelError):
        p.addgencons([0, 0], [y], [0, 1], [x1, x2])  # lengths differ
    for args in ([x1], [y], [0], [1, 0], [0, 1]), ([x1], [y], [0], [1, 1, 1], [0, 1, 2]), ([x1], [y], [0], [], []):
        with pytest.raises(korvo.SolverError):
            p.addpwlcons(*args)
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.delgencons([0, 1])
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.delpwlcons([3])
    with pytest.raises(korvo.InterfaceError, match="Empty range"):
        p.getgencons(None, None, None, None, 0, None, None, 0, 0, -1)
    assert (gencons(p), pwlcons(p)) == before


def test_deleting_columns_keeps_constraints_consistent():
    x1, x2, x3, y, z = (korvo.var(name=n, ub=10) for n in ("x1", "x2", "x3", "y", "z"))
    p = korvo.problem(x1, x2, x3, y, z)
    p.addgencons([0, 1, 4], [y, z, z], [0, 2, 3], [x1, x2, x3, x1])
    p.addpwlcons([x1, x3], [y, z], [0, 2], [0, 1, 0, 1], [0, 1, 1, 0])
    p.delVariable(x2)
    assert gencons(p)[0:5] == ((3, 0), [0, 1, 4], ["y", "z", "z"], [0, 1, 2], ["x1", "x3", "x1"])
    p.delVariable(x1)  # the max and the abs lose their only operand, the first pwl its argument
    assert gencons(p)[0:5] == ((1, 0), [1], ["z"], [0], ["x3"])
    assert pwlcons(p)[0:3] == (2, ["x3"], ["z"])
    p.delVariable(z)  # the resultant of both that are left
    assert gencons(p)[0] == (0, 0) and p.attributes.gencons == 0
    assert pwlcons(p)[0] == 0 and p.attributes.pwlcons == 0


def test_deleting_a_set_keeps_the_members_of_the_others(tmp_path):
    x = [korvo.var(name=f"x{i}") for i in range(4)]
    p = korvo.problem(x)
    sets = [korvo.sos([x[0], x[1]], [1, 2], type=1), korvo.sos([x[2], x[3]], [1, 2], type=1),
            korvo.sos([x[1], x[3]], [1, 2], type=1)]
    p.addSOS(sets)
    p.delSOS(sets[2])
    path = str(tmp_path / "s.mps")
    p.write(path)
    text = open(path).read()
    assert [line.split()[0] for line in text[text.index("\nSOS"):].splitlines()[2:] if line.startswith("    ")] \
        == ["x0", "x1", "x2", "x3"]


def test_mps_and_lp_round_trips(tmp_path):
    x1, x2 = korvo.var(lb=-3, ub=5, name="x1"), korvo.var(ub=4, name="x2")
    y, w = korvo.var(lb=-100, ub=100, name="y"), korvo.var(lb=-100, ub=100, name="w")
    p = korvo.problem(x1, x2, y, w, x1 + x2 >= 6)
    p.setObjective(y + w)
    p.addgencons([0, 4], [y, w], [0, 2], [x1, x2, x1], [0, 1], [1.5])
    p.addpwlcons([x2], [w], [0], [0, 1, 1, 4], [0, 0.25, 2, 3])
    path = str(tmp_path / "g.mps")
    p.write(path)
    q = korvo.problem()
    q.read(path)
    assert gencons(q) == gencons(p) and pwlcons(q) == pwlcons(p)
    assert solved(q)[0] == pytest.approx(solved(p)[0])
    # The LP format holds them too.
    p.write(str(tmp_path / "g.lp"))
    r = korvo.problem()
    r.read(str(tmp_path / "g.lp"))
    assert gencons(r) == gencons(p) and pwlcons(r) == pwlcons(p)
    assert solved(r)[0] == pytest.approx(solved(p)[0])
    # Partially integer columns it cannot hold.
    p.chgcoltype([x2], ["P"])
    with pytest.raises(korvo.SolverError, match="LP format"):
        p.write(str(tmp_path / "g.lp"))


def test_indicator_rows():
    x, b = korvo.var(ub=10, name="x"), korvo.var(vartype=korvo.binary, name="b")
    cap = korvo.constraint(x <= 2, name="cap")
    p = korvo.problem(x, b, cap)
    p.setObjective(x - 3 * b, sense=korvo.maximize)
    p.solve()
    p.setindicators([cap], [b], [1])  # x <= 2 only when b = 1
    cols, comps = [9, 9, 9], []
    p.getindicators(cols, comps)
    assert [str(c) for c in cols] == ["b"] and comps == [1]
    assert solved(p, x, b) == (pytest.approx(10), pytest.approx([10, 0]))
    with pytest.raises(korvo.SolverError):
        p.setindicators([cap], [b], [2])
    p.getindicators(cols, comps)
    assert comps == [1]
    p.delindicators()
    p.getindicators(cols, comps)
    assert cols == [-1] and comps == [0]
    assert solved(p, x, b)[0] == pytest.approx(2)
    with pytest.raises(korvo.InterfaceError, match="No rows in problem"):
        korvo.problem().delindicators()
