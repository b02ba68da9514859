"""Controls, the log file, message codes, the problem name, and starting
bases and points handed to the next solve."""
import pytest

import korvo


def lp_model():
    """max x + 2y  s.t.  c1: x + y <= 4,  c2: x + 3y <= 6: optimum 5 at (3, 1), both rows tight."""
    x, y = korvo.var(name="x", ub=10), korvo.var(name="y", ub=10)
    p = korvo.problem(x, y, korvo.constraint(x + y <= 4, name="c1"), korvo.constraint(x + 3 * y <= 6, name="c2"))
    p.setObjective(x + 2 * y, sense=korvo.maximize)
    return p


def test_controls_copied_and_reset(quiet):
    p, q = lp_model(), lp_model()
    q.controls.presolve = 0
    q.controls.feastol = 1e-7
    p.copycontrols(q)
    assert (p.controls.presolve, p.controls.feastol) == (0, 1e-7)
    p.setdefaultcontrol("PRESOLVE")
    assert (p.controls.presolve, p.controls.feastol) == (1, 1e-7)
    p.setdefaultcontrol(ipar="feastol")
    assert p.controls.feastol == 1e-6
    q.setdefaults()
    assert (q.controls.presolve, q.controls.feastol) == (1, 1e-6)
    with pytest.raises(korvo.ModelError, match="A problem must be passed for copying controls"):
        p.copycontrols("q")
    with pytest.raises(korvo.InterfaceError, match="Incorrect control name"):
        p.setdefaultcontrol("nosuchcontrol")


def test_problem_name(quiet, tmp_path):
    p = lp_model()
    p.setprobname("renamed")
    assert p.name() == "renamed"
    path = str(tmp_path / "m.lp")
    p.write(path)
    with open(path) as f:
        assert "renamed" in f.read()


def test_log_file_and_message_codes(tmp_path, capsys):
    p = lp_model()
    log = tmp_path / "run.log"
    p.setlogfile(str(log))
    p.solve()
    first = log.read_text()
    assert "Solving LP" in first and "Solve finished" in first
    # Code 103 (the solve summary) dropped: from the file and from the output.
    p.setmessagestatus(103, 0)
    capsys.readouterr()
    p.solve()
    assert "Solve finished" not in capsys.readouterr().out
    second = log.read_text()[len(first):]
    assert "Solving LP" in second and "Solve finished" not in second
    p.setmessagestatus(errcode=103, status=1)
    p.setlogfile("")  # closed: later lines stay out of the file
    p.solve()
    assert log.read_text() == first + second
    with pytest.raises(korvo.SolverError, match="unknown message code 99999"):
        p.setmessagestatus(99999, 0)
    with pytest.raises(korvo.SolverError, match="cannot open the log file"):
        p.setlogfile(str(tmp_path / "no" / "such" / "dir.log"))


def test_loaded_basis_starts_the_solve(quiet):
    cold = lp_model()
    cold.solve()
    assert cold.attributes.simplexiter > 0
    p = lp_model()
    # The optimal basis: x and y basic, both rows tight.
    p.loadbasis([0, 0], [1, 1])
    p.solve()
    assert p.getObjVal() == pytest.approx(5)
    assert p.attributes.simplexiter == 0
    p.loadpresolvebasis(rstatus=[0, 0], cstatus=[1, 1])
    p.solve()
    assert p.attributes.simplexiter == 0
    # A basis whose structure no longer fits is not used, and the solve is still right.
    p.loadbasis([0, 0], [1, 1])
    p.addVariable(korvo.var(name="z"))
    p.solve()
    assert p.getObjVal() == pytest.approx(5)


@pytest.mark.parametrize(
    "rows, cols, error, text",
    [
        ([0], [1, 1], korvo.ModelError, "Mismatched lengths in arguments: expected 2, found 1"),
        ([0, 0], [1, 1, 1], korvo.ModelError, "Mismatched lengths in arguments: expected 2, found 3"),
        ([0, 0], [1, 0], korvo.SolverError, "basic"),
        ([0, 7], [1, 1], korvo.SolverError, "invalid status 7"),
        ([2, 0], [1, 1], korvo.SolverError, "not a range row"),
    ],
)
def test_bad_bases_are_refused(rows, cols, error, text, quiet):
    p = lp_model()
    with pytest.raises(error, match=text):
        p.loadbasis(rows, cols)
    p.solve()
    assert p.getObjVal() == pytest.approx(5)


def test_loaded_solution(quiet):
    p = lp_model()
    assert p.loadlpsol(x=[3, 1]) == 0
    assert p.loadlpsol([3, 1], [0, 0], dual=[-0.5, -0.5], dj=[0, 0]) == 0
    p.solve()
    assert p.getObjVal() == pytest.approx(5)
    with pytest.raises(korvo.ModelError, match="Mismatched lengths in arguments: expected 2, found 3"):
        p.loadlpsol(x=[1, 2, 3])
    with pytest.raises(korvo.SolverError, match="together"):
        p.loadlpsol(x=[1, 2], duals=[0, 0])
    with pytest.raises(korvo.SolverError, match="no part"):
        p.loadlpsol()


def test_scaling(quiet):
    p = lp_model()
    p.controls.scaling = 0
    p.scale()
    assert p.controls.scaling == 1
    with pytest.raises(korvo.SolverError, match="out of range"):
        p.scale([0, -70], [0, 0])
    p.scale([4, -3], [1, 2])
    p.solve()
    assert p.getObjVal() == pytest.approx(5)
