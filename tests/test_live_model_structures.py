"""The kept solver model of a MIP whose build reformulates sets, indicators,
general and piecewise-linear constraints: changes of columns and rows that
no reformulation reads are applied in place; changes of what one reads, of
the structures themselves, appends, deletions, cuts and bigm lay the
reformulations' rows and columns anew after the model's own without a new
hand-over; and either way the answers are those of a fresh problem given
the same changes."""
import random

import pytest

import korvo
from test_live_model import Recorder, random_problem
from test_live_model_kinds import random_cut

N, M = 10, 6
SET_COLS = {0, 1}
INDICATOR_ROW, INDICATOR_COL = 0, 9
GENCON_COLS = {2, 8}  # x8 = |x2|
PWL_COLS = {3, 7}  # x7 = f(x3)


def structured_problem(seed):
    p = random_problem(random.Random(seed), N, M)
    p.chgcoltype([4, 5, INDICATOR_COL], ["I", "I", "B"])
    p.chgbounds([2, 3, 8, 7], "LLLL", [-2.0, -2.0, -10.0, -10.0])
    p.chgbounds([2, 3, 8, 7], "UUUU", [2.0, 2.0, 10.0, 10.0])
    p.addSOS(korvo.sos([p.getVariable(0), p.getVariable(1)], [1, 2]))
    p.setindicators([INDICATOR_ROW], [INDICATOR_COL], [1])
    p.addgencons([4], [8], [0], [2])
    p.addpwlcons([3], [7], [0], [-2.0, 0.0, 2.0], [1.0, -1.0, 3.0])
    p.chgobj([INDICATOR_COL], [0.3])
    return p


def held_columns(p):
    start, cols, coefs = [], [], []
    p.getrows(start, cols, coefs, p.attributes.elems, INDICATOR_ROW, INDICATOR_ROW)
    row_cols = {c if isinstance(c, int) else p.getIndex(c) for c in cols}
    return SET_COLS | GENCON_COLS | PWL_COLS | {INDICATOR_COL} | row_cols


def random_change(rng, held_cols):
    """A change as a function of a problem, and whether it touches what a reformulation reads."""
    kind = rng.choice(["bounds", "cost", "rhs", "coef", "type"])
    if kind == "bounds":
        j = rng.randrange(N)
        lo, up = rng.choice([-2.0, -1.0, 0.0]), rng.choice([0.5, 1.0, 2.5])
        if j == INDICATOR_COL:
            lo, up = 0.0, 1.0
        return (lambda p: p.chgbounds([j, j], "LU", [lo, up])), j in held_cols
    if kind == "cost":
        j, c = rng.randrange(N), rng.uniform(-1, 1)
        return (lambda p: p.chgobj([j], [c])), False
    if kind == "rhs":
        i, b = rng.randrange(M), rng.uniform(-1, 3)
        return (lambda p: p.chgrhs([i], [b])), i == INDICATOR_ROW
    if kind == "coef":
        i, j, a = rng.randrange(M), rng.choice(sorted(set(range(N)) - {INDICATOR_COL})), rng.uniform(-2, 2)
        # A new entry in the indicator row would also change which columns it reads.
        return (lambda p: p.chgcoef(i, j, a)), i == INDICATOR_ROW
    j = rng.choice(sorted(set(range(N)) - held_cols))
    t = rng.choice("CI")
    return (lambda p: p.chgcoltype([j], [t])), False


def mip_results(p):
    p.mipoptimize()
    a = p.attributes
    out = {"status": a.mipstatus}
    if a.mipstatus in (4, 6):
        out["obj"] = a.mipobjval
        x, slack = [], []
        p.getmipsol(x, slack)
        out["x"], out["slack"] = x, slack
    return out


@pytest.mark.parametrize("seed", range(3))
def test_changes_outside_the_reformulations_stay_in_place(seed):
    rng = random.Random(1000 + seed)
    p = structured_problem(seed)
    log = Recorder(p)
    history = []
    mip_results(p)
    assert log.road() == "whole"
    in_place = rebuilt = 0
    for _ in range(14):
        change, touches = random_change(rng, held_columns(p))
        change(p)
        history.append(change)
        live = mip_results(p)
        assert log.road() == ("tail" if touches else "in place")
        in_place += not touches
        rebuilt += touches
        fresh = structured_problem(seed)
        fresh.setControl("outputlog", 0)
        for c in history:
            c(fresh)
        want = mip_results(fresh)
        assert live["status"] == want["status"]
        for key in ("obj", "x", "slack"):
            if key in want:
                assert live[key] == pytest.approx(want[key], rel=1e-6, abs=1e-6), key
        if "x" in live:
            x = live["x"]
            assert x[8] == pytest.approx(abs(x[2]), abs=1e-6)
            assert min(abs(x[0]), abs(x[1])) == pytest.approx(0, abs=1e-6)
    assert in_place > 0 and rebuilt > 0


def test_changes_of_the_structures_themselves_lay_them_anew():
    p = structured_problem(7)
    log = Recorder(p)
    mip_results(p)
    log.road()
    p.chgbounds([6], "U", [1.5])  # read by nothing
    mip_results(p)
    assert log.road() == "in place"
    p.delindicators()
    x = mip_results(p)
    assert log.road() == "tail"
    p.chgrhs([INDICATOR_ROW], [0.5])  # no indicator any more: an ordinary row
    mip_results(p)
    assert log.road() == "in place"
    p.delgencons([0])
    mip_results(p)
    assert log.road() == "tail"
    p.chgbounds([2], "L", [-1.0])  # no longer read by a general constraint
    mip_results(p)
    assert log.road() == "in place"
    assert x["status"] in (4, 5, 6)


