"""Scaling with the caller's factors, resetting nonlinear controls, loads that
replace everything of the old model, general and piecewise-linear
constraints in LP files, the user-solution notification of MIP starts and
message switches."""
import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


# ---------------------------------------------------------------- scale


def badly_scaled():
    """max x + 2y  s.t.  c1: 1e6 x + 1e6 y <= 4e6,  c2: 1e-3 x + 3e-3 y <= 6e-3,
    c3: x - y >= -1e5 (slack), 0 <= x, y <= 10: optimum 5 at (3, 1)."""
    x, y = korvo.var(name="x", ub=10), korvo.var(name="y", ub=10)
    c1 = korvo.constraint(1e6 * x + 1e6 * y <= 4e6, name="c1")
    c2 = korvo.constraint(1e-3 * x + 3e-3 * y <= 6e-3, name="c2")
    c3 = korvo.constraint(x - y >= -1e5, name="c3")
    p = korvo.problem(x, y, c1, c2, c3, name="scaled")
    p.setObjective(x + 2 * y, sense=korvo.maximize)
    return p, x, y


def answers(p):
    p.lpoptimize()
    assert p.attributes.lpstatus == korvo.lp_optimal
    x, slack, duals, djs = [], [], [], []
    p.getlpsol(x, slack, duals, djs)
    return p.attributes.lpobjval, x, slack, duals, djs


def log_lines(p, action):
    lines = []
    p.addcbmessage(lambda prob, data, msg, msgtype: lines.append(msg), None, 0)
    action()
    p.removecbmessage()
    return lines


def test_caller_factors_leave_every_answer_in_user_units():
    p, x, y = badly_scaled()
    plain = answers(p)
    assert plain[0] == pytest.approx(5) and plain[1] == pytest.approx([3, 1])
    # Rows to around 1, column y in other units: the solver's numbers change,
    # the caller's must not.
    p.scale(rowscale=[-20, 10, 0], colscale=[0, 3])
    lines = log_lines(p, p.lpoptimize)
    assert any("factors given by scale()" in line for line in lines)
    scaled = answers(p)
    assert scaled[0] == pytest.approx(plain[0], rel=1e-9)
    for got, want in zip(scaled[1:], plain[1:]):
        assert got == pytest.approx(want, rel=1e-7, abs=1e-12)
    # The duals really are the unscaled ones: c1's dual prices a unit of 4e6.
    assert abs(scaled[3][0]) == pytest.approx(0.5e-6) and abs(scaled[3][1]) == pytest.approx(500)
    # The factors follow a new row (factor 1) and a deleted one.
    p.addrows(["L"], [2.5], [0, 1], [x], [1.0])  # x <= 2.5: c2 gives y = 7/6
    obj, sol = answers(p)[:2]
    assert obj == pytest.approx(2.5 + 2 * 7 / 6) and sol == pytest.approx([2.5, 7 / 6])
    p.delConstraint(1)  # c2 goes: max x + 2y with x + y <= 4, x <= 2.5 -> y = 4
    assert answers(p)[0] == pytest.approx(8)
    # Without arguments the solver's own scaling returns.
    p.scale()
    assert not any("factors given by scale()" in line for line in log_lines(p, p.lpoptimize))
    assert p.attributes.lpobjval == pytest.approx(8)


def test_scaled_mip_keeps_integer_columns_integral():
    x = korvo.var(vartype=korvo.integer, ub=10, name="x")
    y = korvo.var(ub=10, name="y")
    p = korvo.problem(x, y, 2 * x + 2 * y <= 7, y <= 0.25)
    p.setObjective(x + 3 * y, sense=korvo.maximize)
    p.scale(colscale=[5, -4])  # x would be fractional in units of 32
    p.mipoptimize()
    sol = []
    p.getmipsol(sol)
    assert sol == pytest.approx([3, 0.25]) and p.attributes.mipobjval == pytest.approx(3.75)


def test_loaded_starting_point_under_scaling():
    p, x, y = badly_scaled()
    p.scale(rowscale=[-20, 10, 0], colscale=[2, -3])
    assert p.loadlpsol(x=[3, 1]) == 0
    assert answers(p)[1] == pytest.approx([3, 1])


def test_refused_scale_changes_nothing():
    p, x, y = badly_scaled()
    p.scale(rowscale=[-20, 10, 0])
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.scale(rowscale=[0, 65, 0])
    with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 2, found 3"):
        p.scale(colscale=[1, 2, 3])
    # The earlier factors still apply.
    assert any("factors given by scale()" in line for line in log_lines(p, p.lpoptimize))
    p.scale(mrscal=[0, 0, 0], mcscal=[0, 0])  # all zero: nothing to scale
    assert not any("factors given by scale()" in line for line in log_lines(p, p.lpoptimize))


# ---------------------------------------------------------------- controls


