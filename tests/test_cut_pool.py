"""The cut pool through the problem's methods (storecuts, loadcuts, addcuts,
delcuts, delcpcuts and their queries), model cuts and delayed rows, MIP
starts, fixglobals, directives and stored branching bounds; each effect
checked by hand or by a solve with a known optimum, refused calls leave
everything as it was."""
import pytest

import korvo


pytestmark = pytest.mark.usefixtures("quiet")


def knapsack():
    """max 3a + 4b + 5.5c, 2a + 3b + 4c <= 17, integers in [0, 10]: optimum 25 (a = 7, b = 1)."""
    x = [korvo.var(vartype=korvo.integer, ub=10, name=n) for n in "abc"]
    p = korvo.problem(x, korvo.constraint(2 * x[0] + 3 * x[1] + 4 * x[2] <= 17, name="cap"))
    p.setObjective(3 * x[0] + 4 * x[1] + 5.5 * x[2], sense=korvo.maximize)
    p.mipoptimize()
    return p, x


def active(p):
    cuts = []
    p.getcutlist(0, -1, 100, cuts)
    return cuts


def test_stored_cuts_apply_when_loaded_and_go_when_deleted():
    p, x = knapsack()
    assert p.getObjVal() == pytest.approx(25)
    cuts = [9, 9, 9]
    # a + b + c <= 5 (type 1) and a <= 3 (type 2); the second stored twice.
    p.storecuts(1, [1, 2, 2], "LLL", [5, 3, 3], [0, 3, 4, 5], cuts, x + [x[0], x[0]], [1, 1, 1, 1, 1])
    assert len(cuts) == 3 and cuts[1] == cuts[2] and cuts[0] != cuts[1]
    assert active(p) == []
    p.mipoptimize()
    assert p.getObjVal() == pytest.approx(25)  # stored cuts do not apply
    p.loadcuts(1, 1, None)  # the cuts of type 1
    assert active(p) == [cuts[0]]
    cutmap = []
    p.getcutmap(cuts, cutmap)
    assert cutmap == [1, -1, -1]  # after the model's one row
    p.mipoptimize()
    assert p.getObjVal() == pytest.approx(23.5)  # (1, 1, 3)
    assert p.getcutslack(cuts[0]) == pytest.approx(0)
    viol = []
    assert p.getcpcutlist(2, 1, 0.5, 10, None, viol) == 0 and viol == []
    assert p.getcpcutlist(2, 1, 0.0, 10, None, viol) == 1 and viol == [pytest.approx(0)]
    t, r, s, c, v, b = [], [], [], [], [], []
    p.getcpcuts([cuts[1], cuts[0]], 2, t, r, s, c, v, b)
    assert (t, r, s, [str(a) for a in c], v, b) == ([2, 1], ["L", "L"], [0, 1, 4], ["a", "a"], [1.0, 1.0], [3.0, 5.0])
    p.loadcuts(0, -1, [cuts[1]])
    p.mipoptimize()
    assert p.getSolution(x[0]) <= 3 + 1e-9
    p.delcuts(0, 0, -1, -korvo.infinity, None)
    assert active(p) == []
    p.mipoptimize()
    assert p.getObjVal() == pytest.approx(25)
    listed = []
    assert p.getcpcutlist(0, -1, 1.0, 10, listed, viol) == 2  # a <= 3 and a + b + c <= 5, violated at (7, 1, 0)
    assert listed == cuts[:2] and viol == [pytest.approx(3), pytest.approx(4)]
    p.delcpcuts(0, -1, [cuts[1]])
    with pytest.raises(korvo.SolverError, match="unknown cut"):
        p.getcutslack(cuts[1])
    assert p.getcutslack(cuts[0]) == pytest.approx(5 - 8)  # at (7, 1, 0)


def test_added_cuts_and_their_refusals():
    p, x = knapsack()
    p.addcuts([0], ["L"], [2], [0, 1], [x[2]], [1.0])  # c <= 2, no effect on the optimum
    (cut,) = active(p)
    before = active(p), p.getObjVal()
    bad = [
        ([0], ["X"], [1], [0, 1], [x[0]], [1.0]),      # row type
        ([0], ["L"], [1], [0, 2], [x[0]], [1.0]),      # starts beyond the coefficients
        ([0], ["L"], [1], [0, 1], [99], [1.0]),        # column
        ([0], ["L"], [float("nan")], [0, 1], [x[0]], [1.0]),
    ]
    for args in bad:
        with pytest.raises((korvo.SolverError, korvo.ModelError)):
            p.addcuts(*args)
    with pytest.raises(korvo.SolverError, match="applies to the problem"):
        p.delcpcuts(0, -1, [cut])
    with pytest.raises(korvo.SolverError, match="interp"):
        p.loadcuts(0, 7, None)
    with pytest.raises(korvo.ModelError):
        p.loadcuts(0, -1, [x[0]])
    with pytest.raises(korvo.InterfaceError, match="single cut"):
        p.getcutslack([cut])
    assert (active(p), p.getObjVal()) == before
    p.delcuts(0, 0, -1, 10.0, None)  # its slack (2) is not above 10: kept
    assert active(p) == [cut]
    p.delcuts(0, 0, -1, 1.0, [cut])
    assert active(p) == []
    with pytest.raises(korvo.SolverError, match="unknown cut"):
        p.getcutmap([cut], [])  # an added cut is forgotten when deleted


