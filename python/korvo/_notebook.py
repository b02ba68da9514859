"""Notebook views of korvo objects and solutions as tables.

``_repr_html_`` of problems and modelling objects gives a compact HTML
summary (Jupyter shows it instead of the plain text form).
``solution_frame`` gives a solved problem's solution as a pandas DataFrame
and ``solution_array`` as NumPy arrays, which need nothing beyond NumPy.
"""
from __future__ import annotations

import html
from typing import Any, Dict, List

import numpy

_MAX_TEXT = 300  # characters of an expression shown before it is cut

_STYLE = "border-collapse:collapse;font-family:monospace;font-size:90%"
_CELL = "padding:1px 8px;text-align:left;border:none"


def _table(title: str, rows: List[tuple]) -> str:
    body = "".join(
        f"<tr><th style='{_CELL}'>{html.escape(str(k))}</th><td style='{_CELL}'>{html.escape(str(v))}</td></tr>"
        for k, v in rows
    )
    return f"<table style='{_STYLE}'><caption style='text-align:left'><b>{html.escape(title)}</b></caption>{body}</table>"


def _short(text: str) -> str:
    return text if len(text) <= _MAX_TEXT else text[: _MAX_TEXT - 3] + "..."


def _bound(value: float) -> str:
    if value >= 1e20:
        return "inf"
    if value <= -1e20:
        return "-inf"
    return f"{value:g}"


_VARTYPES = {0: "continuous", 1: "binary", 2: "integer", 3: "semi-continuous", 4: "semi-integer",
             5: "partially integer"}


def problem_html(p: Any) -> str:
    """rows, columns, nonzeros, entity counts, status and objective."""
    a = p.attributes
    rows = [("name", p.name()), ("rows", a.rows), ("columns", a.cols), ("nonzeros", a.elems)]
    kinds = []
    if a.mipents:
        kinds.append(f"{a.mipents} discrete")
    if a.semicontinuous:
        kinds.append(f"{a.semicontinuous} semi-continuous")
    if a.sets:
        kinds.append(f"{a.sets} sets")
    if a.indicators:
        kinds.append(f"{a.indicators} indicators")
    if a.qelems:
        kinds.append(f"{a.qelems} quadratic objective terms")
    if a.qconstraints:
        kinds.append(f"{a.qconstraints} quadratic rows")
    rows.append(("types", ", ".join(kinds) if kinds else "continuous, linear"))
    rows.append(("sense", "maximize" if a.objsense < 0 else "minimize"))
    status = p.getProbStatusString()
    rows.append(("status", status))
    try:
        rows.append(("objective", f"{p.getObjVal():.10g}"))
    except Exception:
        pass
    return _table("korvo.problem", rows)


def var_html(x: Any) -> str:
    rows = [("name", x.name), ("type", _VARTYPES.get(x.vartype, x.vartype)), ("lb", _bound(x.lb)),
            ("ub", _bound(x.ub))]
    if x.vartype in (3, 4, 5):
        rows.append(("threshold", _bound(x.threshold)))
    return _table("korvo.var", rows)


def expression_html(e: Any) -> str:
    variables, _ = e.extractLinear()
    first, _, _ = e.extractQuadratic()
    title = f"korvo.{type(e).__name__}"
    return _table(title, [("terms", f"{len(variables)} linear, {len(first)} quadratic"),
                          ("value", _short(str(e)))])


def nonlinear_html(e: Any) -> str:
    return _table("korvo.nonlinear", [("expression", _short(str(e)))])


def constraint_html(c: Any) -> str:
    try:
        body = _short(str(c.body))
    except AttributeError:
        body = "(read from a file)"
    return _table("korvo.constraint", [("name", c.name), ("body", body), ("lb", _bound(c.lb)), ("ub", _bound(c.ub))])


def sos_html(s: Any) -> str:
    return _table("korvo.sos", [("name", s.name), ("type", s.type if hasattr(s, "type") else ""),
                                ("members", len(s.indices) if hasattr(s, "indices") else "")])


def _has_duals(p: Any) -> bool:
    try:
        p.getRCost()
        return True
    except Exception:
        return False


def solution_array(p: Any) -> Dict[str, numpy.ndarray]:
    """The solution as NumPy arrays: 'value' of every column, 'reduced_cost'
    when the problem was solved as an LP, and 'activity', 'slack', 'dual'
    of the rows (dual only for LPs)."""
    values = numpy.asarray(p.getSolution(), dtype=float)
    out = {"value": values}
    rows = p.attributes.rows
    slack = numpy.asarray(p.getSlack(), dtype=float) if rows else numpy.zeros(0)
    out["slack"] = slack
    if _has_duals(p):
        out["reduced_cost"] = numpy.asarray(p.getRCost(), dtype=float)
        out["dual"] = numpy.asarray(p.getDual(), dtype=float) if rows else numpy.zeros(0)
    return out


def solution_frame(p: Any, rows: bool = False) -> Any:
    """The solution as a pandas DataFrame indexed by variable (or, with
    rows=True, constraint) names."""
    try:
        import pandas
    except ImportError as error:
        raise ImportError(
            "solution_frame() needs pandas (pip install pandas); without it, solution_array() gives the "
            "solution as NumPy arrays"
        ) from error
    arrays = solution_array(p)
    if rows:
        names = [c.name for c in p.getConstraint()]
        n = len(arrays["slack"])
        names = names + [f"R{i}" for i in range(len(names), n)]
        data = {"slack": arrays["slack"]}
        if "dual" in arrays:
            data["dual"] = arrays["dual"]
        frame = pandas.DataFrame(data, index=pandas.Index(names[:n], name="constraint"))
        return frame
    variables = p.getVariable()
    names = [str(v.name) for v in variables]
    n = len(arrays["value"])
    names = names + [f"C{i}" for i in range(len(names), n)]
    data = {"value": arrays["value"]}
    if "reduced_cost" in arrays:
        data["reduced_cost"] = arrays["reduced_cost"]
    if len(variables) == n:
        data["lb"] = [v.lb for v in variables]
        data["ub"] = [v.ub for v in variables]
        data["type"] = [_VARTYPES.get(v.vartype, v.vartype) for v in variables]
    return pandas.DataFrame(data, index=pandas.Index(names[:n], name="variable"))