def test_setdefaultcontrol_resets_nonlinear_controls():
    p = korvo.problem()
    p.controls.knls_iterlimit = 7
    p.controls.knls_feastol = 1e-3
    p.controls.presolve = 0
    p.setdefaultcontrol("knls_iterlimit")
    p.setdefaultcontrol(ipar="KNLS_FEASTOL")
    p.setdefaultcontrol("presolve")
    assert p.controls.knls_iterlimit == 3000
    assert p.controls.knls_feastol == pytest.approx(1e-6)
    assert p.controls.presolve == 1
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name"):
        p.setdefaultcontrol("knls_nosuchcontrol")


def test_message_status_round_trip():
    p = korvo.problem()
    assert p.getmessagestatus(201) == 1
    p.setmessagestatus(201, 0)
    assert p.getmessagestatus(201) == 0 and p.getmessagestatus(errcode=103) == 1
    p.setmessagestatus(201, 1)
    assert p.getmessagestatus(msgcode=201) == 1
    with pytest.raises(korvo.SolverError, match="unknown message code"):
        p.getmessagestatus(12345)
    with pytest.raises(korvo.ModelError):
        p.getmessagestatus(2 ** 40)


# ---------------------------------------------------------------- loadproblem


def test_loadproblem_leaves_nothing_of_the_old_model():
    x = korvo.var(name="x", ub=4)
    y = korvo.var(name="y", lb=-10, ub=10)
    b = korvo.var(vartype=korvo.binary, name="b")
    c1 = korvo.constraint(x + y <= 3, name="c1")
    p = korvo.problem(x, y, b, c1)
    p.setObjective(y)
    p.lpoptimize()
    assert p.attributes.lpstatus == korvo.lp_optimal
    p.chgccoef(c1, -1, 1.0, "x ^ 2")
    p.addvars([x], initvalue=[1.0])
    p.addtolsets([0.1] * 9)
    p.msaddjob("job", [x], [2.0])
    p.addgencons([4], [y], [0], [x])
    p.addpwlcons([x], [y], [0], [0, 4], [0, 8])
    p.addcuts([1], ["L"], [3], [0, 1], [x], [1.0])
    p.loaddirs([b], [3], ["U"])
    p.addmipsol([1, 2, 0], name="old start")

    # min -u - v  s.t.  u + v <= 2,  0 <= u, v <= 5: optimum -2.
    p.loadproblem("fresh", "L", [2], None, [-1, -1], [0, 1, 2], None, [0, 0], [1, 1], [0, 0], [5, 5],
                  colnames=["u", "v"], rownames=["r"])
    a = p.attributes
    assert (a.cols, a.rows, a.gencons, a.pwlcons, a.mipstarts) == (2, 1, 0, 0, 0)
    assert a.knls_coefs == 0 and a.lpstatus == 0
    cuts = []
    p.getcutlist(-1, -1, 10, cuts)
    assert cuts == []
    cols = []
    p.getdirs(cols)
    assert cols == []
    with pytest.raises(korvo.SolverError):
        p.gettolset(1)
    assert p.getvar(0)[5] == 0.0  # no SLP start value left behind
    with pytest.raises(korvo.SolverError):
        p.getlpsol([], [], [], [])
    p.solve()
    assert p.getObjVal() == pytest.approx(-2)
    # No multistart job of the old model runs with the nonlinear solver.
    p.nlpoptimize()
    assert p.attributes.knls_msjobs == 0 and p.getObjVal() == pytest.approx(-2)


# ---------------------------------------------------------------- LP files


def test_general_and_piecewise_constraints_round_trip_through_lp(tmp_path):
    x1, x2 = korvo.var(lb=-3, ub=5, name="x1"), korvo.var(ub=4, name="x2")
    y, w = korvo.var(lb=-100, ub=100, name="y"), korvo.var(lb=-100, ub=100, name="w")
    b1, b2, r = (korvo.var(vartype=korvo.binary, name=n) for n in ("b1", "b2", "r"))
    z = korvo.var(lb=-100, ub=100, name="z")
    p = korvo.problem(x1, x2, y, w, b1, b2, r, z, x1 + x2 >= 6, b1 + b2 >= 1)
    p.setObjective(y + w + r + z)
    p.addgencons([0, 4, 3], [y, w, r], [0, 2, 3], [x1, x2, x1, b1, b2], [0, 1, 1], [-1.5])
    p.addpwlcons([x2, x1], [w, z], [0, 4], [0, 1, 1, 4, -3, 5], [0, 0.25, 2, 3, 1e-7, -2.5])
    p.delgencons([1])  # w is left to the pwl alone
    path = str(tmp_path / "g.lp")
    p.write(path)
    text = open(path).read()
    assert "GenCons\n y = MAX ( x1 , x2 , -1.5 )\n r = OR ( b1 , b2 )\n" in text
    assert " w = PWL ( x2 ) : ( 0 , 0 ) ( 1 , 0.25 ) ( 1 , 2 ) ( 4 , 3 )\n" in text
    q = korvo.problem()
    q.read(path)
    for query in ("getgencons", "getpwlcons"):
        lists = [[] for _ in range(7 if query == "getgencons" else 5)]
        other = [[] for _ in lists]
        if query == "getgencons":
            assert q.getgencons(*lists[:4], 100, *lists[4:6], 100) == p.getgencons(*other[:4], 100, *other[4:6], 100)
        else:
            assert q.getpwlcons(*lists, 100) == p.getpwlcons(*other, 100)
        assert [[str(v) for v in a] for a in lists] == [[str(v) for v in a] for a in other]
    p.solve()
    q.solve()
    assert q.getObjVal() == pytest.approx(p.getObjVal())
    # Written again from what was read: the same file.
    q.write(str(tmp_path / "h.lp"))
    assert open(str(tmp_path / "h.lp")).read().split("\n", 1)[1] == text.split("\n", 1)[1]


