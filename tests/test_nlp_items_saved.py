"""The SLP items (tolerance sets, delta factors and types, row weights,
cascade limits and every SLP variable setting) go with the problem's files
and its pickled snapshots."""
import pickle

import pytest

import korvo
from nlp_models import circle_problem


pytestmark = pytest.mark.usefixtures("quiet")


def model_with_items():
    p, x, y, c1, c2 = circle_problem()
    p.addtolsets([1e-3, 2e-3, 0.0, 0.0, 0.0, 0.0, 0.5, 0.0, 0.25] + [0.1] * 9)
    p.addvars([x, y], initvalue=[1.0, 0.5], stepbound=[0.3, 0.0], seqnum=[2, 1], tolindex=[2, 1], vartype=[0, 3])
    p.chgvar(x, penalty=7.5, damp=0.25)
    p.adddfs([x, y], [c1, c2], [0.5, 0.25])
    p.chgrowwt(c2, 3.0)
    p.chgdeltatype([x], [1], [1e-4])
    p.chgcascadenlimit(y, 7)
    return p


def items(p):
    t1, t2 = [], []
    s1, s2 = p.gettolset(1, t1), p.gettolset(2, t2)
    vx, vy = p.getvar(0), p.getvar(1)
    return (s1, t1, s2, t2, vx[:12], vy[:12], p.getdf(0, 0), p.getdf(1, 1), p.getrowwt(1), p.getrowwt(0),
            p.getcolinfo(6, 1), p.getcolinfo(6, 0))


def test_items_survive_pickling():
    p = model_with_items()
    before = items(p)
    q = pickle.loads(pickle.dumps(p))
    assert items(q) == before
    # ... and the copy solves like the original.
    p.nlpoptimize()
    q.nlpoptimize()
    assert q.getSolution() == pytest.approx(p.getSolution(), abs=1e-9)


def test_items_survive_write_and_read(tmp_path):
    p = model_with_items()
    before = items(p)
    path = str(tmp_path / "items.lp")
    p.write(path)
    text = open(path + ".knl").read()
    assert "TOLSET" in text and "DF " in text and "ROWWT" in text and "DELTATYPE" in text
    q = korvo.problem()
    q.read(path)
    assert items(q) == before
    # The coefficient given through chgccoef was written too.
    assert q.getccoef(0, -1, 200) == p.getccoef(0, -1, 200)
    # A companion whose items name a missing row is refused, changing nothing.
    with open(path + ".knl", "w") as f:
        f.write(text.replace("ROWWT 1 ", "ROWWT 9 "))
    with pytest.raises(korvo.SolverError, match="missing row"):
        q.read(path)
    assert items(q) == before
