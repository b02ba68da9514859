"""Changing a model in place: bounds, types, thresholds, coefficients, the
objective and its sense, right-hand sides, ranges, row types and quadratic
parts, each checked by a solve with a known optimum; refused changes leave
the model as it was; legacy keyword spellings."""
import pytest

import korvo

pytestmark = pytest.mark.usefixtures("quiet")


def lp_model():
    """max x + 2y  s.t.  c1: x + y <= 4,  c2: x + 3y <= 6,  0 <= x, y <= 10: optimum 5 at (3, 1)."""
    x, y = korvo.var(name="x", ub=10), korvo.var(name="y", ub=10)
    c1 = korvo.constraint(x + y <= 4, name="c1")
    c2 = korvo.constraint(x + 3 * y <= 6, name="c2")
    p = korvo.problem(x, y, c1, c2, name="lp")
    p.setObjective(x + 2 * y, sense=korvo.maximize)
    return p, x, y, c1, c2


def optimum(p):
    p.solve()
    return p.getObjVal()


def lp_text(p, tmp_path):
    path = str(tmp_path / "model.lp")
    p.write(path)
    with open(path) as f:
        return f.read()


def test_linear_changes_reach_the_solver():
    p, x, y, c1, c2 = lp_model()
    assert optimum(p) == pytest.approx(5)
    p.chgbounds([x], ["U"], [2])  # x <= 2: y = 4/3 -> 2 + 8/3
    assert optimum(p) == pytest.approx(2 + 8 / 3)
    p.chgbounds(["x"], ["B"], [1])  # x fixed at 1: y = 5/3
    assert optimum(p) == pytest.approx(1 + 10 / 3)
    p.chgbounds([0], ["L", "U"][:1], [0])
    p.chgbounds([0], ["U"], [10])
    p.chgrhs([c1, "c2"], [5, 9])  # x + y <= 5, x + 3y <= 9: (3, 2) -> 7
    assert optimum(p) == pytest.approx(7)
    p.chgobj([x, y], [3, 1])  # 3x + y: x = 5 -> 15
    assert optimum(p) == pytest.approx(15)
    p.chgcoef(c1, x, 2)  # 2x + y <= 5, x + 3y <= 9: x = 2.5 -> 7.5, or (1.2, 2.6) -> 6.2
    assert optimum(p) == pytest.approx(7.5)
    p.chgmcoef([c1, c2], [x, y], [1, 1])  # x + y <= 5, x + y <= 9: x = 5 -> 15
    assert optimum(p) == pytest.approx(15)
    p.chgrowtype([c1], ["G"])  # x + y >= 5, x + y <= 9: x = 9 -> 27
    assert optimum(p) == pytest.approx(27)
    p.chgrhsrange([c2], [3])  # 6 <= x + y <= 9: unchanged optimum
    assert optimum(p) == pytest.approx(27)
    p.chgobjsense(korvo.minimize)  # min 3x + y with x + y >= 6: y = 6
    assert optimum(p) == pytest.approx(6)
    p.chgobj([-1], [-4])  # the objective's constant 4, given negated
    assert optimum(p) == pytest.approx(10)


def test_column_types_and_thresholds():
    p, x, y, c1, c2 = lp_model()
    p.chgbounds([x, y], "UU", [2.5, 1.0])  # no row binding: 2.5 + 2
    assert optimum(p) == pytest.approx(4.5)
    p.chgcoltype([x, y], "IC")
    assert optimum(p) == pytest.approx(4)
    # y semi-continuous with a threshold above its upper bound: y = 0
    p.chgcoltype([y], "S")
    p.chgglblimit([y], [1.5])
    assert optimum(p) == pytest.approx(2)
    p.chgglblimit([y], [0.5])
    assert optimum(p) == pytest.approx(4)
    p.chgcoltype([x], ["B"])  # binary clamps x to [0, 1]
    assert optimum(p) == pytest.approx(3)


def test_objective_sense_is_one_or_minus_one():
    p, *_ = lp_model()
    for bad in (0, 2, -3):
        with pytest.raises(korvo.ModelError, match="Invalid optimization sense"):
            p.chgobjsense(bad)
    assert optimum(p) == pytest.approx(5)
    p.chgobjsense(sense=1)
    assert optimum(p) == pytest.approx(0)


def test_quadratic_objective_changes():
    # min (x - 1)^2 + (y - 2)^2 over the box: 0.5 x'Qx with Q = 2I, linear -2x - 4y, constant 5
    x, y = korvo.var(name="x", ub=10), korvo.var(name="y", ub=10)
    p = korvo.problem(x, y)
    p.setObjective(-2 * x - 4 * y)
    p.chgqobj(x, x, 2)
    p.chgqobj("y", 1, 2)
    p.chgobj([-1], [-5])
    assert optimum(p) == pytest.approx(0, abs=1e-6)
    assert p.getSolution() == pytest.approx([1, 2], abs=1e-5)
    # Q_xy = 1 adds x*y: minimum of x^2 + y^2 + xy - 2x - 4y at (0, 2)
    p.chgmqobj([x], [y], [1])
    assert optimum(p) == pytest.approx(5 - 4, abs=1e-6)
    assert p.getSolution() == pytest.approx([0, 2], abs=1e-5)
    p.chgmqobj(mqcol1=[x, y], mqcol2=[y, y], dval=[0, 0])  # x^2 - 2x - 4y + 5: x = 1, y = 10
    assert optimum(p) == pytest.approx(5 - 1 - 40, abs=1e-5)


