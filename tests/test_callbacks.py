"""Optimizer callbacks: registration and removal, the problem a callback
receives, result rules, exceptions raised inside callbacks, copies, and the
events of HiGHS's MIP and LP solves."""
import gc
import os
import sys

import pytest

import korvo
from conftest import refcount_unchanged

pytestmark = pytest.mark.usefixtures("quiet")

OPTIMIZER_KINDS = ["bariteration", "barlog", "cutlog", "destroymt", "gapnotify", "globallog", "infnode",
                   "intsol", "lplog", "message", "mipthread", "newnode", "nodecutoff", "optnode", "preintsol",
                   "prenode", "usersolnotify", "checktime"]


def small_mip():
    """max 5x + 4y st 6x + 4y <= 24, x + 2y <= 6, x, y integer in [0, 10]: optimum 20 at (4, 0) or (2, 2.5)->int."""
    x = korvo.var(vartype=korvo.integer, ub=10, name="x")
    y = korvo.var(vartype=korvo.integer, ub=10, name="y")
    p = korvo.problem(x, y, 6 * x + 4 * y <= 24, x + 2 * y <= 6, name="small")
    p.setObjective(5 * x + 4 * y, sense=korvo.maximize)
    return p, x, y


def read_instance(instances_dir, name):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, name))
    return p


class TestRegistration:
    @pytest.mark.parametrize("kind", OPTIMIZER_KINDS)
    def test_every_kind_adds_and_removes(self, kind):
        p, _, _ = small_mip()

        def f(*args):
            return None

        getattr(p, "addcb" + kind)(f, "data", 3)
        getattr(p, "removecb" + kind)(f, "data")
        with pytest.raises(korvo.InterfaceError, match="Cannot remove callback from an empty set"):
            getattr(p, "removecb" + kind)(f)
        getattr(p, "removecb" + kind)()  # empty slot, no filter: fine

    def test_bad_callables_are_refused(self):
        p, _, _ = small_mip()
        with pytest.raises(korvo.InterfaceError, match="Cannot add callback"):
            p.addcbintsol(42)
        with pytest.raises(korvo.InterfaceError, match="Cannot add callback"):
            p.addcbintsol(lambda *a: None, None, "high")
        p.addcbintsol(lambda *a: None)
        with pytest.raises(korvo.InterfaceError, match="Cannot remove callback"):
            p.removecbintsol(42)

    def test_removal_matches_identity_of_function_and_data(self):
        p, _, _ = small_mip()
        calls = []

        def f(prob, data):
            calls.append(data)

        d1, d2 = ["one"], ["two"]
        p.addcbintsol(f, d1)
        p.addcbintsol(f, d2)
        with pytest.raises(korvo.InterfaceError, match="Callback not found"):
            p.removecbintsol(lambda *a: None)
        with pytest.raises(korvo.InterfaceError, match="Callback not found"):
            p.removecbintsol(f, ["one"])  # equal, not the same object
        p.removecbintsol(f, d1)
        p.solve()
        assert calls and all(d is d2 for d in calls)
        p.removecbintsol()
        calls.clear()
        p.solve()
        assert calls == []

    def test_priorities_order_the_calls(self):
        p, _, _ = small_mip()
        order = []
        p.addcbintsol(lambda prob, d: order.append("low"), None, -5)
        p.addcbintsol(lambda prob, d: order.append("high"), None, 10)
        p.addcbintsol(lambda prob, d: order.append("mid"), None, 0)
        p.solve()
        assert order[:3] == ["high", "mid", "low"]

    def test_registrations_hold_no_reference_to_the_problem(self):
        p, _, _ = small_mip()
        data = object()

        def f(prob, d):
            pass

        before = sys.getrefcount(p)
        p.addcbintsol(f, data)
        p.addcbmessage(lambda *a: None)
        assert sys.getrefcount(p) == before
        held = sys.getrefcount(data)
        del p
        gc.collect()
        assert sys.getrefcount(data) == held - 1

    def test_copy_and_copycallbacks_carry_registrations(self):
        p, _, _ = small_mip()
        seen = []
        p.addcbintsol(lambda prob, d: seen.append(d), "original")
        q = p.copy()
        q.solve()
        assert seen and set(seen) == {"original"}
        r, _, _ = small_mip()
        r.addcbintsol(lambda prob, d: seen.append(d), "own")
        r.copycallbacks(p)
        seen.clear()
        r.solve()
        assert "own" in seen and "original" in seen
        with pytest.raises(korvo.InterfaceError, match="copycallbacks"):
            r.copycallbacks("p")

    def test_registering_and_removing_does_not_leak(self):
        p, _, _ = small_mip()

        def f(prob, d):
            pass

        data = object()

        def cycle():
            p.addcbintsol(f, data, 1)
            p.removecbintsol(f, data)

        assert refcount_unchanged(cycle, f, data, p) == [0, 0, 0]