@pytest.mark.parametrize("body, message", [
    (" y = MAX ( x1 x2 )", "expected ','"),
    (" y = ABS ( x1 , x2 )", "ABS constraint takes one column"),
    (" y = AND ( x1 , 2 )", "only MAX and MIN"),
    (" y = MEAN ( x1 )", "unknown general constraint type"),
])
def test_bad_general_constraint_sections_are_refused(tmp_path, body, message):
    path = tmp_path / "bad.lp"
    path.write_text("Minimize\n obj: y\nSubject To\n c: x1 + x2 >= 1\nGenCons\n" + body + "\nEnd\n")
    x = korvo.var(name="keep")
    p = korvo.problem(x)
    with pytest.raises(korvo.SolverError, match=message):
        p.read(str(path))
    assert p.attributes.cols == 1 and p.getVariable(0) is x


def test_bad_piecewise_sections_are_refused(tmp_path):
    for body, message in ((" y = PWL ( x ) : ( 1 , 0 ) ( 0 , 1 )", "must not decrease"),
                          (" y = PWL ( x ) :", "without points"),
                          (" y = PWL ( x ) : ( 1 , inf )", "finite")):
        path = tmp_path / "bad.lp"
        path.write_text("Minimize\n obj: y\nSubject To\n c: x >= 1\nPWLCons\n" + body + "\nEnd\n")
        with pytest.raises(korvo.SolverError, match=message):
            korvo.problem().read(str(path))


def test_a_column_named_like_the_new_sections_still_reads(tmp_path):
    path = tmp_path / "old.lp"
    path.write_text("Minimize\n obj: gencons + pwlcons\nSubject To\n c: gencons + pwlcons >= 2\n"
                    "Bounds\n gencons <= 1\nGenerals\n pwlcons gencons\nEnd\n")
    p = korvo.problem()
    p.read(str(path))
    p.solve()
    assert p.getObjVal() == pytest.approx(2) and p.attributes.cols == 2
    assert p.attributes.mipents == 2


# ---------------------------------------------------------------- usersolnotify


def test_usersolnotify_reports_every_mip_start():
    x = [korvo.var(vartype=korvo.integer, ub=5, name=f"x{i}") for i in range(3)]
    p = korvo.problem(x, x[0] + x[1] + x[2] <= 6, x[0] - x[1] >= 0)
    p.setObjective(x[0] + 2 * x[1] + 3 * x[2], sense=korvo.maximize)
    seen = []
    p.addcbusersolnotify(lambda prob, data, name, status: seen.append((data, name, status)), "tag", 0)
    p.addmipsol([2, 1, 3], name="full")       # feasible as given
    p.addmipsol([1], [x[0]], name="partial")  # completed by a search
    p.addmipsol([0, 3, 0], name="bad")        # x0 - x1 >= 0 fails
    p.mipoptimize()
    assert seen == [("tag", "full", 1), ("tag", "partial", 2), ("tag", "bad", 3)]
    assert p.attributes.mipobjval == pytest.approx(16)
    # Decided starts are not offered again; a removed callback hears nothing.
    p.removecbusersolnotify()
    p.addmipsol([0, 0, 0], name="zero")
    p.mipoptimize()
    assert len(seen) == 3


def test_usersolnotify_from_the_engines_search_on_a_miqp():
    # A convex MIQP goes to the engine's own search; a start that fixes its
    # integer column leaves a QP to check it by.
    x = korvo.var(vartype=korvo.integer, ub=5, name="x")
    y = korvo.var(name="y")
    p = korvo.problem(x, y, x + y >= 3)
    p.setObjective((x - 2.3) ** 2 + y)
    seen = []
    p.addcbusersolnotify(lambda prob, data, name, status: seen.append((name, status)))
    p.addmipsol([2, 1], name="given")
    p.addmipsol([0, 0], name="short")  # x + y >= 3 fails; with x = 0 kept, y = 3 completes it
    p.mipoptimize()
    assert seen == [("given", 1), ("short", 2)]
    sol = []
    p.getmipsol(sol)
    assert sol == pytest.approx([3, 0]) and p.attributes.mipobjval == pytest.approx(0.49)
