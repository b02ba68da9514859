"""HTML summaries of problems and modelling objects, and solutions as
NumPy arrays and pandas DataFrames."""
import sys

import numpy as np
import pytest

import korvo


@pytest.fixture
def solved_lp(quiet):
    x = korvo.var(name="x")
    y = korvo.var(name="y<b>", ub=3)
    c1 = korvo.constraint(2 * x + y, ub=4, name="machine")
    c2 = x + 3 * y <= 6
    p = korvo.problem(x, y, c1, c2, x + y, sense=korvo.maximize, name="plan")
    p.solve()
    return p, x, y, c1, c2


def test_problem_summary_shows_size_types_status_and_objective(solved_lp, quiet):
    p, x, y, c1, c2 = solved_lp
    html = p._repr_html_()
    for text in ("korvo.problem", "plan", "<th", "rows", ">2<", "nonzeros", ">4<", "lp_optimal",
                 f"{p.getObjVal():.10g}", "maximize", "continuous, linear"):
        assert text in html, text
    z = korvo.var(vartype=korvo.integer)
    q = korvo.problem(z, z <= 2.5, z * z - z)
    html = q._repr_html_()
    assert "1 discrete" in html and "quadratic" in html and "not_loaded" in html
    assert ">objective<" not in html  # nothing solved yet


def test_object_summaries_escape_names_and_cut_long_expressions(solved_lp):
    p, x, y, c1, c2 = solved_lp
    assert "y&lt;b&gt;" in y._repr_html_() and "<b>" not in y._repr_html_().replace("<b>korvo", "")
    assert "continuous" in x._repr_html_() and ">inf<" in x._repr_html_()
    assert "machine" in c1._repr_html_() and ">4<" in c1._repr_html_()
    assert "1 linear" in (2 * x)._repr_html_()
    assert "1 quadratic" in (x * y)._repr_html_()
    assert "exp" in korvo.exp(x)._repr_html_()
    assert "korvo.sos" in korvo.sos([x, y], [1, 2])._repr_html_()
    long_sum = korvo.Sum(korvo.vars(400, name="v"))
    assert "..." in long_sum._repr_html_() and len(long_sum._repr_html_()) < 1500


def test_solution_arrays_without_pandas(solved_lp):
    p, x, y, c1, c2 = solved_lp
    arrays = p.solution_array()
    assert arrays["value"].dtype == np.float64
    assert list(arrays["value"]) == p.getSolution([x, y])
    assert list(arrays["slack"]) == p.getSlack([c1, c2])
    assert list(arrays["dual"]) == p.getDual([c1, c2])
    assert list(arrays["reduced_cost"]) == p.getRCost([x, y])
    unsolved = korvo.problem(korvo.var(), name="fresh")
    with pytest.raises(korvo.SolverError):
        unsolved.solution_array()


def test_solution_frame_needs_pandas_and_says_so(solved_lp, monkeypatch):
    p = solved_lp[0]
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
    with pytest.raises(ImportError, match="needs pandas.*solution_array"):
        p.solution_frame()


def test_solution_frame_with_pandas(solved_lp):
    pytest.importorskip("pandas")
    p, x, y, c1, c2 = solved_lp
    frame = p.solution_frame()
    assert list(frame.index) == ["x", "y<b>"]
    assert frame.loc["x", "value"] == p.getSolution(x)
    assert frame.loc["y<b>", "ub"] == 3.0
    rows = p.solution_frame(rows=True)
    assert rows.loc["machine", "dual"] == p.getDual(c1)
