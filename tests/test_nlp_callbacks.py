"""The nonlinear solver's callbacks (setcb<event>/unsetcb<event>): when each
fires in a real solve, with which arguments, what its result does, and how
an exception stops the solve."""
import pytest

import korvo
from nlp_models import circle_model_from_start


pytestmark = pytest.mark.usefixtures("quiet")


X_OPT = (1 - 7 ** 0.5) / 2


circle_model = circle_model_from_start


def recorder(log, name, result=None):
    def fn(problem, data, *args):
        assert isinstance(problem, korvo.problem)
        log.append((name, data) + args)
        return result(len([e for e in log if e[0] == name])) if callable(result) else result
    return fn


# ------------------------------------------------------------ solve events


def test_solve_events_fire_in_order_with_their_arguments():
    p, x, y, _ = circle_model()
    log = []
    for kind in ("construct", "slpstart", "iterstart", "iterend", "slpend", "destroy"):
        getattr(p, "setcb" + kind)(recorder(log, kind), kind.upper())
    p.setcbitervar(recorder(log, "itervar"), "V")
    messages = []
    p.setcbmessage(lambda prob, data, text, kind: messages.append((data, text, kind)), "M")
    p.nlpoptimize()
    sx, sy = p.getSolution(x, y)
    assert sx == pytest.approx(X_OPT, abs=1e-4) and sy == pytest.approx(1 - X_OPT, abs=1e-4)
    names = [e[0] for e in log]
    iterations = p.attributes.knls_iterations
    assert iterations >= 2
    assert names[:2] == ["construct", "slpstart"] and names[-2:] == ["slpend", "destroy"]
    assert names.count("iterstart") == names.count("iterend") == iterations
    # Every iteration: start, end, then each nonlinear column once.
    assert names[2:6] == ["iterstart", "iterend", "itervar", "itervar"]
    cols = sorted(e[2] for e in log if e[0] == "itervar")
    assert cols == sorted([p.getIndex(x), p.getIndex(y)] * iterations)
    assert all(e[1] == e[0].upper() for e in log if e[0] != "itervar")
    # The log reaches the message callback even with the output off.
    assert any("Nonlinear solve finished" in text for _, text, _ in messages)
    assert all(data == "M" and kind == 1 for data, _, kind in messages)


def test_start_and_iteration_results_decide_whether_the_solve_goes_on():
    p, x, y, _ = circle_model()
    log = []
    p.setcbslpstart(recorder(log, "slpstart", None))
    p.nlpoptimize()
    assert p.attributes.knls_status == 1
    p.unsetcbslpstart()
    # 1 from the start: no iteration at all.
    p.setcbslpstart(lambda prob, data: 1)
    p.nlpoptimize()
    assert p.attributes.knls_iterations == 0 and p.attributes.knls_status == 6
    p.unsetcbslpstart()
    # The iteration end at its second call; a non-int counts as -1 (stop).
    p.setcbiterend(recorder(log, "iterend", lambda n: 1 if n == 2 else None))
    p.nlpoptimize()
    assert p.attributes.knls_iterations == 2 and p.attributes.knls_status == 6
    p.unsetcbiterend()
    p.setcbiterstart(lambda prob, data: "go on")
    p.nlpoptimize()
    assert p.attributes.knls_iterations == 0
    p.unsetcbiterstart()
    # construct refusing: the solve stops before slpstart.
    log.clear()
    p.setcbconstruct(lambda prob, data: True)
    p.setcbslpstart(recorder(log, "slpstart"))
    p.nlpoptimize()
    assert log == [] and p.attributes.knls_iterations == 0


@pytest.mark.parametrize("kind", ["construct", "slpstart", "iterstart", "iterend", "itervar", "slpend", "destroy",
                                  "message"])
def test_an_exception_stops_the_solve_and_is_raised(kind, capfd):
    p, x, y, _ = circle_model()
    calls = []

    def boom(problem, data, *args):
        calls.append(args)
        raise ValueError("from " + kind)

    getattr(p, "setcb" + kind)(boom)
    later = []
    p.setcbiterstart(lambda prob, data: later.append(1)) if kind != "iterstart" else None
    with pytest.raises(ValueError, match="from " + kind):
        p.nlpoptimize()
    assert len(calls) == 1
    if kind in ("construct", "slpstart", "iterstart"):
        assert later == []
    if kind in ("iterend", "itervar"):
        assert len(later) == 1 and p.attributes.knls_iterations == 1
    err = capfd.readouterr().err
    expected = {"itervar": "Problem in itervar() callback", "message": "Problem in message callback"}
    assert expected.get(kind, "Problem in callback, stopping optimization") in err
    # The problem is usable afterwards and solves again once the callback is gone.
    getattr(p, "unsetcb" + kind)()
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(X_OPT, abs=1e-4)


# --------------------------------------------------------------- cascading