def test_quadratic_rows(tmp_path):
    # max x + y with x^2 + y^2 <= 2 (a convex quadratic row): optimum 2 at (1, 1)
    x, y = korvo.var(name="x", lb=-5, ub=5), korvo.var(name="y", lb=-5, ub=5)
    circle = korvo.constraint(x + y <= 100, name="circle")
    p = korvo.problem(x, y, circle)
    p.setObjective(x + y, sense=korvo.maximize)
    p.chgcoef(circle, x, 0)
    p.chgcoef(circle, y, 0)
    p.chgrhs([circle], [2])
    p.addqmatrix(circle, [x, y], [x, y], [1, 1])
    assert optimum(p) == pytest.approx(2, rel=1e-5)
    p.chgqrowcoeff(circle, y, y, 4)  # x^2 + 4y^2 <= 2: max x + y = sqrt(2 * 1.25) = 1.5811
    assert optimum(p) == pytest.approx((2 * 1.25) ** 0.5, rel=1e-5)
    assert "circle" in lp_text(p, tmp_path)
    p.delqmatrix(circle)  # 0 <= 2 holds for all: x = y = 5
    assert "^2" not in lp_text(p, tmp_path)
    assert optimum(p) == pytest.approx(10)


@pytest.mark.parametrize(
    "change, error, text",
    [
        (lambda p, x, c: p.chgbounds([x, 5], "UU", [1, 1]), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.chgbounds([x], "X", [1]), korvo.SolverError, "bound type"),
        (lambda p, x, c: p.chgbounds([x], "U", [1, 2]), korvo.ModelError, "Mismatched lengths"),
        (lambda p, x, c: p.chgbounds([x], [1], [1]), korvo.ModelError, "one-character"),
        (lambda p, x, c: p.chgcoltype([x, x], "IQ"), korvo.SolverError, "column type"),
        (lambda p, x, c: p.chgglblimit([x], [1]), korvo.SolverError, "not semi-continuous"),
        (lambda p, x, c: p.chgcoef(c, korvo.var(), 1), korvo.ModelError, "not in problem"),
        (lambda p, x, c: p.chgcoef(c, x, float("inf")), korvo.SolverError, "finite"),
        (lambda p, x, c: p.chgmcoef([c, c], [x, 9], [1, 1]), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.chgrhs([c, "nosuchrow"], [1, 1]), korvo.SolverError, ""),
        (lambda p, x, c: p.chgrowtype([c], "LG"), korvo.ModelError, "Mismatched lengths"),
        (lambda p, x, c: p.chgrowtype([c], "Z"), korvo.SolverError, "row type"),
        (lambda p, x, c: p.chgrhsrange([c], [float("nan")]), korvo.SolverError, "finite"),
        (lambda p, x, c: p.chgobj([x, 4], [1, 1]), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.chgqobj(x, 3, 1.0), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.chgqrowcoeff(c, x, x, float("nan")), korvo.SolverError, "finite"),
        (lambda p, x, c: p.addqmatrix(c, [x], [x, x], [1]), korvo.ModelError, "Mismatched lengths"),
        (lambda p, x, c: p.delqmatrix(7), korvo.SolverError, "out of range"),
        (lambda p, x, c: p.chgbounds(mindex=[x], bndtype="U", bndval=[1]), TypeError, ""),
    ],
)
def test_refused_changes_leave_the_model(change, error, text, tmp_path):
    p, x, y, c1, c2 = lp_model()
    before = lp_text(p, tmp_path)
    with pytest.raises(error, match=text or None):
        change(p, x, c1)
    assert lp_text(p, tmp_path) == before
    assert [p.getIndex(o) for o in (x, y, c1, c2)] == [0, 1, 0, 1]
    assert optimum(p) == pytest.approx(5)


def test_legacy_keywords_match_current_ones(tmp_path):
    current, *cur = lp_model()
    legacy, *leg = lp_model()
    current.chgbounds(colind=[cur[0]], bndtype="U", bndval=[2])
    legacy.chgbounds(mindex=[leg[0]], qbtype="U", bnd=[2])
    current.chgcoef(row=cur[2], col=cur[1], coef=2)
    legacy.chgcoef(irow=leg[2], icol=leg[1], dval=2)
    current.chgrhs(rowind=[cur[3]], rhs=[7])
    legacy.chgrhs(mindex=[leg[3]], rhs=[7])
    current.chgrowtype(rowind=[cur[2]], rowtype="E")
    legacy.chgrowtype(mindex=[leg[2]], qrtype="E")
    current.chgobj(colind=[cur[0]], objcoef=[4])
    legacy.chgobj(mindex=[leg[0]], obj=[4])
    current.chgqobj(objqcol1=cur[0], objqcol2=cur[0], objqcoef=-1)
    legacy.chgqobj(icol=leg[0], jcol=leg[0], dval=-1)
    current.chgobjsense(objsense=-1)
    legacy.chgobjsense(sense=-1)
    assert lp_text(current, tmp_path) == lp_text(legacy, tmp_path)