class TestCallbackProblem:
    def test_the_callback_problem_is_bound_to_the_solve(self):
        p, x, y = small_mip()
        seen = []

        def intsol(prob, data):
            sol = prob.getSolution([x, y])
            seen.append((prob is p, sol, prob.attributes.mipobjval, prob.getIndex(y)))

        p.addcbintsol(intsol)
        p.solve()
        assert seen
        is_p, sol, obj, index = seen[-1]
        assert not is_p and index == 1
        assert 5 * sol[0] + 4 * sol[1] == pytest.approx(obj)
        assert obj == pytest.approx(p.attributes.mipobjval)

    def test_reset_is_refused_inside_a_callback(self):
        p, _, _ = small_mip()
        errors = []

        def intsol(prob, data):
            try:
                prob.reset()
            except korvo.InterfaceError as e:
                errors.append(str(e))

        p.addcbintsol(intsol)
        p.solve()
        assert errors and "callback" in errors[0]
        assert p.attributes.cols == 2


class TestExceptions:
    def test_an_exception_stops_the_solve_and_is_raised_by_it(self, capfd):
        p, x, y = small_mip()

        def bad(prob, data):
            raise ValueError("no incumbent wanted")

        p.addcbintsol(bad)
        with pytest.raises(ValueError, match="no incumbent wanted"):
            p.solve()
        assert "Problem in callback, stopping optimization" in capfd.readouterr().err
        p.removecbintsol(bad)
        p.solve()
        assert p.attributes.mipobjval == pytest.approx(20)

    def test_later_callbacks_of_a_failed_solve_are_skipped(self):
        p, _, _ = small_mip()
        calls = []

        def bad(prob, data, *rest):
            calls.append(1)
            raise KeyError("stop")

        p.addcbmessage(bad)
        with pytest.raises(KeyError):
            p.solve()
        assert calls == [1]

    def test_model_changes_inside_a_callback_are_refused_cleanly(self):
        p, x, y = small_mip()

        def grow(prob, data):
            prob.addVariable(korvo.var())

        p.addcbintsol(grow)
        with pytest.raises(korvo.InterfaceError, match="being solved"):
            p.solve()
        assert p.attributes.cols == 2
        p.removecbintsol(grow)
        p.solve()
        assert p.attributes.mipobjval == pytest.approx(20)

    def test_wrong_result_shapes_stop_without_exception(self, capfd, instances_dir):
        p = read_instance(instances_dir, "bell5.mps")
        p.controls.mipgapnotify = 1e10
        p.addcbgapnotify(lambda prob, d: (1, 2))
        p.solve()
        assert "must return tuple of four elements" in capfd.readouterr().err
        assert p.attributes.stopstatus == 9


class TestHighsEvents:
    def test_message_callbacks_get_every_log_line(self):
        p, _, _ = small_mip()
        lines = []
        p.addcbmessage(lambda prob, d, text, kind: lines.append((text, kind)), None, 0)
        p.solve()
        assert lines[0][0].startswith("Solving MIP")
        assert lines[-1][0].startswith("Solve finished")
        assert all(kind in (1, 3, 4) for _, kind in lines)

    def test_intsol_sees_improving_incumbents(self, instances_dir):
        p = read_instance(instances_dir, "egout.mps")
        objs = []
        p.addcbintsol(lambda prob, d: objs.append(prob.attributes.mipobjval))
        p.solve()
        assert objs == sorted(objs, reverse=True)
        assert objs[-1] == pytest.approx(568.1007, rel=1e-6)
        assert len(objs) == p.attributes.mipsols

    def test_checktime_stops_and_results_map_to_ints(self, instances_dir):
        p = read_instance(instances_dir, "egout.mps")
        p.addcbchecktime(lambda prob, d: 1)
        p.solve()
        assert p.attributes.stopstatus == 9
        assert p.attributes.mipstatus in (3, 4)
        p.removecbchecktime()
        # 1.5 is no int: -1 is handed to the engine, which stops as well.
        p.addcbchecktime(lambda prob, d: 1.5)
        p.solve()
        assert p.attributes.stopstatus == 9
        p.removecbchecktime()
        p.addcbchecktime(lambda prob, d: None)
        p.solve()
        assert p.attributes.mipstatus == 6

    def test_gapnotify_fires_and_a_looser_gap_stops_early(self, instances_dir):
        p = read_instance(instances_dir, "bell5.mps")
        gaps = []

        def notify(prob, d):
            gaps.append(prob.attributes.mipgap)
            prob.controls.miprelstop = 0.5
            return (None, None, None, None)

        p.controls.mipgapnotify = 0.6
        p.addcbgapnotify(notify)
        p.solve()
        assert len(gaps) == 1
        assert p.attributes.stopstatus == 5 and p.attributes.mipstatus == 6
        assert p.attributes.mipgap <= 0.5

    def test_lp_log_and_time_events_of_an_lp(self, instances_dir):
        p = read_instance(instances_dir, "25fv47.mps")
        events = []
        p.addcblplog(lambda prob, d: events.append("lp") and 0)
        p.addcbchecktime(lambda prob, d: events.append("t") and 0)
        p.solve()
        assert "lp" in events and "t" in events
        assert p.attributes.lpstatus == 1

    def test_barrier_iterations_can_stop_the_barrier(self, instances_dir):
        p = read_instance(instances_dir, "25fv47.mps")
        iterations = []

        def bar(prob, d):
            iterations.append(1)
            return 1 if len(iterations) == 3 else 0

        p.addcbbariteration(bar)
        p.lpoptimize("b") if hasattr(p, "lpoptimize") else p.solve("b")
        assert len(iterations) == 3
        assert p.attributes.stopstatus == 9
