"""Everyday mistakes and edge situations, written the way a user meets them:
chained comparisons, odd variable types, asking for results that do not
exist, control objects that outlive their problem, misspelled controls."""
import gc

import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


# ---- constraints have no truth value ---------------------------------------

def test_chained_and_boolean_uses_of_constraints_are_refused():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    with pytest.raises(TypeError, match=r"korvo\.constraint\(x \+ y, lb=1, ub=3\)"):
        1 <= x + y <= 3
    with pytest.raises(TypeError):
        if x >= 3:
            pass
    with pytest.raises(TypeError):
        bool(korvo.constraint(body=x, lb=1))
    # Looking a variable up in a list compares with ==, which now refuses
    # instead of answering True for the wrong variable.
    with pytest.raises(TypeError):
        y in [x]
    with pytest.raises(TypeError):
        [x, y].index(y)
    # The documented way: variables hash by identity.
    position = {v: i for i, v in enumerate([x, y])}
    assert position[y] == 1 and y in {x, y} and korvo.var() not in {x, y}


def test_the_suggested_two_sided_constraint_solves_as_written():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    c = korvo.constraint(x + y, lb=1, ub=3)
    p = korvo.problem(x, y, c, x + y)
    p.solve()
    assert p.getObjVal() == pytest.approx(1.0)
    p.setObjective(x + y, sense=korvo.maximize)
    p.solve()
    assert p.getObjVal() == pytest.approx(3.0)


# ---- variable types --------------------------------------------------------

@pytest.mark.parametrize("bad", [42, 6, 7, -1])
def test_variable_types_outside_the_six_constants_are_refused(bad):
    with pytest.raises(korvo.ModelError, match=f"Invalid variable type {bad}"):
        korvo.var(vartype=bad)
    with pytest.raises(korvo.ModelError, match="Invalid variable type"):
        korvo.vars(3, vartype=bad)
    x = korvo.var(vartype=korvo.integer, ub=4)
    with pytest.raises(korvo.ModelError):
        x.vartype = bad
    assert x.vartype == korvo.integer
    # Every one of the six is accepted and solved as its kind.
    for kind in (korvo.continuous, korvo.binary, korvo.integer, korvo.semicontinuous, korvo.semiinteger,
                 korvo.partiallyinteger):
        assert korvo.var(vartype=kind, lb=0, ub=5, threshold=1).vartype == kind


# ---- no solution, no number ------------------------------------------------

def test_objective_value_needs_a_solution():
    x, y = korvo.var(name="x"), korvo.var(name="y")
    p = korvo.problem(x, y, x + y >= 2, x + 2 * y)
    with pytest.raises(korvo.SolverError, match="No LP solution"):
        p.getObjVal()
    p.solve()
    assert p.getObjVal() == pytest.approx(2.0)

    p.addConstraint(x + y <= 1)  # now infeasible
    p.solve()
    assert p.getProbStatusString() == "lp_infeas"
    with pytest.raises(korvo.SolverError):
        p.getObjVal()
    with pytest.raises(korvo.SolverError):
        p.getSolution()


def test_unbounded_lp_reports_no_solution_and_says_unbounded():
    x = korvo.var(lb=-korvo.infinity, name="x")
    p = korvo.problem(x, 2 * x)
    p.solve()
    assert p.getProbStatus() == korvo.lp_unbounded and p.getProbStatusString() == "lp_unbounded"
    with pytest.raises(korvo.SolverError, match="unbounded"):
        p.getObjVal()
    with pytest.raises(korvo.SolverError):
        p.getSolution()
    # Bounded again, the same problem solves and reports normally.
    p.addConstraint(x >= -3)
    p.solve()
    assert p.getObjVal() == pytest.approx(-6.0) and p.getSolution(x) == pytest.approx(-3.0)


def test_infeasible_mip_has_no_objective_value():
    b = korvo.var(vartype=korvo.binary, name="b")
    p = korvo.problem(b, b >= 2, b)
    p.solve()
    assert p.getProbStatusString() == "mip_infeas"
    with pytest.raises(korvo.SolverError, match="No MIP solution"):
        p.getObjVal()


# ---- control and attribute objects ---------------------------------------

def test_control_objects_keep_their_problem_alive():
    controls = korvo.problem().controls
    attributes = korvo.problem().attributes
    gc.collect()
    # Churn allocations so a freed problem's memory would be reused.
    others = [korvo.problem() for _ in range(5)]
    controls.presolve = 0
    assert controls.presolve == 0
    assert attributes.rows == 0
    # Another problem's controls are untouched.
    assert all(q.controls.presolve != 0 for q in others)


