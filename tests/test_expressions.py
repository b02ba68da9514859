"""korvo.expression: string forms, classification messages, copies and extraction."""
import numpy as np
import pytest

import korvo


@pytest.fixture
def xy():
    return korvo.var(name="x"), korvo.var(name="y")


def test_string_forms(xy):
    x, y = xy
    assert str(3 + 2 * x - y) == "3 +2 x - y"
    assert str(x + y) == "  x + y"
    assert str(x ** 2 - 4 * x * y) == "  x**2 -4 x*y"
    assert str(korvo.expression()) == "0" == str(-korvo.expression())
    assert str(korvo.expression() + 2.5) == "2.5"
    assert str(-x - y) == " - x - y"
    assert str(-2 * x + y) == " -2 x + y"
    assert str(x + 1e-7 * y) == "  x +1e-07 y"
    assert repr(x + y) == str(x + y)


def test_long_names_are_not_truncated(xy):
    x, _ = xy
    v = korvo.var(name="n" * 2000)
    assert str(x + 3 * v).endswith("n" * 2000)
    assert len(str(x * v)) == 2002


def test_zero_copy_gives_empty_expression(xy):
    x, y = xy
    e = (x + y * x + 4) * 0
    assert type(e) is korvo.expression and str(e) == "0"


def test_extraction_orders_and_combines(xy):
    x, y = xy
    v1, v2, cs = (x * y + y * x).extractQuadratic()
    assert v1 == [x] or (v1[0] is x and v2[0] is y)
    assert cs == [2.0]
    e = 7 + 2 * x - y + 3 * y * y + x * y
    vs, cs = e.extractLinear()
    assert [v is w for v, w in zip(vs, (x, y))] == [True, True] and cs == [2.0, -1.0]
    v1, v2, cs = e.extractQuadratic()
    assert [(a is p, b is q) for a, b, (p, q) in zip(v1, v2, [(x, y), (y, y)])] == [(True, True)] * 2
    assert cs == [1.0, 3.0]
    assert korvo.expression().extractLinear() == ([], [])
    assert korvo.expression().extractQuadratic() == ([], [], [])


@pytest.mark.parametrize("bad", ["abc", [1, 2], None, {"a": 1}, 1j])
def test_classification_messages(xy, bad):
    x, _ = xy
    with pytest.raises(korvo.ModelError, match=r"^Invalid object in operation: <%s>$" % __import__("re").escape(str(bad))):
        (x * x) * bad


@pytest.mark.parametrize("number", [True, 3, 2.5, np.float32(2.0), np.float64(2.0), np.int32(2), np.int64(2)])
def test_numeric_constants_are_recognised(xy, number):
    x, _ = xy
    t = x * x * number
    assert type(t).__name__ == "quadterm"
    assert t.extractQuadratic()[2] == [float(number)]


def test_other_numpy_scalars_are_not_constants(xy):
    x, _ = xy
    with pytest.raises(korvo.ModelError, match="^Invalid object in operation"):
        (x * x) * np.int16(2)


def test_expression_is_mutable_only_in_place(xy):
    x, y = xy
    e = x + y
    before = str(e)
    for _ in (e + 1, e * 2, e - x, e * e, -e, e / 2, e ** 2):
        pass
    assert str(e) == before
    with pytest.raises(TypeError):
        hash(e)


def test_subclasses_classify_like_their_base_types(xy):
    # Operands are classified by exact type first; subclasses of the
    # modelling types, of float and int, and of ndarray take the same paths.
    x, y = xy

    class MyVar(korvo.var):
        pass

    class MyExpression(korvo.expression):
        pass

    class MyFloat(float):
        pass

    class MyArray(np.ndarray):
        pass

    v = MyVar(name="v")
    assert str(v + x) == "  x + v" and str(2 * v - x) == " - x +2 v" and str(v * v) == "v**2"
    e = MyExpression()
    e += x
    assert type(e) is MyExpression and str(e) == "  x"
    s = e - y + 1
    assert type(s) is korvo.expression and str(s) == "1 + x - y"
    assert str(e * e) == "  x**2" and str((e + 3) * 2) == "6 +2 x"
    c = e <= 4
    assert c.ub == 4.0 and str(c.body) == "  x"
    assert str(x * MyFloat(2)) == "2*x" and str(MyFloat(2) - x) == "2 - x" and str(True + x) == "1 + x"
    # division forwards by the type of the left operand
    assert str(v / 2) == "0.5*v" and str((2 * v) / MyFloat(4)) == "0.5*v" and (3 * v) / v == 3.0
    assert str(e / 2) == " 0.5 x" and type(e / 2) is korvo.expression
    assert str((v * x) / v) == "x" and type(v / e).__name__ == "nonlinear"
    f = MyExpression()
    f += 4
    assert str(v / f) == "0.25*v"
    arr = np.array([1.0, 2.0]).view(MyArray)
    assert [str(t) for t in x + arr] == ["1 + x", "2 + x"]
    assert [str(t) for t in e * arr] == ["  x", " 2 x"]
