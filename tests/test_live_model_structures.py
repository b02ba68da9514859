"""The kept solver model of a MIP whose build reformulates sets, indicators,
general and piecewise-linear constraints: changes of columns and rows that
no reformulation reads are applied in place, changes of what one reads
rebuild the model, and either way the answers are those of a fresh problem
given the same changes."""
import random

import pytest

import korvo
from test_live_model import Recorder, random_problem

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
    assert not log.reused()
    in_place = rebuilt = 0
    for _ in range(14):
        change, touches = random_change(rng, held_columns(p))
        change(p)
        history.append(change)
        live = mip_results(p)
        assert log.reused() != touches
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


def test_changes_of_the_structures_themselves_rebuild():
    p = structured_problem(7)
    log = Recorder(p)
    mip_results(p)
    log.reused()
    p.chgbounds([6], "U", [1.5])  # read by nothing
    mip_results(p)
    assert log.reused()
    p.delindicators()
    x = mip_results(p)
    assert not log.reused()
    p.chgrhs([INDICATOR_ROW], [0.5])  # no indicator any more: an ordinary row
    mip_results(p)
    assert log.reused()
    p.delgencons([0])
    mip_results(p)
    assert not log.reused()
    p.chgbounds([2], "L", [-1.0])  # no longer read by a general constraint
    mip_results(p)
    assert log.reused()
    assert x["status"] in (4, 5, 6)