def determined_model():
    """min (y - 3)^2 + x  s.t.  x - y^2 = 0 (x determined by its row), with
    optimum y = 3/2, x = 9/4."""
    x = korvo.var(name="x", lb=-100, ub=100)
    y = korvo.var(name="y", lb=-100, ub=100)
    p = korvo.problem()
    p.addVariable(x, y)
    rx = korvo.constraint(x - y * y == 0)
    p.addConstraint(rx)
    p.setObjective((y - 3) ** 2 + x)
    p.addvars([x, y], detrow=[rx, -1], initvalue=[0.0, 2.0])
    return p, x, y, rx


def test_cascade_events_and_their_results():
    p, x, y, rx = determined_model()
    log = []
    for kind in ("cascadestart", "cascadevar", "cascadeend", "drcol", "cascadevarfail"):
        getattr(p, "setcb" + kind)(recorder(log, kind))
    p.cascade()
    assert [e[0] for e in log] == ["cascadestart", "drcol", "cascadevar", "cascadeend"]
    ix = p.getIndex(x)
    assert log[1][2:] == (ix, pytest.approx(4.0), -100.0, 100.0)
    assert log[2][2:] == (ix,)
    assert p.getcolinfo(2, x) == pytest.approx(4.0)
    # drcol's number replaces the value, kept within the bounds.
    p.unsetcbdrcol()
    p.setcbdrcol(lambda prob, data, col, value, lb, ub: 500.0)
    p.cascade()
    assert p.getcolinfo(2, x) == 100.0
    # cascadevar's nonzero gives the column its previous value back.
    p.unsetcbdrcol()
    p.chgvar(y, initial=1.0)
    p.setcbcascadevar(lambda prob, data, col: 1)
    p.cascade()
    assert p.getcolinfo(2, x) == 100.0
    p.unsetcbcascadevar()
    # cascadestart's nonzero skips the cascade.
    p.setcbcascadestart(lambda prob, data: 1)
    p.cascade()
    assert p.getcolinfo(2, x) == 100.0
    p.unsetcbcascadestart()
    p.cascade()
    assert p.getcolinfo(2, x) == pytest.approx(1.0)
    # No Newton step allowed: the row stays violated and cascadevarfail says so.
    log.clear()
    p.chgvar(y, initial=2.0)
    p.chgcascadenlimit(x, 0)
    p.cascade()
    assert [e for e in log if e[0] == "cascadevarfail"] == [("cascadevarfail", None, ix)]


def test_cascading_inside_the_slp_solve():
    p, x, y, rx = determined_model()
    counts = {}

    def count(kind):
        def fn(problem, data, *args):
            counts[kind] = counts.get(kind, 0) + 1
        return fn

    for kind in ("cascadestart", "cascadeend", "cascadevar", "drcol"):
        getattr(p, "setcb" + kind)(count(kind))
    p.nlpoptimize()
    assert counts == {}  # cascading is off by default
    p.controls.knls_cascade = 1
    p.nlpoptimize()
    assert p.getSolution(y) == pytest.approx(1.5, abs=1e-4)
    assert p.getSolution(x) == pytest.approx(2.25, abs=1e-4)
    assert counts["cascadestart"] == counts["cascadeend"] == counts["cascadevar"] == counts["drcol"] >= 2

    # An exception in the middle of a cascade stops the solve and is raised.
    def boom(problem, data, col):
        raise KeyError("cascade")
    p.setcbcascadevar(boom)
    with pytest.raises(KeyError):
        p.nlpoptimize()
    p.unsetcbcascadevar(boom)
    with pytest.raises(KeyError):
        p.setcbcascadevarfail(lambda prob, data, col: (_ for _ in ()).throw(KeyError("fail")))
        p.chgcascadenlimit(x, 0)
        p.cascade()


# ----------------------------------------------------- evaluation errors


def test_coefficient_evaluation_errors():
    """min x  s.t.  ln(x) >= -100 from x = 1: the first step reaches x = 0
    where the logarithm fails."""
    x = korvo.var(name="x", lb=0, ub=10)
    p = korvo.problem()
    p.addVariable(x)
    row = korvo.constraint(x >= -1000, name="r")
    p.addConstraint(row)
    p.chgccoef(row, -1, 1.0, "LN(x) - x")
    p.setObjective(x)
    p.addvars([x], initvalue=[1.0])
    log = []
    p.setcbcoefevalerror(recorder(log, "coefevalerror", 0))
    p.nlpoptimize()
    assert log and log[0][2:] == (p.getIndex(row), -1)
    assert p.getSolution(x) == pytest.approx(0.0, abs=1e-3)
    # Nonzero stops the solve at the first failure.
    p.unsetcbcoefevalerror()
    log.clear()
    p.setcbcoefevalerror(recorder(log, "coefevalerror", 1))
    p.nlpoptimize()
    assert len(log) == 1 and p.attributes.knls_status == 6


# ------------------------------------------------------ mixed-integer nodes