def test_model_cuts_and_delayed_rows_still_bind():
    p, x = knapsack()
    extra = korvo.constraint(x[0] <= 4, name="extra")
    p.addConstraint(extra)
    p.loadmodelcuts([extra])
    p.loaddelayedrows(["cap"])
    p.mipoptimize()
    assert p.getSolution(x[0]) == pytest.approx(4) and p.getObjVal() == pytest.approx(24)
    with pytest.raises(korvo.SolverError, match="no row named"):
        p.loaddelayedrows(["nosuchrow"])


def test_mip_starts_and_fixglobals():
    p, x = knapsack()
    p.addmipsol([7, 1, 0], name="best")
    p.addmipsol([2], [x[2]])
    with pytest.raises(korvo.SolverError, match="one value per column"):
        p.addmipsol([1, 2])
    with pytest.raises(korvo.SolverError, match="more than once"):
        p.addmipsol([1, 2], [x[0], x[0]])
    assert p.attributes.mipstarts == 2
    p.mipoptimize()
    assert p.getObjVal() == pytest.approx(25)
    assert p.loadmipsol([7, 1, 0]) == 1 and p.loadmipsol([7.4, 1, 0]) == 2 and p.loadmipsol([9, 9, 9]) == 3
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.loadmipsol([1, 2])
    with pytest.raises(korvo.InterfaceError, match="dsol"):
        p.loadmipsol(None)
    p.fixglobals(1)
    lb, ub = p.getlb(None), p.getub(None)
    assert lb == ub == [7, 1, 0]
    with pytest.raises(korvo.SolverError, match="options"):
        p.fixglobals(5)
    q = korvo.problem(korvo.var(vartype=korvo.binary))
    with pytest.raises(korvo.SolverError, match="no MIP solution"):
        q.fixglobals(0)


def test_directives_and_stored_bounds():
    p, x = knapsack()
    assert p.getdirs() is None
    p.loaddirs([x[2], x[0]], [5, 1], "UD", [2.5, 0], None)
    p.loadbranchdirs([x[1]], [-1])
    cols, prios, dirs, up, down = [], [], [], [], []
    p.getdirs(cols, prios, dirs, up, down)
    assert ([str(c) for c in cols], prios, dirs, up, down) == (
        ["a", "b", "c"], [1, 500, 5], ["D", "D", "U"], [0.0, 0.0, 2.5], [0.0, 0.0, 0.0])
    with pytest.raises(korvo.InterfaceError, match="as lists"):
        p.getdirs(cols, None, dirs, up, down)
    for bad in (([x[0]], [-1]), ([x[0]], [1], "X"), ([x[0]], None, None, [-2.0])):
        with pytest.raises(korvo.SolverError):
            p.loaddirs(*bad)
    p.getdirs(cols, prios, dirs, up, down)
    assert prios == [1, 500, 5]  # refused calls changed nothing
    p.mipoptimize()  # the directives do not change the optimum
    assert p.getObjVal() == pytest.approx(25)
    p.loadpresolvedirs([x[1]])
    p.getdirs(cols, prios, dirs, up, down)
    assert [str(c) for c in cols] == ["b"] and prios == [500] and dirs == ["N"]
    bounds = p.storebounds([x[0], x[1]], ["U", "B"], [3.0, 1.0])
    assert isinstance(bounds, korvo.poolcut.__class__) or type(bounds).__name__ == "generic"
    p.setbranchbounds(bounds)
    with pytest.raises(korvo.SolverError, match="unknown stored bounds"):
        knapsack()[0].setbranchbounds(bounds)
    with pytest.raises(korvo.SolverError, match="bound type"):
        p.storebounds([x[0]], ["Q"], [1.0])
    cuts = []
    p.storecuts(0, [0], "G", [1], [0, 1], cuts, [x[0]], [1.0])
    p.setbranchcuts(cuts)
    p.delcpcuts(0, -1, None)
    with pytest.raises(korvo.SolverError, match="unknown cut"):
        p.setbranchcuts(cuts)


def test_iterators_of_the_wrong_length_are_refused():
    p, x = knapsack()
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.addcuts(iter([0]), "L", [5.0], iter([0, 1, 2, 3, 4]), [x[0]], [1.0])
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.addcuts([0, 0], "LL", iter([5.0, 1.0, 2.0]), [0, 1, 2], [x[0], x[1]], [1.0, 1.0])
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.loadmipsol(iter([1.0]))
    with pytest.raises(korvo.ModelError, match="Mismatched lengths"):
        p.addgencons([0], iter([x[0], x[1]]), [0], [x[2]])
    assert active(p) == [] and p.attributes.mipstarts == 0 and p.attributes.gencons == 0
    p.addcuts(iter([0]), iter("L"), (v for v in [5.0]), iter([0, 3]), iter(x), iter([1.0, 1.0, 1.0]))
    assert len(active(p)) == 1
