"""The solver's model kept between solves, for models with cuts and with
semi-continuous, semi-integer and partially integer columns: sequences of
changes and re-solves give what a copy of the problem (handed over whole)
gives, and the changes reach the kept model in place."""
import random

import pytest

import korvo
from test_live_model import Recorder, random_change, random_problem


def compare_with_copy(p, mip):
    """Solves p (from its kept model) and a copy of it (a new hand-over)."""
    q = p.copy()
    q.setControl("outputlog", 0)
    for r in (p, q):
        r.mipoptimize() if mip else r.lpoptimize()
    a, b = p.attributes, q.attributes
    if mip:
        assert a.mipstatus == b.mipstatus
        if b.mipstatus == korvo.mip_optimal:
            assert a.mipobjval == pytest.approx(b.mipobjval, rel=1e-6, abs=1e-6)
        return
    assert a.lpstatus == b.lpstatus
    if b.lpstatus == korvo.lp_optimal:
        assert a.lpobjval == pytest.approx(b.lpobjval, rel=1e-6, abs=1e-6)
        x, y, dp, dq = [], [], [], []
        p.getlpsol(x, None, dp, None)
        q.getlpsol(y, None, dq, None)
        assert x == pytest.approx(y, rel=1e-6, abs=1e-6)
        assert dp == pytest.approx(dq, rel=1e-6, abs=1e-6)


def random_cut(rng, p):
    """A cut over two or three columns, loose or tight at the box's middle."""
    n = p.attributes.cols
    cols = sorted(rng.sample(range(n), min(n, rng.randint(2, 3))))
    coefs = [rng.uniform(-1, 1) for _ in cols]
    return cols, coefs, rng.uniform(-0.5, 1.5)


def cut_change(rng, p, stored):
    kind = rng.choice(["add", "add", "store", "load", "delete", "delete_all", "model"])
    if kind == "add":
        cols, coefs, rhs = random_cut(rng, p)
        p.addcuts([1], ["L"], [rhs], [0, len(cols)], cols, coefs)
    elif kind == "store":
        cols, coefs, rhs = random_cut(rng, p)
        cut = []
        p.storecuts(0, [2], ["G"], [-rhs], [0, len(cols)], cut, cols, coefs)
        stored.extend(cut)
    elif kind == "load" and stored:
        # An older stored cut: its row belongs before newer active ones.
        p.loadcuts(0, -1, [rng.choice(stored)])
    elif kind == "delete":
        active = []
        p.getcutlist(-1, -1, 100, active)
        if active:
            p.delcuts(0, 0, -1, -korvo.infinity, [rng.choice(active)])
    elif kind == "delete_all":
        p.delcuts(0, 0, -1, -korvo.infinity, None)
    else:
        kind = random_change(rng, p)
    return kind


@pytest.mark.parametrize("seed", range(4))
def test_cuts_added_loaded_and_deleted_follow_in_the_kept_model(seed):
    rng = random.Random(300 + seed)
    p = random_problem(rng, 8, 6)
    p.setControl("presolve", 0)
    log = Recorder(p)
    p.lpoptimize()
    stored = []
    kinds, reused = [], 0
    for _ in range(20):
        kinds.append(cut_change(rng, p, stored))
        compare_with_copy(p, mip=False)
        reused += log.reused()
    # Every change is taken in place (deleting a column that a cut uses
    # drops the cut with it, which is taken in place too).
    assert reused == len(kinds), kinds


def test_model_rows_added_while_cuts_apply_keep_their_indices():
    rng = random.Random(9)
    p = random_problem(rng, 6, 4)
    log = Recorder(p)
    p.addcuts([1, 1], "LG", [1.0, -2.0], [0, 2, 4], [0, 1, 2, 3], [1.0, 1.0, 1.0, -1.0])
    p.lpoptimize()
    p.addrows(["L"], [0.5], [0, 2], [4, 5], [1.0, 1.0])
    p.chgrhs([4], [0.25])  # the new row is row 4, whatever the cuts
    compare_with_copy(p, mip=False)
    assert log.reused()
    slack = []
    p.getlpsol(None, slack, None, None)
    assert len(slack) == 5
    p.delConstraint(0)
    compare_with_copy(p, mip=False)
    assert log.reused()
    # Rows added and deleted again between solves never reached the kept
    # model: deleting them must leave its cut rows alone.
    p.addrows(["L", "L"], [0.5, 0.25], [0, 1, 2], [4, 5], [1.0, 1.0])
    p.delConstraint(5)
    p.delConstraint(4)
    compare_with_copy(p, mip=False)
    assert log.reused()
    assert p.attributes.rows == 4


def special_columns_problem(rng):
    """Columns 0-3 semi-continuous, semi-integer, partially integer (in its
    continuous part) and integer, all with small bounds: HiGHS's own kinds."""
    p = random_problem(rng, 8, 5)
    p.chgobjsense(korvo.maximize)
    p.chgbounds(list(range(8)), "U" * 8, [3.0] * 8)
    p.chgbounds([2], "L", [2.0])
    p.chgcoltype([0, 1, 2, 3], "SRPI")
    p.chgglblimit([0, 1, 2], [1.5, 2.0, 1.5])
    return p


@pytest.mark.parametrize("seed", range(3))
def test_semi_continuous_and_partially_integer_columns_follow_in_place(seed):
    rng = random.Random(400 + seed)
    p = special_columns_problem(rng)
    log = Recorder(p)
    p.mipoptimize()
    reused = 0
    for step in range(14):
        kind = rng.choice(["bounds", "limit", "type", "cost", "rhs"])
        j = rng.choice([0, 1, 3])
        if kind == "bounds":
            p.chgbounds([j, j], "LU", [rng.choice([0.0, 0.5, 1.0]), rng.choice([1.0, 2.5, 3.0])])
        elif kind == "limit":
            # The partially integer column stays in its continuous part.
            types = []
            p.getcoltype(types, 0, 3)
            col = rng.randrange(3)
            if types[col] in "SRP":
                p.chgglblimit([col], [rng.choice([0.5, 1.5, 2.0] if col == 2 else [0.5, 1.5, 2.5])])
        elif kind == "type":
            p.chgcoltype([j], [rng.choice("CISR")])
        elif kind == "cost":
            p.chgobj([j, 4], [rng.uniform(-1, 2), rng.uniform(-1, 2)])
        else:
            p.chgrhs([rng.randrange(5)], [rng.uniform(0, 3)])
        compare_with_copy(p, mip=step % 3 != 2)
        reused += log.reused()
    assert reused == 14


def test_columns_that_need_internal_columns_get_them_in_place():
    rng = random.Random(17)
    p = special_columns_problem(rng)
    log = Recorder(p)
    p.mipoptimize()
    # A semi-continuous upper bound too large for the solver's own kind,
    # and a partially integer column reaching both of its parts: both need
    # columns of their own, laid after the model's columns at the next solve.
    p.chgbounds([0], "U", [5e5])
    compare_with_copy(p, mip=True)
    assert log.road() == "tail"
    p.chgbounds([0], "U", [3.0])
    p.chgbounds([2, 2], "LU", [0.0, 3.0])
    compare_with_copy(p, mip=True)
    assert log.road() == "tail"
    # Back to columns of their own: the internal columns go, and later
    # changes reach the kept model alone.
    p.chgbounds([2], "L", [2.0])
    compare_with_copy(p, mip=True)
    p.chgglblimit([2], [1.0])
    compare_with_copy(p, mip=True)
    assert log.road() == "tail"
    p.chgobj([1], [0.5])
    compare_with_copy(p, mip=True)
    assert log.road() == "in place"
