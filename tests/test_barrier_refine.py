"""The barrier's interior-point solution, crossover on demand, the refinement
of a MIP solution's continuous part and message-code states."""
import os

import pytest

import korvo


@pytest.fixture
def lp(quiet):
    """min 2x + 3y  s.t.  x + y >= 4 (c1), x - y <= 1 (c2), x, y >= 0: unique optimum x = 2.5, y = 1.5 (9.5)."""
    x, y = korvo.var(name="x"), korvo.var(name="y")
    return korvo.problem(x, y, korvo.constraint(x + y >= 4, name="c1"), korvo.constraint(x - y <= 1, name="c2"),
                         2 * x + 3 * y)


def test_interior_point_then_crossover(lp):
    p = lp
    with pytest.raises(korvo.SolverError, match="no barrier solution"):
        p.getlastbarsol([])
    with pytest.raises(korvo.SolverError, match="no LP or barrier solution"):
        p.crossoverlpsol()
    p.controls.crossover = 0
    p.lpoptimize("b")
    x, s, d, dj = [], [], [], [9.0] * 7
    assert p.getlastbarsol(x, s, d, dj) == 1
    assert x == pytest.approx([2.5, 1.5], abs=1e-5) and d == pytest.approx([2.5, -0.5], abs=1e-5)
    assert s == pytest.approx([4 - x[0] - x[1], 1 - x[0] + x[1]]) and len(dj) == 2
    assert p.getlastbarsol() == 1  # nothing asked for: only the status
    with pytest.raises(korvo.SolverError, match="no basis"):
        p.getbasis([], [])
    # Crossover gives the vertex, its duals and a basis that starts the next simplex solve at the optimum.
    assert p.crossoverlpsol() == 0
    x, d = [], []
    p.getlpsol(x, None, d)
    assert x == pytest.approx([2.5, 1.5], abs=1e-9) and d == pytest.approx([2.5, -0.5], abs=1e-9)
    rs, cs = [], []
    p.getbasis(rs, cs)
    assert cs == [1, 1] and rs == [2, 0]
    p.lpoptimize("d")
    assert p.attributes.simplexiter == 0
    # A simplex solve (or a barrier solve with crossover) keeps no interior point.
    with pytest.raises(korvo.SolverError, match="no barrier solution"):
        p.getlastbarsol([])
    p.controls.crossover = 1
    p.lpoptimize("b")
    with pytest.raises(korvo.SolverError, match="no barrier solution"):
        p.getlastbarsol([])
    cs = []
    p.getbasis(None, cs)
    assert cs == [1, 1]  # the normal barrier road still crosses over
    # A changed structure makes the kept point stale.
    p.controls.crossover = 0
    p.lpoptimize("b")
    p.addVariable(korvo.var(name="z"))
    with pytest.raises(korvo.SolverError, match="no longer fits"):
        p.getlastbarsol([])


def test_crossover_on_shared_instance(quiet, instances_dir):
    p = korvo.problem()
    p.read(os.path.join(instances_dir, "afiro.mps"))
    p.controls.crossover = 0
    p.lpoptimize("b")
    x = []
    assert p.getlastbarsol(x) == 1
    assert p.attributes.lpobjval == pytest.approx(-464.7531428571, rel=1e-6)
    assert p.crossoverlpsol() == 0
    assert p.attributes.lpobjval == pytest.approx(-464.7531428571, rel=1e-9)
    rs, cs = [], []
    p.getbasis(rs, cs)
    assert (rs + cs).count(1) == p.attributes.rows  # one basic variable per row


def test_crossover_refuses_discrete_models(quiet):
    x = korvo.var(vartype=korvo.integer, ub=3)
    p = korvo.problem(x, korvo.constraint(x <= 2.5), -x)
    p.lpoptimize()
    with pytest.raises(korvo.SolverError, match="linear programs only"):
        p.crossoverlpsol()


def test_refine_mip_solution(quiet):
    """max 3x + 2y + z over x + y + z <= 4.5, z <= 2, x, y integer <= 3."""
    x = korvo.var(name="x", vartype=korvo.integer, ub=3)
    y = korvo.var(name="y", vartype=korvo.integer, ub=3)
    z = korvo.var(name="z", ub=2)
    p = korvo.problem(x, y, z, korvo.constraint(x + y + z <= 4.5), 3 * x + 2 * y + z, sense=korvo.maximize)
    refined = [9.0] * 5
    assert p.refinemipsol(0, "", [1, 1, 0], refined) == 0
    assert refined == pytest.approx([1, 1, 2])
    assert p.refinemipsol(0, "", [3.0000001, 1, 0], refined) == 0 and refined == pytest.approx([3, 1, 0.5])
    assert p.refinemipsol(options=0, flags="", solution=[1.5, 1, 0], refined_solution=refined) == 2
    assert refined == [1.5, 1, 0]
    assert p.refinemipsol(0, "", [3, 3, 0], refined) == 1 and refined == [3, 3, 0]
    with pytest.raises(korvo.InterfaceError, match="one value per column"):
        p.refinemipsol(0, "", [1, 1], refined)
    with pytest.raises(korvo.SolverError, match="unknown options"):
        p.refinemipsol(5, "", [1, 1, 0], refined)
    with pytest.raises(korvo.SolverError, match="unknown flags"):
        p.refinemipsol(0, "x", [1, 1, 0], refined)
    with pytest.raises(korvo.SolverError, match="finite"):
        p.refinemipsol(0, "", [float("nan"), 1, 0], refined)
    for bad in (None, "x", 2**70, object()):
        with pytest.raises((korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError, OverflowError)):
            p.refinemipsol(bad, "", [1, 1, 0], refined)
        with pytest.raises((korvo.ModelError, korvo.InterfaceError, korvo.SolverError, TypeError)):
            p.refinemipsol(0, "", bad, refined)
    with pytest.raises(korvo.ModelError, match="Unexpected argument"):
        p.refinemipsol(0, "", [1, 1, 0], (1, 2, 3))
    assert refined == [3, 3, 0]  # refused calls wrote nothing


def test_message_status_round_trip(lp):
    p = lp
    assert p.getmessagestatus(201) == 1
    p.setmessagestatus(201, 0)
    assert p.getmessagestatus(errcode=201) == 0
    p.setmessagestatus(201, 1)
    assert p.getmessagestatus(msgcode=201) == 1
    with pytest.raises(korvo.SolverError, match="unknown message code"):
        p.getmessagestatus(77)
    with pytest.raises(korvo.ModelError):
        p.getmessagestatus(2**40)
