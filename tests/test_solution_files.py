"""Solution, basis and snapshot files: what is written reads back the same."""
import csv
import os

import pytest

import korvo


@pytest.fixture
def solved(quiet, tmp_path, monkeypatch):
    """max x + 2y + 0.3z over x + y + z <= 5.5 (c1), x - y >= -2 (c2), x <= 4, y <= 3, z integer <= 5.
    LP optimum x = 2.5, y = 3, z = 0 (objective 8.5), dual of c1 1, dj of z -0.7."""
    monkeypatch.chdir(tmp_path)
    x, y = korvo.var(name="x", ub=4), korvo.var(name="y", ub=3)
    z = korvo.var(name="z", vartype=korvo.integer, ub=5)
    c1 = korvo.constraint(x + y + z <= 5.5, name="c1")
    c2 = korvo.constraint(x - y >= -2, name="c2")
    p = korvo.problem(x, y, z, c1, c2, x + 2 * y + 0.3 * z, sense=korvo.maximize, name="demo")
    p.lpoptimize()
    return p


def lp_solution(p):
    x, s, d, dj = [], [], [], []
    p.getlpsol(x, s, d, dj)
    return x, s, d, dj


def test_csv_and_report_hold_the_solution(solved):
    p = solved
    x, s, d, dj = lp_solution(p)
    p.writesol("s.csv")
    with open("s.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    cols = [r for r in rows if r["type"] == "C"]
    cons = [r for r in rows if r["type"] == "R"]
    assert [r["name"] for r in cols] == ["x", "y", "z"]
    assert [float(r["value"]) for r in cols] == x and [float(r["reduced_cost"]) for r in cols] == dj
    assert [float(r["slack"]) for r in cons] == s and [float(r["dual"]) for r in cons] == d
    assert [float(r["value"]) for r in cons] == pytest.approx([5.5, -0.5])
    p.writeprtsol("s.prt")
    report = open("s.prt").read().splitlines()
    assert report[0] == "Problem: demo" and report[2] == "Objective: 8.5 (maximised)"
    zline = next(line for line in report if line.split()[:2] == ["2", "z"])
    assert [float(v) for v in zline.split()[3:5]] == pytest.approx([0.0, -0.7])


def test_plain_and_binary_solutions_read_back(solved):
    p = solved
    before = lp_solution(p)
    p.writeslxsol("s.slx")
    p.writebinsol("s.bin")
    other = korvo.problem()
    p.save("snap")
    other.restore("snap")
    other.lpoptimize()  # a different solve of its own, then the files replace it
    other.readslxsol("s.slx")
    assert lp_solution(other) == before
    other.readbinsol("s.bin")
    assert lp_solution(other) == before and other.attributes.lpobjval == 8.5
    # A MIP solution: values only, slacks and objective computed from them.
    p.mipoptimize()
    mx = []
    p.getmipsol(mx)
    p.writeslxsol("m.slx")
    assert open("m.slx").readline() == "NAME demo MIP\n"
    other.readslxsol("m.slx")
    got, slack = [], []
    other.getmipsol(got, slack)
    assert got == mx and slack == pytest.approx([5.5 - sum(mx), -2 - (mx[0] - mx[1])])
    assert other.attributes.mipobjval == pytest.approx(mx[0] + 2 * mx[1] + 0.3 * mx[2])


def test_bad_solution_files_change_nothing(solved):
    p = solved
    before = lp_solution(p)
    with open("bad.slx", "w") as f:
        f.write("NAME demo LP\nC x 1\nC nosuch 2\n.\n")
    with pytest.raises(korvo.SolverError, match="line 3: no column is named 'nosuch'"):
        p.readslxsol("bad.slx")
    with open("bad.slx", "w") as f:
        f.write("NAME demo LP\nC x one\n.\n")
    with pytest.raises(korvo.SolverError, match="not a number"):
        p.readslxsol("bad.slx")
    with open("bad.slx", "w") as f:
        f.write("NAME demo LP\nC x 1\n")
    with pytest.raises(korvo.SolverError, match="no closing"):
        p.readslxsol("bad.slx")
    with open("bad.bin", "wb") as f:
        f.write(b"KRVSSOL1" + b"\x00" * 5)
    with pytest.raises(korvo.SolverError, match="damaged"):
        p.readbinsol("bad.bin")
    small = korvo.problem(korvo.var(), name="small")
    small.lpoptimize()
    small.writebinsol("small.bin")
    with pytest.raises(korvo.SolverError, match="1 columns"):
        p.readbinsol("small.bin")
    with pytest.raises(korvo.SolverError, match="cannot open"):
        p.readslxsol("missing.slx")
    assert lp_solution(p) == before
    with pytest.raises(korvo.SolverError, match="no solution to write"):
        korvo.problem(korvo.var()).writesol("x.csv")


def test_basis_file_round_trip_starts_the_next_solve(solved):
    p = solved
    rs, cs = [], []
    p.getbasis(rs, cs)
    p.writebasis("b.bss")
    lines = open("b.bss").read().splitlines()
    assert lines[0].split() == ["NAME", "demo"] and lines[-1] == "ENDATA"
    assert " XL x c1" in lines and " UL y" in lines
    fresh = korvo.problem()
    p.save("snap")
    fresh.restore("snap")
    fresh.readbasis("b.bss")
    rs2, cs2 = [], []
    fresh.getbasis(rs2, cs2)
    assert (rs2, cs2) == (rs, cs)
    fresh.lpoptimize()
    assert fresh.attributes.simplexiter == 0 and fresh.attributes.lpobjval == pytest.approx(8.5)
    with open("bad.bss", "w") as f:
        f.write("NAME demo\n XL x nosuchrow\nENDATA\n")
    with pytest.raises(korvo.SolverError, match="no row is named 'nosuchrow'"):
        fresh.readbasis("bad.bss")
    with open("bad.bss", "w") as f:
        f.write("NAME demo\n XX x c1\nENDATA\n")
    with pytest.raises(korvo.SolverError, match="unknown basis entry"):
        fresh.readbasis("bad.bss")
    rs3, cs3 = [], []
    fresh.getbasis(rs3, cs3)
    assert (rs3, cs3) == (rs, cs)


def test_snapshot_restores_model_solution_and_controls(solved):
    p = solved
    p.controls.feastol = 1e-7
    p.save()  # under the problem's name
    assert os.path.exists("demo.svf")
    q = korvo.problem(korvo.var(name="old"), name="other")
    q.restore("demo")
    assert q.name() == "demo" and [v.name for v in q.getVariable()] == ["x", "y", "z"]
    assert lp_solution(q) == lp_solution(p) and q.attributes.lpstatus == 1
    assert q.controls.feastol == 1e-7
    assert q.getub(None) == [4.0, 3.0, 5.0]
    ct = []
    q.getcoltype(ct, 0, 2)
    assert ct == ["C", "C", "I"]
    # The restored problem solves to the same optimum, from its saved basis.
    q.lpoptimize()
    assert q.attributes.simplexiter == 0 and q.attributes.lpobjval == pytest.approx(8.5)
    q.mipoptimize()
    p.mipoptimize()
    assert q.attributes.mipobjval == pytest.approx(p.attributes.mipobjval)
    # A damaged snapshot changes nothing.
    with open("broken.svf", "wb") as f:
        f.write(open("demo.svf", "rb").read()[:60])
    with pytest.raises(korvo.SolverError, match="damaged"):
        q.restore("broken")
    assert q.name() == "demo" and len(q.getVariable()) == 3


def test_snapshot_of_quadratic_and_set_model(quiet, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    x, y, z = korvo.var(name="x"), korvo.var(name="y"), korvo.var(name="z", ub=2)
    s = korvo.sos([x, y, z], [1, 2, 3], type=2, name="s1")
    q = korvo.constraint(x * x + y * y <= 4, name="ball")
    p = korvo.problem(x, y, z, s, q, korvo.constraint(x + y + z >= 1, name="cover"), x * x + y * x + z)
    p.save("quad")
    r = korvo.problem()
    r.restore("quad")
    assert r.getqobj(0, 0) == 2.0 and r.getqobj(0, 1) == 1.0 and r.getqrowcoeff(0, 1, 1) == 1.0
    settype, start, members, weights = [], [], [], []
    r.getglobal(None, None, None, settype, start, members, weights)
    assert settype == ["2"] and [m.name for m in members] == ["x", "y", "z"] and weights == [1.0, 2.0, 3.0]
    assert r.getnamelist(1) == ["ball", "cover"] and r.getnamelist(3) == p.getnamelist(3)


def test_file_methods_refuse_hostile_arguments(solved):
    p = solved
    before = lp_solution(p)
    errors = (korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError)
    for method in ("writesol", "writeprtsol", "writeslxsol", "readslxsol", "writebinsol", "readbinsol",
                   "readbasis", "writebasis", "save"):
        for bad in (1.5, 2**70, object(), [1, 2], {"a": 1}):
            with pytest.raises(errors):
                getattr(p, method)(bad)
        with pytest.raises(errors):
            getattr(p, method)("f.txt", 7)
    for method in ("writesol", "readslxsol", "readbinsol", "readbasis"):
        with pytest.raises(korvo.SolverError):
            getattr(p, method)("/nonexistent/dir/file")
    with pytest.raises(korvo.SolverError, match="unknown flag"):
        p.writesol("f.csv", "z")
    with pytest.raises(errors):
        p.restore(None)
    with pytest.raises(korvo.SolverError, match="cannot open"):
        p.restore("/nonexistent/snap")
    assert lp_solution(p) == before and len(p.getVariable()) == 3


def test_directives_and_general_constraints_survive_files(quiet, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    x1, x2 = korvo.var(name="x1", ub=5), korvo.var(name="x2", ub=4)
    y = korvo.var(name="y", vartype=korvo.integer, ub=10)
    p = korvo.problem(x1, x2, y, korvo.constraint(x1 + x2 <= 6, name="cap"), y + x1, name="dirs")
    p.addgencons([0], [y], [0], [x1, x2], [0], [3.0])  # y = max(x1, x2, 3)
    with open("in.dir", "w") as f:
        f.write("NAME dirs\n UP y 3 1.5 2.5\n DN x2\n PR x1 7\nENDATA\n")
    p.readdirs("in.dir")
    p.writedirs("out.dir")
    lines = open("out.dir").read().splitlines()
    assert lines[1:] == [" PR x1 7 0 0", " DN x2 500 0 0", " UP y 3 1.5 2.5", "ENDATA"]
    p.readdirs("out.dir")
    p.writedirs("again.dir")
    assert open("again.dir").read() == open("out.dir").read()
    for text, message in (("NAME d\n UP nosuch 1\nENDATA\n", "no column is named 'nosuch'"),
                          ("NAME d\n UP y 1.5\nENDATA\n", "priority must be an integer"),
                          ("NAME d\n XX y\nENDATA\n", "expected 'UP|DN|PR"),
                          ("NAME d\n UP y\n", "no ENDATA")):
        with open("bad.dir", "w") as f:
            f.write(text)
        with pytest.raises(korvo.SolverError, match=message):
            p.readdirs("bad.dir")
    p.writedirs("after.dir")
    assert open("after.dir").read() == open("out.dir").read()
    # A snapshot keeps the directives and the general constraint.
    p.save("withgc")
    q = korvo.problem()
    q.restore("withgc")
    q.writedirs("restored.dir")
    assert open("restored.dir").read() == open("out.dir").read()
    counts = q.getgencons(None, None, None, None, 0, None, None, 0, 0, 0)
    assert counts == p.getgencons(None, None, None, None, 0, None, None, 0, 0, 0) and counts[0] == 2
    q.mipoptimize()
    p.mipoptimize()
    assert q.attributes.mipobjval == pytest.approx(p.attributes.mipobjval)
    assert q.attributes.mipobjval == pytest.approx(3.0)  # y = max(x1, x2, 3) = 3 with x1 = 0