def test_node_events_of_a_mixed_integer_solve():
    """min (x - 2.4)^2 + (y - 0.3)^2 with x integer in [0, 5]."""
    x = korvo.var(name="x", lb=0, ub=5, vartype=korvo.integer)
    y = korvo.var(name="y", lb=-5, ub=5)
    p = korvo.problem()
    p.addVariable(x, y)
    p.setObjective((x - 2.4) ** 2 + (y - 0.3) ** 2 + 0 * x * y)
    log = []
    for kind in ("prenode", "slpnode", "optnode", "intsol"):
        getattr(p, "setcb" + kind)(recorder(log, kind))
    p.nlpoptimize()
    # The search's improving integer solutions, then the integer-fixed node.
    names = [e[0] for e in log]
    assert names[0] == "intsol"
    assert [n for n in names if n != "intsol"] == ["prenode", "slpnode", "optnode"]
    assert p.getSolution(x) == pytest.approx(2.0, abs=1e-6)
    assert p.getSolution(y) == pytest.approx(0.3, abs=1e-4)
    # prenode's nonzero drops the node: no local solve, still an integer solution.
    log.clear()
    p.unsetcbprenode()
    p.setcbprenode(recorder(log, "prenode", 1))
    p.nlpoptimize()
    names = [e[0] for e in log]
    assert [n for n in names if n != "intsol"] == ["prenode"] and "intsol" in names
    p.unsetcbprenode()
    p.unsetcbslpnode()
    p.setcbslpnode(recorder(log, "slpnode", 1))
    log.clear()
    p.nlpoptimize()
    names = [e[0] for e in log]
    assert [n for n in names if n != "intsol"] == ["slpnode"] and "intsol" in names


# ------------------------------------------------------------- multistart


def test_multistart_job_events():
    x = korvo.var(name="x", lb=-4, ub=5)
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(((x - 1) ** 2 - 4) ** 2 - 0.5 * (x - 1))
    good, bad = object(), object()
    p.msaddjob("good", [x], [2.5], None, good)
    p.msaddjob("bad", [x], [-2.0], None, bad)
    log = []
    p.setcbmsjobstart(recorder(log, "msjobstart"))
    p.setcbmsjobend(recorder(log, "msjobend"))
    p.setcbmswinner(recorder(log, "mswinner"))
    p.nlpoptimize()
    starts = sorted(e[3] for e in log if e[0] == "msjobstart")
    ends = sorted(e[3] for e in log if e[0] == "msjobend")
    assert starts == ends == ["bad", "good"]
    assert [e for e in log if e[0] == "mswinner"] == [("mswinner", None, good, "good")]
    assert p.getSolution(x) == pytest.approx(3.0, abs=0.05)
    # A job kept out by msjobend, another skipped by msjobstart: the plain
    # start (no job object, empty description) wins.
    p.unsetcbmsjobend()
    p.unsetcbmsjobstart()
    p.setcbmsjobend(lambda prob, data, job, text: 1 if job is good else 0)
    p.setcbmsjobstart(lambda prob, data, job, text: 1 if text == "bad" else None)
    log.clear()
    p.nlpoptimize()
    assert log == [("mswinner", None, None, "")]
    assert p.attributes.knls_mswinner == 0
    # An exception in a job event stops the whole multistart.
    p.unsetcbmsjobstart()
    p.setcbmsjobstart(lambda prob, data, job, text: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        p.nlpoptimize()


# ----------------------------------------------------------- registration


def test_registration_and_removal():
    p, x, y, _ = circle_model()
    with pytest.raises(korvo.InterfaceError, match="Cannot add callback"):
        p.setcbiterend(42)
    with pytest.raises(korvo.InterfaceError, match="Cannot add callback"):
        p.setcbiterend(lambda prob, data: 0, None, "high")
    p.unsetcbiterend()  # empty: nothing to do
    f = recorder([], "f")
    with pytest.raises(korvo.InterfaceError, match="empty set"):
        p.unsetcbiterend(f)
    calls = []
    g = lambda prob, data: calls.append(data)  # noqa: E731
    p.setcbiterend(g, "a")
    p.setcbiterend(g, "b")
    with pytest.raises(korvo.InterfaceError, match="Callback not found"):
        p.unsetcbiterend(f)
    p.controls.knls_iterlimit = 1
    p.nlpoptimize()
    assert calls == ["a", "b"]
    # Removing by data leaves the other registration, in the engine too.
    p.unsetcbiterend(g, "a")
    calls.clear()
    p.nlpoptimize()
    assert calls == ["b"]
    p.unsetcbiterend()
    calls.clear()
    p.nlpoptimize()
    assert calls == []
    # A copy of the problem carries its registrations.
    p.setcbiterend(g, "copied")
    q = p.copy()
    calls.clear()
    q.nlpoptimize()
    assert calls == ["copied"]


def test_reports_of_actions_reach_the_message_callback():
    p, x, y, c1 = circle_model()
    lines = []
    p.setcbmessage(lambda prob, data, text, kind: lines.append(text))
    p.validaterow(c1)
    p.validate()
    assert len(lines) >= 2
    p.unsetcbmessage()

    def boom(prob, data, text, kind):
        raise RuntimeError("no reports")
    p.setcbmessage(boom)
    with pytest.raises(RuntimeError, match="no reports"):
        p.validate()
    p.unsetcbmessage()
    p.validate()