def test_missing_control_names_follow_the_attribute_protocol():
    p = korvo.problem()
    assert hasattr(p.controls, "presolve") and not hasattr(p.controls, "foo")
    assert not hasattr(p.attributes, "foo")
    assert getattr(p.controls, "foo", "absent") == "absent"
    assert korvo.controls.__doc__ and p.controls.__doc__
    with pytest.raises(AttributeError):
        p.attributes.foo
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name 'presolv'.*presolve"):
        p.controls.presolv
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name 'presolv'.*presolve"):
        p.setControl("presolv", 0)
    with pytest.raises(korvo.InterfaceError, match="unknown control 'presolv'.*presolve"):
        p.getControl("presolv")
    with pytest.raises(korvo.InterfaceError, match="'presolv'.*presolve"):
        p.controls.presolv = 1
    with pytest.raises(korvo.InterfaceError, match="'presolv'.*presolve"):
        korvo.controls.presolv
    help_text = []
    import pydoc
    help_text.append(pydoc.render_doc(p.controls))
    assert "Controls of a problem" in help_text[0]


# ---- sizes and depths that used to take the interpreter down ---------------

def test_huge_variable_arrays_raise_memory_error_and_leave_counters_alone():
    before = korvo.var()
    for args in [(10**9,), (10**5, 10**5), (2**62, 4), (["a", "b"], 10**12)]:
        with pytest.raises(MemoryError):
            korvo.vars(*args)
    # Nothing was made: identities continue where they were.
    assert hash(korvo.var()) == hash(before) + 1
    grid = korvo.vars(2, 3)
    assert grid.shape == (2, 3) and grid[1, 2].name == "x(1,2)"


def test_dropping_a_very_deep_nonlinear_chain_does_not_crash():
    # In a child: a stack overflow would take the test run with it.
    import subprocess
    import sys
    code = (
        "import korvo\n"
        "x = korvo.var()\n"
        "e = korvo.sin(x)\n"
        "for _ in range(700000):\n"
        "    e = korvo.sin(e)\n"
        "f = korvo.exp(e)\n"
        "del e\n"
        "del f\n"
        "g = x\n"
        "for _ in range(300000):\n"
        "    g = korvo.cos(-g)\n"
        "del g\n"
        "print('done')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "done", done.stderr[-2000:]


# ---- user functions, names, logs ---------------------------------------------

def test_an_exception_in_a_user_function_is_raised_as_itself():
    class Broken(Exception):
        pass

    calls = []

    def wobble(a):
        calls.append(a)
        if len(calls) > 3:
            raise Broken("no value at %g" % a)
        return a * a

    x = korvo.var(lb=1, ub=3, name="x")
    p = korvo.problem(x, korvo.user(wobble, x) + x >= 2, x)
    with pytest.raises(Broken, match="no value at") as raised:
        p.nlpoptimize()
    assert any("korvo.user" in note for note in getattr(raised.value, "__notes__", []))
    # The solve stopped at the failure instead of calling on and on.
    assert len(calls) < 10
    # Fixed, the same problem solves.
    p2 = korvo.problem(x, korvo.user(lambda a: a * a, x) + x >= 2, x)
    p2.nlpoptimize()
    assert p2.getSolution(x) == pytest.approx(1.0, abs=1e-4)

    def not_a_number(a):
        return "seven"

    y = korvo.var(lb=1, ub=3)
    q = korvo.problem(y, korvo.user(not_a_number, y) >= 0, y)
    with pytest.raises(TypeError):
        q.nlpoptimize()


def test_set_and_long_names_reach_the_files(tmp_path):
    x = korvo.vars(3, name="v" * 300)
    y = korvo.var(name="w" * 400)
    cap = korvo.constraint(x[0] + y <= 3, name="c" * 300)
    s1 = korvo.sos([x[0], x[1], x[2]], [1, 2, 3], name="pick_one")
    s2 = korvo.sos([x[0], x[1]], [1, 2], type=2, name="pair")
    p = korvo.problem(x, y, cap, s1, s2, x[0] + y)
    assert len(x[0].name) == 255 and len(y.name) == 400
    path = str(tmp_path / "named.lp")
    p.write(path, "l")
    words = open(path).read().split()
    assert "pick_one:" in words and "pair:" in words
    assert "S0:" not in words
    # One rule: 255 characters for every kind of name, in the file too.
    assert "w" * 255 in words and "w" * 256 not in open(path).read()
    assert any(w.startswith("c" * 255) and not w.startswith("c" * 256) for w in words)
    read = korvo.problem()
    read.read(path)
    assert read.attributes.sets == 2


def test_outputlog_off_silences_the_nonlinear_solve(capsys):
    korvo.setOutputEnabled(True)
    x = korvo.var(lb=-5, ub=5)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem(x, y, x * y >= 3, x + y >= 0, x + y)
    p.setControl("outputlog", 0)
    capsys.readouterr()
    p.nlpoptimize()
    assert capsys.readouterr().out == ""
    p.setControl("outputlog", 1)
    p.nlpoptimize()
    assert capsys.readouterr().out != ""