def structural_change(rng, p, added_cols):
    """A change of the model's shape or of its reformulated structures, as a
    function of a problem (replayed on a fresh one), and whether it needs a
    MIP solve to be seen. `added_cols` counts the columns appended so far:
    only those are deleted, so the structures keep their columns."""
    n, m = p.attributes.cols, p.attributes.rows
    kind = rng.choice(["addrow", "addcol", "delrow", "delcol", "sos", "delsos", "indicator", "delind",
                       "gencon", "cut", "delcuts", "bigm", "lp"])
    if kind == "addrow":
        cols = sorted(rng.sample(range(n), 3))
        coefs, rhs = [rng.uniform(-1, 1) for _ in cols], rng.uniform(1, 4)
        return lambda q: q.addrows(["L"], [rhs], [0, 3], cols, coefs)
    if kind == "addcol" or (kind == "delcol" and not added_cols[0]):
        rows = sorted(rng.sample(range(m), 2))
        cost, coefs, integral = rng.uniform(-1, 1), [rng.uniform(-1, 1) for _ in rows], rng.random() < 0.5
        added_cols[0] += 1

        def add(q):
            q.addcols([cost], [0, 2], rows, coefs, [0.0], [2.0])
            if integral:
                q.chgcoltype([q.attributes.cols - 1], ["I"])
        return add
    if kind == "delcol":
        j = n - 1 - rng.randrange(added_cols[0])
        added_cols[0] -= 1
        return lambda q: q.delVariable(j)
    if kind == "delrow" and m > M:
        i = rng.randrange(1, m)  # row 0 keeps its indicator
        return lambda q: q.delConstraint(i)
    if kind == "sos":
        cols = rng.sample(sorted(set(range(n)) - {INDICATOR_COL}), 2)
        return lambda q: q.addSOS(korvo.sos([q.getVariable(cols[0]), q.getVariable(cols[1])], [1, 2]))
    if kind == "delsos":
        return lambda q: q.delSOS(q.getSOS()[-1]) if q.getSOS() else None
    if kind == "indicator":
        i, active = rng.randrange(1, m), rng.choice([1, -1])
        return lambda q: q.setindicators([i], [INDICATOR_COL], [active])
    if kind == "delind":
        i = rng.randrange(1, m)
        return lambda q: q.delindicators(i, i)
    if kind == "gencon":
        x, y = rng.sample([5, 6], 2)
        return lambda q: q.addgencons([0], [y], [0], [x])  # y = max(x)
    if kind == "cut":
        cols, coefs, rhs = random_cut(rng, p)
        return lambda q: q.addcuts([1], ["L"], [rhs], [0, len(cols)], cols, coefs)
    if kind == "delcuts":
        return lambda q: q.delcuts(0, 0, -1, -korvo.infinity, None)
    if kind == "bigm":
        bigm = rng.choice([1e3, 1e5, 1e9])
        return lambda q: q.setControl("bigm", bigm)
    return "lp"


@pytest.mark.parametrize("seed", range(4))
def test_appends_deletions_and_structures_lay_the_reformulations_anew(seed):
    rng = random.Random(2000 + seed)
    p = structured_problem(seed)
    log = Recorder(p)
    mip_results(p)
    log.road()
    history, added_cols, laid = [], [0], 0
    for step in range(16):
        change = structural_change(rng, p, added_cols)
        fresh = structured_problem(seed)
        fresh.setControl("outputlog", 0)
        if change == "lp":  # an LP solve between MIP solves
            for c in history:
                c(fresh)
            p.lpoptimize()
            fresh.lpoptimize()
            assert log.road() == "tail"
            assert p.attributes.lpstatus == fresh.attributes.lpstatus
            assert p.attributes.lpobjval == pytest.approx(fresh.attributes.lpobjval, rel=1e-6, abs=1e-6)
            continue
        change(p)
        history.append(change)
        for c in history:
            c(fresh)
        live = mip_results(p)
        road = log.road()
        assert road != "whole"
        laid += road == "tail"
        want = mip_results(fresh)
        assert live["status"] == want["status"], step
        for key in ("obj", "slack"):
            if key in want:
                assert live[key] == pytest.approx(want[key], rel=1e-6, abs=1e-6), (step, key)
        if "x" in live:
            x = live["x"]
            assert x[8] == pytest.approx(abs(x[2]), abs=1e-6)
    assert laid >= 8


def test_a_bigm_the_reformulations_refuse_leaves_the_problem_usable():
    p = structured_problem(1)
    log = Recorder(p)
    before = mip_results(p)
    assert "obj" in before
    p.setControl("bigm", 1.5)  # below the set members' bounds of 2
    with pytest.raises(korvo.SolverError, match="bigm"):
        p.mipoptimize()
    p.setControl("bigm", 1e6)
    again = mip_results(p)
    assert again["status"] == before["status"]
    assert again["obj"] == pytest.approx(before["obj"], abs=1e-6)
    log.road()
    p.addrows(["L"], [3.0], [0, 2], [4, 5], [1.0, 1.0])
    mip_results(p)
    assert log.road() == "tail"
