"""Stop requests during the engine's tree search while a node's LP or the
root heuristic (HiGHS's own MIP, run before the root node) runs: both run
without HiGHS's interrupt events, so Ctrl-C and interrupt() must start them
on the running instance (on one thread and on several) and stop the search
promptly, and a search that nobody stops gives the same answer as before."""
import textwrap
import threading
import time

import pytest

import korvo
from test_interrupt import PROMPT, run_child

# A MIP whose first node LP alone runs for seconds: the LP of the interrupt
# tests with one integer column, searched by the engine itself, without the
# root heuristic (HiGHS's own MIP) in front of it.
SEARCH = '''
        def slow_search(threads):
            p = sparse_lp()
            p.chgcoltype([0], ["I"])
            p.controls.treesearch = 1
            p.controls.heureffort = 0
            p.controls.threads = threads
            return p
'''


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_node_lp_of_the_search(threads):
    delay, lines = run_child(SEARCH + f'''
        p = slow_search({threads})
        p.addcbmessage(lambda prob, data, text, kind: report("ready") if text.startswith("Solving") else None)
        try:
            p.mipoptimize()
        except KeyboardInterrupt:
            report("stopped", time.time())
        report("search", p.attributes.stopstatus == korvo.stop_ctrlc, p.attributes.mipstatus)
    ''')
    assert delay < PROMPT
    assert any(line.startswith("search True") for line in lines), lines


def seconds_to_stop_from_another_thread(p, after):
    """Solves p while another thread asks it to stop `after` seconds into
    the solve; returns how long the solve went on after the request."""
    started = threading.Event()
    p.addcbmessage(lambda prob, data, text, kind: started.set() if text.startswith("Solving") else None)
    stop_at = []

    def stop_soon():
        started.wait(60)
        time.sleep(after)
        stop_at.append(time.time())
        p.interrupt(korvo.stop_user)

    stopper = threading.Thread(target=stop_soon)
    stopper.start()
    p.mipoptimize()
    ended = time.time()
    stopper.join()
    assert stop_at, "the stop was never asked"
    return ended - stop_at[0]


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupt_from_another_thread_stops_a_node_lp(threads):
    import test_interrupt

    namespace = {}
    exec(test_interrupt.MODELS.replace("signal.signal(signal.SIGINT, signal.default_int_handler)", "")
         + textwrap.dedent(SEARCH), namespace)
    p = namespace["slow_search"](threads)
    assert seconds_to_stop_from_another_thread(p, after=0.5) < PROMPT
    assert p.attributes.stopstatus == korvo.stop_user
    assert p.attributes.mipstatus in (korvo.mip_no_sol_found, korvo.mip_solution)


def test_unstopped_searches_still_find_the_optimum():
    # A small knapsack searched by the engine on one and on two threads.
    weights = [23, 31, 29, 44, 53, 38, 63, 85, 89, 82]
    values = [92, 57, 49, 68, 60, 43, 67, 84, 87, 72]
    for threads in (1, 2):
        x = [korvo.var(vartype=korvo.binary) for _ in values]
        p = korvo.problem(x, korvo.Sum(w * v for w, v in zip(weights, x)) <= 165)
        p.setObjective(korvo.Sum(c * v for c, v in zip(values, x)), sense=korvo.maximize)
        p.controls.outputlog = 0
        p.controls.treesearch = 1
        p.controls.threads = threads
        p.mipoptimize()
        assert p.attributes.mipstatus == korvo.mip_optimal
        assert p.attributes.mipobjval == pytest.approx(309)
        assert p.attributes.stopstatus == 0


# A MIP on which the root heuristic works for about ten seconds (on an idle
# machine) after a first LP of a fifth of a second: the LP of the interrupt
# tests at a sixth of the size, every column integer. HiGHS's MIP looks at
# a stop at its limit checks, which can be a second apart in its root work;
# a heuristic deaf to the stop would go on for many seconds.
HEURISTIC = '''
        def busy_heuristic(threads):
            p = sparse_lp(m=500, n=1000)
            p.chgcoltype(list(range(1000)), ["I"] * 1000)
            p.controls.treesearch = 1
            p.controls.threads = threads
            return p
'''
HEURISTIC_PROMPT = 4.0


def heuristic_model(threads):
    import test_interrupt

    namespace = {}
    exec(test_interrupt.MODELS.replace("signal.signal(signal.SIGINT, signal.default_int_handler)", "")
         + textwrap.dedent(HEURISTIC), namespace)
    return namespace["busy_heuristic"](threads)


# The stop arrives a second into the solve, in the heuristic's root work; no
# node has been solved when the search ends, so it did land there.
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_the_root_heuristic(threads):
    delay, lines = run_child(HEURISTIC + f'''
        p = busy_heuristic({threads})
        p.addcbmessage(lambda prob, data, text, kind: report("ready") if text.startswith("Solving") else None)
        try:
            p.mipoptimize()
        except KeyboardInterrupt:
            report("stopped", time.time())
        report("search", p.attributes.stopstatus == korvo.stop_ctrlc, p.attributes.nodes, p.attributes.mipstatus)
    ''')
    assert delay < HEURISTIC_PROMPT
    search = next(line.split() for line in lines if line.startswith("search"))
    assert search[1:3] == ["True", "0"], lines
    assert int(search[3]) in (korvo.mip_no_sol_found, korvo.mip_solution)


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupt_from_another_thread_stops_the_root_heuristic(threads):
    p = heuristic_model(threads)
    assert seconds_to_stop_from_another_thread(p, after=1.0) < HEURISTIC_PROMPT
    assert p.attributes.stopstatus == korvo.stop_user
    assert p.attributes.nodes == 0
    assert p.attributes.mipstatus in (korvo.mip_no_sol_found, korvo.mip_solution)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_stop_asked_before_the_root_heuristic_ends_it_at_its_first_check(threads):
    # The request comes with the solve's first message, before the
    # heuristic's instance exists; it must still reach that instance.
    p = heuristic_model(threads)
    p.addcbmessage(lambda prob, data, text, kind: prob.interrupt(korvo.stop_user)
                   if text.startswith("Solving") else None)
    started = time.time()
    p.mipoptimize()
    assert time.time() - started < HEURISTIC_PROMPT
    assert p.attributes.stopstatus == korvo.stop_user
    assert p.attributes.nodes == 0
    assert p.attributes.mipstatus in (korvo.mip_no_sol_found, korvo.mip_solution)
