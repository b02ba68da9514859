"""Events of multistart jobs: every job's solve raises the per-iteration
events of the problem's registrations, with a problem whose attributes are
the job's, one event at a time even when a registration lets other threads
run, and a registration that raises stops the solve with its exception."""
import threading
import time

import pytest

import korvo


def double_well_with_jobs(jobs):
    """min ((x-1)^2 - 4)^2 - (x-1)/2 on [-4, 5] with start points spread
    over the interval as jobs."""
    x = korvo.var(name="x", lb=-4, ub=5)
    p = korvo.problem()
    p.addVariable(x)
    p.setObjective(((x - 1) ** 2 - 4) ** 2 - 0.5 * (x - 1))
    for k in range(jobs):
        p.msaddjob(f"job{k}", [x], [-3.5 + 8.0 * k / max(1, jobs - 1)])
    return p, x


@pytest.mark.parametrize("threads", [1, 2])
def test_every_job_raises_its_iteration_events(quiet, threads):
    p, _ = double_well_with_jobs(6)
    p.controls.knls_msthreads = threads
    events = []
    p.setcbiterstart(lambda prob, data: events.append(("start", data)) or 0, "S")
    p.setcbiterend(lambda prob, data: events.append(("end", data)) or 0, "E")
    p.nlpoptimize()
    assert p.attributes.knls_msjobs == 7
    # The problem's iteration count adds up the jobs' iterations.
    total = p.attributes.knls_iterations
    assert total >= 7
    assert events.count(("start", "S")) == total
    assert events.count(("end", "E")) == total


def test_registrations_see_one_event_at_a_time(quiet):
    """Each registration sleeps (letting the other worker run) while it
    marks itself busy: a second event entering meanwhile would find the
    mark."""
    p, _ = double_well_with_jobs(6)
    p.controls.knls_msthreads = 2
    busy = []
    overlaps = []
    threads_seen = set()

    def slow(prob, data):
        if busy:
            overlaps.append(data)
        busy.append(1)
        threads_seen.add(threading.get_ident())
        time.sleep(0.0005)
        busy.pop()
        return 0

    p.setcbiterstart(slow, "start")
    p.setcbiterend(slow, "end")
    p.nlpoptimize()
    assert overlaps == []
    assert p.attributes.knls_msjobs == 7


def test_a_job_stopped_by_its_iteration_end(quiet):
    """A nonzero iterend result ends the job that raised it after that
    iteration: every job then runs one iteration."""
    p, _ = double_well_with_jobs(4)
    p.controls.knls_msthreads = 2
    p.setcbiterend(lambda prob, data: 1)
    p.nlpoptimize()
    assert p.attributes.knls_iterations == 5


def test_callback_sees_the_job_problem(quiet):
    """A job's registration is called with a problem whose nonlinear
    controls are the job's, not those of the problem the jobs solve for."""
    p, x = double_well_with_jobs(0)
    for k, penalty in enumerate((20.0, 30.0, 40.0)):
        p.msaddjob(f"job{k}", [x], [-3.0 + 3 * k], {"knls_penalty": penalty})
    p.controls.knls_msthreads = 2
    seen = set()
    p.setcbiterend(lambda prob, data: seen.add(prob.controls.knls_penalty) or 0)
    p.nlpoptimize()
    assert seen == {10.0, 20.0, 30.0, 40.0}
    assert p.controls.knls_penalty == 10.0


def test_exception_in_a_job_event_is_raised_by_the_solve(quiet):
    p, x = double_well_with_jobs(6)
    p.controls.knls_msthreads = 2

    def fails(prob, data):
        raise ValueError("stop here")

    p.setcbiterend(fails)
    with pytest.raises(ValueError, match="stop here"):
        p.nlpoptimize()
    # The problem stays usable.
    p.unsetcbiterend()
    p.nlpoptimize()
    assert p.getSolution(x) == pytest.approx(3.0, abs=0.05)


def test_integer_solutions_of_the_search_raise_intsol(quiet):
    """min (x - 2.4)^2 + (y - 0.3)^2 + (z - 1.6)^2, x and z integer, with
    x + z <= 4, from (5, -5, 0): every integer solution that the search
    accepts and that improves the best one raises intsol, the last being
    the result."""
    x = korvo.var(lb=0, ub=5, vartype=korvo.integer)
    z = korvo.var(lb=0, ub=5, vartype=korvo.integer)
    y = korvo.var(lb=-5, ub=5)
    p = korvo.problem()
    p.addVariable(x, y, z)
    p.addConstraint(x + z <= 4)
    p.setObjective((x - 2.4) ** 2 + (y - 0.3) ** 2 + (z - 1.6) ** 2 + 0 * x * y)
    p.addvars([x, y, z], initvalue=[5.0, -5.0, 0.0])
    values = []
    p.setcbintsol(lambda prob, data: values.append(prob.attributes.knls_objval) or 0)
    p.nlpoptimize()
    assert all(v == pytest.approx(round(v), abs=1e-6) for v in p.getSolution([x, z]))
    assert len(values) >= 2
    assert all(b < a for a, b in zip(values, values[1:]))
    assert values[-1] == pytest.approx(p.attributes.knls_objval, abs=1e-6)
